// Key and window-message sequences interleaved with frames and restarts, as
// the window procedure gets them: every bound key (held, repeated and
// released, Escape included), size changes, repaints and timer ticks, while
// frames arrive and the camera restarts at other sizes.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

#include "capture/camera.h"
#include "common/buffer.h"
#include "display/display.h"
#include "fuzz_input.h"
#include "pipeline/process.h"
#include "shell/input.h"
#include "shell/main.h"
#include "shell/utility.h"
#include "shell/window.h"

namespace {

const unsigned char bound_keys[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9', '0', 'E', 'Y', 'U', 'I',
                                    'V', 'B', 'F', 'D', 'G', 'R', 'Q', 'W', 'A', 'S', 27,  'Z', 0x10};

std::atomic<bool> *const filters[] = {
    &filter_gauss,     &filter_rc,    &filter_sharpness,  &filter_canny,    &filter_edgefast,
    &filter_laplace,   &filter_sobel, &filter_comboedge,  &filter_average,  &filter_emboss,
    &filter_threshold, &filter_erode, &filter_reduceedge, &filter_tracking,
};

std::string folder;
int allocation = 0;
int fail_at = 0;
bool fail_kth(size_t) { return ++allocation == fail_at; }

void set_up() {
    setup_window(GetModuleHandleA(nullptr), SW_SHOW);
    char pattern[] = "/tmp/lumivex-fuzz-XXXXXX";
    if (mkdtemp(pattern) && chdir(pattern) == 0) folder = pattern;
}

void restart(FuzzInput &in) {
    camera_x_size = 1 + static_cast<int>(in.below(80));
    camera_y_size = 1 + static_cast<int>(in.below(80));
    allocation = 0;
    fail_at = static_cast<int>(in.below(10));
    buffer_alloc_should_fail = fail_kth;
    camera_make_buffers();
    buffer_alloc_should_fail = nullptr;
}

void frame(FuzzInput &in) {
    const size_t stride = (static_cast<size_t>(camera_x_size) * 3 + 3) & ~static_cast<size_t>(3);
    std::vector<unsigned char> sample(stride * static_cast<size_t>(camera_y_size));
    const unsigned char seed = in.byte();
    for (size_t i = 0; i < sample.size(); ++i) sample[i] = static_cast<unsigned char>(i * seed + (i >> 7));
    frame_callback(sample.data(), static_cast<int>(sample.size()), 24);
}

void reset() {
    for (int k = 0; k < 256; ++k) keys[k] = false;
    for (std::atomic<bool> *f : filters) *f = false;
    d_frame = false;
    fast_capture = false;
    display_fps = false;
    threshold_1 = 42.0;
    threshold_2 = 260.0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool ready = (set_up(), true);
    (void)ready;
    FuzzInput in(data, size);
    restart(in);
    while (!in.empty()) {
        const unsigned char key = bound_keys[in.below(sizeof bound_keys)];
        switch (in.below(8)) {
            case 0:
            case 1:
                WinProc(system_hwnd, WM_KEYDOWN, key, in.flag() ? (1u << 30) : 0);
                break;
            case 2:
                WinProc(system_hwnd, WM_KEYUP, key, 0);
                break;
            case 3:
                frame(in);
                break;
            case 4:
                restart(in);
                break;
            case 5:
                WinProc(system_hwnd, WM_SIZE, SIZE_RESTORED,
                        static_cast<LPARAM>(in.below(700) | (in.below(700) << 16)));
                break;
            case 6:
                WinProc(system_hwnd, WM_PAINT, 0, 0);
                break;
            default:
                WinProc(system_hwnd, WM_TIMER, in.flag() ? 2 : 7, 0);
                break;
        }
    }
    camera_stop();
    reset();
    if (!folder.empty()) {
        std::error_code ignored;
        for (const auto &entry : std::filesystem::directory_iterator(folder, ignored))
            std::filesystem::remove(entry.path(), ignored);
    }
    return 0;
}
