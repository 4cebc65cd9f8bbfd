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
