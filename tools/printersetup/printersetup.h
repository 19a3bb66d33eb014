// Sets up a printer on the spooler, as an administrator installing the driver
// would: Win32 spooler calls only, the same on both builds.
#pragma once

#include "hostglue.h"

#include <winspool.h>

// Installs the driver when it is new and adds the printer `name` that prints
// through it to `port`. Returns AddPrinterW's handle, or null with the
// platform's error set.
HANDLE AddPrinterForDriver(const WString& name, const WString& driver, const WString& port);
