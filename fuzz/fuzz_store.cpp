// fuzz_store: stores the input as a driver's "User Info" value and has AddPralixOptions write the job ticket from it.
// Checks that every line of the block ends with CR LF, holds no other CR or LF and fits 255 bytes; that each is the
// guard line (first, and only when a SecurePassword line follows) or a "%%PRALIX: " line; that the identity lines
// appear once each and the passwords decode to the stored ones; and that the store then holds the record loaded with
// its comment's line breaks made spaces and both passwords emptied, or a value that is no record untouched.
#include "charconversions.h"
#include "fuzz_printer.h"
#include "printserver_frames.h"
#include "umpd.h"

#include <standin.h>

namespace {

const char GUARD_LINE[] = "statusdict /Pralix_feat_dict known not { currentfile flushfile }if ";
const char OPTION[] = "%%PRALIX: ";
const size_t LINE_MAX = 255;  // with its CR LF
const char* const IDENTITY_KEYS[] = {"DocOwner ", "Password ", "AccountNumber ", "DocComment "};

FuzzPrinter gPrinter;
WString gKeyPath;
HKEY gKey = nullptr;

bool StartsWith(const std::string& s, const char* prefix) { return s.compare(0, strlen(prefix), prefix) == 0; }

// An option's password, as stored before its encoding, against the digits the ticket carries.
template <size_t N>
void CheckPassword(const std::string& option, const char* key, const WCHAR (&stored)[N])
{
    char text[128];
    tchar2char(text, stored);
    std::string digits = option.substr(strlen(key));
    if (digits.size() % 2 != 0 || DecodePassword(digits) != std::string(text, strnlen(text, 63)))
        Fail("the %sline carries \"%s\", which does not decode to the stored password", key, digits.c_str());
}

void CheckBlock(const std::string& block, const _OEM_PRIVDEVMODE& loaded)
{
    if (block.empty()) Fail("no ticket was written");
    bool guard = false;
    int secure = 0, identity[4] = {};
    for (size_t at = 0, i = 0, lf; at < block.size(); at = lf + 1, i++) {
        lf = block.find('\n', at);
        if (lf == std::string::npos) Fail("the block's last line (at %zu) has no LF", at);
        if (lf == at || block[lf - 1] != '\r') Fail("line %zu ends with LF without CR", i);
        std::string line = block.substr(at, lf - 1 - at);
        if (line.find('\r') != std::string::npos) Fail("line %zu holds a CR", i);
        if (line.size() + 2 > LINE_MAX) Fail("line %zu has %zu bytes with its CR LF", i, line.size() + 2);
        if (i == 0) guard = line == GUARD_LINE;
        if (i == 0 && guard) continue;
        if (!StartsWith(line, OPTION)) Fail("line %zu is neither the guard line nor an option: %s", i, line.c_str());
        std::string option = line.substr(strlen(OPTION));
        for (int k = 0; k < 4; k++) identity[k] += StartsWith(option, IDENTITY_KEYS[k]);
        if (StartsWith(option, "Password ")) CheckPassword(option, "Password ", loaded.password);
        if (StartsWith(option, "SecurePassword ")) CheckPassword(option, "SecurePassword ", loaded.securePassword);
        secure += StartsWith(option, "SecurePassword ");
    }
    for (int k = 0; k < 4; k++)
        if (identity[k] != 1) Fail("%d %slines", identity[k], IDENTITY_KEYS[k]);
    if (secure > 1 || guard != (secure == 1)) Fail("guard line %s, %d SecurePassword lines", guard ? "present" : "absent", secure);
}

// The store after the ticket: the record loaded, its comment's line breaks as spaces, both passwords emptied.
void CheckStore(_OEM_PRIVDEVMODE expected, const std::string& value, bool isRecord)
{
    std::vector<BYTE> buffer(std::max(value.size(), sizeof expected) + 1);  // a store grown past it fails to read
    DWORD size = static_cast<DWORD>(buffer.size());
    if (RegQueryValueExW(gKey, TEXT("User Info"), nullptr, nullptr, buffer.data(), &size) != ERROR_SUCCESS)
        Fail("the stored value cannot be read back");
    std::string stored = AsText(buffer.data(), size);
    for (size_t i = 0; i < sizeof expected.docComment / sizeof(WCHAR) && expected.docComment[i]; i++)
        if (expected.docComment[i] == '\r' || expected.docComment[i] == '\n') expected.docComment[i] = ' ';
    expected.password[0] = expected.securePassword[0] = 0;
    std::string want = isRecord ? AsText(&expected, sizeof expected) : value;
    if (stored != want)
        Fail("the store of %zu bytes after the ticket differs from %s at byte %zu", stored.size(),
             isRecord ? "the record loaded" : "the value, no record", FirstDifference(stored, want));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    DllEntryPoint(nullptr, DLL_PROCESS_ATTACH, nullptr);  // as the loader would: the locks
    setenv("XDG_RUNTIME_DIR", "/dev/shm", 1);
    StandinSetRegistryRoot("/dev/shm/umpd-fuzz-registry");
    WString driver = HostWiden(("umpd-fuzz-" + ProcessTag()).c_str());
    gKeyPath = TEXT("SYSTEM\\Printers\\") + driver;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, gKeyPath.c_str(), 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr,
                        &gKey, nullptr) != ERROR_SUCCESS)
        Fail("the driver's key cannot be created");
    atexit([] { RegDeleteKeyW(HKEY_LOCAL_MACHINE, gKeyPath.c_str()); });
    gPrinter = SetUpPrinter("store", driver);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (RegSetValueExW(gKey, TEXT("User Info"), 0, REG_BINARY, data, static_cast<DWORD>(size)) != ERROR_SUCCESS)
        Fail("the value of %zu bytes could not be stored", size);
    StartFuzzJob(gPrinter);
    if (!AddPralixOptions(gPrinter.handle)) Fail("a line of the ticket did not reach the spooler");
    std::string block = EndFuzzJob(gPrinter), value = AsText(data, size);
    _OEM_PRIVDEVMODE loaded;  // what the ticket writer loads: the value when it is a record, else the defaults
    if (size == sizeof loaded) memcpy(&loaded, data, size);
    bool isRecord = size == sizeof loaded && loaded.initialized == OPTIONS_VALID;
    if (!isRecord) memset(&loaded, 0, sizeof loaded);
    if (!isRecord) SetDefaultPralixOptions(&loaded);
    CheckBlock(block, loaded);
    CheckStore(loaded, value, isRecord);
    return 0;
}
