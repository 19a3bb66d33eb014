#include "printserver_frames.h"

#include <cstring>

namespace {

const char KEY[] = "Kemla";
const char DIGITS[] = "0123456789ABCDEFGHIJKLM";

}  // namespace

uint32_t BigEndian(const unsigned char* p, int n)
{
    uint32_t v = 0;
    for (int i = 0; i < n; i++) v = v << 8 | p[i];
    return v;
}

bool FrameBodyLength(const unsigned char* header, size_t* length)
{
    if (memcmp(header, "PCAC", 4) != 0) return false;
    *length = BigEndian(header + 4, 4);
    return *length <= FRAME_MAX - FRAME_HEADER_BYTES;
}

bool SplitFields(const unsigned char* body, size_t size, std::vector<std::string>* fields)
{
    for (size_t at = 0; at < size;) {
        if (size - at < 2) return false;
        size_t len = BigEndian(body + at, 2);
        if (size - at - 2 < len) return false;
        fields->emplace_back(reinterpret_cast<const char*>(body + at + 2), len);
        at += 2 + len;
    }
    return !fields->empty();
}

std::vector<std::string> SplitLine(const std::string& line)
{
    std::vector<std::string> parts(1);
    for (char ch : line) {
        if (ch == '\t') parts.emplace_back();
        else if (ch != '\r') parts.back() += ch;
    }
    return parts;
}

std::string DecodePassword(const std::string& digits)
{
    std::string out;
    for (size_t i = 0; i + 1 < digits.size(); i += 2) {
        const char* hi = strchr(DIGITS, digits[i]);
        const char* lo = strchr(DIGITS, digits[i + 1]);
        if (!hi || !lo || !*hi || !*lo) return "(not decodable)";
        int sum = static_cast<int>(hi - DIGITS) * 23 + static_cast<int>(lo - DIGITS);
        int c = sum - static_cast<signed char>(KEY[(i / 2) % 5]);
        if (c > 127) c -= 256;
        out += static_cast<char>(c);
    }
    return out;
}
