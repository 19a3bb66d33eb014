// raster_compare RASTER PAGE.ppm...: each page of a PWG or Apple raster (8-bit grey or 24-bit colour, read with
// libcups) against a binary PPM of it, every channel of every pixel (grey as three equal channels). Prints
// "N pixels, M differ"; exit 0 only when the pages match in number and size and no pixel differs.
#include <cups/raster.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

struct Image {
    unsigned width = 0, height = 0;
    std::string rgb;
};

// A binary PPM with 255 as its largest value (a comment after its magic, as Ghostscript writes); empty when it is
// not one.
Image ReadPpm(const char* path)
{
    Image image;
    std::ifstream in(path, std::ios::binary);
    std::string magic;
    unsigned max = 0;
    std::string comment;
    if ((in >> magic >> std::ws).peek() == '#') std::getline(in, comment);
    if (!(in >> image.width >> image.height >> max) || magic != "P6" || max != 255) return {};
    in.get();
    image.rgb.assign(std::istreambuf_iterator<char>(in), {});
    if (image.rgb.size() != size_t(image.width) * image.height * 3) return {};
    return image;
}

// Pixels of the page's line `y` that differ from the image's.
long Differences(const cups_page_header2_t& h, const std::vector<unsigned char>& line, const Image& image, unsigned y)
{
    unsigned channels = h.cupsBitsPerPixel / 8;
    long differ = 0;
    for (unsigned x = 0; x < h.cupsWidth; ++x) {
        const char* got = &image.rgb[(size_t(y) * image.width + x) * 3];
        bool same = true;
        for (unsigned c = 0; c < 3; ++c)
            same = same && static_cast<unsigned char>(got[c]) == line[size_t(x) * channels + (channels == 3 ? c : 0)];
        differ += !same;
    }
    return differ;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) return fprintf(stderr, "usage: raster_compare RASTER PAGE.ppm...\n"), 2;
    int fd = open(argv[1], O_RDONLY);
    cups_raster_t* raster = fd < 0 ? nullptr : cupsRasterOpen(fd, CUPS_RASTER_READ);
    if (!raster) return fprintf(stderr, "raster_compare: cannot read %s\n", argv[1]), 2;
    long pixels = 0, differ = 0;
    int page = 2, status = 0;
    cups_page_header2_t h;
    for (; cupsRasterReadHeader2(raster, &h); ++page) {
        Image image = page < argc ? ReadPpm(argv[page]) : Image{};
        bool depth = (h.cupsBitsPerPixel == 8 || h.cupsBitsPerPixel == 24) && h.cupsBitsPerColor == 8;
        if (!depth || image.width != h.cupsWidth || image.height != h.cupsHeight) {
            printf("page %d: %ux%u at %u bits sent, %ux%u rendered\n", page - 1, h.cupsWidth, h.cupsHeight,
                   h.cupsBitsPerPixel, image.width, image.height);
            status = 1;
            break;
        }
        std::vector<unsigned char> line(h.cupsBytesPerLine);
        for (unsigned y = 0; y < h.cupsHeight; ++y)
            differ += cupsRasterReadPixels(raster, line.data(), h.cupsBytesPerLine) == h.cupsBytesPerLine
                          ? Differences(h, line, image, y)
                          : h.cupsWidth;
        pixels += long(h.cupsWidth) * h.cupsHeight;
    }
    if (status == 0 && page != argc) printf("%d pages sent, %d rendered\n", page - 2, argc - 2), status = 1;
    cupsRasterClose(raster);
    close(fd);
    printf("%ld pixels, %ld differ\n", pixels, differ);
    return status || differ ? 1 : 0;
}
