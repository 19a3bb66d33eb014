// PostScript level 3 from raster pages given line by line, as a printer
// application's raster callbacks give them (start job, start page, write
// line, end page, end job). Each page becomes one image at the raster's
// resolution covering a page of the raster's size, its samples Flate-
// compressed and ASCII85-encoded, streamed to the caller's sink as the lines
// come: the converter holds one line and the compressor's state, whatever the
// number of lines or pages. The output is 7-bit text with DSC comments, one
// `%%EndComments` ending the header. A page's image may instead be placed on
// a sheet of another size (fitted inside its margins and centred, as
// documents of one image print), and its samples may come JPEG-compressed,
// passed on as they are.
#pragma once

#include <cups/raster.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace rasterps {

const unsigned SIDE_MAX = 100000;  // pixels a page's or an image's side may have

// Takes the next bytes of the PostScript; false when it could not.
using Sink = std::function<bool(const char* data, std::size_t size)>;

// What a converter holds in memory, in bytes.
struct Footprint {
    std::size_t buffers;     // the line and output buffers
    std::size_t compressor;  // what zlib allocated
};

// Empty when pages of this header can be converted, else why not, in words
// that can go to the job's message (8-bit grey and 24-bit sRGB, chunky, are).
std::string Unsupported(const cups_page_header2_t& header);

// The sheet a page's image is placed on, as a printer application's print
// options give it: its size and margins in hundredths of a millimetre.
struct Media {
    int width = 0, length = 0;
    int left = 0, right = 0, top = 0, bottom = 0;
};

// A page and where its image goes on it, in ten-thousandths of a point: the
// page's size, the image's box from the page's lower left corner.
struct Placement {
    uint64_t page_width = 0, page_height = 0;
    uint64_t x = 0, y = 0, width = 0, height = 0;
};

// A page of the media's size holding an image of `width` x `height` pixels
// as large as fits inside the margins, its aspect ratio kept, centred
// between them. Empty when it can be placed, else why not.
std::string Fit(unsigned width, unsigned height, const Media& media, Placement* placement);

// Text as a DSC text value: one PostScript string on one line, every byte
// outside printable ASCII, and `%`, `(`, `)` and `\`, escaped; at most
// `max_chars` characters.
std::string DscText(std::string_view text, std::size_t max_chars = 200);

// One job's conversion. Each call returns false with error() set when it
// could not do its part; after a sink failure every later call fails too.
class Converter {
public:
    explicit Converter(Sink sink);
    ~Converter();
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    // Writes the header and prolog; the title is the user's job name.
    bool StartJob(std::string_view title);
    // Starts a page of this header (refused when Unsupported() says why),
    // the page the raster's size, its image covering it.
    bool StartPage(const cups_page_header2_t& header);
    // Starts a page of this header placed as `placement` says.
    bool StartPage(const cups_page_header2_t& header, const Placement& placement);
    // Starts a page whose image comes as JPEG (baseline or progressive DCT)
    // data, given by WriteData as it is: `width` x `height` pixels of 1
    // (grey) or 3 (colour) components.
    bool StartJpegPage(unsigned width, unsigned height, unsigned components, const Placement& placement);
    // The JPEG page's next bytes.
    bool WriteData(const unsigned char* data, std::size_t size);
    // The page's next line: bytes past the header's line length are
    // ignored, missing ones are white; a line past the page's height is
    // refused and nothing is written.
    bool WriteLine(const unsigned char* line, std::size_t size);
    // Ends the page; lines that never came are white. A JPEG page's data
    // ends as it was given.
    bool EndPage();
    // Ends an open page, then writes the trailer.
    bool EndJob();

    const std::string& Error() const;
    Footprint Held() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace rasterps
