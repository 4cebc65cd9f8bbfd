#include "platform/v4l2_device.h"

#include <dirent.h>
#include <fcntl.h>
#include <libv4l2.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "platform/capture_device.h"
#include "platform/trace.h"

namespace lumivex_platform {
namespace {

int system_open(const char *path, int flags) { return v4l2_open(path, flags); }
int system_close(int fd) { return v4l2_close(fd); }
int system_ioctl(int fd, unsigned long request, void *arg) { return v4l2_ioctl(fd, request, arg); }
void *system_mmap(void *start, size_t length, int prot, int flags, int fd, int64_t offset) {
    return v4l2_mmap(start, length, prot, flags, fd, offset);
}
int system_munmap(void *start, size_t length) { return v4l2_munmap(start, length); }
int system_poll(int fd, int timeout_ms) {
    pollfd p = {fd, POLLIN, 0};
    return ::poll(&p, 1, timeout_ms);
}

constexpr V4l2Ops system_ops = {system_open,   system_close, system_ioctl, system_mmap,
                                system_munmap, system_poll,  "/dev"};

// ioctl, again after an interrupted call.
int xioctl(int fd, unsigned long request, void *arg) {
    int r;
    do {
        r = v4l2_ops().ioctl(fd, request, arg);
    } while (r == -1 && errno == EINTR);
    return r;
}

// What a failed call on a node means to the graph: permission, a camera
// held by another program and a vanished node have codes of their own.
HRESULT errno_result(int error, HRESULT otherwise) {
    switch (error) {
        case EACCES:
        case EPERM:
            return E_ACCESSDENIED;
        case EBUSY:
            return HRESULT_FROM_WIN32(ERROR_BUSY);
        case ENODEV:
        case ENOENT:
        case ENXIO:
            return HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED);
        default:
            return otherwise;
    }
}

const int wanted_width = 640;
const int wanted_height = 480;
const unsigned buffer_count = 4;
const int wait_ms = 50;
// Dequeue failures in a row after which the device counts as gone.
const int failures_to_give_up = 100;

class V4l2Stream : public DeviceStream {
  public:
    V4l2Stream(int fd, int width, int height, size_t source_stride)
        : fd(fd),
          frame_width(width),
          frame_height(height),
          source_stride(source_stride),
          dib(dib_stride(width) * static_cast<size_t>(height), 0) {}

    ~V4l2Stream() override {
        stop();
        v4l2_ops().close(fd);
    }

    int width() const override { return frame_width; }
    int height() const override { return frame_height; }

    HRESULT start() override {
        if (streaming) return S_OK;
        v4l2_requestbuffers request;
        std::memset(&request, 0, sizeof request);
        request.count = buffer_count;
        request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        request.memory = V4L2_MEMORY_MMAP;
        if (xioctl(fd, VIDIOC_REQBUFS, &request) == -1) return errno_result(errno, VFW_E_CANNOT_CONNECT);
        if (request.count == 0) return VFW_E_CANNOT_CONNECT;
        for (unsigned i = 0; i < request.count; ++i) {
            v4l2_buffer buffer;
            std::memset(&buffer, 0, sizeof buffer);
            buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            buffer.memory = V4L2_MEMORY_MMAP;
            buffer.index = i;
            if (xioctl(fd, VIDIOC_QUERYBUF, &buffer) == -1) return fail_start();
            void *start = v4l2_ops().mmap(nullptr, buffer.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd,
                                          buffer.m.offset);
            if (start == MAP_FAILED) return fail_start();
            mapped.push_back({start, buffer.length});
            if (xioctl(fd, VIDIOC_QBUF, &buffer) == -1) return fail_start();
        }
        v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (xioctl(fd, VIDIOC_STREAMON, &type) == -1) return fail_start(errno);
        streaming = true;
        failures = 0;
        return S_OK;
    }

    Next next(SampleData &out) override {
        lvx::trace_delivering(0, 0, 0);
        int ready = v4l2_ops().poll(fd, wait_ms);
        if (ready == 0) return Next::idle;
        if (ready < 0) return errno == EINTR ? Next::idle : Next::end;
        v4l2_buffer buffer;
        std::memset(&buffer, 0, sizeof buffer);
        buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buffer.memory = V4L2_MEMORY_MMAP;
        if (xioctl(fd, VIDIOC_DQBUF, &buffer) == -1) {
            if (errno == ENODEV || errno == EBADF || ++failures >= failures_to_give_up) return Next::end;
            return Next::idle;
        }
        failures = 0;
        // A buffer counts only if it holds a whole frame, whatever bytesused says.
        bool whole = buffer.index < mapped.size() && buffer.bytesused >= frame_bytes() &&
                     mapped[buffer.index].length >= frame_bytes() && !(buffer.flags & V4L2_BUF_FLAG_ERROR);
        if (whole) {
            // V4L2 rows run top-down; a DIB's run bottom-up.
            const unsigned char *source = static_cast<const unsigned char *>(mapped[buffer.index].start);
            size_t row = static_cast<size_t>(frame_width) * 3;
            size_t stride = dib_stride(frame_width);
            for (int y = 0; y < frame_height; ++y) {
                std::memcpy(&dib[stride * static_cast<size_t>(frame_height - 1 - y)],
                            source + source_stride * static_cast<size_t>(y), row);
            }
        }
        if (xioctl(fd, VIDIOC_QBUF, &buffer) == -1 && errno == ENODEV) return Next::end;
        if (!whole) return Next::idle;
        if (lvx::trace_on()) trace_frame(buffer);
        out.data = dib.data();
        out.length = static_cast<LONG>(dib.size());
        return Next::sample;
    }

    void stop() override {
        if (streaming) {
            v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            xioctl(fd, VIDIOC_STREAMOFF, &type);
            streaming = false;
        }
        release_buffers();
    }

  private:
    // The frame this thread now delivers, for the trace: ready when the
    // driver stamped it (if on the monotonic clock), else when dequeued.
    static void trace_frame(const v4l2_buffer &buffer) {
        const uint64_t now = lvx::trace_clock_ns();
        uint64_t ready = now;
        if ((buffer.flags & V4L2_BUF_FLAG_TIMESTAMP_MASK) == V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC &&
            (buffer.timestamp.tv_sec || buffer.timestamp.tv_usec))
            ready = static_cast<uint64_t>(buffer.timestamp.tv_sec) * 1000000000u +
                    static_cast<uint64_t>(buffer.timestamp.tv_usec) * 1000u;
        lvx::trace_delivering(buffer.sequence, ready, now);
    }

    struct Mapping {
        void *start;
        size_t length;
    };

    size_t frame_bytes() const {
        return source_stride * static_cast<size_t>(frame_height - 1) + static_cast<size_t>(frame_width) * 3;
    }

    HRESULT fail_start(int error = 0) {
        release_buffers();
        return errno_result(error, VFW_E_CANNOT_CONNECT);
    }

    void release_buffers() {
        for (const Mapping &m : mapped) v4l2_ops().munmap(m.start, m.length);
        if (!mapped.empty()) {
            v4l2_requestbuffers request;
            std::memset(&request, 0, sizeof request);
            request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            request.memory = V4L2_MEMORY_MMAP;
            xioctl(fd, VIDIOC_REQBUFS, &request);
        }
        mapped.clear();
    }

    int fd;
    int frame_width;
    int frame_height;
    size_t source_stride;
    std::vector<unsigned char> dib;
    std::vector<Mapping> mapped;
    bool streaming = false;
    int failures = 0;
};

class V4l2Device : public CaptureDevice {
  public:
    V4l2Device(std::string path, std::string card) : path(std::move(path)), card(std::move(card)) {}

    HRESULT read_property(const std::u16string &name, std::u16string &value) override {
        if (name == u"FriendlyName") {
            value = utf8_to_utf16(card);
            return S_OK;
        }
        if (name == u"DevicePath") {
            value = utf8_to_utf16(path);
            return S_OK;
        }
        return E_FAIL;
    }

    void request_size(int width, int height) override {
        wanted_w = width;
        wanted_h = height;
    }

    HRESULT connect(std::unique_ptr<DeviceStream> &stream) override {
        int fd = v4l2_ops().open(path.c_str(), O_RDWR | O_NONBLOCK);
        if (fd < 0) return errno_result(errno, VFW_E_CANNOT_CONNECT);
        v4l2_format format;
        // A driver may set another size than the one asked for; libv4l2 then
        // answers with the camera's own format at that size. Asking once more
        // for BGR at the size the driver chose settles it.
        int width = wanted_w;
        int height = wanted_h;
        for (int attempt = 0; attempt < 2; ++attempt) {
            std::memset(&format, 0, sizeof format);
            format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            format.fmt.pix.width = static_cast<uint32_t>(width);
            format.fmt.pix.height = static_cast<uint32_t>(height);
            format.fmt.pix.pixelformat = V4L2_PIX_FMT_BGR24;
            format.fmt.pix.field = V4L2_FIELD_ANY;
            if (xioctl(fd, VIDIOC_S_FMT, &format) == -1) {
                HRESULT hr = errno_result(errno, VFW_E_CANNOT_CONNECT);
                v4l2_ops().close(fd);
                return hr;
            }
            bool resized = format.fmt.pix.width != static_cast<uint32_t>(width) ||
                           format.fmt.pix.height != static_cast<uint32_t>(height);
            if (format.fmt.pix.pixelformat == V4L2_PIX_FMT_BGR24 || !resized) break;
            width = static_cast<int>(format.fmt.pix.width);
            height = static_cast<int>(format.fmt.pix.height);
        }
        // libv4l2 answers with the camera's own format when it cannot
        // convert that to 24-bit BGR.
        bool usable = format.fmt.pix.pixelformat == V4L2_PIX_FMT_BGR24 && format.fmt.pix.width > 0 &&
                      format.fmt.pix.height > 0 && format.fmt.pix.width <= 16384 &&
                      format.fmt.pix.height <= 16384;
        if (!usable) {
            v4l2_ops().close(fd);
            return format.fmt.pix.pixelformat == V4L2_PIX_FMT_BGR24 ? VFW_E_CANNOT_CONNECT
                                                                    : VFW_E_NO_ACCEPTABLE_TYPES;
        }
        width = static_cast<int>(format.fmt.pix.width);
        height = static_cast<int>(format.fmt.pix.height);
        size_t source_stride = std::max<size_t>(format.fmt.pix.bytesperline, static_cast<size_t>(width) * 3);
        try {
            stream.reset(new V4l2Stream(fd, width, height, source_stride));
        } catch (const std::bad_alloc &) {
            // A frame this big does not fit in memory.
            v4l2_ops().close(fd);
            return E_OUTOFMEMORY;
        }
        return S_OK;
    }

  private:
    std::string path;
    std::string card;
    int wanted_w = wanted_width;
    int wanted_h = wanted_height;
};

// The number N of a "video<N>" name, or -1.
long node_number(const char *name) {
    if (std::strncmp(name, "video", 5) != 0 || name[5] == '\0') return -1;
    for (const char *p = name + 5; *p; ++p) {
        if (*p < '0' || *p > '9') return -1;
    }
    return std::strtol(name + 5, nullptr, 10);
}

}  // namespace

// Built on first use: the device list is taken during static initialisation.
V4l2Ops &v4l2_ops() {
    static V4l2Ops ops = system_ops;
    return ops;
}

void v4l2_use_system() { v4l2_ops() = system_ops; }

DeviceList v4l2_devices() {
    DeviceList result;
    const V4l2Ops &ops = v4l2_ops();
    std::vector<std::pair<long, std::string>> nodes;
    if (DIR *dir = opendir(ops.device_dir)) {
        while (dirent *entry = readdir(dir)) {
            long n = node_number(entry->d_name);
            if (n >= 0) nodes.emplace_back(n, std::string(ops.device_dir) + "/" + entry->d_name);
        }
        closedir(dir);
    }
    std::sort(nodes.begin(), nodes.end());
    for (const auto &node : nodes) {
        int fd = ops.open(node.second.c_str(), O_RDWR | O_NONBLOCK);
        if (fd < 0) {
            // A node we may not open or that another program holds is listed
            // under its own name, so that connecting it can say why it fails.
            if (errno == EACCES || errno == EPERM || errno == EBUSY) {
                result.push_back(std::make_shared<V4l2Device>(
                    node.second, node.second.substr(node.second.rfind('/') + 1)));
            }
            continue;
        }
        v4l2_capability caps;
        std::memset(&caps, 0, sizeof caps);
        if (xioctl(fd, VIDIOC_QUERYCAP, &caps) == 0) {
            uint32_t have = (caps.capabilities & V4L2_CAP_DEVICE_CAPS) ? caps.device_caps : caps.capabilities;
            if ((have & V4L2_CAP_VIDEO_CAPTURE) && (have & V4L2_CAP_STREAMING)) {
                const char *card = reinterpret_cast<const char *>(caps.card);
                result.push_back(std::make_shared<V4l2Device>(
                    node.second, std::string(card, strnlen(card, sizeof caps.card))));
            }
        }
        ops.close(fd);
    }
    return result;
}

std::u16string utf8_to_utf16(const std::string &text) {
    std::u16string result;
    size_t i = 0;
    const size_t n = text.size();
    while (i < n) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        uint32_t code = 0xFFFD;
        size_t length = 1;
        size_t extra = 0;
        uint32_t minimum = 0;
        if (c < 0x80) {
            code = c;
        } else if ((c & 0xE0) == 0xC0) {
            code = c & 0x1F, extra = 1, minimum = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            code = c & 0x0F, extra = 2, minimum = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            code = c & 0x07, extra = 3, minimum = 0x10000;
        } else {
            code = 0xFFFD;
        }
        if (extra) {
            bool valid = i + extra < n;
            for (size_t k = 1; valid && k <= extra; ++k) {
                unsigned char d = static_cast<unsigned char>(text[i + k]);
                if ((d & 0xC0) != 0x80)
                    valid = false;
                else
                    code = (code << 6) | (d & 0x3F);
            }
            if (valid && (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)))
                valid = false;
            if (valid) {
                length = extra + 1;
            } else {
                code = 0xFFFD;
            }
        }
        if (code >= 0x10000) {
            code -= 0x10000;
            result.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
            result.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
        } else {
            result.push_back(static_cast<char16_t>(code));
        }
        i += length;
    }
    return result;
}

}  // namespace lumivex_platform
