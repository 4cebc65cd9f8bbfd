// The V4L2 devices of the portable DirectShow, with a stand-in driver in
// place of libv4l2 (the machine has no camera).
#include <gtest/gtest.h>
#include <linux/videodev2.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "capture/capture.h"
#include "platform/v4l2_device.h"
#include "shell/utility.h"
#include "support/dshow_test.h"
#include "support/new_limit.h"

namespace {

using lumivex_platform::V4l2Ops;

struct Node {
    std::string card;
    uint32_t capabilities = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
    uint32_t device_caps = 0;  // reported when non-zero
    bool converts_to_bgr = true;
    int width = 640;
    int height = 480;
    uint32_t bytes_per_line = 640 * 3;
    int frames_before_unplug = -1;  // -1: never
    uint32_t buffer_bytes = 0;      // size of each buffer when non-zero, else one frame
};

// A V4L2 driver in memory: nodes by path, one stream at a time.
struct FakeDriver {
    std::mutex mutex;
    std::map<std::string, Node> nodes;
    std::map<int, std::string> open;
    int next_fd = 1000;
    int opens = 0;
    int closes = 0;
    std::vector<std::vector<unsigned char>> buffers;
    std::deque<unsigned> queued;
    bool streaming = false;
    int delivered = 0;
    int stream_offs = 0;
    int unmaps = 0;
    std::string dir;
    uint32_t asked_width = 0;  // the size of the last VIDIOC_S_FMT
    uint32_t asked_height = 0;
    // Frames that have waited in their buffers (the program fell behind): a
    // poll that does not wait finds one ready while any are left.
    int backlog = 0;
};
FakeDriver *fake = nullptr;

// Top-down V4L2 row y of frame n.
unsigned char source_byte(int n, int y, size_t i) { return static_cast<unsigned char>(n * 11 + y * 5 + i); }

int fake_open(const char *path, int) {
    std::lock_guard<std::mutex> lock(fake->mutex);
    if (!fake->nodes.count(path)) {
        errno = ENOENT;
        return -1;
    }
    ++fake->opens;
    int fd = fake->next_fd++;
    fake->open[fd] = path;
    return fd;
}

int fake_close(int fd) {
    std::lock_guard<std::mutex> lock(fake->mutex);
    fake->open.erase(fd);
    ++fake->closes;
    return 0;
}

int fake_ioctl(int fd, unsigned long request, void *arg) {
    std::lock_guard<std::mutex> lock(fake->mutex);
    auto it = fake->open.find(fd);
    if (it == fake->open.end()) {
        errno = EBADF;
        return -1;
    }
    Node &node = fake->nodes[it->second];
    switch (request) {
        case VIDIOC_QUERYCAP: {
            v4l2_capability *caps = static_cast<v4l2_capability *>(arg);
            std::memset(caps, 0, sizeof *caps);
            std::memcpy(caps->card, node.card.data(), std::min(node.card.size(), sizeof caps->card));
            caps->capabilities = node.capabilities;
            if (node.device_caps) {
                caps->capabilities |= V4L2_CAP_DEVICE_CAPS;
                caps->device_caps = node.device_caps;
            }
            return 0;
        }
        case VIDIOC_S_FMT: {
            v4l2_format *format = static_cast<v4l2_format *>(arg);
            fake->asked_width = format->fmt.pix.width;
            fake->asked_height = format->fmt.pix.height;
            format->fmt.pix.width = node.width;
            format->fmt.pix.height = node.height;
            format->fmt.pix.bytesperline = node.bytes_per_line;
            // A format neither libv4l2 nor the intake takes.
            if (!node.converts_to_bgr) format->fmt.pix.pixelformat = V4L2_PIX_FMT_H264;
            return 0;
        }
        case VIDIOC_REQBUFS: {
            v4l2_requestbuffers *request_buffers = static_cast<v4l2_requestbuffers *>(arg);
            if (request_buffers->count > 4) request_buffers->count = 4;
            const size_t frame = static_cast<size_t>(node.bytes_per_line) * node.height;
            fake->buffers.assign(request_buffers->count,
                                 std::vector<unsigned char>(node.buffer_bytes ? node.buffer_bytes : frame));
            fake->queued.clear();
            return 0;
        }
        case VIDIOC_QUERYBUF: {
            v4l2_buffer *buffer = static_cast<v4l2_buffer *>(arg);
            buffer->length = static_cast<uint32_t>(fake->buffers.at(buffer->index).size());
            buffer->m.offset = buffer->index * 0x100000;
            return 0;
        }
        case VIDIOC_QBUF:
            fake->queued.push_back(static_cast<v4l2_buffer *>(arg)->index);
            return 0;
        case VIDIOC_DQBUF: {
            v4l2_buffer *buffer = static_cast<v4l2_buffer *>(arg);
            if (node.frames_before_unplug >= 0 && fake->delivered >= node.frames_before_unplug) {
                errno = ENODEV;
                return -1;
            }
            if (!fake->streaming || fake->queued.empty()) {
                errno = EAGAIN;
                return -1;
            }
            buffer->index = fake->queued.front();
            fake->queued.pop_front();
            if (fake->backlog > 0) --fake->backlog;
            std::vector<unsigned char> &data = fake->buffers[buffer->index];
            for (int y = 0; y < node.height; ++y) {
                for (size_t i = 0; i < node.bytes_per_line && node.bytes_per_line * y + i < data.size();
                     ++i) {
                    data[node.bytes_per_line * y + i] = source_byte(fake->delivered, y, i);
                }
            }
            buffer->bytesused = static_cast<uint32_t>(static_cast<size_t>(node.bytes_per_line) * node.height);
            ++fake->delivered;
            return 0;
        }
        case VIDIOC_STREAMON:
            fake->streaming = true;
            return 0;
        case VIDIOC_STREAMOFF:
            fake->streaming = false;
            ++fake->stream_offs;
            return 0;
        default:
            errno = ENOTTY;
            return -1;
    }
}

void *fake_mmap(void *, size_t, int, int, int, int64_t offset) {
    std::lock_guard<std::mutex> lock(fake->mutex);
    return fake->buffers.at(static_cast<size_t>(offset / 0x100000)).data();
}

int fake_munmap(void *, size_t) {
    std::lock_guard<std::mutex> lock(fake->mutex);
    ++fake->unmaps;
    return 0;
}

int fake_poll(int, int timeout) {
    if (timeout == 0) {
        std::lock_guard<std::mutex> lock(fake->mutex);
        return fake->backlog > 0 && !fake->queued.empty() ? 1 : 0;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return 1;
}

struct Frames {
    std::mutex mutex;
    std::vector<unsigned char> first;
    int length = 0;
    int bits = 0;
    std::atomic<int> count{0};
};
Frames got;

void keep_frame(unsigned char *data, int length, int bits) {
    {
        std::lock_guard<std::mutex> lock(got.mutex);
        if (got.count == 0) got.first.assign(data, data + length);
        got.length = length;
        got.bits = bits;
    }
    ++got.count;
}

class V4l2Devices : public ::testing::Test {
  protected:
    void SetUp() override {
        dshow_test::reset();
        fake = new FakeDriver;
        char dir[] = "/tmp/lumivex_v4l2_XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        fake->dir = dir;
        V4l2Ops &ops = lumivex_platform::v4l2_ops();
        ops.open = fake_open;
        ops.close = fake_close;
        ops.ioctl = fake_ioctl;
        ops.mmap = fake_mmap;
        ops.munmap = fake_munmap;
        ops.poll = fake_poll;
        ops.device_dir = fake->dir.c_str();
    }
    void TearDown() override {
        capture.reset();
        lumivex_platform::v4l2_use_system();
        for (const auto &node : fake->nodes) std::remove(node.first.c_str());
        std::remove((fake->dir + "/vbi0").c_str());
        rmdir(fake->dir.c_str());
        delete fake;
        fake = nullptr;
    }

    void add_node(const std::string &name, const Node &node) {
        std::string path = fake->dir + "/" + name;
        std::FILE *f = std::fopen(path.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fclose(f);
        fake->nodes[path] = node;
    }

    void build() {
        ::testing::internal::CaptureStderr();
        capture.reset(new VideoCapture(keep_frame, announce_device));
        printed = ::testing::internal::GetCapturedStderr();
    }

    std::unique_ptr<VideoCapture> capture;
    std::string printed;
};

Node named(const std::string &card) {
    Node node;
    node.card = card;
    return node;
}

TEST_F(V4l2Devices, ListsCaptureNodesInNumericOrderByCardName) {
    Node metadata = named("Metadata node");
    metadata.device_caps = V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING;  // the whole device can capture
    Node no_streaming = named("Read only");
    no_streaming.capabilities = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_READWRITE;
    Node wide = named(
        "Kamera \xC5\x81\xC3\xB3"
        "d\xC5\xBA");  // UTF-8 "Kamera Łódź"
    wide.device_caps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
    add_node("video10", wide);
    add_node("video2", metadata);
    add_node("video9", no_streaming);
    add_node("video0", named("Zero Cam"));
    add_node("video1x", named("Not a node"));
    add_node("vbi0", named("Not video"));
    build();
    ASSERT_EQ(capture->NumDevices(), 2);
    EXPECT_STREQ(capture->GetDevices()[0].GetFriendlyName(), "Zero Cam");
    EXPECT_STREQ(capture->GetDevices()[1].GetFriendlyName(), wide.card.c_str());
    EXPECT_EQ(std::u16string(capture->GetDevices()[1].filter_name), u"Kamera \u0141\u00F3d\u017A");
    // The console gets the card name as it came: UTF-8.
    EXPECT_EQ(printed, "fname: Zero Cam\nfname: Kamera \u0141\u00F3d\u017A\n");
    // Listing left no node open.
    EXPECT_EQ(fake->opens, fake->closes);
}

TEST_F(V4l2Devices, StreamsFramesAsBottomUpDibsWithPaddedRows) {
    Node cam = named("Odd");
    cam.width = 322;
    cam.height = 240;
    cam.bytes_per_line = 1000;  // the driver's own row padding
    add_node("video0", cam);
    build();
    ASSERT_EQ(capture->NumDevices(), 1);
    capture->Select(capture->GetDevices());
    int w = 0, h = 0;
    capture->GetSize(w, h);
    EXPECT_EQ(w, 322);
    EXPECT_EQ(h, 240);
    capture->Start();
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (got.count < 3 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    capture->Stop();
    EXPECT_GE(got.count, 3);
    EXPECT_EQ(fake->stream_offs, 1);
    EXPECT_EQ(fake->unmaps, 4);

    std::lock_guard<std::mutex> lock(got.mutex);
    const size_t stride = 968;
    EXPECT_EQ(got.length, static_cast<int>(stride * 240));
    EXPECT_EQ(got.bits, 24);
    ASSERT_EQ(got.first.size(), stride * 240);
    for (int r = 0; r < 240; ++r) {
        // DIB row r is the driver's row 239 - r.
        for (size_t i = 0; i < 966; ++i)
            ASSERT_EQ(got.first[stride * r + i], source_byte(0, 239 - r, i)) << r << "," << i;
        EXPECT_EQ(got.first[stride * r + 966], 0);
        EXPECT_EQ(got.first[stride * r + 967], 0);
    }
}

// Frames that waited while the program was busy are dropped for the newest
// one, and their buffers go back to the driver.
TEST_F(V4l2Devices, FramesThatWaitedAreDroppedForTheNewest) {
    Node cam = named("Busy");
    cam.width = 4;
    cam.height = 2;
    cam.bytes_per_line = 12;
    add_node("video0", cam);
    fake->backlog = 4;
    build();
    capture->Select(capture->GetDevices());
    capture->Start();
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (got.count < 1 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    capture->Stop();
    ASSERT_GE(got.count, 1);
    std::lock_guard<std::mutex> lock(got.mutex);
    // Four buffers were ready at once: the first frame shown is the fourth
    // (frame 3), its row 0 the DIB's last row.
    ASSERT_EQ(got.first.size(), 12u * 2);
    EXPECT_EQ(got.first[12], source_byte(3, 0, 0));
    EXPECT_EQ(got.first[0], source_byte(3, 1, 0));
}

TEST_F(V4l2Devices, AnUnpluggedCameraEndsTheStreamQuietly) {
    Node cam = named("Flaky");
    cam.frames_before_unplug = 3;
    add_node("video0", cam);
    build();
    capture->Select(capture->GetDevices());
    capture->Start();
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (got.count < 3 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(got.count, 3);
    capture->Stop();
    EXPECT_FALSE(capture->playing);
    capture.reset();
    EXPECT_EQ(fake->opens, fake->closes);
}

TEST_F(V4l2Devices, ACameraWithoutBgrCannotBeConnected) {
    Node cam = named("Stubborn");
    cam.converts_to_bgr = false;
    add_node("video0", cam);
    build();
    try {
        capture->Select(capture->GetDevices());
        FAIL() << "Select did not throw";
    } catch (long hr) {
        EXPECT_EQ(hr, static_cast<long>(VFW_E_NO_ACCEPTABLE_TYPES));
    }
    EXPECT_EQ(fake->opens, fake->closes);
}

// A 16384 x 16384 camera needs an 805 MB frame: on a machine without the
// memory, connecting it fails with E_OUTOFMEMORY and closes the device.
TEST_F(V4l2Devices, AFrameTooBigForMemoryFailsTheConnectionCleanly) {
    Node cam = named("Huge");
    cam.width = 16384;
    cam.height = 16384;
    cam.bytes_per_line = 16384 * 3;
    add_node("video0", cam);
    build();
    test_support::NewLimit limit(size_t(64) << 20);
    try {
        capture->Select(capture->GetDevices());
        FAIL() << "Select did not throw";
    } catch (long hr) {
        EXPECT_EQ(hr, static_cast<long>(E_OUTOFMEMORY));
    }
    EXPECT_EQ(fake->opens, fake->closes);
}

// A driver whose buffers are shorter than the frame its format describes,
// while claiming whole frames in them: nothing is read past a buffer and
// no sample is handed on.
TEST_F(V4l2Devices, BuffersShorterThanAFrameAreNeverRead) {
    Node cam = named("Short buffers");
    cam.width = 64;
    cam.height = 48;
    cam.bytes_per_line = 64 * 3;
    cam.buffer_bytes = 100;
    add_node("video0", cam);
    build();
    auto fake_delivered = [] {
        std::lock_guard<std::mutex> lock(fake->mutex);
        return fake->delivered;
    };
    capture->Select(capture->GetDevices());
    capture->Start();
    for (int i = 0; i < 200 && fake_delivered() < 5; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    capture->Stop();
    EXPECT_GE(fake_delivered(), 5);
    EXPECT_EQ(got.count, 0);
}

TEST_F(V4l2Devices, TheDeviceIsAskedForTheWantedSizeAndWhatItGivesCounts) {
    add_node("video0", named("Fixed"));
    build();
    capture->Select(capture->GetDevices());
    EXPECT_EQ(fake->asked_width, 640u);  // without a wish: 640 x 480
    EXPECT_EQ(fake->asked_height, 480u);

    capture.reset();
    build();
    capture->wanted_width = 1280;
    capture->wanted_height = 720;
    capture->Select(capture->GetDevices());
    EXPECT_EQ(fake->asked_width, 1280u);
    EXPECT_EQ(fake->asked_height, 720u);
    int w = 0, h = 0;
    capture->GetSize(w, h);
    EXPECT_EQ(w, 640);  // the driver's answer
    EXPECT_EQ(h, 480);
}

}  // namespace
