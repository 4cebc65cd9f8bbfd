// Key and window-message sequences interleaved with frames and restarts, as
// the window procedure hands them on: every bound key (held, repeated and
// released, Escape included), size changes, repaints and timer ticks, while
// frames arrive and the camera restarts at other sizes.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

#include "common/buffer.h"
#include "fuzz_input.h"
#include "pipeline/filter_registry.h"
#include "shell/input.h"
#include "shell/main.h"
#include "shell/program.h"
#include "shell/window.h"

namespace {

const unsigned char bound_keys[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9', '0', 'E', 'Y', 'U', 'I',
                                    'V', 'B', 'F', 'D', 'G', 'R', 'Q', 'W', 'A', 'S', 27,  'Z', 0x10};

std::string folder;
int allocation = 0;
int fail_at = 0;
bool fail_kth(size_t) { return ++allocation == fail_at; }

// One program for the whole run, with its window, as the process has it.
Program &program() {
    static Program p;
    return p;
}

void set_up() {
    setup_window(program(), GetModuleHandleA(nullptr), SW_SHOW);
    char pattern[] = "/tmp/lumivex-fuzz-XXXXXX";
    if (mkdtemp(pattern) && chdir(pattern) == 0) folder = pattern;
}

void restart(FuzzInput &in) {
    program().store.camera_x_size = 1 + static_cast<int>(in.below(80));
    program().store.camera_y_size = 1 + static_cast<int>(in.below(80));
    allocation = 0;
    fail_at = static_cast<int>(in.below(10));
    buffer_alloc_should_fail = fail_kth;
    program().camera.camera_make_buffers();
    buffer_alloc_should_fail = nullptr;
}

void frame(FuzzInput &in) {
    const FrameStore &store = program().store;
    const size_t stride = (static_cast<size_t>(store.camera_x_size) * 3 + 3) & ~static_cast<size_t>(3);
    std::vector<unsigned char> sample(stride * static_cast<size_t>(store.camera_y_size));
    const unsigned char seed = in.byte();
    for (size_t i = 0; i < sample.size(); ++i) sample[i] = static_cast<unsigned char>(i * seed + (i >> 7));
    program().camera.frame_callback(sample.data(), static_cast<int>(sample.size()), 24);
}

void reset() {
    Program &p = program();
    for (bool &k : p.keys) k = false;
    for (const filter_entry &e : filter_registry) p.settings.*e.flag = false;
    p.settings.d_frame = false;
    p.settings.fast_capture = false;
    p.screen.display_fps = false;
    p.settings.threshold_1 = 42.0;
    p.settings.threshold_2 = 260.0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool ready = (set_up(), true);
    (void)ready;
    FuzzInput in(data, size);
    Program &p = program();
    restart(in);
    while (!in.empty()) {
        const unsigned char key = bound_keys[in.below(sizeof bound_keys)];
        switch (in.below(8)) {
            case 0:
            case 1:
                in.flag();  // the repeat bit: the window procedure hands on the key alone
                key_down(p, key);
                break;
            case 2:
                key_up(p, key);
                break;
            case 3:
                frame(in);
                break;
            case 4:
                restart(in);
                break;
            case 5: {
                const unsigned width = in.below(700), height = in.below(700);
                std::lock_guard<std::mutex> lock(p.store.frame_lock);
                p.screen.display_resize(p.window, p.log, width, height);
                break;
            }
            case 6: {
                std::lock_guard<std::mutex> lock(p.store.frame_lock);
                p.draw();
                break;
            }
            default:
                timer_message(p, in.flag() ? 2 : 7);
                break;
        }
    }
    p.camera.camera_stop();
    reset();
    if (!folder.empty()) {
        std::error_code ignored;
        for (const auto &entry : std::filesystem::directory_iterator(folder, ignored))
            std::filesystem::remove(entry.path(), ignored);
    }
    return 0;
}
