// The stand-in's raw TCP printer ("host:port" ports) on loopback, and its
// windows without anybody to show them to.
#include "loopback_server.h"
#include "printer.h"

#include <gtest/gtest.h>

namespace {

// A job streams: the connection opens at its first write (a job ended or
// aborted before one opens none), each write is on the wire before the job
// ends. A port that refuses, or a connection that drops, fails the write that
// meets it and the job's end.
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

INT_PTR NoProc(HWND, UINT, WPARAM, LPARAM) { return 0; }

// Nobody to show a dialog or a message box to: as without a desktop.
TEST(StandinWindows, WithoutAUserNothingCanBeShown)
{
    HMODULE lib = LoadLibraryW((ExecutableDirectory() + Wide(UMPD_LIBRARY_NAME)).c_str());
    ASSERT_NE(lib, nullptr);
    EXPECT_EQ(DialogBoxParamW(lib, MAKEINTRESOURCEW(118), nullptr, NoProc, 0), -1);
    EXPECT_EQ(MessageBoxW(nullptr, TEXT("text"), TEXT("caption"), MB_OK), 0);
    FreeLibrary(lib);
}

}  // namespace
