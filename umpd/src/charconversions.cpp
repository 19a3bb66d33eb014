// Text conversions in the ANSI code page (CP_ACP), as the spooler's process
// has it. The whole text is converted in one call when it fits; otherwise it
// is converted one character at a time and cut before the first character
// that would not fit, so no character is ever split.
#include "charconversions.h"

#include <cstring>

namespace {

const int MAX_CHAR_BYTES = 4;  // longest character of any ANSI code page (GB 18030, UTF-8)

size_t BoundedLength(const char* s, size_t max)
{
    size_t n = 0;
    while (n < max && s[n]) n++;
    return n;
}

size_t BoundedLength(const WCHAR* s, size_t max)
{
    size_t n = 0;
    while (n < max && s[n]) n++;
    return n;
}

// in: the narrow text at p, n bytes left; out: the character's wide units.
// Returns how many bytes the character at p takes. A byte that starts no
// valid character counts as one character of its own.
int NextNarrowChar(const char* p, size_t left, WCHAR* outUnits, int* outCount)
{
    for (int len = 1; len <= MAX_CHAR_BYTES && static_cast<size_t>(len) <= left; len++) {
        *outCount = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, p, len, outUnits, 2);
        if (*outCount > 0) return len;
    }
    *outCount = MultiByteToWideChar(CP_ACP, 0, p, 1, outUnits, 2);
    return 1;
}

bool IsSurrogatePair(const WCHAR* p, size_t left)
{
    return left >= 2 && p[0] >= 0xD800 && p[0] <= 0xDBFF && p[1] >= 0xDC00 && p[1] <= 0xDFFF;
}

}  // namespace

void char2tchar(WCHAR* outTCHARString, size_t outUnits, const char* inCharString, size_t inBytes)
{
    if (!outTCHARString || !inCharString || outUnits == 0) return;
    size_t srcLen = BoundedLength(inCharString, inBytes);
    size_t room = outUnits - 1;
    // A size of 0 would ask for the length instead of converting.
    int done = (srcLen && room) ? MultiByteToWideChar(CP_ACP, 0, inCharString, static_cast<int>(srcLen),
                                                      outTCHARString, static_cast<int>(room))
                                : 0;
    if (done > 0 || srcLen == 0 || room == 0) {
        outTCHARString[done] = 0;
        return;
    }
    size_t pos = 0, written = 0;
    while (pos < srcLen) {
        WCHAR units[2];
        int count = 0;
        int len = NextNarrowChar(inCharString + pos, srcLen - pos, units, &count);
        if (count <= 0 || written + static_cast<size_t>(count) > room) break;
        for (int i = 0; i < count; i++) outTCHARString[written++] = units[i];
        pos += static_cast<size_t>(len);
    }
    outTCHARString[written] = 0;
}

void tchar2char(char* outCharString, size_t outBytes, const WCHAR* inTCHARString, size_t inUnits)
{
    if (!outCharString || !inTCHARString || outBytes == 0) return;
    size_t srcLen = BoundedLength(inTCHARString, inUnits);
    size_t room = outBytes - 1;
    int done = (srcLen && room) ? WideCharToMultiByte(CP_ACP, 0, inTCHARString, static_cast<int>(srcLen),
                                                      outCharString, static_cast<int>(room), nullptr, nullptr)
                                : 0;
    if (done > 0 || srcLen == 0 || room == 0) {
        outCharString[done] = 0;
        return;
    }
    size_t pos = 0, written = 0;
    while (pos < srcLen) {
        int units = IsSurrogatePair(inTCHARString + pos, srcLen - pos) ? 2 : 1;
        char bytes[MAX_CHAR_BYTES * 2];
        int count = WideCharToMultiByte(CP_ACP, 0, inTCHARString + pos, units, bytes, sizeof bytes, nullptr, nullptr);
        if (count <= 0 || written + static_cast<size_t>(count) > room) break;
        for (int i = 0; i < count; i++) outCharString[written++] = bytes[i];
        pos += static_cast<size_t>(units);
    }
    outCharString[written] = 0;
}

void CopyNarrow(char* outText, size_t outBytes, const char* inText, size_t inBytes)
{
    if (!outText || !inText || outBytes == 0) return;
    size_t srcLen = BoundedLength(inText, inBytes), pos = 0;
    while (pos < srcLen) {
        WCHAR units[2];
        int count = 0;
        size_t len = static_cast<size_t>(NextNarrowChar(inText + pos, srcLen - pos, units, &count));
        if (pos + len > outBytes - 1) break;
        pos += len;
    }
    // The source may be the destination itself: move, not copy.
    for (size_t i = 0; i < pos; i++) outText[i] = inText[i];
    outText[pos] = 0;
}

bool HasNarrowForm(const WCHAR* inText, size_t inUnits)
{
    const size_t MAX_UNITS = 256;
    size_t n = BoundedLength(inText, inUnits < MAX_UNITS ? inUnits : MAX_UNITS);
    if (n == 0) return true;
    char narrow[MAX_UNITS * MAX_CHAR_BYTES];
    WCHAR back[MAX_UNITS];
    int bytes = WideCharToMultiByte(CP_ACP, 0, inText, static_cast<int>(n), narrow, sizeof narrow, nullptr, nullptr);
    if (bytes <= 0) return false;
    int units = MultiByteToWideChar(CP_ACP, 0, narrow, bytes, back, static_cast<int>(MAX_UNITS));
    return units == static_cast<int>(n) && memcmp(back, inText, n * sizeof(WCHAR)) == 0;
}
