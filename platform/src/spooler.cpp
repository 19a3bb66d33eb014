// The print spooler: drivers, printers whose port is a file or a raw TCP
// printer ("host:port"). A file port's job is spooled to a temporary file
// that reaches the port when the document ends, as a local spooler delivers
// it; a TCP port's job streams: the connection opens at its first write and
// every write is sent as it comes.
#include <winspool.h>
#include <standin.h>

#include <netdb.h>
#include <time.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace {

// Reaching a printer, and each wait of a host that keeps the default bound.
const DWORD kDeliveryTimeoutMs = 20000;
// How long a printer that has the whole job may stay silent before it closes
// its side, where the host waits without a bound (as CUPS's socket backend).
const DWORD kUnboundedDrainMs = 90000;
// The longest a send or a drain waits before it tells the host's observer.
const DWORD kObserverSliceMs = 1000;

struct Printer {
    std::u16string name, driver, port;
};

// How the process's TCP ports wait for their printers (StandinSetPortWait).
struct PortWait {
    DWORD boundMs = kDeliveryTimeoutMs;  // 0: as long as the connection is up
    StandinPortFn observer = nullptr;
    void* context = nullptr;

    // False when the host gives up.
    bool Tell(StandinPortEvent event, DWORD value) const { return !observer || observer(context, event, value); }
};

// The connection of a job on a TCP port; its own lock, so a job's network
// wait never holds the spooler's lock.
struct Stream {
    std::mutex lock;
    std::string host, service;
    PortWait wait;   // as the process had it when the job started
    int fd = -1;     // -1 until the first write
    DWORD error = 0; // why the job cannot go on; 0 while it can
};
struct Job {
    DWORD id;
    std::u16string document;
    bool hasDocument;
    FILE* spool;  // null for the null port and TCP ports
    std::shared_ptr<Stream> stream;  // TCP ports only
};

struct PrinterHandle {
    std::shared_ptr<Printer> printer;
    std::shared_ptr<Job> job;
};

// A fault of one WritePrinter call: the `at`-th call since it was set.
struct WriteFault {
    DWORD calls, at;  // at 0: none
    DWORD bytes;      // what a short write writes
};

struct Spooler {
    std::mutex lock;
    std::set<std::u16string> drivers;
    std::map<std::u16string, std::shared_ptr<Printer>> printers;
    std::set<PrinterHandle*> handles;
    DWORD nextJobId = 1;
    WriteFault failWrite = {}, shortWrite = {};
    PortWait portWait;
    unsigned long long nullBytes = 0;
};

// The null device's name, as Windows spells it; any case.
bool IsNullPort(const std::u16string& port)
{
    return port.size() == 3 && (port[0] | 0x20) == 'n' && (port[1] | 0x20) == 'u' && (port[2] | 0x20) == 'l';
}

Spooler& Spl()
{
    static Spooler* s = new Spooler;  // lives as long as the process
    return *s;
}

std::u16string Str(LPCWSTR s) { return s ? std::u16string(s) : std::u16string(); }

std::string Utf8(const std::u16string& w)
{
    std::vector<char> buf(w.size() * 3 + 1);
    int n = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, buf.data(), static_cast<int>(buf.size()), nullptr, nullptr);
    return n > 0 ? std::string(buf.data()) : std::string();
}

// Caller holds the lock. The handle's record, or null with the error set;
// needJob also asks for a started document.
PrinterHandle* Lookup(HANDLE h, bool needJob = false)
{
    auto* p = static_cast<PrinterHandle*>(h);
    if (!Spl().handles.count(p)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (needJob && !p->job) {
        SetLastError(ERROR_SPL_NO_STARTDOC);
        return nullptr;
    }
    return p;
}

// Packs a level-1 record followed by its strings into the caller's buffer,
// with the platform's size protocol.
BOOL Pack(LPBYTE out, DWORD cbBuf, LPDWORD pcbNeeded, size_t recordSize, const std::vector<const std::u16string*>& strings,
          const std::vector<LPWSTR*>& fields)
{
    size_t needed = recordSize;
    for (const auto* s : strings) needed += s ? (s->size() + 1) * sizeof(WCHAR) : 0;
    if (pcbNeeded) *pcbNeeded = static_cast<DWORD>(needed);
    if (!out || cbBuf < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    auto* text = reinterpret_cast<WCHAR*>(out + recordSize);
    for (size_t i = 0; i < strings.size(); i++) {
        if (!strings[i]) {
            *fields[i] = nullptr;
            continue;
        }
        std::char_traits<WCHAR>::copy(text, strings[i]->c_str(), strings[i]->size() + 1);
        *fields[i] = text;
        text += strings[i]->size() + 1;
    }
    return TRUE;
}

bool SplitHostPort(const std::string& port, std::string& host, std::string& service)
{
    size_t colon = port.rfind(':');
    if (colon == std::string::npos || colon == 0 || port.find('/') != std::string::npos) return false;
    service = port.substr(colon + 1);
    host = port.substr(0, colon);
    return !service.empty() && std::all_of(service.begin(), service.end(), ::isdigit);
}

bool WaitFd(int fd, short events, DWORD ms)
{
    pollfd p{fd, events, 0};
    return poll(&p, 1, static_cast<int>(ms)) == 1 && (p.revents & events);
}

DWORD NowMs()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<DWORD>(t.tv_sec * 1000 + t.tv_nsec / 1000000);
}

// A connected socket, non-blocking; -1 when the printer cannot be reached
// within the delivery wait.
int ConnectTcp(const std::string& host, const std::string& service)
{
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (getaddrinfo(host.c_str(), service.c_str(), &hints, &list) != 0) return -1;
    int fd = -1;
    for (addrinfo* a = list; a && fd < 0; a = a->ai_next) {
        fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) continue;
        int err = 0;
        socklen_t len = sizeof err;
        bool ok = connect(fd, a->ai_addr, a->ai_addrlen) == 0 ||
                  (errno == EINPROGRESS && WaitFd(fd, POLLOUT, kDeliveryTimeoutMs) &&
                   getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0);
        if (!ok) {
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(list);
    // A printer that vanishes while it is not reading is noticed in time.
    int on = 1;
    if (fd >= 0) setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    return fd;
}

enum Wait { WAIT_ON, WAIT_OVER, WAIT_GIVEN_UP };

// Waits up to one slice for the socket: WAIT_ON to go on (ready or still
// within the limit), WAIT_OVER when the limit ran out, WAIT_GIVEN_UP when
// the host gave up or the socket failed. `waited` counts the wait since the
// data last moved.
Wait WaitSlice(const Stream& st, short events, DWORD limitMs, StandinPortEvent event, DWORD* waited)
{
    DWORD start = NowMs();
    DWORD slice = limitMs ? std::min(kObserverSliceMs, limitMs - std::min(limitMs, *waited)) : kObserverSliceMs;
    pollfd p{st.fd, events, 0};
    int r = poll(&p, 1, static_cast<int>(slice));
    if (r < 0 && errno != EINTR) return WAIT_GIVEN_UP;
    if (r > 0) return WAIT_ON;
    *waited += NowMs() - start;
    if (limitMs && *waited >= limitMs) return WAIT_OVER;
    return st.wait.Tell(event, *waited) ? WAIT_ON : WAIT_GIVEN_UP;  // also right after a signal
}

// Sends all n bytes, waiting for the printer as the host chose.
bool SendAll(Stream& st, const char* data, size_t n)
{
    DWORD waited = 0;
    while (n > 0) {
        ssize_t sent = send(st.fd, data, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            data += sent, n -= static_cast<size_t>(sent);
            if (waited >= kObserverSliceMs) st.wait.Tell(STANDIN_PORT_RESUMED, waited);
            waited = 0;
        } else if (sent < 0 && errno != EINTR && errno != EAGAIN) {
            return false;
        } else if (sent < 0 && errno == EAGAIN && WaitSlice(st, POLLOUT, st.wait.boundMs, STANDIN_PORT_WAITING, &waited) != WAIT_ON) {
            return false;
        }
    }
    return true;
}

// Sends one write of a streamed job, connecting first if it is the first.
// A printer that cannot be reached fails every write of the job with
// ERROR_CONNECTION_REFUSED (nothing was sent); a send that fails or is given
// up, with ERROR_WRITE_FAULT.
bool StreamWrite(Stream& st, const void* data, size_t n)
{
    std::lock_guard<std::mutex> hold(st.lock);
    if (!st.error && st.fd < 0) {
        st.fd = ConnectTcp(st.host, st.service);
        if (st.fd < 0) st.error = ERROR_CONNECTION_REFUSED;
    }
    if (!st.error && !SendAll(st, static_cast<const char*>(data), n)) st.error = ERROR_WRITE_FAULT;
    return !st.error;
}

// Ends a connection with a reset, so that a printer discards what it got
// rather than print a part of the job.
void ResetConnection(int fd)
{
    linger hard = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    close(fd);
}

// The printer has every byte once the write side is shut down; it has read
// them when it closes its side. An error or a silence while waiting for that
// does not undo the job (the host is told of an error). False only when the
// host gave up.
bool Drain(Stream& st)
{
    DWORD waited = 0, limit = st.wait.boundMs ? st.wait.boundMs : kUnboundedDrainMs;
    char sink[4096];
    for (;;) {
        ssize_t got = recv(st.fd, sink, sizeof sink, MSG_DONTWAIT);
        if (got == 0) return true;
        if (got > 0) {
            waited = 0;
            continue;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN) {
            st.wait.Tell(STANDIN_PORT_DRAIN_ERROR, static_cast<DWORD>(errno));
            return true;
        }
        Wait w = WaitSlice(st, POLLIN, limit, STANDIN_PORT_DRAINING, &waited);
        if (w != WAIT_ON) return w == WAIT_OVER;
    }
}

// The end of a streamed job. A complete job is shut down for writing and
// drained; a job given up, or one whose connection failed, is reset.
bool StreamEnd(Stream& st, bool complete)
{
    std::lock_guard<std::mutex> hold(st.lock);
    if (st.fd < 0) return !st.error;
    if (complete && !st.error && shutdown(st.fd, SHUT_WR) != 0) st.error = ERROR_WRITE_FAULT;
    if (complete && !st.error && !Drain(st)) st.error = ERROR_WRITE_FAULT;
    if (complete && !st.error)
        close(st.fd);
    else
        ResetConnection(st.fd);
    st.fd = -1;
    return !st.error;
}

// Copies the spooled job to the printer's port.
bool Deliver(Job& job, const Printer& printer)
{
    if (job.stream) return StreamEnd(*job.stream, true);
    if (!job.spool) return true;
    std::string port = Utf8(printer.port);
    rewind(job.spool);
    char buf[65536];
    size_t n;
    bool ok = true;
    FILE* out = fopen(port.c_str(), "wb");
    if (!out) return false;
    while (ok && (n = fread(buf, 1, sizeof buf, job.spool)) > 0) ok = fwrite(buf, 1, n, out) == n;
    return (fclose(out) == 0) && ok;
}

// Counts the call; true when it is the one the fault hits.
bool Hits(WriteFault& f) { return f.at && ++f.calls == f.at; }

void SetFault(WriteFault& f, DWORD n, DWORD bytes)
{
    std::lock_guard<std::mutex> lock(Spl().lock);
    f = WriteFault{0, n, bytes};
}

// Without the lock: delivers the job (or not) and lets go of its spool file
// and connection. False when the delivery failed.
bool FinishJob(Job& job, const Printer& printer, bool deliver)
{
    bool ok = !deliver || Deliver(job, printer);
    if (job.spool) fclose(job.spool);
    job.spool = nullptr;
    if (job.stream) StreamEnd(*job.stream, false);
    return ok;
}

// Ends the handle's job: takes it away under the spooler's lock, then
// delivers it (or not) outside it, so a slow port holds no other job.
BOOL EndJob(HANDLE hPrinter, bool deliver)
{
    std::shared_ptr<Job> job;
    std::shared_ptr<Printer> printer;
    {
        std::lock_guard<std::mutex> lock(Spl().lock);
        PrinterHandle* h = Lookup(hPrinter, true);
        if (!h) return FALSE;
        printer = h->printer;
        job = h->job;
        h->job.reset();
    }
    if (FinishJob(*job, *printer, deliver)) return TRUE;
    SetLastError(job->stream && job->stream->error ? job->stream->error : ERROR_WRITE_FAULT);
    return FALSE;
}

}  // namespace

extern "C" {

BOOL WINAPI AddPrinterDriverW(LPWSTR, DWORD level, LPBYTE info)
{
    if (level != 3 || !info) {
        SetLastError(level != 3 ? ERROR_INVALID_LEVEL : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto* di = reinterpret_cast<DRIVER_INFO_3W*>(info);
    std::lock_guard<std::mutex> lock(Spl().lock);
    if (!Spl().drivers.insert(Str(di->pName)).second) {
        SetLastError(ERROR_PRINTER_DRIVER_ALREADY_INSTALLED);
        return FALSE;
    }
    return TRUE;
}

HANDLE WINAPI AddPrinterW(LPWSTR, DWORD level, LPBYTE info)
{
    if (level != 2 || !info) {
        SetLastError(level != 2 ? ERROR_INVALID_LEVEL : ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto* pi = reinterpret_cast<PRINTER_INFO_2W*>(info);
    std::lock_guard<std::mutex> lock(Spl().lock);
    std::u16string name = Str(pi->pPrinterName);
    if (name.empty()) {
        SetLastError(ERROR_INVALID_PRINTER_NAME);
        return nullptr;
    }
    if (!Spl().drivers.count(Str(pi->pDriverName))) {
        SetLastError(ERROR_UNKNOWN_PRINTER_DRIVER);
        return nullptr;
    }
    if (Spl().printers.count(name)) {
        SetLastError(ERROR_PRINTER_ALREADY_EXISTS);
        return nullptr;
    }
    auto printer = std::make_shared<Printer>(Printer{name, Str(pi->pDriverName), Str(pi->pPortName)});
    Spl().printers[name] = printer;
    auto* h = new PrinterHandle{printer, nullptr};
    Spl().handles.insert(h);
    return h;
}

BOOL WINAPI OpenPrinterW(LPWSTR name, HANDLE* phPrinter, PRINTER_DEFAULTSW*)
{
    std::lock_guard<std::mutex> lock(Spl().lock);
    auto it = Spl().printers.find(Str(name));
    if (!phPrinter || it == Spl().printers.end()) {
        SetLastError(ERROR_INVALID_PRINTER_NAME);
        return FALSE;
    }
    auto* h = new PrinterHandle{it->second, nullptr};
    Spl().handles.insert(h);
    *phPrinter = h;
    return TRUE;
}

DWORD WINAPI StartDocPrinterW(HANDLE hPrinter, DWORD level, LPBYTE info)
{
    std::lock_guard<std::mutex> lock(Spl().lock);
    PrinterHandle* h = Lookup(hPrinter);
    if (!h) return 0;
    if (level != 1 || !info) {
        SetLastError(level != 1 ? ERROR_INVALID_LEVEL : ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (h->job) {
        SetLastError(ERROR_INVALID_PRINTER_STATE);
        return 0;
    }
    auto stream = std::make_shared<Stream>();
    if (!SplitHostPort(Utf8(h->printer->port), stream->host, stream->service)) stream.reset();
    if (stream) stream->wait = Spl().portWait;
    FILE* spool = IsNullPort(h->printer->port) || stream ? nullptr : tmpfile();
    if (!spool && !IsNullPort(h->printer->port) && !stream) {
        SetLastError(ERROR_ACCESS_DENIED);
        return 0;
    }
    auto* di = reinterpret_cast<DOC_INFO_1W*>(info);
    h->job = std::make_shared<Job>(Job{Spl().nextJobId++, Str(di->pDocName), di->pDocName != nullptr, spool, stream});
    return h->job->id;
}

// A streamed job's bytes are sent outside the spooler's lock.
BOOL WINAPI WritePrinter(HANDLE hPrinter, LPVOID buf, DWORD cbBuf, LPDWORD pcWritten)
{
    std::shared_ptr<Stream> stream;
    DWORD n = 0;
    {
        std::lock_guard<std::mutex> lock(Spl().lock);
        if (pcWritten) *pcWritten = 0;
        PrinterHandle* h = Lookup(hPrinter, true);
        if (!h) return FALSE;
        if (!pcWritten || (!buf && cbBuf)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        bool fail = Hits(Spl().failWrite);
        n = Hits(Spl().shortWrite) ? std::min(cbBuf, Spl().shortWrite.bytes) : cbBuf;
        stream = h->job->stream;
        if (fail || (!stream && (h->job->spool ? fwrite(buf, 1, n, h->job->spool) != n : (Spl().nullBytes += n, false)))) {
            SetLastError(ERROR_WRITE_FAULT);
            return FALSE;
        }
    }
    if (stream && n > 0 && !StreamWrite(*stream, buf, n)) {
        SetLastError(stream->error);
        return FALSE;
    }
    *pcWritten = n;
    return TRUE;
}

BOOL WINAPI EndDocPrinter(HANDLE hPrinter) { return EndJob(hPrinter, true); }

// Deletes the job's spool file, as Windows documents it (Wine's keeps it).
BOOL WINAPI AbortPrinter(HANDLE hPrinter) { return EndJob(hPrinter, false); }

// A document still open when its handle closes is ended, as the local
// spooler ends it.
BOOL WINAPI ClosePrinter(HANDLE hPrinter)
{
    bool open;
    {
        std::lock_guard<std::mutex> lock(Spl().lock);
        PrinterHandle* h = Lookup(hPrinter);
        if (!h) return FALSE;
        open = h->job != nullptr;
    }
    if (open) EndDocPrinter(hPrinter);
    std::lock_guard<std::mutex> lock(Spl().lock);
    auto* h = static_cast<PrinterHandle*>(hPrinter);
    Spl().handles.erase(h);
    delete h;
    return TRUE;
}

BOOL WINAPI DeletePrinter(HANDLE hPrinter)
{
    std::lock_guard<std::mutex> lock(Spl().lock);
    PrinterHandle* h = Lookup(hPrinter);
    if (!h) return FALSE;
    auto it = Spl().printers.find(h->printer->name);
    if (it != Spl().printers.end() && it->second == h->printer) Spl().printers.erase(it);
    return TRUE;
}

BOOL WINAPI GetJobW(HANDLE hPrinter, DWORD jobId, DWORD level, LPBYTE out, DWORD cbBuf, LPDWORD pcbNeeded)
{
    std::lock_guard<std::mutex> lock(Spl().lock);
    PrinterHandle* h = Lookup(hPrinter);
    if (!h) return FALSE;
    if (level != 1) {
        SetLastError(ERROR_INVALID_LEVEL);
        return FALSE;
    }
    std::shared_ptr<Job> job;
    for (PrinterHandle* other : Spl().handles)
        if (other->printer == h->printer && other->job && other->job->id == jobId) job = other->job;
    if (!job) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    static const std::u16string user = u"user", datatype = u"RAW";
    JOB_INFO_1W info{};
    info.JobId = job->id;
    info.Priority = 1;
    info.Position = 1;
    if (!Pack(out, cbBuf, pcbNeeded, sizeof info,
              {&h->printer->name, nullptr, &user, job->hasDocument ? &job->document : nullptr, &datatype, nullptr},
              {&info.pPrinterName, &info.pMachineName, &info.pUserName, &info.pDocument, &info.pDatatype, &info.pStatus}))
        return FALSE;
    memcpy(out, &info, sizeof info);
    return TRUE;
}

BOOL WINAPI GetPrinterDriverW(HANDLE hPrinter, LPWSTR, DWORD level, LPBYTE out, DWORD cbBuf, LPDWORD pcbNeeded)
{
    std::lock_guard<std::mutex> lock(Spl().lock);
    PrinterHandle* h = Lookup(hPrinter);
    if (!h) return FALSE;
    if (level != 1) {
        SetLastError(ERROR_INVALID_LEVEL);
        return FALSE;
    }
    DRIVER_INFO_1W info{};
    if (!Pack(out, cbBuf, pcbNeeded, sizeof info, {&h->printer->driver}, {&info.pName})) return FALSE;
    memcpy(out, &info, sizeof info);
    return TRUE;
}

unsigned long long StandinNullPortBytes(void)
{
    std::lock_guard<std::mutex> lock(Spl().lock);
    return Spl().nullBytes;
}

void StandinSetPortWait(DWORD boundMs, StandinPortFn observer, void* context)
{
    std::lock_guard<std::mutex> lock(Spl().lock);
    Spl().portWait = PortWait{boundMs, observer, context};
}

void StandinFailWritePrinterCall(DWORD n) { SetFault(Spl().failWrite, n, 0); }

void StandinShortWritePrinterCall(DWORD n, DWORD bytes) { SetFault(Spl().shortWrite, n, bytes); }

}  // extern "C"
