// A module's resources, read from its compiled resources in the platform's
// .res format: one entry per resource, a header (sizes, type, name, language)
// then the data, each DWORD-aligned. Names and types are numeric here.
#include <windows.h>

#include "modules.h"

#include <cstring>

namespace {

const WORD LANG_EN_US = 1033;

DWORD ReadDword(const BYTE* p)
{
    DWORD v;
    memcpy(&v, p, 4);
    return v;
}

WORD ReadWord(const BYTE* p)
{
    WORD v;
    memcpy(&v, p, 2);
    return v;
}

// in: a type or name field at p; out: its ordinal (0 for a string name).
// Returns the field's size in bytes, or 0 when it runs past end.
size_t ReadId(const BYTE* p, const BYTE* end, WORD* ordinal)
{
    if (end - p < 4) return 0;
    if (ReadWord(p) == 0xFFFF) {
        *ordinal = ReadWord(p + 2);
        return 4;
    }
    *ordinal = 0;
    for (const BYTE* q = p; end - q >= 2; q += 2)
        if (ReadWord(q) == 0) return static_cast<size_t>(q + 2 - p);
    return 0;
}

size_t Align4(size_t n) { return (n + 3) & ~static_cast<size_t>(3); }

}  // namespace

extern "C" {

// Prefers US English when the resource exists in several languages.
HRSRC WINAPI FindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type)
{
    const BYTE* data = nullptr;
    size_t size = 0;
    if (!IS_INTRESOURCE(name) || !IS_INTRESOURCE(type) || !StandinModuleResources(module, &data, &size)) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return nullptr;
    }
    const WORD wantType = static_cast<WORD>(reinterpret_cast<ULONG_PTR>(type));
    const WORD wantName = static_cast<WORD>(reinterpret_cast<ULONG_PTR>(name));
    const BYTE* end = data + size;
    const BYTE* found = nullptr;
    for (const BYTE* entry = data; end - entry >= 32;) {
        DWORD dataSize = ReadDword(entry), headerSize = ReadDword(entry + 4);
        if (headerSize < 32 || headerSize > static_cast<size_t>(end - entry) ||
            dataSize > static_cast<size_t>(end - entry) - headerSize)
            break;
        WORD t = 0, n = 0;
        size_t typeLen = ReadId(entry + 8, entry + headerSize, &t);
        size_t nameLen = typeLen ? ReadId(entry + 8 + typeLen, entry + headerSize, &n) : 0;
        size_t fixed = Align4(8 + typeLen + nameLen);
        if (nameLen && t == wantType && n == wantName && fixed + 16 <= headerSize) {
            if (!found || ReadWord(entry + fixed + 6) == LANG_EN_US) found = entry;
        }
        entry += Align4(headerSize + dataSize);
    }
    if (!found) SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return reinterpret_cast<HRSRC>(const_cast<BYTE*>(found));
}

HGLOBAL WINAPI LoadResource(HMODULE, HRSRC info)
{
    const BYTE* entry = reinterpret_cast<const BYTE*>(info);
    return entry ? const_cast<BYTE*>(entry + ReadDword(entry + 4)) : nullptr;
}

LPVOID WINAPI LockResource(HGLOBAL data) { return data; }

DWORD WINAPI SizeofResource(HMODULE, HRSRC info)
{
    return info ? ReadDword(reinterpret_cast<const BYTE*>(info)) : 0;
}

// Strings live in blocks of sixteen: block (id / 16) + 1 holds a counted
// string (a WORD length, then that many units) for each of its ids. Copies at
// most cchBufferMax - 1 units and terminates; with cchBufferMax 0 it returns
// a read-only pointer to the string in *lpBuffer. A missing block, and a
// buffer of one unit, leave the buffer untouched; an empty entry gives an
// empty string (all return 0), as the platform's user32 does (seen under Wine).
int WINAPI LoadStringW(HINSTANCE instance, UINT id, LPWSTR buffer, int cchBufferMax)
{
    if (!buffer || cchBufferMax < 0) return 0;
    HRSRC block = FindResourceW(instance, MAKEINTRESOURCEW((id >> 4) + 1), RT_STRING);
    if (!block) return 0;
    const BYTE* p = static_cast<const BYTE*>(LoadResource(instance, block));
    const BYTE* end = p + SizeofResource(instance, block);
    for (UINT i = 0; i < (id & 15) && end - p >= 2; i++) p += 2 + 2 * static_cast<size_t>(ReadWord(p));
    WORD length = end - p >= 2 ? ReadWord(p) : 0;
    if (static_cast<size_t>(end - p) < 2 + 2 * static_cast<size_t>(length)) length = 0;
    if (cchBufferMax == 0) {
        LPCWSTR text = reinterpret_cast<LPCWSTR>(p + 2);
        memcpy(buffer, &text, sizeof text);
        return length;
    }
    int n = length < cchBufferMax - 1 ? length : cchBufferMax - 1;
    if (n > 0) memcpy(buffer, p + 2, static_cast<size_t>(n) * 2);
    if (n > 0 || cchBufferMax > 1) buffer[n] = 0;
    return n;
}

}  // extern "C"
