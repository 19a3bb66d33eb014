// image_compare SOURCE.ppm PAGE.ppm MARGIN TOLERANCE: a rendered page (binary PPM) that should hold the source image
// (binary PPM, no white at its edges) fitted inside margins of MARGIN pixels and centred. The image is found on the
// page as its pixels that are not white; it must be centred, meet the margins with one side, keep the source's aspect
// ratio (to a pixel), and each of its pixels must be within TOLERANCE of the colours of the 5 x 5 source pixels around
// where it maps to. Prints what it found; exit 0 only when all holds.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

namespace {

struct Image {
    long width = 0, height = 0;
    std::string rgb;
    int At(long x, long y, int c) const { return static_cast<unsigned char>(rgb[size_t((y * width + x) * 3 + c)]); }
};

// A binary PPM with 255 as its largest value (a comment after its magic, as Ghostscript writes); empty when not one.
Image ReadPpm(const char* path)
{
    Image image;
    std::ifstream in(path, std::ios::binary);
    std::string magic, comment;
    long max = 0;
    if ((in >> magic >> std::ws).peek() == '#') std::getline(in, comment);
    if (!(in >> image.width >> image.height >> max) || magic != "P6" || max != 255) return {};
    in.get();
    image.rgb.assign(std::istreambuf_iterator<char>(in), {});
    if (image.rgb.size() != size_t(image.width * image.height * 3)) return {};
    return image;
}

bool White(const Image& page, long x, long y)
{
    return page.At(x, y, 0) >= 250 && page.At(x, y, 1) >= 250 && page.At(x, y, 2) >= 250;
}

// How far the page's pixel lies outside the colours of the source's pixels around (sx, sy), two each way, in its worst
// channel: 0 for a pixel of the source or a blend of its neighbours (a JPEG's colours are blurred a pixel or two
// across their edges, and scaling blends them).
int Outside(const Image& source, long sx, long sy, const Image& page, long x, long y)
{
    int worst = 0;
    for (int c = 0; c < 3; ++c) {
        int low = 255, high = 0;
        for (long v = std::max(0L, sy - 2); v <= std::min(source.height - 1, sy + 2); ++v)
            for (long u = std::max(0L, sx - 2); u <= std::min(source.width - 1, sx + 2); ++u)
                low = std::min(low, source.At(u, v, c)), high = std::max(high, source.At(u, v, c));
        worst = std::max({worst, low - page.At(x, y, c), page.At(x, y, c) - high});
    }
    return worst;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 5) return fprintf(stderr, "usage: image_compare SOURCE.ppm PAGE.ppm MARGIN TOLERANCE\n"), 2;
    Image source = ReadPpm(argv[1]), page = ReadPpm(argv[2]);
    long margin = atol(argv[3]), tolerance = atol(argv[4]);
    if (!source.width || !page.width) return fprintf(stderr, "image_compare: cannot read the images\n"), 2;
    long left = page.width, right = -1, top = page.height, bottom = -1;
    for (long y = 0; y < page.height; ++y)
        for (long x = 0; x < page.width; ++x)
            if (!White(page, x, y)) left = std::min(left, x), right = std::max(right, x), top = std::min(top, y),
                                    bottom = std::max(bottom, y);
    printf("page %ldx%ld", page.width, page.height);
    if (right < 0) return printf(", blank\n"), 1;
    long w = right - left + 1, h = bottom - top + 1;
    bool inside = left >= margin && top >= margin && right < page.width - margin && bottom < page.height - margin;
    bool centred = std::abs(left - (page.width - 1 - right)) <= 1 && std::abs(top - (page.height - 1 - bottom)) <= 1;
    bool fitted = std::abs(w - (page.width - 2 * margin)) <= 1 || std::abs(h - (page.height - 2 * margin)) <= 1;
    bool aspect = std::abs(w * source.height - h * source.width) <= std::max(source.width, source.height);
    long pixels = 0, beyond = 0;
    for (long y = top + 1; y < bottom; ++y)
        for (long x = left + 1; x < right; ++x, ++pixels)
            beyond += Outside(source, (2 * (x - left) + 1) * source.width / (2 * w),
                              (2 * (y - top) + 1) * source.height / (2 * h), page, x, y) > tolerance;
    printf("; image %ldx%ld at %ld,%ld:%s%s%s%s; %ld pixels, %ld beyond %ld\n", w, h, left, top,
           inside ? "" : " past the margins,", centred ? " centred," : " off centre,", fitted ? " fitted," : " not fitted,",
           aspect ? " its aspect kept" : " its aspect changed", pixels, beyond, tolerance);
    return inside && centred && fitted && aspect && beyond == 0 ? 0 : 1;
}
