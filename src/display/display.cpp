#include "display/display.h"

#include <cstdio>
#include <cstring>

#include "platform/dib.h"

namespace {

const int line_pitch = 16;
const int text_x = 2;

}  // namespace

const void *Display::dib_rows(const picture &shown) {
    const int width = shown.width, height = shown.height;
    size_t row = static_cast<size_t>(width) * 3;
    size_t stride = dib_stride(static_cast<size_t>(width));
    if (row == stride) return shown.pixels;
    if (padded_frame_.size() != stride * height) padded_frame_.assign(stride * height, 0);
    const unsigned char *src = reinterpret_cast<const unsigned char *>(shown.pixels);
    for (int y = 0; y < height; ++y) std::memcpy(&padded_frame_[stride * y], src + row * y, row);
    return padded_frame_.data();
}

void Display::display(const target_window &window, const picture *shown, int fps, const StatusLog &log) {
    if (!shown || !shown->pixels) {
        // No picture, but the strip (which may say why) is redrawn and the
        // window validated: an unvalidated paint would come straight back.
        display_text(window, log);
        ValidateRect(window.main_win, nullptr);
        return;
    }
    const int w = shown->width;
    const int h = shown->height;
    const void *bits = dib_rows(*shown);
    if (shown->flipped) {
        StretchDIBits(window.main_dc, 0, 0, display_x, display_y, 0, h - 1, w, -h, bits, shown->info,
                      DIB_RGB_COLORS, SRCCOPY);
    } else {
        StretchDIBits(window.main_dc, 0, 0, display_x, display_y, 0, 0, w, h, bits, shown->info,
                      DIB_RGB_COLORS, SRCCOPY);
    }
    if (display_fps) {
        char text[32];
        std::snprintf(text, sizeof text, "FPS: %3d", fps);
        TextOutA(window.main_dc, text_x, 2, text, static_cast<int>(std::strlen(text)));
    }
    display_text(window, log);
    ValidateRect(window.main_win, nullptr);
}

void Display::display_text(const target_window &window, const StatusLog &log) {
    char lines[StatusLog::line_count][StatusLog::line_size];
    log.copy_lines(lines);
    const int x = display_x;
    const int y = display_y;
    Rectangle(window.main_dc, 0, y, x, y + strip_height);
    for (int i = 0; i < StatusLog::line_count; ++i)
        TextOutA(window.main_dc, text_x, y + line_pitch * i + 1, lines[i],
                 static_cast<int>(std::strlen(lines[i])));
    if (window.main_win) InvalidateRect(window.main_win, nullptr, FALSE);
}

void Display::display_resize(const target_window &window, const StatusLog &log, unsigned int width,
                             unsigned int height) {
    display_x = static_cast<int>(width);
    display_y = static_cast<int>(height) - strip_height;
    display_text(window, log);
}
