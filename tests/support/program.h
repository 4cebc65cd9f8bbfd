// Runs the program's window side on a thread of its own through the headless
// backend, the way the process runs it, so tests can press keys, resize and
// close the window, feed frames and read the drawn pixels.
#pragma once

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/headless/headless.h"
#include "platform/win32.h"
#include "shell/program.h"

namespace test_support {

class ProgramRun {
  public:
    ProgramRun();
    ProgramRun(const ProgramRun &) = delete;
    ProgramRun &operator=(const ProgramRun &) = delete;
    // Closes the window if the test left it open and waits for the loop.
    ~ProgramRun();

    // The whole program: WinMain, camera start included. False if no window came up.
    bool start_program();
    // The whole program with a camera buffer of width x height in place of
    // the capture device: the real start-up (window, first status line,
    // buffers, FPS timer) and message loop, with no device delivering.
    // Frames then come from deliver_frame on any thread.
    bool start_with_frame(int width, int height);

    HWND hwnd() const { return hwnd_; }
    // The program's state, for tests to set and read.
    Program &program() { return *program_; }
    // Hands one frame (unpadded rows) to the camera as a capture device
    // would: rows padded to 4 bytes, 24 bits.
    void deliver_frame(const std::vector<unsigned char> &frame);
    // Waits until the window thread has handled everything given to it.
    void settle();
    void press(unsigned int vk);
    void down(unsigned int vk, bool repeat = false);
    void up(unsigned int vk);
    void resize(int width, int height);
    void close();
    // The window's pixels, never half-way through a redraw.
    HeadlessImage image() const;
    // Waits for the message loop to end and gives WinMain's result.
    int finish();
    bool finished() const { return !thread_.joinable(); }

  private:
    bool wait_started();
    std::unique_ptr<Program> program_;
    std::thread thread_;
    HWND hwnd_ = nullptr;
    int exit_code_ = -1;
};

// A frame of the current camera size whose every pixel tells its own
// position: blue = x & 0xff, green = y & 0xff, red = (x >> 8) | (y >> 8) << 4.
std::vector<unsigned char> position_frame(int width, int height);
// The status line `text` as TextOutA draws it: a white cell with black text,
// as an image exactly as wide as the cell.
HeadlessImage text_image(const std::string &text);
// Whether `image` holds `part` with its top-left corner at (x, y).
bool contains_at(const HeadlessImage &image, const HeadlessImage &part, int x, int y);

// A fresh empty working directory for the test, removed afterwards.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

  private:
    std::string path_;
    std::string previous_;
};

std::vector<unsigned char> read_file(const std::string &path);
bool file_exists(const std::string &path);

}  // namespace test_support
