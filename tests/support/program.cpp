#include "support/program.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>

#include "shell/main.h"

namespace test_support {

ProgramRun::ProgramRun() : program_(new Program) {}

ProgramRun::~ProgramRun() {
    if (!thread_.joinable()) return;
    if (hwnd_ && headless_window_info(hwnd_).alive) headless_close(hwnd_);
    thread_.join();
}

bool ProgramRun::wait_started() {
    hwnd_ = headless_wait_window("Lumivex", 60000);
    return hwnd_ != nullptr;
}

bool ProgramRun::start_program() {
    thread_ =
        std::thread([this] { exit_code_ = program_main(*program_, GetModuleHandleA(nullptr), SW_SHOW); });
    return wait_started();
}

bool ProgramRun::start_with_frame(int width, int height) {
    // Stands in for the camera's start: a camera buffer of the chosen size
    // and every buffer sized from it, with no device delivering.
    program_->store.camera_x_size = width;
    program_->store.camera_y_size = height;
    thread_ = std::thread([this] {
        exit_code_ = program_main(*program_, GetModuleHandleA(nullptr), SW_SHOW,
                                  [](Program &p) { p.camera.camera_make_buffers(); });
    });
    return wait_started();
}

void ProgramRun::settle() {
    if (!headless_wait_idle(hwnd_, 60000)) std::fprintf(stderr, "window thread did not settle\n");
}

void ProgramRun::press(unsigned int vk) {
    headless_press(hwnd_, vk);
    settle();
}

void ProgramRun::down(unsigned int vk, bool repeat) {
    headless_key(hwnd_, vk, true, repeat);
    settle();
}

void ProgramRun::up(unsigned int vk) {
    headless_key(hwnd_, vk, false);
    settle();
}

void ProgramRun::resize(int width, int height) {
    headless_resize(hwnd_, width, height);
    settle();
}

void ProgramRun::close() { headless_close(hwnd_); }

HeadlessImage ProgramRun::image() const {
    // Drawing into the window holds the frame lock for a whole picture.
    std::lock_guard<std::mutex> lock(program_->store.frame_lock);
    return headless_read(program_->window.main_dc);
}

int ProgramRun::finish() {
    if (thread_.joinable()) thread_.join();
    return exit_code_;
}

void ProgramRun::deliver_frame(const std::vector<unsigned char> &frame) {
    int width, height;
    {
        std::lock_guard<std::mutex> lock(program_->store.frame_lock);
        width = program_->store.camera_x_size;
        height = program_->store.camera_y_size;
    }
    // As a capture device delivers it: rows padded to 4 bytes.
    const size_t row = static_cast<size_t>(width > 0 ? width : 0) * 3;
    const size_t stride = (row + 3) & ~static_cast<size_t>(3);
    const size_t rows = height > 0 ? static_cast<size_t>(height) : 0;
    std::vector<unsigned char> sample(stride * rows, 0);
    for (size_t r = 0; r < rows && (r + 1) * row <= frame.size(); ++r)
        std::memcpy(&sample[r * stride], &frame[r * row], row);
    program_->camera.frame_callback(sample.data(), static_cast<int>(sample.size()), 24);
}

std::vector<unsigned char> position_frame(int width, int height) {
    std::vector<unsigned char> f(static_cast<size_t>(width) * height * 3);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            unsigned char *p = &f[(static_cast<size_t>(y) * width + x) * 3];
            p[0] = static_cast<unsigned char>(x & 0xff);
            p[1] = static_cast<unsigned char>(y & 0xff);
            p[2] = static_cast<unsigned char>((x >> 8) | ((y >> 8) << 4));
        }
    }
    return f;
}

HeadlessImage text_image(const std::string &text) {
    const int width = 1000;
    HDC dc = headless_create_surface(width, 16);
    // Black first, so the white cell shows where the text ends.
    unsigned char black[4] = {0, 0, 0, 0};
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = 1;
    info.bmiHeader.biHeight = 1;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    StretchDIBits(dc, 0, 0, width, 16, 0, 0, 1, 1, black, &info, DIB_RGB_COLORS, SRCCOPY);
    TextOutA(dc, 0, 0, text.c_str(), static_cast<int>(text.size()));
    HeadlessImage full = headless_read(dc);
    int cell = 0;
    for (int x = 0; x < width; ++x) {
        for (int y = 0; y < 16; ++y) {
            if (full.at(x, y) != 0) cell = x + 1;
        }
    }
    HeadlessImage out;
    out.width = cell;
    out.height = 16;
    for (int y = 0; y < 16; ++y) {
        auto row = full.pixels.begin() + static_cast<long>(y) * width * 3;
        out.pixels.insert(out.pixels.end(), row, row + cell * 3);
    }
    return out;
}

bool contains_at(const HeadlessImage &image, const HeadlessImage &part, int x, int y) {
    if (x < 0 || y < 0 || x + part.width > image.width || y + part.height > image.height) return false;
    for (int py = 0; py < part.height; ++py) {
        for (int px = 0; px < part.width; ++px) {
            if (image.at(x + px, y + py) != part.at(px, py)) return false;
        }
    }
    return true;
}

TempDir::TempDir() {
    char here[4096];
    if (getcwd(here, sizeof here)) previous_ = here;
    char pattern[] = "/tmp/lumivex-test-XXXXXX";
    const char *made = mkdtemp(pattern);
    path_ = made ? made : "";
    if (made && chdir(made) != 0) path_.clear();
}

TempDir::~TempDir() {
    if (!previous_.empty() && chdir(previous_.c_str()) != 0) return;
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

std::vector<unsigned char> read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool file_exists(const std::string &path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

}  // namespace test_support
