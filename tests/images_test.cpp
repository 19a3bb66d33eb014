// Images on a page of the media's size: the fit-and-centre arithmetic, a JPEG file's markers walked (hand-made
// headers, whole and broken), PNG files made here with libpng decoded to exact lines, and JPEG and PNG images made here
// converted, rendered back by Ghostscript and found on the page by image_compare.
#include "images.h"
#include "rasterps.h"

#include <gtest/gtest.h>

#include <jpeglib.h>
#include <png.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

namespace fs = std::filesystem;
using namespace rasterps;

namespace {

const uint64_t PT = 10000;  // a point, in a placement's ten-thousandths

TEST(Fit, FitsInsideTheMarginsCentredKeepingTheAspectRatio)
{
    const Media letter{21590, 27940, 635, 635, 635, 635}, a4{21000, 29700, 0, 0, 0, 0},
        uneven{21590, 27940, 2540, 0, 0, 2540};
    struct Row { unsigned w, h; Media media; Placement want; } rows[] = {
        {400, 300, letter, {612 * PT, 792 * PT, 18 * PT, 180 * PT, 576 * PT, 432 * PT}},  // wide: the sides' margins
        {100, 400, letter, {612 * PT, 792 * PT, 2115000, 18 * PT, 189 * PT, 756 * PT}},   // tall: top and bottom's
        {1, 1, letter, {612 * PT, 792 * PT, 18 * PT, 108 * PT, 576 * PT, 576 * PT}},      // one pixel, scaled up
        {210, 297, a4, {5952756, 8418898, 0, 0, 5952756, 8418898}},                       // the media's own shape
        {3, 4, uneven, {612 * PT, 792 * PT, 72 * PT, 72 * PT, 540 * PT, 720 * PT}}};      // margins on two sides
    for (const Row& r : rows) {
        Placement p;
        ASSERT_EQ(Fit(r.w, r.h, r.media, &p), "") << r.w << "x" << r.h;
        const Placement& q = r.want;
        EXPECT_EQ(std::vector<uint64_t>({p.page_width, p.page_height, p.x, p.y, p.width, p.height}),
                  std::vector<uint64_t>({q.page_width, q.page_height, q.x, q.y, q.width, q.height}))
            << r.w << "x" << r.h;
    }
    struct Refused { unsigned w, h; Media media; const char* why; } refused[] = {
        {0, 5, letter, "an image of 0 x 5 pixels is not supported"},
        {100001, 5, letter, "an image of 100001 x 5 pixels is not supported"},
        {5, 5, {21590, 27940, 10795, 10795, 0, 0}, "media of 21590 x 27940 hundredths of a millimetre leaves no room"},
        {5, 5, {0, 27940, 0, 0, 0, 0}, "media of 0 x 27940"},
        {5, 5, {21590, 27940, 0, 0, -1, 0}, "media of 21590 x 27940"}};
    for (const Refused& r : refused) {
        Placement p;
        EXPECT_EQ(Fit(r.w, r.h, r.media, &p).find(r.why), 0u) << r.why;
    }
}

// A JPEG file's pieces: a marker segment, a frame header, a scan (its header, coded data with a stuffed FF and a
// restart marker).
std::string Segment(int code, const std::string& body)
{
    size_t n = body.size() + 2;
    return std::string{'\xff', char(code), char(n >> 8), char(n & 0xff)} + body;
}
std::string Frame(int code, int bits, int height, int width, int components)
{
    std::string body{char(bits), char(height >> 8), char(height), char(width >> 8), char(width), char(components)};
    for (int c = 0; c < components; ++c) body += std::string{char(c + 1), '\x11', '\0'};
    return Segment(code, body);
}
const std::string SOI = "\xff\xd8", EOI = "\xff\xd9", JFIF = Segment(0xe0, std::string("JFIF\0\1\1\0\0\1\0\1\0\0", 14));
const std::string SCAN = Segment(0xda, std::string("\1\1\0\0\x3f\0", 6)) + std::string("\x12\xff\0\x34\xff\xd0\x56", 7);

// Reads a string a few bytes at a time, as a file read in blocks is.
Read FromString(const std::string& data, size_t step)
{
    auto at = std::make_shared<size_t>(0);
    return [data, step, at](unsigned char* out, size_t size) {
        size_t n = std::min({step, size, data.size() - *at});
        std::copy_n(data.data() + *at, n, out);
        *at += n;
        return long(n);
    };
}

TEST(ReadJpeg, WalksTheMarkersToTheEndOfTheImage)
{
    std::string grey = SOI + JFIF + Frame(0xc0, 8, 30, 40, 1) + Segment(0xc4, "tables") + SCAN + EOI;
    // Two scans with tables between, fill bytes before a marker, an end marker inside a thumbnail before the frame,
    // bytes after the image's end.
    std::string progressive = SOI + Segment(0xe1, "Exif\xff\xd9") + Frame(0xc2, 8, 480, 640, 3) + SCAN +
                              "\xff\xff" + Segment(0xc4, "more") + SCAN + EOI;
    struct Row { std::string file; unsigned w, h, components; bool progressive; uint64_t end; const char* why; } rows[] = {
        {grey, 40, 30, 1, false, grey.size(), ""},
        {progressive + "trailing", 640, 480, 3, true, progressive.size(), ""},
        {SOI + Frame(0xc1, 8, 1, 1, 3) + SCAN + EOI, 1, 1, 3, false, 0, ""},
        {SOI + Frame(0xc0, 8, 30, 40, 4) + SCAN + EOI, 0, 0, 0, false, 0, "CMYK JPEG is not supported"},
        {SOI + Frame(0xc0, 8, 30, 40, 2) + SCAN + EOI, 0, 0, 0, false, 0, "JPEG of 2 components is not supported"},
        {SOI + Frame(0xc1, 12, 30, 40, 3) + SCAN + EOI, 0, 0, 0, false, 0, "12-bit JPEG is not supported"},
        {SOI + Frame(0xc3, 8, 30, 40, 3) + SCAN + EOI, 0, 0, 0, false, 0, "lossless JPEG is not supported"},
        {SOI + Frame(0xc9, 8, 30, 40, 3) + SCAN + EOI, 0, 0, 0, false, 0, "arithmetic-coded JPEG is not supported"},
        {SOI + Frame(0xc0, 8, 0, 40, 3) + SCAN + EOI, 0, 0, 0, false, 0, "JPEG whose height follows its data"},
        {grey.substr(0, grey.size() - 2), 0, 0, 0, false, 0, "it is cut short"},
        {grey.substr(0, grey.size() - 9), 0, 0, 0, false, 0, "it is cut short"},
        {SOI + JFIF.substr(0, 9), 0, 0, 0, false, 0, "it is cut short"},
        {SOI + Frame(0xc0, 8, 30, 40, 3).substr(0, 8), 0, 0, 0, false, 0, "it is cut short"},
        {SOI + SCAN + Frame(0xc0, 8, 30, 40, 3) + EOI, 0, 0, 0, false, 0, "it is malformed (image data before"},
        {SOI + Frame(0xc0, 8, 30, 40, 3) + Frame(0xc0, 8, 30, 40, 3) + SCAN + EOI, 0, 0, 0, false, 0,
         "it is malformed (a second frame header)"},
        {SOI + "junk" + EOI, 0, 0, 0, false, 0, "it is malformed (no marker"},
        {SOI + Frame(0xc0, 8, 30, 40, 3) + EOI, 0, 0, 0, false, 0, "it holds no image data"},
        {"\x89PNG", 0, 0, 0, false, 0, "it is not a JPEG file"}};
    for (const Row& r : rows) {
        JpegInfo info;
        std::string why = ReadJpeg(FromString(r.file, 5), &info);
        EXPECT_EQ(why.find(r.why), 0u) << why;
        if (*r.why) continue;
        EXPECT_EQ(why, "");
        EXPECT_EQ(std::vector<unsigned>({info.width, info.height, info.components, info.progressive}),
                  std::vector<unsigned>({r.w, r.h, r.components, r.progressive}));
        EXPECT_EQ(info.end, r.end ? r.end : r.file.size());
    }
}

// A PNG file made with libpng, in memory.
struct PngRecipe {
    unsigned width, height;
    int type, depth;
    bool interlaced;
    std::vector<std::vector<unsigned char>> rows;  // as the file holds them (16-bit samples big-endian)
    std::vector<png_color> palette;
    std::vector<unsigned char> transparent;  // tRNS of a palette
};

std::string MakePng(const PngRecipe& recipe)
{
    std::string out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_set_write_fn(png, &out, [](png_structp p, png_bytep data, size_t n) {
        static_cast<std::string*>(png_get_io_ptr(p))->append(reinterpret_cast<char*>(data), n);
    }, nullptr);
    png_set_IHDR(png, info, recipe.width, recipe.height, recipe.depth, recipe.type,
                 recipe.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    if (!recipe.palette.empty()) png_set_PLTE(png, info, recipe.palette.data(), int(recipe.palette.size()));
    if (!recipe.transparent.empty())
        png_set_tRNS(png, info, recipe.transparent.data(), int(recipe.transparent.size()), nullptr);
    std::vector<png_bytep> rows;
    for (const auto& row : recipe.rows) rows.push_back(const_cast<png_bytep>(row.data()));
    png_set_rows(png, info, rows.data());
    png_write_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
    png_destroy_write_struct(&png, &info);
    return out;
}

// Decodes a PNG file held in memory: its lines and the most the decoder held, or why it could not be read.
std::string DecodePng(const std::string& file, std::vector<std::vector<unsigned char>>* lines, size_t* held = nullptr)
{
    FILE* in = fmemopen(const_cast<char*>(file.data()), file.size(), "rb");
    PngLines png(in);
    bool ok = png.Start();
    for (unsigned y = 0; ok && y < png.Height(); ++y) {
        const unsigned char* line = png.NextLine();
        if (line) lines->emplace_back(line, line + size_t(png.Width()) * png.Channels());
        ok = line != nullptr;
        if (held) *held = std::max(*held, png.Held());
    }
    ok = ok && png.Finish();
    std::fclose(in);
    return ok ? "" : png.Error();
}

TEST(PngLines, DecodesEachKindToEightBitGreyOrRgbOverWhite)
{
    using L = std::vector<std::vector<unsigned char>>;
    struct Row { const char* kind; PngRecipe recipe; L want; } rows[] = {
        {"palette of 2 bits, one entry transparent",
         {4, 1, PNG_COLOR_TYPE_PALETTE, 2, false, {{0x1b}}, {{200, 0, 0}, {0, 200, 0}, {0, 0, 200}, {9, 9, 9}}, {255, 0}},
         {{200, 0, 0, 255, 255, 255, 0, 0, 200, 9, 9, 9}}},
        {"grey of 1 bit", {9, 1, PNG_COLOR_TYPE_GRAY, 1, false, {{0xa5, 0x80}}, {}, {}},
         {{255, 0, 255, 0, 0, 255, 0, 255, 255}}},
        {"grey of 16 bits", {3, 1, PNG_COLOR_TYPE_GRAY, 16, false, {{0, 0, 0x80, 0x80, 0xff, 0xff}}, {}, {}},
         {{0, 128, 255}}},
        {"grey and alpha", {4, 1, PNG_COLOR_TYPE_GRAY_ALPHA, 8, false, {{0, 0, 0, 255, 0, 128, 200, 255}}, {}, {}},
         {{255, 0, 127, 200}}},
        {"RGBA of 16 bits",
         {2, 2, PNG_COLOR_TYPE_RGB_ALPHA, 16, false,
          {{10, 10, 20, 20, 30, 30, 255, 255, 1, 1, 2, 2, 3, 3, 0, 0}, {0, 0, 0, 0, 0, 0, 128, 128, 5, 5, 6, 6, 7, 7, 255, 255}},
          {}, {}},
         {{10, 20, 30, 255, 255, 255}, {127, 127, 127, 5, 6, 7}}},
        {"RGB interlaced", {3, 3, PNG_COLOR_TYPE_RGB, 8, true, {}, {}, {}}, {}}};
    for (unsigned y = 0; y < 3; ++y) {  // the interlaced image's pixels, each its own
        rows[5].recipe.rows.emplace_back();
        for (unsigned x = 0; x < 3; ++x)
            for (unsigned char c : {x * 80, y * 80, x + 3 * y + 1}) rows[5].recipe.rows.back().push_back(c);
        rows[5].want.push_back(rows[5].recipe.rows.back());
    }
    for (const Row& r : rows) {
        L lines;
        size_t held = 0;
        EXPECT_EQ(DecodePng(MakePng(r.recipe), &lines, &held), "") << r.kind;
        EXPECT_EQ(lines, r.want) << r.kind;
        // A decoded row and the line handed out; the whole image only when interlaced.
        EXPECT_LE(held, (r.recipe.interlaced ? r.recipe.height + 1 : 2) * r.recipe.width * 4) << r.kind;
    }
}

TEST(PngLines, RefusesWhatCannotBeReadWithItsReason)
{
    PngRecipe grey{20, 20, PNG_COLOR_TYPE_GRAY, 8, false, {}, {}, {}};
    grey.rows.assign(20, std::vector<unsigned char>(20, 7));
    std::string file = MakePng(grey);
    PngRecipe wide{SIDE_MAX + 1, 1, PNG_COLOR_TYPE_GRAY, 1, false, {std::vector<unsigned char>(SIDE_MAX / 8 + 1)}, {}, {}};
    std::string damaged = file;
    damaged[damaged.size() / 2] ^= 0x55;
    struct Row { std::string file; const char* why; } rows[] = {
        {file.substr(0, file.size() - 12), "it is damaged or cut short ("},  // the IEND chunk gone
        {file.substr(0, file.size() / 2), "it is damaged or cut short ("},
        {damaged, "it is damaged or cut short ("},
        {MakePng(wide), "an image of 100001 x 1 pixels is not supported"},
        {"GIF89a", "it is not a PNG file"}};
    for (const Row& r : rows) {
        std::vector<std::vector<unsigned char>> lines;
        std::string why = DecodePng(r.file, &lines);
        EXPECT_EQ(why.find(r.why), 0u) << why;
    }
}

// A picture of four flat quadrants (no white at its edges) and, for PNG, a transparent square and a half-transparent
// black one inside; its pixels as the page should show them (over white).
struct Picture {
    unsigned width, height, channels;  // channels of the file: 1 grey, 3 RGB, 4 RGBA
    std::vector<unsigned char> samples, shown;  // `shown`: RGB
};

Picture Quadrants(unsigned width, unsigned height, unsigned channels)
{
    const unsigned char colours[4][3] = {{200, 40, 40}, {40, 170, 60}, {40, 60, 200}, {220, 200, 40}};
    const unsigned char greys[4] = {40, 100, 160, 210};
    Picture p{width, height, channels, {}, {}};
    for (unsigned y = 0; y < height; ++y)
        for (unsigned x = 0; x < width; ++x) {
            unsigned q = (y >= height / 2) * 2 + (x >= width / 2);
            bool inner = x >= width / 3 && x < width * 2 / 3 && y >= height / 3 && y < height * 2 / 3;
            unsigned alpha = channels == 4 && inner ? (x < width / 2 ? 0 : 128) : 255;
            for (unsigned c = 0; c < 3; ++c) {
                unsigned char v = channels == 1 ? greys[q] : alpha == 128 ? 0 : colours[q][c];
                if (c < channels) p.samples.push_back(v);
                p.shown.push_back(alpha == 255 ? v : alpha == 0 ? 255 : 127);
            }
            if (channels == 4) p.samples.push_back(static_cast<unsigned char>(alpha));
        }
    return p;
}

std::string MakeJpeg(const Picture& p, bool progressive)
{
    jpeg_compress_struct c{};
    jpeg_error_mgr errors{};
    c.err = jpeg_std_error(&errors);
    jpeg_create_compress(&c);
    unsigned char* data = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &data, &size);
    c.image_width = p.width, c.image_height = p.height, c.input_components = int(p.channels);
    c.in_color_space = p.channels == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 95, TRUE);
    if (progressive) jpeg_simple_progression(&c);
    jpeg_start_compress(&c, TRUE);
    for (unsigned y = 0; y < p.height; ++y) {
        JSAMPROW row = const_cast<JSAMPROW>(&p.samples[size_t(y) * p.width * p.channels]);
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    std::string file(reinterpret_cast<char*>(data), size);
    free(data);
    return file;
}

// The PostScript is printable 7-bit text, and no line of an image's data begins with `%` (a comment to whatever reads
// the job on its way, a ticket line to the hook library).
void ExpectCleanText(const std::string& ps)
{
    std::istringstream lines(ps);
    bool data = false;
    for (std::string line; std::getline(lines, line);) {
        auto ends = [&line](const std::string& end) {
            return line.size() >= end.size() && line.compare(line.size() - end.size(), end.size(), end) == 0;
        };
        EXPECT_FALSE(data && line[0] == '%') << line;
        data = data ? !ends("~>") : ends(" rpsimage");
        for (char c : line) ASSERT_TRUE(c >= 0x20 && c < 0x7f) << int(c);
    }
}

// Data whose every ASCII85 group begins with `%` (0x0d0d0d0d lies between 4 and 5 times 85^4).
TEST(ImageData, NoLineOfItBeginsWithAPercent)
{
    std::string ps;
    Converter converter([&](const char* data, size_t size) { return ps.append(data, size), true; });
    Placement placement;
    ASSERT_EQ(Fit(1, 1, Media{2540, 2540, 0, 0, 0, 0}, &placement), "");
    std::vector<unsigned char> data(600, 0x0d);
    ASSERT_TRUE(converter.StartJob("%") && converter.StartJpegPage(1, 1, 1, placement));
    ASSERT_TRUE(converter.WriteData(data.data(), data.size()) && converter.EndJob());
    EXPECT_NE(ps.find("\n %"), std::string::npos);
    ExpectCleanText(ps);
}

struct Kind { const char* name; unsigned width, height, channels; bool jpeg, progressive; };
void PrintTo(const Kind& kind, std::ostream* out) { *out << kind.name; }

class ImagePage : public ::testing::TestWithParam<Kind> {
protected:
    fs::path work = fs::path(RASTERPS_WORK) / ("images-" + std::to_string(getpid()));
    void SetUp() override { fs::create_directories(work); }
    void TearDown() override { fs::remove_all(work); }
};

// The image on a 3 x 2 inch sheet with quarter-inch margins, rendered at 72 dpi: the page the sheet's size, the image
// found fitted and centred with the source's pixels; the PostScript 7-bit, no line of its data a comment.
TEST_P(ImagePage, PrintsFittedAndCentredOnTheMedia)
{
    const Kind& kind = GetParam();
    Picture picture = Quadrants(kind.width, kind.height, kind.channels);
    std::string ps;
    Converter converter([&](const char* data, size_t size) { return ps.append(data, size), true; });
    Placement placement;
    ASSERT_EQ(Fit(kind.width, kind.height, Media{7620, 5080, 635, 635, 635, 635}, &placement), "");
    ASSERT_TRUE(converter.StartJob(kind.name));
    if (kind.jpeg) {
        std::string file = MakeJpeg(picture, kind.progressive);
        JpegInfo info;
        ASSERT_EQ(ReadJpeg(FromString(file, 4096), &info), "");
        ASSERT_TRUE(converter.StartJpegPage(info.width, info.height, info.components, placement)) << converter.Error();
        EXPECT_FALSE(converter.WriteLine(picture.samples.data(), picture.samples.size()));
        ASSERT_TRUE(converter.WriteData(reinterpret_cast<const unsigned char*>(file.data()), info.end));
    } else {
        int type = kind.channels == 4 ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB;
        PngRecipe recipe{kind.width, kind.height, type, 8, true, {}, {}, {}};
        for (unsigned y = 0; y < kind.height; ++y)
            recipe.rows.emplace_back(&picture.samples[size_t(y) * kind.width * kind.channels],
                                   &picture.samples[size_t(y + 1) * kind.width * kind.channels]);
        std::string file = MakePng(recipe);
        FILE* in = fmemopen(file.data(), file.size(), "rb");
        PngLines png(in);
        ASSERT_TRUE(png.Start()) << png.Error();
        cups_page_header2_t h{};
        h.cupsWidth = png.Width(), h.cupsHeight = png.Height(), h.cupsBytesPerLine = png.Width() * png.Channels();
        h.cupsBitsPerColor = 8, h.cupsBitsPerPixel = 8 * png.Channels(), h.HWResolution[0] = h.HWResolution[1] = 72;
        h.cupsColorSpace = png.Channels() == 1 ? CUPS_CSPACE_SW : CUPS_CSPACE_SRGB;
        ASSERT_TRUE(converter.StartPage(h, placement)) << converter.Error();
        EXPECT_FALSE(converter.WriteData(reinterpret_cast<const unsigned char*>(file.data()), 4));
        for (unsigned y = 0; y < png.Height(); ++y) ASSERT_TRUE(converter.WriteLine(png.NextLine(), h.cupsBytesPerLine));
        EXPECT_TRUE(png.Finish()) << png.Error();
        std::fclose(in);
    }
    ASSERT_TRUE(converter.EndJob());
    ExpectCleanText(ps);
    EXPECT_NE(ps.find("\n%%PageBoundingBox: 0 0 216 144\n"), std::string::npos);
    std::ofstream(work / "page.ps") << ps;
    std::ofstream(work / "source.ppm") << "P6\n" << kind.width << " " << kind.height << "\n255\n"
                                       << std::string(picture.shown.begin(), picture.shown.end());
    std::string w = work.string();
    ASSERT_EQ(std::system(("timeout 60 gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=ppmraw -r72 -sOutputFile=" + w +
                           "/page.ppm " + w + "/page.ps").c_str()), 0);
    std::string compare = std::string(IMAGE_COMPARE) + " " + w + "/source.ppm " + w + "/page.ppm 18 " +
                          (kind.jpeg ? "24" : "1") + " >" + w + "/compared";
    int status = std::system(compare.c_str());
    std::ifstream compared(work / "compared");
    std::string found((std::istreambuf_iterator<char>(compared)), {});
    EXPECT_EQ(status, 0) << found;
    EXPECT_EQ(found.rfind("page 216x144; image ", 0), 0u) << found;
    std::cout << kind.name << ": " << found;
}

INSTANTIATE_TEST_SUITE_P(Images, ImagePage,
                         ::testing::Values(Kind{"jpeg_grey", 64, 48, 1, true, false},
                                           Kind{"jpeg_colour_progressive", 48, 64, 3, true, true},
                                           Kind{"png_rgba_interlaced", 64, 40, 4, false, false}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
