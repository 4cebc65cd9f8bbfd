// The process ends while the pool is busy: no exit step may wait for a
// helper thread, which can be blocked in the middle of its band.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "common/workers.h"

namespace {

std::atomic<bool> helper_blocked{false};

// The first band runs on the caller; every other one blocks for good.
void band(void *, unsigned int begin, unsigned int) {
    if (begin == 0) return;
    helper_blocked = true;
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
}

// Exit code of `child` if it ends within `seconds`, else -1 (and it is killed).
int wait_for(pid_t child, double seconds) {
    auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    int status = 0;
    while (std::chrono::steady_clock::now() < until) {
        if (waitpid(child, &status, WNOHANG) == child) return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    return -1;
}

TEST(WorkerPoolExit, TheProcessEndsWhileAHelperIsBlockedInItsBand) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        set_worker_threads(2);
        set_min_band_work(0);
        // The frame-delivery thread: waits in run_bands for the blocked helper.
        std::thread([] { run_bands(0, 100, 100, band, nullptr); }).detach();
        while (!helper_blocked) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::exit(7);
    }
    EXPECT_EQ(wait_for(child, 2.0), 7);
}

}  // namespace
