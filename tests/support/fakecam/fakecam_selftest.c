/* Checks the emulated camera's own answers, with the library preloaded and
 * FAKECAM_FORMATS=BGR3, FAKECAM_SIZES=320x240,160x120, FAKECAM_FPS=20,
 * FAKECAM_FAULT=unplug, FAKECAM_UNPLUG_AFTER=1, FAKECAM_REPLUG_AFTER=0.5:
 * the node is a character device, unknown requests fail as a driver's do,
 * sizes snap, read() and select() follow the frame rate, frames are the
 * picture of picture.h, and unplugging gives ENODEV, POLLERR and ENOENT
 * until the node comes back. With FAKECAM_FAULT=stall,unplug (and the
 * emulation's log in FAKECAM_LOG, FAKECAM_LOG_ALL set) instead, poll on the
 * stalled stream sleeps until its timeout, and without one until the node
 * unplugs. Prints one line per failed check; exit code 1 if any failed. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include "picture.h"

static int failures;

#define CHECK(cond, ...)                                    \
    do {                                                    \
        if (!(cond)) {                                      \
            printf("fakecam_selftest: FAIL: " __VA_ARGS__); \
            printf(" (line %d)\n", __LINE__);               \
            ++failures;                                     \
        }                                                   \
    } while (0)

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

/* Lines of the emulation's log that say `what`. */
static int log_lines(const char *what) {
    FILE *f = fopen(getenv("FAKECAM_LOG"), "r");
    if (!f) return -1;
    char line[256];
    int count = 0;
    while (fgets(line, sizeof line, f)) count += strstr(line, what) != NULL;
    fclose(f);
    return count;
}

/* A stream that never delivers: one poll with a timeout, one without. Each
 * sleep of the emulation's poll is a line of its log: one that spun would
 * write thousands, however little processor time it got. */
static int check_stall(void) {
    if (!getenv("FAKECAM_LOG") || !getenv("FAKECAM_LOG_ALL")) {
        CHECK(0, "FAKECAM_LOG and FAKECAM_LOG_ALL are not set");
        return failures;
    }
    int fd = open("/dev/video0", O_RDWR | O_NONBLOCK);
    CHECK(fd >= 0, "open: %s", strerror(errno));
    struct v4l2_requestbuffers req = {
        .count = 2, .type = V4L2_BUF_TYPE_VIDEO_CAPTURE, .memory = V4L2_MEMORY_MMAP};
    CHECK(ioctl(fd, VIDIOC_REQBUFS, &req) == 0, "REQBUFS");
    for (unsigned i = 0; i < req.count; ++i) {
        struct v4l2_buffer b = {.index = i, .type = V4L2_BUF_TYPE_VIDEO_CAPTURE, .memory = V4L2_MEMORY_MMAP};
        CHECK(ioctl(fd, VIDIOC_QBUF, &b) == 0, "QBUF %u", i);
    }
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    CHECK(ioctl(fd, VIDIOC_STREAMON, &type) == 0, "STREAMON");
    /* The emulation has made its log by now; an earlier run's lines go. */
    CHECK(truncate(getenv("FAKECAM_LOG"), 0) == 0, "cannot empty the log: %s", strerror(errno));
    double wall = now();
    struct pollfd p = {fd, POLLIN, 0};
    CHECK(poll(&p, 1, 700) == 0, "poll on a stalled stream reported %#x", p.revents);
    double waited = now() - wall;
    CHECK(waited >= 0.7, "poll returned %.3f s into its 0.7 s timeout", waited);
    /* No timeout: it ends when the node unplugs. */
    CHECK(poll(&p, 1, -1) == 1 && (p.revents & POLLERR), "poll without a timeout did not see the unplug");
    waited = now() - wall;
    /* It sleeps up to 20 ms at a time: a slice per 10 ms leaves room. */
    int slices = log_lines("poll slice");
    CHECK(slices >= 1 && slices <= (int)(waited * 100) + 10, "poll slept %d times in %.2f s", slices, waited);
    close(fd);
    return failures;
}

int main(void) {
    const char *fault = getenv("FAKECAM_FAULT");
    if (fault && strstr(fault, "stall")) {
        int failed = check_stall();
        if (!failed) printf("fakecam_selftest: all passed\n");
        return failed ? 1 : 0;
    }
    struct stat st;
    CHECK(stat("/dev/video0", &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) == 81,
          "/dev/video0 is not a character device of major 81");
    CHECK(stat("/dev/video1", &st) == -1 && errno == ENOENT, "/dev/video1 exists");

    int fd = open("/dev/video0", O_RDWR);
    CHECK(fd >= 0, "open: %s", strerror(errno));
    struct v4l2_capability cap;
    CHECK(ioctl(fd, VIDIOC_QUERYCAP, &cap) == 0 && (cap.device_caps & V4L2_CAP_READWRITE) &&
              (cap.device_caps & V4L2_CAP_STREAMING),
          "QUERYCAP");
    CHECK(ioctl(fd, VIDIOC_G_STD, &(v4l2_std_id){0}) == -1 && errno == ENOTTY,
          "an unknown request is not ENOTTY");
    struct v4l2_fmtdesc desc = {.index = 1, .type = V4L2_BUF_TYPE_VIDEO_CAPTURE};
    CHECK(ioctl(fd, VIDIOC_ENUM_FMT, &desc) == -1 && errno == EINVAL, "ENUM_FMT past the end");

    struct v4l2_format f = {.type = V4L2_BUF_TYPE_VIDEO_CAPTURE};
    f.fmt.pix.width = 300;
    f.fmt.pix.height = 200;
    f.fmt.pix.pixelformat = V4L2_PIX_FMT_YUYV;
    CHECK(ioctl(fd, VIDIOC_S_FMT, &f) == 0, "S_FMT: %s", strerror(errno));
    CHECK(f.fmt.pix.width == 320 && f.fmt.pix.height == 240 && f.fmt.pix.pixelformat == V4L2_PIX_FMT_BGR24,
          "S_FMT gave %ux%u %.4s, not the nearest offered 320x240 BGR3", f.fmt.pix.width, f.fmt.pix.height,
          (char *)&f.fmt.pix.pixelformat);

    /* read(): one whole frame each, paced at 20 a second. */
    size_t size = 320 * 240 * 3;
    unsigned char *frame = malloc(size), *expected = malloc(size);
    double started = now();
    ssize_t got = 0;
    for (int i = 0; i < 10; ++i) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(fd, &set);
        struct timeval timeout = {1, 0};
        CHECK(select(fd + 1, &set, NULL, NULL, &timeout) == 1 && FD_ISSET(fd, &set),
              "select did not report a frame");
        got = read(fd, frame, size);
        CHECK(got == (ssize_t)size, "read gave %zd bytes", got);
    }
    double took = now() - started;
    CHECK(took > 0.4 && took < 0.8, "10 frames at 20 fps took %.2f s", took);
    struct fakecam_reading r;
    fakecam_read(frame, 320 * 3, 320, 240, 0, &r);
    fakecam_draw_bgr(expected, 320 * 3, 320, 240, r.frame);
    CHECK(r.marker_top_left && r.bars_right && memcmp(frame, expected, size) == 0,
          "read() frame is not frame %u", r.frame);

    /* Unplugged one second after streaming began. */
    while (now() - started < 1.1) usleep(10000);
    CHECK(read(fd, frame, size) == -1 && errno == ENODEV, "read after unplugging is not ENODEV");
    CHECK(ioctl(fd, VIDIOC_QUERYCAP, &cap) == -1 && errno == ENODEV,
          "QUERYCAP after unplugging is not ENODEV");
    struct pollfd p = {fd, POLLIN, 0};
    CHECK(poll(&p, 1, 100) == 1 && (p.revents & POLLERR), "poll after unplugging reports no error");
    CHECK(open("/dev/video0", O_RDWR) == -1 && errno == ENOENT, "an unplugged node opens");
    CHECK(close(fd) == 0, "close of an unplugged handle");

    /* Back half a second later; the new handle streams. */
    usleep(600000);
    fd = open("/dev/video0", O_RDWR | O_NONBLOCK);
    CHECK(fd >= 0, "the node did not come back: %s", strerror(errno));
    struct v4l2_requestbuffers req = {
        .count = 3, .type = V4L2_BUF_TYPE_VIDEO_CAPTURE, .memory = V4L2_MEMORY_MMAP};
    CHECK(ioctl(fd, VIDIOC_REQBUFS, &req) == 0 && req.count == 3, "REQBUFS");
    CHECK(read(fd, frame, size) == -1 && errno == EBUSY, "read() while buffers are allocated is not EBUSY");
    close(fd);
    free(frame);
    free(expected);
    if (!failures) printf("fakecam_selftest: all passed\n");
    return failures ? 1 : 0;
}
