/* An emulated V4L2 camera for tests, loaded into a process with LD_PRELOAD.
 *
 * It makes /dev/video0 (and more nodes on request) exist for the process by
 * answering the C library calls that reach a video node: open, open64,
 * openat (and their _2 forms), close, ioctl, read, mmap/mmap64, poll, ppoll,
 * select, pselect, stat/lstat/fstat/fstatat (and the __xstat forms), access,
 * opendir/readdir on /dev, and syscall() for the calls libv4l2 makes
 * directly. Everything else goes to the C library unchanged.
 *
 * The node answers what a capture driver answers: QUERYCAP (capture,
 * read/write and streaming), ENUM_FMT, ENUM_FRAMESIZES (discrete sizes),
 * ENUM_FRAMEINTERVALS (the rates offered for the format and size, highest
 * first), G/S/TRY_FMT (an unknown format becomes the first one offered; the
 * size snaps to the nearest offered one; the rate becomes the highest offered
 * for them), G/S_PARM (S_PARM takes the offered rate nearest to the interval
 * asked for, and frames come at that rate), ENUMINPUT,
 * G/S_INPUT, REQBUFS (memory-mapped, 2 to 8 buffers), QUERYBUF, QBUF, DQBUF,
 * STREAMON, STREAMOFF; read() and poll/select readiness paced at the frame
 * rate (a frame missed while no buffer was queued is dropped, as a real
 * camera drops it); the controls of a UVC webcam (controls.h: QUERYCTRL,
 * QUERY_EXT_CTRL, QUERYMENU, G/S_CTRL, G/S/TRY_EXT_CTRLS), which change the
 * picture; any other request fails with ENOTTY. Each frame is the picture of
 * picture.h for its sequence number, as the controls change it.
 *
 * A multi-planar node (FAKECAM_MPLANE) answers as a multi-planar capture
 * driver does: QUERYCAP reports V4L2_CAP_VIDEO_CAPTURE_MPLANE and streaming
 * (no VIDEO_CAPTURE, no read()); ENUM_FMT, G/S/TRY_FMT (struct
 * v4l2_pix_format_mplane), G/S_PARM, REQBUFS, QUERYBUF, QBUF, DQBUF (arrays
 * of struct v4l2_plane, one mmap offset per plane), STREAMON and STREAMOFF
 * take V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE only and refuse the single-plane
 * type with EINVAL. NV12M comes in two planes (luma, then the Cb Cr pairs),
 * every other format in one; a single-plane node does not offer NV12M.
 *
 * Configuration, read once when the library loads:
 *   FAKECAM_NODES        number of nodes, /dev/video0 upwards (default 1, at most 8)
 *   FAKECAM_CARD         card name (default "Lumivex Fakecam"; node N > 0 adds " N")
 *   FAKECAM_FORMATS      formats offered, in order, comma-separated (default "YUYV,MJPG"):
 *                        BGR3 (or BGR24), RGB3 (RGB24), YUYV, NV12, MJPG (MJPEG: real
 *                        JPEG), H264 (never converted by anything: the frames are noise),
 *                        NV12M (NV12 in two planes: multi-planar nodes only)
 *   FAKECAM_SIZES        sizes offered, e.g. "640x480,320x240" (default "640x480,320x240,160x120")
 *   FAKECAM_FPS          frames a second (default 30)
 *   FAKECAM_RATES        the rates offered instead, e.g. "30,15,5" (default: FAKECAM_FPS alone)
 *   FAKECAM_BANDWIDTH    MB a second that uncompressed formats may send, or "usb2" (24.576): a
 *                        format and size get only the rates that fit, at least the lowest one,
 *                        as on a UVC camera (with "usb2" and rates 30,20,15,10,5: YUYV 640x480 at
 *                        30, 1920x1080 at 5; MJPEG at 30 whatever the size); default: no limit
 *   FAKECAM_MPLANE       "1": every node is multi-planar; or the nodes named, e.g. "video1"
 *   FAKECAM_YUV_RANGE    "limited": YUYV and NV12 in BT.601 limited range (Y 16..235), marked
 *                        V4L2_QUANTIZATION_LIM_RANGE; default full range, marked FULL_RANGE
 *   FAKECAM_FAULT        comma-separated faults:
 *                          eacces       open fails with EACCES (the node is root:video 0660)
 *                          fmt-busy     S_FMT fails with EBUSY (another program holds it)
 *                          stream-busy  STREAMON fails with EBUSY
 *                          unplug       the node goes away FAKECAM_UNPLUG_AFTER seconds
 *                                       after its first STREAMON: every call on an open
 *                                       handle then fails with ENODEV, poll reports
 *                                       POLLERR | POLLHUP, and the node is gone from /dev
 *                          stall        streams but never delivers a frame
 *                          slow         5 frames a second whatever FAKECAM_FPS says
 *                          eio          streams, but poll reports an error and every
 *                                       dequeue fails with EIO
 *                          size-change  the first S_FMT on a handle sets the offered size after
 *                                       the nearest one (later ones behave)
 *   FAKECAM_UNPLUG_AFTER seconds (default 1)
 *   FAKECAM_REPLUG_AFTER seconds after unplugging when the node comes back (default: never)
 *   FAKECAM_UNPLUGS      how many times the node goes (default 1); each time it is back, the
 *                        unplug clock starts again at its first STREAMON
 *   FAKECAM_LOG          a file that gets one line per call the emulation answers
 *                        (QBUF and DQBUF only when they fail, unless FAKECAM_LOG_ALL is set;
 *                        with it, also each sleep of a poll); each close also logs the frames
 *                        drawn and the processor time that drawing and encoding them took
 *                        (the emulation's own cost)
 */
#ifndef FAKECAM_H
#define FAKECAM_H
#include "picture.h"
#endif
