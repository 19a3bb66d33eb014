#include "user.h"

#include <standin.h>

#include <mutex>

struct MessageBoxUser::State {
    std::mutex lock;
    std::vector<SeenMessageBox> seen;
    long lastFlags = -1;
};

namespace {

std::string Utf8(LPCWSTR w)
{
    char buf[2048];
    int n = w ? WideCharToMultiByte(CP_UTF8, 0, w, -1, buf, sizeof buf, nullptr, nullptr) : 0;
    return n > 0 ? std::string(buf) : std::string();
}

int Answer(void* context, HWND, LPCWSTR text, LPCWSTR caption, UINT type)
{
    auto* s = static_cast<MessageBoxUser::State*>(context);
    std::lock_guard<std::mutex> lock(s->lock);
    s->seen.push_back({Utf8(text), Utf8(caption), (type & 0xF) == MB_OK});
    s->lastFlags = static_cast<long>(type);
    return IDOK;
}

}  // namespace

MessageBoxUser::MessageBoxUser() : state_(new State) { StandinSetMessageBoxUser(Answer, state_.get()); }

MessageBoxUser::~MessageBoxUser() { StandinSetMessageBoxUser(nullptr, nullptr); }

std::vector<SeenMessageBox> MessageBoxUser::Seen()
{
    std::lock_guard<std::mutex> lock(state_->lock);
    return state_->seen;
}

long MessageBoxUser::LastFlags()
{
    std::lock_guard<std::mutex> lock(state_->lock);
    return state_->lastFlags;
}
