// fuzz_text: runs char2tchar, tchar2char, CopyNarrow (also in place) or EncryptUserPassword on heap buffers of exactly
// the sizes passed. Checks that the result is terminated within its size and is the whole text when it fits, else its
// longest run of whole characters that does; that nothing is written for a null source; and that a password encodes
// as two base-23 digits per character, as many as fit, that decode (as the print server decodes them) to it.
// Input: a byte of operation, code page and flags, two of the destination's size, then the text.
#include "charconversions.h"
#include "fuzz_check.h"
#include "printserver_frames.h"
#include "umpd.h"

#include <standin.h>

namespace {

const size_t HEADER_SIZE = 3;
const UINT CODE_PAGES[] = {1252, CP_UTF8, 932, 936};

enum Operation { TO_WIDE, TO_NARROW, COPY_NARROW, ENCRYPT };

struct Request {
    bool terminated;  // the source ends with a null and its size is not passed
    bool variant;     // CopyNarrow: in place; the conversions: a null source
    size_t outSize;   // the destination's size in its units
    std::string text;
};

// The platform's own conversion of a whole text (a byte makes at most one unit, a unit at most 3 bytes); empty when
// it fails.
std::u16string Convert(const std::string& s, DWORD flags = 0)
{
    std::u16string out(s.size(), u'\0');
    out.resize(std::max(0, MultiByteToWideChar(CP_ACP, flags, s.data(), int(s.size()), &out[0], int(s.size()))));
    return out;
}

std::string Convert(const std::u16string& s)
{
    std::string out(3 * s.size(), '\0');
    out.resize(std::max(0, WideCharToMultiByte(CP_ACP, 0, s.data(), int(s.size()), &out[0], int(out.size()), 0, 0)));
    return out;
}

// A text's characters as the functions cut it: narrow, the shortest run of at most 4 bytes that is one valid
// character, else a single byte; wide, a surrogate pair, else one unit.
size_t CharacterAt(const std::string& text, size_t at)
{
    for (size_t n = 1; n <= 4 && n <= text.size() - at; n++)
        if (!Convert(text.substr(at, n), MB_ERR_INVALID_CHARS).empty()) return n;
    return 1;
}

size_t CharacterAt(const std::u16string& text, size_t at)
{
    bool pair = text.size() - at >= 2 && (text[at] & 0xFC00) == 0xD800 && (text[at + 1] & 0xFC00) == 0xDC00;
    return pair ? 2 : 1;
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

// Checks the result in `out` against the text up to its null, converted: all of it when it fits in the destination
// with its terminator, else its longest run of whole characters that does.
template <typename To, typename From, typename Converter>
void CheckFit(const To* out, size_t outSize, const std::basic_string<From>& text, const char* name, Converter convert)
{
    size_t length = std::find(out, out + outSize, To(0)) - out;
    if (length == outSize) Fail("%s: no terminator within the destination's %zu units", name, outSize);
    std::basic_string<From> source = text.substr(0, std::find(text.begin(), text.end(), From(0)) - text.begin());
    std::basic_string<To> got(out, length), expected = convert(source);
    if (expected.empty() || expected.size() >= outSize) {
        expected.clear();
        for (size_t at = 0, n; at < source.size(); at += n) {
            n = CharacterAt(source, at);
            std::basic_string<To> units = convert(source.substr(at, n));
            if (units.empty() || expected.size() + units.size() >= outSize) break;
            expected += units;
        }
    }
    if (got != expected)
        Fail("%s of %zu units into %zu gave %zu units, %zu expected", name, source.size(), outSize, got.size(),
             expected.size());
}

std::u16string WideText(const std::string& bytes)  // in the host's order
{
    std::u16string text(bytes.size() / 2, u'\0');
    memcpy(&text[0], bytes.data(), 2 * text.size());
    return text;
}

// Runs `fn` on the source block and checks its result; in the variant, on no source (a conversion: nothing may be
// written) or, for CopyNarrow, on the destination's own text in place.
template <typename To, typename From, typename Converter>
void CheckConversion(const Request& r, std::basic_string<From> text, const char* name,
                     void (*fn)(To*, size_t, const From*, size_t), Converter convert)
{
    const To sentinel = static_cast<To>(0xA5A5);
    const bool inPlace = std::is_same<To, From>::value && r.variant;
    std::unique_ptr<From[]> src = SourceBlock(text, r.terminated);
    std::unique_ptr<To[]> out(new To[r.outSize]);
    std::fill(out.get(), out.get() + r.outSize, sentinel);
    const void* from = r.variant && !inPlace ? nullptr : src.get();
    if (inPlace && r.outSize > 0) {
        text.resize(std::min(text.size(), r.outSize - (r.terminated ? 1 : 0)));
        std::copy(text.begin(), text.end(), out.get());
        if (r.terminated) out[text.size()] = 0;
        from = out.get();
    }
    fn(out.get(), r.outSize, static_cast<const From*>(from), r.terminated ? CONVERT_UNBOUNDED : text.size());
    if (r.outSize > 0 && (inPlace || !r.variant)) CheckFit(out.get(), r.outSize, text, name, convert);
    else if (r.outSize > 0 && size_t(std::count(out.get(), out.get() + r.outSize, sentinel)) != r.outSize)
        Fail("%s wrote into its destination for a null source", name);
}

void CheckEncrypt(const Request& r)
{
    std::unique_ptr<char[]> buf(new char[r.outSize]());
    memcpy(buf.get(), r.text.data(), std::min(r.text.size(), std::max<size_t>(r.outSize, 1) - 1));
    std::string password(buf.get(), strnlen(buf.get(), r.outSize));
    EncryptUserPassword(buf.get(), r.outSize);
    if (r.outSize == 0) return;
    std::string got(buf.get(), strnlen(buf.get(), r.outSize));
    if (got.size() == r.outSize) Fail("EncryptUserPassword: no terminator within its %zu bytes", r.outSize);
    size_t room = (std::min<size_t>(r.outSize, 256) - 1) / 2, n = std::min(password.size(), room);
    if (got.size() != 2 * n) Fail("%zu characters in %zu bytes encoded as %zu digits", password.size(), r.outSize, got.size());
    if (got.find_first_not_of("0123456789ABCDEFGHIJKLM") != std::string::npos) Fail("the encoding holds a byte out of base 23");
    if (DecodePassword(got) != password.substr(0, n)) Fail("the encoding of %zu characters does not decode to them", n);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < HEADER_SIZE) return -1;
    StandinSetAnsiCodePage(CODE_PAGES[(data[0] >> 2) & 3]);
    Request r{(data[0] & 0x10) != 0, (data[0] & 0x20) != 0,
              size_t(data[1]) | size_t(data[2] & 3) << 8, AsText(data + HEADER_SIZE, size - HEADER_SIZE)};
    auto toWide = [](const std::string& s) { return Convert(s); };
    auto toNarrow = [](const std::u16string& s) { return Convert(s); };
    switch (static_cast<Operation>(data[0] & 3)) {
    case TO_WIDE: CheckConversion<WCHAR, char>(r, r.text, "char2tchar", char2tchar, toWide); break;
    case TO_NARROW: CheckConversion<char, WCHAR>(r, WideText(r.text), "tchar2char", tchar2char, toNarrow); break;
    case COPY_NARROW:
        CheckConversion<char, char>(r, r.text, r.variant ? "CopyNarrow in place" : "CopyNarrow", CopyNarrow,
                                    [](const std::string& s) { return s; });
        break;
    case ENCRYPT: CheckEncrypt(r); break;
    }
    return 0;
}
