// The debug console.
#pragma once

// printf-style write to the debug console, at most 1023 characters a call,
// no line end added. The console opens on the first call.
void console(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// The "fname:" line of a capture device, its name in UTF-8. The Windows
// console shows the lines as they always were, one after another; elsewhere
// the console is standard error, shared with other messages, so each line ends.
void announce_device(const char *name);
