// The worker pool that runs row bands: coverage, determinism of the split,
// nesting, and repeated use (the tsan preset runs these for races).
#include "common/workers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

struct Pool : ::testing::Test {
    void TearDown() override {
        set_worker_threads(0);
        set_min_band_work(32768);
    }
};

}  // namespace

TEST_F(Pool, EveryRowRunsExactlyOnceForAnyThreadCount) {
    set_min_band_work(0);
    for (unsigned int threads : {1u, 2u, 3u, 5u, 8u}) {
        set_worker_threads(threads);
        EXPECT_EQ(worker_threads(), threads);
        for (unsigned int rows : {1u, 2u, 3u, 7u, 100u}) {
            std::vector<std::atomic<int>> hits(rows + 10);
            std::atomic<int> calls{0};
            auto body = [&](unsigned int b, unsigned int e) {
                ++calls;
                EXPECT_LT(b, e);
                for (unsigned int y = b; y < e; ++y) ++hits[y];
            };
            run_bands(5, 5 + rows, rows, body);
            for (unsigned int y = 0; y < rows + 10; ++y) EXPECT_EQ(hits[y].load(), y >= 5 && y < 5 + rows ? 1 : 0) << y;
            EXPECT_EQ(calls.load(), static_cast<int>(std::min(threads, rows)));
        }
    }
}

TEST_F(Pool, EmptyRangeCallsNothing) {
    int calls = 0;
    auto body = [&](unsigned int, unsigned int) { ++calls; };
    run_bands(4, 4, 0, body);
    run_bands(9, 3, 0, body);
    EXPECT_EQ(calls, 0);
}

TEST_F(Pool, SmallWorkStaysOnTheCallingThread) {
    set_worker_threads(4);
    set_min_band_work(1000);
    const std::thread::id caller = std::this_thread::get_id();
    std::atomic<int> elsewhere{0};
    auto body = [&](unsigned int, unsigned int) {
        if (std::this_thread::get_id() != caller) ++elsewhere;
    };
    run_bands(0, 100, 999, body);  // less than two bands' worth
    EXPECT_EQ(elsewhere.load(), 0);
    run_bands(0, 100, 4000, body);  // four bands: three on helpers
    EXPECT_EQ(elsewhere.load(), 3);
}

TEST_F(Pool, NestedCallsRunInline) {
    set_worker_threads(2);
    set_min_band_work(0);
    std::atomic<int> inner_rows{0};
    auto inner = [&](unsigned int b, unsigned int e) { inner_rows += static_cast<int>(e - b); };
    auto outer = [&](unsigned int, unsigned int) { run_bands(0, 10, 10, inner); };
    run_bands(0, 2, 2, outer);
    EXPECT_EQ(inner_rows.load(), 20);
}

TEST_F(Pool, ManyJobsInARowSeeTheirOwnData) {
    set_worker_threads(3);
    set_min_band_work(0);
    std::vector<int> out(300);
    for (int job = 0; job < 2000; ++job) {
        auto body = [&](unsigned int b, unsigned int e) {
            for (unsigned int y = b; y < e; ++y) out[y] = job;
        };
        run_bands(0, 300, 300, body);
        ASSERT_EQ(out[0], job);
        ASSERT_EQ(out[150], job);
        ASSERT_EQ(out[299], job);
    }
}
