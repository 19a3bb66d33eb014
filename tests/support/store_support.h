// A driver name of its own for one test, and its raw registry value; the
// key is deleted at the end.
#pragma once

#include "hostglue.h"

#include <vector>

class StoredDriver {
public:
    StoredDriver();
    // Refers to another driver's key; owned keys are deleted at the end.
    StoredDriver(const WString& name, bool owned);
    ~StoredDriver();
    StoredDriver(const StoredDriver&) = delete;
    StoredDriver& operator=(const StoredDriver&) = delete;

    const WString& Name() const { return name_; }
    std::vector<BYTE> ReadRaw(DWORD* type = nullptr) const;  // empty when there is no value
    void WriteRaw(const std::vector<BYTE>& value) const;
    // Tries to create a non-volatile sub-key under the driver's key.
    LONG CreateLastingSubKey() const;

private:
    WString KeyPath() const;
    WString name_;
    bool owned_;
};
