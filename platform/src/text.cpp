// Text in the process's ANSI code page, converted through iconv as
// MultiByteToWideChar and WideCharToMultiByte convert it on Windows.
#include <windows.h>
#include <standin.h>

#include <iconv.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <utility>

namespace {

std::atomic<UINT> gAnsiCodePage{1252};

UINT Resolve(UINT codePage) { return codePage == CP_ACP ? gAnsiCodePage.load() : codePage; }

std::string IconvName(UINT codePage)
{
    if (codePage == CP_UTF8) return "UTF-8";
    return "CP" + std::to_string(codePage);
}

// One descriptor per code page and direction and thread (iconv_t is not
// thread-safe), closed when the thread ends.
struct ConverterCache : std::map<std::pair<UINT, bool>, iconv_t> {
    ~ConverterCache()
    {
        for (auto& entry : *this) iconv_close(entry.second);
    }
};

iconv_t Converter(UINT codePage, bool toWide)
{
    thread_local ConverterCache cache;
    auto key = std::make_pair(codePage, toWide);
    auto it = cache.find(key);
    if (it != cache.end()) {
        iconv(it->second, nullptr, nullptr, nullptr, nullptr);  // reset shift state
        return it->second;
    }
    std::string cp = IconvName(codePage);
    iconv_t cd = toWide ? iconv_open("UTF-16LE", cp.c_str()) : iconv_open(cp.c_str(), "UTF-16LE");
    if (cd != reinterpret_cast<iconv_t>(-1)) cache[key] = cd;
    return cd;
}

// Windows maps the five bytes that code page 1252 leaves undefined to the C1
// controls of the same value; iconv calls them invalid.
WCHAR ReplacementFor(UINT codePage, unsigned char byte)
{
    return codePage == 1252 ? static_cast<WCHAR>(byte) : static_cast<WCHAR>(0xFFFD);
}

// Copies a finished conversion to the caller's buffer with the platform's
// size protocol: size 0 asks for the length, too small fails.
int Deliver(const void* data, int units, size_t unitSize, void* out, int outUnits)
{
    if (outUnits == 0) return units;
    if (outUnits < units) {
        if (out) memcpy(out, data, static_cast<size_t>(outUnits) * unitSize);
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    memcpy(out, data, static_cast<size_t>(units) * unitSize);
    return units;
}

bool IsHighSurrogate(WCHAR c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(WCHAR c) { return c >= 0xDC00 && c <= 0xDFFF; }

}  // namespace

extern "C" {

void StandinSetAnsiCodePage(UINT codePage) { gAnsiCodePage = codePage; }

UINT WINAPI GetACP(void) { return gAnsiCodePage; }

int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR src, int cbSrc, LPWSTR dst, int cchDst)
{
    if (!src || cbSrc == 0 || cbSrc < -1 || cchDst < 0 || (cchDst > 0 && !dst)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    UINT cp = Resolve(codePage);
    iconv_t cd = Converter(cp, true);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t left = cbSrc == -1 ? strlen(src) + 1 : static_cast<size_t>(cbSrc);
    std::u16string out;
    char* in = const_cast<char*>(src);
    while (left > 0) {
        char16_t chunk[256];
        char* o = reinterpret_cast<char*>(chunk);
        size_t oleft = sizeof chunk;
        size_t rc = iconv(cd, &in, &left, &o, &oleft);
        out.append(chunk, (sizeof chunk - oleft) / sizeof(char16_t));
        if (rc != static_cast<size_t>(-1) || errno == E2BIG) continue;
        if (flags & MB_ERR_INVALID_CHARS) {
            SetLastError(ERROR_NO_UNICODE_TRANSLATION);
            return 0;
        }
        out.push_back(ReplacementFor(cp, static_cast<unsigned char>(*in)));
        in++;
        left--;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    return Deliver(out.data(), static_cast<int>(out.size()), sizeof(WCHAR), dst, cchDst);
}

int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR src, int cchSrc, LPSTR dst, int cbDst,
                               LPCSTR defaultChar, LPBOOL usedDefault)
{
    (void)flags;
    if (!src || cchSrc == 0 || cchSrc < -1 || cbDst < 0 || (cbDst > 0 && !dst)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    UINT cp = Resolve(codePage);
    iconv_t cd = Converter(cp, false);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t units = cchSrc == -1 ? wcslen(src) + 1 : static_cast<size_t>(cchSrc);
    // UTF-8 writes U+FFFD for what it cannot encode (a lone surrogate); other
    // code pages write the default character.
    std::string fallback = cp == CP_UTF8 ? "\xEF\xBF\xBD" : (defaultChar ? std::string(1, *defaultChar) : "?");
    if (usedDefault) *usedDefault = FALSE;
    std::string out;
    char* in = reinterpret_cast<char*>(const_cast<WCHAR*>(src));
    size_t left = units * sizeof(WCHAR);
    while (left > 0) {
        char chunk[512];
        char* o = chunk;
        size_t oleft = sizeof chunk;
        size_t rc = iconv(cd, &in, &left, &o, &oleft);
        out.append(chunk, sizeof chunk - oleft);
        if (rc != static_cast<size_t>(-1) || errno == E2BIG) continue;
        const WCHAR* w = reinterpret_cast<const WCHAR*>(in);
        size_t skip = (left >= 4 && IsHighSurrogate(w[0]) && IsLowSurrogate(w[1])) ? 4 : 2;
        out += fallback;
        if (usedDefault && cp != CP_UTF8) *usedDefault = TRUE;
        in += skip;
        left -= skip < left ? skip : left;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    return Deliver(out.data(), static_cast<int>(out.size()), 1, dst, cbDst);
}

}  // extern "C"
