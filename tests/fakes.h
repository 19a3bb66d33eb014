// Stand-ins for the option store, the validation flow and the ticket writer,
// linked into the unit tests in their place: each call adds a line to the log.
#pragma once

#include "hostglue.h"
#include "umpd.h"

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
