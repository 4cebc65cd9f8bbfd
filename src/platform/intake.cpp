#include "platform/intake.h"

#include <libyuv/convert_argb.h>
#include <libyuv/planar_functions.h>
#include <linux/videodev2.h>
#include <turbojpeg.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>

#include "platform/dib.h"

namespace lumivex_platform {
namespace {

// Rows of 4:2:2 turned planar at a time: the band stays in the first-level
// cache while libyuv converts it.
const int band_rows = 16;

bool packed_422(uint32_t fourcc) { return fourcc == V4L2_PIX_FMT_YUYV || fourcc == V4L2_PIX_FMT_UYVY; }

bool planar_420(uint32_t fourcc) {
    return fourcc == V4L2_PIX_FMT_NV12 || fourcc == V4L2_PIX_FMT_NV21 || fourcc == V4L2_PIX_FMT_YUV420 ||
           fourcc == V4L2_PIX_FMT_YVU420 || fourcc == V4L2_PIX_FMT_NV12M;
}

// Bytes per pixel of the first plane's rows.
size_t min_line(uint32_t fourcc, int width) {
    size_t w = static_cast<size_t>(width);
    if (packed_422(fourcc)) return (w + 1) / 2 * 4;
    if (planar_420(fourcc)) return w;
    return w * 3;
}

// The frame size a JPEG's start-of-frame marker gives, found by walking the
// header's segments (cheaper than a second header parse by the decoder).
bool jpeg_size(const uint8_t *data, size_t bytes, int &width, int &height) {
    if (bytes < 4 || data[0] != 0xFF || data[1] != 0xD8) return false;
    size_t at = 2;
    while (at + 4 <= bytes) {
        if (data[at] != 0xFF) return false;
        const uint8_t marker = data[at + 1];
        if (marker == 0xFF) {  // fill byte
            ++at;
            continue;
        }
        const size_t length = static_cast<size_t>(data[at + 2]) << 8 | data[at + 3];
        const bool sof =
            marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (sof) {
            if (length < 7 || at + 9 > bytes) return false;
            height = data[at + 5] << 8 | data[at + 6];
            width = data[at + 7] << 8 | data[at + 8];
            return true;
        }
        if (marker == 0xDA || length < 2) return false;  // the scan came first: no frame header
        at += 2 + length;
    }
    return false;
}

}  // namespace

bool FrameIntake::handles(uint32_t fourcc) {
    return fourcc == V4L2_PIX_FMT_BGR24 || fourcc == V4L2_PIX_FMT_RGB24 || fourcc == V4L2_PIX_FMT_MJPEG ||
           packed_422(fourcc) || planar_420(fourcc);
}

FrameIntake::FrameIntake(const IntakeFormat &f) : format(f) {
    stride = std::max(format.bytes_per_line, min_line(format.fourcc, format.width));
    dib_row = dib_stride(static_cast<size_t>(format.width));
    const size_t rows = static_cast<size_t>(format.height);
    const size_t half_rows = (rows + 1) / 2;
    if (format.fourcc == V4L2_PIX_FMT_MJPEG) {
        whole = 1;
        jpeg = tjInitDecompress();
        if (!jpeg) throw std::bad_alloc();
    } else if (packed_422(format.fourcc)) {
        whole = stride * (rows - 1) + min_line(format.fourcc, format.width);
        const size_t w = static_cast<size_t>(format.width);
        band.resize((w + (w + 1) / 2 * 2) * band_rows);
    } else if (format.fourcc == V4L2_PIX_FMT_NV12M) {
        // Luma and chroma in planes of their own.
        whole = stride * (rows - 1) + static_cast<size_t>(format.width);
        const size_t pairs = (static_cast<size_t>(format.width) + 1) / 2 * 2;
        chroma_stride = std::max(format.chroma_bytes_per_line, pairs);
        chroma_whole = chroma_stride * (half_rows - 1) + pairs;
    } else if (format.fourcc == V4L2_PIX_FMT_NV12 || format.fourcc == V4L2_PIX_FMT_NV21) {
        // The chroma plane follows the luma plane, with rows as long.
        whole = stride * rows + stride * (half_rows - 1) + (static_cast<size_t>(format.width) + 1) / 2 * 2;
    } else if (planar_420(format.fourcc)) {
        // Two chroma planes of half the row length follow the luma plane.
        const size_t chroma_row = (static_cast<size_t>(format.width) + 1) / 2;
        whole = stride * rows + std::max(stride / 2, chroma_row) * (half_rows * 2 - 1) + chroma_row;
    } else {
        whole = stride * (rows - 1) + static_cast<size_t>(format.width) * 3;
    }
}

FrameIntake::~FrameIntake() {
    if (jpeg) tjDestroy(static_cast<tjhandle>(jpeg));
}

bool FrameIntake::convert(const uint8_t *frame, size_t bytes, uint8_t *dib, const uint8_t *chroma,
                          size_t chroma_bytes) {
    // libyuv takes strides as int.
    if (!frame || bytes < whole || stride > static_cast<size_t>(INT_MAX) ||
        chroma_stride > static_cast<size_t>(INT_MAX))
        return false;
    if (chroma_whole > 0 && (!chroma || chroma_bytes < chroma_whole)) return false;
    const int w = format.width;
    const int h = format.height;
    const int src_stride = static_cast<int>(stride);
    const int dst_stride = static_cast<int>(dib_row);
    // A negative height turns libyuv's output upside down: DIB rows run
    // bottom-up.
    const libyuv::YuvConstants *matrix =
        format.full_range ? &libyuv::kYuvJPEGConstants : &libyuv::kYuvI601Constants;
    switch (format.fourcc) {
        case V4L2_PIX_FMT_BGR24: {
            const size_t row = static_cast<size_t>(w) * 3;
            for (int y = 0; y < h; ++y)
                std::memcpy(dib + dib_row * static_cast<size_t>(h - 1 - y),
                            frame + stride * static_cast<size_t>(y), row);
            return true;
        }
        case V4L2_PIX_FMT_RGB24:
            return libyuv::RAWToRGB24(frame, src_stride, dib, dst_stride, w, -h) == 0;
        case V4L2_PIX_FMT_YUYV:
        case V4L2_PIX_FMT_UYVY: {
            const int half = (w + 1) / 2;
            uint8_t *y_band = band.data();
            uint8_t *u_band = y_band + static_cast<size_t>(w) * band_rows;
            uint8_t *v_band = u_band + static_cast<size_t>(half) * band_rows;
            for (int top = 0; top < h; top += band_rows) {
                const int rows = std::min(band_rows, h - top);
                const uint8_t *src = frame + stride * static_cast<size_t>(top);
                int r =
                    format.fourcc == V4L2_PIX_FMT_YUYV
                        ? libyuv::YUY2ToI422(src, src_stride, y_band, w, u_band, half, v_band, half, w, rows)
                        : libyuv::UYVYToI422(src, src_stride, y_band, w, u_band, half, v_band, half, w, rows);
                if (r != 0) return false;
                // Image row `top` is DIB row h - 1 - top; the band runs upwards.
                uint8_t *dst = dib + dib_row * static_cast<size_t>(h - 1 - top);
                if (libyuv::I422ToRGB24Matrix(y_band, w, u_band, half, v_band, half, dst, -dst_stride, matrix,
                                              w, rows) != 0)
                    return false;
            }
            return true;
        }
        case V4L2_PIX_FMT_NV12M:
            return libyuv::NV12ToRGB24Matrix(frame, src_stride, chroma, static_cast<int>(chroma_stride), dib,
                                             dst_stride, matrix, w, -h) == 0;
        case V4L2_PIX_FMT_NV12:
        case V4L2_PIX_FMT_NV21: {
            const uint8_t *uv = frame + stride * static_cast<size_t>(h);
            if (format.fourcc == V4L2_PIX_FMT_NV12)
                return libyuv::NV12ToRGB24Matrix(frame, src_stride, uv, src_stride, dib, dst_stride, matrix,
                                                 w, -h) == 0;
            return libyuv::NV21ToRGB24Matrix(frame, src_stride, uv, src_stride, dib, dst_stride, matrix, w,
                                             -h) == 0;
        }
        case V4L2_PIX_FMT_YUV420:
        case V4L2_PIX_FMT_YVU420: {
            const size_t chroma_stride = std::max(stride / 2, (static_cast<size_t>(w) + 1) / 2);
            const uint8_t *first = frame + stride * static_cast<size_t>(h);
            const uint8_t *second = first + chroma_stride * static_cast<size_t>((h + 1) / 2);
            // YV12's planes come V first.
            const bool yv12 = format.fourcc == V4L2_PIX_FMT_YVU420;
            const int cs = static_cast<int>(chroma_stride);
            return libyuv::I420ToRGB24Matrix(frame, src_stride, yv12 ? second : first, cs,
                                             yv12 ? first : second, cs, dib, dst_stride, matrix, w, -h) == 0;
        }
        case V4L2_PIX_FMT_MJPEG: {
            tjhandle handle = static_cast<tjhandle>(jpeg);
            // TurboJPEG would scale a frame of another size to fit.
            int jw = 0, jh = 0;
            if (!jpeg_size(frame, bytes, jw, jh) || jw != w || jh != h) return false;
            const unsigned long length = static_cast<unsigned long>(bytes);
            // A warning (a damaged but decodable frame) still gives a picture.
            if (tjDecompress2(handle, frame, length, dib, w, dst_stride, h, TJPF_BGR, TJFLAG_BOTTOMUP) != 0 &&
                tjGetErrorCode(handle) != TJERR_WARNING)
                return false;
            return true;
        }
        default:
            return false;
    }
}

}  // namespace lumivex_platform
