// Windows, queues, timers and repaints of the portable layer, with a window
// of the test's own on a thread of its own and the headless backend's clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/headless/headless.h"
#include "platform/internal.h"
#include "platform/win32.h"
#include "support/new_limit.h"

namespace {

const UINT quit_request = 0x0409;
const UINT note = 0x0401;
const UINT hold = 0x0402;  // the window thread waits in its handler until released

struct Seen {
    UINT message;
    WPARAM wparam;
};

std::mutex seen_lock;
std::vector<Seen> seen;
std::atomic<bool> validate_paint{true};
std::atomic<int> unvalidated_paints{0};  // paints left unvalidated since validate_paint went false
std::promise<void> holding;
std::promise<void> release;

LRESULT CALLBACK record(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    {
        std::lock_guard<std::mutex> lock(seen_lock);
        seen.push_back({message, wparam});
    }
    if (message == quit_request) PostQuitMessage(5);
    if (message == hold) {
        holding.set_value();
        release.get_future().wait();
    }
    if (message == WM_DESTROY) PostQuitMessage(0);
    if (message == WM_PAINT && !validate_paint) {
        // Gives in after 50, so the test can count them.
        if (++unvalidated_paints == 50) validate_paint = true;
        return 0;
    }
    return DefWindowProcA(hwnd, message, wparam, lparam);
}

std::vector<UINT> messages() {
    std::lock_guard<std::mutex> lock(seen_lock);
    std::vector<UINT> out;
    for (const Seen &s : seen) out.push_back(s.message);
    return out;
}

void forget() {
    std::lock_guard<std::mutex> lock(seen_lock);
    seen.clear();
}

class MessageLoop : public ::testing::Test {
  protected:
    void SetUp() override {
        thread_ = std::thread([this] {
            WNDCLASSEXA wc{};
            wc.cbSize = sizeof wc;
            wc.lpfnWndProc = record;
            wc.lpszClassName = "Probe";
            if (!RegisterClassExA(&wc)) return;
            HWND h =
                CreateWindowExA(0, "Probe", "probe", 0, 0, 0, 367, 409, nullptr, nullptr, nullptr, nullptr);
            if (!h) return;
            SetTimer(h, 7, 1000, nullptr);
            MSG msg;
            BOOL r;
            while ((r = GetMessageA(&msg, nullptr, 0, 0)) != 0) DispatchMessageA(&msg);
            quit_code_ = static_cast<int>(msg.wParam);
        });
        hwnd_ = headless_wait_window("probe");
        ASSERT_NE(hwnd_, nullptr);
    }
    void TearDown() override {
        if (headless_window_info(hwnd_).alive) headless_close(hwnd_);
        thread_.join();
    }
    void settle() { ASSERT_TRUE(headless_wait_idle(hwnd_)); }

    std::thread thread_;
    HWND hwnd_ = nullptr;
    int quit_code_ = -1;
};

TEST_F(MessageLoop, CreationSendsCreateAndSizeThenPaints) {
    std::vector<UINT> m = messages();
    ASSERT_GE(m.size(), 3u);
    EXPECT_EQ(m[0], static_cast<UINT>(WM_CREATE));
    EXPECT_EQ(m[1], static_cast<UINT>(WM_SIZE));
    EXPECT_EQ(m[2], static_cast<UINT>(WM_PAINT));
    HeadlessWindowInfo info = headless_window_info(hwnd_);
    EXPECT_EQ(info.client_width, 360);
    EXPECT_EQ(info.client_height, 382);
    EXPECT_FALSE(info.needs_paint) << "DefWindowProcA validated the first paint";
}

TEST_F(MessageLoop, PostedMessagesComeBeforeQuitInOrder) {
    // All three wait together while the window thread is held busy.
    PostMessageA(hwnd_, hold, 0, 0);
    holding.get_future().wait();
    forget();
    PostMessageA(hwnd_, quit_request, 0, 0);
    PostMessageA(hwnd_, note, 1, 0);
    PostMessageA(hwnd_, note, 2, 0);
    release.set_value();
    thread_.join();
    thread_ = std::thread([] {});
    EXPECT_EQ(quit_code_, 5);
    std::vector<UINT> m = messages();
    ASSERT_EQ(m.size(), 3u);
    EXPECT_EQ(m[0], quit_request);
    EXPECT_EQ(m[1], note);
    EXPECT_EQ(m[2], note);
    std::lock_guard<std::mutex> lock(seen_lock);
    EXPECT_EQ(seen[1].wparam, 1u);
    EXPECT_EQ(seen[2].wparam, 2u);
}

TEST_F(MessageLoop, TimerFiresWhenDueAndMissedPeriodsCollapse) {
    forget();
    headless_advance_clock(999);
    settle();
    EXPECT_TRUE(messages().empty());
    headless_advance_clock(1);
    settle();
    ASSERT_EQ(messages(), std::vector<UINT>{WM_TIMER});
    {
        std::lock_guard<std::mutex> lock(seen_lock);
        EXPECT_EQ(seen[0].wparam, 7u);
    }
    forget();
    headless_advance_clock(5000);
    settle();
    EXPECT_EQ(messages(), std::vector<UINT>{WM_TIMER}) << "five missed periods give one tick";
}

TEST_F(MessageLoop, PostedBeforePaintBeforeTimer) {
    validate_paint = true;
    // Keep the window thread busy while a timer falls due, the window is
    // invalidated and a message is posted, so all three wait together.
    PostMessageA(hwnd_, hold, 0, 0);
    holding.get_future().wait();
    forget();
    headless_advance_clock(1000);
    InvalidateRect(hwnd_, nullptr, FALSE);
    PostMessageA(hwnd_, note, 0, 0);
    release.set_value();
    settle();
    std::vector<UINT> m = messages();
    ASSERT_EQ(m.size(), 3u);
    EXPECT_EQ(m[0], note);
    EXPECT_EQ(m[1], static_cast<UINT>(WM_PAINT));
    EXPECT_EQ(m[2], static_cast<UINT>(WM_TIMER));
}

TEST_F(MessageLoop, UnvalidatedPaintComesBackAtOnceAheadOfTimers) {
    SetTimer(hwnd_, 3, 10, nullptr);
    settle();
    forget();
    uint64_t paints_before = headless_window_info(hwnd_).paints;
    unvalidated_paints = 0;
    validate_paint = false;
    ASSERT_TRUE(InvalidateRect(hwnd_, nullptr, FALSE));
    headless_advance_clock(20);  // the timer is due throughout
    settle();
    // The clock stood still: every paint came back at once, the timer waited.
    std::vector<UINT> m = messages();
    // 50 left unvalidated, the 51st validated by the default handling.
    ASSERT_EQ(m.size(), 52u);
    EXPECT_EQ(std::count(m.begin(), m.begin() + 51, static_cast<UINT>(WM_PAINT)), 51);
    EXPECT_EQ(m[51], static_cast<UINT>(WM_TIMER));
    EXPECT_EQ(headless_window_info(hwnd_).paints - paints_before, 51u);
    EXPECT_FALSE(headless_window_info(hwnd_).needs_paint);
}

TEST_F(MessageLoop, CloseDestroysTheWindowAndLeavesNoDanglingHandles) {
    HDC dc = GetDC(hwnd_);
    ASSERT_NE(dc, nullptr);
    forget();
    headless_close(hwnd_);
    thread_.join();
    thread_ = std::thread([] {});
    std::vector<UINT> m = messages();
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m[0], static_cast<UINT>(WM_CLOSE));
    EXPECT_EQ(m[1], static_cast<UINT>(WM_DESTROY));
    EXPECT_EQ(quit_code_, 0);
    HeadlessWindowInfo info = headless_window_info(hwnd_);
    EXPECT_FALSE(info.alive);
    EXPECT_EQ(GetDC(hwnd_), nullptr);
    EXPECT_FALSE(PostMessageA(hwnd_, note, 0, 0));
    EXPECT_FALSE(InvalidateRect(hwnd_, nullptr, FALSE));
    // The old device context is still a handle; drawing on it does nothing.
    EXPECT_FALSE(Rectangle(dc, 0, 0, 10, 10));
    EXPECT_FALSE(TextOutA(dc, 0, 0, "x", 1));
}

TEST_F(MessageLoop, ResizeReplacesTheSurfaceKeepingTheOverlapAndRepaints) {
    HDC dc = GetDC(hwnd_);
    Rectangle(dc, 0, 0, 360, 382);
    forget();
    headless_resize(hwnd_, 400, 100);
    settle();
    std::vector<UINT> m = messages();
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m[0], static_cast<UINT>(WM_SIZE));
    EXPECT_EQ(m[1], static_cast<UINT>(WM_PAINT));
    HeadlessImage img = headless_read(dc);
    ASSERT_EQ(img.width, 400);
    ASSERT_EQ(img.height, 100);
    EXPECT_EQ(img.at(0, 50), 0x000000u) << "the old frame's left edge is kept";
    EXPECT_EQ(img.at(359, 50), 0x000000u);
    EXPECT_EQ(img.at(360, 50), 0xffffffu) << "new area starts white";

    headless_resize(hwnd_, 0, 0);
    settle();
    EXPECT_EQ(headless_read(dc).width, 0);
    EXPECT_TRUE(Rectangle(dc, 0, 0, 10, 10)) << "drawing on a minimised window is harmless";
}

// A size whose surface does not fit in memory leaves an empty client area
// (reported as 0 x 0) instead of ending the program; the next size works.
TEST_F(MessageLoop, ASurfaceTooBigForMemoryLeavesAnEmptyWindow) {
    HDC dc = GetDC(hwnd_);
    {
        test_support::NewLimit limit(size_t(64) << 20);
        ::testing::internal::CaptureStderr();
        headless_resize(hwnd_, 0xffff, 0xffff);
        settle();
        EXPECT_NE(::testing::internal::GetCapturedStderr().find("no memory"), std::string::npos);
    }
    EXPECT_EQ(headless_read(dc).width, 0);
    EXPECT_TRUE(Rectangle(dc, 0, 0, 10, 10));
    headless_resize(hwnd_, 200, 100);
    settle();
    EXPECT_EQ(headless_read(dc).width, 200);
}

// The screen gets a window's drawing only when the window is validated, and
// then all of it: a picture never shows without the text drawn over it.
TEST_F(MessageLoop, DrawingReachesTheScreenWholeWhenTheWindowIsValidated) {
    HDC dc = GetDC(hwnd_);
    const std::vector<uint8_t> before = headless_read_screen(hwnd_).pixels;
    ASSERT_FALSE(before.empty());
    // Two rows of two pixels, each row padded to 8 bytes as DIB rows are.
    const unsigned char grey[2 * 8] = {90, 90, 90, 90, 90, 90, 0, 0, 90, 90, 90, 90, 90, 90, 0, 0};
    BITMAPINFO info{};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), 2, 2, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
    // From another thread, as the camera's frames are drawn.
    std::thread([&] {
        EXPECT_TRUE(StretchDIBits(dc, 0, 0, 300, 200, 0, 0, 2, 2, grey, &info, DIB_RGB_COLORS, SRCCOPY));
        EXPECT_EQ(headless_read_screen(hwnd_).pixels, before);
        EXPECT_TRUE(TextOutA(dc, 2, 2, "FPS:  30", 8));
        EXPECT_TRUE(Rectangle(dc, 0, 300, 360, 382));
        EXPECT_EQ(headless_read_screen(hwnd_).pixels, before);
        EXPECT_TRUE(ValidateRect(hwnd_, nullptr));
    }).join();
    const HeadlessImage shown = headless_read_screen(hwnd_);
    EXPECT_EQ(shown.pixels, headless_read(dc).pixels);
    EXPECT_EQ(shown.at(200, 100), 0x5a5a5au);
    // The next frame's picture alone does not reach it, nor does another
    // thread's validating (a paint that does not wait for the frame).
    EXPECT_TRUE(StretchDIBits(dc, 0, 0, 300, 200, 0, 0, 1, 1, grey + 6, &info, DIB_RGB_COLORS, SRCCOPY));
    EXPECT_EQ(headless_read_screen(hwnd_).pixels, shown.pixels);
    std::thread([&] { EXPECT_TRUE(ValidateRect(hwnd_, nullptr)); }).join();
    EXPECT_EQ(headless_read_screen(hwnd_).pixels, shown.pixels);
    EXPECT_TRUE(ValidateRect(hwnd_, nullptr));
    EXPECT_NE(headless_read_screen(hwnd_).pixels, shown.pixels);
}

// A surface into every screen form: 4 bytes a pixel in either order, whole
// factors, a screen larger or smaller than the surface times the factor.
TEST(Screen, ShowsEachSurfacePixelAsABlockInTheScreensOrder) {
    for (int scale : {1, 2, 3})
        for (bool red_first : {false, true})
            for (int width : {1, 5, 6, 7, 33}) {
                lvx::Surface surface;
                surface.width = width;
                surface.height = 3;
                surface.pixels.resize(static_cast<size_t>(width) * 3 * 3);
                for (size_t i = 0; i < surface.pixels.size(); ++i)
                    surface.pixels[i] = static_cast<uint8_t>(i * 7 + 1);
                for (int extra : {-1, 0, 2}) {
                    lvx::Screen screen;
                    screen.width = width * scale + extra;
                    screen.height = 3 * scale + extra;
                    screen.pitch = static_cast<size_t>(screen.width) * 4 + 8;
                    screen.scale = scale;
                    screen.red_first = red_first;
                    std::vector<uint8_t> pixels(screen.pitch * screen.height, 0x11);
                    screen.pixels = pixels.data();
                    lvx::show_surface(surface, screen);
                    const int columns = std::min(width, screen.width / scale) * scale;
                    const int rows = std::min(3, screen.height / scale) * scale;
                    for (int y = 0; y < screen.height; ++y)
                        for (size_t x = 0; x < screen.pitch; ++x) {
                            const int px = static_cast<int>(x / 4), c = static_cast<int>(x % 4);
                            uint8_t want = 0x11;
                            if (px < columns && y < rows) {
                                const uint8_t *p = &surface.pixels[((y / scale) * width + px / scale) * 3];
                                want = c == 3 ? 0xff : p[red_first ? 2 - c : c];
                            }
                            ASSERT_EQ(pixels[y * screen.pitch + x], want)
                                << "scale " << scale << " width " << width << " extra " << extra << " at "
                                << px << "," << y;
                        }
                }
            }
}

TEST(Windows, CreationFailsForAnUnknownClassOrWithoutADisplay) {
    EXPECT_EQ(CreateWindowExA(0, "Nobody", "x", 0, 0, 0, 100, 100, nullptr, nullptr, nullptr, nullptr),
              nullptr);
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = DefWindowProcA;
    wc.lpszClassName = "Twice";
    EXPECT_NE(RegisterClassExA(&wc), 0);
    EXPECT_EQ(RegisterClassExA(&wc), 0) << "a class name registers once";
    headless_refuse_windows(true);
    EXPECT_EQ(CreateWindowExA(0, "Twice", "x", 0, 0, 0, 100, 100, nullptr, nullptr, nullptr, nullptr),
              nullptr);
    headless_refuse_windows(false);
    HWND h = CreateWindowExA(0, "Twice", "x", 0, 0, 0, 5, 5, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(headless_window_info(h).client_width, 0)
        << "outer size smaller than the frame: empty client area";
    EXPECT_TRUE(DestroyWindow(h));
    EXPECT_FALSE(DestroyWindow(h));
}

TEST(Windows, AWindowMadeAfterAllWereAskedToCloseIsAskedToo) {
    lvx::close_all_windows();  // an interrupt while the program starts, before its window
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = record;
    wc.lpszClassName = "Late";
    ASSERT_NE(RegisterClassExA(&wc), 0);
    HWND h = CreateWindowExA(0, "Late", "late", 0, 0, 0, 100, 100, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(h, nullptr);
    forget();
    PostMessageA(h, note, 0, 0);  // comes after a close request made before it
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) != 0 && msg.message != note) DispatchMessageA(&msg);
    EXPECT_EQ(messages(), (std::vector<UINT>{WM_CLOSE, WM_DESTROY}));
}

}  // namespace
