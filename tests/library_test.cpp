// The loader, resources and spooler calls the shipped library relies on: the stand-in must agree with Windows.
#include "printer.h"

#ifndef _WIN32
#include "loopback_server.h"
#endif

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

namespace {

// One attach however often a module is loaded, the detach at the last free; a refused attach
// fails the load and gets no detach (the C runtime's start-up code passes none).
TEST(Loader, AttachOnceDetachAtTheLastFreeAndRefusal)
{
    long log[4] = {};
    char address[32];
    snprintf(address, sizeof address, "%llx", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(log)));
    SetEnvironmentVariableA("ENTRY_FIXTURE_LOG", address);
    const WString fixture = ExecutableDirectory() + Wide(ENTRY_FIXTURE_NAME);
    HMODULE module = LoadLibraryW(fixture.c_str());
    ASSERT_NE(module, nullptr) << GetLastError();
    EXPECT_EQ(LoadLibraryW(fixture.c_str()), module);
    EXPECT_TRUE(FreeLibrary(module));
    EXPECT_EQ(log[DLL_PROCESS_DETACH], 0);
    EXPECT_TRUE(FreeLibrary(module));
    SetEnvironmentVariableA("ENTRY_FIXTURE_REFUSE", "1");
    EXPECT_EQ(LoadLibraryW(fixture.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DLL_INIT_FAILED));
    EXPECT_EQ(log[DLL_PROCESS_ATTACH], 2);
    EXPECT_EQ(log[DLL_PROCESS_DETACH], 1);
    SetEnvironmentVariableA("ENTRY_FIXTURE_LOG", nullptr);
    SetEnvironmentVariableA("ENTRY_FIXTURE_REFUSE", nullptr);
}

// Into `size` units and a sentinel: at most size - 1 and the terminator; an absent id gives an empty
// string in a block with entries, else (or with no room for a character) the buffer is left alone.
TEST(Resources, StringsAndNobodyToShowADialogTo)
{
    HMODULE lib = LoadLibraryW((ExecutableDirectory() + Wide(UMPD_LIBRARY_NAME)).c_str());
    ASSERT_NE(lib, nullptr) << GetLastError();
    const WCHAR SENTINEL = 0x2A2A;
    struct Case { UINT id; int size, copied; const char* text; };
    for (const Case& c : {Case{103, 64, 23, "Password\nAccount Number"}, Case{106, 9, 8, "Optional"},
                          Case{106, 8, 7, "Optiona"}, Case{106, 1, 0, "(untouched)"}, Case{15, 16, 0, ""},
                          Case{122, 16, 0, ""}, Case{32, 16, 0, "(untouched)"}, Case{1000, 16, 0, "(untouched)"}}) {
        SCOPED_TRACE(std::to_string(c.id) + " into " + std::to_string(c.size));
        std::vector<WCHAR> buf(static_cast<size_t>(c.size) + 1, SENTINEL);
        EXPECT_EQ(LoadStringW(lib, c.id, buf.data(), c.size), c.copied);
        EXPECT_EQ(buf[static_cast<size_t>(c.size)], SENTINEL) << "wrote past the buffer";
        EXPECT_EQ(buf[0] == SENTINEL ? Wide("(untouched)") : WString(buf.data()), Wide(c.text));
    }
#ifndef _WIN32
    // The stand-in without a user: as without a desktop.
    DLGPROC none = [](HWND, UINT, WPARAM, LPARAM) -> INT_PTR { return 0; };
    EXPECT_EQ(DialogBoxParamW(lib, MAKEINTRESOURCEW(118), nullptr, none, 0), -1);
    EXPECT_EQ(MessageBoxW(nullptr, TEXT("text"), TEXT("caption"), MB_OK), 0);
#endif
    FreeLibrary(lib);
}

// Level-1 job and driver queries: the size, then buffers of size - 1, size and size + 1 with sentinels.
TEST(Spooler, JobAndDriverQueriesFollowTheSizeProtocol)
{
    TestPrinter printer;
    DWORD id = printer.StartJob(TEXT("Report.ps"));
    HANDLE h = printer.handle();
    struct Query { const char* what; std::function<BOOL(BYTE*, DWORD, DWORD*)> call; const WCHAR* (*name)(BYTE*);
                   WString expected; };
    const Query queries[] = {
        {"GetJobW", [&](BYTE* b, DWORD cb, DWORD* n) { return GetJobW(h, id, 1, b, cb, n); },
         [](BYTE* b) -> const WCHAR* { return reinterpret_cast<JOB_INFO_1W*>(b)->pDocument; }, TEXT("Report.ps")},
        {"GetPrinterDriverW", [&](BYTE* b, DWORD cb, DWORD* n) { return GetPrinterDriverW(h, nullptr, 1, b, cb, n); },
         [](BYTE* b) -> const WCHAR* { return reinterpret_cast<DRIVER_INFO_1W*>(b)->pName; }, TEXT("Pralix PS")},
    };
    const BYTE SENTINEL = 0xA5;
    for (const Query& q : queries) {
        SCOPED_TRACE(q.what);
        DWORD needed = 0;
        EXPECT_FALSE(q.call(nullptr, 0, &needed));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        ASSERT_GT(needed, 0u);
        for (DWORD size : {needed - 1, needed, needed + 1}) {
            SCOPED_TRACE(size);
            std::vector<BYTE> buf(size + 1, SENTINEL);
            DWORD reported = 0;
            BOOL ok = q.call(buf.data(), size, &reported);
            EXPECT_EQ(ok, size >= needed);
            EXPECT_EQ(reported, needed);
            EXPECT_EQ(buf[size], SENTINEL) << "wrote past the buffer";
            const WCHAR* name = ok ? q.name(buf.data()) : nullptr;
            EXPECT_TRUE(ok ? name && WString(name) == q.expected : GetLastError() == ERROR_INSUFFICIENT_BUFFER);
        }
    }
    std::vector<BYTE> buf(4096);
    DWORD needed = 0;
    EXPECT_FALSE(GetJobW(h, id + 4711, 1, buf.data(), 4096, &needed));  // no such job
    printer.EndJobAndRead();
    EXPECT_FALSE(WritePrinter(h, buf.data(), 4, &needed));  // no document open
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SPL_NO_STARTDOC));
}

// A job reaches the port at its end, or when its handle closes with it open; an aborted one never
// (checked before the close: Wine delivers an aborted job at ClosePrinter, Windows and the stand-in delete it).
TEST(Spooler, JobsReachThePortWhenTheyEnd)
{
    TestPrinter printer;
    enum Ending { END, ABORT, CLOSE };
    struct Case { const char* what; Ending ending; };
    for (Case c : {Case{"first job", END}, Case{"2nd", END}, Case{"aborted", ABORT}, Case{"closed early", CLOSE}}) {
        SCOPED_TRACE(c.what);
        HANDLE h = printer.handle();
        if (c.ending == CLOSE) {
            ASSERT_TRUE(OpenPrinterW(const_cast<WCHAR*>(printer.name().c_str()), &h, nullptr));
        }
        ASSERT_NE(printer.StartJob(Wide(c.what).c_str(), h), 0u);
        DWORD written = 0, size = static_cast<DWORD>(strlen(c.what));
        ASSERT_TRUE(WritePrinter(h, const_cast<char*>(c.what), size, &written));
        EXPECT_EQ(written, size);
        EXPECT_TRUE(c.ending == END ? EndDocPrinter(h) : c.ending == ABORT ? AbortPrinter(h) : ClosePrinter(h));
        EXPECT_EQ(printer.OutputExists() ? printer.Output() : "(none)", c.ending == ABORT ? "(none)" : c.what);
        printer.RemoveOutput();
    }
}

#ifndef _WIN32
// The stand-in's raw TCP port: the connection opens at a job's first write, each write is on the
// wire before the job ends; a port that refuses or a connection that drops fails the write and the end.
TEST(StandinSpooler, RawTcpPortStreamsAndReportsFailures)
{
    ServerScript script;  // takes what comes until the client pauses, then closes
    LoopbackServer server(script);
    struct Case { const char* what; std::string port; bool aborted; int writes; bool failed; };
    for (const Case& c : {Case{"aborted before a write", server.Port(), true, 0, false},
                          Case{"ended before a write", server.Port(), false, 0, false},
                          Case{"streamed, then dropped", server.Port(), false, 1000, true},
                          Case{"refused", ClosedPort(), false, 1, true}}) {
        SCOPED_TRACE(c.what);
        TestPrinter printer(TEXT("Pralix PS"), Wide("127.0.0.1:" + c.port));
        printer.StartJob(TEXT("net.ps"));
        if (c.aborted) {
            EXPECT_TRUE(AbortPrinter(printer.handle()));
            continue;
        }
        std::string chunk(65536, 'x');
        DWORD written = 0;
        bool failed = false;
        for (int i = 0; i < c.writes && !failed; i++) {  // at most 64 MiB
            failed = !WritePrinter(printer.handle(), &chunk[0], static_cast<DWORD>(chunk.size()), &written);
            if (i == 0 && !failed) {
                EXPECT_EQ(server.Received(), chunk) << "the first write waited for the job's end";
            }
        }
        EXPECT_EQ(failed, c.failed);
        EXPECT_EQ(EndDocPrinter(printer.handle()), !c.failed);
    }
}
#endif

}  // namespace
