// Frames at the capture seam: a camera geometry (made with an allocation
// failing now and then), then samples of any length, bit depth and content
// through frame_callback with the filters the input switches on, a restart
// at another size on the way, and the window, the G key's clear and the
// snapshot reading what the frames left.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

#include "common/buffer.h"
#include "fuzz_input.h"
#include "pipeline/bitmap.h"
#include "pipeline/filter_registry.h"
#include "shell/program.h"
#include "shell/window.h"

namespace {

int allocation = 0;
int fail_at = 0;
bool fail_kth(size_t) { return ++allocation == fail_at; }

std::string folder;

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

void make_buffers(FuzzInput &in) {
    program().store.camera_x_size = static_cast<int>(in.below(97));
    program().store.camera_y_size = static_cast<int>(in.below(97));
    allocation = 0;
    fail_at = static_cast<int>(in.below(10));
    buffer_alloc_should_fail = fail_kth;
    program().camera.camera_make_buffers();
    buffer_alloc_should_fail = nullptr;
}

void feed(FuzzInput &in) {
    static const int depths[] = {24, 24, 24, 32, 16, 8, 0, -24};
    const int bits = depths[in.below(8)];
    const long stride = (static_cast<long>(program().store.camera_x_size) * 3 + 3) & ~3L;
    long length = stride * program().store.camera_y_size + static_cast<int8_t>(in.byte());
    if (in.flag()) length = in.u16();
    // Exactly `length` bytes exist, so reading past them is caught.
    std::vector<unsigned char> sample(length > 0 ? static_cast<size_t>(length) : 0);
    for (size_t i = 0; i < sample.size(); ++i) sample[i] = static_cast<unsigned char>(i * 13 + in.byte());
    program().camera.frame_callback(sample.empty() ? nullptr : sample.data(), static_cast<int>(length), bits);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool ready = (set_up(), true);
    (void)ready;
    FuzzInput in(data, size);
    Program &p = program();
    FilterSettings &settings = p.settings;
    make_buffers(in);
    const unsigned switches = in.u16();
    for (unsigned i = 0; i < filter_count; ++i) settings.*filter_registry[i].flag = (switches >> i) & 1;
    settings.d_frame = in.flag();
    settings.fast_capture = in.flag();
    settings.threshold_1 = in.below(512);
    settings.threshold_2 = in.below(512);
    bool saved = false;
    while (!in.empty()) {
        switch (in.below(6)) {
            case 0:
                make_buffers(in);
                break;
            case 1: {
                std::lock_guard<std::mutex> lock(p.store.frame_lock);
                p.draw();
                break;
            }
            case 2:
                clear_buffers(p.store);
                break;
            case 3:
                save_to_disk(p.store, settings, p.log, p.snapshots);
                saved = true;
                break;
            default:
                feed(in);
                break;
        }
    }
    p.camera.camera_stop();
    for (const filter_entry &e : filter_registry) settings.*e.flag = false;
    settings.d_frame = false;
    settings.fast_capture = false;
    if (saved && !folder.empty()) {
        std::error_code ignored;
        for (const auto &entry : std::filesystem::directory_iterator(folder, ignored))
            std::filesystem::remove(entry.path(), ignored);
    }
    return 0;
}
