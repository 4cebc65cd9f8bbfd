// The V4L2 layer against a driver whose every answer comes from the input:
// capabilities, the format it settles on (sizes, bytesperline, sizeimage,
// field, pixel format, among them the formats the intake converts), the
// buffers it offers and their lengths, each dequeued buffer's index,
// bytesused and flags, failures of any call, and a format that changes
// between connecting and streaming. Whatever it says,
// the frames handed on must be whole and nothing may be read out of bounds.
#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "capture/capture.h"
#include "fuzz_input.h"
#include "platform/v4l2_device.h"

namespace {

using lumivex_platform::V4l2Ops;

std::mutex lock;  // the driver's state; the streaming thread calls it too
FuzzInput *script = nullptr;
std::atomic<bool> exhausted{false};
std::map<void *, size_t> maps;
std::string folder;
uint32_t width = 0, height = 0, bytes_per_line = 0;

int fd_open(const char *, int) { return 3000; }
int fd_close(int) { return 0; }

// Fails the call now and then, with an errno the input picks.
bool fails() {
    static const int errors[] = {EINVAL, EBUSY, EIO, ENODEV, EAGAIN, EINTR, ENOMEM};
    if (script->below(16) != 0) return false;
    errno = errors[script->below(7)];
    return true;
}

int answer(int, unsigned long request, void *arg) {
    std::lock_guard<std::mutex> guard(lock);
    FuzzInput &in = *script;
    if (in.empty()) {
        exhausted = true;
        errno = ENODEV;
        return -1;
    }
    if (fails()) return -1;
    switch (request) {
        case VIDIOC_QUERYCAP: {
            auto *caps = static_cast<v4l2_capability *>(arg);
            for (size_t i = 0; i < sizeof caps->card; ++i) caps->card[i] = in.byte();
            caps->capabilities = in.flag() ? in.u32() : V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
            caps->device_caps = in.u32();
            return 0;
        }
        case VIDIOC_S_FMT:
        case VIDIOC_G_FMT: {
            auto *format = static_cast<v4l2_format *>(arg);
            width = in.flag() ? in.u32() : in.below(200);
            height = in.flag() ? in.u32() : in.below(200);
            bytes_per_line = in.flag() ? in.u32() : width * 3 + in.below(16);
            format->fmt.pix.width = width;
            format->fmt.pix.height = height;
            format->fmt.pix.bytesperline = bytes_per_line;
            format->fmt.pix.sizeimage = in.u32();
            format->fmt.pix.field = in.below(10);
            // Mostly BGR; else a camera format the intake takes, or anything.
            static const uint32_t own[] = {V4L2_PIX_FMT_YUYV,   V4L2_PIX_FMT_UYVY,  V4L2_PIX_FMT_NV12,
                                           V4L2_PIX_FMT_YUV420, V4L2_PIX_FMT_RGB24, V4L2_PIX_FMT_MJPEG};
            format->fmt.pix.pixelformat = in.below(8) ? V4L2_PIX_FMT_BGR24
                                          : in.flag() ? own[in.below(6)]
                                                      : in.u32();
            return 0;
        }
        case VIDIOC_REQBUFS: {
            auto *request_buffers = static_cast<v4l2_requestbuffers *>(arg);
            request_buffers->count = in.below(9);
            return 0;
        }
        case VIDIOC_QUERYBUF: {
            auto *buffer = static_cast<v4l2_buffer *>(arg);
            // Usually one frame as the format said, sometimes anything.
            const uint64_t frame = static_cast<uint64_t>(bytes_per_line) * height;
            buffer->length = in.below(4) ? static_cast<uint32_t>(frame) : in.u32();
            buffer->m.offset = buffer->index * 0x100000;
            return 0;
        }
        case VIDIOC_DQBUF: {
            auto *buffer = static_cast<v4l2_buffer *>(arg);
            buffer->index = in.below(4) ? in.below(4) : in.u32();
            buffer->bytesused = in.below(4) ? static_cast<uint32_t>(bytes_per_line * height) : in.u32();
            buffer->flags = in.below(8) ? 0 : in.u32();
            if (in.below(16) == 0) {
                // The format changes under the stream.
                width = in.below(200);
                height = in.below(200);
                bytes_per_line = width * 3;
            }
            return 0;
        }
        default:
            return 0;
    }
}

void *map(void *, size_t length, int, int, int, int64_t) {
    // Buffers beyond what a test machine holds are refused, as mmap would.
    if (length == 0 || length > (size_t(64) << 20)) return MAP_FAILED;
    void *block = std::malloc(length);
    if (!block) return MAP_FAILED;
    std::memset(block, 0x5A, length);
    std::lock_guard<std::mutex> guard(lock);
    maps[block] = length;
    return block;
}

int unmap(void *start, size_t) {
    std::lock_guard<std::mutex> guard(lock);
    auto it = maps.find(start);
    if (it == maps.end()) return -1;
    std::free(start);
    maps.erase(it);
    return 0;
}

int ready(int, int) {
    std::this_thread::yield();
    return exhausted ? -1 : 1;
}

std::atomic<unsigned> checksum{0};

// Reads every byte it is given, so a short sample is caught.
void take(unsigned char *data, int length, int) {
    unsigned sum = 0;
    for (int i = 0; i < length; ++i) sum += data[i];
    checksum += sum;
}

void set_up() {
    char pattern[] = "/tmp/lumivex-v4l2-fuzz-XXXXXX";
    if (!mkdtemp(pattern)) std::abort();
    folder = pattern;
    std::FILE *node = std::fopen((folder + "/video0").c_str(), "w");
    if (node) std::fclose(node);
    V4l2Ops &ops = lumivex_platform::v4l2_ops();
    ops.open = fd_open;
    ops.close = fd_close;
    ops.ioctl = answer;
    ops.mmap = map;
    ops.munmap = unmap;
    ops.poll = ready;
    ops.device_dir = folder.c_str();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool once = (set_up(), true);
    (void)once;
    FuzzInput in(data, size);
    script = &in;
    exhausted = false;
    try {
        VideoCapture capture(take);
        if (capture.NumDevices() > 0) {
            capture.Select(capture.GetDevices());
            capture.Start();
            auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
            while (!exhausted && std::chrono::steady_clock::now() < until) std::this_thread::yield();
            capture.Stop();
        }
    } catch (long) {
        // A failing device is a status line for the program; nothing to check here.
    }
    std::lock_guard<std::mutex> guard(lock);
    script = nullptr;
    if (!maps.empty()) {
        std::fprintf(stderr, "buffers left mapped: %zu\n", maps.size());
        std::abort();
    }
    return 0;
}
