// Request frames and reply codes, byte for byte as the print server reads
// and writes them.
#include "capp.h"
#include "spdll_framing.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

typedef std::vector<unsigned char> Bytes;

Bytes Of(const std::string& s) { return Bytes(s.begin(), s.end()); }

// Builds one frame from its fields; every field's result is checked.
Bytes Frame(const std::vector<std::string>& fields)
{
    unsigned char buffer[FRAME_BUFFER_SIZE];
    memset(buffer, 0xEE, sizeof buffer);
    int16_t length = 0;
    for (size_t i = 0; i < fields.size(); i++) {
        bool last = i + 1 == fields.size();
        length = WritePralixConField(fields[i].data(), buffer, static_cast<int16_t>(fields[i].size()), last);
        if (!last) {
            EXPECT_EQ(length, static_cast<int16_t>(fields[i].size()));
        }
    }
    return Bytes(buffer, buffer + (length > 0 ? length : 0));
}

TEST(Framing, RequestsAreByteForByteTheServersFrames)
{
    const std::string line = "alice\tpw\t42\r";
    struct Case { const char* what; std::vector<std::string> fields; Bytes wire; };
    const Case cases[] = {
        {"settings", {strSP_REQUEST_SETTINGS}, Of(std::string("PCAC\0\0\0\x05\0\x03" "100", 13))},
        {"validate-info", {strSP_REQUEST_VALIDATEINFO, line},
         Of(std::string("PCAC\0\0\0\x13\0\x03" "101\0\x0c", 15) + line)},
        {"empty field", {strSP_REQUEST_VALIDATEINFO, ""}, Of(std::string("PCAC\0\0\0\x07\0\x03" "101\0\0", 15))},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Frame(c.fields), c.wire) << c.what;
        EXPECT_EQ(Frame(c.fields), c.wire) << c.what << ", built again: the position is back at the start";
    }
}

TEST(Framing, AFieldThatDoesNotFitDropsTheFrame)
{
    unsigned char buffer[FRAME_BUFFER_SIZE];
    std::string big(FRAME_BODY_MAX - 2 - 5 + 1, 'x');  // one byte more than the body holds after "100"
    const Bytes settings = Frame({strSP_REQUEST_SETTINGS});
    for (int16_t length : {static_cast<int16_t>(big.size()), int16_t(-1)}) {
        SCOPED_TRACE(length);
        EXPECT_EQ(WritePralixConField("100", buffer, 3, 0), 3);
        EXPECT_EQ(WritePralixConField(big.data(), buffer, length, 1), -1);
        EXPECT_EQ(Frame({strSP_REQUEST_SETTINGS}), settings) << "the next frame starts afresh";
    }
}

TEST(Framing, ReplyCodes)
{
    struct Case { std::string code; int16_t len, value; };
    for (const Case& c : {Case{"200", 3, 200}, Case{"301", 3, 301}, Case{"2011", 3, 201}, Case{"20x", 3, 20},
                          Case{"x20", 3, 0}, Case{std::string("\0\0\0", 3), 3, 0}, Case{std::string("99\0", 3), 3, 99},
                          Case{"404", 2, 40}, Case{"404", 0, 0}}) {
        EXPECT_EQ(CAppConvertCodeAtoShort(&gTheApp, c.code.data(), c.len), c.value) << "'" << c.code << "'";
    }
}

TEST(Framing, ByteOrderAndZeroing)
{
    const unsigned char number[4] = {0x78, 0x56, 0x34, 0x12};
    unsigned char out[5] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    LittleToBigEndian(number, out, 4);
    EXPECT_EQ(Bytes(out, out + 5), (Bytes{0x12, 0x34, 0x56, 0x78, 0xEE}));
    LittleToBigEndian(number, out, 1);
    EXPECT_EQ(out[0], 0x78);
    EXPECT_EQ(out[1], 0x34);
    LittleToBigEndian(number, out, 0);
    EXPECT_EQ(out[0], 0x78);

    unsigned char buf[4] = {1, 2, 3, 4};
    InitializeBuffer(buf, 0);
    InitializeBuffer(buf, -3);
    EXPECT_EQ(Bytes(buf, buf + 4), (Bytes{1, 2, 3, 4}));
    InitializeBuffer(buf, 3);
    EXPECT_EQ(Bytes(buf, buf + 4), (Bytes{0, 0, 0, 4}));
}

}  // namespace
