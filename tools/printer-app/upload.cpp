// Three things PAPPL 1.3.1 cannot be told: how long a client may keep a
// connection without sending anything; that a chunked upload cut before its
// last chunk is not a whole document (libcups reads such a body as ended:
// PAPPL then printed half a document as a complete job); and that a job's
// upload is to be answered 401 before its document is sent, where the
// headers already tell (PAPPL answers "100 Continue" to every request that
// expects it). All are settled where PAPPL meets libcups. This program defines the two libcups
// functions below, which PAPPL calls; the dynamic linker finds a program's
// own definitions first, so PAPPL's calls come here. Each does what libcups'
// does, but where said.
#include "app.h"

#include <dlfcn.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

std::atomic<int> gClientTimeout{30};
// What this thread's reads of its client's request found: PAPPL serves a
// client's connection on a thread of its own.
thread_local bool tBodyEnded = false;      // the last read reached the body's proper end
thread_local bool tTimedOut = false;       // the client timeout passed in this read
thread_local http_t* tGivenUp = nullptr;   // a connection whose body was cut or timed out
thread_local unsigned tApplePages = 0;     // the page count of an Apple raster body's header
thread_local char tStart[12];              // the first bytes of the body (read after the request's attributes)
thread_local size_t tStarted = 0;
thread_local char tResource[256];          // the path of this thread's request
std::atomic<EarlyAnswer> gEarly{nullptr};
const long long DOCUMENT_BYTES = 64 * 1024;  // a body this large, or chunked, carries a document

// libcups asks this at the client timeout: give up.
int GiveUp(http_t*, void*)
{
    tTimedOut = true;
    return 0;
}

unsigned BigEndian32(const char* p)
{
    const auto* b = reinterpret_cast<const unsigned char*>(p);
    return (unsigned(b[0]) << 24) | (unsigned(b[1]) << 16) | (unsigned(b[2]) << 8) | b[3];
}

}  // namespace

void SetClientTimeout(int seconds) { gClientTimeout = seconds; }

bool UploadEnded() { return tBodyEnded; }

unsigned ApplePagesPromised() { return tApplePages; }

void NewRequest() { tApplePages = 0, tStarted = 0; }

void SetEarlyAnswer(EarlyAnswer answer) { gEarly = answer; }

namespace {

// Whether the request's body carries a document: chunked, or large. An IPP
// request without one (a job's or the printer's attributes) is small, and
// is never answered early.
bool CarriesDocument(http_t* http)
{
    const char* coding = httpGetField(http, HTTP_FIELD_TRANSFER_ENCODING);
    const char* length = httpGetField(http, HTTP_FIELD_CONTENT_LENGTH);
    return (coding && strcasecmp(coding, "chunked") == 0) || (length && atoll(length) > DOCUMENT_BYTES);
}

// Answers 401 with the Basic challenge, the connection to be closed: the
// client asks again with credentials, on a new one, before its document is
// sent. PAPPL's reads of this request then fail at once, and its own answer
// to that goes to a connection the client no longer reads.
void AnswerUnauthorized(http_t* http)
{
    httpClearFields(http);
    httpSetField(http, HTTP_FIELD_WWW_AUTHENTICATE, "Basic realm=\"pralix-printer-app\"");
    httpSetField(http, HTTP_FIELD_CONNECTION, "close");
    httpSetLength(http, 0);
    httpWriteResponse(http, HTTP_STATUS_UNAUTHORIZED);
    httpFlushWrite(http);
    tGivenUp = http;
    // Closed gracefully: our side first, then what the client still sends
    // (a client that did not wait for our answer) read away until it closes
    // too, a few seconds at most, so that no reset cuts the answer off.
    int fd = httpGetFd(http);
    shutdown(fd, SHUT_WR);
    char discard[16384];
    for (int waited = 0; waited < 30; waited++) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 100) < 0) break;
        if (p.revents && recv(fd, discard, sizeof discard, 0) <= 0) break;
    }
}

}  // namespace

// The request's path, for the answer from its headers.
extern "C" http_state_t httpReadRequest(http_t* http, char* resource, size_t length)
{
    using ReadRequest = http_state_t (*)(http_t*, char*, size_t);
    static const ReadRequest libcups = reinterpret_cast<ReadRequest>(dlsym(RTLD_NEXT, "httpReadRequest"));
    http_state_t state = libcups ? libcups(http, resource, length) : HTTP_STATE_ERROR;
    const char* path = resource ? strstr(resource, "://") : nullptr;
    path = path ? strchr(path + 3, '/') : resource;
    snprintf(tResource, sizeof tResource, "%s", path && state != HTTP_STATE_ERROR ? path : "");
    return state;
}

// PAPPL asks this once the headers are read, to answer "100 Continue": the
// upload of a document that the headers show will be refused is answered
// 401 instead, and nothing more of it is read.
extern "C" http_status_t httpGetExpect(http_t* http)
{
    using GetExpect = http_status_t (*)(http_t*);
    static const GetExpect libcups = reinterpret_cast<GetExpect>(dlsym(RTLD_NEXT, "httpGetExpect"));
    http_status_t expect = libcups ? libcups(http) : HTTP_STATUS_NONE;
    EarlyAnswer early = gEarly;
    if (expect != HTTP_STATUS_CONTINUE || httpGetState(http) != HTTP_STATE_POST_RECV || !early || !CarriesDocument(http) ||
        early(http, tResource) != HTTP_STATUS_UNAUTHORIZED)
        return expect;
    AnswerUnauthorized(http);
    return HTTP_STATUS_NONE;
}

// A new client's connection gives up a read or a wait (the TLS handshake's
// included) after the client timeout without a byte.
extern "C" http_t* httpAcceptConnection(int fd, int blocking)
{
    using Accept = http_t* (*)(int, int);
    static const Accept libcups = reinterpret_cast<Accept>(dlsym(RTLD_NEXT, "httpAcceptConnection"));
    http_t* http = libcups ? libcups(fd, blocking) : nullptr;
    if (http) httpSetTimeout(http, gClientTimeout, GiveUp, nullptr);
    return http;
}

// The end of a body that did not end (cut, or timed out; libcups returns 0
// for both, and for a chunked body moves on as if it had ended) is an error,
// -1, as it is for a cut body with a Content-Length; and so is every read of
// that connection after it, which would otherwise each wait the timeout
// again (PAPPL reads the rest of a cut raster page line by line).
extern "C" ssize_t httpRead2(http_t* http, char* buffer, size_t length)
{
    using Read = ssize_t (*)(http_t*, char*, size_t);
    static const Read libcups = reinterpret_cast<Read>(dlsym(RTLD_NEXT, "httpRead2"));
    if (http == tGivenUp || !libcups) return -1;
    tTimedOut = false;
    ssize_t n = libcups(http, buffer, length);
    bool cut = n < 0 || (n == 0 && length > 0 &&
                         (httpGetState(http) == HTTP_STATE_POST_RECV || httpError(http) != 0 || tTimedOut));
    tBodyEnded = n == 0 && !cut;
    if (cut) tGivenUp = http;
    // An Apple raster says at its start how many pages it holds; PAPPL does
    // not pass that on. The body's reads begin once the request's attributes
    // are read (NewRequest, from the authorization callback).
    for (ssize_t i = 0; i < n && tStarted < sizeof tStart; i++) tStart[tStarted++] = buffer[i];
    if (tStarted == sizeof tStart && memcmp(tStart, "UNIRAST", 8) == 0) tApplePages = BigEndian32(tStart + 8);
    return cut ? -1 : n;
}
