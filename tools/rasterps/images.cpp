#include "images.h"

#include "rasterps.h"

#include <png.h>

#include <algorithm>
#include <csetjmp>
#include <vector>

namespace rasterps {

namespace {

const size_t READ_SIZE = 65536;  // bytes of a JPEG file read at a time

// A JPEG file's bytes one at a time, read in blocks, and how many were taken.
struct Bytes {
    const Read& read;
    std::vector<unsigned char> block = std::vector<unsigned char>(READ_SIZE);
    size_t at = 0, size = 0;
    uint64_t taken = 0;
    bool failed = false;  // the file could not be read

    // The next byte; -1 at the file's end or when it cannot be read.
    int Next()
    {
        if (at == size) {
            long n = read(block.data(), block.size());
            failed = n < 0;
            if (n <= 0) return -1;
            size = std::min(size_t(n), block.size());
            at = 0;
        }
        ++taken;
        return block[at++];
    }
    int Word()
    {
        int high = Next(), low = Next();
        return high < 0 || low < 0 ? -1 : high << 8 | low;
    }
    bool Skip(long n)
    {
        for (; n > 0; --n)
            if (Next() < 0) return false;
        return true;
    }
};

const int NO_MARKER = -2;  // something else stands where a marker must

// The code of the next marker, fill bytes before it skipped; within a
// scan's coded data (`in_scan`) that data is passed over first, where FF 00
// is a data byte and FF D0 to FF D7 are restart markers. -1 at the end.
int NextMarker(Bytes& in, bool in_scan)
{
    for (int c = in.Next();;) {
        if (c < 0) return -1;
        if (c != 0xFF) {
            if (!in_scan) return NO_MARKER;
            c = in.Next();
            continue;
        }
        do c = in.Next();
        while (c == 0xFF);
        if (c < 0) return -1;
        if (in_scan && (c == 0 || (c >= 0xD0 && c <= 0xD7))) {
            c = in.Next();
            continue;
        }
        return c;
    }
}

bool IsFrame(int code)
{
    return code >= 0xC0 && code <= 0xCF && code != 0xC4 && code != 0xC8 && code != 0xCC;
}

// A frame header (its length read): the image's size and components.
std::string ReadFrame(Bytes& in, int code, int length, JpegInfo* info)
{
    if (code == 0xC3 || code == 0xC7 || code == 0xCB || code == 0xCF) return "lossless JPEG is not supported";
    if (code >= 0xC9) return "arithmetic-coded JPEG is not supported";
    if (code >= 0xC5) return "hierarchical JPEG is not supported";
    int precision = in.Next(), height = in.Word(), width = in.Word(), components = in.Next();
    if (components < 0) return "";  // cut short: the caller says so
    if (length != 8 + 3 * components) return "its frame header is malformed";
    if (precision != 8) return std::to_string(precision) + "-bit JPEG is not supported (only 8-bit)";
    if (components == 4) return "CMYK JPEG is not supported (only grey and colour)";
    if (components != 1 && components != 3)
        return "JPEG of " + std::to_string(components) + " components is not supported (only grey and colour)";
    if (height == 0) return "JPEG whose height follows its data is not supported";
    if (width == 0) return "its frame header is malformed";
    if (!in.Skip(3L * components)) return "";  // cut short: the caller says so
    info->width = unsigned(width), info->height = unsigned(height), info->components = unsigned(components);
    info->progressive = code == 0xC2;
    return "";
}

const char CUT[] = "it is cut short (it ends before its end-of-image marker)";

}  // namespace

std::string ReadJpeg(const Read& read, JpegInfo* info)
{
    *info = JpegInfo{};
    Bytes in{read};
    if (in.Next() != 0xFF || in.Next() != 0xD8) return in.failed ? "it cannot be read" : "it is not a JPEG file";
    bool framed = false, scanned = false, in_scan = false;
    for (;;) {
        int code = NextMarker(in, in_scan);
        in_scan = false;
        if (code == -1) return in.failed ? "it cannot be read" : CUT;
        if (code == 0xD9) break;
        if (code == 0x01) continue;  // TEM: no length, nothing to do
        if (code == NO_MARKER || code == 0 || code == 0xD8 || (code >= 0xD0 && code <= 0xD7))
            return "it is malformed (no marker where one must be)";
        if (code == 0xDE) return "hierarchical JPEG is not supported";
        int length = in.Word();
        if (length < 0) return CUT;
        if (length < 2) return "it is malformed (a marker segment's length is wrong)";
        if (IsFrame(code)) {
            if (framed) return "it is malformed (a second frame header)";
            std::string why = ReadFrame(in, code, length, info);
            if (!why.empty()) return why;
            if (info->components == 0) return CUT;
            framed = true;
            continue;
        }
        if (code == 0xDA && !framed) return "it is malformed (image data before the frame header)";
        if (!in.Skip(length - 2)) return CUT;
        if (code == 0xDA) scanned = in_scan = true;
    }
    if (!scanned) return "it holds no image data";
    info->end = in.taken;
    return {};
}

namespace {

// libpng's errors end here: the message kept in the buffer given as the
// error pointer, back to the call's setjmp. Warnings are not the job's
// business.
void OnPngError(png_structp png, png_const_charp message)
{
    std::snprintf(static_cast<char*>(png_get_error_ptr(png)), 256, "%s", message ? message : "an error");
    png_longjmp(png, 1);
}
void OnPngWarning(png_structp, png_const_charp) {}

// The calls into libpng, each under its error return; nothing in them has
// a destructor that the jump back would skip. False on libpng's error.
bool PngReadInfo(png_structp png, png_infop info, FILE* file)
{
    if (setjmp(png_jmpbuf(png))) return false;
    png_init_io(png, file);
    png_read_info(png, info);  // the chunks before the image data; nothing for its rows yet
    return true;
}
bool PngSetUp(png_structp png, png_infop info)
{
    if (setjmp(png_jmpbuf(png))) return false;
    png_set_expand(png);    // a palette to RGB, grey of 1 to 4 bits to 8, a transparent colour to alpha
    png_set_scale_16(png);  // 16-bit samples to 8, rounded
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    return true;
}
bool PngReadRow(png_structp png, unsigned char* row)
{
    if (setjmp(png_jmpbuf(png))) return false;
    png_read_row(png, row, nullptr);
    return true;
}
bool PngReadImage(png_structp png, unsigned char** rows)
{
    if (setjmp(png_jmpbuf(png))) return false;
    png_read_image(png, rows);
    return true;
}
bool PngReadEnd(png_structp png)
{
    if (setjmp(png_jmpbuf(png))) return false;
    png_read_end(png, nullptr);
    return true;
}

// A sample of `alpha` over white.
unsigned char OverWhite(unsigned value, unsigned alpha)
{
    return static_cast<unsigned char>((value * alpha + 255 * (255 - alpha) + 127) / 255);
}

}  // namespace

struct PngLines::State {
    FILE* file = nullptr;
    png_structp png = nullptr;
    png_infop info = nullptr;
    char message[256] = "";  // libpng's last error
    std::string error;
    unsigned width = 0, height = 0, channels = 0;
    unsigned decoded = 0;    // samples a pixel as libpng gives them: grey, grey and alpha, RGB, RGBA
    size_t row_bytes = 0;
    bool interlaced = false;
    std::vector<unsigned char> rows;  // a decoded row, or every row of an interlaced image
    std::vector<unsigned char> line;  // the line handed out
    unsigned next = 0;                // lines handed out

    bool Fail(const std::string& why)
    {
        if (error.empty()) error = why;
        return false;
    }
    bool Damaged() { return Fail(std::string("it is damaged or cut short (") + message + ")"); }
    bool SizeOk();
    bool Room();
};

// Whether the header's size is one to print, before libpng sets up its rows.
bool PngLines::State::SizeOk()
{
    width = png_get_image_width(png, info);
    height = png_get_image_height(png, info);
    if (width > 0 && height > 0 && width <= SIDE_MAX && height <= SIDE_MAX) return true;
    return Fail("an image of " + std::to_string(width) + " x " + std::to_string(height) +
                " pixels is not supported (1 to " + std::to_string(SIDE_MAX) + " a side)");
}

// Makes room for the decoded samples: a row, or the whole interlaced image.
bool PngLines::State::Room()
{
    decoded = png_get_channels(png, info);
    row_bytes = png_get_rowbytes(png, info);
    interlaced = png_get_interlace_type(png, info) != PNG_INTERLACE_NONE;
    if (decoded < 1 || decoded > 4 || png_get_bit_depth(png, info) != 8 || row_bytes != size_t(width) * decoded)
        return Fail("its samples could not be made 8-bit");
    if (interlaced && row_bytes * height > INTERLACED_MAX)
        return Fail("an interlaced image of " + std::to_string(width) + " x " + std::to_string(height) +
                    " pixels is larger than " + std::to_string(INTERLACED_MAX >> 20) + " MiB decoded");
    channels = decoded >= 3 ? 3 : 1;
    rows.resize(interlaced ? row_bytes * height : row_bytes);
    line.resize(size_t(width) * channels);
    return true;
}

PngLines::PngLines(FILE* file) : state_(std::make_unique<State>())
{
    state_->file = file;
}

PngLines::~PngLines()
{
    if (state_->png) png_destroy_read_struct(&state_->png, state_->info ? &state_->info : nullptr, nullptr);
}

bool PngLines::Start()
{
    State& s = *state_;
    if (s.png) return s.Fail("started twice");
    unsigned char signature[8] = {};
    if (std::fread(signature, 1, sizeof signature, s.file) != sizeof signature || png_sig_cmp(signature, 0, 8) != 0)
        return s.Fail("it is not a PNG file");
    s.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, s.message, OnPngError, OnPngWarning);
    s.info = s.png ? png_create_info_struct(s.png) : nullptr;
    if (!s.info) return s.Fail("the PNG decoder could not start");
    png_set_sig_bytes(s.png, 8);
    return (PngReadInfo(s.png, s.info, s.file) || s.Damaged()) && s.SizeOk() &&
           (PngSetUp(s.png, s.info) || s.Damaged()) && s.Room();
}

unsigned PngLines::Width() const { return state_->width; }
unsigned PngLines::Height() const { return state_->height; }
unsigned PngLines::Channels() const { return state_->channels; }

const unsigned char* PngLines::NextLine()
{
    State& s = *state_;
    if (!s.error.empty() || s.channels == 0) return s.Fail("the image was not started"), nullptr;
    if (s.next >= s.height) return s.Fail("no line is left"), nullptr;
    const unsigned char* row = s.rows.data();
    if (s.interlaced && s.next == 0) {
        std::vector<unsigned char*> starts(s.height);
        for (unsigned y = 0; y < s.height; ++y) starts[y] = s.rows.data() + size_t(y) * s.row_bytes;
        if (!PngReadImage(s.png, starts.data())) return s.Damaged(), nullptr;
    }
    if (s.interlaced) row += size_t(s.next) * s.row_bytes;
    else if (!PngReadRow(s.png, s.rows.data())) return s.Damaged(), nullptr;
    ++s.next;
    unsigned alpha = s.decoded == 2 || s.decoded == 4 ? 1 : 0;
    for (unsigned x = 0; x < s.width; ++x, row += s.decoded)
        for (unsigned c = 0; c < s.channels; ++c)
            s.line[size_t(x) * s.channels + c] = alpha ? OverWhite(row[c], row[s.channels]) : row[c];
    return s.line.data();
}

bool PngLines::Finish()
{
    State& s = *state_;
    if (!s.error.empty()) return false;
    if (s.channels == 0 || s.next < s.height) return s.Fail("not every line was read");
    return PngReadEnd(s.png) || s.Damaged();
}

const std::string& PngLines::Error() const { return state_->error; }

std::size_t PngLines::Held() const
{
    return state_->rows.capacity() + state_->line.capacity();
}

}  // namespace rasterps
