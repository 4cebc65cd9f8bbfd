// A delivery thread that takes the frame lock frame after frame, each held
// long (processing slower than the frame period), lets another thread that
// waits for the lock go before its next frame.
#include "pipeline/frame_lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

TEST(FrameLock, AWaitingThreadGoesBeforeTheNextFrame) {
    FrameStore store;
    std::atomic<int> frames{0};
    std::atomic<bool> stop{false};
    // Frames back to back, each holding the lock a while; bounded, so that
    // a starved waiter still ends.
    std::thread delivery([&] {
        for (int i = 0; i < 60 && !stop; ++i) {
            DeliveryLock lock(store);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            ++frames;
        }
    });
    while (frames < 2) std::this_thread::yield();
    int before = frames;
    int during;
    {
        FrameLock lock(store);
        during = frames - before;
        stop = true;
    }
    delivery.join();
    // The frame in hand when the wait began (or, had the thread been
    // preempted before it waited, the one that began then), and no more.
    EXPECT_LE(during, 2);
}

}  // namespace
