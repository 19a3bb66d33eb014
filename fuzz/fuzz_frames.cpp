// fuzz_frames: parses the input as the reference print server reads a request on its secure-access port (the 8-byte
// header, the body it announces, the body's fields). Checks that a frame that parses is reproduced byte for byte by
// encoding its fields again, both by hand and by the library's frame writer (WritePralixConField, also right after a
// frame it dropped); that an identity line splits into parts that join back into it; and that a decoded password has
// one character per digit pair.
#include "fuzz_check.h"
#include "printserver_frames.h"
#include "spdll_framing.h"

namespace {

std::string BigEndian(size_t value, int bytes)
{
    std::string out;
    for (int i = bytes - 1; i >= 0; i--) out += static_cast<char>(value >> (8 * i) & 0xFF);
    return out;
}

std::string EncodeFrame(const std::vector<std::string>& fields)
{
    std::string body;
    for (const std::string& f : fields) body += BigEndian(f.size(), 2) + f;
    return "PCAC" + BigEndian(body.size(), 4) + body;
}

// The same frame from the library's writer, in its own buffer of the size it builds frames in, after a frame it had
// to drop (the fields, then one too long): the next frame starts afresh.
std::string WriterFrame(const std::vector<std::string>& fields)
{
    std::unique_ptr<unsigned char[]> buf(new unsigned char[FRAME_BUFFER_SIZE]);
    for (const std::string& f : fields) WritePralixConField(f.data(), buf.get(), static_cast<int16_t>(f.size()), 0);
    if (WritePralixConField(buf.get(), buf.get(), FRAME_BODY_MAX, 0) != -1) Fail("a field too long was taken");
    int16_t length = -1;
    for (size_t i = 0; i < fields.size(); i++) {
        length = WritePralixConField(fields[i].data(), buf.get(), static_cast<int16_t>(fields[i].size()), i + 1 == fields.size());
        if (length < 0) Fail("the library's writer refused field %zu of %zu bytes", i, fields[i].size());
    }
    return AsText(buf.get(), static_cast<size_t>(length));
}

void CheckField(const std::string& field)
{
    std::vector<std::string> parts = SplitLine(field);
    std::string joined, withoutCr = field;
    for (size_t i = 0; i < parts.size(); i++) joined += (i ? "\t" : "") + parts[i];
    withoutCr.erase(std::remove(withoutCr.begin(), withoutCr.end(), '\r'), withoutCr.end());
    if (joined != withoutCr) Fail("the identity line's %zu parts do not join back into it", parts.size());
    std::string decoded = DecodePassword(field);
    if (decoded != "(not decodable)" && decoded.size() != field.size() / 2)
        Fail("%zu digits decode to %zu characters", field.size(), decoded.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // As the server reads a connection: nothing more when it would call the frame malformed.
    std::vector<std::string> fields;
    size_t length = 0;
    if (size < FRAME_HEADER_BYTES || !FrameBodyLength(data, &length) || size - FRAME_HEADER_BYTES < length) return 0;
    if (!SplitFields(data + FRAME_HEADER_BYTES, length, &fields)) return 0;
    std::string frame = AsText(data, FRAME_HEADER_BYTES + length);
    if (frame.size() > FRAME_MAX) Fail("a frame of %zu bytes parsed", frame.size());
    const std::string encoded[] = {EncodeFrame(fields), WriterFrame(fields)};
    for (const std::string& e : encoded)
        if (e != frame)
            Fail("%zu fields of a %zu-byte frame encode %s as %zu bytes, first difference at %zu", fields.size(),
                 frame.size(), &e == encoded ? "by hand" : "by the library", e.size(), FirstDifference(e, frame));
    for (const std::string& f : fields) CheckField(f);
    return 0;
}
