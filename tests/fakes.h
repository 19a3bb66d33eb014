// Stand-ins for the option store, the validation flow and the ticket writer,
// linked into the unit tests in their place so a test sees every call.
#pragma once

#include "hostglue.h"
#include "umpd.h"

#include <functional>
#include <string>

struct FakeSeams {
    int loads = 0, stores = 0, validations = 0, tickets = 0;
    WString loadName;         // the driver name of the last load
    _OEM_PRIVDEVMODE toLoad;  // what the load gives
    StoredState loadState = STORED_VALID;
    DWORD loadSize = 0;       // the value's size the load reports
    _OEM_PRIVDEVMODE stored;  // what the last store was given
    IdentOptions validated;   // what the flow was given
    std::function<int(IdentOptions*)> validate;
    std::string ticket;       // what the ticket writer writes, as one line
    bool ticketTraceAsked = false;  // whether the ticket writer was to trace a bad value

    void Reset();
};

extern FakeSeams gFakes;
