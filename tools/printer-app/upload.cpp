// Two things PAPPL 1.3.1 cannot be told: how long a client may keep a
// connection without sending anything, and that a chunked upload cut before
// its last chunk is not a whole document (libcups reads such a body as
// ended: PAPPL then printed half a document as a complete job). Both are
// settled where PAPPL meets libcups. This program defines the two libcups
// functions below, which PAPPL calls; the dynamic linker finds a program's
// own definitions first, so PAPPL's calls come here. Each does what libcups'
// does, but where said.
#include "app.h"

#include <dlfcn.h>

#include <atomic>

namespace {

std::atomic<int> gClientTimeout{30};

}  // namespace

void SetClientTimeout(int seconds) { gClientTimeout = seconds; }

// A new client's connection gives up a read or a wait (the TLS handshake's
// included) after the client timeout without a byte.
extern "C" http_t* httpAcceptConnection(int fd, int blocking)
{
    using Accept = http_t* (*)(int, int);
    static const Accept libcups = reinterpret_cast<Accept>(dlsym(RTLD_NEXT, "httpAcceptConnection"));
    http_t* http = libcups ? libcups(fd, blocking) : nullptr;
    if (http) httpSetTimeout(http, gClientTimeout, nullptr, nullptr);
    return http;
}

// The end of a body that did not end (cut, or timed out) is an error, as it
// is for a body with a Content-Length: -1, not 0.
extern "C" int httpRead(http_t* http, char* buffer, int length)
{
    ssize_t n = httpRead2(http, buffer, length > 0 ? static_cast<size_t>(length) : 0);
    if (n == 0 && length > 0 && httpGetState(http) == HTTP_STATE_POST_RECV) return -1;
    return static_cast<int>(n);
}
