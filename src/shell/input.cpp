#include "shell/input.h"

#include <cstdio>

#include "pipeline/filter_registry.h"
#include "shell/main.h"
#include "shell/options.h"

namespace {

const unsigned int key_escape = 27;
const double threshold_min = 0.0;
const double threshold_max = 511.0;

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

void add_threshold_lines(FilterSettings &s, StatusLog &log) {
    s.threshold_1 = clamp_threshold(s.threshold_1);
    s.threshold_2 = clamp_threshold(s.threshold_2);
    char line[80];
    std::snprintf(line, sizeof line, "Threshold1: %5.2f", s.threshold_1.load());
    log.add_line(line);
    std::snprintf(line, sizeof line, "Threshold2: %5.2f", s.threshold_2.load());
    log.add_line(line);
}

// V (`on`) or B: the filters the presets name, on or off as V's says.
void apply_preset(FilterSettings &s, bool on) {
    for (const filter_entry &e : filter_registry)
        if (e.in_presets) s.*e.flag = on && e.preset_on;
}

}  // namespace

void key_down(Program &program, unsigned int key) {
    bool *keys = program.keys;
    FilterSettings &s = program.settings;
    StatusLog &log = program.log;
    keys[key & 0xff] = true;

    // Shutting down does not end the handling of this key.
    if (key == key_escape) system_shutdown(program);

    if (keys['V']) {
        s.threshold_1 = 240.0;
        apply_preset(s, true);
    }
    if (keys['B']) apply_preset(s, false);

    // Every held filter key acts again on every key-down.
    bool toggled = false;
    for (const filter_entry &e : filter_registry) {
        if (keys[e.key]) {
            invert(s.*e.flag);
            toggled = true;
        }
    }
    if (toggled) show_filters(s, log);

    switch (key) {
        case 'F':
            invert(program.screen.display_fps);
            break;
        case 'D':
            log.add_line(invert(s.d_frame) ? "Show difference" : "Show normal");
            break;
        case 'G':
            log.add_line(invert(s.fast_capture) ? "Fast Capture" : "Slow Capture");
            clear_buffers(program.store);
            break;
        case 'R': {
            std::string failure = save_to_disk(program.store, s, log, program.snapshots);
            // With a chosen snapshot folder, standard error also says why.
            if (!failure.empty() && !program.snapshots.snapshot_folder.empty())
                error_line("cannot write " + failure);
            break;
        }
        case 'Q':
            s.threshold_1 = s.threshold_1 - 2.0;
            add_threshold_lines(s, log);
            break;
        case 'W':
            s.threshold_1 = s.threshold_1 + 2.0;
            add_threshold_lines(s, log);
            break;
        case 'A':
            s.threshold_2 = s.threshold_2 - 1.0;
            add_threshold_lines(s, log);
            break;
        case 'S':
            s.threshold_2 = s.threshold_2 + 1.0;
            add_threshold_lines(s, log);
            break;
        default:
            break;
    }
}

void key_up(Program &program, unsigned int key) { program.keys[key & 0xff] = false; }
