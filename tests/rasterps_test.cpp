// rasterps: rasters Ghostscript made, read with libcups, converted, rendered back
// by Ghostscript at their resolution and compared pixel by pixel; the DSC
// frame, the title, refused headers, odd lines and memory over a long job.
#include "rasterps.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <vector>

namespace fs = std::filesystem;
using rasterps::Converter;

namespace {

// Two pages (a size no whole number of pixels fits): a grey ramp, colour patches, small and large text; a hue
// ramp, circles and text.
const char SOURCE[] = R"(%!PS
<< /PageSize [288 217] >> setpagedevice /Courier findfont 5 scalefont setfont
0 1 99 { dup 100 div setgray 2.88 mul 0 2.88 108 rectfill } for
1 0 0 setrgbcolor 10 120 40 40 rectfill 0 .5 1 setrgbcolor 60 120 40 40 rectfill 0 setgray
170 6 210 { 4 exch moveto (The quick brown fox jumps over the lazy dog, 0123456789 times.) show } for
/Helvetica findfont 20 scalefont setfont 110 130 moveto (Page one) show showpage
0 1 99 { dup 100 div .8 1 sethsbcolor 2.17 mul 0 exch 288 2.17 rectfill } for
0 setgray 0 6 90 { 144 108 3 -1 roll 0 360 arc stroke } for
/Helvetica findfont 20 scalefont setfont 20 90 moveto (Page two) show showpage
)";

struct Page {
    cups_page_header2_t header;
    std::vector<unsigned char> pixels;
};

int Bounded(const std::string& command)
{
    return std::system(("timeout 60 " + command).c_str());
}

std::string Slurp(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::vector<Page> ReadRaster(const fs::path& file)
{
    std::vector<Page> pages;
    int fd = open(file.c_str(), O_RDONLY);
    cups_raster_t* raster = cupsRasterOpen(fd, CUPS_RASTER_READ);
    for (Page p; raster && cupsRasterReadHeader2(raster, &p.header); pages.push_back(p)) {
        p.pixels.resize(size_t(p.header.cupsBytesPerLine) * p.header.cupsHeight);
        for (unsigned y = 0; y < p.header.cupsHeight; ++y)
            EXPECT_EQ(cupsRasterReadPixels(raster, &p.pixels[y * p.header.cupsBytesPerLine], p.header.cupsBytesPerLine),
                      p.header.cupsBytesPerLine);
    }
    cupsRasterClose(raster);
    close(fd);
    return pages;
}

// The samples of a binary PNM file (P5, P6) and their width and height.
std::vector<unsigned char> ReadPnm(const fs::path& file, unsigned* width, unsigned* height)
{
    std::istringstream in(Slurp(file));
    std::string magic, token;
    std::vector<unsigned> numbers;
    in >> magic;
    while (numbers.size() < 3 && in >> token)
        token[0] == '#' ? std::getline(in, token), void() : numbers.push_back(unsigned(std::stoul(token)));
    if (numbers.size() < 3) return {};
    *width = numbers[0], *height = numbers[1];
    in.get();
    return {std::istreambuf_iterator<char>(in), {}};
}

class RasterPs : public ::testing::Test {
protected:
    fs::path work = fs::path(RASTERPS_WORK) / std::to_string(getpid());
    std::error_code ignored;  // another test may still work there
    std::string ps;
    Converter converter{[this](const char* data, size_t size) { return ps.append(data, size), true; }};

    void SetUp() override { fs::remove_all(work), fs::create_directories(work); }
    void TearDown() override { fs::remove_all(work), fs::remove(work.parent_path(), ignored); }

    // Renders the PostScript at `dpi` (ppmraw: pgmraw itself rounds 64 of the 256 greys down by one) and
    // compares each page's pixels with `pages`, every channel; returns the pixels compared.
    long RenderAndCompare(const std::vector<Page>& pages, unsigned channels, const std::string& dpi)
    {
        std::ofstream(work / "out.ps", std::ios::binary) << ps;
        std::string log = (work / "gs.log").string();
        EXPECT_EQ(Bounded("gs -q -dSAFER -dNOPAUSE -dBATCH -sDEVICE=ppmraw -r" + dpi + " -sOutputFile=" +
                          (work / "page-%d.ppm").string() + " " + (work / "out.ps").string() + " >" + log + " 2>&1"), 0);
        EXPECT_EQ(Slurp(log), "");
        long compared = 0;
        for (size_t i = 0; i < pages.size(); ++i) {
            unsigned w = 0, h = 0, bpl = pages[i].header.cupsBytesPerLine;
            std::vector<unsigned char> got = ReadPnm(work / ("page-" + std::to_string(i + 1) + ".ppm"), &w, &h);
            if (w != pages[i].header.cupsWidth || h != pages[i].header.cupsHeight || got.size() != size_t(w) * h * 3)
                return ADD_FAILURE() << "page " << i + 1 << " rendered " << w << " x " << h, -1;
            long differences = 0;
            for (size_t at = 0; at < got.size(); ++at) {
                size_t y = at / 3 / w, x = at / 3 % w, c = channels == 3 ? at % 3 : 0;
                differences += got[at] != pages[i].pixels[y * bpl + x * channels + c];
            }
            EXPECT_EQ(differences, 0) << "page " << i + 1;
            compared += long(w) * h;
        }
        EXPECT_FALSE(fs::exists(work / ("page-" + std::to_string(pages.size() + 1) + ".ppm")));
        return compared;
    }
};

// The header ends at its one %%EndComments, before any page; pages counted in the trailer.
void ExpectFrame(const std::string& ps, size_t pages)
{
    size_t end = ps.find("\n%%EndComments\n"), first_page = ps.find("\n%%Page: ");
    EXPECT_EQ(ps.rfind("%!PS-Adobe-3.0\n", 0), 0u);
    EXPECT_LT(end, first_page);
    EXPECT_EQ(ps.find("%%EndComments", end + 2), std::string::npos);
    size_t count = 0;
    for (size_t at = 0; (at = ps.find("\n%%Page: ", at + 1)) != std::string::npos;) ++count;
    EXPECT_EQ(count, pages);
    EXPECT_NE(ps.find("\n%%Trailer\n%%Pages: " + std::to_string(pages) + "\n"), std::string::npos);
    EXPECT_EQ(ps.substr(ps.size() - 6), "%%EOF\n");
}

struct Kind {
    const char* device;
    unsigned space, channels;
    const char* dpi;
};

class RoundTrip : public RasterPs, public ::testing::WithParamInterface<Kind> {};

TEST_P(RoundTrip, EveryPixelComesBack)
{
    std::ofstream(work / "source.ps") << SOURCE;
    ASSERT_EQ(Bounded(std::string("gs -q -dSAFER -dNOPAUSE -dBATCH -dcupsBitsPerColor=8 -r") + GetParam().dpi +
                  " -sDEVICE=" + GetParam().device +
                  " -dcupsColorSpace=" + std::to_string(GetParam().space) + " -sOutputFile=" +
                  (work / "in.ras").string() + " " + (work / "source.ps").string() + " 2>/dev/null"), 0);
    std::vector<Page> pages = ReadRaster(work / "in.ras");
    ASSERT_EQ(pages.size(), 2u);
    ASSERT_TRUE(converter.StartJob("round trip"));
    for (const Page& p : pages) {
        ASSERT_EQ(p.header.cupsBitsPerPixel, 8 * GetParam().channels);
        ASSERT_TRUE(converter.StartPage(p.header)) << converter.Error();
        for (unsigned y = 0; y < p.header.cupsHeight; ++y)
            ASSERT_TRUE(converter.WriteLine(&p.pixels[y * p.header.cupsBytesPerLine], p.header.cupsBytesPerLine));
        ASSERT_TRUE(converter.EndPage());
    }
    ASSERT_TRUE(converter.EndJob());
    ExpectFrame(ps, 2);
    long compared = RenderAndCompare(pages, GetParam().channels, GetParam().dpi);
    std::cout << GetParam().device << " colour space " << GetParam().space << " at " << GetParam().dpi << " dpi: " << compared
              << " pixels compared, " << ps.size() << " bytes of PostScript\n";
}

INSTANTIATE_TEST_SUITE_P(Rasters, RoundTrip,
                         ::testing::Values(Kind{"pwgraster", CUPS_CSPACE_SW, 1, "75"},
                                           Kind{"pwgraster", CUPS_CSPACE_SRGB, 3, "100"},
                                           Kind{"urf", CUPS_CSPACE_SW, 1, "150"}, Kind{"urf", CUPS_CSPACE_SRGB, 3, "75"}));

}  // namespace
