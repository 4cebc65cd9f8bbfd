#include "common/files.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>

#ifndef _WIN32
#include <cerrno>
#endif

namespace {

// Creates a new file for writing, beside `name`, under a name of its own:
// made exclusively, so it is never a file that was there before (a user's
// "1.bmp.tmp", say). Its name goes to `temp`.
HANDLE create_temp_beside(const std::string &name, std::string &temp) {
    static unsigned long sequence = 0;
    static const unsigned long seed = static_cast<unsigned long>(
        std::chrono::steady_clock::now().time_since_epoch().count() ^ reinterpret_cast<uintptr_t>(&sequence));
    for (int attempt = 0; attempt < 16; ++attempt) {
        char tag[16];
        std::snprintf(tag, sizeof tag, ".%08lx", (seed + 0x9E3779B9UL * ++sequence) & 0xFFFFFFFFUL);
        temp = name + tag + ".part";
        HANDLE file = CreateFileA(temp.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) return file;
    }
    return INVALID_HANDLE_VALUE;
}

}  // namespace

bool write_bmp_file(const std::string &name, const BITMAPFILEHEADER &file_header,
                    const BITMAPINFOHEADER &info, const unsigned char *pixels, DWORD pixel_bytes,
                    std::string &reason) {
    std::string temp;
    HANDLE file = create_temp_beside(name, temp);
    if (file == INVALID_HANDLE_VALUE) {
        reason = last_error_text();
        return false;
    }
    const char *temp_name = temp.c_str();
    DWORD written = 0;
    bool ok =
        WriteFile(file, &file_header, sizeof file_header, &written, nullptr) && written == sizeof file_header;
    ok = ok && WriteFile(file, &info, sizeof info, &written, nullptr) && written == sizeof info;
    ok = ok && WriteFile(file, pixels, pixel_bytes, &written, nullptr) && written == pixel_bytes;
    ok = ok && FlushFileBuffers(file);
    ok = CloseHandle(file) && ok;
    ok = ok && MoveFileExA(temp_name, name.c_str(), MOVEFILE_REPLACE_EXISTING);
    if (!ok) {
        reason = last_error_text();
        DeleteFileA(temp_name);
    }
    return ok;
}

std::string last_error_text() {
#ifdef _WIN32
    DWORD code = GetLastError();
    char text[256] = "";
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                             text, sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' ' || text[n - 1] == '.'))
        text[--n] = 0;
    return n ? std::string(text) : "error " + std::to_string(code);
#else
    return std::strerror(errno);
#endif
}
