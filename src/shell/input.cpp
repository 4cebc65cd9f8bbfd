#include "shell/input.h"

#include <cstdio>

#include "capture/camera.h"
#include "display/display.h"
#include "pipeline/bitmap.h"
#include "pipeline/process.h"
#include "shell/main.h"

bool keys[256];

namespace {

const unsigned int key_escape = 27;
const double threshold_min = 0.0;
const double threshold_max = 511.0;

struct Toggle {
    unsigned char key;
    std::atomic<bool> *flag;
};

// Single-filter keys, in the order they are applied.
const Toggle toggles[] = {
    {'1', &filter_gauss},     {'2', &filter_rc},       {'3', &filter_sharpness},  {'4', &filter_edgefast},
    {'5', &filter_laplace},   {'6', &filter_sobel},    {'7', &filter_emboss},     {'8', &filter_threshold},
    {'9', &filter_erode},     {'0', &filter_tracking}, {'E', &filter_reduceedge}, {'Y', &filter_average},
    {'U', &filter_comboedge}, {'I', &filter_canny},
};

// The flags the two presets set (average and canny are left alone).
void apply_preset(bool gauss, bool laplace, bool erode) {
    filter_gauss = gauss;
    filter_rc = false;
    filter_sharpness = false;
    filter_edgefast = false;
    filter_laplace = laplace;
    filter_sobel = false;
    filter_emboss = false;
    filter_threshold = false;
    filter_erode = erode;
    filter_tracking = false;
    filter_reduceedge = false;
    filter_comboedge = false;
}

bool invert(std::atomic<bool> &flag) {
    // Only the window thread writes the flags, so load-then-store cannot lose a change.
    bool now = !flag.load();
    flag = now;
    return now;
}

double clamp_threshold(double value) {
    if (value < threshold_min) return threshold_min;
    if (value > threshold_max) return threshold_max;
    return value;
}

void add_threshold_lines() {
    threshold_1 = clamp_threshold(threshold_1);
    threshold_2 = clamp_threshold(threshold_2);
    char line[80];
    std::snprintf(line, sizeof line, "Threshold1: %5.2f", threshold_1.load());
    add_line(line);
    std::snprintf(line, sizeof line, "Threshold2: %5.2f", threshold_2.load());
    add_line(line);
}

}  // namespace

void key_down(unsigned int key) {
    keys[key & 0xff] = true;

    // Shutting down does not end the handling of this key.
    if (key == key_escape) system_shutdown();

    if (keys['V']) {
        threshold_1 = 240.0;
        apply_preset(true, true, true);
    }
    if (keys['B']) apply_preset(false, false, false);

    // Every held filter key acts again on every key-down.
    bool toggled = false;
    for (const Toggle &t : toggles) {
        if (keys[t.key]) {
            invert(*t.flag);
            toggled = true;
        }
    }
    if (toggled) show_filters();

    switch (key) {
        case 'F':
            invert(display_fps);
            break;
        case 'D':
            add_line(invert(d_frame) ? "Show difference" : "Show normal");
            break;
        case 'G':
            add_line(invert(fast_capture) ? "Fast Capture" : "Slow Capture");
            clear_buffers();
            break;
        case 'R':
            save_to_disk();
            break;
        case 'Q':
            threshold_1 = threshold_1 - 2.0;
            add_threshold_lines();
            break;
        case 'W':
            threshold_1 = threshold_1 + 2.0;
            add_threshold_lines();
            break;
        case 'A':
            threshold_2 = threshold_2 - 1.0;
            add_threshold_lines();
            break;
        case 'S':
            threshold_2 = threshold_2 + 1.0;
            add_threshold_lines();
            break;
        default:
            break;
    }
}

void key_up(unsigned int key) { keys[key & 0xff] = false; }
