// rasterps: Ghostscript's rasters read with libcups, converted, rendered back by Ghostscript at their resolution
// and compared pixel by pixel; the DSC frame, a hostile title, odd lines, refused headers, memory over a long job.
#include "rasterps.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

namespace fs = std::filesystem;
using rasterps::Converter;

namespace {

// Two pages of a size no whole number of pixels fits: a grey ramp, colour patches, small and large text; a hue
// ramp, circles and text.
const char SOURCE[] = R"(%!PS
<< /PageSize [288 217] >> setpagedevice /Courier findfont 5 scalefont setfont 0 1 99 { dup 100 div setgray 2.88 mul
0 2.88 108 rectfill } for 1 0 0 setrgbcolor 10 120 40 40 rectfill 0 .5 1 setrgbcolor 60 120 40 40 rectfill 0 setgray
170 6 210 { 4 exch moveto (The quick brown fox jumps over the lazy dog, 0123456789 times.) show } for
/Helvetica findfont 20 scalefont setfont 110 130 moveto (Page one) show showpage
0 1 99 { dup 100 div .8 1 sethsbcolor 2.17 mul 0 exch 288 2.17 rectfill } for 0 setgray
0 6 90 { 144 108 3 -1 roll 0 360 arc stroke } for 20 90 moveto (Page two) show showpage)";

struct Page { cups_page_header2_t header; std::vector<unsigned char> pixels; };

int Bounded(const std::string& command) { return std::system(("timeout 60 " + command).c_str()); }

std::vector<Page> ReadRaster(const fs::path& file)
{
    std::vector<Page> pages;
    int fd = open(file.c_str(), O_RDONLY);
    cups_raster_t* raster = cupsRasterOpen(fd, CUPS_RASTER_READ);
    for (Page p; cupsRasterReadHeader2(raster, &p.header); pages.push_back(p)) {
        unsigned bpl = p.header.cupsBytesPerLine;
        p.pixels.resize(size_t(bpl) * p.header.cupsHeight);
        for (unsigned y = 0; y < p.header.cupsHeight; ++y) EXPECT_EQ(cupsRasterReadPixels(raster, &p.pixels[y * bpl], bpl), bpl);
    }
    cupsRasterClose(raster), close(fd);
    return pages;
}

cups_page_header2_t Grey(unsigned width, unsigned height)
{
    cups_page_header2_t h{};
    h.cupsWidth = h.cupsBytesPerLine = width, h.cupsHeight = height, h.cupsBitsPerColor = h.cupsBitsPerPixel = 8;
    h.cupsColorSpace = CUPS_CSPACE_SW, h.HWResolution[0] = h.HWResolution[1] = 72;
    return h;
}

class RasterPs : public ::testing::Test {
protected:
    fs::path work = fs::path(RASTERPS_WORK) / std::to_string(getpid());
    std::error_code ignored;  // another test may still work there
    std::string ps;
    Converter converter{[this](const char* data, size_t size) { return ps.append(data, size), true; }};

    void SetUp() override { fs::create_directories(work); }
    void TearDown() override { fs::remove_all(work), fs::remove(work.parent_path(), ignored); }

    // Ends the job: one %%EndComments, before the first page; the pages counted in the trailer.
    void EndJob(size_t pages)
    {
        ASSERT_TRUE(converter.EndJob());
        size_t end = ps.find("%%EndComments\n"), count = 0;
        for (size_t at = 0; (at = ps.find("\n%%Page: ", at + 1)) != std::string::npos;) ++count;
        EXPECT_EQ(ps.rfind("%!PS-Adobe-3.0\n", 0), 0u);
        EXPECT_LT(end, ps.find("%%Page: "));
        EXPECT_EQ(ps.find("%%EndComments", end + 1), std::string::npos);
        EXPECT_EQ(count, pages);
        EXPECT_NE(ps.find("\n%%Trailer\n%%Pages: " + std::to_string(pages) + "\n"), std::string::npos);
        EXPECT_EQ(ps.compare(ps.size() - 6, 6, "%%EOF\n"), 0);
    }

    // Renders the job (ppmraw: pgmraw itself turns 64 of the 256 greys one darker) and compares every channel of
    // every pixel of each page with `pages`; returns the pixels compared.
    long RenderAndCompare(const std::vector<Page>& pages, unsigned channels, const std::string& dpi)
    {
        std::ofstream(work / "out.ps", std::ios::binary) << ps;
        EXPECT_EQ(Bounded("gs -q -dSAFER -dNOPAUSE -dBATCH -sDEVICE=ppmraw -r" + dpi + " -sOutputFile=" + work.string() +
                          "/page-%d.ppm " + work.string() + "/out.ps >" + work.string() + "/gs.log 2>&1"), 0);
        EXPECT_EQ(fs::file_size(work / "gs.log"), 0u);
        long compared = 0;
        for (size_t i = 0; i < pages.size(); ++i) {
            std::ifstream in(work / ("page-" + std::to_string(i + 1) + ".ppm"), std::ios::binary);
            std::string magic, comment, got;
            unsigned w = 0, h = 0, max = 0, bpl = pages[i].header.cupsBytesPerLine;
            if ((in >> magic >> std::ws).peek() == '#') std::getline(in, comment);
            in >> w >> h >> max, in.get(), got.assign(std::istreambuf_iterator<char>(in), {});
            if (w != pages[i].header.cupsWidth || h != pages[i].header.cupsHeight || got.size() != size_t(w) * h * 3)
                return ADD_FAILURE() << "page " << i + 1 << " rendered " << w << " x " << h, -1;
            long differences = 0;
            for (size_t at = 0; at < got.size(); ++at)
                differences += uint8_t(got[at]) != pages[i].pixels[at / 3 / w * bpl + at / 3 % w * channels +
                                                                   (channels == 3 ? at % 3 : 0)];
            EXPECT_EQ(differences, 0) << "page " << i + 1;
            compared += long(w) * h;
        }
        EXPECT_FALSE(fs::exists(work / ("page-" + std::to_string(pages.size() + 1) + ".ppm")));
        return compared;
    }
};

struct Kind { const char* device; unsigned space, channels; const char* dpi; };
void PrintTo(const Kind& kind, std::ostream* out) { *out << kind.device << " at " << kind.dpi << " dpi"; }

class RoundTrip : public RasterPs, public ::testing::WithParamInterface<Kind> {};

TEST_P(RoundTrip, EveryPixelComesBack)
{
    const Kind& kind = GetParam();
    std::ofstream(work / "source.ps") << SOURCE;
    ASSERT_EQ(Bounded(std::string("gs -q -dSAFER -dNOPAUSE -dBATCH -dcupsBitsPerColor=8 -r") + kind.dpi + " -sDEVICE=" +
                      kind.device + " -dcupsColorSpace=" + std::to_string(kind.space) + " -sOutputFile=" +
                      work.string() + "/in.ras " + work.string() + "/source.ps 2>/dev/null"), 0);
    std::vector<Page> pages = ReadRaster(work / "in.ras");
    ASSERT_EQ(pages.size(), 2u);
    ASSERT_TRUE(converter.StartJob("round trip"));
    for (const Page& p : pages) {
        ASSERT_EQ(p.header.cupsBitsPerPixel, 8 * kind.channels);
        ASSERT_TRUE(converter.StartPage(p.header)) << converter.Error();
        for (unsigned y = 0; y < p.header.cupsHeight; ++y)
            ASSERT_TRUE(converter.WriteLine(&p.pixels[y * p.header.cupsBytesPerLine], p.header.cupsBytesPerLine));
        ASSERT_TRUE(converter.EndPage());
    }
    EndJob(2);
    long compared = RenderAndCompare(pages, kind.channels, kind.dpi);
    std::cout << kind.device << ", colour space " << kind.space << ", " << kind.dpi << " dpi: " << compared
              << " pixels compared, " << ps.size() << " bytes of PostScript\n";
}

INSTANTIATE_TEST_SUITE_P(Rasters, RoundTrip,
                         ::testing::Values(Kind{"pwgraster", CUPS_CSPACE_SW, 1, "75"},
                                           Kind{"pwgraster", CUPS_CSPACE_SRGB, 3, "100"},
                                           Kind{"urf", CUPS_CSPACE_SW, 1, "150"}, Kind{"urf", CUPS_CSPACE_SRGB, 3, "75"}),
                         [](const auto& info) { return info.param.device + std::to_string(info.param.channels * 8); });

// A user's title that tries to end the header, and lines too short, too long, missing and past the page.
TEST_F(RasterPs, HostileTitleAndOddLinesStayContained)
{
    const unsigned char full[] = {0, 64, 128, 192}, shorter[] = {10, 20}, longer[] = {1, 2, 3, 4, 5, 6, 7, 8};
    std::vector<Page> pages = {{Grey(4, 4), {0, 64, 128, 192, 10, 20, 255, 255, 1, 2, 3, 4, 255, 255, 255, 255}},
                               {Grey(4, 1), {0, 64, 128, 192}}};
    ASSERT_TRUE(converter.StartJob("Q3\r\n%%EndComments\n%%Pages: 9\f(x) \\ \xc3\xa9" + std::string(300, 'y')));
    ASSERT_TRUE(converter.StartPage(pages[0].header) && converter.WriteLine(full, 4) && converter.WriteLine(shorter, 2));
    ASSERT_TRUE(converter.WriteLine(longer, 8) && converter.EndPage());
    ASSERT_TRUE(converter.StartPage(pages[1].header) && converter.WriteLine(full, 4));
    size_t before = ps.size();
    EXPECT_FALSE(converter.WriteLine(full, 4));
    EXPECT_EQ(converter.Error(), "line 2 is past the page's 1");
    EXPECT_EQ(ps.size(), before);
    EndJob(2);
    std::string title = R"(%%Title: (Q3\015\012\045\045EndComments\012\045\045Pages: 9\014\050x\051 \134 \303\251yy)";
    EXPECT_EQ(ps.find(title), ps.find("\n%%Title: ") + 1);
    EXPECT_EQ(ps.find('\n', ps.find(title)) - ps.find(title), 9 + 200u);
    EXPECT_EQ(RenderAndCompare(pages, 1, "72"), 20);
}

TEST_F(RasterPs, UnsupportedHeadersAreRefusedWithTheirReason)
{
    struct Row { unsigned bits, space, order, dpi, bpl; const char* reason; } rows[] = {
                {16, CUPS_CSPACE_SW, 0, 72, 8, "16-bit sGray raster is not supported"},
                {32, CUPS_CSPACE_CMYK, 0, 72, 16, "32-bit CMYK raster is not supported"},
                {8, CUPS_CSPACE_W, CUPS_ORDER_BANDED, 72, 4, "raster in separate colour planes"},
                {8, CUPS_CSPACE_W, 0, 0, 4, "a resolution of 0 x 72 dpi"},
                {8, CUPS_CSPACE_W, 0, 72, 3, "lines of 3 bytes cannot hold 4 pixels"}};
    ASSERT_TRUE(converter.StartJob("refused"));
    size_t before = ps.size();
    for (const Row& row : rows) {
        cups_page_header2_t h = Grey(4, 4);
        h.cupsBitsPerPixel = row.bits, h.cupsBitsPerColor = row.bits == 16 ? 16 : 8, h.cupsBytesPerLine = row.bpl;
        h.cupsColorSpace = cups_cspace_t(row.space), h.cupsColorOrder = cups_order_t(row.order), h.HWResolution[0] = row.dpi;
        EXPECT_FALSE(converter.StartPage(h)) << row.reason;
        EXPECT_EQ(converter.Error().find(row.reason), 0u) << converter.Error();
    }
    EXPECT_EQ(ps.size(), before);
    EndJob(0);
    Converter failing([](const char*, size_t) { return false; });
    EXPECT_FALSE(failing.StartJob("t") || failing.StartPage(Grey(4, 4)));
    EXPECT_EQ(failing.Error(), "the PostScript output could not be written");
}

// 200 grey pages of 600 x 800: what the converter holds (its buffers and every byte zlib allocated) after the
// first page is what it holds after the last.
TEST(RasterPsMemory, FlatOverTwoHundredPages)
{
    size_t bytes = 0;
    Converter converter([&](const char*, size_t size) { return bytes += size, true; });
    std::vector<unsigned char> line(600);
    rasterps::Footprint first{};
    ASSERT_TRUE(converter.StartJob("long"));
    for (unsigned page = 1; page <= 200; ++page) {
        ASSERT_TRUE(converter.StartPage(Grey(600, 800)));
        for (unsigned y = 0; y < 800; ++y) {
            for (unsigned x = 0; x < 600; ++x) line[x] = uint8_t(x * y + page);
            ASSERT_TRUE(converter.WriteLine(line.data(), line.size()));
        }
        ASSERT_TRUE(converter.EndPage());
        if (page == 1) first = converter.Held();
    }
    ASSERT_TRUE(converter.EndJob());
    EXPECT_EQ(converter.Held().buffers, first.buffers);
    EXPECT_EQ(converter.Held().compressor, first.compressor);
    std::cout << "held " << first.buffers << " + " << first.compressor << " bytes for 96 MB of samples, " << bytes
              << " bytes of PostScript\n";
}

}  // namespace
