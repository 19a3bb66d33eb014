// Window manager: message boxes go to whoever plays the user.
#include <windows.h>
#include <standin.h>

#include <cstdio>
#include <mutex>
#include <string>

namespace {

std::mutex gUserLock;
StandinMessageBoxFn gAnswer = nullptr;
void* gContext = nullptr;

std::string Utf8(LPCWSTR w)
{
    if (!w) return std::string();
    char buf[2048];
    int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, buf, sizeof buf, nullptr, nullptr);
    return n > 0 ? std::string(buf) : std::string("?");
}

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
    if (answer) return answer(context, hWnd, text, caption, type);
    fprintf(stderr, "[%s] %s\n", Utf8(caption ? caption : u"Error").c_str(), Utf8(text).c_str());
    return IDOK;
}

}  // extern "C"
