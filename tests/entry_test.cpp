// The load entry point's answers, called as the loader calls it.
#include "umpd.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

// A handle of no loaded module: the platform refuses DisableThreadLibraryCalls
// for it, as it refuses it for a module with static thread-local storage.
HMODULE NotAModule() { return reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x10000)); }

TEST(EntryPoint, AnswersEveryNotification)
{
    ASSERT_FALSE(DisableThreadLibraryCalls(NotAModule()));
    struct Case { DWORD reason; BOOL answer; };
    for (Case c : {Case{DLL_PROCESS_ATTACH, TRUE}, Case{DLL_THREAD_ATTACH, FALSE}, Case{DLL_THREAD_DETACH, FALSE},
                   Case{DLL_PROCESS_DETACH, TRUE}, Case{4, TRUE}, Case{0xFFFFFFFF, TRUE}}) {
        EXPECT_EQ(DllEntryPoint(NotAModule(), c.reason, nullptr), c.answer) << "reason " << c.reason;
    }
    EXPECT_EQ(hInst, NotAModule());
}

}  // namespace
