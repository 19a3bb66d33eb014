// The tag search against its plain definition: the first position where the
// 13 bytes "%%EndComments" stand, anywhere in the buffer.
#include "umpd.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

namespace {

const std::string TAG = "%%EndComments";

long Reference(const std::string& buf)
{
    for (size_t pos = 0; pos + TAG.size() <= buf.size(); pos++)
        if (buf.compare(pos, TAG.size(), TAG) == 0) return static_cast<long>(pos);
    return -1;
}

long Found(const std::string& buf)
{
    DWORD pos = 12345;
    const BYTE* data = reinterpret_cast<const BYTE*>(buf.data());
    const BYTE* hit = FindPSTag_EndComments(data, static_cast<DWORD>(buf.size()), &pos);
    if (!hit) {
        EXPECT_EQ(pos, 0u);
        return -1;
    }
    EXPECT_EQ(hit, data + pos);
    return static_cast<long>(pos);
}

TEST(TagSearch, EdgeCases)
{
    const std::string cases[] = {TAG, TAG.substr(0, 12), std::string(), "%", "x" + TAG, "%" + TAG, "%%%" + TAG, std::string(40, '%') + TAG,
          std::string(13, '%'), std::string(100, '%'), "%%EndComment%%EndComments", "%%%EndComment" + TAG.substr(2),
          "abc%%EndComments%%EndComments", "%x%%y%%%EndCommentsz", TAG + std::string(9, '%'),
          std::string(7, '%') + "E" + std::string(9, '%') + TAG, "%%EndComments\r\n" + std::string(60, 'x')};
    for (const std::string& buf : cases) {
        EXPECT_EQ(Found(buf), Reference(buf)) << "'" << buf << "'";
    }
}

// Random buffers over the tag's own letters, with tags planted at random.
TEST(TagSearch, AgreesWithTheDefinitionOnRandomBuffers)
{
    std::mt19937 rng(20261206);
    const std::string letters = "%%%%EndComents x\n";
    for (int round = 0; round < 20000; round++) {
        std::string buf(rng() % 80, ' ');
        for (char& c : buf) c = letters[rng() % letters.size()];
        if (rng() % 3 == 0 && buf.size() >= TAG.size()) buf.replace(rng() % (buf.size() - TAG.size() + 1), TAG.size(), TAG);
        ASSERT_EQ(Found(buf), Reference(buf)) << "'" << buf << "'";
    }
}

}  // namespace
