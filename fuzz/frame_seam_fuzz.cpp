// Frames at the capture seam: a camera geometry (made with an allocation
// failing now and then), then samples of any length, bit depth and content
// through frame_callback with the filters the input switches on, a restart
// at another size on the way, and the window, the G key's clear and the
// snapshot reading what the frames left.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

#include "capture/camera.h"
#include "common/buffer.h"
#include "display/display.h"
#include "fuzz_input.h"
#include "pipeline/bitmap.h"
#include "pipeline/process.h"
#include "shell/utility.h"
#include "shell/window.h"

namespace {

std::atomic<bool> *const filters[] = {
    &filter_gauss,     &filter_rc,    &filter_sharpness,  &filter_canny,    &filter_edgefast,
    &filter_laplace,   &filter_sobel, &filter_comboedge,  &filter_average,  &filter_emboss,
    &filter_threshold, &filter_erode, &filter_reduceedge, &filter_tracking,
};

int allocation = 0;
int fail_at = 0;
bool fail_kth(size_t) { return ++allocation == fail_at; }

std::string folder;

void set_up() {
    setup_window(GetModuleHandleA(nullptr), SW_SHOW);
    char pattern[] = "/tmp/lumivex-fuzz-XXXXXX";
    if (mkdtemp(pattern) && chdir(pattern) == 0) folder = pattern;
}

void make_buffers(FuzzInput &in) {
    camera_x_size = static_cast<int>(in.below(97));
    camera_y_size = static_cast<int>(in.below(97));
    allocation = 0;
    fail_at = static_cast<int>(in.below(10));
    buffer_alloc_should_fail = fail_kth;
    camera_make_buffers();
    buffer_alloc_should_fail = nullptr;
}

void feed(FuzzInput &in) {
    static const int depths[] = {24, 24, 24, 32, 16, 8, 0, -24};
    const int bits = depths[in.below(8)];
    const long stride = (static_cast<long>(camera_x_size) * 3 + 3) & ~3L;
    long length = stride * camera_y_size + static_cast<int8_t>(in.byte());
    if (in.flag()) length = in.u16();
    // Exactly `length` bytes exist, so reading past them is caught.
    std::vector<unsigned char> sample(length > 0 ? static_cast<size_t>(length) : 0);
    for (size_t i = 0; i < sample.size(); ++i) sample[i] = static_cast<unsigned char>(i * 13 + in.byte());
    frame_callback(sample.empty() ? nullptr : sample.data(), static_cast<int>(length), bits);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool ready = (set_up(), true);
    (void)ready;
    FuzzInput in(data, size);
    make_buffers(in);
    const unsigned switches = in.u16();
    for (unsigned i = 0; i < 14; ++i) *filters[i] = (switches >> i) & 1;
    d_frame = in.flag();
    fast_capture = in.flag();
    threshold_1 = in.below(512);
    threshold_2 = in.below(512);
    bool saved = false;
    while (!in.empty()) {
        switch (in.below(6)) {
            case 0:
                make_buffers(in);
                break;
            case 1:
                display();
                break;
            case 2:
                clear_buffers();
                break;
            case 3:
                save_to_disk();
                saved = true;
                break;
            default:
                feed(in);
                break;
        }
    }
    camera_stop();
    for (std::atomic<bool> *f : filters) *f = false;
    d_frame = false;
    fast_capture = false;
    if (saved && !folder.empty()) {
        std::error_code ignored;
        for (const auto &entry : std::filesystem::directory_iterator(folder, ignored))
            std::filesystem::remove(entry.path(), ignored);
    }
    return 0;
}
