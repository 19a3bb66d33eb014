// Logging stand-ins for the option store, validation flow and ticket writer; record helpers the tests share.
#pragma once

#include "hostglue.h"
#include "umpd.h"

#include <cstring>
#include <functional>
#include <string>

struct FakeSeams {
    std::string log;
    _OEM_PRIVDEVMODE toLoad;  // what the load gives
    StoredState loadState = STORED_VALID;
    DWORD loadSize = 0;       // the value's size the load reports
    std::function<int(IdentOptions*)> validate;
    std::string ticket;       // what the ticket writer writes

    void Reset();
};

extern FakeSeams gFakes;

// The defaults over zeroed reserved bytes.
inline _OEM_PRIVDEVMODE Defaults()
{
    _OEM_PRIVDEVMODE d;
    memset(&d, 0, sizeof d);
    SetDefaultPralixOptions(&d);
    return d;
}

// A record's text field set to ASCII text.
inline void SetText(WCHAR* field, const std::string& text)
{
    for (char c : text) *field++ = static_cast<WCHAR>(c);
    *field = 0;
}

inline void Replace(std::string& s, const std::string& from, const std::string& to)
{
    for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
        s.replace(at, from.size(), to);
}
