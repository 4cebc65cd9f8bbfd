#include "display/display.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "capture/camera.h"
#include "pipeline/process.h"
#include "platform/dib.h"
#include "platform/win32.h"
#include "shell/main.h"
#include "shell/window.h"

std::atomic<int> display_x{360};
std::atomic<int> display_y{300};
std::atomic<bool> display_fps{false};

namespace {

const int line_pitch = 16;
const int text_x = 2;
const int line_size = 80;
const int line_count = 5;

char text_area[line_count][line_size];

// Rows of a 24-bit DIB are padded to 4 bytes; frames are not. For widths
// that need padding, the frame is staged here (sized once per geometry).
std::vector<unsigned char> padded_frame;

const void *dib_rows(int width, int height) {
    size_t row = static_cast<size_t>(width) * 3;
    size_t stride = dib_stride(static_cast<size_t>(width));
    if (row == stride) return camera_buffer;
    if (padded_frame.size() != stride * height) padded_frame.assign(stride * height, 0);
    const unsigned char *src = reinterpret_cast<const unsigned char *>(camera_buffer);
    for (int y = 0; y < height; ++y) std::memcpy(&padded_frame[stride * y], src + row * y, row);
    return padded_frame.data();
}

}  // namespace

void display() {
    std::lock_guard<std::recursive_mutex> lock(frame_lock);
    if (!camera_buffer) {
        // No picture, but the strip (which may say why) is redrawn and the
        // window validated: an unvalidated paint would come straight back.
        display_text();
        ValidateRect(main_win, nullptr);
        return;
    }
    int w = camera_x_size;
    int h = camera_y_size;
    const void *bits = dib_rows(w, h);
    if (fast_capture) {
        StretchDIBits(main_dc, 0, 0, display_x, display_y, 0, h - 1, w, -h, bits, &camera_buffer_info,
                      DIB_RGB_COLORS, SRCCOPY);
    } else {
        StretchDIBits(main_dc, 0, 0, display_x, display_y, 0, 0, w, h, bits, &camera_buffer_info, DIB_RGB_COLORS,
                      SRCCOPY);
    }
    if (display_fps) {
        char text[32];
        std::snprintf(text, sizeof text, "FPS: %3d", fps.load());
        TextOutA(main_dc, text_x, 2, text, static_cast<int>(std::strlen(text)));
    }
    display_text();
    ValidateRect(main_win, nullptr);
}

void display_text() {
    std::lock_guard<std::recursive_mutex> lock(frame_lock);
    int x = display_x;
    int y = display_y;
    Rectangle(main_dc, 0, y, x, y + strip_height);
    for (int i = 0; i < line_count; ++i) {
        TextOutA(main_dc, text_x, y + line_pitch * i + 1, text_area[i], static_cast<int>(std::strlen(text_area[i])));
    }
    if (main_win) InvalidateRect(main_win, nullptr, FALSE);
}

void display_resize(unsigned int width, unsigned int height) {
    std::lock_guard<std::recursive_mutex> lock(frame_lock);
    display_x = static_cast<int>(width);
    display_y = static_cast<int>(height) - strip_height;
    display_text();
}

void clear_text_area() {
    std::lock_guard<std::recursive_mutex> lock(frame_lock);
    std::memset(text_area, 0, sizeof text_area);
}

void add_line(const char *message) {
    static int text_y = 0;
    std::lock_guard<std::recursive_mutex> lock(frame_lock);
    char *slot;
    if (text_y == line_count) {
        for (int i = 1; i < line_count; ++i) std::memcpy(text_area[i - 1], text_area[i], line_size);
        slot = text_area[line_count - 1];
    } else {
        ++text_y;
        slot = text_area[text_y - 1];
    }
    // Keep at most 79 characters so every slot stays zero-terminated.
    std::strncpy(slot, message, line_size);
    slot[line_size - 1] = '\0';
    display_text();
}

const char *status_line(int slot) {
    return text_area[slot];
}
