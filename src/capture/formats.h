// Camera formats through IAMStreamConfig: what a capture pin offers (pixel
// format, size, frame rates), the choice among them for what the user asked,
// and how the obtained format is told.
// Formats are named by their V4L2 FOURCC ("YUYV", "MJPG", "NV12", "BGR3"
// for 24-bit BGR, "YU12" for I420); Windows' names (YUY2, I420, IYUV) and
// RGB24/BGR24 are taken as the same.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/dshow.h"

struct CameraFormat {
    uint32_t fourcc = 0;
    int width = 0;
    int height = 0;
    double min_fps = 0;  // 0: not known
    double max_fps = 0;
    int index = -1;  // of the capability (GetStreamCaps)
};

// What the user asked for; zero: not asked.
struct FormatRequest {
    uint32_t fourcc = 0;
    int width = 0;
    int height = 0;
    double fps = 0;
    bool any() const { return fourcc != 0 || width > 0 || fps > 0; }
};

// "YUYV" for V4L2_PIX_FMT_YUYV; unprintable bytes as '?'.
std::string fourcc_name(uint32_t fourcc);
// A format name as the user types it (any case for the known names):
// false when it is not four characters nor a known alias.
bool parse_fourcc(const std::string &text, uint32_t &fourcc);
// The format a media subtype stands for; 0 for none.
uint32_t subtype_fourcc(const GUID &subtype);

// The capture pin's capabilities (FORMAT_VideoInfo only); empty when it has
// none or no IAMStreamConfig.
std::vector<CameraFormat> read_formats(ICaptureGraphBuilder2 *builder, IBaseFilter *filter);

// The capability to ask for, or -1 when none has the format asked for.
// The size asked for, else (current_width x current_height); failing an
// exact size, the nearest. Then the rate asked for (or the nearest), else
// the highest rate; at a tie the format that is cheapest to take in (BGR,
// then 4:2:2, 4:2:0, MJPEG, the rest), then the first listed.
int choose_format(const std::vector<CameraFormat> &formats, const FormatRequest &request, int current_width,
                  int current_height);

// Sets the chosen capability, at the rate asked for (within its range) or
// its highest; false when there was nothing to choose.
bool ask_format(ICaptureGraphBuilder2 *builder, IBaseFilter *filter, const FormatRequest &request);

// The pin's current format: connected, what the camera sends.
bool current_format(ICaptureGraphBuilder2 *builder, IBaseFilter *filter, CameraFormat &format);

// "MJPG 1920x1080 at 30 fps" (without the rate when not known).
std::string describe_format(const CameraFormat &format);
// Where the obtained format differs from the request: ", not the NV12
// asked for" and the like; empty when it matches.
std::string format_difference(const CameraFormat &obtained, const FormatRequest &request);
// One line per format and size, tab-indented: "\tYUYV\t640x480\t30, 15 fps".
std::string format_lines(const std::vector<CameraFormat> &formats);
