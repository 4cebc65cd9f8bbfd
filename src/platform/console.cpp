#include "platform/console.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/internal.h"

namespace {
// A handle value of our own that stands for file descriptor 2.
HANDLE const stderr_handle = reinterpret_cast<HANDLE>(static_cast<intptr_t>(0x5702));

const int control_c_exit = 58;  // STATUS_CONTROL_C_EXIT & 0xFF

bool write_all(const char *p, size_t left) {
    while (left > 0) {
        ssize_t n = ::write(2, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

void append_utf8(std::string &out, unsigned long c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// One code point from UTF-8 at text[i..end); false for a bad sequence
// (overlong, surrogate, beyond U+10FFFF, cut short).
bool next_utf8(const unsigned char *text, size_t end, size_t &i, unsigned long &c) {
    unsigned char b = text[i];
    int extra;
    unsigned long min;
    if (b < 0x80) {
        c = b;
        ++i;
        return true;
    } else if ((b & 0xE0) == 0xC0) {
        extra = 1, c = b & 0x1F, min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
        extra = 2, c = b & 0x0F, min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
        extra = 3, c = b & 0x07, min = 0x10000;
    } else {
        ++i;
        return false;
    }
    size_t j = i + 1;
    for (int k = 0; k < extra; ++k, ++j) {
        if (j >= end || (text[j] & 0xC0) != 0x80) {
            i = j;
            return false;
        }
        c = (c << 6) | (text[j] & 0x3F);
    }
    i = j;
    return c >= min && c <= 0x10FFFF && !(c >= 0xD800 && c < 0xE000);
}

struct Handlers {
    std::mutex mutex;
    std::vector<PHANDLER_ROUTINE> list;
};

// Never destroyed: an event may come while the process exits.
Handlers &handlers() {
    static Handlers *instance = new Handlers;
    return *instance;
}

// Runs the handlers, the last added first, until one takes the event.
bool run_handlers(DWORD event) {
    std::vector<PHANDLER_ROUTINE> list;
    {
        std::lock_guard<std::mutex> lock(handlers().mutex);
        list = handlers().list;
    }
    for (auto it = list.rbegin(); it != list.rend(); ++it) {
        if ((*it)(event)) return true;
    }
    return false;
}

}  // namespace

BOOL AllocConsole() { return TRUE; }

HANDLE GetStdHandle(DWORD std_handle) {
    if (std_handle == STD_OUTPUT_HANDLE || std_handle == STD_ERROR_HANDLE) return stderr_handle;
    return INVALID_HANDLE_VALUE;
}

BOOL WriteConsoleA(HANDLE console, const void *buffer, DWORD count, LPDWORD written, LPVOID) {
    if (written) *written = 0;
    if (console != stderr_handle) return FALSE;
    if (!write_all(static_cast<const char *>(buffer), count)) return FALSE;
    if (written) *written = count;
    return TRUE;
}

BOOL WriteConsoleW(HANDLE console, const void *buffer, DWORD count, LPDWORD written, LPVOID) {
    if (written) *written = 0;
    if (console != stderr_handle) return FALSE;
    if (count > 0) {
        const WCHAR *text = static_cast<const WCHAR *>(buffer);
        int length =
            WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(count), nullptr, 0, nullptr, nullptr);
        std::string out(static_cast<size_t>(length), '\0');
        WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(count), &out[0], length, nullptr, nullptr);
        if (!write_all(out.data(), out.size())) return FALSE;
    }
    if (written) *written = count;
    return TRUE;
}

int WideCharToMultiByte(UINT code_page, DWORD flags, LPCWSTR wide, int count, LPSTR bytes, int bytes_count,
                        LPCSTR default_char, LPBOOL used_default) {
    if (code_page != CP_UTF8 || flags != 0 || default_char || used_default) return 0;
    if (!wide || count == 0 || count < -1 || bytes_count < 0) return 0;
    size_t end = 0;
    if (count == -1) {
        while (wide[end] != 0) ++end;
        ++end;
    } else {
        end = static_cast<size_t>(count);
    }
    std::string out;
    for (size_t i = 0; i < end; ++i) {
        unsigned long c = wide[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < end && wide[i + 1] >= 0xDC00 && wide[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (wide[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c < 0xE000) {
            c = 0xFFFD;  // a lone surrogate
        }
        append_utf8(out, c);
    }
    if (bytes_count == 0) return static_cast<int>(out.size());
    if (!bytes || out.size() > static_cast<size_t>(bytes_count)) return 0;
    std::copy(out.begin(), out.end(), bytes);
    return static_cast<int>(out.size());
}

int MultiByteToWideChar(UINT code_page, DWORD flags, LPCSTR text, int count, LPWSTR wide, int wide_count) {
    if (!text || count == 0 || count < -1 || wide_count < 0) return 0;
    size_t end = count == -1 ? std::char_traits<char>::length(text) + 1 : static_cast<size_t>(count);
    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(text);
    std::u16string out;
    if (code_page == CP_ACP) {
        for (size_t i = 0; i < end; ++i) out.push_back(static_cast<char16_t>(bytes[i]));
    } else if (code_page == CP_UTF8) {
        for (size_t i = 0; i < end;) {
            unsigned long c;
            if (!next_utf8(bytes, end, i, c)) {
                if (flags & MB_ERR_INVALID_CHARS) return 0;
                c = 0xFFFD;
            }
            if (c >= 0x10000) {
                out.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
                out.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
            } else {
                out.push_back(static_cast<char16_t>(c));
            }
        }
    } else {
        return 0;
    }
    if (wide_count == 0) return static_cast<int>(out.size());
    if (!wide || out.size() > static_cast<size_t>(wide_count)) return 0;
    std::copy(out.begin(), out.end(), wide);
    return static_cast<int>(out.size());
}

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add) {
    if (!handler) return FALSE;
    std::lock_guard<std::mutex> lock(handlers().mutex);
    auto &list = handlers().list;
    if (add) {
        list.push_back(handler);
        return TRUE;
    }
    auto it = std::find(list.rbegin(), list.rend(), handler);
    if (it == list.rend()) return FALSE;
    list.erase(std::next(it).base());
    return TRUE;
}

namespace lvx {

void console_event(DWORD event) {
    if (event != CTRL_CLOSE_EVENT) {
        std::thread([event] {
            if (!run_handlers(event)) std::quick_exit(control_c_exit);
        }).detach();
        return;
    }
    // Closing: the process ends when the handlers are done, or after 5 s.
    struct Done {
        std::mutex mutex;
        std::condition_variable cv;
        bool done = false;
    };
    auto state = std::make_shared<Done>();
    std::thread([state] {
        run_handlers(CTRL_CLOSE_EVENT);
        std::lock_guard<std::mutex> lock(state->mutex);
        state->done = true;
        state->cv.notify_all();
    }).detach();
    std::thread([state] {
        std::unique_lock<std::mutex> lock(state->mutex);
        state->cv.wait_for(lock, std::chrono::seconds(5), [&] { return state->done; });
        std::quick_exit(control_c_exit);
    }).detach();
}

}  // namespace lvx
