// A job start held in its secure access dialog, for the tests of what other
// jobs of the process do meanwhile.
#pragma once

#include "hostglue.h"
#include "printer.h"
#include "scripted_user.h"

#include <string>
#include <thread>

// A job start on a thread of its own, held in its dialog by a scripted user
// whose answer line holds it ("...: hold, ..."), until Release. Waits
// (bounded) until the dialog is held; the user stays installed until then.
class HeldJobStart {
public:
    HeldJobStart(const WString& driver, const std::string& answer);
    ~HeldJobStart();  // releases, and closes or aborts the job
    bool Holding() { return user_.Holding(); }
    HANDLE Release();  // lets the dialog go on; the job start's handle

private:
    ScriptedUser user_;
    TestPrinter printer_;
    HANDLE handle_ = nullptr;
    std::thread thread_;
};
