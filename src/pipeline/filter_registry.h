// The one list of the fourteen filters: their keys, their names on the
// "Filters:" line, their switches, their place in the chain and in the
// presets, and how each runs as a chain step. The key handler, show_filters,
// the chain and the presets all read it; a new filter is one entry here.
#pragma once

#include <atomic>
#include <cstdint>

#include "filters/filters.h"
#include "pipeline/process.h"

// What a step maker needs: the frames, the two work buffers as this step
// sees them, and the values the step reads once.
struct chain_args {
    const frame_set &frames;
    color_type *source;
    color_type *destination;
    double threshold_1;
    double threshold_2;
    bool d_frame;
    uint8_t *column_classes;      // edge reduction's per-column classes, or null
    std::atomic<uint64_t> *sums;  // tracking's three totals
};

struct filter_entry {
    unsigned char key;                        // its key (upper-case letter or main-row digit)
    std::atomic<bool> FilterSettings::*flag;  // its switch
    const char *name;                         // its text on the "Filters:" line
    int overlay;                              // its place on that line
    // The presets: V sets `preset_on` filters on and the other listed ones
    // off; B sets every listed one off. Unlisted ones are left alone.
    bool in_presets;
    bool preset_on;
    // Writes the filter's banded form to `steps` and returns how many steps
    // it took (0: it has none here), or, given no steps, runs it over the
    // whole frame and returns 1.
    unsigned int (*make)(const chain_args &args, filter_rows *steps);
    // Run once every row of the step is done, before any later step starts
    // (the tracker's crosshair); null for most filters.
    void (*finish)(const filter_rows &step);
};

const int filter_count = 14;
// In chain order.
extern const filter_entry filter_registry[filter_count];
