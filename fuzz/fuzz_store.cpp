// fuzz_store: reads the stored "User Info" value of a driver (the input, any
// size, any bytes), writes it to the registry as the option store keeps it,
// and has AddPralixOptions write the job ticket from it onto a printer whose
// port is a file. Checks that every line of the block ends with CR LF, holds
// no other CR or LF and fits 255 bytes; that each is the guard line (first,
// and only when a SecurePassword line follows) or a "%%PRALIX: " line; that
// the identity lines appear once each and the passwords decode to the stored
// ones; and that the store afterwards holds the record that was loaded with
// its comment's line breaks made spaces and both passwords emptied, or, when
// the value was no record, the value itself untouched.
#include "charconversions.h"
#include "fuzz_printer.h"
#include "printserver_frames.h"
#include "umpd.h"

#include <standin.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char GUARD_LINE[] = "statusdict /Pralix_feat_dict known not { currentfile flushfile }if ";
const char OPTION[] = "%%PRALIX: ";
const size_t LINE_MAX = 255;  // with its CR LF
const char* const IDENTITY_KEYS[] = {"DocOwner ", "Password ", "AccountNumber ", "DocComment "};

FuzzPrinter gPrinter;
WString gDriver, gKeyPath;
HKEY gKey = nullptr;

bool StartsWith(const std::string& s, const std::string& prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

void DeleteKey() { RegDeleteKeyW(HKEY_LOCAL_MACHINE, gKeyPath.c_str()); }

void WriteValue(const uint8_t* data, size_t size)
{
    if (RegSetValueExW(gKey, TEXT("User Info"), 0, REG_BINARY, data, static_cast<DWORD>(size)) != ERROR_SUCCESS)
        Fail("the value of %zu bytes could not be stored", size);
}

std::vector<BYTE> ReadValue()
{
    DWORD size = 0, type = 0;
    RegQueryValueExW(gKey, TEXT("User Info"), nullptr, &type, nullptr, &size);
    std::vector<BYTE> value(size + 1);
    size = static_cast<DWORD>(value.size());
    if (RegQueryValueExW(gKey, TEXT("User Info"), nullptr, &type, value.data(), &size) != ERROR_SUCCESS)
        Fail("the stored value cannot be read back");
    value.resize(size);
    return value;
}

// The record the ticket writer loads, as the store defines it.
_OEM_PRIVDEVMODE LoadedRecord(const uint8_t* data, size_t size)
{
    _OEM_PRIVDEVMODE o;
    memset(&o, 0, sizeof o);
    if (size == sizeof o) memcpy(&o, data, sizeof o);
    if (size != sizeof o || o.initialized != OPTIONS_VALID) {
        memset(&o, 0, sizeof o);
        SetDefaultPralixOptions(&o);
    }
    return o;
}

// What the store must hold after the ticket: the record loaded, its comment's
// line breaks as spaces, both passwords emptied.
_OEM_PRIVDEVMODE ExpectedStore(_OEM_PRIVDEVMODE o)
{
    for (size_t i = 0; i < sizeof o.docComment / sizeof(WCHAR) && o.docComment[i]; i++)
        if (o.docComment[i] == '\r' || o.docComment[i] == '\n') o.docComment[i] = ' ';
    o.password[0] = o.securePassword[0] = 0;
    return o;
}

// The password as the ticket carries it, before its encoding.
template <size_t N>
std::string NarrowPassword(const WCHAR (&field)[N])
{
    char text[128];
    tchar2char(text, field);
    return std::string(text, strnlen(text, 63));
}

// in: the block; out: its lines without CR LF. Aborts on a malformed line.
std::vector<std::string> SplitBlock(const std::string& block)
{
    std::vector<std::string> lines;
    for (size_t at = 0; at < block.size();) {
        size_t lf = block.find('\n', at);
        if (lf == std::string::npos) Fail("the block's last line (at %zu) has no LF", at);
        if (lf == at || block[lf - 1] != '\r') Fail("line %zu ends with LF without CR", lines.size());
        std::string line = block.substr(at, lf - 1 - at);
        if (line.find_first_of("\r\n") != std::string::npos) Fail("line %zu holds a CR or LF", lines.size());
        if (line.size() + 2 > LINE_MAX) Fail("line %zu has %zu bytes with its CR LF", lines.size(), line.size() + 2);
        lines.push_back(line);
        at = lf + 1;
    }
    return lines;
}

void CheckPassword(const std::string& line, const std::string& key, const std::string& stored)
{
    std::string digits = line.substr(strlen(OPTION) + key.size());
    std::string decoded = DecodePassword(digits);
    if (digits.size() % 2 != 0 || decoded != stored)
        Fail("the %sline carries \"%s\", which does not decode to the stored password", key.c_str(), digits.c_str());
}

void CheckBlock(const std::string& block, const _OEM_PRIVDEVMODE& loaded)
{
    std::vector<std::string> lines = SplitBlock(block);
    if (lines.empty()) Fail("no ticket was written");
    bool guard = lines[0] == GUARD_LINE;
    int secure = 0, identity[4] = {};
    for (size_t i = guard ? 1 : 0; i < lines.size(); i++) {
        const std::string& line = lines[i];
        if (!StartsWith(line, OPTION)) Fail("line %zu is neither the guard line nor an option: %s", i, line.c_str());
        for (int k = 0; k < 4; k++) identity[k] += StartsWith(line, OPTION + std::string(IDENTITY_KEYS[k]));
        if (StartsWith(line, std::string(OPTION) + "Password ")) CheckPassword(line, "Password ", NarrowPassword(loaded.password));
        if (StartsWith(line, std::string(OPTION) + "SecurePassword ")) {
            secure++;
            CheckPassword(line, "SecurePassword ", NarrowPassword(loaded.securePassword));
        }
    }
    for (int k = 0; k < 4; k++)
        if (identity[k] != 1) Fail("%d %slines", identity[k], IDENTITY_KEYS[k]);
    if (secure > 1 || guard != (secure == 1)) Fail("guard line %s, %d SecurePassword lines", guard ? "present" : "absent", secure);
}

void CheckStore(const _OEM_PRIVDEVMODE& loaded, const uint8_t* data, size_t size)
{
    _OEM_PRIVDEVMODE expected = ExpectedStore(loaded);
    std::vector<BYTE> stored = ReadValue();
    int16_t mark = 0;
    if (size >= sizeof mark) memcpy(&mark, data, sizeof mark);
    bool isRecord = size == sizeof expected && mark == OPTIONS_VALID;
    if (!isRecord) {
        if (stored != std::vector<BYTE>(data, data + size)) Fail("a value that is no record was written over");
        return;
    }
    if (stored.size() != sizeof expected) Fail("the store holds %zu bytes after the ticket", stored.size());
    const BYTE* e = reinterpret_cast<const BYTE*>(&expected);
    for (size_t i = 0; i < sizeof expected; i++)
        if (stored[i] != e[i]) Fail("the store after the ticket differs from the record loaded at byte %zu", i);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    DllEntryPoint(nullptr, DLL_PROCESS_ATTACH, nullptr);  // as the loader would: the locks
    setenv("XDG_RUNTIME_DIR", "/dev/shm", 1);
    StandinSetRegistryRoot("/dev/shm/umpd-fuzz-registry");
    gDriver = HostWiden(("umpd-fuzz-" + ProcessTag()).c_str());
    gKeyPath = TEXT("SYSTEM\\Printers\\") + gDriver;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, gKeyPath.c_str(), 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr,
                        &gKey, nullptr) != ERROR_SUCCESS)
        Fail("the driver's key cannot be created");
    atexit(DeleteKey);
    gPrinter = SetUpPrinter("store", gDriver);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    WriteValue(data, size);
    StartFuzzJob(gPrinter);
    if (!AddPralixOptions(gPrinter.handle)) Fail("a line of the ticket did not reach the spooler");
    std::string block = EndFuzzJob(gPrinter);
    _OEM_PRIVDEVMODE loaded = LoadedRecord(data, size);
    CheckBlock(block, loaded);
    CheckStore(loaded, data, size);
    return 0;
}
