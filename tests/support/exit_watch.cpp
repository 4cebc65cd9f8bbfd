#include "support/exit_watch.h"

#include <chrono>
#include <cstdlib>
#include <thread>

std::atomic<bool> statics_armed{false};

namespace {

std::atomic<bool> statics_gone{false};

struct Statics {
    ~Statics() {
        if (!statics_armed) return;
        statics_gone = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
    }
} statics;

}  // namespace

void frame_after_exit_check(unsigned char *, int, int) {
    if (statics_gone) std::_Exit(99);
}
