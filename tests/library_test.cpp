// The shipped library, loaded by the platform's loader and driven through
// its exported hooks, as the spooler does.
#include "printer.h"
#include "scripted_user.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace {

typedef HANDLE(WINAPI* StartDocFn)(HANDLE, DWORD);
typedef BOOL(WINAPI* WritePrinterFn)(HANDLE, LPVOID, DWORD, LPDWORD);
typedef void(WINAPI* DriverFn)(HANDLE);

WString LibraryPath(const char* name) { return ExecutableDirectory() + Wide(name); }

class LibraryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        lib_ = LoadLibraryW(LibraryPath(UMPD_LIBRARY_NAME).c_str());
        ASSERT_NE(lib_, nullptr) << "LoadLibraryW failed: " << GetLastError();
        startDoc_ = GetProc<StartDocFn>(lib_, "DrvSplStartDoc");
        write_ = GetProc<WritePrinterFn>(lib_, "DrvSplWritePrinter");
        endDoc_ = GetProc<DriverFn>(lib_, "DrvSplEndDoc");
        close_ = GetProc<DriverFn>(lib_, "DrvSplClose");
        abort_ = GetProc<DriverFn>(lib_, "DrvSplAbort");
        ASSERT_TRUE(startDoc_ && write_ && endDoc_ && close_ && abort_);
    }
    void TearDown() override
    {
        if (lib_) { EXPECT_TRUE(FreeLibrary(lib_)); }
    }

    HMODULE lib_ = nullptr;
    StartDocFn startDoc_ = nullptr;
    WritePrinterFn write_ = nullptr;
    DriverFn endDoc_ = nullptr, close_ = nullptr, abort_ = nullptr;
    TestPrinter printer_;
};

// Jobs printed through the library, its trace lines and the test page are
// checked end to end by the host test (umpd_spool_host).

TEST_F(LibraryTest, AbortShowsTheNotice)
{
    ScriptedUser user({}, nullptr);
    InstallUser(&user);
    // The test page: its start asks no print server.
    HANDLE h = startDoc_(printer_.handle(), printer_.StartJob(TEXT("Test Page")));
    ASSERT_NE(h, nullptr);
    abort_(h);
    UninstallUser();
    close_(h);
    AbortPrinter(printer_.handle());
    auto seen = user.Messages();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].caption, "Abort");
    EXPECT_EQ(seen[0].text, "Printing Aborted...");
}

// The loader's side, seen from a module that counts its notifications.
class LoaderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char address[32];
        snprintf(address, sizeof address, "%llx", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(log_)));
        SetEnvironmentVariableA("ENTRY_FIXTURE_LOG", address);
    }
    void TearDown() override
    {
        SetEnvironmentVariableA("ENTRY_FIXTURE_LOG", nullptr);
        SetEnvironmentVariableA("ENTRY_FIXTURE_REFUSE", nullptr);
    }
    long log_[4] = {};
    WString fixture_ = LibraryPath(ENTRY_FIXTURE_NAME);
};

TEST_F(LoaderTest, AttachOnceAndDetachAtTheLastFree)
{
    HMODULE first = LoadLibraryW(fixture_.c_str());
    ASSERT_NE(first, nullptr) << GetLastError();
    HMODULE second = LoadLibraryW(fixture_.c_str());
    EXPECT_EQ(second, first);
    EXPECT_EQ(log_[DLL_PROCESS_ATTACH], 1);
    EXPECT_TRUE(FreeLibrary(second));
    EXPECT_EQ(log_[DLL_PROCESS_DETACH], 0);
    EXPECT_TRUE(FreeLibrary(first));
    EXPECT_EQ(log_[DLL_PROCESS_DETACH], 1);
}

TEST_F(LoaderTest, RefusedAttachFailsTheLoad)
{
    SetEnvironmentVariableA("ENTRY_FIXTURE_REFUSE", "1");
    EXPECT_EQ(LoadLibraryW(fixture_.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DLL_INIT_FAILED));
    EXPECT_EQ(log_[DLL_PROCESS_ATTACH], 1);
    // The C runtime's start-up code passes no detach to a module that refused
    // its attach: the module has nothing to undo.
    EXPECT_EQ(log_[DLL_PROCESS_DETACH], 0);
}

}  // namespace
