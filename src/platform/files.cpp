#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <mutex>
#include <unordered_map>

namespace {

// Open files by handle value. Handle values are counters, never reused, so a
// stale handle can never reach another file.
std::mutex files_lock;
std::unordered_map<uintptr_t, int> open_files;
uintptr_t next_handle = 0x10000;

int fd_of(HANDLE file) {
    std::lock_guard<std::mutex> lock(files_lock);
    auto it = open_files.find(reinterpret_cast<uintptr_t>(file));
    return it == open_files.end() ? -1 : it->second;
}

}  // namespace

int (*file_failure_for_test)(const char *call) = nullptr;

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD, LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD,
                   HANDLE) {
    if (!name || !*name) return INVALID_HANDLE_VALUE;
    if (file_failure_for_test) {
        if (int error = file_failure_for_test("CreateFileA")) {
            errno = error;
            return INVALID_HANDLE_VALUE;
        }
    }
    int flags = O_CLOEXEC;
    bool reads = access & GENERIC_READ;
    bool writes = access & GENERIC_WRITE;
    if (reads && writes)
        flags |= O_RDWR;
    else if (writes)
        flags |= O_WRONLY;
    else
        flags |= O_RDONLY;
    switch (disposition) {
        case CREATE_NEW:
            flags |= O_CREAT | O_EXCL;
            break;
        case CREATE_ALWAYS:
            flags |= O_CREAT | O_TRUNC;
            break;
        case OPEN_EXISTING:
            break;
        case OPEN_ALWAYS:
            flags |= O_CREAT;
            break;
        case TRUNCATE_EXISTING:
            flags |= O_TRUNC;
            break;
        default:
            return INVALID_HANDLE_VALUE;
    }
    if ((flags & O_TRUNC) && !writes) return INVALID_HANDLE_VALUE;
    int fd;
    do {
        fd = ::open(name, flags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return INVALID_HANDLE_VALUE;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return INVALID_HANDLE_VALUE;
    }
    std::lock_guard<std::mutex> lock(files_lock);
    uintptr_t handle = next_handle;
    next_handle += 4;
    open_files[handle] = fd;
    return reinterpret_cast<HANDLE>(handle);
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD count, LPDWORD written, LPOVERLAPPED overlapped) {
    if (written) *written = 0;
    int fd = fd_of(file);
    if (fd < 0 || overlapped || (!buffer && count > 0)) return FALSE;
    if (file_failure_for_test) {
        if (int error = file_failure_for_test("WriteFile")) {
            errno = error;
            return FALSE;
        }
    }
    const char *p = static_cast<const char *>(buffer);
    DWORD left = count;
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return FALSE;
        }
        if (n == 0) return FALSE;
        p += n;
        left -= static_cast<DWORD>(n);
        if (written) *written += static_cast<DWORD>(n);
    }
    return TRUE;
}

BOOL FlushFileBuffers(HANDLE file) {
    int fd = fd_of(file);
    return fd >= 0 && ::fsync(fd) == 0 ? TRUE : FALSE;
}

BOOL CloseHandle(HANDLE object) {
    int fd;
    {
        std::lock_guard<std::mutex> lock(files_lock);
        auto it = open_files.find(reinterpret_cast<uintptr_t>(object));
        if (it == open_files.end()) return FALSE;
        fd = it->second;
        open_files.erase(it);
    }
    // The descriptor is released even when close reports an error; never retry it.
    return ::close(fd) == 0 ? TRUE : FALSE;
}

BOOL DeleteFileA(LPCSTR name) { return name && ::unlink(name) == 0 ? TRUE : FALSE; }

BOOL MoveFileExA(LPCSTR existing, LPCSTR replacement, DWORD flags) {
    if (!existing || !replacement) return FALSE;
    if (!(flags & MOVEFILE_REPLACE_EXISTING)) {
        // link() fails if the name is taken, so the check and the move are one step.
        if (::link(existing, replacement) != 0) return FALSE;
        return ::unlink(existing) == 0 ? TRUE : FALSE;
    }
    return ::rename(existing, replacement) == 0 ? TRUE : FALSE;
}
