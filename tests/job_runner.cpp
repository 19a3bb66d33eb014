#include "job_runner.h"

#include "umpd.h"

HeldJobStart::HeldJobStart(const WString& driver, const std::string& answer)
    : user_({answer}, nullptr), printer_(driver)
{
    DWORD job = printer_.StartJob(TEXT("held.ps"));
    InstallUser(&user_);
    thread_ = std::thread([this, job] { handle_ = DrvSplStartDoc(printer_.handle(), job); });
    for (int i = 0; i < 1000 && !user_.Holding(); i++) Sleep(10);
}

HANDLE HeldJobStart::Release()
{
    if (thread_.joinable()) {
        user_.Release();
        thread_.join();
        UninstallUser();
    }
    return handle_;
}

HeldJobStart::~HeldJobStart()
{
    if (Release()) DrvSplClose(handle_);
    AbortPrinter(printer_.handle());
}
