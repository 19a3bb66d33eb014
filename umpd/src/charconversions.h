// Conversions between the narrow text of the ANSI code page and wide (UTF-16)
// text, bounded by the destination's real size.
#pragma once

#include <windows.h>

#include <cstddef>

const size_t CONVERT_UNBOUNDED = static_cast<size_t>(-1);

// Narrow to wide: reads at most inBytes bytes or up to the source's null,
// writes at most outUnits units, always terminated (when outUnits > 0), never
// half a character. A null pointer or a zero size leaves the destination as it is.
void char2tchar(WCHAR* outTCHARString, size_t outUnits, const char* inCharString,
                size_t inBytes = CONVERT_UNBOUNDED);

// Wide to narrow, with the same bounds.
void tchar2char(char* outCharString, size_t outBytes, const WCHAR* inTCHARString,
                size_t inUnits = CONVERT_UNBOUNDED);

// Narrow text into a narrow field: at most outBytes - 1 bytes (reading at most
// inBytes), cut at a character boundary, always terminated.
void CopyNarrow(char* outText, size_t outBytes, const char* inText, size_t inBytes = CONVERT_UNBOUNDED);

template <size_t N>
void CopyNarrow(char (&out)[N], const char* in, size_t inBytes = CONVERT_UNBOUNDED)
{
    CopyNarrow(out, N, in, inBytes);
}

// True when the text (at most inUnits units, up to its null, at most 256)
// comes back unchanged from the ANSI code page: every character has a form
// there, none replaced or best-fitted.
bool HasNarrowForm(const WCHAR* inText, size_t inUnits);

template <size_t N>
bool HasNarrowForm(const WCHAR (&text)[N])
{
    return HasNarrowForm(text, N);
}

// Array fields: bounded by both arrays.
template <size_t N, size_t M>
void char2tchar(WCHAR (&out)[N], const char (&in)[M])
{
    char2tchar(out, N, in, M);
}

template <size_t N, size_t M>
void tchar2char(char (&out)[N], const WCHAR (&in)[M])
{
    tchar2char(out, N, in, M);
}
