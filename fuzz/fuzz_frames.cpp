// fuzz_frames: reads the bytes a client sends the reference print server's
// secure-access port and parses them as the server reads a request: the
// 8-byte header, exactly the body it announces, the body's fields. Checks that
// a frame that parses is reproduced byte for byte by encoding its fields
// again, both by hand and by the library's own frame writer
// (WritePralixConField); that the identity line of a field splits into parts
// that join back into it; and that a decoded password has one character per
// digit pair.
#include "fuzz_check.h"
#include "printserver_frames.h"
#include "spdll_framing.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

void PutBigEndian(std::string* out, uint32_t value, int bytes)
{
    for (int i = bytes - 1; i >= 0; i--) *out += static_cast<char>(value >> (8 * i) & 0xFF);
}

std::string EncodeFrame(const std::vector<std::string>& fields)
{
    std::string body;
    for (const std::string& f : fields) {
        PutBigEndian(&body, static_cast<uint32_t>(f.size()), 2);
        body += f;
    }
    std::string frame = "PCAC";
    PutBigEndian(&frame, static_cast<uint32_t>(body.size()), 4);
    return frame + body;
}

// The same frame from the library's writer, in its own buffer of the size it builds frames in.
std::string WriterFrame(const std::vector<std::string>& fields)
{
    std::unique_ptr<unsigned char[]> buf(new unsigned char[FRAME_BUFFER_SIZE]);
    int16_t length = -1;
    for (size_t i = 0; i < fields.size(); i++) {
        length = WritePralixConField(fields[i].data(), buf.get(), static_cast<int16_t>(fields[i].size()), i + 1 == fields.size());
        if (length < 0) Fail("the library's writer refused field %zu of %zu bytes", i, fields[i].size());
    }
    return std::string(reinterpret_cast<const char*>(buf.get()), static_cast<size_t>(length));
}

// As the server reads a connection: false when it would call the frame malformed.
bool ReadFrame(const uint8_t* data, size_t size, std::vector<std::string>* fields, size_t* frameSize)
{
    size_t length = 0;
    if (size < FRAME_HEADER_BYTES || !FrameBodyLength(data, &length)) return false;
    if (size - FRAME_HEADER_BYTES < length) return false;
    *frameSize = FRAME_HEADER_BYTES + length;
    return SplitFields(data + FRAME_HEADER_BYTES, length, fields);
}

void CheckLine(const std::string& field)
{
    std::vector<std::string> parts = SplitLine(field);
    std::string joined, withoutCr;
    for (size_t i = 0; i < parts.size(); i++) joined += (i ? "\t" : "") + parts[i];
    for (char c : field)
        if (c != '\r') withoutCr += c;
    if (joined != withoutCr) Fail("the identity line's %zu parts do not join back into it", parts.size());
}

void CheckDecode(const std::string& field)
{
    std::string decoded = DecodePassword(field);
    if (decoded != "(not decodable)" && decoded.size() != field.size() / 2)
        Fail("%zu digits decode to %zu characters", field.size(), decoded.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<std::string> fields;
    size_t frameSize = 0;
    if (!ReadFrame(data, size, &fields, &frameSize)) return 0;
    std::string frame(reinterpret_cast<const char*>(data), frameSize);
    if (frameSize > FRAME_MAX) Fail("a frame of %zu bytes parsed", frameSize);
    std::string encoded = EncodeFrame(fields);
    if (encoded != frame)
        Fail("%zu fields of a %zu-byte frame encode as %zu bytes, first difference at %zu", fields.size(), frame.size(),
             encoded.size(), FirstDifference(encoded, frame));
    std::string written = WriterFrame(fields);
    if (written != frame)
        Fail("the library writes the %zu fields as %zu bytes, first difference at %zu", fields.size(), written.size(),
             FirstDifference(written, frame));
    for (const std::string& f : fields) {
        CheckLine(f);
        CheckDecode(f);
    }
    return 0;
}
