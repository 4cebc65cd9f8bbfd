// V4L2 capture devices behind the portable DirectShow.
//
// Listing: every <dir>/video<N> (dir /dev) whose capabilities (the node's
// device caps when reported) include video capture (single- or multi-planar)
// and streaming, in the order of N. Each is named by its card name
// ("FriendlyName", UTF-8 turned into UTF-16) and has its node path as
// "DevicePath". A node that cannot be opened for want of permission (EACCES,
// EPERM) or because it is busy is listed under its node name ("video0"), so
// that connecting it reports why.
// Connecting: the node is opened through libv4l2. Asked for a camera format
// that FrameIntake (intake.h) converts, it sets that format at the size asked
// for (640 x 480 unless set; the driver picks the nearest size it has).
// Otherwise it asks libv4l2 for V4L2_PIX_FMT_BGR24 at that size, as it always
// did: libv4l2 chooses the camera format to convert from; when FrameIntake
// takes that format, it is set unconverted and FrameIntake turns it into BGR
// instead of libv4l2, else libv4l2's conversion stays. A frame interval asked
// for goes to VIDIOC_S_PARM; the one obtained is read back with VIDIOC_G_PARM.
// A multi-planar node (V4L2_CAP_VIDEO_CAPTURE_MPLANE without VIDEO_CAPTURE)
// is not handed to libv4l2, whose plugin for those cannot take two planes:
// it offers only the formats FrameIntake takes, and the one asked for (else
// the first it lists) is set and streamed with the _MPLANE buffer type,
// each plane of NV12M mapped on its own.
// Failures: E_ACCESSDENIED
// (no permission), HRESULT_FROM_WIN32(ERROR_BUSY) (held by another program,
// also from Run), HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED) (the node
// is gone), VFW_E_NO_ACCEPTABLE_TYPES (no format libv4l2 can turn into BGR),
// VFW_E_CANNOT_CONNECT otherwise.
// Streaming: four memory-mapped buffers; each frame is turned into a
// bottom-up DIB with rows padded to 4 bytes in a buffer made at connection.
// Formats: ENUM_FMT (without the formats libv4l2 converts to),
// ENUM_FRAMESIZES (of a range, its largest size) and ENUM_FRAMEINTERVALS.
// A node that goes away (ENODEV, or a run of failed dequeues) ends the stream,
// and the graph reports EC_DEVICE_LOST.
//
// The system calls go through v4l2_ops() so that tests can stand in for the
// driver.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lumivex_platform {

struct V4l2Ops {
    int (*open)(const char *path, int flags);
    int (*close)(int fd);
    int (*ioctl)(int fd, unsigned long request, void *arg);
    void *(*mmap)(void *start, size_t length, int prot, int flags, int fd, int64_t offset);
    int (*munmap)(void *start, size_t length);
    // Waits up to timeout_ms for the fd: >0 ready (or in error), 0 timed
    // out, <0 failed.
    int (*poll)(int fd, int timeout_ms);
    const char *device_dir;
    // The driver itself, past libv4l2's conversion (to learn which camera
    // format libv4l2 chose); null: `ioctl`.
    int (*device_ioctl)(int fd, unsigned long request, void *arg);
};

// The calls in use; libv4l2 and /dev unless a test replaced them.
V4l2Ops &v4l2_ops();
// Back to libv4l2 and /dev.
void v4l2_use_system();

}  // namespace lumivex_platform
