#include "platform/v4l2_device.h"

#include <dirent.h>
#include <fcntl.h>
#include <libv4l2.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "platform/capture_device.h"
#include "platform/intake.h"
#include "platform/trace.h"

namespace lumivex_platform {
namespace {

bool multi_planar(const v4l2_capability &caps) {
    const uint32_t have = (caps.capabilities & V4L2_CAP_DEVICE_CAPS) ? caps.device_caps : caps.capabilities;
    return (have & V4L2_CAP_VIDEO_CAPTURE_MPLANE) && !(have & V4L2_CAP_VIDEO_CAPTURE);
}

// As v4l2_open, but a multi-planar node is left to the driver: libv4l2's
// plugin for those cannot hand over a format of two planes (nor open a node
// set to one) and writes a line to standard output at each open. libv4l2's
// calls pass a descriptor they do not know straight to the driver, where
// ours use the multi-planar buffer type.
int system_open(const char *path, int flags) {
    int fd = ::open(path, flags);
    if (fd < 0) return fd;
    v4l2_capability caps;
    std::memset(&caps, 0, sizeof caps);
    if (::syscall(SYS_ioctl, fd, VIDIOC_QUERYCAP, &caps) == 0 && multi_planar(caps)) return fd;
    if (v4l2_fd_open(fd, 0) == -1) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}
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
// Straight to the driver, as libv4l2 itself reaches it.
int system_device_ioctl(int fd, unsigned long request, void *arg) {
    return static_cast<int>(::syscall(SYS_ioctl, fd, request, arg));
}

constexpr V4l2Ops system_ops = {system_open,   system_close, system_ioctl, system_mmap,
                                system_munmap, system_poll,  "/dev",       system_device_ioctl};

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

// The driver's own answer, past libv4l2's conversion.
int device_xioctl(int fd, unsigned long request, void *arg) {
    int (*call)(int, unsigned long, void *) =
        v4l2_ops().device_ioctl ? v4l2_ops().device_ioctl : v4l2_ops().ioctl;
    int r;
    do {
        r = call(fd, request, arg);
    } while (r == -1 && errno == EINTR);
    return r;
}

// libv4l2 writes a line to standard error for each call that fails; while a
// stream's dequeues keep failing, the first line says enough.
// The setting is libv4l2's one global; streams on other threads (an old
// graph stopping while a new one runs) change it under one lock.
void quiet_libv4l2(bool quiet) {
    static FILE *const null_file = std::fopen("/dev/null", "w");
    static std::mutex setting;
    std::lock_guard<std::mutex> lock(setting);
    v4l2_log_file = quiet ? null_file : nullptr;
}

const uint32_t hundred_ns = 10000000;

const int wanted_width = 640;
const int wanted_height = 480;
const unsigned buffer_count = 4;
const int wait_ms = 50;
// Dequeue failures in a row after which the device counts as gone; with a
// pause of wait_ms after each, about a second of them.
const int failures_to_give_up = 20;

class V4l2Stream : public DeviceStream {
  public:
    V4l2Stream(int fd, uint32_t type, const IntakeFormat &format, unsigned planes, int64_t interval)
        : fd(fd),
          type(type),
          planes(planes),
          frame_width(format.width),
          frame_height(format.height),
          fourcc(format.fourcc),
          interval(interval),
          intake(format),
          dib(dib_stride(format.width) * static_cast<size_t>(format.height), 0) {}

    ~V4l2Stream() override {
        stop();
        v4l2_ops().close(fd);
    }

    int width() const override { return frame_width; }
    int height() const override { return frame_height; }
    uint32_t camera_fourcc() const override { return fourcc; }
    int64_t frame_interval() const override { return interval; }

    HRESULT start() override {
        if (streaming) return S_OK;
        v4l2_requestbuffers request;
        std::memset(&request, 0, sizeof request);
        request.count = buffer_count;
        request.type = type;
        request.memory = V4L2_MEMORY_MMAP;
        if (xioctl(fd, VIDIOC_REQBUFS, &request) == -1) return errno_result(errno, VFW_E_CANNOT_CONNECT);
        if (request.count == 0) return VFW_E_CANNOT_CONNECT;
        for (unsigned i = 0; i < request.count; ++i) {
            v4l2_buffer buffer = record(i, held);
            if (xioctl(fd, VIDIOC_QUERYBUF, &buffer) == -1) return fail_start();
            for (unsigned p = 0; p < planes; ++p) {
                const size_t length = multi() ? held[p].length : buffer.length;
                const uint32_t offset = multi() ? held[p].m.mem_offset : buffer.m.offset;
                void *start =
                    v4l2_ops().mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, offset);
                if (start == MAP_FAILED) return fail_start();
                mapped.push_back({start, length});
            }
            if (xioctl(fd, VIDIOC_QBUF, &buffer) == -1) return fail_start();
        }
        uint32_t on = type;
        if (xioctl(fd, VIDIOC_STREAMON, &on) == -1) return fail_start(errno);
        streaming = true;
        failures = 0;
        return S_OK;
    }

    Next next(SampleData &out) override {
        lvx::trace_delivering(0, 0, 0);
        int ready = v4l2_ops().poll(fd, wait_ms);
        if (ready == 0) return Next::idle;
        if (ready < 0) return errno == EINTR ? Next::idle : Next::end;
        v4l2_buffer buffer = record(0, held);
        if (xioctl(fd, VIDIOC_DQBUF, &buffer) == -1) {
            if (errno == ENODEV || errno == EBADF || ++failures >= failures_to_give_up) {
                quiet_libv4l2(false);
                return Next::end;
            }
            // poll keeps reporting the error at once: pause rather than spin.
            if (errno != EAGAIN) {
                quiet_libv4l2(true);
                std::this_thread::sleep_for(std::chrono::milliseconds(wait_ms));
            }
            return Next::idle;
        }
        if (failures > 0) quiet_libv4l2(false);
        failures = 0;
        if (!take_newest(buffer)) return Next::end;
        // A buffer counts only if it holds a whole frame, whatever bytesused
        // says, and the intake can take it.
        const size_t first = static_cast<size_t>(buffer.index) * planes;
        bool whole = first + planes <= mapped.size() && !(buffer.flags & V4L2_BUF_FLAG_ERROR);
        if (whole) {
            const Mapping *m = &mapped[first];
            auto used = [&](unsigned p) {
                return std::min<size_t>(multi() ? held[p].bytesused : buffer.bytesused, m[p].length);
            };
            whole = planes == 1
                        ? intake.convert(static_cast<const uint8_t *>(m[0].start), used(0), dib.data())
                        : intake.convert(static_cast<const uint8_t *>(m[0].start), used(0), dib.data(),
                                         static_cast<const uint8_t *>(m[1].start), used(1));
        }
        if (xioctl(fd, VIDIOC_QBUF, &buffer) == -1 && errno == ENODEV) return Next::end;
        if (!whole) return Next::idle;
        if (lvx::trace_on()) trace_frame(buffer);
        out.data = dib.data();
        out.length = static_cast<LONG>(dib.size());
        return Next::sample;
    }

    void stop() override {
        if (failures > 0) quiet_libv4l2(false);
        if (streaming) {
            uint32_t off = type;
            xioctl(fd, VIDIOC_STREAMOFF, &off);
            streaming = false;
        }
        release_buffers();
    }

  private:
    bool multi() const { return type == V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE; }

    // A buffer record of this stream's type for buffer `index`; a
    // multi-planar one describes its planes in `plane`.
    v4l2_buffer record(unsigned index, v4l2_plane (&plane)[VIDEO_MAX_PLANES]) const {
        v4l2_buffer buffer;
        std::memset(&buffer, 0, sizeof buffer);
        buffer.type = type;
        buffer.memory = V4L2_MEMORY_MMAP;
        buffer.index = index;
        if (multi()) {
            std::memset(plane, 0, sizeof plane);
            buffer.m.planes = plane;
            buffer.length = VIDEO_MAX_PLANES;
        }
        return buffer;
    }

    // Frames that waited while the one before was processed (a frame took
    // longer than the camera's period) are dropped, not queued: the newest
    // ready frame replaces `buffer` (its planes in `held`), and the older
    // ones go back to the driver at once. With no frame waiting this is one
    // poll that returns at once. False when the device went away.
    bool take_newest(v4l2_buffer &buffer) {
        // At most one round of the buffers: a driver that keeps a frame ready
        // still has its newest taken.
        for (size_t n = 1; n < mapped.size() / planes && v4l2_ops().poll(fd, 0) > 0; ++n) {
            v4l2_buffer newer = record(0, spare);
            if (xioctl(fd, VIDIOC_DQBUF, &newer) == -1) break;
            if (xioctl(fd, VIDIOC_QBUF, &buffer) == -1 && errno == ENODEV) return false;
            buffer = newer;
            if (multi()) {
                std::memcpy(held, spare, sizeof held);
                buffer.m.planes = held;
            }
        }
        return true;
    }

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

    HRESULT fail_start(int error = 0) {
        release_buffers();
        return errno_result(error, VFW_E_CANNOT_CONNECT);
    }

    void release_buffers() {
        for (const Mapping &m : mapped) v4l2_ops().munmap(m.start, m.length);
        if (!mapped.empty()) {
            v4l2_requestbuffers request;
            std::memset(&request, 0, sizeof request);
            request.type = type;
            request.memory = V4L2_MEMORY_MMAP;
            xioctl(fd, VIDIOC_REQBUFS, &request);
        }
        mapped.clear();
    }

    int fd;
    uint32_t type;    // V4L2_BUF_TYPE_VIDEO_CAPTURE or its _MPLANE form
    unsigned planes;  // mapped per buffer
    int frame_width;
    int frame_height;
    uint32_t fourcc;
    int64_t interval;
    FrameIntake intake;
    std::vector<unsigned char> dib;
    std::vector<Mapping> mapped;         // each buffer's planes in turn
    v4l2_plane held[VIDEO_MAX_PLANES];   // the planes of the buffer being taken in
    v4l2_plane spare[VIDEO_MAX_PLANES];  // of a newer one dequeued after it
    bool streaming = false;
    int failures = 0;
};

class V4l2Device : public CaptureDevice {
  public:
    V4l2Device(std::string path, std::string card, uint32_t type = V4L2_BUF_TYPE_VIDEO_CAPTURE)
        : path(std::move(path)), card(std::move(card)), type(type) {}

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

    void request_format(uint32_t fourcc, int64_t interval) override {
        wanted_fourcc = fourcc;
        wanted_interval = interval;
    }

    std::vector<DeviceFormat> formats() override {
        std::vector<DeviceFormat> result;
        int fd = v4l2_ops().open(path.c_str(), O_RDWR | O_NONBLOCK);
        if (fd < 0) return result;
        for (uint32_t i = 0; i < 64; ++i) {
            v4l2_fmtdesc format;
            std::memset(&format, 0, sizeof format);
            format.index = i;
            format.type = type;
            if (xioctl(fd, VIDIOC_ENUM_FMT, &format) == -1) break;
            // libv4l2 lists the formats it converts to as well; a
            // multi-planar node offers only what the intake takes.
            if ((format.flags & V4L2_FMT_FLAG_EMULATED) ||
                (multi() && !FrameIntake::handles(format.pixelformat)))
                continue;
            for (uint32_t j = 0; j < 64; ++j) {
                v4l2_frmsizeenum size;
                std::memset(&size, 0, sizeof size);
                size.index = j;
                size.pixel_format = format.pixelformat;
                if (xioctl(fd, VIDIOC_ENUM_FRAMESIZES, &size) == -1) break;
                // Of a range of sizes, the largest stands for it.
                uint32_t w =
                    size.type == V4L2_FRMSIZE_TYPE_DISCRETE ? size.discrete.width : size.stepwise.max_width;
                uint32_t h =
                    size.type == V4L2_FRMSIZE_TYPE_DISCRETE ? size.discrete.height : size.stepwise.max_height;
                add_intervals(fd, format.pixelformat, w, h, result);
                if (size.type != V4L2_FRMSIZE_TYPE_DISCRETE) break;
            }
        }
        v4l2_ops().close(fd);
        return result;
    }

    HRESULT connect(std::unique_ptr<DeviceStream> &stream) override {
        int fd = v4l2_ops().open(path.c_str(), O_RDWR | O_NONBLOCK);
        if (fd < 0) return errno_result(errno, VFW_E_CANNOT_CONNECT);
        v4l2_format format;
        bool own = false;  // the camera's own format, taken in by FrameIntake
        if (multi()) {
            HRESULT hr = set_planar_format(fd, format);
            if (FAILED(hr)) {
                v4l2_ops().close(fd);
                return hr;
            }
            own = true;
        } else if (wanted_fourcc != V4L2_PIX_FMT_BGR24 && FrameIntake::handles(wanted_fourcc)) {
            std::memset(&format, 0, sizeof format);
            format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            format.fmt.pix.width = static_cast<uint32_t>(wanted_w);
            format.fmt.pix.height = static_cast<uint32_t>(wanted_h);
            format.fmt.pix.pixelformat = wanted_fourcc;
            format.fmt.pix.field = V4L2_FIELD_ANY;
            if (xioctl(fd, VIDIOC_S_FMT, &format) == -1) {
                HRESULT hr = errno_result(errno, VFW_E_CANNOT_CONNECT);
                v4l2_ops().close(fd);
                return hr;
            }
            own = FrameIntake::handles(format.fmt.pix.pixelformat);
        }
        if (!own) {
            if (!ask_bgr(fd, format)) {
                HRESULT hr = errno_result(errno, VFW_E_CANNOT_CONNECT);
                v4l2_ops().close(fd);
                return hr;
            }
            // libv4l2 answers with the camera's own format when it cannot
            // convert it; the intake may take it still.
            own = format.fmt.pix.pixelformat == V4L2_PIX_FMT_BGR24
                      ? take_own_format(fd, format)
                      : FrameIntake::handles(format.fmt.pix.pixelformat);
        }
        unsigned planes = 1;
        const IntakeFormat intake = intake_format(format, planes);
        const bool bgr = intake.fourcc == V4L2_PIX_FMT_BGR24;
        bool usable = (own || bgr) && intake.width > 0 && intake.height > 0 && intake.width <= 16384 &&
                      intake.height <= 16384;
        if (!usable) {
            v4l2_ops().close(fd);
            return own || bgr ? VFW_E_CANNOT_CONNECT : VFW_E_NO_ACCEPTABLE_TYPES;
        }
        int64_t interval = set_interval(fd);
        try {
            stream.reset(new V4l2Stream(fd, type, intake, planes, interval));
        } catch (const std::bad_alloc &) {
            // A frame this big does not fit in memory.
            v4l2_ops().close(fd);
            return E_OUTOFMEMORY;
        }
        return S_OK;
    }

  private:
    bool multi() const { return type == V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE; }

    // A multi-planar node, which libv4l2 leaves alone: sets the format asked
    // for if the intake takes it, else the first the node lists that it
    // takes, at the wanted size. VFW_E_NO_ACCEPTABLE_TYPES when there is
    // none, or the driver sets one the intake cannot take (NV12M comes in
    // two planes, the others in one).
    HRESULT set_planar_format(int fd, v4l2_format &format) {
        uint32_t fourcc = FrameIntake::handles(wanted_fourcc) ? wanted_fourcc : 0;
        for (uint32_t i = 0; fourcc == 0 && i < 64; ++i) {
            v4l2_fmtdesc offered;
            std::memset(&offered, 0, sizeof offered);
            offered.index = i;
            offered.type = type;
            if (xioctl(fd, VIDIOC_ENUM_FMT, &offered) == -1) break;
            if (FrameIntake::handles(offered.pixelformat)) fourcc = offered.pixelformat;
        }
        if (fourcc == 0) return VFW_E_NO_ACCEPTABLE_TYPES;
        std::memset(&format, 0, sizeof format);
        format.type = type;
        format.fmt.pix_mp.width = static_cast<uint32_t>(wanted_w);
        format.fmt.pix_mp.height = static_cast<uint32_t>(wanted_h);
        format.fmt.pix_mp.pixelformat = fourcc;
        format.fmt.pix_mp.field = V4L2_FIELD_ANY;
        if (xioctl(fd, VIDIOC_S_FMT, &format) == -1) return errno_result(errno, VFW_E_CANNOT_CONNECT);
        const v4l2_pix_format_mplane &set = format.fmt.pix_mp;
        if (!FrameIntake::handles(set.pixelformat) ||
            set.num_planes != (set.pixelformat == V4L2_PIX_FMT_NV12M ? 2 : 1))
            return VFW_E_NO_ACCEPTABLE_TYPES;
        return S_OK;
    }

    // What the intake needs of the format set, and the planes of a buffer.
    static IntakeFormat intake_format(const v4l2_format &format, unsigned &planes) {
        IntakeFormat intake;
        uint32_t quantization, colorspace;
        if (format.type == V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE) {
            const v4l2_pix_format_mplane &mp = format.fmt.pix_mp;
            intake.fourcc = mp.pixelformat;
            intake.width = static_cast<int>(mp.width);
            intake.height = static_cast<int>(mp.height);
            planes = mp.num_planes;
            intake.bytes_per_line = mp.plane_fmt[0].bytesperline;
            if (planes > 1) intake.chroma_bytes_per_line = mp.plane_fmt[1].bytesperline;
            quantization = mp.quantization;
            colorspace = mp.colorspace;
        } else {
            const v4l2_pix_format &pix = format.fmt.pix;
            intake.fourcc = pix.pixelformat;
            intake.width = static_cast<int>(pix.width);
            intake.height = static_cast<int>(pix.height);
            planes = 1;
            intake.bytes_per_line = pix.bytesperline;
            quantization = pix.quantization;
            colorspace = pix.colorspace;
        }
        // YUV is limited range unless the driver says otherwise; its default
        // for the JPEG colorspace is full range.
        intake.full_range = quantization == V4L2_QUANTIZATION_FULL_RANGE ||
                            (quantization == V4L2_QUANTIZATION_DEFAULT && colorspace == V4L2_COLORSPACE_JPEG);
        return intake;
    }

    // Asks libv4l2 for 24-bit BGR at the wanted size; false (errno set) when
    // the device refuses. A driver may set another size than the one asked
    // for; libv4l2 then answers with the camera's own format at that size.
    // Asking once more for BGR at the size the driver chose settles it.
    bool ask_bgr(int fd, v4l2_format &format) {
        int width = wanted_w;
        int height = wanted_h;
        for (int attempt = 0; attempt < 2; ++attempt) {
            std::memset(&format, 0, sizeof format);
            format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            format.fmt.pix.width = static_cast<uint32_t>(width);
            format.fmt.pix.height = static_cast<uint32_t>(height);
            format.fmt.pix.pixelformat = V4L2_PIX_FMT_BGR24;
            format.fmt.pix.field = V4L2_FIELD_ANY;
            if (xioctl(fd, VIDIOC_S_FMT, &format) == -1) return false;
            bool resized = format.fmt.pix.width != static_cast<uint32_t>(width) ||
                           format.fmt.pix.height != static_cast<uint32_t>(height);
            if (format.fmt.pix.pixelformat == V4L2_PIX_FMT_BGR24 || !resized) break;
            width = static_cast<int>(format.fmt.pix.width);
            height = static_cast<int>(format.fmt.pix.height);
        }
        return true;
    }

    // After libv4l2 chose the camera format to convert from: when FrameIntake
    // takes that format, sets it unconverted and returns true with `format`
    // describing it. Otherwise leaves libv4l2's conversion in place.
    bool take_own_format(int fd, v4l2_format &format) {
        v4l2_format camera;
        std::memset(&camera, 0, sizeof camera);
        camera.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (device_xioctl(fd, VIDIOC_G_FMT, &camera) == -1) return false;
        const uint32_t fourcc = camera.fmt.pix.pixelformat;
        if (fourcc == V4L2_PIX_FMT_BGR24 || !FrameIntake::handles(fourcc) ||
            camera.fmt.pix.width != format.fmt.pix.width || camera.fmt.pix.height != format.fmt.pix.height)
            return false;
        v4l2_format own = camera;
        if (xioctl(fd, VIDIOC_S_FMT, &own) == 0 && own.fmt.pix.pixelformat == fourcc &&
            own.fmt.pix.width == camera.fmt.pix.width && own.fmt.pix.height == camera.fmt.pix.height) {
            format = own;
            return true;
        }
        // Back to what libv4l2 had set up.
        ask_bgr(fd, format);
        return false;
    }

    // Asks for the wanted frame interval, if any; the interval the device
    // runs at (100 ns units), 0 when it does not say.
    int64_t set_interval(int fd) {
        v4l2_streamparm parm;
        if (wanted_interval > 0) {
            std::memset(&parm, 0, sizeof parm);
            parm.type = type;
            parm.parm.capture.timeperframe.numerator = static_cast<uint32_t>(wanted_interval);
            parm.parm.capture.timeperframe.denominator = hundred_ns;
            xioctl(fd, VIDIOC_S_PARM, &parm);
        }
        std::memset(&parm, 0, sizeof parm);
        parm.type = type;
        if (xioctl(fd, VIDIOC_G_PARM, &parm) == -1 || !(parm.parm.capture.capability & V4L2_CAP_TIMEPERFRAME))
            return 0;
        return fraction_interval(parm.parm.capture.timeperframe);
    }

    static int64_t fraction_interval(const v4l2_fract &f) {
        if (f.denominator == 0) return 0;
        return (static_cast<int64_t>(f.numerator) * hundred_ns + f.denominator / 2) / f.denominator;
    }

    static void add_intervals(int fd, uint32_t fourcc, uint32_t w, uint32_t h,
                              std::vector<DeviceFormat> &out) {
        if (w == 0 || h == 0 || w > 16384 || h > 16384) return;
        DeviceFormat entry = {fourcc, static_cast<int>(w), static_cast<int>(h), 0};
        bool any = false;
        for (uint32_t k = 0; k < 32; ++k) {
            v4l2_frmivalenum interval;
            std::memset(&interval, 0, sizeof interval);
            interval.index = k;
            interval.pixel_format = fourcc;
            interval.width = w;
            interval.height = h;
            if (xioctl(fd, VIDIOC_ENUM_FRAMEINTERVALS, &interval) == -1) break;
            if (interval.type == V4L2_FRMIVAL_TYPE_DISCRETE) {
                entry.interval = fraction_interval(interval.discrete);
            } else {
                // A range: its shortest and its longest interval.
                entry.interval = fraction_interval(interval.stepwise.min);
                if (entry.interval > 0) out.push_back(entry);
                entry.interval = fraction_interval(interval.stepwise.max);
            }
            if (entry.interval > 0) {
                out.push_back(entry);
                any = true;
            }
            if (interval.type != V4L2_FRMIVAL_TYPE_DISCRETE) break;
        }
        if (!any) out.push_back(entry);  // the size without a known rate
    }

    std::string path;
    std::string card;
    uint32_t type;  // the node's buffer type
    int wanted_w = wanted_width;
    int wanted_h = wanted_height;
    uint32_t wanted_fourcc = 0;
    int64_t wanted_interval = 0;
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
            if ((have & (V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_VIDEO_CAPTURE_MPLANE)) &&
                (have & V4L2_CAP_STREAMING)) {
                const char *card = reinterpret_cast<const char *>(caps.card);
                result.push_back(std::make_shared<V4l2Device>(
                    node.second, std::string(card, strnlen(card, sizeof caps.card)),
                    multi_planar(caps) ? V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE : V4L2_BUF_TYPE_VIDEO_CAPTURE));
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
