// What every fuzzer includes. A broken property is reported by Fail: it says what broke on standard error and
// aborts, so that libFuzzer keeps the input.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

[[noreturn]] inline __attribute__((format(printf, 1, 2))) void Fail(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    fputs("PROPERTY VIOLATED: ", stderr);
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
    va_end(args);
    abort();
}

// Where two byte strings first differ (the shorter one's size when one is a prefix of the other).
inline size_t FirstDifference(const std::string& a, const std::string& b)
{
    return std::mismatch(a.begin(), a.end(), b.begin(), b.end()).first - a.begin();
}

// The process's id as text, for names of its own.
inline std::string ProcessTag() { return std::to_string(getpid()); }

inline std::string AsText(const void* data, size_t size) { return std::string(static_cast<const char*>(data), size); }
