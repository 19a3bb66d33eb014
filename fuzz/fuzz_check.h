// How a fuzzer reports a broken property: it says what broke on standard
// error and aborts, so that libFuzzer keeps the input.
#pragma once

#include <cstddef>
#include <string>

[[noreturn]] void Fail(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Where two byte strings first differ (the shorter one's size when one is a prefix of the other).
size_t FirstDifference(const std::string& a, const std::string& b);

// The process's id as text, for names of its own.
std::string ProcessTag();
