// V4L2 capture devices behind the portable DirectShow.
//
// Listing: every <dir>/video<N> (dir /dev) whose capabilities (the node's
// device caps when reported) include video capture and streaming, in the
// order of N. Each is named by its card name ("FriendlyName", UTF-8 turned
// into UTF-16) and has its node path as "DevicePath". A node that cannot be
// opened for want of permission (EACCES, EPERM) or because it is busy is
// listed under its node name ("video0"), so that connecting it reports why.
// Connecting: the node is opened through libv4l2 and asked for 640 x 480
// (the driver picks the nearest size it has) in V4L2_PIX_FMT_BGR24, which
// libv4l2 converts to from the camera's own format. Failures: E_ACCESSDENIED
// (no permission), HRESULT_FROM_WIN32(ERROR_BUSY) (held by another program,
// also from Run), HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED) (the node
// is gone), VFW_E_NO_ACCEPTABLE_TYPES (no format libv4l2 can turn into BGR),
// VFW_E_CANNOT_CONNECT otherwise.
// Streaming: four memory-mapped buffers; each frame is turned into a
// bottom-up DIB with rows padded to 4 bytes in a buffer made at connection.
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
};

// The calls in use; libv4l2 and /dev unless a test replaced them.
V4l2Ops &v4l2_ops();
// Back to libv4l2 and /dev.
void v4l2_use_system();

}  // namespace lumivex_platform
