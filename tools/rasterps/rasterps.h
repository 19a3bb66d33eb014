// PostScript level 3 from raster pages given line by line, as a printer
// application's raster callbacks give them (start job, start page, write
// line, end page, end job). Each page becomes one image at the raster's
// resolution covering a page of the raster's size, its samples Flate-
// compressed and ASCII85-encoded, streamed to the caller's sink as the lines
// come: the converter holds one line and the compressor's state, whatever the
// number of lines or pages. The output is 7-bit text with DSC comments, one
// `%%EndComments` ending the header.
#pragma once

#include <cups/raster.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace rasterps {

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
    // Starts a page of this header (refused when Unsupported() says why).
    bool StartPage(const cups_page_header2_t& header);
    // The page's next line: bytes past the header's line length are
    // ignored, missing ones are white; a line past the page's height is
    // refused and nothing is written.
    bool WriteLine(const unsigned char* line, std::size_t size);
    // Ends the page; lines that never came are white.
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
