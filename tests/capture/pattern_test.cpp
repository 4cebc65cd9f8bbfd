// The test pattern: a picture with motion, edges and gradients, delivered
// like a camera's frames.
#include "capture/pattern.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "support/exit_watch.h"

namespace {

size_t stride_of(int width) { return (static_cast<size_t>(width) * 3 + 3) & ~static_cast<size_t>(3); }

TEST(TestPattern, MovesAndHasEdgesAndGradients) {
    const int w = pattern_width, h = pattern_height;
    const size_t stride = stride_of(w);
    std::vector<unsigned char> a(stride * h), b(stride * h);
    pattern_draw(a.data(), w, h, 0);
    pattern_draw(b.data(), w, h, 15);
    // Motion: a good part of the picture changes in half a second, not all of it.
    size_t changed = 0;
    for (size_t i = 0; i < a.size(); i += 3)
        changed += a[i] != b[i] || a[i + 1] != b[i + 1] || a[i + 2] != b[i + 2];
    EXPECT_GT(changed, static_cast<size_t>(w * h / 50));
    EXPECT_LT(changed, static_cast<size_t>(w * h / 2));
    // Gradients: many levels of red along a row in the middle.
    std::set<int> reds;
    size_t middle = stride * (h / 2 - 40);
    for (int x = 0; x < w; ++x) reds.insert(a[middle + x * 3 + 2]);
    EXPECT_GT(reds.size(), 100u);
    // Edges: somewhere neighbours differ by more than half the range.
    int steps = 0;
    for (int y = 0; y < h; y += 8) {
        for (int x = 1; x < w; ++x) {
            size_t p = stride * y + x * 3;
            if (std::abs(a[p] - a[p - 3]) > 128) ++steps;
        }
    }
    EXPECT_GT(steps, 50);
}

TEST(TestPattern, KeepsRowPaddingZeroForOddWidths) {
    const int w = 322, h = 10;
    const size_t stride = stride_of(w);
    std::vector<unsigned char> frame(stride * h, 0xAB);
    pattern_draw(frame.data(), w, h, 3);
    for (int y = 0; y < h; ++y) {
        EXPECT_EQ(frame[stride * y + 966], 0);
        EXPECT_EQ(frame[stride * y + 967], 0);
    }
}

TEST(TestPattern, FramesOfADeliveryAreThePlainPictureByteForByte) {
    const int sizes[][2] = {{640, 480}, {322, 240}, {7, 3}, {1, 1}, {40, 400}, {641, 97}};
    for (const auto &size : sizes) {
        const int w = size[0], h = size[1];
        PatternFrames frames;
        ASSERT_TRUE(frames.prepare(w, h));
        std::vector<unsigned char> plain(stride_of(w) * h), fast(stride_of(w) * h, 0xAB);
        // Over a whole period of the disc's path, which crosses the edges of the smaller pictures.
        for (unsigned n = 0; n < 400; n += 3) {
            pattern_draw(plain.data(), w, h, n);
            frames.draw(fast.data(), n);
            ASSERT_TRUE(plain == fast) << w << "x" << h << " frame " << n;
        }
    }
    PatternFrames none;
    EXPECT_FALSE(none.prepare(0, 480));
    std::vector<unsigned char> untouched(16, 0x5A);
    none.draw(untouched.data(), 0);
    EXPECT_EQ(untouched, std::vector<unsigned char>(16, 0x5A));
}

std::atomic<int> calls{0};
std::atomic<bool> inside{false};
std::atomic<int> last_length{0};
std::atomic<int> last_bits{0};

void slow_frame(unsigned char *, int length, int bits) {
    inside = true;
    last_length = length;
    last_bits = bits;
    std::this_thread::sleep_for(std::chrono::milliseconds(15));
    ++calls;
    inside = false;
}

TEST(TestPattern, DeliversPaddedFramesOnItsOwnThreadUntilStopped) {
    EXPECT_FALSE(pattern_start(slow_frame, 0, 480));
    ASSERT_TRUE(pattern_start(slow_frame, 322, 240));
    EXPECT_TRUE(pattern_running());
    EXPECT_FALSE(pattern_start(slow_frame, 322, 240));  // one at a time
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (calls < 3 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    pattern_stop();
    EXPECT_FALSE(inside);
    EXPECT_FALSE(pattern_running());
    EXPECT_GE(calls, 3);
    EXPECT_EQ(last_length, static_cast<int>(stride_of(322) * 240));
    EXPECT_EQ(last_bits, 24);
    int after = calls;
    std::this_thread::sleep_for(std::chrono::milliseconds(80));
    EXPECT_EQ(calls, after);
    pattern_stop();  // harmless when stopped
    // It can start again after a stop.
    ASSERT_TRUE(pattern_start(slow_frame, 64, 48));
    pattern_stop();
}

std::mutex times_lock;
std::vector<std::chrono::steady_clock::time_point> times;

void timed_frame(unsigned char *, int, int) {
    std::lock_guard<std::mutex> lock(times_lock);
    times.push_back(std::chrono::steady_clock::now());
}

TEST(TestPattern, RunsAtAboutThirtyFramesASecond) {
    ASSERT_TRUE(pattern_start(timed_frame, 64, 48));
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    pattern_stop();
    std::lock_guard<std::mutex> lock(times_lock);
    ASSERT_GE(times.size(), 2u);
    // The rate over the frames seen, so a late wake-up of this thread does not
    // count. Wide bounds for a loaded machine; a tenth or ten times the rate
    // is far outside them.
    double seconds = std::chrono::duration<double>(times.back() - times.front()).count();
    double rate = static_cast<double>(times.size() - 1) / seconds;
    EXPECT_GT(rate, 15.0) << times.size() << " frames";
    EXPECT_LT(rate, 45.0) << times.size() << " frames";
}

TEST(TestPatternDeathTest, AProcessThatExitsWithoutStoppingStopsThePatternFirst) {
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    EXPECT_EXIT(
        {
            pattern_start(frame_after_exit_check, 64, 48);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            statics_armed = true;
            std::exit(7);
        },
        ::testing::ExitedWithCode(7), "");
}

}  // namespace
