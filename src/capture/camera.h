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
void camera_start();
void camera_stop();
// Frame entry point on the delivery thread.
void frame_callback(unsigned char *data, int length, int bits);
