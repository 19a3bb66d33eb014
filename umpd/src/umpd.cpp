// The spooler's hooks: job start, the job's data with the job ticket spliced
// in before the first line that begins "%%EndComments" (and the document's
// own ticket lines made inert, before it and after it), end, close and abort.
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
CRITICAL_SECTION UmpdTurnsSection;

namespace {

const DWORD TAG_LEN = sizeof PS_TAG - 1;
const DWORD LINE_LEN = sizeof PS_TICKET_LINE - 1;
static_assert(TAG_LEN == HELD_MAX + 1 && LINE_LEN <= HELD_MAX + 1, "held bytes are a proper prefix of a mark");
const BYTE INERT[] = " ";  // in place of a document's ticket line's second '%'

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
// when the value is not a record (the trace says so, once for the job,
// however often it is loaded).
void LoadForJobStart(_OEM_PRIVDEVMODE* userOptions, LPCWSTR driverName, _INIDRIVER* pDriver)
{
    DWORD size = 0;
    StoredState state;
    {
        SectionLock store(&UmpdStoreSection);
        state = LoadUserInfo(userOptions, nullptr, driverName, &size);
    }
    if (state == STORED_NOT_VALID && !pDriver->notValidTold) {
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

// A run once its turn has begun: the secure-access validation on the loaded
// options' identity fields, on the thread's application object; the fields
// the run wrote are stored, whatever its result. Returns that result.
int RunValidation(const _OEM_PRIVDEVMODE& userOptions, LPCWSTR driverName)
{
    if (!SecurePasswordFitsTheCodePage(userOptions)) return 0;
    IdentOptions identOptions = {};
    CopyIdentityToNarrow(&identOptions, &userOptions);
    int result = DoSPDlg(&identOptions, hInst);
    StoreWrittenIdentity(&identOptions, driverName);
    return result;
}

// Whether the host chose turns per print server (UMPD_TURNS=server). Read at
// each job start; a host sets it before its first job.
bool TurnsPerServer()
{
    char value[8];
    DWORD n = GetEnvironmentVariableA("UMPD_TURNS", value, sizeof value);
    return n == 6 && memcmp(value, "server", 6) == 0;
}

// Turns per print server: one for each address a loaded record names, made
// on first use and kept for the process, in a table under UmpdTurnsSection.
const int SERVER_TURNS_MAX = 64;
const int ADDRESS_UNITS = 16;  // the record's address field
struct ServerTurn {
    WCHAR address[ADDRESS_UNITS];  // at most the units before the last, the rest zero
    CRITICAL_SECTION section;
};
ServerTurn gServerTurns[SERVER_TURNS_MAX];
int gServerTurnCount;

// Whether two address fields hold the same text: up to the first null, at
// most the units before the field's last, as the narrow copy is cut.
bool SameAddress(const WCHAR* a, const WCHAR* b)
{
    for (int i = 0; i < ADDRESS_UNITS - 1; i++) {
        if (a[i] != b[i]) return false;
        if (a[i] == 0) return true;
    }
    return true;
}

// The turn of an address. Once the table is full, addresses without a turn
// of their own share the process's: their runs take turns, slower but safe.
CRITICAL_SECTION* ServerTurnOf(const WCHAR* address)
{
    SectionLock table(&UmpdTurnsSection);
    for (int i = 0; i < gServerTurnCount; i++)
        if (SameAddress(gServerTurns[i].address, address)) return &gServerTurns[i].section;
    if (gServerTurnCount == SERVER_TURNS_MAX) return &UmpdSection;
    ServerTurn& turn = gServerTurns[gServerTurnCount++];
    memset(turn.address, 0, sizeof turn.address);
    for (int i = 0; i < ADDRESS_UNITS - 1 && address[i]; i++) turn.address[i] = address[i];
    InitializeCriticalSection(&turn.section);
    return &turn.section;
}

// Loads the options and takes the turn of the print server they name, then
// loads them again under it: a run that held that turn may have stored
// another address meanwhile (the first of two first jobs asked for it), and
// then the run waits for that address's turn instead, so only one of them
// asks. A record whose address keeps changing is run after a few tries
// under the last turn taken. Returns the turn, held.
CRITICAL_SECTION* TakeServerTurn(_OEM_PRIVDEVMODE* userOptions, LPCWSTR driverName, _INIDRIVER* pDriver)
{
    const int TRIES = 4;
    LoadForJobStart(userOptions, driverName, pDriver);
    for (int tries = 1;; tries++) {
        WCHAR address[ADDRESS_UNITS];
        memcpy(address, userOptions->ipAddress, sizeof address);
        CRITICAL_SECTION* turn = ServerTurnOf(address);
        EnterCriticalSection(turn);
        LoadForJobStart(userOptions, driverName, pDriver);
        if (SameAddress(userOptions->ipAddress, address) || tries == TRIES) return turn;
        LeaveCriticalSection(turn);
    }
}

// Waits for the validation turn, then loads the options and runs the
// validation. The process's turn and application object (the spooler's
// rule: a dialog of one run holds up every other), or under
// UMPD_TURNS=server its print server's turn and an application object of the
// run's own, so that a silent server holds up only its own printers' jobs.
int ValidateJobStart(LPCWSTR driverName, _INIDRIVER* pDriver)
{
    _OEM_PRIVDEVMODE userOptions;
    if (!TurnsPerServer()) {
        SectionLock turn(&UmpdSection);
        LoadForJobStart(&userOptions, driverName, pDriver);
        return RunValidation(userOptions, driverName);
    }
    CRITICAL_SECTION* turn = TakeServerTurn(&userOptions, driverName, pDriver);
    CAppDataMembers app = {};
    SetRunningApp(&app);
    int result = RunValidation(userOptions, driverName);
    SetRunningApp(nullptr);
    LeaveCriticalSection(turn);
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
    bool startsLine;  // its first byte begins a line

    uint64_t size() const { return uint64_t(cHeld) + cbBuf; }
    BYTE at(uint64_t i) const { return i < cHeld ? held[i] : buf[i - cHeld]; }
    bool StartsLine(uint64_t i) const { return i == 0 ? startsLine : at(i - 1) == '\n' || at(i - 1) == '\r'; }
    bool Begins(uint64_t i, const char* prefix, DWORD n) const
    {
        for (DWORD k = 0; k < n; k++)
            if (at(i + k) != BYTE(prefix[k])) return false;
        return true;
    }
};

// Writes bytes [from, to) of the pending data.
bool WriteRange(HANDLE hPrinter, const PendingData& d, uint64_t from, uint64_t to)
{
    bool ok = true;
    if (from < d.cHeld) ok = SplWriteAll(hPrinter, d.held + from, DWORD((to < d.cHeld ? to : d.cHeld) - from));
    if (to > d.cHeld) {
        uint64_t start = (from > d.cHeld ? from : d.cHeld) - d.cHeld;
        ok = SplWriteAll(hPrinter, d.buf + start, DWORD(to - d.cHeld - start)) && ok;
    }
    return ok;
}

// The first mark of the pending data at or after `from`: one that starts in
// the held bytes (searched with the buffer's first bytes), else the first in
// the buffer.
PSMarkKind NextMark(const PendingData& d, uint64_t from, uint64_t* pos)
{
    size_t at = 0;
    if (from < d.cHeld) {
        BYTE window[2 * HELD_MAX];
        size_t n = 0;
        for (uint64_t i = from; i < d.size() && n < sizeof window; i++) window[n++] = d.at(i);
        PSMarkKind kind = FindPSMark(window, n, d.StartsLine(from), &at);
        if (kind != PSMARK_NONE && from + at < d.cHeld) {
            *pos = from + at;
            return kind;
        }
        from = d.cHeld;
    }
    uint64_t start = from - d.cHeld;
    PSMarkKind kind = FindPSMark(d.buf + start, size_t(d.cbBuf - start), d.StartsLine(from), &at);
    *pos = from + at;
    return kind;
}

// Length of the longest end of the pending data after `from` that may begin a
// mark: a proper prefix of the tag or of a ticket line, at a line's start.
DWORD HeldSuffix(const PendingData& d, uint64_t from)
{
    DWORD k = d.size() - from < HELD_MAX ? DWORD(d.size() - from) : HELD_MAX;
    for (; k > 0; k--) {
        uint64_t s = d.size() - k;
        if ((d.Begins(s, PS_TAG, k) || (k < LINE_LEN && d.Begins(s, PS_TICKET_LINE, k))) && d.StartsLine(s)) break;
    }
    return k;
}

// Places one buffer: splices the ticket before the first line that begins
// with the tag, makes every ticket line of the document inert, before the
// ticket and after it, and holds back a possible start of either mark. A job
// without that line gets no ticket, so all its ticket lines are the
// document's. False when any write failed.
bool PlaceData(_INIDRIVER* pDriver, const BYTE* buf, DWORD cbBuf)
{
    PendingData d{pDriver->held, pDriver->cHeld, buf, cbBuf, pDriver->midLine == 0};
    HANDLE h = pDriver->hPrinter;
    bool ok = true;
    uint64_t done = 0, mark = 0;  // bytes placed; where the mark found starts
    for (uint64_t from = 0;; from = mark + LINE_LEN) {
        PSMarkKind kind = NextMark(d, from, &mark);
        if (kind == PSMARK_NONE) break;
        if (kind == PSMARK_TAG) {
            if (pDriver->state != 0) continue;  // a later tag is the document's
            ok = WriteRange(h, d, done, mark) && ok;
            ok = AddPralixOptions(h, pDriver->notValidTold == 0) && ok;
            done = mark;
            pDriver->state = 1;
            continue;
        }
        // The caller's buffer is the spooler's: the "%%" goes out as "% " in pieces.
        ok = WriteRange(h, d, done, mark + 1) && ok;
        ok = SplWriteAll(h, INERT, 1) && ok;
        done = mark + 2;
    }
    DWORD keep = HeldSuffix(d, done);
    BYTE next[HELD_MAX];
    for (DWORD i = 0; i < keep; i++) next[i] = d.at(d.size() - keep + i);
    ok = WriteRange(h, d, done, d.size() - keep) && ok;
    pDriver->midLine = d.StartsLine(d.size() - keep) ? 0 : 1;
    memcpy(pDriver->held, next, keep);
    pDriver->cHeld = keep;
    return ok;
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
        InitializeCriticalSection(&UmpdTurnsSection);
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

// *pcWritten tells the caller that its own bytes are taken, held or written
// (a short spooler write is continued, after the ticket as before it); the
// inserted ticket is not counted.
BOOL WINAPI DrvSplWritePrinter(HANDLE hDriver, LPVOID pBuf, DWORD cbBuf, LPDWORD pcWritten)
{
    auto* pDriver = static_cast<_INIDRIVER*>(hDriver);
    printf("DrvSplWritePrinter call #%u hDriver %" PRIxPTR " pBuf %" PRIxPTR " cbBuf %u pcWritten %" PRIxPTR "\n",
           static_cast<unsigned>(pDriver->cWritePrinter), Hex(hDriver), Hex(pBuf), static_cast<unsigned>(cbBuf),
           Hex(pcWritten));
    pDriver->cWritePrinter++;
    *pcWritten = cbBuf;
    return PlaceData(pDriver, static_cast<const BYTE*>(pBuf), cbBuf) ? TRUE : FALSE;
}

void WINAPI DrvSplEndDoc(HANDLE hDriver)
{
    auto* pDriver = static_cast<_INIDRIVER*>(hDriver);
    printf("DrvSplEndDoc called hDriver %" PRIxPTR " Status %x cWritePrinter %u cStartPage %u cEndpage %u\n",
           Hex(hDriver), static_cast<unsigned>(pDriver->Status), static_cast<unsigned>(pDriver->cWritePrinter),
           static_cast<unsigned>(pDriver->cStartPage), static_cast<unsigned>(pDriver->cEndPage));
    // The held bytes began no mark after all: they end the document.
    SplWriteAll(pDriver->hPrinter, pDriver->held, pDriver->cHeld);
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
