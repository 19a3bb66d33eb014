// The two image formats a printer application takes besides raster, read
// as the converter needs them: a JPEG file's structure walked (its size and
// components from its frame header, its data checked whole up to its end
// marker) so that its data can go to the printer as it is; a PNG image
// decoded a line at a time into 8-bit grey or RGB samples. Sizes read from a
// header are checked against the converter's limits before anything is
// allocated for them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

namespace rasterps {

// Reads up to `size` bytes of a file into `out`: how many, 0 at its end,
// negative when it cannot be read.
using Read = std::function<long(unsigned char* out, std::size_t size)>;

// What a JPEG file's markers tell.
struct JpegInfo {
    unsigned width = 0, height = 0, components = 0;
    bool progressive = false;
    uint64_t end = 0;  // the length of the image's data: through its end-of-image marker
};

// Walks a JPEG file from its start to its end-of-image marker. Empty when
// it is a whole image that the printer's JPEG decoder takes as it is (8-bit
// baseline, extended or progressive Huffman-coded DCT; grey or colour),
// else why not, in words for the job's message.
std::string ReadJpeg(const Read& read, JpegInfo* info);

// A PNG image's lines as 8-bit samples: a palette expanded, 16-bit samples
// scaled to 8, grey with fewer bits widened, transparency composed over
// white. A line at a time but for an interlaced image, whose passes libpng
// can only give whole: it is held decoded, up to INTERLACED_MAX bytes.
class PngLines {
public:
    static const std::size_t INTERLACED_MAX = std::size_t(128) << 20;

    explicit PngLines(FILE* file);  // read from its current place; not closed
    ~PngLines();
    PngLines(const PngLines&) = delete;
    PngLines& operator=(const PngLines&) = delete;

    // Reads the header and sets up the decoding; false with Error() when the
    // image cannot be printed.
    bool Start();
    unsigned Width() const;
    unsigned Height() const;
    unsigned Channels() const;  // 1 grey, 3 RGB
    // The next line, Width() * Channels() bytes, valid until the next call;
    // null with Error() when it cannot be read.
    const unsigned char* NextLine();
    // After the last line: false with Error() when the file does not end
    // as a PNG file does (its last chunks cut off or damaged).
    bool Finish();
    const std::string& Error() const;
    // The bytes held for the decoded samples (the line, or the whole image).
    std::size_t Held() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace rasterps
