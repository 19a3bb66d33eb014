// The stand-in's raw TCP printer ("host:port" ports), on loopback.
#include "dialog_template.h"
#include "printer.h"

#include <standin.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <future>

namespace {

const int WAIT_MS = 10000;

// Accepts one connection on 127.0.0.1 and returns what it sent until it
// closed; counts the bytes as they come. dropAfter: closes the connection
// once that many bytes came (0: never); acceptMs: how long it waits for one.
class LoopbackPrinter {
public:
    explicit LoopbackPrinter(size_t dropAfter = 0, int acceptMs = WAIT_MS) : dropAfter_(dropAfter), acceptMs_(acceptMs)
    {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        EXPECT_EQ(listen(fd_, 1), 0);
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        received_ = std::async(std::launch::async, [this] { return Receive(); });
    }
    ~LoopbackPrinter() { close(fd_); }

    WString Port() const { return Wide("127.0.0.1:" + std::to_string(port_)); }
    std::string Received() { return received_.get(); }
    // Waits (bounded) until n bytes came; false when they did not.
    bool Got(size_t n)
    {
        for (int i = 0; i < WAIT_MS / 10 && count_ < n; i++) usleep(10000);
        return count_ >= n;
    }

private:
    std::string Receive()
    {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, acceptMs_) != 1) return "(no connection)";
        int c = accept(fd_, nullptr, nullptr);
        std::string data;
        char buf[4096];
        pollfd q{c, POLLIN, 0};
        while (poll(&q, 1, WAIT_MS) == 1) {
            ssize_t n = recv(c, buf, sizeof buf, 0);
            if (n <= 0) break;
            data.append(buf, static_cast<size_t>(n));
            count_ = data.size();
            if (dropAfter_ && data.size() >= dropAfter_) break;
        }
        close(c);
        return data;
    }

    size_t dropAfter_;
    int acceptMs_;
    std::atomic<size_t> count_{0};
    int fd_ = -1;
    unsigned short port_ = 0;
    std::future<std::string> received_;
};

// A job on a TCP port streams: each write is on the wire before the job
// ends, and the end waits until the printer has read it all.
TEST(StandinSpooler, RawTcpPortStreamsEachWrite)
{
    LoopbackPrinter server;
    TestPrinter printer(TEXT("Pralix PS"), server.Port());
    printer.StartJob(TEXT("net.ps"));
    std::string job(100000, 'x');
    DWORD written = 0;
    ASSERT_TRUE(WritePrinter(printer.handle(), &job[0], static_cast<DWORD>(job.size()), &written));
    EXPECT_TRUE(server.Got(job.size())) << "the bytes waited for the job's end";
    ASSERT_TRUE(WritePrinter(printer.handle(), &job[0], 10, &written));
    EXPECT_TRUE(EndDocPrinter(printer.handle()));
    EXPECT_EQ(server.Received(), job + job.substr(0, 10));
}

std::string PortNobodyListensOn()
{
    int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(probe, reinterpret_cast<sockaddr*>(&a), sizeof a);
    getsockname(probe, reinterpret_cast<sockaddr*>(&a), &len);
    close(probe);
    return "127.0.0.1:" + std::to_string(ntohs(a.sin_port));
}

// The connection opens at the first write: a job ended or aborted before
// it opens none. A port that refuses, or a connection that drops, fails the
// write that meets it and the job's end.
TEST(StandinSpooler, RawTcpPortFailuresReachTheWriter)
{
    {
        LoopbackPrinter server(0, 300);  // the jobs below end before it looks
        TestPrinter printer(TEXT("Pralix PS"), server.Port());
        printer.StartJob(TEXT("refused.ps"));
        AbortPrinter(printer.handle());
        printer.StartJob(TEXT("empty.ps"));
        EXPECT_TRUE(EndDocPrinter(printer.handle()));
        EXPECT_EQ(server.Received(), "(no connection)");
    }
    {
        TestPrinter printer(TEXT("Pralix PS"), Wide(PortNobodyListensOn()));
        printer.StartJob(TEXT("net.ps"));
        DWORD written = 0;
        char byte = 'x';
        EXPECT_FALSE(WritePrinter(printer.handle(), &byte, 1, &written));
        EXPECT_EQ(written, 0u);
        EXPECT_FALSE(EndDocPrinter(printer.handle()));
    }
    {
        LoopbackPrinter server(1000);
        TestPrinter printer(TEXT("Pralix PS"), server.Port());
        printer.StartJob(TEXT("dropped.ps"));
        std::string chunk(65536, 'y');
        DWORD written = 0;
        bool failed = false;
        for (int i = 0; i < 1000 && !failed; i++)  // at most 64 MiB
            failed = !WritePrinter(printer.handle(), &chunk[0], static_cast<DWORD>(chunk.size()), &written);
        EXPECT_TRUE(failed) << "a dropped connection was not reported";
        EXPECT_FALSE(EndDocPrinter(printer.handle()));
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

// What a person sees of the layout: each control where the template put
// it, the dialog with its template's size; nothing for a window that is gone.
struct Placed {
    std::vector<StandinRect> controls;
    StandinRect dialog;
    HWND handle;
};

void RecordPlaces(void* context, HWND dialog)
{
    auto* placed = static_cast<Placed*>(context);
    placed->handle = dialog;
    EXPECT_TRUE(StandinWindowRect(dialog, &placed->dialog));
    EXPECT_FALSE(StandinWindowRect(dialog, nullptr));
    for (HWND c = GetWindow(dialog, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
        StandinRect r = {-1, -1, -1, -1};
        EXPECT_TRUE(StandinWindowRect(c, &r));
        placed->controls.push_back(r);
    }
}

TEST(StandinWindows, ControlsAreWhereTheTemplatePutThem)
{
    HMODULE lib = LoadLibraryW((ExecutableDirectory() + Wide(UMPD_LIBRARY_NAME)).c_str());
    ASSERT_NE(lib, nullptr);
    DialogTemplate t;
    ASSERT_TRUE(LoadDialogTemplate(lib, 119, &t));
    Placed placed = {};
    StandinSetDialogUser(RecordPlaces, &placed);
    EXPECT_EQ(DialogBoxParamW(lib, MAKEINTRESOURCEW(119), nullptr, NoProc, 0), -1);  // left open
    StandinSetDialogUser(nullptr, nullptr);
    FreeLibrary(lib);
    EXPECT_EQ(placed.dialog.cx, t.cx);
    EXPECT_EQ(placed.dialog.cy, t.cy);
    ASSERT_EQ(placed.controls.size(), t.items.size());
    for (size_t i = 0; i < t.items.size(); i++) {
        const DialogItem& item = t.items[i];
        const StandinRect& r = placed.controls[i];
        EXPECT_TRUE(r.x == item.x && r.y == item.y && r.cx == item.cx && r.cy == item.cy)
            << "control " << item.id << ": " << r.x << "," << r.y << " " << r.cx << "x" << r.cy;
    }
    StandinRect gone = {};
    EXPECT_FALSE(StandinWindowRect(placed.handle, &gone));
}

}  // namespace
