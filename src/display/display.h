// Drawing of the client area: the picture, the FPS figure and the status
// strip, from what the caller hands over. The caller holds the frame lock,
// which serialises every drawing into the window.
#pragma once

#include <atomic>
#include <vector>

#include "common/pixel.h"
#include "common/status_log.h"
#include "platform/win32.h"

// Height in pixels of the status strip below the picture.
const int strip_height = 82;

// The window drawn into.
struct target_window {
    HWND main_win = nullptr;
    HDC main_dc = nullptr;
};

// One frame to show: width x height pixels, rows bottom-up and unpadded,
// described by `info`; `flipped` shows it upside down (fast capture).
struct picture {
    const color_type *pixels = nullptr;
    int width = 0;
    int height = 0;
    const BITMAPINFO *info = nullptr;
    bool flipped = false;
};

class Display {
  public:
    std::atomic<int> display_x{360};  // picture area width
    std::atomic<int> display_y{300};  // picture area height
    std::atomic<bool> display_fps{false};

    // Draws `shown` (none: just the strip, which may say why), the FPS
    // figure `fps` when display_fps is on, and the strip; validates the window.
    void display(const target_window &window, const picture *shown, int fps, const StatusLog &log);
    // Redraws the strip and asks for a repaint of the whole window.
    void display_text(const target_window &window, const StatusLog &log);
    // Client area resized: the picture takes all but the 82-pixel strip.
    void display_resize(const target_window &window, const StatusLog &log, unsigned int width,
                        unsigned int height);

  private:
    const void *dib_rows(const picture &shown);
    // Rows of a 24-bit DIB are padded to 4 bytes; frames are not. For widths
    // that need padding, the frame is staged here (sized once per geometry).
    std::vector<unsigned char> padded_frame_;
};
