// The frame pipeline: frame buffers, filter switches, thresholds, kernels
// and the fixed-order filter chain run once per captured frame.
#pragma once

#include <atomic>
#include <mutex>

#include "filters/filters.h"

static_assert(sizeof(std::atomic<bool>) == 1, "filter flags must stay one byte");

// Filter switches, in pipeline order.
extern std::atomic<bool> filter_gauss;
extern std::atomic<bool> filter_rc;
extern std::atomic<bool> filter_sharpness;
extern std::atomic<bool> filter_canny;
extern std::atomic<bool> filter_edgefast;
extern std::atomic<bool> filter_laplace;
extern std::atomic<bool> filter_sobel;
extern std::atomic<bool> filter_comboedge;
extern std::atomic<bool> filter_average;
extern std::atomic<bool> filter_emboss;
extern std::atomic<bool> filter_threshold;
extern std::atomic<bool> filter_erode;
extern std::atomic<bool> filter_reduceedge;
extern std::atomic<bool> filter_tracking;

// Difference view of the tracking filter.
extern std::atomic<bool> d_frame;

extern std::atomic<double> threshold_1;  // starts at 42
extern std::atomic<double> threshold_2;  // starts at 260

// Buffers owned by this module, one frame each, null while absent.
extern color_type *last_frame;  // previous frame for average and tracking
extern color_type *temp_frame;  // second work buffer, snapshot staging
extern color_type *save_frame;  // unfiltered frame of the current run

// Serialises every use of the frame buffers and every drawing into main_dc
// between the delivery thread and the window thread. Recursive, so that a
// holder may call add_line (which redraws the strip) without deadlock.
extern std::recursive_mutex frame_lock;

// Releases last_frame, temp_frame, save_frame, publishes camera_x_size x
// camera_y_size as the geometry and creates the three for it. On failure
// adds "Unable to create display buffer"; the buffers not made stay null
// (the geometry is the new one all the same, so no buffer of another size
// is ever used with it).
void process_start();
// Releases the three buffers; harmless when they are absent.
void process_stop();
// Zeroes camera_buffer, temp_frame, last_frame and save_frame (the ones that exist).
void clear_buffers();
void swap(color_type *&a, color_type *&b);
// Runs the enabled filters over camera_buffer; the result ends in
// camera_buffer with a copy in temp_frame. Caller holds frame_lock.
void process_frame();
// Adds the "Filters: ..." line naming the enabled filters.
void show_filters();
