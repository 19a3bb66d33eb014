// The print spooler: drivers, printers whose port is a file or a raw TCP
// printer ("host:port"). A file port's job is spooled to a temporary file
// that reaches the port when the document ends, as a local spooler delivers
// it; a TCP port's job streams: the connection opens at its first write and
// every write is sent as it comes.
#include <winspool.h>
#include <standin.h>

#include <netdb.h>
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

const int kDeliveryTimeoutMs = 20000;

struct Printer {
    std::u16string name, driver, port;
};

// The connection of a job on a TCP port; its own lock, so a job's network
// wait never holds the spooler's lock.
struct Stream {
    std::mutex lock;
    std::string host, service;
    int fd = -1;  // -1 until the first write
    bool broken = false;
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

bool WaitFd(int fd, short events)
{
    pollfd p{fd, events, 0};
    return poll(&p, 1, kDeliveryTimeoutMs) == 1 && (p.revents & events);
}

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
                  (errno == EINPROGRESS && WaitFd(fd, POLLOUT) &&
                   getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0);
        if (!ok) {
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(list);
    // Connected: blocking from here, each send bounded by the same wait
    // (one wait per send of a large write, not one per socket buffer).
    timeval bound = {kDeliveryTimeoutMs / 1000, 0};
    if (fd >= 0 && (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0 ||
                    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound) != 0)) {
        close(fd);
        fd = -1;
    }
    return fd;
}

bool SendAll(int fd, const char* data, size_t n)
{
    while (n > 0) {
        ssize_t sent = send(fd, data, n, MSG_NOSIGNAL);
        if (sent < 0 && errno != EINTR) return false;  // EAGAIN: the bound ran out
        if (sent > 0) data += sent, n -= static_cast<size_t>(sent);
    }
    return true;
}

// Sends one write of a streamed job, connecting first if it is the first.
// False when the printer cannot be reached or the connection broke.
bool StreamWrite(Stream& st, const void* data, size_t n)
{
    std::lock_guard<std::mutex> hold(st.lock);
    if (!st.broken && st.fd < 0) st.fd = ConnectTcp(st.host, st.service);
    st.broken = st.broken || st.fd < 0 || !SendAll(st.fd, static_cast<const char*>(data), n);
    return !st.broken;
}

// The end of a streamed job: the printer is told no more comes, and has read
// it all when it closes its side (bounded). Aborted jobs just close.
bool StreamEnd(Stream& st, bool complete)
{
    std::lock_guard<std::mutex> hold(st.lock);
    if (st.fd < 0) return !st.broken;
    bool ok = !st.broken;
    if (complete && ok) {
        ok = shutdown(st.fd, SHUT_WR) == 0;
        char drain[4096];
        while (ok && WaitFd(st.fd, POLLIN)) {
            ssize_t got = recv(st.fd, drain, sizeof drain, 0);
            if (got == 0) break;
            if (got < 0 && errno != EINTR && errno != EAGAIN) ok = false;
        }
    }
    close(st.fd);
    st.fd = -1;
    return ok;
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
    SetLastError(ERROR_WRITE_FAULT);
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
        SetLastError(ERROR_WRITE_FAULT);
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

void StandinFailWritePrinterCall(DWORD n) { SetFault(Spl().failWrite, n, 0); }

void StandinShortWritePrinterCall(DWORD n, DWORD bytes) { SetFault(Spl().shortWrite, n, bytes); }

}  // extern "C"
