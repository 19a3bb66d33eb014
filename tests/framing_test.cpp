// Request frames and reply codes, byte for byte as the print server reads
// and writes them.
#include "capp.h"
#include "spdll_framing.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// Builds one frame from its fields; every field's result is checked.
std::string Frame(const std::vector<std::string>& fields)
{
    char buffer[FRAME_BUFFER_SIZE];
    memset(buffer, 0xEE, sizeof buffer);
    int16_t length = 0;
    for (size_t i = 0; i < fields.size(); i++) {
        bool last = i + 1 == fields.size();
        length = WritePralixConField(fields[i].data(), buffer, static_cast<int16_t>(fields[i].size()), last);
        EXPECT_TRUE(last || length == static_cast<int16_t>(fields[i].size())) << length;
    }
    return std::string(buffer, length > 0 ? static_cast<size_t>(length) : 0);
}

// Each frame built twice: the position is back at the start after a frame,
// and after a field that does not fit (or has a negative length).
TEST(Framing, RequestsAreByteForByteTheServersFrames)
{
    const std::string line = "alice\tpw\t42\r", settings("PCAC\0\0\0\x05\0\x03" "100", 13);
    struct Case { const char* what; std::vector<std::string> fields; std::string wire; };
    for (const Case& c : {Case{"settings", {strSP_REQUEST_SETTINGS}, settings},
                          Case{"validate-info", {strSP_REQUEST_VALIDATEINFO, line},
                               std::string("PCAC\0\0\0\x13\0\x03" "101\0\x0c", 15) + line},
                          Case{"empty field", {strSP_REQUEST_VALIDATEINFO, ""}, std::string("PCAC\0\0\0\x07\0\x03" "101\0\0", 15)}}) {
        EXPECT_EQ(Frame(c.fields), c.wire) << c.what;
        EXPECT_EQ(Frame(c.fields), c.wire) << c.what << ", built again";
    }
    char buffer[FRAME_BUFFER_SIZE];
    std::string big(FRAME_BODY_MAX - 2 - 5 + 1, 'x');  // one byte more than the body holds after "100"
    for (int16_t length : {static_cast<int16_t>(big.size()), int16_t(-1)}) {
        EXPECT_EQ(WritePralixConField("100", buffer, 3, 0), 3);
        EXPECT_EQ(WritePralixConField(big.data(), buffer, length, 1), -1) << length;
        EXPECT_EQ(Frame({strSP_REQUEST_SETTINGS}), settings) << "after a refused field of " << length;
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

}  // namespace
