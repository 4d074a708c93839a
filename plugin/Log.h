// The effect's log: one line per event in "Fogmill.log" in the system's temporary folder,
// best effort. Callable from any thread; nothing is reported when a line cannot be written.
#pragma once

namespace fm {

// Appends message as it stands.
void logLine(const char* message);

// Appends the printf-style formatted message.
void logFormatted(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

}  // namespace fm
