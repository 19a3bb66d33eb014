#include "fuzz_check.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

void Fail(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    fputs("PROPERTY VIOLATED: ", stderr);
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
    va_end(args);
    abort();
}

size_t FirstDifference(const std::string& a, const std::string& b)
{
    size_t i = 0;
    while (i < a.size() && i < b.size() && a[i] == b[i]) i++;
    return i;
}

std::string ProcessTag() { return std::to_string(getpid()); }
