#include "capture/camera.h"

#include <algorithm>
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
#include "capture/status_lines.h"
#include "common/buffer.h"
#include "filters/canny.h"
#include "filters/rc_filter.h"
#include "pipeline/frame_lock.h"
#include "pipeline/process.h"
#include "platform/dib.h"

namespace {

// The camera whose graph or pattern delivers frames: the platform's frame
// function is a plain function with no context of its own.
std::atomic<Camera *> delivering_camera{nullptr};

void deliver(unsigned char *data, int length, int bits) {
    Camera *camera = delivering_camera.load();
    if (camera) camera->frame_callback(data, length, bits);
}

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

const std::chrono::milliseconds reconnect_period(1000);
const std::chrono::seconds stall_time(2);
// The longest wait between attempts to connect a camera that keeps failing,
// and the frames after which a (re)connected camera counts as streaming well.
const std::chrono::milliseconds longest_retry(30000);
const unsigned frames_streaming_well = 10;

// The line for a camera that could not be used: a sentence when the failure
// is known, else its code. On standard error as well, with a hint where the
// user can fix it.
}  // namespace

std::string Camera::failure_line(const std::string &name, long hr) {
    const char *words = failure_words(hr);
    char line[80];
    if (!words) {
        std::snprintf(line, sizeof line, "Camera error 0x%08lX: showing test pattern", hresult_bits(hr));
        return line;
    }
    std::string text = camera_line(name, words, "");
    std::fprintf(stderr, "lumivex: %s\n", camera_line(name, words, pattern_tail, whole_name).c_str());
#ifndef _WIN32
    if (hresult_bits(hr) == 0x80070005UL)
        std::fprintf(stderr,
                     "lumivex: cameras belong to the 'video' group: sudo usermod -aG video \"$USER\", "
                     "then log in again\n");
#endif
    return text;
}

// When an option asked for a format, size or rate: what the camera sends, on
// standard error, and on the strip when it is not what was asked for.
void Camera::report_format() {
    FormatRequest request;
    request.fourcc = request_.requested_format;
    request.width = request_.requested_width;
    request.height = request_.requested_height;
    request.fps = request_.requested_fps;
    if (!request.any() || vc->obtained.width <= 0) return;
    std::string sends = describe_format(vc->obtained);
    std::string differs = format_difference(vc->obtained, request);
    std::fprintf(stderr, "lumivex: %s\n",
                 camera_line(camera_name_, sends.c_str(), differs.c_str(), whole_name).c_str());
    if (!differs.empty()) log_.add_line(format_line(sends).c_str());
}

// Takes a new camera size and creates every frame-sized buffer for it, under
// the frame lock; nothing may be delivering frames.
void Camera::setup_frame_buffers(int width, int height) {
    FrameLock lock(store_);
    store_.camera_x_size = width;
    store_.camera_y_size = height;
    make_buffers();
}

// Connects the camera called camera_name_ again after it was lost; quietly
// does nothing while it is not back.
void Camera::reconnect() {
    VideoCapture *fresh = nullptr;
    try {
        fresh = new VideoCapture(deliver);
    } catch (...) {
        return;
    }
    VideoDevice *device = nullptr;
    for (int i = 0; i < fresh->NumDevices(); ++i) {
        if (camera_name_ == fresh->GetDevices()[i].GetFriendlyName()) device = &fresh->GetDevices()[i];
    }
    int width = 0;
    int height = 0;
    try {
        if (!device) throw 0L;
        capture_call([&] {
            fresh->wanted_width = request_.requested_width;
            fresh->wanted_height = request_.requested_height;
            fresh->wanted_format = request_.requested_format;
            fresh->wanted_fps = request_.requested_fps;
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
        log_.add_line(failure_line(camera_name_, hr).c_str());
        if (!pattern_start(deliver, store_.camera_x_size, store_.camera_y_size))
            log_.add_line("Unable to start test pattern");
        return;
    }
    // The old graph stopped when its device was lost.
    delete vc;
    vc = fresh;
    devices = vc->GetDevices();
    streaming_started();
    apply_controls(*device, request_.controls, log_);
    std::fprintf(stderr, "lumivex: %s\n", camera_line(camera_name_, "reconnected", "", whole_name).c_str());
    log_.add_line(camera_line(camera_name_, "reconnected", "").c_str());
}

// Whether a camera called camera_name_ is among the devices listed now.
bool Camera::camera_listed() {
    VideoCapture *listing = nullptr;
    try {
        listing = new VideoCapture(deliver);
    } catch (...) {
        return false;
    }
    bool found = false;
    for (int i = 0; i < listing->NumDevices(); ++i) {
        if (camera_name_ == listing->GetDevices()[i].GetFriendlyName()) found = true;
    }
    delete listing;
    return found;
}

// The camera in use is gone: says so, stops its graph (whose streaming has
// ended) and lets the pattern take over at the camera's size, with the
// buffers as they are; reconnecting is tried from now on.
void Camera::lose_camera() {
    graph_started_ = false;
    try {
        vc->Stop();
    } catch (long) {
    }
    camera_state_ = CameraState::lost;
    std::fprintf(stderr, "lumivex: %s\n", camera_line(camera_name_, "lost", pattern_tail, whole_name).c_str());
    log_.add_line(camera_line(camera_name_, "lost", "").c_str());
    if (!pattern_start(deliver, store_.camera_x_size, store_.camera_y_size))
        log_.add_line("Unable to start test pattern");
    next_reconnect_ = std::chrono::steady_clock::now() + retry_delay();
}

// The wait before looking for a lost camera: a second, doubled (up to
// longest_retry) for each loss in a row that came before it streamed well.
std::chrono::milliseconds Camera::retry_delay() {
    if (frames_taken_.load() - frames_at_connect_ >= frames_streaming_well) {
        quick_losses_ = 0;
        retries_told_ = false;
    }
    std::chrono::milliseconds delay = reconnect_period;
    for (unsigned i = 0; i < quick_losses_ && delay < longest_retry; ++i) delay *= 2;
    ++quick_losses_;
    if (delay > reconnect_period && !retries_told_) {
        retries_told_ = true;
        std::fprintf(stderr, "lumivex: %s\n",
                     camera_line(camera_name_, "keeps failing", ": retrying less often", whole_name).c_str());
        log_.add_line(camera_line(camera_name_, "retrying less often", "").c_str());
    }
    return std::min(delay, longest_retry);
}

void Camera::streaming_started() {
    graph_started_ = true;
    camera_state_ = CameraState::streaming;
    last_frame_seen_ = std::chrono::steady_clock::now();
    stall_reported_ = false;
    frame_gap_ = {};
    frames_at_connect_ = frames_taken_.load();
}

void Camera::camera_setup_buffer() {
    if (store_.camera_buffer) {
        buffer_free(store_.camera_buffer);
        store_.camera_buffer = nullptr;
    }
    // A negative size from the device would wrap; treat it as unallocatable.
    if (store_.camera_x_size < 0 || store_.camera_y_size < 0) {
        log_.add_line("Unable to create camera buffer");
        return;
    }
    size_t bytes = static_cast<size_t>(store_.camera_x_size) * static_cast<size_t>(store_.camera_y_size) * 3;
    store_.camera_buffer = static_cast<color_type *>(buffer_alloc(bytes));
    if (!store_.camera_buffer) {
        log_.add_line("Unable to create camera buffer");
        return;
    }
    std::memset(&store_.camera_buffer_info, 0, sizeof store_.camera_buffer_info);
    BITMAPINFOHEADER &h = store_.camera_buffer_info.bmiHeader;
    h.biSize = sizeof(BITMAPINFOHEADER);
    h.biWidth = store_.camera_x_size;
    h.biHeight = store_.camera_y_size;
    h.biPlanes = 1;
    h.biBitCount = 24;
    h.biCompression = BI_RGB;
    h.biSizeImage = static_cast<DWORD>(bytes);
}

void Camera::camera_make_buffers() {
    // One step for the delivery and window threads: they never see some
    // buffers made for the new size and others for the old.
    FrameLock lock(store_);
    make_buffers();
}

void Camera::make_buffers() {
    camera_setup_buffer();
    process_start(store_, log_);
    if (const char *failure = canny_start(store_.frames)) log_.add_line(failure);
    if (const char *failure = rc_filter_start(store_.frames)) log_.add_line(failure);
}

void Camera::camera_create(void (*announce)(const char *name)) {
    capture_failure_ = 0;
    created_ = true;
    try {
        capture_call([&] { vc = new VideoCapture(deliver, announce); });
    } catch (long hr) {
        vc = nullptr;
        capture_failure_ = hr;
    }
    devices = vc ? vc->GetDevices() : nullptr;
}

void Camera::camera_start(const CameraRequest &request) {
    request_ = request;
    // Frames from the graph and the pattern come to this camera from now on.
    delivering_camera = this;
    char message[80] = "";
    bool use_camera = false;
    if (!vc) {
        std::snprintf(message, sizeof message, "Camera error 0x%08lX: showing test pattern",
                      hresult_bits(capture_failure_));
    } else {
        if (request_.camera_choice >= 0 && request_.camera_choice < vc->NumDevices())
            camera_name_ = devices[request_.camera_choice].GetFriendlyName();
        try {
            capture_call([&] {
                vc->wanted_width = request_.requested_width;
                vc->wanted_height = request_.requested_height;
                vc->wanted_format = request_.requested_format;
                vc->wanted_fps = request_.requested_fps;
                vc->Select(devices + request_.camera_choice);
                vc->GetSize(store_.camera_x_size, store_.camera_y_size);
            });
            report_format();
            use_camera = store_.camera_x_size > 0 && store_.camera_y_size > 0;
            if (!use_camera) {
                // A negative height is a top-down source, which this program
                // does not take; either way the device is let go.
                std::snprintf(
                    message, sizeof message, "%s: showing test pattern",
                    store_.camera_y_size < 0 ? "Camera sends top-down frames" : "Camera has no frame size");
                vc->Disconnect();
            }
        } catch (long hr) {
            if (hr == E_INVALIDARG && vc->NumDevices() == 0) {
                std::snprintf(message, sizeof message, "No camera found: showing test pattern");
            } else {
                std::snprintf(message, sizeof message, "%s", failure_line(camera_name_, hr).c_str());
            }
        }
    }
    if (!use_camera) {
        store_.camera_x_size = pattern_width;
        store_.camera_y_size = pattern_height;
    }

    camera_make_buffers();

    if (use_camera) {
        try {
            capture_call([&] { vc->Start(); });
            start_controls(devices[request_.camera_choice], request_.controls, log_);
            streaming_started();
        } catch (long hr) {
            std::snprintf(message, sizeof message, "%s", failure_line(camera_name_, hr).c_str());
            use_camera = false;
        }
    }
    if (!use_camera) {
        log_.add_line(message);
        // The pattern takes the size the buffers were made for.
        if (!pattern_start(deliver, store_.camera_x_size, store_.camera_y_size))
            log_.add_line("Unable to start test pattern");
    }
}

void Camera::camera_watch() {
    auto now = std::chrono::steady_clock::now();
    if (camera_state_ == CameraState::streaming) {
        unsigned taken = frames_taken_.load();
        if (taken != frames_seen_) {
            frames_seen_ = taken;
            frame_gap_ = now - last_frame_seen_;
            last_frame_seen_ = now;
            stall_reported_ = false;
        } else if (!stall_reported_ &&
                   now - last_frame_seen_ >=
                       std::max<std::chrono::steady_clock::duration>(stall_time, 2 * frame_gap_)) {
            stall_reported_ = true;
            // Where the platform sends no event for an unplugged camera, its
            // absence from the device list tells.
            if (!camera_listed()) {
                lose_camera();
                return;
            }
            std::fprintf(stderr, "lumivex: %s\n",
                         camera_line(camera_name_, "no picture", "", whole_name).c_str());
            log_.add_line(camera_line(camera_name_, "no picture", "").c_str());
        }
    }
    if (camera_state_ == CameraState::streaming && vc && vc->DeviceLost()) {
        lose_camera();
    } else if (camera_state_ == CameraState::lost && now >= next_reconnect_) {
        next_reconnect_ = now + reconnect_period;
        reconnect();
    }
}

void Camera::camera_stop() {
    camera_state_ = CameraState::none;
    // Neither stop may hold frame_lock: each waits for a delivery thread
    // that may be waiting for it.
    pattern_stop();
    if (graph_started_ && vc) {
        graph_started_ = false;
        try {
            capture_call([&] { vc->Stop(); });
        } catch (long hr) {
            char message[80];
            std::snprintf(message, sizeof message, "Camera error 0x%08lX while stopping", hresult_bits(hr));
            log_.add_line(message);
        }
    }
    // Under the lock, a frame that still arrives (a graph that failed to
    // stop) finds no buffer and is ignored.
    FrameLock lock(store_);
    if (store_.camera_buffer) {
        buffer_free(store_.camera_buffer);
        store_.camera_buffer = nullptr;
    }
    process_stop(store_);
    canny_stop(store_.frames);
    rc_filter_stop(store_.frames);
}

bool Camera::camera_take_frame(const unsigned char *data, int length, int bits) {
    if (!store_.camera_buffer || !data || bits != 24 || length < 0) return false;
    if (store_.camera_x_size <= 0 || store_.camera_y_size <= 0) return false;
    // Sample rows are padded to 4 bytes; frame rows are not.
    const size_t row = static_cast<size_t>(store_.camera_x_size) * 3;
    const size_t stride = dib_stride(static_cast<size_t>(store_.camera_x_size));
    if (static_cast<size_t>(length) < stride * static_cast<size_t>(store_.camera_y_size)) return false;
    unsigned char *frame = reinterpret_cast<unsigned char *>(store_.camera_buffer);
    if (row == stride) {
        std::memcpy(frame, data, row * static_cast<size_t>(store_.camera_y_size));
    } else {
        for (int y = 0; y < store_.camera_y_size; ++y) std::memcpy(frame + row * y, data + stride * y, row);
    }
    return true;
}

void Camera::frame_callback(unsigned char *data, int length, int bits) {
    DeliveryLock lock(store_);
    if (!camera_take_frame(data, length, bits)) return;
    frames_taken_.fetch_add(1, std::memory_order_relaxed);
    sink_.frame_ready();
}

Camera::Camera(FrameStore &store, StatusLog &log, FrameSink &sink) : store_(store), log_(log), sink_(sink) {}

Camera::~Camera() {
    camera_stop();
    Camera *self = this;
    delivering_camera.compare_exchange_strong(self, nullptr);
    delete vc;
}
