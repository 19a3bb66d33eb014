// fuzz_text: reads an operation, a code page, a destination size and a source
// text (header of 3 bytes, then the text) and runs one of char2tchar,
// tchar2char, CopyNarrow or EncryptUserPassword on heap buffers of exactly the
// sizes passed, so that a write or read past either is caught. Checks that the
// result is terminated within its size, that a conversion gives the whole
// text when it fits and otherwise the longest run of whole characters that
// fits, that nothing is written for a null source, and that an encoded
// password is two base-23 digits per character, as many as fit, and decodes
// (as the print server decodes it) to the password.
#include "charconversions.h"
#include "fuzz_check.h"
#include "printserver_frames.h"
#include "umpd.h"

#include <standin.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

const size_t HEADER_SIZE = 3;
const UINT CODE_PAGES[] = {1252, CP_UTF8, 932, 936};
const int MAX_CHAR_BYTES = 4;
const WCHAR SENTINEL = 0xA5A5;

enum Operation { TO_WIDE, TO_NARROW, COPY_NARROW, ENCRYPT };

struct Request {
    Operation op;
    bool terminated;     // the source ends with a null and its size is not passed
    bool variant;        // CopyNarrow: in place; the conversions: a null source
    size_t outSize;      // the destination's size in its units
    const uint8_t* text;
    size_t textSize;
};

Request ReadRequest(const uint8_t* data, size_t size)
{
    uint8_t b = data[0];
    StandinSetAnsiCodePage(CODE_PAGES[(b >> 2) & 3]);
    return Request{static_cast<Operation>(b & 3), (b & 0x10) != 0, (b & 0x20) != 0,
                   size_t(data[1]) | size_t(data[2] & 3) << 8, data + HEADER_SIZE, size - HEADER_SIZE};
}

std::u16string ToWide(const char* s, size_t n, DWORD flags = 0)
{
    if (n == 0) return std::u16string();
    int units = MultiByteToWideChar(CP_ACP, flags, s, static_cast<int>(n), nullptr, 0);
    std::u16string out(units > 0 ? units : 0, u'\0');
    if (units > 0) MultiByteToWideChar(CP_ACP, flags, s, static_cast<int>(n), &out[0], units);
    return out;
}

std::string ToNarrow(const WCHAR* s, size_t n)
{
    if (n == 0) return std::string();
    int bytes = WideCharToMultiByte(CP_ACP, 0, s, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
    std::string out(bytes > 0 ? bytes : 0, '\0');
    if (bytes > 0) WideCharToMultiByte(CP_ACP, 0, s, static_cast<int>(n), &out[0], bytes, nullptr, nullptr);
    return out;
}

// The narrow text's characters as the conversions cut it: the shortest run of
// at most 4 bytes that is one valid character, else a single byte.
std::vector<std::string> NarrowCharacters(const std::string& text)
{
    std::vector<std::string> chars;
    for (size_t at = 0; at < text.size();) {
        size_t len = 1;
        for (size_t n = 1; n <= MAX_CHAR_BYTES && n <= text.size() - at; n++)
            if (!ToWide(text.data() + at, n, MB_ERR_INVALID_CHARS).empty()) {
                len = n;
                break;
            }
        chars.push_back(text.substr(at, len));
        at += len;
    }
    return chars;
}

// The wide text's characters: a surrogate pair, else one unit.
std::vector<std::u16string> WideCharacters(const std::u16string& text)
{
    std::vector<std::u16string> chars;
    for (size_t at = 0; at < text.size();) {
        bool pair = text.size() - at >= 2 && text[at] >= 0xD800 && text[at] <= 0xDBFF && text[at + 1] >= 0xDC00 &&
                    text[at + 1] <= 0xDFFF;
        chars.push_back(text.substr(at, pair ? 2 : 1));
        at += pair ? 2 : 1;
    }
    return chars;
}

size_t BoundedLength(const char* s, size_t max) { return strnlen(s, max); }

size_t BoundedLength(const WCHAR* s, size_t max)
{
    size_t n = 0;
    while (n < max && s[n]) n++;
    return n;
}

// The source as a heap block of its exact size: the text, with a null after it when terminated.
template <typename Unit>
std::unique_ptr<Unit[]> SourceBlock(const std::basic_string<Unit>& text, bool terminated)
{
    std::unique_ptr<Unit[]> block(new Unit[text.size() + (terminated ? 1 : 0)]);
    std::copy(text.begin(), text.end(), block.get());
    if (terminated) block[text.size()] = 0;
    return block;
}

// The terminated result within size units; aborts when there is none.
template <typename Unit>
std::basic_string<Unit> Result(const Unit* out, size_t size, const char* what)
{
    size_t n = BoundedLength(out, size);
    if (n == size) Fail("%s: no terminator within the destination's %zu units", what, size);
    return std::basic_string<Unit>(out, n);
}

void CheckToWide(const Request& r)
{
    std::string text(reinterpret_cast<const char*>(r.text), r.textSize);
    std::unique_ptr<char[]> src = SourceBlock(text, r.terminated);
    std::unique_ptr<WCHAR[]> out(new WCHAR[r.outSize]);
    std::fill(out.get(), out.get() + r.outSize, SENTINEL);
    char2tchar(out.get(), r.outSize, r.variant ? nullptr : src.get(), r.terminated ? CONVERT_UNBOUNDED : text.size());
    if (r.outSize == 0) return;
    if (r.variant) {
        for (size_t i = 0; i < r.outSize; i++)
            if (out[i] != SENTINEL) Fail("char2tchar wrote unit %zu for a null source", i);
        return;
    }
    std::u16string got = Result(out.get(), r.outSize, "char2tchar");
    text.resize(strnlen(text.c_str(), text.size()));
    size_t room = r.outSize - 1;
    std::u16string whole = ToWide(text.data(), text.size()), expected;
    if (!whole.empty() && whole.size() <= room) {
        expected = whole;
    } else {
        for (const std::string& c : NarrowCharacters(text)) {
            std::u16string units = ToWide(c.data(), c.size());
            if (units.empty() || expected.size() + units.size() > room) break;
            expected += units;
        }
    }
    if (got != expected)
        Fail("char2tchar of %zu bytes into %zu units gave %zu units, %zu expected", text.size(), r.outSize, got.size(),
             expected.size());
}

void CheckToNarrow(const Request& r)
{
    std::u16string text(r.textSize / 2, u'\0');
    for (size_t i = 0; i < text.size(); i++) text[i] = char16_t(r.text[2 * i] | r.text[2 * i + 1] << 8);
    std::unique_ptr<WCHAR[]> src = SourceBlock(text, r.terminated);
    std::unique_ptr<char[]> out(new char[r.outSize]);
    memset(out.get(), 0xA5, r.outSize);
    tchar2char(out.get(), r.outSize, r.variant ? nullptr : src.get(), r.terminated ? CONVERT_UNBOUNDED : text.size());
    if (r.outSize == 0) return;
    if (r.variant) {
        for (size_t i = 0; i < r.outSize; i++)
            if (static_cast<unsigned char>(out[i]) != 0xA5) Fail("tchar2char wrote byte %zu for a null source", i);
        return;
    }
    std::string got = Result(out.get(), r.outSize, "tchar2char");
    text.resize(BoundedLength(text.c_str(), text.size()));
    size_t room = r.outSize - 1;
    std::string whole = ToNarrow(text.data(), text.size()), expected;
    if (!whole.empty() && whole.size() <= room) {
        expected = whole;
    } else {
        for (const std::u16string& c : WideCharacters(text)) {
            std::string bytes = ToNarrow(c.data(), c.size());
            if (bytes.empty() || expected.size() + bytes.size() > room) break;
            expected += bytes;
        }
    }
    if (got != expected)
        Fail("tchar2char of %zu units into %zu bytes gave %zu bytes, %zu expected", text.size(), r.outSize, got.size(),
             expected.size());
}

void CheckCopyNarrow(const Request& r)
{
    std::string text(reinterpret_cast<const char*>(r.text), r.textSize);
    std::unique_ptr<char[]> out(new char[r.outSize]);
    std::unique_ptr<char[]> src;
    size_t inBytes = r.terminated ? CONVERT_UNBOUNDED : text.size();
    if (r.variant) {
        // In place: the source is the destination's own text.
        if (r.outSize == 0) return;
        text.resize(std::min(text.size(), r.outSize - (r.terminated ? 1 : 0)));
        memcpy(out.get(), text.data(), text.size());
        if (r.terminated) out[text.size()] = 0;
        inBytes = r.terminated ? CONVERT_UNBOUNDED : text.size();
        CopyNarrow(out.get(), r.outSize, out.get(), inBytes);
    } else {
        src = SourceBlock(text, r.terminated);
        memset(out.get(), 0xA5, r.outSize);
        CopyNarrow(out.get(), r.outSize, src.get(), inBytes);
    }
    if (r.outSize == 0) return;
    std::string got = Result(out.get(), r.outSize, "CopyNarrow");
    text.resize(strnlen(text.c_str(), text.size()));
    std::string expected;
    for (const std::string& c : NarrowCharacters(text)) {
        if (expected.size() + c.size() > r.outSize - 1) break;
        expected += c;
    }
    if (got != expected)
        Fail("CopyNarrow of %zu bytes into %zu%s gave %zu bytes, %zu expected", text.size(), r.outSize,
             r.variant ? " in place" : "", got.size(), expected.size());
}

void CheckEncrypt(const Request& r)
{
    const size_t digits = 23;
    std::unique_ptr<char[]> buf(new char[r.outSize]);
    if (r.outSize == 0) {
        EncryptUserPassword(buf.get(), 0);
        return;
    }
    memset(buf.get(), 0, r.outSize);
    memcpy(buf.get(), r.text, std::min(r.textSize, r.outSize - 1));
    std::string password(buf.get());
    EncryptUserPassword(buf.get(), r.outSize);
    std::string got = Result(buf.get(), r.outSize, "EncryptUserPassword");
    size_t room = (std::min<size_t>(r.outSize, 256) - 1) / 2, n = std::min(password.size(), room);
    if (got.size() != 2 * n) Fail("%zu characters in %zu bytes encoded as %zu digits", password.size(), r.outSize, got.size());
    for (char c : got)
        if (!memchr("0123456789ABCDEFGHIJKLM", c, digits)) Fail("the encoding holds the byte 0x%02x", c & 0xFF);
    if (DecodePassword(got) != password.substr(0, n)) Fail("the encoding of %zu characters does not decode to them", n);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < HEADER_SIZE) return -1;
    Request r = ReadRequest(data, size);
    switch (r.op) {
    case TO_WIDE: CheckToWide(r); break;
    case TO_NARROW: CheckToNarrow(r); break;
    case COPY_NARROW: CheckCopyNarrow(r); break;
    case ENCRYPT: CheckEncrypt(r); break;
    }
    return 0;
}
