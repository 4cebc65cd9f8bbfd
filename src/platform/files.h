// File calls of the portable layer, over POSIX files. Names are paths as
// given (relative ones from the working directory). Handles are the layer's
// own; they are valid only for these calls.
#pragma once

#include "platform/types.h"

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5
#define FILE_ATTRIBUTE_NORMAL 0x80
#define MOVEFILE_REPLACE_EXISTING 0x1

struct SECURITY_ATTRIBUTES;
typedef SECURITY_ATTRIBUTES *LPSECURITY_ATTRIBUTES;
struct OVERLAPPED;
typedef OVERLAPPED *LPOVERLAPPED;

// Opens or creates a regular file. Access is GENERIC_READ and/or
// GENERIC_WRITE. Disposition: CREATE_NEW (fails if it exists),
// CREATE_ALWAYS (creates, or truncates an existing file), OPEN_EXISTING,
// OPEN_ALWAYS, TRUNCATE_EXISTING. New files get mode 0666 less the umask.
// Sharing, security, flags and template are ignored. Returns
// INVALID_HANDLE_VALUE on failure.
HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                   DWORD flags, HANDLE template_file);
// Writes all `count` bytes at the file position (retrying short writes).
// TRUE only if every byte was written; *written (if given) receives the
// count actually written. `overlapped` must be null.
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD count, LPDWORD written, LPOVERLAPPED overlapped);
// Forces the file's data to the storage device (fsync).
BOOL FlushFileBuffers(HANDLE file);
// Closes a file handle. FALSE for an unknown handle or when the system
// reports an error on close (a write that could not be completed).
BOOL CloseHandle(HANDLE object);
BOOL DeleteFileA(LPCSTR name);
// Renames a file. With MOVEFILE_REPLACE_EXISTING an existing `replacement`
// is replaced atomically; without it the call fails if it exists.
BOOL MoveFileExA(LPCSTR existing, LPCSTR replacement, DWORD flags);

// Test hook: while set, CreateFileA and WriteFile call it with their own
// name first; a non-zero answer is an errno (ENOSPC for a full disk, EROFS
// for a read-only one) with which the call fails before touching the disk.
extern int (*file_failure_for_test)(const char *call);
