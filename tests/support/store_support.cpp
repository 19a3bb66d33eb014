#include "store_support.h"

#include <gtest/gtest.h>

#include <string>

static int gDriverCount = 0;

StoredDriver::StoredDriver()
    : name_(HostWiden(("umpd-test-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++gDriverCount)).c_str())),
      owned_(true)
{
}

StoredDriver::StoredDriver(const WString& name, bool owned) : name_(name), owned_(owned) {}

StoredDriver::~StoredDriver()
{
    if (!owned_) return;
    WString path = KeyPath();
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, (path + TEXT("\\lasting")).c_str());
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str());
    // A name with commas is stored under the part before its last comma.
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, (path + TEXT(",B")).c_str());
}

std::vector<BYTE> StoredDriver::ReadRaw(DWORD* type) const
{
    std::vector<BYTE> data;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, KeyPath().c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return data;
    DWORD size = 0;
    if (RegQueryValueExW(key, TEXT("User Info"), nullptr, type, nullptr, &size) == ERROR_SUCCESS) {
        data.resize(size);
        if (RegQueryValueExW(key, TEXT("User Info"), nullptr, type, data.data(), &size) != ERROR_SUCCESS) data.clear();
    }
    RegCloseKey(key);
    return data;
}

void StoredDriver::WriteRaw(const std::vector<BYTE>& value) const
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, KeyPath().c_str(), 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExW(key, TEXT("User Info"), 0, REG_BINARY, value.data(), static_cast<DWORD>(value.size())),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

LONG StoredDriver::CreateLastingSubKey() const
{
    HKEY key = nullptr;
    LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, (KeyPath() + TEXT("\\lasting")).c_str(), 0, nullptr,
                              REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (rc == ERROR_SUCCESS) RegCloseKey(key);
    return rc;
}
