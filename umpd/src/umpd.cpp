// The spooler's hooks: job start, the job's data with the job ticket spliced
// in before the first "%%EndComments", end, close and abort.
#include "capp.h"
#include "charconversions.h"
#include "english/resource.h"
#include "logmsg.h"
#include "spdll.h"
#include "splbinding.h"
#include "umpd.h"

#include <winspool.h>

#include <cinttypes>
#include <cstring>

HINSTANCE hInst;
CRITICAL_SECTION UmpdSection;
CRITICAL_SECTION UmpdStoreSection;

namespace {

const BYTE TAG[] = "%%EndComments";
const DWORD TAG_LEN = sizeof TAG - 1;
static_assert(TAG_LEN == HELD_MAX + 1, "held bytes are a proper prefix of the tag");

// Handles and pointers print as lowercase hex of their whole value.
uintptr_t Hex(const void* p) { return reinterpret_cast<uintptr_t>(p); }

// Asks the spooler for a level-1 record, first for its size, then into a
// block of that size from the global heap (the caller frees it). Null when
// the spooler cannot tell.
template <typename Query>
BYTE* QueryLevel1(Query query)
{
    DWORD cbNeeded = 0;
    query(nullptr, 0, &cbNeeded);
    if (cbNeeded == 0) return nullptr;
    auto* block = static_cast<BYTE*>(GlobalAlloc(GPTR, cbNeeded));
    if (block && !query(block, cbNeeded, &cbNeeded)) block = static_cast<BYTE*>(GlobalFree(block));
    return block;
}

bool IsTestPage(LPCWSTR document)
{
    return document && wcscmp(document, TEXT("Test Page")) == 0;
}

// Loads the record for a job start: the defaults when there is none, or
// when the value is not a record (the trace says so, once for the job).
void LoadForJobStart(_OEM_PRIVDEVMODE* userOptions, LPCWSTR driverName, _INIDRIVER* pDriver)
{
    DWORD size = 0;
    StoredState state;
    {
        SectionLock store(&UmpdStoreSection);
        state = LoadUserInfo(userOptions, nullptr, driverName, &size);
    }
    if (state == STORED_NOT_VALID) {
        TraceNotValid(size);
        pDriver->notValidTold = 1;
    }
}

// Stores what the run wrote over the record as it is stored now, so a change
// made meanwhile by another job or program is kept. A value that is not a
// record is replaced: the run's fields over the defaults.
void StoreWrittenIdentity(const IdentOptions* ident, LPCWSTR driverName)
{
    if (!ident->written) return;
    SectionLock store(&UmpdStoreSection);
    _OEM_PRIVDEVMODE current;
    DWORD size = 0;
    LoadUserInfo(&current, nullptr, driverName, &size);
    ApplyWrittenIdentity(&current, ident);
    SetUserInfo(&current, nullptr, driverName);
}

// The ticket is narrow text: a secure-print password without a form in the
// ANSI code page would reach the print server as a password nobody can type.
bool SecurePasswordFitsTheCodePage(const _OEM_PRIVDEVMODE& userOptions)
{
    if (HasNarrowForm(userOptions.securePassword)) return true;
    printf("secure-print password has characters outside ANSI code page %u: job refused\n",
           static_cast<unsigned>(GetACP()));
    ShowSecureAccessMessage(hInst, IDS_UNEXPECTED_ERROR);
    return false;
}

// Waits for the validation turn, then loads the options, runs the
// secure-access validation on their identity fields and stores the fields
// the run wrote, whatever its result. Returns that result.
int ValidateJobStart(LPCWSTR driverName, _INIDRIVER* pDriver)
{
    SectionLock turn(&UmpdSection);
    _OEM_PRIVDEVMODE userOptions;
    LoadForJobStart(&userOptions, driverName, pDriver);
    if (!SecurePasswordFitsTheCodePage(userOptions)) return 0;
    IdentOptions identOptions = {};
    CopyIdentityToNarrow(&identOptions, &userOptions);
    int result = DoSPDlg(&identOptions, hInst);
    StoreWrittenIdentity(&identOptions, driverName);
    return result;
}

// What one data call has to place: the held bytes, then the new buffer.
// Positions are 64-bit: held bytes and a buffer of 4 GiB less one together
// exceed a DWORD.
struct PendingData {
    const BYTE* held;
    DWORD cHeld;
    const BYTE* buf;
    DWORD cbBuf;

    uint64_t size() const { return uint64_t(cHeld) + cbBuf; }
    BYTE at(uint64_t i) const { return i < cHeld ? held[i] : buf[i - cHeld]; }
};

// Writes all n bytes, going on after a short write. False when the spooler failed.
bool WriteAll(HANDLE hPrinter, const BYTE* p, DWORD n)
{
    while (n > 0) {
        DWORD bufWritten = 0;
        if (!SplWritePrinter(hPrinter, const_cast<BYTE*>(p), n, &bufWritten) || bufWritten == 0) return false;
        bufWritten = bufWritten < n ? bufWritten : n;
        p += bufWritten;
        n -= bufWritten;
    }
    return true;
}

// Writes bytes [from, to) of the pending data.
bool WriteRange(HANDLE hPrinter, const PendingData& d, uint64_t from, uint64_t to)
{
    bool ok = true;
    if (from < d.cHeld) ok = WriteAll(hPrinter, d.held + from, DWORD((to < d.cHeld ? to : d.cHeld) - from));
    if (to > d.cHeld) {
        uint64_t start = (from > d.cHeld ? from : d.cHeld) - d.cHeld;
        ok = WriteAll(hPrinter, d.buf + start, DWORD(to - d.cHeld - start)) && ok;
    }
    return ok;
}

// Position of the first complete tag in the pending data: one that starts in
// the held bytes, else the first in the buffer.
bool FindTag(const PendingData& d, uint64_t* pos)
{
    for (uint64_t p = 0; p < d.cHeld && p + TAG_LEN <= d.size(); p++) {
        DWORD i = 0;
        while (i < TAG_LEN && d.at(p + i) == TAG[i]) i++;
        if (i == TAG_LEN) {
            *pos = p;
            return true;
        }
    }
    DWORD inBuf = 0;
    if (!FindPSTag_EndComments(d.buf, d.cbBuf, &inBuf)) return false;
    *pos = d.cHeld + inBuf;
    return true;
}

// Length of the longest end of the pending data that is a proper prefix of the tag.
DWORD HeldSuffix(const PendingData& d)
{
    DWORD k = d.size() < HELD_MAX ? DWORD(d.size()) : HELD_MAX;
    for (; k > 0; k--) {
        DWORD i = 0;
        while (i < k && d.at(d.size() - k + i) == TAG[i]) i++;
        if (i == k) break;
    }
    return k;
}

// Places one buffer while the ticket is not yet in: splices it before the
// first tag, or holds back a possible start of one. False when any write failed.
bool SpliceTicket(_INIDRIVER* pDriver, const BYTE* buf, DWORD cbBuf)
{
    PendingData d{pDriver->held, pDriver->cHeld, buf, cbBuf};
    uint64_t tag = 0;
    if (FindTag(d, &tag)) {
        bool ok = WriteRange(pDriver->hPrinter, d, 0, tag);
        ok = AddPralixOptions(pDriver->hPrinter, pDriver->notValidTold == 0) && ok;
        ok = WriteRange(pDriver->hPrinter, d, tag, d.size()) && ok;
        pDriver->state = 1;
        pDriver->cHeld = 0;
        return ok;
    }
    DWORD keep = HeldSuffix(d);
    BYTE next[HELD_MAX];
    for (DWORD i = 0; i < keep; i++) next[i] = d.at(d.size() - keep + i);
    bool ok = WriteRange(pDriver->hPrinter, d, 0, d.size() - keep);
    memcpy(pDriver->held, next, keep);
    pDriver->cHeld = keep;
    return ok;
}

// Past the run of '%' characters that starts at p (bounded by end).
const BYTE* SkipPercents(const BYTE* p, const BYTE* end)
{
    const uint64_t percents = 0x2525252525252525ull;
    for (uint64_t word; end - p >= 8; p += 8) {
        memcpy(&word, p, 8);
        if (word != percents) break;
    }
    while (p < end && *p == '%') p++;
    return p;
}

}  // namespace

void TraceNotValid(DWORD cbValue)
{
    printf("stored options not valid (%u bytes): defaults used\n", static_cast<unsigned>(cbValue));
}

BYTE* QueryDriverInfo1(HANDLE hPrinter)
{
    return QueryLevel1([&](BYTE* b, DWORD cb, DWORD* needed) {
        return SplGetPrinterDriverW(hPrinter, nullptr, 1, b, cb, needed);
    });
}

// The first "%%EndComments" that lies wholly inside buf, anywhere in it.
// memchr finds each '%'; in a run of '%' the tag can only start two before
// the run's end, so a run is passed over whole (a job made of '%' characters
// costs no more than ordinary text).
const BYTE* FindPSTag_EndComments(const BYTE* buf, DWORD len, DWORD* wSize)
{
    *wSize = 0;
    if (len < TAG_LEN) return nullptr;
    const BYTE* end = buf + len;
    const BYTE* last = end - TAG_LEN;  // the last place a tag can start
    for (const BYTE* p = buf; p <= last;) {
        p = static_cast<const BYTE*>(memchr(p, '%', static_cast<size_t>(last - p) + 1));
        if (!p) return nullptr;
        if (p[1] != '%') {
            p += 2;
            continue;
        }
        const BYTE* runEnd = SkipPercents(p + 2, end);
        p = runEnd - 2;
        if (p > last) return nullptr;
        if (memcmp(p, TAG, TAG_LEN) == 0) {
            *wSize = static_cast<DWORD>(p - buf);
            return p;
        }
        p = runEnd;
    }
    return nullptr;
}

extern "C" {

// On Windows the C runtime's start-up code stays the image's entry point and
// calls DllEntryPoint for every notification once the runtime is ready; on
// Linux the stand-in's loader calls it.
BOOL WINAPI DllEntryPoint(HMODULE hModule, DWORD dwReason, LPVOID)
{
    switch (dwReason) {
    case DLL_PROCESS_ATTACH:
        hInst = hModule;
        InitializeCriticalSection(&UmpdSection);
        InitializeCriticalSection(&UmpdStoreSection);
        // Refused for a module with static thread-local storage, which the C
        // runtime gives this DLL; it only saves thread notifications, so the
        // load goes on whatever it returns.
        DisableThreadLibraryCalls(hModule);
        return TRUE;
    case DLL_THREAD_ATTACH:
    case DLL_THREAD_DETACH:
        return FALSE;
    default:
        return TRUE;
    }
}

HANDLE WINAPI DrvSplStartDoc(HANDLE hPrinter, DWORD JobId)
{
    BYTE* driverInfo = QueryDriverInfo1(hPrinter);
    BYTE* jobInfo = QueryLevel1([&](BYTE* b, DWORD cb, DWORD* needed) {
        return SplGetJobW(hPrinter, JobId, 1, b, cb, needed);
    });
    LPCWSTR driverName = driverInfo ? reinterpret_cast<DRIVER_INFO_1W*>(driverInfo)->pName : nullptr;
    LPCWSTR document = jobInfo ? reinterpret_cast<JOB_INFO_1W*>(jobInfo)->pDocument : nullptr;

    int bSecureAccessValid = 1;
    auto* pDriver = static_cast<_INIDRIVER*>(GlobalAlloc(GPTR, sizeof(_INIDRIVER)));
    if (pDriver) {
        pDriver->signature = INIDRIVER_SIGNATURE;
        pDriver->hPrinter = hPrinter;
        pDriver->JobId = JobId;
        pDriver->Status = INIDRIVER_STATUS_STARTED;
        if (IsTestPage(document))
            LogMessage("Printing the Test Page...");
        else
            bSecureAccessValid = ValidateJobStart(driverName, pDriver);
    }
    HANDLE handle = bSecureAccessValid == 1 ? pDriver : nullptr;
    if (!handle && pDriver) GlobalFree(pDriver);
    if (driverInfo) GlobalFree(driverInfo);
    if (jobInfo) GlobalFree(jobInfo);

    printf("DrvSplStartDoc called hPrinter %" PRIxPTR " JobId %u returning handle %" PRIxPTR "\n", Hex(hPrinter),
           static_cast<unsigned>(JobId), Hex(handle));
    return handle;
}

// *pcWritten tells the caller that its own bytes are taken, held or written;
// the inserted ticket is not counted.
BOOL WINAPI DrvSplWritePrinter(HANDLE hDriver, LPVOID pBuf, DWORD cbBuf, LPDWORD pcWritten)
{
    auto* pDriver = static_cast<_INIDRIVER*>(hDriver);
    printf("DrvSplWritePrinter call #%u hDriver %" PRIxPTR " pBuf %" PRIxPTR " cbBuf %u pcWritten %" PRIxPTR "\n",
           static_cast<unsigned>(pDriver->cWritePrinter), Hex(hDriver), Hex(pBuf), static_cast<unsigned>(cbBuf),
           Hex(pcWritten));
    pDriver->cWritePrinter++;
    *pcWritten = cbBuf;
    if (pDriver->state != 0) return SplWritePrinter(pDriver->hPrinter, pBuf, cbBuf, pcWritten);
    return SpliceTicket(pDriver, static_cast<const BYTE*>(pBuf), cbBuf) ? TRUE : FALSE;
}

void WINAPI DrvSplEndDoc(HANDLE hDriver)
{
    auto* pDriver = static_cast<_INIDRIVER*>(hDriver);
    printf("DrvSplEndDoc called hDriver %" PRIxPTR " Status %x cWritePrinter %u cStartPage %u cEndpage %u\n",
           Hex(hDriver), static_cast<unsigned>(pDriver->Status), static_cast<unsigned>(pDriver->cWritePrinter),
           static_cast<unsigned>(pDriver->cStartPage), static_cast<unsigned>(pDriver->cEndPage));
    // The held bytes were no tag after all: they end the document.
    WriteAll(pDriver->hPrinter, pDriver->held, pDriver->cHeld);
    pDriver->cHeld = 0;
    pDriver->Status |= INIDRIVER_STATUS_ENDED;
}

// Held bytes of a job closed without its end are dropped with the record.
void WINAPI DrvSplClose(HANDLE hDriver)
{
    auto* pDriver = static_cast<_INIDRIVER*>(hDriver);
    printf("DrvSplClose called hDriver %" PRIxPTR " Status %x\n", Hex(hDriver), static_cast<unsigned>(pDriver->Status));
    pDriver->signature = INIDRIVER_FREED;
    GlobalFree(pDriver);
}

// Nothing more may be written into an aborted job: its held bytes are dropped.
void WINAPI DrvSplAbort(HANDLE hDriver)
{
    auto* pDriver = static_cast<_INIDRIVER*>(hDriver);
    if (pDriver) pDriver->cHeld = 0;
    WCHAR text[256];
    swprintf(text, 256, TEXT("Printing Aborted..."));
    MessageBoxW(nullptr, text, TEXT("Abort"), MB_OK | MB_SETFOREGROUND);
}

}  // extern "C"
