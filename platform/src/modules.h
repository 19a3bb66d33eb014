// Inside the stand-in: what the loader knows of a loaded module.
#pragma once

#include <windows.h>

#include <cstddef>

// The module's compiled resources (the platform's .res format); false when
// the handle is no loaded module or the module carries none.
bool StandinModuleResources(HMODULE module, const BYTE** data, size_t* size);
