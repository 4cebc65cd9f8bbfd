#include "capture/camera.h"

#include <cstring>

#include "display/display.h"
#include "shell/utility.h"

VideoCapture *vc = nullptr;
VideoDevice *devices = nullptr;
int camera_x_size = 0;
int camera_y_size = 0;
color_type *camera_buffer = nullptr;
BITMAPINFO camera_buffer_info;
std::atomic<bool> fast_capture{false};

void camera_setup_buffer() {
    if (camera_buffer) {
        buffer_free(camera_buffer);
        camera_buffer = nullptr;
    }
    // A negative size from the device would wrap; treat it as unallocatable.
    if (camera_x_size < 0 || camera_y_size < 0) {
        add_line("Unable to create camera buffer");
        return;
    }
    size_t bytes = static_cast<size_t>(camera_x_size) * static_cast<size_t>(camera_y_size) * 3;
    camera_buffer = static_cast<color_type *>(buffer_alloc(bytes));
    if (!camera_buffer) {
        add_line("Unable to create camera buffer");
        return;
    }
    std::memset(&camera_buffer_info, 0, sizeof camera_buffer_info);
    BITMAPINFOHEADER &h = camera_buffer_info.bmiHeader;
    h.biSize = sizeof(BITMAPINFOHEADER);
    h.biWidth = camera_x_size;
    h.biHeight = camera_y_size;
    h.biPlanes = 1;
    h.biBitCount = 24;
    h.biCompression = BI_RGB;
    h.biSizeImage = static_cast<DWORD>(bytes);
}
