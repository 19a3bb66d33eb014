// The job-ticket block written just before the first "%%EndComments": one
// "%%PRALIX: key value" comment line per option, each ended by CR LF and sent
// with its own WritePrinter call, opened by a PostScript guard line when the
// job has a secure-print password.
#include "charconversions.h"
#include "logmsg.h"
#include "splbinding.h"
#include "umpd.h"

#include <winspool.h>

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>

namespace {

const size_t LINE_SIZE = 256;  // a line with its CR LF has at most 255 bytes

const char GUARD_LINE[] = "statusdict /Pralix_feat_dict known not { currentfile flushfile }if ";

struct Choice {
    int32_t value;
    const char* line;
};

// One option line: the value picks a line from the choices; any other value
// gives `otherwise`, or no line at all when that is null (never a repeat of
// the line before, never undefined text). A format, when given, is filled
// with the value instead. `set` is the way back: a choice's value (or
// otherwiseValue for the `otherwise` line) into the record.
struct TicketRow {
    int32_t (*value)(const _OEM_PRIVDEVMODE&);
    void (*set)(_OEM_PRIVDEVMODE&, int32_t);
    std::initializer_list<Choice> choices;
    const char* otherwise;
    const char* format;
    int32_t otherwiseValue = 0;
};

#define FIELD(name)                                                    \
    [](const _OEM_PRIVDEVMODE& o) -> int32_t { return o.name; },       \
        [](_OEM_PRIVDEVMODE& o, int32_t v) { o.name = static_cast<decltype(o.name)>(v); }
#define FLAG(name, key) {FIELD(name), {{1, "%%PRALIX: " key " on"}}, "%%PRALIX: " key " off", nullptr}

const TicketRow TICKET_ROWS[] = {
    {FIELD(spoolOptions), {{0, "%%PRALIX: Spool Delete"}, {1, "%%PRALIX: Spool Save"}, {2, "%%PRALIX: Spool Hold"},
                           {3, "%%PRALIX: Spool Preflight"}, {4, "%%PRALIX: Spool RipOnly"}}, nullptr, nullptr},
    {FIELD(rasterOption), {{0, "%%PRALIX: RasterHandling SaveRaster"}, {1, "%%PRALIX: RasterHandling DeleteRaster"},
                           {2, "%%PRALIX: RasterHandling DeleteRaster"}}, nullptr, nullptr},
    {FIELD(colorModel), {{0, "%%PRALIX: ColorModel CMYK"}, {1, "%%PRALIX: ColorModel Gray"}}, nullptr, nullptr},
    {FIELD(printerMode), {{0, "%%PRALIX: Screening off"}}, "%%PRALIX: Screening on", nullptr, 1},
    // RGB correction: 1 off, 2 standard, 3 otherwise.
    {[](const _OEM_PRIVDEVMODE& o) -> int32_t { return o.enableRGB == 0 ? 1 : (o.bRGBStandard != 0 ? 2 : 3); },
     [](_OEM_PRIVDEVMODE& o, int32_t v) {
         o.enableRGB = v != 1;
         o.bRGBStandard = v == 2;
     },
     {{1, "%%PRALIX: CorrectRGB 1"}, {2, "%%PRALIX: CorrectRGB 2"}, {3, "%%PRALIX: CorrectRGB 3"}}, nullptr, nullptr},
    {FIELD(RGBGamma), {{0, "%%PRALIX: Gamma 1"}, {1, "%%PRALIX: Gamma 2"}, {2, "%%PRALIX: Gamma 3"},
                       {3, "%%PRALIX: Gamma 4"}, {4, "%%PRALIX: Gamma 5"}}, nullptr, nullptr},
    {FIELD(RGBWhitepoint), {{0, "%%PRALIX: WhitePoint 1"}, {1, "%%PRALIX: WhitePoint 2"}, {2, "%%PRALIX: WhitePoint 3"}},
     nullptr, nullptr},
    {FIELD(RGBProfile), {{0, "%%PRALIX: RGBProfile Adobe RGB"}, {1, "%%PRALIX: RGBProfile Apple RGB"},
                         {2, "%%PRALIX: RGBProfile RGB 9300"}, {3, "%%PRALIX: RGBProfile RGB D50"},
                         {4, "%%PRALIX: RGBProfile RGB D65"}, {5, "%%PRALIX: RGBProfile sRGB"}}, nullptr, nullptr},
    {FIELD(RGBRendering), {{0, "%%PRALIX: RenderingStyle 1"}, {1, "%%PRALIX: RenderingStyle 2"},
                           {2, "%%PRALIX: RenderingStyle 3"}, {3, "%%PRALIX: RenderingStyle 4"}},
     "%%PRALIX: RenderingStyle 5", nullptr, 4},
    FLAG(enableCMYK, "CorrectCMYK"),
    {FIELD(pressProfile), {{0, "%%PRALIX: PressProfile 1"}, {1, "%%PRALIX: PressProfile 2"},
                           {2, "%%PRALIX: PressProfile 3"}, {3, "%%PRALIX: PressProfile 1001"},
                           {4, "%%PRALIX: PressProfile 1002"}, {5, "%%PRALIX: PressProfile 1003"},
                           {6, "%%PRALIX: PressProfile 1004"}, {7, "%%PRALIX: PressProfile 1005"},
                           {8, "%%PRALIX: PressProfile 1006"}, {9, "%%PRALIX: PressProfile 1007"},
                           {10, "%%PRALIX: PressProfile 1008"}, {11, "%%PRALIX: PressProfile 1009"},
                           {12, "%%PRALIX: PressProfile 1010"}}, nullptr, nullptr},
    FLAG(bPreserveGCR, "PreserveGCR"),
    FLAG(spotColor, "CompositeSpot"),
    FLAG(pressSimulation, "PressSimulation"),
    {FIELD(separations), {{0, "%%PRALIX: Seps Auto"}, {1, "%%PRALIX: Seps SinglePageSeps"}, {2, "%%PRALIX: Seps Quark4"},
                          {3, "%%PRALIX: Seps Quark"}, {4, "%%PRALIX: Seps PageMaker"}, {5, "%%PRALIX: Seps FreeHand"},
                          {6, "%%PRALIX: Seps Canvas"}, {7, "%%PRALIX: Seps None"}}, nullptr, nullptr},
    FLAG(progressives, "Progressives"),
    FLAG(autoGray, "AutoBlackDetect"),
    FLAG(controlStrip, "ControlStrip"),
    FLAG(bPrintOutputSlug, "OutputSlug"),
    FLAG(productionPrinting, "ProductionPrinting"),
    FLAG(saveAsTIFF, "SaveAsTIFF"),
    // The resolution only follows "SaveAsTIFF on".
    {[](const _OEM_PRIVDEVMODE& o) -> int32_t { return o.saveAsTIFF == 1 ? o.tiff_dpi : INT32_MIN; },
     [](_OEM_PRIVDEVMODE& o, int32_t v) { o.tiff_dpi = v; },
     {{0, "%%PRALIX: SaveAsDPI 600"}, {1, "%%PRALIX: SaveAsDPI 300"}, {2, "%%PRALIX: SaveAsDPI 72"}}, nullptr, nullptr},
    FLAG(edgeSmoothing, "EdgeSmoothing"),
    FLAG(blackOverPrints, "BlackOverprint"),
    FLAG(alternateBlack, "UseKForRGBBlack"),
    FLAG(pralixProof, "PralixProof"),
    FLAG(autoTED, "TrailingEdgeDeletion"),
    FLAG(invertImage, "InvertImage"),
    FLAG(mirrorImage, "MirrorImage"),
    FLAG(imageEnhancement, "ImageEnhancement"),
    // The tray numbers are the server's own; 7 and 11 are the same tray.
    {FIELD(bypassOption), {{0, "%%PRALIX: Bypass 0"}, {1, "%%PRALIX: Bypass 5"}, {2, "%%PRALIX: Bypass 1"},
                           {3, "%%PRALIX: Bypass 3"}, {4, "%%PRALIX: Bypass 16"}, {5, "%%PRALIX: Bypass 9"},
                           {6, "%%PRALIX: Bypass 7"}, {7, "%%PRALIX: Bypass 6"}, {8, "%%PRALIX: Bypass 4"},
                           {9, "%%PRALIX: Bypass 14"}, {10, "%%PRALIX: Bypass 15"}, {11, "%%PRALIX: Bypass 6"},
                           {12, "%%PRALIX: Bypass 30"}}, nullptr, nullptr},
    {FIELD(outputBin), {}, nullptr, "%%%%PRALIX: OutputBin %d"},
    {FIELD(duplex), {{0, "%%PRALIX: Duplex off"}, {1, "%%PRALIX: Duplex LongEdgeBinding"},
                     {2, "%%PRALIX: Duplex ShortEdgeBinding"}}, nullptr, nullptr},
    FLAG(faceup, "OutputFaceUp"),
    FLAG(collate, "Collate"),
    {FIELD(reversePrint), {{1, "%%PRALIX: PageOrder Reverse"}}, "%%PRALIX: PageOrder Forward", nullptr},
    {FIELD(staplePosition), {{1, "%%PRALIX: StaplePosition StapleOnePortrait"},
                             {2, "%%PRALIX: StaplePosition StapleOneLandscape"},
                             {3, "%%PRALIX: StaplePosition StapleDualPortrait"},
                             {4, "%%PRALIX: StaplePosition StapleDualLandscape"}},
     "%%PRALIX: StaplePosition StapleOff", nullptr},
    FLAG(rotatePages, "RotatePages"),
    // The imposition style counts only when imposition is on.
    {[](const _OEM_PRIVDEVMODE& o) -> int32_t { return o.bImposition == 0 ? INT32_MIN : o.sImpositionType; },
     [](_OEM_PRIVDEVMODE& o, int32_t v) {
         o.bImposition = v != INT32_MIN;
         if (v != INT32_MIN) o.sImpositionType = v;
     },
     {{0, "%%PRALIX: PBImposition SaddleStitch"}, {1, "%%PRALIX: PBImposition PerfectBound"},
      {2, "%%PRALIX: PBImposition Signature"}, {3, "%%PRALIX: PBImposition StepRepeat"},
      {4, "%%PRALIX: PBImposition 2-up"}}, "%%PRALIX: PBImposition off", nullptr, INT32_MIN},
    {FIELD(sSectionSize), {{0, "%%PRALIX: SS_SectionSize 0"}, {1, "%%PRALIX: SS_SectionSize 4"},
                           {2, "%%PRALIX: SS_SectionSize 8"}, {3, "%%PRALIX: SS_SectionSize 16"},
                           {4, "%%PRALIX: SS_SectionSize 32"}, {5, "%%PRALIX: SS_SectionSize 64"}}, nullptr, nullptr},
    {FIELD(sOutputPaperSize), {{0, "%%PRALIX: ImposePageSize Imp_Tabloid"}, {1, "%%PRALIX: ImposePageSize Imp_A3"},
                               {2, "%%PRALIX: ImposePageSize Imp_12x18"}, {3, "%%PRALIX: ImposePageSize Imp_SRA3"},
                               {4, "%%PRALIX: ImposePageSize Imp_Letter"}, {5, "%%PRALIX: ImposePageSize Imp_A4"}},
     nullptr, nullptr},
    FLAG(bCropMarks, "ImpCropMarks"),
    FLAG(bScaleToFit, "ImpScaleToFit"),
};

// The printer the block goes to, and whether every line reached it.
struct TicketOutput {
    HANDLE hPrinter;
    bool ok;
};

// Sends one line, its text then CR LF, as every write of the job goes: a
// short count is continued; a failure or a zero count ends the block, so no
// later line runs into a partial one.
void WriteLine(TicketOutput* out, const char* text)
{
    if (!out->ok) return;
    char cValue[LINE_SIZE];
    int len = snprintf(cValue, sizeof cValue, "%s\r\n", text);
    if (len < 0 || static_cast<size_t>(len) >= sizeof cValue) len = static_cast<int>(sizeof cValue) - 1;
    out->ok = SplWriteAll(out->hPrinter, cValue, static_cast<DWORD>(len)) != FALSE;
}

// in: a row and the options; out: the row's line, if it has one.
const char* LineOf(const TicketRow& row, const _OEM_PRIVDEVMODE& o, char (&formatted)[LINE_SIZE])
{
    int32_t v = row.value(o);
    if (row.format) {
        snprintf(formatted, sizeof formatted, row.format, static_cast<int>(v));
        return formatted;
    }
    for (const Choice& c : row.choices)
        if (c.value == v) return c.line;
    return row.otherwise;
}

// Free text from the record as narrow text for a line, each CR and LF a
// space, cut at a character boundary to `room` bytes.
void FreeText(char* outText, size_t room, const WCHAR* inText, size_t inUnits)
{
    WCHAR clean[LINE_SIZE];
    size_t n = 0;
    for (; n < inUnits && n + 1 < LINE_SIZE && inText[n]; n++)
        clean[n] = (inText[n] == '\r' || inText[n] == '\n') ? WCHAR(' ') : inText[n];
    clean[n] = 0;
    tchar2char(outText, room + 1, clean, n);
}

// "key value": the value cut so that the line with its CR LF fits 255 bytes.
template <size_t N>
void WriteTextLine(TicketOutput* out, const char* key, const WCHAR (&field)[N])
{
    char line[LINE_SIZE];
    int prefix = snprintf(line, sizeof line, "%%%%PRALIX: %s ", key);
    FreeText(line + prefix, LINE_SIZE - 1 - 2 - prefix, field, N);
    WriteLine(out, line);
}

// "key encoded-password".
template <size_t N>
void WritePasswordLine(TicketOutput* out, const char* key, const WCHAR (&field)[N])
{
    // Encoded, two digits a character: room for 63 characters, far more than
    // a password field holds.
    char tempPassword[LINE_SIZE / 2], line[LINE_SIZE];
    tchar2char(tempPassword, field);
    EncryptUserPassword(tempPassword, sizeof tempPassword);
    snprintf(line, sizeof line, "%%%%PRALIX: %s %s", key, tempPassword);
    WriteLine(out, line);
}

template <size_t N>
void ReplaceLineBreaks(WCHAR (&text)[N])
{
    for (size_t i = 0; i < N && text[i]; i++)
        if (text[i] == '\r' || text[i] == '\n') text[i] = ' ';
}

// Loads the stored options and, under the store lock, stores them back with
// both passwords emptied (a password serves one job only) and the comment's
// line breaks as spaces. A value that is not a record is left as it is.
// out: the options as loaded, for the ticket.
StoredState TakeOptionsForTicket(_OEM_PRIVDEVMODE* userOptions, HANDLE hPrinter, DWORD* pcbValue)
{
    SectionLock store(&UmpdStoreSection);
    StoredState state = LoadUserInfo(userOptions, hPrinter, nullptr, pcbValue);
    if (state == STORED_NOT_VALID) return state;
    _OEM_PRIVDEVMODE emptied = *userOptions;
    ReplaceLineBreaks(emptied.docComment);
    emptied.password[0] = 0;
    emptied.securePassword[0] = 0;
    SetUserInfo(&emptied, hPrinter, nullptr);
    return state;
}

}  // namespace

// Writes the whole block from the stored options, which the store keeps
// without their passwords from then on. The lines are written after the
// store lock is released. True when every line reached the spooler.
BOOL AddPralixOptions(HANDLE hPrinter, bool traceNotValid)
{
    LogMessage("Getting user options in AddPralixOptions()...");
    _OEM_PRIVDEVMODE userOptions;
    DWORD size = 0;
    if (TakeOptionsForTicket(&userOptions, hPrinter, &size) == STORED_NOT_VALID && traceNotValid) TraceNotValid(size);

    TicketOutput out = {hPrinter, true};
    char securePassword[LINE_SIZE];
    tchar2char(securePassword, userOptions.securePassword);
    if (securePassword[0]) WriteLine(&out, GUARD_LINE);

    char formatted[LINE_SIZE];
    for (const TicketRow& row : TICKET_ROWS)
        if (const char* line = LineOf(row, userOptions, formatted)) WriteLine(&out, line);

    ReplaceLineBreaks(userOptions.docComment);
    WriteTextLine(&out, "DocOwner", userOptions.docOwner);
    WritePasswordLine(&out, "Password", userOptions.password);
    WriteTextLine(&out, "AccountNumber", userOptions.accountNo);
    WriteTextLine(&out, "DocComment", userOptions.docComment);
    if (securePassword[0]) WritePasswordLine(&out, "SecurePassword", userOptions.securePassword);
    return out.ok;
}

namespace {

// The text after "%%PRALIX: " of a line as the rows hold it ("%%%%" in a format).
const char* AfterPrefix(const char* line)
{
    const char* p = strstr(line, "PRALIX: ");
    return p ? p + 8 : line;
}

// Compares two names without their spaces and without regard to case.
bool SameName(const char* a, size_t an, const char* b)
{
    const char* aEnd = a + an;
    for (;; a++, b++) {
        while (a < aEnd && *a == ' ') a++;
        while (*b == ' ') b++;
        if (a == aEnd || !*b) return a == aEnd && !*b;
        if (tolower(static_cast<unsigned char>(*a)) != tolower(static_cast<unsigned char>(*b))) return false;
    }
}

// True when the line is "%%PRALIX: key choice".
bool LineNames(const char* line, const char* key, const char* choice)
{
    const char* text = AfterPrefix(line);
    const char* space = strchr(text, ' ');
    return space && SameName(text, static_cast<size_t>(space - text), key) && SameName(space + 1, strlen(space + 1), choice);
}

bool SetNumber(const TicketRow& row, _OEM_PRIVDEVMODE* o, const char* key, const char* choice)
{
    const char* text = AfterPrefix(row.format);
    const char* space = strchr(text, ' ');
    char* end = nullptr;
    long v = strtol(choice, &end, 10);
    if (!space || !SameName(text, static_cast<size_t>(space - text), key) || end == choice || *end || v < INT16_MIN ||
        v > INT16_MAX)
        return false;
    row.set(*o, static_cast<int32_t>(v));
    return true;
}

}  // namespace

bool SetTicketOption(_OEM_PRIVDEVMODE* options, const char* key, const char* choice)
{
    for (const TicketRow& row : TICKET_ROWS) {
        if (row.format) {
            if (SetNumber(row, options, key, choice)) return true;
            continue;
        }
        for (const Choice& c : row.choices) {
            if (LineNames(c.line, key, choice)) {
                row.set(*options, c.value);
                return true;
            }
        }
        if (row.otherwise && LineNames(row.otherwise, key, choice)) {
            row.set(*options, row.otherwiseValue);
            return true;
        }
    }
    return false;
}

void ForEachTicketChoice(TicketChoiceVisitor visit, void* context)
{
    _OEM_PRIVDEVMODE defaults;
    memset(&defaults, 0, sizeof defaults);
    SetDefaultPralixOptions(&defaults);
    char formatted[LINE_SIZE];
    for (const TicketRow& row : TICKET_ROWS) {
        const char* line = LineOf(row, defaults, formatted);
        const char* lines[32];
        size_t n = 0;
        if (row.format) lines[n++] = formatted;
        for (const Choice& c : row.choices)
            if (n < 31) lines[n++] = c.line;
        if (row.otherwise) lines[n++] = row.otherwise;
        for (size_t i = 0; i < n; i++) {
            std::string text = AfterPrefix(lines[i]);
            size_t space = text.find(' ');
            if (space == std::string::npos) continue;
            bool isDefault = line && strcmp(AfterPrefix(line), AfterPrefix(lines[i])) == 0;
            visit(context, text.substr(0, space).c_str(), text.c_str() + space + 1, isDefault, row.format != nullptr);
        }
    }
}
