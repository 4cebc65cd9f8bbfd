#include "common/status_log.h"

#include <cstring>

void StatusLog::set_notice(void (*notice)(void *context), void *context) {
    std::lock_guard<std::mutex> hold(lock_);
    notice_ = notice;
    notice_context_ = context;
}

void StatusLog::clear_text_area() {
    std::lock_guard<std::mutex> hold(lock_);
    std::memset(text_area_, 0, sizeof text_area_);
}

void StatusLog::add_line(const char *message) {
    void (*notice)(void *) = nullptr;
    void *context = nullptr;
    {
        std::lock_guard<std::mutex> hold(lock_);
        char *slot;
        if (text_y_ == line_count) {
            for (int i = 1; i < line_count; ++i) std::memcpy(text_area_[i - 1], text_area_[i], line_size);
            slot = text_area_[line_count - 1];
        } else {
            ++text_y_;
            slot = text_area_[text_y_ - 1];
        }
        // Keep at most 79 characters so every slot stays zero-terminated.
        std::strncpy(slot, message, line_size);
        slot[line_size - 1] = '\0';
        notice = notice_;
        context = notice_context_;
    }
    if (notice) notice(context);
}

const char *StatusLog::status_line(int slot) const { return text_area_[slot]; }

void StatusLog::copy_lines(char lines[line_count][line_size]) const {
    std::lock_guard<std::mutex> hold(lock_);
    std::memcpy(lines, text_area_, sizeof text_area_);
}
