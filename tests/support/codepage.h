// The process's ANSI code page, chosen where the platform lets a test (the stand-in; Windows keeps its own).
#pragma once

#include <windows.h>

bool SelectAnsiCodePage(UINT codePage);  // true when the ANSI code page is now codePage
void RestoreAnsiCodePage();
