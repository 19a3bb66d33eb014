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

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

const size_t HEADER_SIZE = 3;
const UINT CODE_PAGES[] = {1252, CP_UTF8, 932, 936};
const size_t MAX_CHAR_BYTES = 4;

enum Operation { TO_WIDE, TO_NARROW, COPY_NARROW, ENCRYPT };

struct Request {
    Operation op;
    bool terminated;  // the source ends with a null and its size is not passed
    bool variant;     // CopyNarrow: in place; the conversions: a null source
    size_t outSize;   // the destination's size in its units
    std::string text;
};

Request ReadRequest(const uint8_t* data, size_t size)
{
    uint8_t b = data[0];
    StandinSetAnsiCodePage(CODE_PAGES[(b >> 2) & 3]);
    return Request{static_cast<Operation>(b & 3), (b & 0x10) != 0, (b & 0x20) != 0,
                   size_t(data[1]) | size_t(data[2] & 3) << 8,
                   std::string(reinterpret_cast<const char*>(data) + HEADER_SIZE, size - HEADER_SIZE)};
}

// The platform's own conversion of a whole text; empty when it fails.
std::u16string Convert(const std::string& s, DWORD flags = 0)
{
    int units = s.empty() ? 0 : MultiByteToWideChar(CP_ACP, flags, s.data(), int(s.size()), nullptr, 0);
    std::u16string out(std::max(units, 0), u'\0');
    if (units > 0) MultiByteToWideChar(CP_ACP, flags, s.data(), int(s.size()), &out[0], units);
    return out;
}

std::string Convert(const std::u16string& s)
{
    int bytes = s.empty() ? 0 : WideCharToMultiByte(CP_ACP, 0, s.data(), int(s.size()), nullptr, 0, nullptr, nullptr);
    std::string out(std::max(bytes, 0), '\0');
    if (bytes > 0) WideCharToMultiByte(CP_ACP, 0, s.data(), int(s.size()), &out[0], bytes, nullptr, nullptr);
    return out;
}

// A text's characters as the conversions cut it: narrow, the shortest run of
// at most 4 bytes that is one valid character, else a single byte; wide, a
// surrogate pair, else one unit.
size_t CharacterAt(const std::string& text, size_t at)
{
    for (size_t n = 1; n <= MAX_CHAR_BYTES && n <= text.size() - at; n++)
        if (!Convert(text.substr(at, n), MB_ERR_INVALID_CHARS).empty()) return n;
    return 1;
}

size_t CharacterAt(const std::u16string& text, size_t at)
{
    bool pair = text.size() - at >= 2 && (text[at] & 0xFC00) == 0xD800 && (text[at + 1] & 0xFC00) == 0xDC00;
    return pair ? 2 : 1;
}

// The text up to its first null.
template <typename Unit>
std::basic_string<Unit> UpToNull(const std::basic_string<Unit>& text)
{
    return text.substr(0, std::find(text.begin(), text.end(), Unit(0)) - text.begin());
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
    size_t n = std::find(out, out + size, Unit(0)) - out;
    if (n == size) Fail("%s: no terminator within the destination's %zu units", what, size);
    return std::basic_string<Unit>(out, n);
}

// A conversion either way: the whole text when it fits in `room` units, else
// its longest run of whole characters that does.
template <typename To, typename From>
void CheckConversion(const Request& r, const std::basic_string<From>& text, const char* name,
                     void (*convert)(To*, size_t, const From*, size_t))
{
    const To sentinel = static_cast<To>(0xA5A5);
    std::unique_ptr<From[]> src = SourceBlock(text, r.terminated);
    std::unique_ptr<To[]> out(new To[r.outSize]);
    std::fill(out.get(), out.get() + r.outSize, sentinel);
    convert(out.get(), r.outSize, r.variant ? nullptr : src.get(), r.terminated ? CONVERT_UNBOUNDED : text.size());
    if (r.outSize == 0) return;
    if (r.variant) {
        if (size_t(std::count(out.get(), out.get() + r.outSize, sentinel)) != r.outSize)
            Fail("%s wrote into its destination for a null source", name);
        return;
    }
    std::basic_string<To> got = Result(out.get(), r.outSize, name), expected = Convert(UpToNull(text));
    std::basic_string<From> source = UpToNull(text);
    size_t room = r.outSize - 1;
    if (expected.empty() || expected.size() > room) {
        expected.clear();
        for (size_t at = 0, n; at < source.size(); at += n) {
            n = CharacterAt(source, at);
            std::basic_string<To> units = Convert(source.substr(at, n));
            if (units.empty() || expected.size() + units.size() > room) break;
            expected += units;
        }
    }
    if (got != expected)
        Fail("%s of %zu units into %zu gave %zu units, %zu expected", name, source.size(), r.outSize, got.size(),
             expected.size());
}

std::u16string WideText(const std::string& bytes)
{
    std::u16string text(bytes.size() / 2, u'\0');
    for (size_t i = 0; i < text.size(); i++) text[i] = char16_t(uint8_t(bytes[2 * i]) | uint8_t(bytes[2 * i + 1]) << 8);
    return text;
}

void CheckCopyNarrow(const Request& r)
{
    std::string text = r.text;
    std::unique_ptr<char[]> out(new char[r.outSize]), src;
    if (r.outSize == 0) {
        CopyNarrow(out.get(), 0, text.c_str());
        return;
    }
    memset(out.get(), 0xA5, r.outSize);
    const char* from = out.get();  // in place: the source is the destination's own text
    if (r.variant) {
        text.resize(std::min(text.size(), r.outSize - (r.terminated ? 1 : 0)));
        memcpy(out.get(), text.data(), text.size());
        if (r.terminated) out[text.size()] = 0;
    } else {
        src = SourceBlock(text, r.terminated);
        from = src.get();
    }
    CopyNarrow(out.get(), r.outSize, from, r.terminated ? CONVERT_UNBOUNDED : text.size());
    std::string got = Result(out.get(), r.outSize, "CopyNarrow"), expected;
    text = UpToNull(text);
    for (size_t at = 0, n; at < text.size() && expected.size() + (n = CharacterAt(text, at)) < r.outSize; at += n)
        expected += text.substr(at, n);
    if (got != expected)
        Fail("CopyNarrow of %zu bytes into %zu%s gave %zu bytes, %zu expected", text.size(), r.outSize,
             r.variant ? " in place" : "", got.size(), expected.size());
}

void CheckEncrypt(const Request& r)
{
    std::unique_ptr<char[]> buf(new char[r.outSize]);
    if (r.outSize == 0) {
        EncryptUserPassword(buf.get(), 0);
        return;
    }
    memset(buf.get(), 0, r.outSize);
    memcpy(buf.get(), r.text.data(), std::min(r.text.size(), r.outSize - 1));
    std::string password(buf.get());
    EncryptUserPassword(buf.get(), r.outSize);
    std::string got = Result(buf.get(), r.outSize, "EncryptUserPassword");
    size_t room = (std::min<size_t>(r.outSize, 256) - 1) / 2, n = std::min(password.size(), room);
    if (got.size() != 2 * n) Fail("%zu characters in %zu bytes encoded as %zu digits", password.size(), r.outSize, got.size());
    if (got.find_first_not_of("0123456789ABCDEFGHIJKLM") != std::string::npos) Fail("the encoding holds a byte out of base 23");
    if (DecodePassword(got) != password.substr(0, n)) Fail("the encoding of %zu characters does not decode to them", n);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < HEADER_SIZE) return -1;
    Request r = ReadRequest(data, size);
    switch (r.op) {
    case TO_WIDE: CheckConversion<WCHAR, char>(r, r.text, "char2tchar", char2tchar); break;
    case TO_NARROW: CheckConversion<char, WCHAR>(r, WideText(r.text), "tchar2char", tchar2char); break;
    case COPY_NARROW: CheckCopyNarrow(r); break;
    case ENCRYPT: CheckEncrypt(r); break;
    }
    return 0;
}
