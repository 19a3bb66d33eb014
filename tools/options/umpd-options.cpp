// umpd-options: shows and edits a driver's stored job options, as the
// driver's property pages would.
#include "hostglue.h"
#include "umpd.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

enum ExitCode { DONE = 0, REFUSED = 1, STORE_FAILED = 3 };

const char USAGE[] =
    "usage: umpd-options [--driver NAME] [--registry DIR] show | reset | set FIELD=VALUE... |\n"
    "                    export FILE | import FILE\n"
    "       umpd-options --help | --version\n";
const char VERSION[] = "umpd-options " UMPD_VERSION "\n";

enum Kind { INT16, INT32, TEXT, SECRET };

struct Field {
    const char* name;
    size_t offset;
    size_t size;  // bytes
    Kind kind;
};

#define NUMBER(name) {#name, offsetof(_OEM_PRIVDEVMODE, name), sizeof(_OEM_PRIVDEVMODE::name), \
                      sizeof(_OEM_PRIVDEVMODE::name) == 2 ? INT16 : INT32}
#define WIDE(name, kind) {#name, offsetof(_OEM_PRIVDEVMODE, name), sizeof(_OEM_PRIVDEVMODE::name), kind}

// Every field in record order; the reserved areas are left out.
const Field FIELDS[] = {
    NUMBER(initialized), NUMBER(spoolOptions), NUMBER(rasterOption), NUMBER(rasterOptionUI), NUMBER(colorModel),
    NUMBER(printerMode), NUMBER(enableRGB), NUMBER(bRenderingStyle), NUMBER(bRGBStandard), NUMBER(RGBRendering),
    NUMBER(RGBGamma), NUMBER(RGBWhitepoint), NUMBER(pressSimulation), NUMBER(enableCMYK), NUMBER(pressProfile),
    NUMBER(spotColor), NUMBER(bPreserveGCR), NUMBER(RGBProfile), NUMBER(separations), NUMBER(progressives),
    NUMBER(autoGray), NUMBER(controlStrip), NUMBER(saveAsTIFF), NUMBER(tiff_dpi), NUMBER(edgeSmoothing),
    NUMBER(blackOverPrints), NUMBER(alternateBlack), NUMBER(autoTED), NUMBER(pralixProof), NUMBER(invertImage),
    NUMBER(imageEnhancement), NUMBER(mirrorImage), NUMBER(bPrintOutputSlug), NUMBER(productionPrinting),
    NUMBER(outputBin), NUMBER(bypassOption), NUMBER(duplex), NUMBER(rotatePages), NUMBER(sorter),
    NUMBER(staplePosition), NUMBER(staple), NUMBER(faceup), NUMBER(collate), NUMBER(reversePrint),
    NUMBER(productionMode), NUMBER(bImposition), NUMBER(sImpositionType), NUMBER(sSectionSize),
    NUMBER(sOutputPaperSize), NUMBER(bCropMarks), NUMBER(bScaleToFit), NUMBER(bSecurePrintInvalid),
    NUMBER(bInitialConnection), WIDE(ipAddress, TEXT), WIDE(docOwner, TEXT), WIDE(password, SECRET),
    WIDE(docComment, TEXT), WIDE(accountNo, TEXT), WIDE(securePassword, SECRET), NUMBER(bUseSecurePassword),
    NUMBER(bUseSecureAccessPassword), WIDE(printerName, TEXT)};

BYTE* At(_OEM_PRIVDEVMODE* r, const Field& f) { return reinterpret_cast<BYTE*>(r) + f.offset; }

std::string Show(_OEM_PRIVDEVMODE* r, const Field& f)
{
    if (f.kind == INT16 || f.kind == INT32) {
        int32_t v = 0;
        int16_t v16 = 0;
        if (f.kind == INT16) memcpy(&v16, At(r, f), 2), v = v16;
        else memcpy(&v, At(r, f), 4);
        return std::to_string(v);
    }
    const WCHAR* text = reinterpret_cast<const WCHAR*>(At(r, f));
    size_t units = f.size / sizeof(WCHAR), n = 0;
    while (n < units && text[n]) n++;
    if (f.kind == SECRET) return n ? "***" : "";
    return HostUtf8(WString(text, n));
}

// Sets one field from text. False (with a message) when the value does not fit.
bool Assign(_OEM_PRIVDEVMODE* r, const Field& f, const std::string& value)
{
    if (f.kind == TEXT || f.kind == SECRET) {
        WString w = HostWiden(value.c_str());
        size_t units = f.size / sizeof(WCHAR);
        if (w.size() >= units) {
            fprintf(stderr, "umpd-options: %s takes at most %zu characters\n", f.name, units - 1);
            return false;
        }
        memcpy(At(r, f), w.c_str(), (w.size() + 1) * sizeof(WCHAR));
        return true;
    }
    char* end = nullptr;
    errno = 0;
    long v = strtol(value.c_str(), &end, 10);
    long lo = f.kind == INT16 ? SHRT_MIN : INT32_MIN, hi = f.kind == INT16 ? SHRT_MAX : INT32_MAX;
    if (value.empty() || *end || errno || v < lo || v > hi) {
        fprintf(stderr, "umpd-options: %s takes a whole number from %ld to %ld, not '%s'\n", f.name, lo, hi,
                value.c_str());
        return false;
    }
    if (f.kind == INT16) {
        int16_t v16 = static_cast<int16_t>(v);
        memcpy(At(r, f), &v16, 2);
    } else {
        int32_t v32 = static_cast<int32_t>(v);
        memcpy(At(r, f), &v32, 4);
    }
    return true;
}

const Field* FindField(const std::string& name)
{
    for (const Field& f : FIELDS)
        if (name == f.name) return &f;
    return nullptr;
}

int Store(_OEM_PRIVDEVMODE* r, const WString& driver)
{
    DWORD rc = SetUserInfo(r, nullptr, driver.c_str());
    if (rc == ERROR_SUCCESS) return DONE;
    fprintf(stderr, "umpd-options: storing the options failed (error %lu)\n", static_cast<unsigned long>(rc));
    return STORE_FAILED;
}

int SetFields(_OEM_PRIVDEVMODE* r, const std::vector<WString>& assignments, const WString& driver)
{
    if (assignments.empty()) {
        fprintf(stderr, "umpd-options: set needs FIELD=VALUE\n%s", USAGE);
        return REFUSED;
    }
    for (const WString& a : assignments) {
        std::string text = HostUtf8(a);
        size_t eq = text.find('=');
        const Field* f = eq == std::string::npos ? nullptr : FindField(text.substr(0, eq));
        if (!f) {
            fprintf(stderr, "umpd-options: '%s' names no field (see 'show')\n", text.c_str());
            return REFUSED;
        }
        if (!Assign(r, *f, text.substr(eq + 1))) return REFUSED;
    }
    if (r->initialized != OPTIONS_VALID) {
        fprintf(stderr, "umpd-options: initialized must stay %d\n", OPTIONS_VALID);
        return REFUSED;
    }
    return Store(r, driver);
}

int Export(_OEM_PRIVDEVMODE* r, const WString& path)
{
    FILE* f = HostOpenFile(path, "wb");
    bool ok = f && fwrite(r, 1, sizeof *r, f) == sizeof *r;
    if (f) ok = fclose(f) == 0 && ok;
    if (ok) return DONE;
    fprintf(stderr, "umpd-options: cannot write %s\n", HostUtf8(path).c_str());
    return REFUSED;
}

// A record file is exactly one record whose first two bytes hold the mark.
int Import(const WString& path, const WString& driver)
{
    _OEM_PRIVDEVMODE r;
    FILE* f = HostOpenFile(path, "rb");
    size_t n = f ? fread(&r, 1, sizeof r, f) : 0;
    bool extra = f && fgetc(f) != EOF;
    if (f) fclose(f);
    if (!f || n != sizeof r || extra || r.initialized != OPTIONS_VALID) {
        fprintf(stderr, "umpd-options: %s is not a stored options record (%zu bytes, mark 12345 first)\n",
                HostUtf8(path).c_str(), sizeof r);
        return REFUSED;
    }
    return Store(&r, driver);
}

}  // namespace

int HostMain(const std::vector<WString>& args)
{
    WString driver = TEXT("Pralix PS");
    size_t i = 1;
    for (; i + 1 < args.size() && (args[i] == TEXT("--driver") || args[i] == TEXT("--registry")); i += 2) {
        if (args[i] == TEXT("--driver")) {
            driver = args[i + 1];
        } else if (!HostUseRegistryDirectory(args[i + 1])) {
            fprintf(stderr, "umpd-options: --registry is for the Linux build; Windows has its own registry\n");
            return REFUSED;
        }
    }
    std::string command = i < args.size() ? HostUtf8(args[i]) : "";
    std::vector<WString> rest(args.begin() + static_cast<long>(i < args.size() ? i + 1 : i), args.end());
    if (command == "--help" || command == "--version") {
        fputs(command == "--help" ? USAGE : VERSION, stdout);
        return DONE;
    }
    _OEM_PRIVDEVMODE r;
    GetUserInfo(&r, nullptr, driver.c_str());
    if (command == "show" && rest.empty()) {
        for (const Field& f : FIELDS) printf("%s=%s\n", f.name, Show(&r, f).c_str());
        return DONE;
    }
    if (command == "reset" && rest.empty()) {
        memset(&r, 0, sizeof r);
        SetDefaultPralixOptions(&r);
        return Store(&r, driver);
    }
    if (command == "set") return SetFields(&r, rest, driver);
    if (command == "export" && rest.size() == 1) return Export(&r, rest[0]);
    if (command == "import" && rest.size() == 1) return Import(rest[0], driver);
    fprintf(stderr, "%s", USAGE);
    return REFUSED;
}
