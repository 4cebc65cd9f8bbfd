// Diagnostics and heap helpers shared by the program's modules.
#pragma once

#include <cstddef>

// printf-style write to the debug console, at most 1023 characters a call,
// no line end added. The console opens on the first call.
void console(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Zero-filled heap block of `bytes` (at least one byte is requested, so a
// null result always means failure). Released with buffer_free.
void *buffer_alloc(size_t bytes);
void buffer_free(void *block);

// Test hook: while set, buffer_alloc calls it first and fails when it
// returns true.
extern bool (*buffer_alloc_should_fail)(size_t bytes);
