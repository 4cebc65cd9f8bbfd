// Camera frames for the intake's tests and benchmark: a test picture (the
// emulated camera's bars and marker above colour and brightness sweeps)
// encoded in a camera format by libyuv or TurboJPEG.
#pragma once

#include <cstdint>
#include <vector>

// Top-down BGR rows of width * 3 bytes.
std::vector<uint8_t> test_picture(int width, int height);
// The picture as a camera would send it: YUV formats (YUYV, UYVY, NV12,
// NV21, YU12, YV12) in BT.601 limited or full range, MJPG as a JFIF of
// quality 90 with 4:2:2 chroma, BGR3 and RGB3 as they are. Rows of the
// first plane are the format's minimum. Empty for another format.
std::vector<uint8_t> encode_frame(uint32_t fourcc, const std::vector<uint8_t> &bgr, int width, int height,
                                  bool full_range);
