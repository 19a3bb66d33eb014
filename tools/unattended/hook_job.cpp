#include "hook_job.h"

#include "printersetup.h"

#include "english/resource.h"

#include <winspool.h>

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <set>

namespace {

const size_t TAG_LEN = sizeof PS_TAG - 1;

// The slots of the jobs running now: the lowest free one is a new job's.
std::mutex gSlotsLock;
std::set<int> gSlots;

int TakeSlot()
{
    std::lock_guard<std::mutex> hold(gSlotsLock);
    int slot = 0;
    while (gSlots.count(slot)) slot++;
    gSlots.insert(slot);
    return slot;
}

void FreeSlot(int slot)
{
    std::lock_guard<std::mutex> hold(gSlotsLock);
    gSlots.erase(slot);
}

bool Contains(const std::string& text, const std::string& part) { return !part.empty() && text.find(part) != std::string::npos; }

}  // namespace

std::string LibraryText(HMODULE lib, UINT id)
{
    WCHAR text[256] = {};
    LoadStringW(lib, id, text, 256);
    return HostUtf8(text);
}

HMODULE LoadHookLibrary(std::string* tried)
{
    // Beside the program in the build; installed, in lib/pralix, never in
    // CUPS's backend folder (cupsd runs every executable there).
    WString places[] = {ExecutableDirectory() + HostWiden(UMPD_LIBRARY_NAME),
                        ExecutableDirectory() + TEXT("../../pralix/") + HostWiden(UMPD_LIBRARY_NAME),
                        ExecutableDirectory() + TEXT("../lib/pralix/") + HostWiden(UMPD_LIBRARY_NAME)};
    for (const WString& path : places) {
        *tried = HostUtf8(path);
        if (HMODULE lib = LoadLibraryW(path.c_str())) return lib;
    }
    return nullptr;
}

Refusal ClassifyRefusal(const RunSeen& seen, HMODULE lib)
{
    const struct {
        UINT id;
        Refusal refusal;
    } messages[] = {{IDS_NO_CONNECTION, REFUSED_UNREACHABLE}, {IDS_ADDRESS_UNREACHABLE, REFUSED_UNREACHABLE},
                    {IDS_SERVER_QUIT, REFUSED_SERVER_QUIT}, {IDS_ADDRESS_INVALID, REFUSED_ADDRESS},
                    {IDS_UNEXPECTED_ERROR, REFUSED_OTHER}};
    for (const std::string& shown : seen.messages)
        for (const auto& m : messages)
            if (shown == LibraryText(lib, m.id)) return m.refusal;
    if (seen.identityMissing) return REFUSED_IDENTITY_MISSING;
    if (Contains(seen.rejected, LibraryText(lib, IDS_REJECTED_USER)) ||
        Contains(seen.rejected, LibraryText(lib, IDS_REJECTED_PASSWORD)))
        return REFUSED_IDENTITY_REJECTED;
    if (seen.accountMissing) return REFUSED_ACCOUNT_MISSING;
    if (Contains(seen.rejected, LibraryText(lib, IDS_REJECTED_ACCOUNT))) return REFUSED_ACCOUNT_REJECTED;
    return REFUSED_OTHER;
}

std::string RefusalText(Refusal refusal, const RunSeen& seen, HMODULE lib)
{
    const struct {
        Refusal refusal;
        const char* text;
    } texts[] = {
        {REFUSED_UNREACHABLE, "The print server is not answering"},
        {REFUSED_SERVER_QUIT, "The print server closed the connection before it answered"},
        {REFUSED_ADDRESS, "The print server does not take jobs for the address in the device URI"},
        {REFUSED_IDENTITY_MISSING, "The print server requires a user ID and password"},
        {REFUSED_IDENTITY_REJECTED, "The print server did not accept the "},
        {REFUSED_ACCOUNT_MISSING, "The print server requires an account number"},
        {REFUSED_ACCOUNT_REJECTED, "The print server did not accept the "},
    };
    for (const auto& t : texts) {
        if (t.refusal != refusal) continue;
        bool rejected = refusal == REFUSED_IDENTITY_REJECTED || refusal == REFUSED_ACCOUNT_REJECTED;
        return t.text + (rejected ? RejectedFields(seen, lib) : std::string());
    }
    return "The print server refused the job with an answer this program does not know";
}

std::string RejectedFields(const RunSeen& seen, HMODULE lib)
{
    const struct {
        UINT id;
        const char* words;
    } fields[] = {{IDS_REJECTED_USER, "user ID"}, {IDS_REJECTED_PASSWORD, "password"},
                  {IDS_REJECTED_ACCOUNT, "account number"}};
    std::string list;
    for (const auto& f : fields)
        if (Contains(seen.rejected, LibraryText(lib, f.id))) list += (list.empty() ? "" : ", ") + std::string(f.words);
    return list;
}

const char NO_TICKET_PLACE[] =
    "The job has no place for the print server's ticket (it is not PostScript with a line that begins "
    "%%EndComments in its first MiB)";

namespace {

// Whether bytes [from, to) of the header hold the start of a line that
// begins with the tag (the library's search, as the library places the
// ticket: not a tag inside a line).
bool HoldsPlace(const std::vector<char>& header, size_t from, size_t to)
{
    const BYTE* p = reinterpret_cast<const BYTE*>(header.data());
    bool startsLine = from == 0 || p[from - 1] == '\n' || p[from - 1] == '\r';
    for (size_t at = 0; from < to; from += at + 1, startsLine = false) {
        PSMarkKind kind = FindPSMark(p + from, to - from, startsLine, &at);
        if (kind != PSMARK_TICKET_LINE) return kind == PSMARK_TAG;
    }
    return false;
}

}  // namespace

bool ReadHeader(int fd, std::vector<char>* header, bool* place)
{
    header->assign(HEADER_MAX, 0);
    size_t got = 0;
    *place = false;
    while (got < HEADER_MAX && !*place) {
        ssize_t n = read(fd, header->data() + got, HEADER_MAX - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        // Only where the new bytes could complete a tag.
        size_t from = got > TAG_LEN ? got - TAG_LEN : 0;
        got += static_cast<size_t>(n);
        *place = HoldsPlace(*header, from, got);
    }
    header->resize(got);
    return true;
}

HookJob::HookJob(const SpoolerHooks& hooks, const std::string& host, const std::string& port)
    : hooks_(hooks), slot_(TakeSlot())
{
    std::string suffix = std::to_string(getpid()) + " " + std::to_string(slot_);
    name_ = HostWiden(("pralix " + suffix).c_str());
    driverName_ = HostWiden(("Pralix PS " + suffix).c_str());
    port_ = HostWiden((host + ":" + port).c_str());
}

HookJob::~HookJob()
{
    if (driver_) GiveUp();
    if (printer_) ClosePrinter(printer_);
    if (added_) {
        DeletePrinter(added_);
        ClosePrinter(added_);
    }
    FreeSlot(slot_);
}

void HookJob::Store(_OEM_PRIVDEVMODE* record) { SetUserInfo(record, nullptr, driverName_.c_str()); }

bool HookJob::Start(const std::string& document, bool* started)
{
    *started = false;
    if (!added_) added_ = AddPrinterForDriver(name_, driverName_, port_);
    if (!added_ || (!printer_ && !OpenPrinterW(&name_[0], &printer_, nullptr))) return false;
    WString doc = HostWiden(document.c_str()), datatype = TEXT("RAW");
    DOC_INFO_1W info = {&doc[0], nullptr, &datatype[0]};
    DWORD jobId = StartDocPrinterW(printer_, 1, reinterpret_cast<LPBYTE>(&info));
    if (!jobId) return false;
    *started = true;
    driver_ = hooks_.startDoc(printer_, jobId);
    if (!driver_) AbortPrinter(printer_);
    return driver_ != nullptr;
}

bool HookJob::Write(const void* data, size_t n, bool* unreached)
{
    *unreached = false;
    const size_t most = 1u << 30;  // a data call takes a DWORD count
    for (auto* p = static_cast<const char*>(data); n > 0;) {
        DWORD piece = static_cast<DWORD>(n < most ? n : most), written = 0;
        if (!hooks_.writePrinter(driver_, const_cast<char*>(p), piece, &written)) {
            *unreached = GetLastError() == ERROR_CONNECTION_REFUSED;
            return false;
        }
        p += piece, n -= piece;
    }
    return true;
}

bool HookJob::End()
{
    hooks_.endDoc(driver_);
    hooks_.close(driver_);
    driver_ = nullptr;
    return EndDocPrinter(printer_);
}

void HookJob::GiveUp()
{
    hooks_.close(driver_);
    driver_ = nullptr;
    AbortPrinter(printer_);
}
