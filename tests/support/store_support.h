// A driver name of its own for one test and its raw registry value; an owned driver's key goes at the end.
#pragma once

#include "hostglue.h"

#include <vector>

class StoredDriver {
public:
    StoredDriver();
    StoredDriver(const WString& name, bool owned);
    ~StoredDriver();
    StoredDriver(const StoredDriver&) = delete;
    StoredDriver& operator=(const StoredDriver&) = delete;

    const WString& Name() const { return name_; }
    std::vector<BYTE> ReadRaw(DWORD* type = nullptr) const;  // empty when there is no value
    void WriteRaw(const std::vector<BYTE>& value) const;
    LONG CreateLastingSubKey() const;  // tries to create a non-volatile sub-key under the driver's key

private:
    WString KeyPath() const { return TEXT("SYSTEM\\Printers\\") + name_; }
    WString name_;
    bool owned_;
};
