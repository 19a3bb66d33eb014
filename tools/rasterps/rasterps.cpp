#include "rasterps.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace rasterps {

namespace {

const unsigned RESOLUTION_MAX = 10000;  // dots per inch
const size_t ZOUT_SIZE = 16384;         // compressed bytes per deflate round
const size_t TEXT_SIZE = 16384;         // text gathered before the sink takes it
const size_t DATA_COLUMNS = 75;         // ASCII85 characters a line
const int MEDIA_MAX = 1000000;          // hundredths of a millimetre a sheet's side may have (10 m)

// Points (1/72 inch) of `pixels` at `dpi`, in ten-thousandths, rounded.
uint64_t PointsE4(unsigned pixels, unsigned dpi)
{
    return (uint64_t(pixels) * 72 * 10000 + dpi / 2) / dpi;
}

// Points of `hundredths` of a millimetre, in ten-thousandths, rounded.
uint64_t MediaE4(int hundredths)
{
    return (uint64_t(hundredths) * 36000 + 63) / 127;  // 72 / 25.4 points a millimetre
}

// A ten-thousandths value as a PostScript number, without the locale's say.
std::string Decimal(uint64_t e4)
{
    std::string text = std::to_string(e4 / 10000);
    unsigned fraction = unsigned(e4 % 10000);
    if (fraction == 0) return text;
    char digits[6];
    std::snprintf(digits, sizeof digits, ".%04u", fraction);
    std::string tail = digits;
    tail.erase(tail.find_last_not_of('0') + 1);
    return text + tail;
}

// A ten-thousandths value rounded up to whole points.
uint64_t Ceiling(uint64_t e4)
{
    return (e4 + 9999) / 10000;
}

// A colour space's name as a job message gives it.
const char* SpaceName(unsigned space)
{
    switch (space) {
    case CUPS_CSPACE_W: return "grey";
    case CUPS_CSPACE_SW: return "sGray";
    case CUPS_CSPACE_RGB: return "RGB";
    case CUPS_CSPACE_SRGB: return "sRGB";
    case CUPS_CSPACE_ADOBERGB: return "Adobe RGB";
    case CUPS_CSPACE_K: return "black";
    case CUPS_CSPACE_CMYK: return "CMYK";
    default: return "another colour space";
    }
}

// Colour channels of a supported header: 1 grey, 3 RGB, 0 neither.
unsigned Channels(const cups_page_header2_t& h)
{
    bool grey = h.cupsColorSpace == CUPS_CSPACE_W || h.cupsColorSpace == CUPS_CSPACE_SW;
    bool rgb = h.cupsColorSpace == CUPS_CSPACE_RGB || h.cupsColorSpace == CUPS_CSPACE_SRGB;
    if (h.cupsBitsPerColor != 8) return 0;
    if (grey && h.cupsBitsPerPixel == 8) return 1;
    if (rgb && h.cupsBitsPerPixel == 24) return 3;
    return 0;
}

// The five ASCII85 characters of a group of four bytes.
void Group85(const std::array<unsigned char, 4>& g, char chars[5])
{
    uint32_t value = uint32_t(g[0]) << 24 | uint32_t(g[1]) << 16 | uint32_t(g[2]) << 8 | g[3];
    for (int k = 4; k >= 0; --k, value /= 85) chars[k] = char('!' + value % 85);
}

// zlib's allocations, counted in the state's tally.
struct Tally {
    size_t bytes = 0;
};

const size_t ALLOC_HEAD = alignof(std::max_align_t);  // each block's size, kept before it

// zlib's allocator: a block that knows its size, added to the tally.
void* TallyAlloc(void* opaque, uInt items, uInt size)
{
    size_t bytes = size_t(items) * size;
    auto* block = static_cast<unsigned char*>(std::malloc(ALLOC_HEAD + bytes));
    if (!block) return Z_NULL;
    std::memcpy(block, &bytes, sizeof bytes);
    static_cast<Tally*>(opaque)->bytes += bytes;
    return block + ALLOC_HEAD;
}

// zlib's release: the block's size taken off the tally.
void TallyFree(void* opaque, void* address)
{
    if (!address) return;
    auto* block = static_cast<unsigned char*>(address) - ALLOC_HEAD;
    size_t bytes;
    std::memcpy(&bytes, block, sizeof bytes);
    static_cast<Tally*>(opaque)->bytes -= bytes;
    std::free(block);
}

const char PROLOG[] =
    "%%BeginProlog\n"
    "%%BeginResource: procset rasterps 1.0 0\n"
    "% colorspace decode width height filter rpsimage: one image filling the unit\n"
    "% square, its samples next in currentfile, through the filter (Flate or DCT)\n"
    "% in ASCII85, read through to its ~>\n"
    "/rpsimage {\n"
    "  12 dict begin\n"
    "  /Filter exch def /Height exch def /Width exch def /Decode exch def setcolorspace\n"
    "  /ImageType 1 def /BitsPerComponent 8 def /Interpolate false def\n"
    "  /ImageMatrix [Width 0 0 Height neg 0 Height] def\n"
    "  currentfile /ASCII85Decode filter dup Filter filter /DataSource exch def\n"
    "  currentdict end dup image /DataSource get closefile flushfile\n"
    "} bind def\n"
    "%%EndResource\n"
    "%%EndProlog\n";

}  // namespace

std::string Unsupported(const cups_page_header2_t& h)
{
    if (Channels(h) == 0)
        return std::to_string(h.cupsBitsPerPixel) + "-bit " + SpaceName(h.cupsColorSpace) +
               " raster is not supported (only 8-bit grey and 24-bit sRGB)";
    if (h.cupsColorOrder != CUPS_ORDER_CHUNKED) return "raster in separate colour planes is not supported";
    if (h.cupsWidth == 0 || h.cupsHeight == 0 || h.cupsWidth > SIDE_MAX || h.cupsHeight > SIDE_MAX)
        return "a page of " + std::to_string(h.cupsWidth) + " x " + std::to_string(h.cupsHeight) +
               " pixels is not supported (1 to " + std::to_string(SIDE_MAX) + " a side)";
    if (h.HWResolution[0] == 0 || h.HWResolution[1] == 0 || h.HWResolution[0] > RESOLUTION_MAX ||
        h.HWResolution[1] > RESOLUTION_MAX)
        return "a resolution of " + std::to_string(h.HWResolution[0]) + " x " + std::to_string(h.HWResolution[1]) +
               " dpi is not supported";
    if (h.cupsBytesPerLine < uint64_t(h.cupsWidth) * Channels(h))
        return "lines of " + std::to_string(h.cupsBytesPerLine) + " bytes cannot hold " + std::to_string(h.cupsWidth) +
               " pixels";
    return {};
}

std::string Fit(unsigned width, unsigned height, const Media& m, Placement* p)
{
    if (width == 0 || height == 0 || width > SIDE_MAX || height > SIDE_MAX)
        return "an image of " + std::to_string(width) + " x " + std::to_string(height) +
               " pixels is not supported (1 to " + std::to_string(SIDE_MAX) + " a side)";
    bool sized = m.width > 0 && m.length > 0 && m.width <= MEDIA_MAX && m.length <= MEDIA_MAX;
    bool margins = m.left >= 0 && m.right >= 0 && m.top >= 0 && m.bottom >= 0 &&
                   int64_t(m.left) + m.right < m.width && int64_t(m.top) + m.bottom < m.length;
    if (!sized || !margins)
        return "media of " + std::to_string(m.width) + " x " + std::to_string(m.length) +
               " hundredths of a millimetre leaves no room inside its margins";
    *p = Placement{};
    p->page_width = MediaE4(m.width);
    p->page_height = MediaE4(m.length);
    uint64_t left = MediaE4(m.left), bottom = MediaE4(m.bottom);
    uint64_t room_x = p->page_width - left - MediaE4(m.right), room_y = p->page_height - bottom - MediaE4(m.top);
    // The side that meets its margins first sets the scale.
    if (room_x * height <= room_y * width) {
        p->width = room_x;
        p->height = (room_x * height + width / 2) / width;
    } else {
        p->height = room_y;
        p->width = (room_y * width + height / 2) / height;
    }
    p->x = left + (room_x - p->width) / 2;
    p->y = bottom + (room_y - p->height) / 2;
    return {};
}

std::string DscText(std::string_view text, size_t max_chars)
{
    std::string out = "(";
    for (unsigned char c : text) {
        char piece[5];
        if (c < 0x20 || c > 0x7e || c == '%' || c == '(' || c == ')' || c == '\\')
            std::snprintf(piece, sizeof piece, "\\%03o", c);
        else
            piece[0] = char(c), piece[1] = 0;
        if (out.size() + std::strlen(piece) + 1 > max_chars) break;
        out += piece;
    }
    return out + ")";
}

struct Converter::State {
    enum Phase { IDLE, JOB, PAGE, ENDED, FAILED };

    Sink sink;
    std::string error;
    Phase phase = IDLE;
    unsigned pages = 0;
    uint64_t box_width = 0, box_height = 0;  // whole points, the largest page's

    unsigned height = 0, lines = 0;  // the page's, and how many came
    bool jpeg = false;               // the page's samples come as JPEG data, not lines
    size_t line_bytes = 0;           // samples a line
    std::vector<unsigned char> line;

    Tally tally;
    z_stream z{};
    bool z_ready = false;
    std::array<unsigned char, ZOUT_SIZE> zout{};

    std::array<unsigned char, 4> group{};  // bytes awaiting their ASCII85 group
    size_t group_size = 0, column = 0;
    std::array<char, TEXT_SIZE> text{};
    size_t text_size = 0;

    bool Fail(const std::string& why);
    bool Flush();
    bool Put(const char* data, size_t size);
    bool Put(const std::string& s) { return Put(s.data(), s.size()); }
    bool PutGroup(const char* chars, size_t size);
    bool Encode(const unsigned char* data, size_t size);
    bool Deflate(const unsigned char* data, size_t size, int flush);
    bool FinishData();
    bool BeginPage(const Placement& placement, const std::string& image);
};

// Sets why a call failed (a failed sink's reason stays) and returns false.
bool Converter::State::Fail(const std::string& why)
{
    if (phase != FAILED) error = why;
    return false;
}

// Hands the gathered text to the sink.
bool Converter::State::Flush()
{
    if (text_size && !sink(text.data(), text_size)) {
        phase = FAILED;
        error = "the PostScript output could not be written";
        return false;
    }
    text_size = 0;
    return true;
}

// Gathers text, handing it on whenever the buffer fills.
bool Converter::State::Put(const char* data, size_t size)
{
    while (size) {
        size_t n = std::min(size, text.size() - text_size);
        std::memcpy(text.data() + text_size, data, n);
        text_size += n, data += n, size -= n;
        if (text_size == text.size() && !Flush()) return false;
    }
    return true;
}

// One ASCII85 group as data text: no line of it starts with `%`.
bool Converter::State::PutGroup(const char* chars, size_t size)
{
    if (column == 0 && chars[0] == '%' && !Put(" ", 1)) return false;
    if (!Put(chars, size)) return false;
    column += size;
    if (column >= DATA_COLUMNS) {
        column = 0;
        return Put("\n", 1);
    }
    return true;
}

// ASCII85 of compressed bytes, the last partial group held back.
bool Converter::State::Encode(const unsigned char* data, size_t size)
{
    for (size_t i = 0; i < size; ++i) {
        group[group_size++] = data[i];
        if (group_size < group.size()) continue;
        group_size = 0;
        char chars[5] = {'z'};
        size_t chars_size = 1;
        if (group != std::array<unsigned char, 4>{}) Group85(group, chars), chars_size = 5;
        if (!PutGroup(chars, chars_size)) return false;
    }
    return true;
}

// Compresses bytes into ASCII85 text; Z_FINISH ends the page's stream.
bool Converter::State::Deflate(const unsigned char* data, size_t size, int flush)
{
    z.next_in = const_cast<unsigned char*>(data);
    z.avail_in = uInt(size);
    int status;
    do {
        z.next_out = zout.data();
        z.avail_out = uInt(zout.size());
        status = deflate(&z, flush);
        if (status == Z_STREAM_ERROR) return Fail("the compressor failed");
        if (!Encode(zout.data(), zout.size() - z.avail_out)) return false;
    } while (z.avail_out == 0 || (flush == Z_FINISH && status != Z_STREAM_END));
    return true;
}

// Ends the page's data: the compressed stream finished (JPEG data ends as
// it came), the last group and `~>`.
bool Converter::State::FinishData()
{
    if (!jpeg && !Deflate(nullptr, 0, Z_FINISH)) return false;
    if (group_size) {
        size_t used = group_size;
        std::fill(group.begin() + used, group.end(), 0);
        char chars[5];
        Group85(group, chars);
        group_size = 0;
        if (!PutGroup(chars, used + 1)) return false;
    }
    column = 0;
    return Put("~>\n", 3);
}

// The page's DSC frame and setup: its size, the image's box, then the
// image's operands up to its data.
bool Converter::State::BeginPage(const Placement& p, const std::string& image)
{
    if (!p.page_width || !p.page_height || !p.width || !p.height) return Fail("the page or its image has no size");
    box_width = std::max(box_width, Ceiling(p.page_width));
    box_height = std::max(box_height, Ceiling(p.page_height));
    std::string number = std::to_string(++pages);
    std::string moved = p.x || p.y ? Decimal(p.x) + " " + Decimal(p.y) + " translate\n" : "";
    phase = PAGE;
    return Put("%%Page: " + number + " " + number + "\n%%PageBoundingBox: 0 0 " +
               std::to_string(Ceiling(p.page_width)) + " " + std::to_string(Ceiling(p.page_height)) +
               "\n%%BeginPageSetup\n<< /PageSize [" +
               Decimal(p.page_width) + " " + Decimal(p.page_height) + "] >> setpagedevice\n%%EndPageSetup\nsave\n" +
               moved + Decimal(p.width) + " " + Decimal(p.height) + " scale\n" + image);
}

Converter::Converter(Sink sink) : state_(std::make_unique<State>())
{
    state_->sink = std::move(sink);
}

Converter::~Converter()
{
    if (state_->z_ready) deflateEnd(&state_->z);
}

bool Converter::StartJob(std::string_view title)
{
    State& s = *state_;
    if (s.phase != State::IDLE) return s.Fail("the job was already started");
    s.z.zalloc = TallyAlloc;
    s.z.zfree = TallyFree;
    s.z.opaque = &s.tally;
    if (deflateInit(&s.z, Z_DEFAULT_COMPRESSION) != Z_OK) return s.Fail("the compressor could not start");
    s.z_ready = true;
    s.phase = State::JOB;
    return s.Put("%!PS-Adobe-3.0\n%%Creator: umpd rasterps " UMPD_VERSION "\n%%Title: " + DscText(title) +
                 "\n%%LanguageLevel: 3\n%%DocumentData: Clean7Bit\n%%Pages: (atend)\n%%BoundingBox: (atend)\n"
                 "%%PageOrder: Ascend\n%%EndComments\n") &&
           s.Put(PROLOG, sizeof PROLOG - 1) && s.Flush();
}

bool Converter::StartPage(const cups_page_header2_t& header)
{
    if (!Unsupported(header).empty()) return StartPage(header, Placement{});
    Placement whole;
    whole.page_width = whole.width = PointsE4(header.cupsWidth, header.HWResolution[0]);
    whole.page_height = whole.height = PointsE4(header.cupsHeight, header.HWResolution[1]);
    return StartPage(header, whole);
}

bool Converter::StartPage(const cups_page_header2_t& header, const Placement& placement)
{
    State& s = *state_;
    if (s.phase != State::JOB) return s.Fail(s.phase == State::PAGE ? "the page before was not ended" : "no job");
    std::string why = Unsupported(header);
    if (!why.empty()) return s.Fail(why);
    unsigned channels = Channels(header);
    s.height = header.cupsHeight;
    s.lines = 0;
    s.line_bytes = size_t(header.cupsWidth) * channels;
    s.line.resize(s.line_bytes);
    if (deflateReset(&s.z) != Z_OK) return s.Fail("the compressor failed");
    s.jpeg = false;
    return s.BeginPage(placement, std::string(channels == 1 ? "/DeviceGray [0 1] " : "/DeviceRGB [0 1 0 1 0 1] ") +
                                      std::to_string(header.cupsWidth) + " " + std::to_string(header.cupsHeight) +
                                      " /FlateDecode rpsimage\n");
}

bool Converter::StartJpegPage(unsigned width, unsigned height, unsigned components, const Placement& placement)
{
    State& s = *state_;
    if (s.phase != State::JOB) return s.Fail(s.phase == State::PAGE ? "the page before was not ended" : "no job");
    if (components != 1 && components != 3)
        return s.Fail("JPEG images of " + std::to_string(components) + " components are not supported");
    if (width == 0 || height == 0 || width > SIDE_MAX || height > SIDE_MAX)
        return s.Fail("an image of " + std::to_string(width) + " x " + std::to_string(height) +
                      " pixels is not supported (1 to " + std::to_string(SIDE_MAX) + " a side)");
    s.jpeg = true;
    // The decoder turns YCbCr (or, as an Adobe marker says, RGB) into RGB.
    return s.BeginPage(placement, std::string(components == 1 ? "/DeviceGray [0 1] " : "/DeviceRGB [0 1 0 1 0 1] ") +
                                      std::to_string(width) + " " + std::to_string(height) + " /DCTDecode rpsimage\n");
}

bool Converter::WriteData(const unsigned char* data, size_t size)
{
    State& s = *state_;
    if (s.phase != State::PAGE || !s.jpeg) return s.Fail("no JPEG page was started");
    return s.Encode(data, size);
}

bool Converter::WriteLine(const unsigned char* line, size_t size)
{
    State& s = *state_;
    if (s.phase != State::PAGE || s.jpeg) return s.Fail("no raster page was started");
    if (s.lines >= s.height)
        return s.Fail("line " + std::to_string(s.lines + 1) + " is past the page's " + std::to_string(s.height));
    size_t n = line ? std::min(size, s.line_bytes) : 0;
    std::copy(line, line + n, s.line.begin());
    std::fill(s.line.begin() + n, s.line.end(), 0xff);
    ++s.lines;
    return s.Deflate(s.line.data(), s.line_bytes, Z_NO_FLUSH);
}

bool Converter::EndPage()
{
    State& s = *state_;
    if (s.phase != State::PAGE) return s.Fail("no page was started");
    std::fill(s.line.begin(), s.line.end(), 0xff);
    for (; !s.jpeg && s.lines < s.height; ++s.lines)
        if (!s.Deflate(s.line.data(), s.line_bytes, Z_NO_FLUSH)) return false;
    if (!s.FinishData() || !s.Put("restore showpage\n%%PageTrailer\n") || !s.Flush()) return false;
    s.phase = State::JOB;
    return true;
}

bool Converter::EndJob()
{
    State& s = *state_;
    if (s.phase == State::PAGE && !EndPage()) return false;
    if (s.phase != State::JOB) return s.Fail("no job");
    s.phase = State::ENDED;
    return s.Put("%%Trailer\n%%Pages: " + std::to_string(s.pages) + "\n%%BoundingBox: 0 0 " +
                 std::to_string(s.box_width) + " " + std::to_string(s.box_height) + "\n%%EOF\n") &&
           s.Flush();
}

const std::string& Converter::Error() const
{
    return state_->error;
}

Footprint Converter::Held() const
{
    const State& s = *state_;
    return {sizeof s + s.line.capacity(), s.tally.bytes};
}

}  // namespace rasterps
