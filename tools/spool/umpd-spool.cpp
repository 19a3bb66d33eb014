// umpd-spool: prints a PostScript file through the hook library as the print
// spooler drives it. Standard output carries the hooks' trace lines; this
// program's own messages go to standard error.
#include "hostglue.h"
#include "printersetup.h"
#include "scripted_user.h"
#ifndef _WIN32
#include "terminal_user.h"
#endif

#include <winspool.h>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

// 3 also when the scripted user gave up on a dialog, whatever became of the job.
// 130 (as a shell tells a program ended by Ctrl-C): the person at the
// terminal pressed Ctrl-C where Esc does nothing.
enum ExitCode {
    PRINTED = 0, BAD_ARGUMENTS = 1, REFUSED = 2, SETUP_FAILED = 3, ABORTED = 4, WRITE_FAILED = 5, INTERRUPTED = 130
};

const char USAGE[] =
    "usage: umpd-spool [--driver NAME] [--document NAME] [--library PATH] [--chunk BYTES]\n"
    "                  [--output FILE|HOST:PORT] [--registry DIR] [--answers FILE] [--answer LINE]...\n"
    "                  [--interactive] [--abort] FILE\n"
    "       umpd-spool --help | --version\n"
    "A raw TCP printer (HOST:PORT, Linux) is given at most 20 s to connect and to take each write.\n";
const char VERSION[] = "umpd-spool " UMPD_VERSION "\n";

struct Options {
    WString file, driver = TEXT("Pralix PS"), document, library, output = TEXT("umpd-spool.prn");
    unsigned long chunk = 4096;
    bool abort = false;
    bool scripted = false;  // --answers or --answer given
    bool interactive = false;  // the person at the terminal answers
    std::vector<std::string> answers;
    const char* reply = nullptr;  // --help or --version: printed instead of a job
};

// The printer set up for one run, and its open job.
struct Spool {
    HANDLE added = nullptr, printer = nullptr;
    DWORD jobId = 0;
};

WString BaseName(const WString& path)
{
    size_t slash = path.find_last_of(TEXT("/\\"));
    return slash == WString::npos ? path : path.substr(slash + 1);
}

WString LibraryBesideHost() { return ExecutableDirectory() + HostWiden(UMPD_LIBRARY_NAME); }

bool ParseChunk(const WString& text, unsigned long* out)
{
    std::string s = HostUtf8(text);
    char* end = nullptr;
    unsigned long v = strtoul(s.c_str(), &end, 10);
    if (s.empty() || *end || s[0] == '-' || v == 0 || v > 16ul * 1024 * 1024) return false;
    *out = v;
    return true;
}

#ifdef _WIN32
bool InteractivePossible()
{
    fprintf(stderr, "umpd-spool: --interactive is for the Linux build; on Windows the library's dialogs are real windows\n");
    return false;
}
#else
bool InteractivePossible()
{
    std::string why;
    if (TerminalUserPossible(&why)) return true;
    fprintf(stderr, "umpd-spool: --interactive: %s\n", why.c_str());
    return false;
}

// Ctrl-C where Esc does nothing: the run ends here, with nothing printed.
void Interrupted(const std::string& caption)
{
    fflush(stdout);
    fprintf(stderr, "umpd-spool: interrupted (Ctrl-C) in \"%s\"; nothing was printed\n", caption.c_str());
    fflush(stderr);
    std::_Exit(INTERRUPTED);
}
#endif

// in: the arguments; out: the options. False (with a message) when malformed.
bool ParseArgs(const std::vector<WString>& args, Options* o)
{
    size_t fileAnswers = 0;  // the files' lines come before the --answer lines
    for (size_t i = 1; i < args.size(); i++) {
        const WString& a = args[i];
        bool hasValue = i + 1 < args.size();
        if (a == TEXT("--help") || a == TEXT("--version")) {
            o->reply = a == TEXT("--help") ? USAGE : VERSION;
            return true;
        } else if (a == TEXT("--abort")) {
            o->abort = true;
        } else if (a == TEXT("--interactive")) {
            if (!InteractivePossible()) return false;
            o->interactive = true;
        } else if (a == TEXT("--chunk") && hasValue) {
            if (!ParseChunk(args[++i], &o->chunk)) {
                fprintf(stderr, "umpd-spool: --chunk takes a byte count from 1 to 16777216\n");
                return false;
            }
        } else if (a == TEXT("--answers") && hasValue) {
            FILE* f = HostOpenFile(args[++i], "r");
            std::vector<std::string> lines;
            bool ok = ReadAnswerLines(f, &lines);
            if (f) fclose(f);
            if (!ok) {
                fprintf(stderr, "umpd-spool: cannot read the answers in %s\n", HostUtf8(args[i]).c_str());
                return false;
            }
            o->answers.insert(o->answers.begin() + static_cast<long>(fileAnswers), lines.begin(), lines.end());
            fileAnswers += lines.size();
            o->scripted = true;
        } else if (a == TEXT("--answer") && hasValue) {
            std::string line = HostUtf8(args[++i]);
            if (!line.empty() && line[0] != '#') o->answers.push_back(line);
            o->scripted = true;
        } else if (a == TEXT("--registry") && hasValue) {
            if (!HostUseRegistryDirectory(args[++i])) {
                fprintf(stderr, "umpd-spool: --registry is for the Linux build; Windows has its own registry\n");
                return false;
            }
        } else if ((a == TEXT("--driver") || a == TEXT("--document") || a == TEXT("--library") ||
                    a == TEXT("--output")) && hasValue) {
            WString* field = a == TEXT("--driver") ? &o->driver
                           : a == TEXT("--document") ? &o->document
                           : a == TEXT("--library") ? &o->library : &o->output;
            *field = args[++i];
        } else if (a.size() > 1 && a[0] == '-') {
            fprintf(stderr, "umpd-spool: unknown or incomplete option %s\n%s", HostUtf8(a).c_str(), USAGE);
            return false;
        } else if (o->file.empty()) {
            o->file = a;
        } else {
            fprintf(stderr, "umpd-spool: more than one file given\n%s", USAGE);
            return false;
        }
    }
    if (o->file.empty()) {
        fprintf(stderr, "umpd-spool: no file given\n%s", USAGE);
        return false;
    }
    if (o->interactive && o->scripted) {
        fprintf(stderr, "umpd-spool: --interactive and scripted answers exclude each other\n%s", USAGE);
        return false;
    }
    if (o->document.empty()) o->document = BaseName(o->file);
    if (o->library.empty()) o->library = LibraryBesideHost();
    return true;
}

// Sets up a printer whose driver has the given name and whose port is the
// output, and starts a job on it. False (with a message) on failure.
bool StartSpool(const Options& o, Spool* s)
{
    WString name = TEXT("umpd-spool ") + HostWiden(std::to_string(GetCurrentProcessId()).c_str());
    WString document = o.document, datatype = TEXT("RAW");
    s->added = AddPrinterForDriver(name, o.driver, o.output);
    if (!s->added || !OpenPrinterW(&name[0], &s->printer, nullptr)) {
        fprintf(stderr, "umpd-spool: cannot set up the printer (error %lu)\n", static_cast<unsigned long>(GetLastError()));
        return false;
    }
    DOC_INFO_1W doc = {&document[0], nullptr, &datatype[0]};
    s->jobId = StartDocPrinterW(s->printer, 1, reinterpret_cast<LPBYTE>(&doc));
    if (!s->jobId) {
        fprintf(stderr, "umpd-spool: cannot start the job (error %lu)\n", static_cast<unsigned long>(GetLastError()));
        return false;
    }
    return true;
}

void RemoveSpool(Spool* s)
{
    if (s->printer) ClosePrinter(s->printer);
    if (s->added) {
        DeletePrinter(s->added);
        ClosePrinter(s->added);
    }
}

// Feeds the file through the hooks. Returns the exit code.
int PrintJob(const Options& o, const SpoolerHooks& hooks, FILE* in, Spool* s)
{
    HANDLE hDriver = hooks.startDoc(s->printer, s->jobId);
    if (!hDriver) {
        AbortPrinter(s->printer);
        fprintf(stderr, "umpd-spool: the job was refused at its start\n");
        return REFUSED;
    }
    std::unique_ptr<BYTE[]> buf(new BYTE[o.chunk]);
    size_t n;
    while ((n = fread(buf.get(), 1, o.chunk, in)) > 0) {
        DWORD written = 0;
        if (!hooks.writePrinter(hDriver, buf.get(), static_cast<DWORD>(n), &written)) {
            hooks.close(hDriver);
            AbortPrinter(s->printer);
            fprintf(stderr, "umpd-spool: writing to the printer failed\n");
            return WRITE_FAILED;
        }
        if (o.abort) {
            hooks.abort(hDriver);
            hooks.close(hDriver);
            AbortPrinter(s->printer);
            fprintf(stderr, "umpd-spool: the job was aborted\n");
            return ABORTED;
        }
    }
    bool readFailed = ferror(in) != 0;
    hooks.endDoc(hDriver);
    hooks.close(hDriver);
    if (readFailed) {
        AbortPrinter(s->printer);
        fprintf(stderr, "umpd-spool: reading %s failed\n", HostUtf8(o.file).c_str());
        return BAD_ARGUMENTS;
    }
    if (!EndDocPrinter(s->printer)) {
        fprintf(stderr, "umpd-spool: the spooler could not deliver the job to %s (error %lu)\n",
                HostUtf8(o.output).c_str(), static_cast<unsigned long>(GetLastError()));
        return WRITE_FAILED;
    }
    return PRINTED;
}

}  // namespace

int HostMain(const std::vector<WString>& args)
{
    Options o;
    if (!ParseArgs(args, &o)) return BAD_ARGUMENTS;
    if (o.reply) {
        fputs(o.reply, stdout);
        return PRINTED;
    }
    FILE* in = HostOpenFile(o.file, "rb");
    if (!in) {
        fprintf(stderr, "umpd-spool: cannot read %s\n", HostUtf8(o.file).c_str());
        return BAD_ARGUMENTS;
    }
    // This host's printer handles are winspool.drv's, not the spooler
    // router's that the library binds by default; a choice already made in
    // the environment stands.
    char chosen[32];
    if (GetEnvironmentVariableA("UMPD_SPOOLER_DLL", chosen, sizeof chosen) == 0)
        SetEnvironmentVariableA("UMPD_SPOOLER_DLL", "winspool.drv");
    HMODULE lib = LoadLibraryW(o.library.c_str());
    SpoolerHooks hooks = {};
    if (!lib || !LoadSpoolerHooks(lib, &hooks)) {
        fprintf(stderr, "umpd-spool: cannot load the hooks from %s (error %lu)\n", HostUtf8(o.library).c_str(),
                static_cast<unsigned long>(GetLastError()));
        fclose(in);
        if (lib) FreeLibrary(lib);
        return SETUP_FAILED;
    }
    // Whoever answers the library's dialogs and message boxes: the scripted
    // user when answers are given, the person at the terminal with
    // --interactive, else nobody (a dialog cannot be shown).
    ScriptedUser user(o.answers, stderr);
    if (o.scripted) InstallUser(&user);
#ifndef _WIN32
    std::string why;
    if (o.interactive && !InstallTerminalUser(Interrupted, &why)) {
        fprintf(stderr, "umpd-spool: --interactive: %s\n", why.c_str());
        fclose(in);
        FreeLibrary(lib);
        return SETUP_FAILED;
    }
#endif
    Spool spool;
    int rc = StartSpool(o, &spool) ? PrintJob(o, hooks, in, &spool) : SETUP_FAILED;
    if (o.scripted) UninstallUser();
#ifndef _WIN32
    if (o.interactive) UninstallTerminalUser();
#endif
    if (user.GaveUp()) {
        fprintf(stderr, "umpd-spool: the answers did not fit the dialogs shown\n");
        rc = SETUP_FAILED;
    }
    fflush(stdout);
    RemoveSpool(&spool);
    FreeLibrary(lib);
    fclose(in);
    if (rc == PRINTED) fprintf(stderr, "umpd-spool: printed %s to %s\n", HostUtf8(o.file).c_str(), HostUtf8(o.output).c_str());
    return rc;
}
