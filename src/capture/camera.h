// Camera intake: the capture object and its device table, the camera
// buffer's life, start and stop of everything frame-sized, the watch over
// a lost or silent camera, and the frame callback that takes each frame
// into the frame store and hands it on.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include "capture/controls.h"
#include "common/status_log.h"
#include "pipeline/process.h"

class VideoCapture;
class VideoDevice;

// Told of every frame taken into store.camera_buffer, on the delivery
// thread, with the frame lock held.
class FrameSink {
  public:
    virtual void frame_ready() = 0;

  protected:
    ~FrameSink() = default;
};

// What the user asked of the camera.
struct CameraRequest {
    int camera_choice = 0;    // index into the device table (0: the first)
    int requested_width = 0;  // 0 x 0: the camera's own choice
    int requested_height = 0;
    uint32_t requested_format = 0;  // FOURCC; 0: the camera's own choice
    double requested_fps = 0;       // 0: the camera's own choice
    ControlRequests controls;       // set when the camera starts and again after a reconnect
};

class Camera {
  public:
    Camera(FrameStore &store, StatusLog &log, FrameSink &sink);
    ~Camera();
    Camera(const Camera &) = delete;
    Camera &operator=(const Camera &) = delete;

    // Builds the capture object (vc) and takes its device list (devices),
    // telling `announce` each device's name. A failure leaves vc null and is
    // reported by camera_start. Tests may delete vc and call it again.
    void camera_create(void (*announce)(const char *name) = nullptr);
    // Whether camera_create has run (whatever it found).
    bool camera_created() const { return created_; }
    // (Re)creates camera_buffer for the store's camera size and fills
    // camera_buffer_info; on failure adds "Unable to create camera buffer".
    // The caller holds the frame lock.
    void camera_setup_buffer();
    // (Re)creates every frame-sized buffer for the store's camera size: the
    // camera buffer, the pipeline's, Canny's and the RC filter's, in that
    // order. Each one that cannot be made adds its status line.
    void camera_make_buffers();
    // Connects the requested device and starts it, or, when none can be
    // connected, the test pattern; creates every frame buffer on the way. A
    // failure shows as a status line, never ends the program.
    void camera_start(const CameraRequest &request);
    // Called on the window thread a few times a second: reports a streaming
    // camera silent since its last frame for two seconds, or twice its own
    // pace if slower (once per silence), or treats it as lost when it is no
    // longer listed; when the camera in use was lost (the graph's
    // EC_DEVICE_LOST), says so and lets the test pattern take over at the
    // same size; then looks for the same camera (by name) and connects it
    // again: a second after the loss, and after 2, 4 ... 30 s when it is lost
    // again before it streamed well (said once).
    void camera_watch();
    // Stops the graph or the pattern (without the frame lock held), then
    // releases every frame buffer. Harmless when repeated.
    void camera_stop();
    // The intake copy: one 24-bit frame (rows padded to 4 bytes in `data`)
    // into camera_buffer. False, copying nothing, for a sample shorter than one
    // frame, not 24-bit, or while camera_buffer is missing. The caller holds
    // the frame lock.
    bool camera_take_frame(const unsigned char *data, int length, int bits);
    // A frame from the graph or the pattern: taken in and handed to the sink,
    // all under the frame lock. A sample that is shorter than one frame, not
    // 24-bit, or comes while camera_buffer is missing is ignored.
    void frame_callback(unsigned char *data, int length, int bits);

    VideoCapture *vc = nullptr;
    VideoDevice *devices = nullptr;

  private:
    enum class CameraState { none, streaming, lost };
    void setup_frame_buffers(int width, int height);
    // camera_make_buffers with the frame lock held.
    void make_buffers();
    void reconnect();
    bool camera_listed();
    void lose_camera();
    std::chrono::milliseconds retry_delay();
    std::string failure_line(const std::string &name, long hr);
    bool start_pattern();
    void report_format();
    // The graph runs: the watch starts over (a silence counts from now).
    void streaming_started();

    FrameStore &store_;
    StatusLog &log_;
    FrameSink &sink_;
    CameraRequest request_;
    bool created_ = false;
    // Why the capture object could not be built (an HRESULT), kept until
    // camera_start can show it.
    long capture_failure_ = 0;
    // The graph was started, so camera_stop owes it a Stop.
    bool graph_started_ = false;
    // The camera frames come from: none (the test pattern from the start), the
    // camera, or the pattern standing in for a camera that was lost.
    CameraState camera_state_ = CameraState::none;
    // The name of the camera in use or lost, to find it again.
    std::string camera_name_;
    std::chrono::steady_clock::time_point next_reconnect_;
    // Frames taken in, and when camera_watch last saw the count move: a
    // streaming camera silent for two seconds is reported once.
    std::atomic<unsigned> frames_taken_{0};
    unsigned frames_seen_ = 0;
    std::chrono::steady_clock::time_point last_frame_seen_;
    // The time between the last two frames seen: a camera slower than two
    // seconds a frame is not silent between its frames.
    std::chrono::steady_clock::duration frame_gap_{};
    bool stall_reported_ = false;
    // Losses in a row of a camera that had not streamed well since it was
    // (re)connected, from frames_taken_ then; each doubles the wait before
    // the next attempt. Whether the slower retries were told.
    unsigned quick_losses_ = 0;
    unsigned frames_at_connect_ = 0;
    bool retries_told_ = false;
};
