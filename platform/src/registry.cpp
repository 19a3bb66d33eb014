// The registry, in files: a key is a directory, a value a file holding its
// type and data. Names compare without regard to case, as on Windows. Keys
// created volatile live in a second tree under the runtime directory, which a
// restart clears. A value is written whole or not at all (temporary file,
// sync, rename); or, when a host asks for it, in the process's memory alone.
// Also the security-descriptor calls and the local heap.
#include <windows.h>
#include <standin.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Key {
    std::string relPath;  // escaped components below the registry's top, "k_system/k_printers/..."
    bool isVolatile;
};

std::mutex gRootLock;
std::string gRoot;
std::atomic<LONG> gFail[4];

// The registry of one process alone, in memory: keys and values by path,
// nothing on disk, nothing shared with another process.
struct MemoryRegistry {
    std::mutex lock;
    std::set<std::string> keys;
    std::map<std::string, std::vector<BYTE>> values;
};
std::atomic<MemoryRegistry*> gMemory{nullptr};

std::string Root()
{
    std::lock_guard<std::mutex> lock(gRootLock);
    if (gRoot.empty()) {
        const char* env = getenv("UMPD_STANDIN_REGISTRY");
        const char* tmp = getenv("TMPDIR");
        gRoot = env && *env ? env : std::string(tmp && *tmp ? tmp : "/tmp") + "/umpd-registry-" + std::to_string(getuid());
    }
    return gRoot;
}

// The volatile tree of this registry root: $XDG_RUNTIME_DIR, else /run when
// writable, else the temporary directory.
std::string VolatileRoot()
{
    const char* xdg = getenv("XDG_RUNTIME_DIR");
    std::string base = xdg && *xdg ? xdg : (access("/run", W_OK) == 0 ? "/run" : "/tmp");
    return base + "/umpd-registry-volatile-" + std::to_string(std::hash<std::string>()(Root()));
}

std::string TreeOf(bool isVolatile) { return isVolatile ? VolatileRoot() : Root(); }

// One name as a file name: case folded, anything but [a-z0-9 _,-] escaped.
std::string Escape(const std::u16string& name)
{
    std::string out;
    char buf[8];
    for (char16_t c : name) {
        if (c < 0x80 && c >= 'A' && c <= 'Z') c = static_cast<char16_t>(c + 32);
        if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == ' ' || c == '_' || c == ',' || c == '-') {
            out += static_cast<char>(c);
        } else {
            snprintf(buf, sizeof buf, "%%%04X", static_cast<unsigned>(c));
            out += buf;
        }
    }
    return out;
}

// "A\B\C" below a key as a relative path; false for an empty component.
bool SubPath(const std::string& base, LPCWSTR subKey, std::string* out)
{
    *out = base;
    std::u16string rest = subKey ? std::u16string(subKey) : std::u16string();
    size_t start = 0;
    while (start <= rest.size() && !rest.empty()) {
        size_t end = rest.find(u'\\', start);
        std::u16string part = rest.substr(start, end == std::u16string::npos ? std::u16string::npos : end - start);
        if (part.empty()) return false;
        *out += (out->empty() ? "k_" : "/k_") + Escape(part);
        if (end == std::u16string::npos) break;
        start = end + 1;
    }
    return true;
}

bool IsDir(const std::string& p)
{
    if (MemoryRegistry* m = gMemory.load()) {
        std::lock_guard<std::mutex> hold(m->lock);
        return m->keys.count(p) != 0;
    }
    std::error_code ec;
    return fs::is_directory(p, ec);
}

// Creates a key's directory and its parents; false when it cannot.
bool MakeDirs(const std::string& p)
{
    if (MemoryRegistry* m = gMemory.load()) {
        std::lock_guard<std::mutex> hold(m->lock);
        for (size_t slash = p.find('/', 1); slash != std::string::npos; slash = p.find('/', slash + 1))
            m->keys.insert(p.substr(0, slash));
        m->keys.insert(p);
        return true;
    }
    std::error_code ec;
    fs::create_directories(p, ec);
    return !ec;
}

// A value's whole file (type and data); false when there is none.
bool ReadWhole(const std::string& path, std::vector<BYTE>* bytes)
{
    if (MemoryRegistry* m = gMemory.load()) {
        std::lock_guard<std::mutex> hold(m->lock);
        auto it = m->values.find(path);
        if (it == m->values.end()) return false;
        *bytes = it->second;
        return true;
    }
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return false;
    BYTE buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) bytes->insert(bytes->end(), buf, buf + n);
    fclose(f);
    return true;
}

// Removes a key with its values; ERROR_KEY_HAS_CHILDREN when it has sub-keys.
LONG RemoveKey(const std::string& dir)
{
    if (MemoryRegistry* m = gMemory.load()) {
        std::lock_guard<std::mutex> hold(m->lock);
        auto below = m->keys.lower_bound(dir + "/");
        if (below != m->keys.end() && below->compare(0, dir.size() + 1, dir + "/") == 0) return ERROR_KEY_HAS_CHILDREN;
        m->keys.erase(dir);
        for (auto it = m->values.lower_bound(dir + "/"); it != m->values.end() && it->first.compare(0, dir.size() + 1, dir + "/") == 0;)
            it = m->values.erase(it);
        return ERROR_SUCCESS;
    }
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec))
        if (entry.is_directory()) return ERROR_KEY_HAS_CHILDREN;
    fs::remove_all(dir, ec);
    return ec ? ERROR_ACCESS_DENIED : ERROR_SUCCESS;
}

bool Resolve(HKEY h, Key* out)
{
    if (h == HKEY_LOCAL_MACHINE) {
        *out = Key{"", false};
        return true;
    }
    if (!h) return false;
    *out = *reinterpret_cast<Key*>(h);
    return true;
}

HKEY NewHandle(const std::string& relPath, bool isVolatile)
{
    return reinterpret_cast<HKEY>(new Key{relPath, isVolatile});
}

std::string ValueFile(const Key& k, LPCWSTR name)
{
    return TreeOf(k.isVolatile) + "/" + k.relPath + "/v_" + Escape(name ? std::u16string(name) : std::u16string());
}

bool WriteWhole(const std::string& path, const std::vector<BYTE>& bytes)
{
    if (MemoryRegistry* m = gMemory.load()) {
        std::lock_guard<std::mutex> hold(m->lock);
        if (!m->keys.count(path.substr(0, path.rfind('/')))) return false;
        m->values[path] = bytes;
        return true;
    }
    static std::atomic<unsigned> serial{0};
    std::string tmp = path + ".tmp." + std::to_string(getpid()) + "." + std::to_string(serial++);
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (ok && rename(tmp.c_str(), path.c_str()) == 0) return true;
    unlink(tmp.c_str());
    return false;
}

LONG Injected(StandinRegistryCall call) { return gFail[call].load(); }

}  // namespace

extern "C" {

void StandinSetRegistryRoot(const char* directory)
{
    std::lock_guard<std::mutex> lock(gRootLock);
    gRoot = directory ? directory : "";
}

void StandinFailRegistryCall(StandinRegistryCall call, LONG error) { gFail[call] = error; }

void StandinUseMemoryRegistry(void)
{
    static MemoryRegistry memory;
    gMemory = &memory;
}

LONG WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR subKey, DWORD, REGSAM, PHKEY result)
{
    if (LONG e = Injected(STANDIN_REG_OPEN)) return e;
    Key base;
    std::string rel;
    if (!result || !Resolve(hKey, &base)) return ERROR_INVALID_HANDLE;
    if (!SubPath(base.relPath, subKey, &rel)) return ERROR_BADKEY;
    // A key is volatile when it exists only in the volatile tree.
    if (IsDir(Root() + "/" + rel)) *result = NewHandle(rel, false);
    else if (IsDir(VolatileRoot() + "/" + rel)) *result = NewHandle(rel, true);
    else return ERROR_FILE_NOT_FOUND;
    return ERROR_SUCCESS;
}

LONG WINAPI RegCreateKeyExW(HKEY hKey, LPCWSTR subKey, DWORD, LPWSTR, DWORD options, REGSAM,
                            const LPSECURITY_ATTRIBUTES, PHKEY result, LPDWORD disposition)
{
    if (LONG e = Injected(STANDIN_REG_CREATE)) return e;
    if (!result) return ERROR_INVALID_PARAMETER;
    if (RegOpenKeyExW(hKey, subKey, 0, KEY_ALL_ACCESS, result) == ERROR_SUCCESS) {
        if (disposition) *disposition = REG_OPENED_EXISTING_KEY;
        return ERROR_SUCCESS;
    }
    Key base;
    std::string rel;
    if (!Resolve(hKey, &base)) return ERROR_INVALID_HANDLE;
    if (!SubPath(base.relPath, subKey, &rel)) return ERROR_BADKEY;
    bool isVolatile = (options & REG_OPTION_VOLATILE) != 0;
    // Below a volatile key only volatile keys may be created.
    std::string parent = rel.substr(0, rel.rfind('/') == std::string::npos ? 0 : rel.rfind('/'));
    if (!isVolatile && !parent.empty() && !IsDir(Root() + "/" + parent) && IsDir(VolatileRoot() + "/" + parent))
        return ERROR_CHILD_MUST_BE_VOLATILE;
    if (!MakeDirs(TreeOf(isVolatile) + "/" + rel)) return ERROR_ACCESS_DENIED;
    *result = NewHandle(rel, isVolatile);
    if (disposition) *disposition = REG_CREATED_NEW_KEY;
    return ERROR_SUCCESS;
}

// A value larger than the caller's buffer gives ERROR_MORE_DATA and its size.
LONG WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR name, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD cbData)
{
    if (LONG e = Injected(STANDIN_REG_QUERY)) return e;
    Key k;
    if (!Resolve(hKey, &k) || hKey == HKEY_LOCAL_MACHINE) return ERROR_INVALID_HANDLE;
    if (data && !cbData) return ERROR_INVALID_PARAMETER;
    std::vector<BYTE> bytes;
    if (!ReadWhole(ValueFile(k, name), &bytes) || bytes.size() < 4) return ERROR_FILE_NOT_FOUND;
    DWORD size = static_cast<DWORD>(bytes.size() - 4);
    if (type) memcpy(type, bytes.data(), 4);
    LONG rc = ERROR_SUCCESS;
    if (data && *cbData < size) rc = ERROR_MORE_DATA;
    else if (data) memcpy(data, bytes.data() + 4, size);
    if (cbData) *cbData = size;
    return rc;
}

LONG WINAPI RegSetValueExW(HKEY hKey, LPCWSTR name, DWORD, DWORD type, const BYTE* data, DWORD cbData)
{
    if (LONG e = Injected(STANDIN_REG_SET)) return e;
    Key k;
    if (!Resolve(hKey, &k) || hKey == HKEY_LOCAL_MACHINE) return ERROR_INVALID_HANDLE;
    if (!data && cbData) return ERROR_INVALID_PARAMETER;
    std::vector<BYTE> bytes(4 + cbData);
    memcpy(bytes.data(), &type, 4);
    if (cbData) memcpy(bytes.data() + 4, data, cbData);
    return WriteWhole(ValueFile(k, name), bytes) ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

// Deletes a key that has no sub-keys, with its values.
LONG WINAPI RegDeleteKeyW(HKEY hKey, LPCWSTR subKey)
{
    HKEY h = nullptr;
    LONG rc = RegOpenKeyExW(hKey, subKey, 0, KEY_ALL_ACCESS, &h);
    if (rc != ERROR_SUCCESS) return rc;
    Key k = *reinterpret_cast<Key*>(h);
    RegCloseKey(h);
    return RemoveKey(TreeOf(k.isVolatile) + "/" + k.relPath);
}

LONG WINAPI RegCloseKey(HKEY hKey)
{
    if (!hKey) return ERROR_INVALID_HANDLE;
    if (hKey != HKEY_LOCAL_MACHINE) delete reinterpret_cast<Key*>(hKey);
    return ERROR_SUCCESS;
}

BOOL WINAPI InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR sd, DWORD revision)
{
    if (!sd || revision != SECURITY_DESCRIPTOR_REVISION) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    memset(sd, 0, sizeof(SECURITY_DESCRIPTOR));
    static_cast<SECURITY_DESCRIPTOR*>(sd)->Revision = SECURITY_DESCRIPTOR_REVISION;
    return TRUE;
}

BOOL WINAPI SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR sd, BOOL present, PACL dacl, BOOL defaulted)
{
    auto* d = static_cast<SECURITY_DESCRIPTOR*>(sd);
    if (!d || d->Revision != SECURITY_DESCRIPTOR_REVISION) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    d->Control = static_cast<WORD>((d->Control & ~(SE_DACL_PRESENT | SE_DACL_DEFAULTED)) |
                                   (present ? SE_DACL_PRESENT : 0) | (defaulted ? SE_DACL_DEFAULTED : 0));
    d->Dacl = present ? dacl : nullptr;
    return TRUE;
}

// The stand-in's registry keeps no access lists: every key is open to every
// account, as a null access list makes it. Only the arguments are checked.
LONG WINAPI RegSetKeySecurity(HKEY hKey, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR sd)
{
    if (!hKey) return ERROR_INVALID_HANDLE;
    auto* d = static_cast<SECURITY_DESCRIPTOR*>(sd);
    return d && d->Revision == SECURITY_DESCRIPTOR_REVISION ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
}

HLOCAL WINAPI LocalAlloc(UINT flags, SIZE_T bytes) { return GlobalAlloc(flags, bytes); }
HLOCAL WINAPI LocalFree(HLOCAL mem) { return GlobalFree(mem); }

}  // extern "C"
