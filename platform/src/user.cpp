// Window manager: message boxes go to whoever plays the user.
#include <windows.h>
#include <standin.h>

#include <mutex>

namespace {

std::mutex gUserLock;
StandinMessageBoxFn gAnswer = nullptr;
void* gContext = nullptr;

}  // namespace

extern "C" {

void StandinSetMessageBoxUser(StandinMessageBoxFn answer, void* context)
{
    std::lock_guard<std::mutex> lock(gUserLock);
    gAnswer = answer;
    gContext = context;
}

// Modal: returns when the user has answered.
int WINAPI MessageBoxW(HWND hWnd, LPCWSTR text, LPCWSTR caption, UINT type)
{
    StandinMessageBoxFn answer;
    void* context;
    {
        std::lock_guard<std::mutex> lock(gUserLock);
        answer = gAnswer;
        context = gContext;
    }
    return answer ? answer(context, hWnd, text, caption, type) : 0;
}

}  // extern "C"
