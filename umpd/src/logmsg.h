// Diagnostic trace entry point.
#pragma once

// Switched off: takes a printf-style format and its arguments and does nothing.
void LogMessage(const char* message, ...);
