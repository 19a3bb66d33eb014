// PWG and Apple raster jobs as PostScript: PAPPL's raster callbacks feed
// the rasterps converter, whose PostScript goes through one end of a socket
// pair while a thread of the job's own sends the other end as any
// PostScript document goes (Send: the hooks, the ticket, retries, reset on
// giving up). Nothing of the job is kept beyond a line and the socket's
// buffers. A conversion that did not end whole is given up, never printed.
#include "app.h"
#include "sender.h"

#include "rasterps.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

const char NOT_WHOLE[] = "The raster document is malformed or ended before its end";

// One raster job on its way, from the job's start to its end.
struct RasterJob {
    PsSender sender;
    std::unique_ptr<pappl_pr_options_t> options;  // Send's own: PAPPL's change with each page
    std::unique_ptr<rasterps::Converter> converter;
    std::string refused;  // why the job cannot go on
    unsigned pages = 0, lines = 0, height = 0;  // pages begun; lines of the page, of its height
};

namespace {

RasterJob* Find(pappl_job_t* job)
{
    RasterJobs& all = AppOf(job).rasters;
    std::lock_guard<std::mutex> hold(all.lock);
    auto it = all.jobs.find(job);
    return it == all.jobs.end() ? nullptr : it->second.get();
}

std::shared_ptr<RasterJob> Take(pappl_job_t* job)
{
    RasterJobs& all = AppOf(job).rasters;
    std::lock_guard<std::mutex> hold(all.lock);
    auto it = all.jobs.find(job);
    if (it == all.jobs.end()) return nullptr;
    std::shared_ptr<RasterJob> taken = std::move(it->second);
    all.jobs.erase(it);
    return taken;
}

// Whether the page's header is PAPPL's own rather than the client's: PAPPL
// keeps its own when the raster has fewer than 8 bits a colour, and its lines
// then do not fit the header.
bool HeaderIsPapplsOwn(pappl_job_t* job, const pappl_pr_options_t* options)
{
    pappl_pr_options_t* own = papplJobCreatePrintOptions(job, static_cast<unsigned>(papplJobGetImpressions(job)), false);
    bool same = own && memcmp(&own->header, &options->header, sizeof own->header) == 0;
    papplJobDeletePrintOptions(own);
    return same;
}

// The sender started and the PostScript's header written, at the first
// page; false (with why) when they could not be.
bool StartSending(pappl_job_t* job, RasterJob* r)
{
    PsSender* sender = &r->sender;
    sender->options = r->options.get();
    sender->verdict = NOT_WHOLE;
    r->converter = std::make_unique<rasterps::Converter>(
        [sender](const char* data, size_t size) { return SendAll(sender, data, size); });
    if (!StartSender(job, sender)) {
        r->refused = "Cannot set up the raster job's conversion to PostScript";
        return false;
    }
    const char* title = papplJobGetName(job);
    if (r->converter->StartJob(title ? title : "")) return true;
    r->refused = "Converting the raster document failed: " + r->converter->Error();
    return false;
}

// Why the page cannot be converted; empty when it can.
std::string PageRefusal(pappl_job_t* job, const pappl_pr_options_t* options)
{
    std::string why = rasterps::Unsupported(options->header);
    if (HeaderIsPapplsOwn(job, options)) why = "raster of fewer than 8 bits a colour is not supported";
    return why.empty() ? why : "The raster document cannot be printed: " + why;
}

// Whether a user cancelled the job (PAPPL counts an aborted job as cancelled too).
bool CancelledByUser(pappl_job_t* job)
{
    return papplJobIsCanceled(job) && papplJobGetState(job) != IPP_JSTATE_ABORTED;
}

// The end of a job that sent nothing: its secrets wiped, why it did not print.
bool EndUnsent(pappl_job_t* job, const RasterJob& r)
{
    TakeSecrets(AppOf(job), job);
    if (CancelledByUser(job)) return false;
    return Abort(job, !r.refused.empty() ? r.refused : "The raster document has no page that could be read");
}

// PAPPL takes the end of the pages for the end of the document, also when a
// next page's header was unreadable or the upload was cut between pages: the
// document is whole when its body has ended and the pages it promised (PWG's
// total page count, Apple raster's page count) have come. Why not, or "".
std::string Shortfall(pappl_job_t* job, const RasterJob& r)
{
    int promised = std::max(papplJobGetImpressions(job), static_cast<int>(ApplePagesPromised()));
    if (promised > 0 && r.pages < static_cast<unsigned>(promised))
        return "The raster document promised " + std::to_string(promised) + " pages and held " +
               std::to_string(r.pages);
    // PAPPL streams the raster on its client's thread, this one.
    if (!UploadEnded())
        return "The raster document did not end where its pages did (an unreadable page, or a cut upload)";
    return "";
}

// Why the PostScript must not print, when the document or its conversion is
// the reason; empty when it may, or when the sender stopped first.
std::string DocumentProblem(pappl_job_t* job, const RasterJob& r, bool ended)
{
    if (!r.refused.empty()) return r.refused;
    if (r.sender.failed) return "";
    if (!ended) return "Converting the raster document failed: " + r.converter->Error();
    return papplJobGetState(job) == IPP_JSTATE_ABORTED ? NOT_WHOLE : "";
}

}  // namespace

bool RasterStart(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t*)
{
    bool printed = false;
    if (!AppOf(job).starts.Claim(job, &printed)) return printed;
    auto r = std::make_shared<RasterJob>();
    r->options.reset(new pappl_pr_options_t(*options));
    r->options->num_vendor = 0;
    r->options->vendor = nullptr;
    RasterJobs& all = AppOf(job).rasters;
    std::lock_guard<std::mutex> hold(all.lock);
    all.jobs[job] = std::move(r);
    return true;
}

bool RasterStartPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t*, unsigned)
{
    RasterJob* r = Find(job);
    if (!r || !r->refused.empty()) return false;
    r->refused = PageRefusal(job, options);
    if (!r->refused.empty()) return false;
    if (!r->converter && !StartSending(job, r)) return false;
    r->pages++;
    r->lines = 0;
    r->height = options->header.cupsHeight;
    return r->converter->StartPage(options->header);
}

bool RasterLine(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t*, unsigned, const unsigned char* line)
{
    RasterJob* r = Find(job);
    if (r) r->lines++;
    return r && r->converter && r->converter->WriteLine(line, options->header.cupsBytesPerLine);
}

// PAPPL ends a page whose lines stopped coming as if it were whole (a cut
// upload, a stalled client): only a page of all its lines is.
bool RasterEndPage(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t*, unsigned)
{
    RasterJob* r = Find(job);
    if (r && r->lines < r->height)
        r->refused = "The raster document ended in page " + std::to_string(r->pages) + ", after " +
                     std::to_string(r->lines) + " of its " + std::to_string(r->height) + " lines";
    return r && r->refused.empty() && r->converter && r->converter->EndPage();
}

namespace {

bool RasterEndOnce(pappl_job_t* job)
{
    std::shared_ptr<RasterJob> r = Take(job);
    if (!r) return false;
    if (r->sender.out < 0) return EndUnsent(job, *r);
    // The sender's own refusal (its message says why) comes first.
    if (r->refused.empty() && !r->sender.failed) r->refused = Shortfall(job, *r);
    bool ended = r->converter->EndJob(), cancelled = CancelledByUser(job);
    std::string problem = DocumentProblem(job, *r, ended);
    std::string verdict = cancelled          ? "The job was cancelled"
                          : !problem.empty() ? problem
                          : !ended           ? "The PostScript could not be sent"
                                             : "";
    if (FinishSender(&r->sender, verdict)) return true;
    if (!problem.empty() && !cancelled) Abort(job, problem);
    return false;
}

}  // namespace

bool RasterEnd(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t*)
{
    bool printed = RasterEndOnce(job);
    AppOf(job).starts.Printed(job, printed);
    return printed;
}
