#include "capture/camera.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "capture/capture.h"
#include "capture/pattern.h"
#include "common/buffer.h"
#include "display/display.h"
#include "filters/canny.h"
#include "filters/rc_filter.h"
#include "pipeline/process.h"
#include "platform/dib.h"
#include "shell/main.h"
#include "shell/options.h"

VideoCapture *vc = nullptr;
VideoDevice *devices = nullptr;
int camera_x_size = 0;
int camera_y_size = 0;
color_type *camera_buffer = nullptr;
BITMAPINFO camera_buffer_info;
std::atomic<bool> fast_capture{false};

namespace {

// Why the capture object could not be built (an HRESULT), kept from static
// initialisation until camera_start can show it.
long capture_failure = 0;
// The graph was started, so camera_stop owes it a Stop.
bool graph_started = false;

// The capture object is built before the entry point runs.
struct CaptureStartup {
    CaptureStartup() { camera_create(); }
} capture_startup;

unsigned long hresult_bits(long hr) { return static_cast<unsigned long>(hr) & 0xFFFFFFFFUL; }

}  // namespace

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

void camera_create() {
    capture_failure = 0;
    try {
        vc = new VideoCapture(frame_callback);
    } catch (long hr) {
        vc = nullptr;
        capture_failure = hr;
    } catch (const std::bad_alloc &) {
        vc = nullptr;
        capture_failure = E_OUTOFMEMORY;
    }
    devices = vc ? vc->GetDevices() : nullptr;
}

void camera_start() {
    char message[80] = "";
    bool use_camera = false;
    if (!vc) {
        std::snprintf(message, sizeof message, "Camera error 0x%08lX: showing test pattern",
                      hresult_bits(capture_failure));
    } else {
        try {
            vc->wanted_width = requested_width;
            vc->wanted_height = requested_height;
            vc->Select(devices + camera_choice);
            vc->GetSize(camera_x_size, camera_y_size);
            use_camera = camera_x_size > 0 && camera_y_size > 0;
            if (!use_camera) {
                // A negative height is a top-down source, which this program
                // does not take; either way the device is let go.
                std::snprintf(
                    message, sizeof message, "%s: showing test pattern",
                    camera_y_size < 0 ? "Camera sends top-down frames" : "Camera has no frame size");
                vc->Disconnect();
            }
        } catch (long hr) {
            if (hr == E_INVALIDARG && vc->NumDevices() == 0) {
                std::snprintf(message, sizeof message, "No camera found: showing test pattern");
            } else {
                std::snprintf(message, sizeof message, "Camera error 0x%08lX: showing test pattern",
                              hresult_bits(hr));
            }
        }
    }
    if (!use_camera) {
        camera_x_size = pattern_width;
        camera_y_size = pattern_height;
    }

    camera_setup_buffer();
    process_start();
    canny_start();
    rc_filter_start();

    if (use_camera) {
        try {
            vc->Start();
            graph_started = true;
        } catch (long hr) {
            std::snprintf(message, sizeof message, "Camera error 0x%08lX: showing test pattern",
                          hresult_bits(hr));
            use_camera = false;
        }
    }
    if (!use_camera) {
        add_line(message);
        // The pattern takes the size the buffers were made for.
        if (!pattern_start(frame_callback, camera_x_size, camera_y_size))
            add_line("Unable to start test pattern");
    }
}

void camera_stop() {
    // Neither stop may hold frame_lock: each waits for a delivery thread
    // that may be waiting for it.
    pattern_stop();
    if (graph_started && vc) {
        graph_started = false;
        try {
            vc->Stop();
        } catch (long hr) {
            char message[80];
            std::snprintf(message, sizeof message, "Camera error 0x%08lX while stopping", hresult_bits(hr));
            add_line(message);
        }
    }
    // Under the lock, a frame that still arrives (a graph that failed to
    // stop) finds no buffer and is ignored.
    std::lock_guard<std::recursive_mutex> lock(frame_lock);
    if (camera_buffer) {
        buffer_free(camera_buffer);
        camera_buffer = nullptr;
    }
    process_stop();
    canny_stop();
    rc_filter_stop();
}

void frame_callback(unsigned char *data, int length, int bits) {
    std::lock_guard<std::recursive_mutex> lock(frame_lock);
    if (!camera_buffer || !data || bits != 24 || length < 0) return;
    if (camera_x_size <= 0 || camera_y_size <= 0) return;
    // Sample rows are padded to 4 bytes; frame rows are not.
    const size_t row = static_cast<size_t>(camera_x_size) * 3;
    const size_t stride = dib_stride(static_cast<size_t>(camera_x_size));
    if (static_cast<size_t>(length) < stride * static_cast<size_t>(camera_y_size)) return;
    unsigned char *frame = reinterpret_cast<unsigned char *>(camera_buffer);
    if (row == stride) {
        std::memcpy(frame, data, row * static_cast<size_t>(camera_y_size));
    } else {
        for (int y = 0; y < camera_y_size; ++y) std::memcpy(frame + row * y, data + stride * y, row);
    }
    frame_ready();
}
