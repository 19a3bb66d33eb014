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

#include <future>

namespace {

const int WAIT_MS = 10000;

// Accepts one connection on 127.0.0.1 and returns what it sent until it closed.
class LoopbackPrinter {
public:
    LoopbackPrinter()
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

private:
    std::string Receive()
    {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, WAIT_MS) != 1) return "(no connection)";
        int c = accept(fd_, nullptr, nullptr);
        std::string data;
        char buf[4096];
        pollfd q{c, POLLIN, 0};
        while (poll(&q, 1, WAIT_MS) == 1) {
            ssize_t n = recv(c, buf, sizeof buf, 0);
            if (n <= 0) break;
            data.append(buf, static_cast<size_t>(n));
        }
        close(c);
        return data;
    }

    int fd_ = -1;
    unsigned short port_ = 0;
    std::future<std::string> received_;
};

TEST(StandinSpooler, RawTcpPortReceivesTheJobWhenItEnds)
{
    LoopbackPrinter server;
    TestPrinter printer(TEXT("Pralix PS"), server.Port());
    printer.StartJob(TEXT("net.ps"));
    std::string job(100000, 'x');
    DWORD written = 0;
    ASSERT_TRUE(WritePrinter(printer.handle(), &job[0], static_cast<DWORD>(job.size()), &written));
    printer.EndJobAndRead();
    EXPECT_EQ(server.Received(), job);
}

TEST(StandinSpooler, UnreachableTcpPortFailsTheJobsEnd)
{
    int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(probe, reinterpret_cast<sockaddr*>(&a), sizeof a);
    getsockname(probe, reinterpret_cast<sockaddr*>(&a), &len);
    close(probe);  // a port nobody listens on
    TestPrinter printer(TEXT("Pralix PS"), Wide("127.0.0.1:" + std::to_string(ntohs(a.sin_port))));
    printer.StartJob(TEXT("net.ps"));
    EXPECT_FALSE(EndDocPrinter(printer.handle()));
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
