// What every fuzzer includes. A broken property is reported by Fail: it says what broke on standard error and
// aborts, so that libFuzzer keeps the input.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

[[noreturn]] void Fail(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Where two byte strings first differ (the shorter one's size when one is a prefix of the other).
inline size_t FirstDifference(const std::string& a, const std::string& b)
{
    return std::mismatch(a.begin(), a.end(), b.begin(), b.end()).first - a.begin();
}

// The process's id as text, for names of its own.
std::string ProcessTag();

// Bytes of the input as a string.
inline std::string AsText(const void* data, size_t size) { return std::string(static_cast<const char*>(data), size); }
