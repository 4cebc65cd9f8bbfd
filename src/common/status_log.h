// The five status lines below the picture: every layer adds to them, the
// display draws them. Adding a line draws nothing; it tells the one
// listener (the program, which asks for a repaint) that the lines changed.
#pragma once

#include <mutex>

class StatusLog {
  public:
    static const int line_count = 5;
    static const int line_size = 80;

    // Called after every change, outside the log's lock, on the thread that
    // made it.
    void set_notice(void (*notice)(void *context), void *context);

    // Empties the five lines (the fill count is kept).
    void clear_text_area();
    // Appends one line (cut to 79 characters), scrolling once all five are used.
    void add_line(const char *message);
    // Line `slot` (0 = top) as stored: always zero-terminated. The pointer
    // stays valid; its text may change under a caller on another thread,
    // so drawing code copies the lines with copy_lines instead.
    const char *status_line(int slot) const;
    void copy_lines(char lines[line_count][line_size]) const;

  private:
    mutable std::mutex lock_;
    char text_area_[line_count][line_size] = {};
    int text_y_ = 0;
    void (*notice_)(void *) = nullptr;
    void *notice_context_ = nullptr;
};
