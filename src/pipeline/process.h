// The frame pipeline: the frame store (every frame-sized buffer, the
// geometry and the frame lock), the filter settings, and the fixed-order
// filter chain run once per captured frame.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "common/status_log.h"
#include "filters/filters.h"
#include "platform/win32.h"

static_assert(sizeof(std::atomic<bool>) == 1, "filter flags must stay one byte");

// Filter switches, thresholds and modes: written by the key handler on the
// window thread, read by the chain on the delivery thread.
struct FilterSettings {
    // Filter switches, in pipeline order.
    std::atomic<bool> filter_gauss{false};
    std::atomic<bool> filter_rc{false};
    std::atomic<bool> filter_sharpness{false};
    std::atomic<bool> filter_canny{false};
    std::atomic<bool> filter_edgefast{false};
    std::atomic<bool> filter_laplace{false};
    std::atomic<bool> filter_sobel{false};
    std::atomic<bool> filter_comboedge{false};
    std::atomic<bool> filter_average{false};
    std::atomic<bool> filter_emboss{false};
    std::atomic<bool> filter_threshold{false};
    std::atomic<bool> filter_erode{false};
    std::atomic<bool> filter_reduceedge{false};
    std::atomic<bool> filter_tracking{false};

    std::atomic<bool> d_frame{false};  // difference view of the tracking filter
    std::atomic<double> threshold_1{42.0};
    std::atomic<double> threshold_2{260.0};
    std::atomic<bool> fast_capture{false};  // the picture shown (and saved) upside down
};

// Every frame-sized buffer and the geometry they share, and the lock that
// serialises their use (and every drawing into the window) between the
// delivery thread and the window thread. The lock is never taken twice:
// adding a status line draws nothing.
struct FrameStore {
    std::mutex frame_lock;
    // Threads other than the delivery thread waiting for frame_lock; the
    // delivery thread lets them go first (pipeline/frame_lock.h).
    std::atomic<int> lock_waiters{0};
    // Geometry (frames.size_x, frames.size_y, set only by process_start),
    // last_frame, save_frame and the stateful filters' buffers.
    frame_set frames;
    color_type *temp_frame = nullptr;  // second work buffer, snapshot staging
    // The camera's frame (input and finished output) at the camera's size,
    // and the bitmap header that describes it.
    int camera_x_size = 0;
    int camera_y_size = 0;
    color_type *camera_buffer = nullptr;
    BITMAPINFO camera_buffer_info{};
    // Edge reduction's per-column classes in the banded chain, one byte per
    // column; a wider frame runs that step over the whole frame instead.
    static const unsigned int banded_columns = 16384;
    uint8_t column_classes[banded_columns] = {};
    // Rows per band of the chain; 0: its own choice (tests cut small frames
    // into many bands).
    unsigned int chain_band_rows = 0;
    // Set when the program shuts down, from the window thread, never cleared:
    // the frame in hand is cut short (its chain starts no more work) and the
    // frames after it are not processed, so stopping the camera does not
    // wait for a slow chain.
    std::atomic<bool> stopping{false};
};

// Releases last_frame, temp_frame, save_frame, publishes camera_x_size x
// camera_y_size as the geometry and creates the three for it. On failure
// adds "Unable to create display buffer"; the buffers not made stay null
// (the geometry is the new one all the same, so no buffer of another size
// is ever used with it). The caller holds the frame lock.
void process_start(FrameStore &store, StatusLog &log);
// Releases the three buffers; harmless when they are absent.
void process_stop(FrameStore &store);
// Zeroes camera_buffer, temp_frame, last_frame and save_frame (the ones that exist).
void clear_buffers(FrameStore &store);
void swap(color_type *&a, color_type *&b);
// Runs the enabled filters over camera_buffer; the result ends in
// camera_buffer with a copy in temp_frame. The caller holds the frame lock.
// Returns false when store.stopping cut it short or kept it from starting:
// the buffers then hold a half-made frame, not to be shown.
bool process_frame(FrameStore &store, const FilterSettings &settings);
// Adds the "Filters: ..." line naming the enabled filters.
void show_filters(const FilterSettings &settings, StatusLog &log);
