// The pipeline as the program sets it up for a camera, in one object a test
// owns, and the chain's fourteen filters as whole-frame calls with the
// chain's arguments, the record the banded chain is compared with.
#pragma once

#include <atomic>
#include <vector>

#include "pipeline/process.h"

struct WholeFrameStep {
    const char *name;
    std::atomic<bool> FilterSettings::*flag;
    void (*run)(const frame_set &f, const FilterSettings &settings, color_type *source,
                color_type *destination);
};
// In chain order.
extern const WholeFrameStep whole_frame_steps[14];

void set_all_filters(FilterSettings &settings, bool on);

// A frame store with the camera buffer and its header, the pipeline's
// buffers and Canny's and the RC filter's, made as the camera makes them
// for its size; the lines the starts return go to the log.
struct PipelineRig {
    FrameStore store;
    FilterSettings settings;
    StatusLog log;

    PipelineRig() = default;
    PipelineRig(const PipelineRig &) = delete;
    PipelineRig &operator=(const PipelineRig &) = delete;
    ~PipelineRig() { stop(); }
    void start(int width, int height);
    // Frees every buffer; harmless twice.
    void stop();
    // One frame through process_frame, under the frame lock.
    void run();
    frame_set &frames() { return store.frames; }
    size_t pixels() const { return store.frames.pixels(); }
    // The bytes of one of the store's frames.
    std::vector<unsigned char> bytes(const color_type *frame) const;
};
