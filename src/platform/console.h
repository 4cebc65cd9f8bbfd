// Console calls of the portable layer. The process has no console window:
// output goes to standard error, in call order, exactly as written.
#pragma once

#include "platform/types.h"

// Always succeeds: standard error is there from the start.
BOOL AllocConsole();

// STD_OUTPUT_HANDLE and STD_ERROR_HANDLE both give a handle for standard
// error; anything else gives INVALID_HANDLE_VALUE.
HANDLE GetStdHandle(DWORD std_handle);

// Writes the characters unchanged (no line end added). Returns FALSE for an
// invalid handle or a failed write; *written receives the count written.
BOOL WriteConsoleA(HANDLE console, const void *buffer, DWORD count, LPDWORD written, LPVOID reserved);
// Writes `count` UTF-16 code units as UTF-8 (a lone surrogate becomes
// U+FFFD). Returns FALSE for an invalid handle or a failed write; *written
// receives the code units written (all of them on success).
BOOL WriteConsoleW(HANDLE console, const void *buffer, DWORD count, LPDWORD written, LPVOID reserved);

#define CP_ACP 0
#define CP_UTF8 65001
#define MB_ERR_INVALID_CHARS 0x00000008

// Converts `count` bytes (-1: up to and including the terminating zero) to
// UTF-16 and returns the number of code units, or 0 on failure. CP_UTF8:
// bad sequences fail with MB_ERR_INVALID_CHARS and become U+FFFD without it.
// CP_ACP, the layer's ANSI code page, is Latin-1: each byte is the code
// point of the same value. With `wide_count` 0 only the length is returned;
// a result that does not fit fails. Other code pages fail.
int MultiByteToWideChar(UINT code_page, DWORD flags, LPCSTR text, int count, LPWSTR wide, int wide_count);

// Converts `count` UTF-16 code units (-1: up to and including the terminating
// zero) to UTF-8 and returns the number of bytes, or 0 on failure; a lone
// surrogate becomes U+FFFD. Only CP_UTF8, with flags 0 and no default
// character (the last two arguments null). With `bytes_count` 0 only the
// length is returned; a result that does not fit fails.
int WideCharToMultiByte(UINT code_page, DWORD flags, LPCWSTR wide, int count, LPSTR bytes, int bytes_count,
                        LPCSTR default_char, LPBOOL used_default);

#define CTRL_C_EVENT 0
#define CTRL_BREAK_EVENT 1
#define CTRL_CLOSE_EVENT 2

typedef BOOL(WINAPI *PHANDLER_ROUTINE)(DWORD event);

// Adds (add TRUE) or removes a handler for console events. When an event
// comes (from the presenting backend: the headless one lets tests send
// them), the handlers run on a thread of their own, the last added first,
// until one returns TRUE. Ctrl+C or Ctrl+Break that no handler takes ends
// the process. CTRL_CLOSE_EVENT ends the process once the handlers have
// returned, or after 5 seconds if they have not. The process ends as with
// quick_exit (at_quick_exit handlers run, static destructors do not) with
// exit code 58, the low byte of Windows' STATUS_CONTROL_C_EXIT. A null
// handler is not supported (FALSE).
BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add);
