// JPEG and PNG documents, which PAPPL 1.3 advertises whatever the driver
// takes: one page of the job's media, the image as large as fits inside its
// margins and centred, made PostScript by rasterps (a JPEG's data as it is,
// a PNG decoded a line at a time) and printed as it is made through the
// sender raster documents use. A JPEG's markers are walked to its end first,
// so a JPEG that is not whole sends nothing; a PNG found damaged part-way
// is given up with a reset, never printed.
#include "app.h"
#include "sender.h"

#include "images.h"
#include "rasterps.h"

#include <cstdio>
#include <cstring>
#include <memory>

namespace {

const size_t CHUNK = 65536;  // bytes of a JPEG's data sent at a time

// The job's media as its print options give it (the job's, else the printer's default).
rasterps::Media MediaOf(const pappl_pr_options_t& o)
{
    return {o.media.size_width,  o.media.size_length, o.media.left_margin,
            o.media.right_margin, o.media.top_margin,  o.media.bottom_margin};
}

// A job that sends nothing: its secrets wiped, why it did not print.
bool Refuse(pappl_job_t* job, const std::string& why)
{
    TakeSecrets(AppOf(job), job);
    return Abort(job, why);
}

// The JPEG's data, the first `size` bytes of the file, to the page.
bool CopyJpeg(FILE* in, uint64_t size, rasterps::Converter* converter)
{
    std::unique_ptr<unsigned char[]> chunk(new unsigned char[CHUNK]);
    if (std::fseek(in, 0, SEEK_SET) != 0) return false;
    while (size > 0) {
        size_t n = std::fread(chunk.get(), 1, size < CHUNK ? size_t(size) : CHUNK, in);
        if (n == 0 || !converter->WriteData(chunk.get(), n)) return false;
        size -= n;
    }
    return true;
}

// The PNG's lines to a page of their own header.
bool CopyPng(rasterps::PngLines* png, const rasterps::Placement& placement, rasterps::Converter* converter)
{
    cups_page_header2_t h{};
    h.cupsWidth = png->Width(), h.cupsHeight = png->Height(), h.cupsBytesPerLine = png->Width() * png->Channels();
    h.cupsBitsPerColor = 8, h.cupsBitsPerPixel = 8 * png->Channels();
    h.cupsColorSpace = png->Channels() == 1 ? CUPS_CSPACE_SW : CUPS_CSPACE_SRGB;
    h.HWResolution[0] = h.HWResolution[1] = 72;  // only checked: the placement sets the image's size
    if (!converter->StartPage(h, placement)) return false;
    for (unsigned y = 0; y < h.cupsHeight; ++y) {
        const unsigned char* line = png->NextLine();
        if (!line || !converter->WriteLine(line, h.cupsBytesPerLine)) return false;
    }
    return png->Finish();
}

// What an image job reads: the file, its format's reader, where it goes.
struct ImageFile {
    bool jpeg = false;
    FILE* in = nullptr;
    rasterps::JpegInfo info;                 // a JPEG's
    std::unique_ptr<rasterps::PngLines> png;  // a PNG's
    rasterps::Placement placement;
    ~ImageFile()
    {
        png.reset();
        if (in) std::fclose(in);
    }
    const char* Kind() const { return jpeg ? "JPEG" : "PNG"; }
};

// Opens the job's image and reads its header; why it cannot be printed, or "".
std::string OpenImage(pappl_job_t* job, const pappl_pr_options_t& options, ImageFile* image)
{
    const char* format = papplJobGetFormat(job);
    image->jpeg = format && strcmp(format, "image/jpeg") == 0;
    const char* file = papplJobGetFilename(job);
    image->in = file ? std::fopen(file, "rbe") : nullptr;
    if (!image->in) return "Cannot read the job's document";
    std::string why;
    unsigned width = 0, height = 0;
    if (image->jpeg) {
        FILE* in = image->in;
        why = rasterps::ReadJpeg(
            [in](unsigned char* out, size_t size) {
                size_t n = std::fread(out, 1, size, in);
                return std::ferror(in) ? -1L : long(n);
            },
            &image->info);
        width = image->info.width, height = image->info.height;
    } else {
        image->png = std::make_unique<rasterps::PngLines>(image->in);
        if (!image->png->Start()) why = image->png->Error();
        width = image->png->Width(), height = image->png->Height();
    }
    if (why.empty()) why = rasterps::Fit(width, height, MediaOf(options), &image->placement);
    return why.empty() ? "" : std::string("The ") + image->Kind() + " image cannot be printed: " + why;
}

// Whether a user cancelled the job (PAPPL counts an aborted job as cancelled too).
bool CancelledByUser(pappl_job_t* job)
{
    return papplJobIsCanceled(job) && papplJobGetState(job) != IPP_JSTATE_ABORTED;
}

// The image's PostScript made on this thread while the sender prints it;
// whether it printed.
bool SendImage(pappl_job_t* job, const pappl_pr_options_t* options, ImageFile* image)
{
    PsSender sender;
    sender.options = options;
    rasterps::Converter converter([&sender](const char* data, size_t size) { return SendAll(&sender, data, size); });
    if (!StartSender(job, &sender)) return Refuse(job, "Cannot set up the image's conversion to PostScript");
    const char* title = papplJobGetName(job);
    bool made = converter.StartJob(title ? title : "") &&
                (image->jpeg ? converter.StartJpegPage(image->info.width, image->info.height, image->info.components,
                                                       image->placement) &&
                                   CopyJpeg(image->in, image->info.end, &converter)
                             : CopyPng(image->png.get(), image->placement, &converter)) &&
                converter.EndJob();
    // The sender's own refusal (its message says why) comes first.
    std::string problem;
    if (!made && !sender.failed) {
        std::string why = !converter.Error().empty() ? "converting it failed: " + converter.Error()
                          : image->png                ? image->png->Error()
                                                      : "it could not be read again";
        problem = std::string("The ") + image->Kind() + " image cannot be printed: " + why;
    }
    bool cancelled = CancelledByUser(job);
    std::string verdict = cancelled          ? "The job was cancelled"
                          : !problem.empty() ? problem
                          : !made            ? "The PostScript could not be sent"
                                             : "";
    if (FinishSender(&sender, verdict)) return true;
    if (!problem.empty() && !cancelled) Abort(job, problem);
    return false;
}

bool PrintImageOnce(pappl_job_t* job)
{
    pappl_pr_options_t* options = papplJobCreatePrintOptions(job, 1, true);
    if (!options) return Refuse(job, "Cannot read the job's options");
    ImageFile image;
    std::string why = OpenImage(job, *options, &image);
    bool printed = false;
    if (!why.empty()) {
        Refuse(job, why);
    } else {
        papplLogJob(job, PAPPL_LOGLEVEL_INFO, "A %s image of %u x %u pixels on %s", image.Kind(),
                    image.jpeg ? image.info.width : image.png->Width(),
                    image.jpeg ? image.info.height : image.png->Height(), options->media.size_name);
        // One page; PAPPL counts none for a document its filter prints.
        papplJobSetImpressions(job, 1);
        printed = SendImage(job, options, &image);
        if (printed) papplJobSetImpressionsCompleted(job, 1);
    }
    papplJobDeletePrintOptions(options);
    return printed;
}

}  // namespace

bool PrintImage(pappl_job_t* job, pappl_device_t*, void*)
{
    return Once(job, [&] { return PrintImageOnce(job); });
}
