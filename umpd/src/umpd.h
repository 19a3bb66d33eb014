// The hook library's records and the functions that share them.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

// The job options, stored byte for byte as the driver's "User Info" value:
// little-endian integers, UTF-16LE text, 1428 bytes, no padding of its own.
struct _OEM_PRIVDEVMODE {
    int16_t initialized;  // 12345 when the record holds options
    int16_t wReserved1;
    int32_t spoolOptions;
    int32_t rasterOption;
    int32_t rasterOptionUI;
    int32_t colorModel;
    int32_t printerMode;
    int32_t enableRGB;
    int32_t bRenderingStyle;
    int32_t bRGBStandard;
    int32_t RGBRendering;
    int32_t RGBGamma;
    int32_t RGBWhitepoint;
    int32_t pressSimulation;
    int32_t enableCMYK;
    int32_t pressProfile;
    int32_t spotColor;
    int32_t bPreserveGCR;
    int32_t RGBProfile;
    int32_t separations;
    int32_t progressives;
    int32_t autoGray;
    int32_t controlStrip;
    int32_t saveAsTIFF;
    int32_t tiff_dpi;
    int32_t edgeSmoothing;
    int32_t blackOverPrints;
    int32_t alternateBlack;
    int32_t autoTED;
    int32_t pralixProof;
    int32_t invertImage;
    int32_t imageEnhancement;
    int32_t mirrorImage;
    int32_t bPrintOutputSlug;
    int32_t productionPrinting;
    int16_t outputBin;
    int16_t wReserved2;
    int32_t bypassOption;
    int32_t duplex;
    int32_t rotatePages;
    int32_t sorter;
    int32_t staplePosition;
    int32_t staple;
    int32_t faceup;
    int32_t collate;
    int32_t reversePrint;
    int32_t productionMode;
    int32_t bImposition;
    int32_t sImpositionType;
    int32_t sSectionSize;
    int32_t sOutputPaperSize;
    int32_t bCropMarks;
    int32_t bScaleToFit;
    int32_t bSecurePrintInvalid;
    int32_t bInitialConnection;
    WCHAR ipAddress[16];
    WCHAR docOwner[25];
    WCHAR password[9];
    WCHAR docComment[256];
    WCHAR accountNo[33];
    WCHAR securePassword[9];
    int32_t bUseSecurePassword;
    int32_t bUseSecureAccessPassword;
    WCHAR printerName[256];
};

// The stored layout is fixed: every offset is part of the registry value,
// and the offsets with the size fix every field's width.
#define UMPD_STORED_AT(field, offset) \
    static_assert(offsetof(_OEM_PRIVDEVMODE, field) == (offset), "stored layout: " #field)
UMPD_STORED_AT(initialized, 0);
UMPD_STORED_AT(wReserved1, 2);
UMPD_STORED_AT(spoolOptions, 4);
UMPD_STORED_AT(rasterOption, 8);
UMPD_STORED_AT(rasterOptionUI, 12);
UMPD_STORED_AT(colorModel, 16);
UMPD_STORED_AT(printerMode, 20);
UMPD_STORED_AT(enableRGB, 24);
UMPD_STORED_AT(bRenderingStyle, 28);
UMPD_STORED_AT(bRGBStandard, 32);
UMPD_STORED_AT(RGBRendering, 36);
UMPD_STORED_AT(RGBGamma, 40);
UMPD_STORED_AT(RGBWhitepoint, 44);
UMPD_STORED_AT(pressSimulation, 48);
UMPD_STORED_AT(enableCMYK, 52);
UMPD_STORED_AT(pressProfile, 56);
UMPD_STORED_AT(spotColor, 60);
UMPD_STORED_AT(bPreserveGCR, 64);
UMPD_STORED_AT(RGBProfile, 68);
UMPD_STORED_AT(separations, 72);
UMPD_STORED_AT(progressives, 76);
UMPD_STORED_AT(autoGray, 80);
UMPD_STORED_AT(controlStrip, 84);
UMPD_STORED_AT(saveAsTIFF, 88);
UMPD_STORED_AT(tiff_dpi, 92);
UMPD_STORED_AT(edgeSmoothing, 96);
UMPD_STORED_AT(blackOverPrints, 100);
UMPD_STORED_AT(alternateBlack, 104);
UMPD_STORED_AT(autoTED, 108);
UMPD_STORED_AT(pralixProof, 112);
UMPD_STORED_AT(invertImage, 116);
UMPD_STORED_AT(imageEnhancement, 120);
UMPD_STORED_AT(mirrorImage, 124);
UMPD_STORED_AT(bPrintOutputSlug, 128);
UMPD_STORED_AT(productionPrinting, 132);
UMPD_STORED_AT(outputBin, 136);
UMPD_STORED_AT(wReserved2, 138);
UMPD_STORED_AT(bypassOption, 140);
UMPD_STORED_AT(duplex, 144);
UMPD_STORED_AT(rotatePages, 148);
UMPD_STORED_AT(sorter, 152);
UMPD_STORED_AT(staplePosition, 156);
UMPD_STORED_AT(staple, 160);
UMPD_STORED_AT(faceup, 164);
UMPD_STORED_AT(collate, 168);
UMPD_STORED_AT(reversePrint, 172);
UMPD_STORED_AT(productionMode, 176);
UMPD_STORED_AT(bImposition, 180);
UMPD_STORED_AT(sImpositionType, 184);
UMPD_STORED_AT(sSectionSize, 188);
UMPD_STORED_AT(sOutputPaperSize, 192);
UMPD_STORED_AT(bCropMarks, 196);
UMPD_STORED_AT(bScaleToFit, 200);
UMPD_STORED_AT(bSecurePrintInvalid, 204);
UMPD_STORED_AT(bInitialConnection, 208);
UMPD_STORED_AT(ipAddress, 212);
UMPD_STORED_AT(docOwner, 244);
UMPD_STORED_AT(password, 294);
UMPD_STORED_AT(docComment, 312);
UMPD_STORED_AT(accountNo, 824);
UMPD_STORED_AT(securePassword, 890);
UMPD_STORED_AT(bUseSecurePassword, 908);
UMPD_STORED_AT(bUseSecureAccessPassword, 912);
UMPD_STORED_AT(printerName, 916);
#undef UMPD_STORED_AT
static_assert(sizeof(_OEM_PRIVDEVMODE) == 1428, "stored record size");
static_assert(sizeof(WCHAR) == 2, "text is UTF-16");

const int16_t OPTIONS_VALID = 12345;

// The narrow (ANSI code page) copy of the identity fields that the
// validation flow edits for one job start.
struct IdentOptions {
    char docOwner[25];
    char password[9];
    char norvikSecurePassword[9];
    char docComment[256];
    char accountNo[33];
    char ipAddress[16];
    int32_t bInitialConnection;
    int32_t bUseSecurePassword;
    int32_t bUseSecureAccessPassword;
    uint32_t written;  // IDENT_WROTE_* bits: the fields the validation run set
};

// The fields a validation run may set; only these go back to the store.
const uint32_t IDENT_WROTE_ADDRESS = 0x1;    // ipAddress: OK in the server address dialog
const uint32_t IDENT_WROTE_FIRST_USE = 0x2;  // bInitialConnection: cleared once an address answered
const uint32_t IDENT_WROTE_IDENTITY = 0x4;   // docOwner, password, accountNo: OK in the secure access dialog

const DWORD INIDRIVER_SIGNATURE = 0x44525347;  // "GSRD" in memory order
const DWORD INIDRIVER_FREED = 0xdeadf00d;
const DWORD INIDRIVER_STATUS_STARTED = 0x1;
const DWORD INIDRIVER_STATUS_ENDED = 0x2;

// The most bytes held back at a buffer's end: a proper prefix of
// "%%EndComments" (12) or of a ticket line (8), at a line's start.
const DWORD HELD_MAX = 12;

// One job, from DrvSplStartDoc to DrvSplClose; the spooler holds it as the
// driver handle.
struct _INIDRIVER {
    DWORD signature;
    HANDLE hPrinter;
    DWORD JobId;
    DWORD Status;
    DWORD cWritePrinter;
    DWORD cStartPage;
    DWORD cEndPage;
    FILE* fp;
    DWORD Page;
    int32_t state;  // 1 once the job ticket is in the stream
    DWORD revOrd;
    // Bytes at the end of the data so far that may begin the tag's line or
    // a ticket line; they go out before anything that follows them.
    BYTE held[HELD_MAX];
    DWORD cHeld;
    int32_t notValidTold;  // 1 once the trace said the stored value is not a record
    int32_t midLine;       // 1 when the held bytes (with none held, the next byte) begin no line
};

// Job options (umpd_options.cpp).
void SetDefaultPralixOptions(_OEM_PRIVDEVMODE* pUserOptions);
void CopyIdentityToNarrow(IdentOptions* outIdent, const _OEM_PRIVDEVMODE* inOptions);
// The fields the run wrote (inIdent->written), narrow to wide, over the
// record; every other byte of it stays as it is.
void ApplyWrittenIdentity(_OEM_PRIVDEVMODE* outOptions, const IdentOptions* inIdent);

// Option store (umpd_store.cpp).
// What a load found: a record, no value (first use), or a value that is not
// a record (another size, no mark, or unreadable). Only a record is loaded;
// otherwise the defaults are.
enum StoredState { STORED_VALID, STORED_MISSING, STORED_NOT_VALID };
StoredState LoadUserInfo(_OEM_PRIVDEVMODE* pUserOptions, HANDLE hPrinter, LPCWSTR pszPrinterName, DWORD* pcbValue);
DWORD GetUserInfo(_OEM_PRIVDEVMODE* pUserOptions, HANDLE hPrinter, LPCWSTR pszPrinterName);
DWORD SetUserInfo(_OEM_PRIVDEVMODE* pUserOptions, HANDLE hPrinter, LPCWSTR pszPrinterName);

// Password encoding (umpd_password.cpp): in place, bounded by the buffer's size.
void EncryptUserPassword(char* userPassword, size_t size);

// Job-ticket writer (umpd_ticket.cpp).
// True when every line reached the spooler. traceNotValid: say in the trace
// when the stored value is not a record.
BOOL AddPralixOptions(HANDLE hPrinter, bool traceNotValid = false);
// Sets an option as its ticket line names it ("Duplex", "LongEdgeBinding";
// "OutputBin", "3"), the names compared without spaces and without regard to
// case; the first choice of that text wins. False for an unknown option or choice.
bool SetTicketOption(_OEM_PRIVDEVMODE* options, const char* key, const char* choice);
// Every option of the ticket and each of its choices as SetTicketOption
// takes them, in ticket order, with whether the defaults give it; a numeric
// option (OutputBin) comes once, with the defaults' number. For writing a PPD.
typedef void (*TicketChoiceVisitor)(void* context, const char* key, const char* choice, bool isDefault, bool isNumber);
void ForEachTicketChoice(TicketChoiceVisitor visit, void* context);
// The trace line for a stored value that is not a record, of cbValue bytes.
void TraceNotValid(DWORD cbValue);

// Hooks (umpd.cpp).
// The driver's level-1 information (a DRIVER_INFO_1W) in a block from the
// global heap that the caller frees, sized from the spooler's report; null
// when the spooler cannot tell.
BYTE* QueryDriverInfo1(HANDLE hPrinter);

// The data search (umpd_search.cpp). The ticket goes just before the first
// line that begins with the tag; only the ticket may carry lines that begin
// as its lines do, before it or after it.
constexpr char PS_TAG[] = "%%EndComments";
constexpr char PS_TICKET_LINE[] = "%%PRALIX:";
enum PSMarkKind { PSMARK_NONE, PSMARK_TAG, PSMARK_TICKET_LINE };
// The first mark that lies wholly inside buf at a line's start (just after
// LF or CR; at buf's start when startsLine): the tag or a ticket line. *at:
// where it starts, when there is one.
PSMarkKind FindPSMark(const BYTE* buf, size_t len, bool startsLine, size_t* at);
// The same on a path of the caller's choice, which the processor must have.
enum PSSearchPath { SEARCH_PORTABLE, SEARCH_SSE2, SEARCH_AVX2 };
PSSearchPath BestPSSearchPath();
PSMarkKind FindPSMarkBy(PSSearchPath path, const BYTE* buf, size_t len, bool startsLine, size_t* at);

extern "C" {
BOOL WINAPI DllEntryPoint(HMODULE hModule, DWORD dwReason, LPVOID lpRes);
HANDLE WINAPI DrvSplStartDoc(HANDLE hPrinter, DWORD JobId);
BOOL WINAPI DrvSplWritePrinter(HANDLE hDriver, LPVOID pBuf, DWORD cbBuf, LPDWORD pcWritten);
void WINAPI DrvSplEndDoc(HANDLE hDriver);
void WINAPI DrvSplClose(HANDLE hDriver);
void WINAPI DrvSplAbort(HANDLE hDriver);
}

extern HINSTANCE hInst;

// The locks of the process. Lock order: a validation turn before
// UmpdStoreSection, never the reverse; a job start holds at most one turn,
// and takes UmpdTurnsSection only while it holds none.
// UmpdSection is the validation turn: one run at a time uses the
// application object, from the job start's load to its store; it is held
// across the run's dialogs and network waits, so later job starts wait on an
// unanswered dialog. Only job starts take it. Under a host's choice of turns
// per print server (UMPD_TURNS=server) each run takes instead the turn of
// the address its record names and uses an application object of its own.
// UmpdStoreSection guards each load-to-store of the stored record (job
// starts and ticket writers alike); it is never held across a dialog, a
// network exchange, a WritePrinter call or a sleep.
// UmpdTurnsSection guards the table of the print servers' turns, for a
// look-up alone.
extern CRITICAL_SECTION UmpdSection;
extern CRITICAL_SECTION UmpdStoreSection;
extern CRITICAL_SECTION UmpdTurnsSection;

// Holds a critical section for a scope.
struct SectionLock {
    explicit SectionLock(CRITICAL_SECTION* section) : section_(section) { EnterCriticalSection(section_); }
    ~SectionLock() { LeaveCriticalSection(section_); }
    SectionLock(const SectionLock&) = delete;
    SectionLock& operator=(const SectionLock&) = delete;

private:
    CRITICAL_SECTION* section_;
};
