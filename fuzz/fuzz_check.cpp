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

std::string ProcessTag() { return std::to_string(getpid()); }
