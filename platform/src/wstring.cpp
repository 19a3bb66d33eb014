// The C library's wide-string functions over 16-bit WCHAR text, with the ISO C
// meaning of each conversion (as MinGW's C++ library has it): "%ls" is a wide
// string, "%s" a narrow one.
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

size_t wcslen(const WCHAR* s)
{
    size_t n = 0;
    while (s[n]) n++;
    return n;
}

int wcscmp(const WCHAR* a, const WCHAR* b)
{
    while (*a && *a == *b) a++, b++;
    return *a < *b ? -1 : (*a > *b ? 1 : 0);
}

WCHAR* wcscpy(WCHAR* dst, const WCHAR* src)
{
    WCHAR* d = dst;
    while ((*d++ = *src++)) {}
    return dst;
}

const WCHAR* wcsrchr(const WCHAR* s, WCHAR c)
{
    const WCHAR* last = nullptr;
    for (;; s++) {
        if (*s == c) last = s;
        if (!*s) return last;
    }
}

WCHAR* wcsrchr(WCHAR* s, WCHAR c) { return const_cast<WCHAR*>(wcsrchr(static_cast<const WCHAR*>(s), c)); }

const WCHAR* wcsstr(const WCHAR* haystack, const WCHAR* needle)
{
    size_t n = wcslen(needle);
    for (; *haystack; haystack++)
        if (std::char_traits<WCHAR>::compare(haystack, needle, n) == 0) return haystack;
    return n == 0 ? haystack : nullptr;
}

WCHAR* wcsstr(WCHAR* haystack, const WCHAR* needle)
{
    return const_cast<WCHAR*>(wcsstr(static_cast<const WCHAR*>(haystack), needle));
}

namespace {

// One conversion: "%", flags, width, precision, length, type.
struct Conversion {
    std::string text;  // the whole conversion, for snprintf
    bool leftAlign = false;
    int width = -1;
    int precision = -1;
    std::string length;
    char type = 0;
};

int ReadNumber(const WCHAR*& f, va_list& args)
{
    if (*f == u'*') {
        f++;
        return va_arg(args, int);
    }
    int n = 0;
    while (*f >= u'0' && *f <= u'9') n = n * 10 + (*f++ - u'0');
    return n;
}

Conversion ParseConversion(const WCHAR*& f, va_list& args)
{
    Conversion s;
    const WCHAR* start = f;
    while (*f && std::strchr("-+ #0", static_cast<char>(*f)) && *f < 0x80) s.leftAlign |= (*f++ == u'-');
    if ((*f >= u'0' && *f <= u'9') || *f == u'*') s.width = ReadNumber(f, args);
    if (*f == u'.') {
        f++;
        s.precision = ReadNumber(f, args);
    }
    while (*f == u'h' || *f == u'l' || *f == u'z' || *f == u'j' || *f == u't' || *f == u'L')
        s.length += static_cast<char>(*f++);
    s.type = *f < 0x80 ? static_cast<char>(*f) : '?';
    if (*f) f++;
    s.text = "%";
    for (const WCHAR* p = start; p < f; p++)
        if (*p != u'*') s.text += static_cast<char>(*p);
    // Widths and precisions given by '*' were consumed above: rebuild them.
    if (s.width >= 0 || s.precision >= 0) {
        std::string flags;
        for (const WCHAR* p = start; p < f && std::strchr("-+ #0", static_cast<char>(*p)) && *p < 0x80; p++)
            flags += static_cast<char>(*p);
        s.text = "%" + flags + (s.width >= 0 ? std::to_string(s.width) : "") +
                 (s.precision >= 0 ? "." + std::to_string(s.precision) : "") + s.length + s.type;
    }
    return s;
}

void Pad(std::u16string& out, const std::u16string& body, const Conversion& s)
{
    size_t width = s.width > 0 ? static_cast<size_t>(s.width) : 0;
    std::u16string fill(width > body.size() ? width - body.size() : 0, u' ');
    out += s.leftAlign ? body + fill : fill + body;
}

std::u16string Widen(const char* narrow)
{
    std::u16string w;
    for (; *narrow; narrow++) w += static_cast<char16_t>(static_cast<unsigned char>(*narrow));
    return w;
}

void FormatOne(std::u16string& out, const Conversion& s, va_list& args)
{
    char buf[128];
    switch (s.type) {
    case 's': {
        std::u16string body;
        if (s.length == "l") {
            const WCHAR* w = va_arg(args, const WCHAR*);
            body = w ? std::u16string(w) : std::u16string(u"(null)");
        } else {
            const char* n = va_arg(args, const char*);
            body = Widen(n ? n : "(null)");
        }
        if (s.precision >= 0 && body.size() > static_cast<size_t>(s.precision)) body.resize(s.precision);
        Pad(out, body, s);
        return;
    }
    case 'c':
        Pad(out, std::u16string(1, static_cast<char16_t>(va_arg(args, int))), s);
        return;
    case 'd': case 'i': case 'u': case 'x': case 'X': case 'o':
        if (s.length == "ll" || s.length == "j")
            snprintf(buf, sizeof buf, s.text.c_str(), va_arg(args, long long));
        else if (s.length == "l" || s.length == "z" || s.length == "t")
            snprintf(buf, sizeof buf, s.text.c_str(), va_arg(args, long));
        else
            snprintf(buf, sizeof buf, s.text.c_str(), va_arg(args, int));
        out += Widen(buf);
        return;
    case 'p':
        snprintf(buf, sizeof buf, "%p", va_arg(args, void*));
        out += Widen(buf);
        return;
    default:
        out += Widen(s.text.c_str());
    }
}

}  // namespace

// Writes at most count units, always terminated when count > 0; a result that
// does not fit is cut and reported as -1, as ISO C's swprintf reports it.
int swprintf(WCHAR* buffer, size_t count, const WCHAR* format, ...)
{
    va_list args;
    va_start(args, format);
    std::u16string out;
    for (const WCHAR* f = format; *f;) {
        if (*f != u'%') {
            out += *f++;
        } else if (f[1] == u'%') {
            out += u'%';
            f += 2;
        } else {
            f++;
            Conversion s = ParseConversion(f, args);
            FormatOne(out, s, args);
        }
    }
    va_end(args);
    if (count == 0) return -1;
    size_t n = out.size() < count ? out.size() : count - 1;
    std::char_traits<WCHAR>::copy(buffer, out.data(), n);
    buffer[n] = 0;
    return out.size() < count ? static_cast<int>(n) : -1;
}
