// Camera intake: the capture object, the camera buffer and its bitmap
// header, start and stop of everything frame-sized, and the frame callback.
#pragma once

#include <atomic>

#include "filters/filters.h"
#include "platform/win32.h"

class VideoCapture;
class VideoDevice;

extern VideoCapture *vc;
extern VideoDevice *devices;
extern int camera_x_size;
extern int camera_y_size;
extern color_type *camera_buffer;
extern BITMAPINFO camera_buffer_info;
extern std::atomic<bool> fast_capture;

// (Re)creates camera_buffer for camera_x_size x camera_y_size and fills
// camera_buffer_info; on failure adds "Unable to create camera buffer".
void camera_setup_buffer();
// (Re)creates every frame-sized buffer for camera_x_size x camera_y_size:
// the camera buffer, the pipeline's, Canny's and the RC filter's, in that
// order. Each one that cannot be made adds its status line.
void camera_make_buffers();
// Builds the capture object (vc) and takes its device list (devices), with
// each device's "fname:" line on the debug console unless `announce` is
// false. Runs once the command line has been read; a failure leaves vc null
// and is reported by camera_start. Tests may delete vc and call it again.
void camera_create(bool announce = true);
// Connects the chosen device (camera_choice, normally the first) and starts it, or, when none can be
// connected, the test pattern; creates every frame buffer on the way. A failure shows as a status line, never
// ends the program.
void camera_start();
// Called on the window thread a few times a second: reports a streaming
// camera that has sent nothing for two seconds (once), or treats it as lost
// when it is no longer listed; when the camera in use was lost (the graph's
// EC_DEVICE_LOST), says so and lets the test pattern take over at the same size;
// then, about once a second, looks for the same camera (by name) and
// connects it again.
void camera_watch();
// Stops the graph or the pattern (without frame_lock held), then releases
// every frame buffer. Harmless when repeated.
void camera_stop();
// The intake copy: one 24-bit frame (rows padded to 4 bytes in `data`)
// into camera_buffer. False, copying nothing, for a sample shorter than one
// frame, not 24-bit, or while camera_buffer is missing. The caller holds
// frame_lock.
bool camera_take_frame(const unsigned char *data, int length, int bits);
// Frame entry point on the delivery thread: copies one 24-bit frame (rows
// padded to 4 bytes in `data`) into camera_buffer and hands it to
// frame_ready, all under frame_lock. A sample that is shorter than one
// frame, not 24-bit, or comes while camera_buffer is missing is ignored.
void frame_callback(unsigned char *data, int length, int bits);
