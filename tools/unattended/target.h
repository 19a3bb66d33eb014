// Where a host's jobs go: the print server named by a device URI
// pralix://HOST[:PORT], as the library's record and the raw print port take
// it.
#pragma once

#include <string>

struct Target {
    std::string host;           // as the record's address field holds it
    std::string port = "9100";  // the raw print port
};

enum TargetProblem {
    TARGET_OK,
    TARGET_BAD,         // the URI is not one the hosts take
    TARGET_UNRESOLVED,  // a long host name that does not resolve (now)
};

// Parses the URI: HOST an IPv4 address or a host name, a name longer than
// the record's address field resolved to its IPv4 address. `problem` names
// what is wrong, never the URI itself (it may carry a password).
TargetProblem ParseDeviceUri(const std::string& uri, Target* target, std::string* problem);
