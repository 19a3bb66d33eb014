// Process services: last error, the global heap, critical sections, the
// environment, and the module loader.
#include <windows.h>
#include <standin.h>
#include <winspool.h>

#include "modules.h"

#include <dlfcn.h>
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace {

thread_local DWORD gLastError = ERROR_SUCCESS;
std::atomic<bool> gFailDisableThreadCalls{false};
std::atomic<SIZE_T> gFailAllocOfSize{0};  // 0: no allocation is to fail

typedef BOOL (*EntryPointFn)(HMODULE, DWORD, LPVOID);

// Windows DLLs that the stand-in plays itself, loaded by their bare file
// name in any case: their exports are the stand-in's own functions (both
// reach the one spooler of the process).
struct SystemExport {
    const char* name;
    FARPROC proc;
};
struct SystemModule {
    const char* file;
    std::vector<SystemExport> exports;
};

template <typename Fn>
FARPROC Export(Fn fn) { return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(fn)); }

const std::vector<SystemExport> SPOOLER_EXPORTS = {
    {"GetJobW", Export(GetJobW)}, {"GetPrinterDriverW", Export(GetPrinterDriverW)}, {"WritePrinter", Export(WritePrinter)}};
const SystemModule SYSTEM_MODULES[] = {{"spoolss.dll", SPOOLER_EXPORTS}, {"winspool.drv", SPOOLER_EXPORTS}};

// A loaded module; its address is the module handle.
struct Module {
    void* dl;  // null for a system module
    std::string path;
    int refs;
    const BYTE* resources;  // the module's compiled resources, if it has any
    size_t resourceSize;
    const SystemModule* system;
};

std::mutex gModulesLock;
std::vector<Module*> gModules;

Module* FindModule(HMODULE h)
{
    for (Module* m : gModules)
        if (reinterpret_cast<HMODULE>(m) == h) return m;
    return nullptr;
}

std::string Utf8Path(LPCWSTR w)
{
    char buf[4096];
    int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, buf, sizeof buf, nullptr, nullptr);
    return n > 0 ? std::string(buf) : std::string();
}

EntryPointFn EntryOf(Module* m)
{
    return m->dl ? reinterpret_cast<EntryPointFn>(dlsym(m->dl, "DllEntryPoint")) : nullptr;
}

const SystemModule* SystemModuleNamed(const std::string& path)
{
    std::string lower(path);
    for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    for (const SystemModule& m : SYSTEM_MODULES)
        if (lower == m.file) return &m;
    return nullptr;
}

// Loads (or counts once more) a system module. Under gModulesLock. Their
// records live as long as the process: a program may keep one loaded to the end.
HMODULE LoadSystemModule(const SystemModule* system)
{
    static Module records[sizeof SYSTEM_MODULES / sizeof SYSTEM_MODULES[0]];
    Module* m = &records[system - SYSTEM_MODULES];
    if (m->refs++ == 0) {
        *m = Module{nullptr, system->file, 1, nullptr, 0, system};
        gModules.push_back(m);
    }
    return reinterpret_cast<HMODULE>(m);
}

}  // namespace

bool StandinModuleResources(HMODULE h, const BYTE** data, size_t* size)
{
    std::lock_guard<std::mutex> lock(gModulesLock);
    Module* m = FindModule(h);
    if (!m || !m->resources) return false;
    *data = m->resources;
    *size = m->resourceSize;
    return true;
}

extern "C" {

DWORD WINAPI GetLastError(void) { return gLastError; }
void WINAPI SetLastError(DWORD code) { gLastError = code; }

HGLOBAL WINAPI GlobalAlloc(UINT flags, SIZE_T bytes)
{
    // An injected failure hits the next block of its size, once.
    SIZE_T failing = bytes;
    if (bytes && gFailAllocOfSize.compare_exchange_strong(failing, 0)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    // Fixed memory only; a zero size still gives a distinct block, as on Windows.
    void* p = (flags & GMEM_ZEROINIT) ? calloc(1, bytes ? bytes : 1) : malloc(bytes ? bytes : 1);
    if (!p) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return p;
}

void StandinFailNextAlloc(SIZE_T bytes) { gFailAllocOfSize = bytes; }

HGLOBAL WINAPI GlobalFree(HGLOBAL mem)
{
    free(mem);
    return nullptr;
}

static_assert(sizeof(pthread_mutex_t) <= sizeof(CRITICAL_SECTION::opaque), "lock fits the section");

static pthread_mutex_t* MutexOf(LPCRITICAL_SECTION cs) { return reinterpret_cast<pthread_mutex_t*>(cs->opaque); }

// The last bytes of the section say it was initialised. On Windows a section
// entered before InitializeCriticalSection hangs or corrupts memory; here it
// stops the process at once, saying so.
static const uint64_t SECTION_READY = 0x5245414459435321ull;
static_assert(sizeof(pthread_mutex_t) + sizeof(SECTION_READY) <= sizeof(CRITICAL_SECTION::opaque), "room for the mark");
static uint64_t* ReadyMarkOf(LPCRITICAL_SECTION cs)
{
    return reinterpret_cast<uint64_t*>(cs->opaque + sizeof cs->opaque - sizeof(uint64_t));
}
static void RequireReady(LPCRITICAL_SECTION cs)
{
    if (*ReadyMarkOf(cs) == SECTION_READY) return;
    fprintf(stderr, "stand-in: a critical section entered or left before InitializeCriticalSection\n");
    abort();
}

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION cs)
{
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);  // re-entrant, as on Windows
    pthread_mutex_init(MutexOf(cs), &attr);
    pthread_mutexattr_destroy(&attr);
    *ReadyMarkOf(cs) = SECTION_READY;
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION cs)
{
    RequireReady(cs);
    pthread_mutex_lock(MutexOf(cs));
}
void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION cs)
{
    RequireReady(cs);
    pthread_mutex_unlock(MutexOf(cs));
}
void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION cs)
{
    pthread_mutex_destroy(MutexOf(cs));
    *ReadyMarkOf(cs) = 0;
}

DWORD WINAPI GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size)
{
    const char* v = getenv(name);
    if (!v) {
        SetLastError(ERROR_ENVVAR_NOT_FOUND);
        return 0;
    }
    DWORD len = static_cast<DWORD>(strlen(v));
    if (!buffer || size <= len) return len + 1;  // too small: the size needed, terminator included
    memcpy(buffer, v, len + 1);
    return len;
}

BOOL WINAPI SetEnvironmentVariableA(LPCSTR name, LPCSTR value)
{
    int rc = value ? setenv(name, value, 1) : unsetenv(name);
    return rc == 0;
}

// Null is the executable; the name is cut to fit and terminated, as on
// Windows since Vista (ERROR_INSUFFICIENT_BUFFER when cut).
DWORD WINAPI GetModuleFileNameW(HMODULE h, LPWSTR out, DWORD size)
{
    std::string path;
    if (!h) {
        char buf[4096];
        ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
        if (n > 0) path.assign(buf, static_cast<size_t>(n));
    } else {
        std::lock_guard<std::mutex> lock(gModulesLock);
        if (Module* m = FindModule(h)) path = m->path;
    }
    if (path.empty()) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    if (size == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::vector<WCHAR> wide(path.size() + 1);
    int units = MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, wide.data(), static_cast<int>(wide.size()));
    DWORD len = units > 0 ? static_cast<DWORD>(units - 1) : 0;
    DWORD copy = len < size ? len : size - 1;
    std::char_traits<WCHAR>::copy(out, wide.data(), copy);
    out[copy] = 0;
    if (copy < len) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    return copy;
}

DWORD WINAPI GetCurrentProcessId(void) { return static_cast<DWORD>(getpid()); }

// Milliseconds of a steady clock, wrapping as Windows' does.
DWORD WINAPI GetTickCount(void)
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<DWORD>(t.tv_sec * 1000ull + static_cast<unsigned long long>(t.tv_nsec) / 1000000ull);
}

void WINAPI Sleep(DWORD ms) { usleep(static_cast<useconds_t>(ms) * 1000); }

BOOL WINAPI DisableThreadLibraryCalls(HMODULE h)
{
    std::lock_guard<std::mutex> lock(gModulesLock);
    if (!FindModule(h) || gFailDisableThreadCalls) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return FALSE;
    }
    return TRUE;
}

// Loads a module and calls its entry point with DLL_PROCESS_ATTACH once; a
// refusal unloads it again and fails with 1114. The refusing module gets no
// DLL_PROCESS_DETACH: the C runtime's start-up code (MinGW's, measured under
// Wine) passes none to an entry point whose attach failed.
HMODULE WINAPI LoadLibraryW(LPCWSTR fileName)
{
    std::string path = fileName ? Utf8Path(fileName) : std::string();
    if (const SystemModule* system = SystemModuleNamed(path)) {
        std::lock_guard<std::mutex> lock(gModulesLock);
        return LoadSystemModule(system);
    }
    void* dl = path.empty() ? nullptr : dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!dl) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    Module* m = nullptr;
    {
        std::lock_guard<std::mutex> lock(gModulesLock);
        for (Module* x : gModules)
            if (x->dl == dl) m = x;
        if (m) {
            m->refs++;
            dlclose(dl);  // one dlopen reference per module record
            return reinterpret_cast<HMODULE>(m);
        }
        const void* size = dlsym(dl, "StandinResourcesSize");
        m = new Module{dl, path, 1, static_cast<const BYTE*>(dlsym(dl, "StandinResources")),
                       size ? static_cast<size_t>(*static_cast<const unsigned long*>(size)) : 0, nullptr};
        gModules.push_back(m);
    }
    HMODULE h = reinterpret_cast<HMODULE>(m);
    EntryPointFn entry = EntryOf(m);
    if (entry && !entry(h, DLL_PROCESS_ATTACH, nullptr)) {
        {
            std::lock_guard<std::mutex> lock(gModulesLock);
            gModules.erase(std::find(gModules.begin(), gModules.end(), m));
        }
        dlclose(dl);
        delete m;
        SetLastError(ERROR_DLL_INIT_FAILED);
        return nullptr;
    }
    return h;
}

FARPROC WINAPI GetProcAddress(HMODULE h, LPCSTR name)
{
    void* dl = nullptr;
    {
        std::lock_guard<std::mutex> lock(gModulesLock);
        Module* m = FindModule(h);
        if (m && m->system) {
            for (const SystemExport& e : m->system->exports)
                if (name && strcmp(name, e.name) == 0) return e.proc;
            SetLastError(ERROR_PROC_NOT_FOUND);
            return nullptr;
        }
        dl = m ? m->dl : nullptr;
    }
    if (!dl) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    void* p = name ? dlsym(dl, name) : nullptr;
    if (!p) SetLastError(ERROR_PROC_NOT_FOUND);
    return reinterpret_cast<FARPROC>(p);
}

BOOL WINAPI FreeLibrary(HMODULE h)
{
    Module* m = nullptr;
    {
        std::lock_guard<std::mutex> lock(gModulesLock);
        m = FindModule(h);
        if (!m) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return FALSE;
        }
        if (--m->refs > 0) return TRUE;
        gModules.erase(std::find(gModules.begin(), gModules.end(), m));
    }
    if (EntryPointFn entry = EntryOf(m)) entry(h, DLL_PROCESS_DETACH, nullptr);
    if (!m->dl) return TRUE;  // a system module's record stays
    dlclose(m->dl);
    delete m;
    return TRUE;
}

void StandinFailDisableThreadLibraryCalls(BOOL fail) { gFailDisableThreadCalls = fail != FALSE; }

}  // extern "C"
