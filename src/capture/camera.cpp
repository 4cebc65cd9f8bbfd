#include "capture/camera.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <system_error>

#include "capture/capture.h"
#include "capture/controls.h"
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

// Runs capture calls; running out of memory or threads in them comes back
// as the HRESULT a COM call gives for it, so every failure is a status line.
template <class F>
void capture_call(F calls) {
    try {
        calls();
    } catch (const std::bad_alloc &) {
        throw static_cast<long>(E_OUTOFMEMORY);
    } catch (const std::system_error &) {
        throw static_cast<long>(E_OUTOFMEMORY);
    }
}

// The camera frames come from: none (the test pattern from the start), the
// camera, or the pattern standing in for a camera that was lost.
enum class CameraState { none, streaming, lost };
CameraState camera_state = CameraState::none;
// The name of the camera in use or lost, to find it again.
std::string camera_name;
std::chrono::steady_clock::time_point next_reconnect;
const std::chrono::milliseconds reconnect_period(1000);
// Frames taken in by frame_callback, and when camera_watch last saw the
// count move: a streaming camera silent for stall_time is reported once.
std::atomic<unsigned> frames_taken{0};
unsigned frames_seen = 0;
std::chrono::steady_clock::time_point last_frame_seen;
bool stall_reported = false;
const std::chrono::seconds stall_time(2);

// What a failure means in words, for the failures a user can act on.
const char *failure_words(long hr) {
    switch (hresult_bits(hr)) {
        case 0x80070005UL:  // E_ACCESSDENIED
            return "permission denied";
        case 0x800700AAUL:  // HRESULT_FROM_WIN32(ERROR_BUSY)
        case 0x80070020UL:  // HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION)
            return "in use by another program";
        case 0x80040207UL:  // VFW_E_NO_ACCEPTABLE_TYPES
        case 0x8004022AUL:  // VFW_E_TYPE_NOT_ACCEPTED
            return "offers no format Lumivex can show";
        case 0x8007048FUL:  // HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED)
            return "not connected";
        default:
            return nullptr;
    }
}

// "Camera <name>: <what>" followed by `tail`, the name shortened so that
// the whole stays within a status line (79 characters).
std::string camera_line(const std::string &name, const char *what, const char *tail) {
    std::string rest = std::string(": ") + what + tail;
    std::string head = "Camera ";
    size_t room = 79 > head.size() + rest.size() ? 79 - head.size() - rest.size() : 0;
    return head + name.substr(0, room) + rest;
}

// The line for a camera that could not be used: a sentence when the failure
// is known, else its code. On standard error as well, with a hint where the
// user can fix it.
std::string failure_line(const std::string &name, long hr) {
    const char *words = failure_words(hr);
    char line[80];
    if (!words) {
        std::snprintf(line, sizeof line, "Camera error 0x%08lX: showing test pattern", hresult_bits(hr));
        return line;
    }
    std::string text = camera_line(name, words, ": showing test pattern");
    std::fprintf(stderr, "Lumivex: %s\n", text.c_str());
#ifndef _WIN32
    if (hresult_bits(hr) == 0x80070005UL)
        std::fprintf(stderr,
                     "Lumivex: cameras belong to the 'video' group: sudo usermod -aG video \"$USER\", "
                     "then log in again\n");
#endif
    return text;
}

// Takes a new camera size and creates every frame-sized buffer for it, under
// the frame lock; nothing may be delivering frames.
void setup_frame_buffers(int width, int height) {
    std::lock_guard<std::recursive_mutex> lock(frame_lock);
    camera_x_size = width;
    camera_y_size = height;
    camera_make_buffers();
}

// Connects the camera called camera_name again after it was lost; quietly
// does nothing while it is not back.
void reconnect() {
    VideoCapture *fresh = nullptr;
    try {
        fresh = new VideoCapture(frame_callback, false);
    } catch (...) {
        return;
    }
    VideoDevice *device = nullptr;
    for (int i = 0; i < fresh->NumDevices(); ++i) {
        if (camera_name == fresh->GetDevices()[i].GetFriendlyName()) device = &fresh->GetDevices()[i];
    }
    int width = 0;
    int height = 0;
    try {
        if (!device) throw 0L;
        capture_call([&] {
            fresh->wanted_width = requested_width;
            fresh->wanted_height = requested_height;
            fresh->Select(device);
            fresh->GetSize(width, height);
        });
        if (width <= 0 || height <= 0) throw 0L;
    } catch (long) {
        delete fresh;
        return;
    }
    pattern_stop();
    setup_frame_buffers(width, height);
    try {
        capture_call([&] { fresh->Start(); });
    } catch (long hr) {
        delete fresh;
        add_line(failure_line(camera_name, hr).c_str());
        if (!pattern_start(frame_callback, camera_x_size, camera_y_size))
            add_line("Unable to start test pattern");
        return;
    }
    // The old graph stopped when its device was lost.
    delete vc;
    vc = fresh;
    devices = vc->GetDevices();
    graph_started = true;
    camera_state = CameraState::streaming;
    last_frame_seen = std::chrono::steady_clock::now();
    stall_reported = false;
    apply_controls(*device, requested_controls);
    std::string line = camera_line(camera_name, "reconnected", "");
    std::fprintf(stderr, "Lumivex: %s\n", line.c_str());
    add_line(line.c_str());
}

// Whether a camera called camera_name is among the devices listed now.
bool camera_listed() {
    VideoCapture *listing = nullptr;
    try {
        listing = new VideoCapture(frame_callback, false);
    } catch (...) {
        return false;
    }
    bool found = false;
    for (int i = 0; i < listing->NumDevices(); ++i) {
        if (camera_name == listing->GetDevices()[i].GetFriendlyName()) found = true;
    }
    delete listing;
    return found;
}

// The camera in use is gone: says so, stops its graph (whose streaming has
// ended) and lets the pattern take over at the camera's size, with the
// buffers as they are; reconnecting is tried from now on.
void lose_camera() {
    graph_started = false;
    try {
        vc->Stop();
    } catch (long) {
    }
    camera_state = CameraState::lost;
    std::string line = camera_line(camera_name, "lost", ": showing test pattern");
    std::fprintf(stderr, "Lumivex: %s\n", line.c_str());
    add_line(line.c_str());
    if (!pattern_start(frame_callback, camera_x_size, camera_y_size))
        add_line("Unable to start test pattern");
    next_reconnect = std::chrono::steady_clock::now() + reconnect_period;
}

}  // namespace

void camera_setup_buffer() {
    // A display on another thread may be reading the buffer.
    std::lock_guard<std::recursive_mutex> lock(frame_lock);
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

void camera_make_buffers() {
    // One step for the delivery and window threads: they never see some
    // buffers made for the new size and others for the old.
    std::lock_guard<std::recursive_mutex> lock(frame_lock);
    camera_setup_buffer();
    process_start();
    canny_start();
    rc_filter_start();
}

void camera_create() {
    capture_failure = 0;
    try {
        capture_call([] { vc = new VideoCapture(frame_callback); });
    } catch (long hr) {
        vc = nullptr;
        capture_failure = hr;
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
        if (camera_choice >= 0 && camera_choice < vc->NumDevices())
            camera_name = devices[camera_choice].GetFriendlyName();
        try {
            capture_call([] {
                vc->wanted_width = requested_width;
                vc->wanted_height = requested_height;
                vc->Select(devices + camera_choice);
                vc->GetSize(camera_x_size, camera_y_size);
            });
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
                std::snprintf(message, sizeof message, "%s", failure_line(camera_name, hr).c_str());
            }
        }
    }
    if (!use_camera) {
        camera_x_size = pattern_width;
        camera_y_size = pattern_height;
    }

    camera_make_buffers();

    if (use_camera) {
        try {
            capture_call([] { vc->Start(); });
            start_controls(devices[camera_choice], requested_controls);
            graph_started = true;
            camera_state = CameraState::streaming;
            last_frame_seen = std::chrono::steady_clock::now();
            stall_reported = false;
        } catch (long hr) {
            std::snprintf(message, sizeof message, "%s", failure_line(camera_name, hr).c_str());
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

void camera_watch() {
    auto now = std::chrono::steady_clock::now();
    if (camera_state == CameraState::streaming) {
        unsigned taken = frames_taken.load();
        if (taken != frames_seen) {
            frames_seen = taken;
            last_frame_seen = now;
            stall_reported = false;
        } else if (!stall_reported && now - last_frame_seen >= stall_time) {
            stall_reported = true;
            // Where the platform sends no event for an unplugged camera, its
            // absence from the device list tells.
            if (!camera_listed()) {
                lose_camera();
                return;
            }
            std::string line = camera_line(camera_name, "no picture", "");
            std::fprintf(stderr, "Lumivex: %s\n", line.c_str());
            add_line(line.c_str());
        }
    }
    if (camera_state == CameraState::streaming && vc && vc->DeviceLost()) {
        lose_camera();
    } else if (camera_state == CameraState::lost && now >= next_reconnect) {
        next_reconnect = now + reconnect_period;
        reconnect();
    }
}

void camera_stop() {
    camera_state = CameraState::none;
    // Neither stop may hold frame_lock: each waits for a delivery thread
    // that may be waiting for it.
    pattern_stop();
    if (graph_started && vc) {
        graph_started = false;
        try {
            capture_call([] { vc->Stop(); });
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

bool camera_take_frame(const unsigned char *data, int length, int bits) {
    if (!camera_buffer || !data || bits != 24 || length < 0) return false;
    if (camera_x_size <= 0 || camera_y_size <= 0) return false;
    // Sample rows are padded to 4 bytes; frame rows are not.
    const size_t row = static_cast<size_t>(camera_x_size) * 3;
    const size_t stride = dib_stride(static_cast<size_t>(camera_x_size));
    if (static_cast<size_t>(length) < stride * static_cast<size_t>(camera_y_size)) return false;
    unsigned char *frame = reinterpret_cast<unsigned char *>(camera_buffer);
    if (row == stride) {
        std::memcpy(frame, data, row * static_cast<size_t>(camera_y_size));
    } else {
        for (int y = 0; y < camera_y_size; ++y) std::memcpy(frame + row * y, data + stride * y, row);
    }
    return true;
}

void frame_callback(unsigned char *data, int length, int bits) {
    std::lock_guard<std::recursive_mutex> lock(frame_lock);
    if (!camera_take_frame(data, length, bits)) return;
    frames_taken.fetch_add(1, std::memory_order_relaxed);
    frame_ready();
}
