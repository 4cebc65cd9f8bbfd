#include "support/camera_frames.h"

#include <libyuv/convert.h>
#include <libyuv/convert_argb.h>
#include <libyuv/convert_from.h>
#include <libyuv/convert_from_argb.h>
#include <libyuv/planar_functions.h>
#include <linux/videodev2.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cmath>

#include "support/fakecam/picture.h"

std::vector<uint8_t> test_picture(int width, int height) {
    const size_t row = static_cast<size_t>(width) * 3;
    std::vector<uint8_t> bgr(row * static_cast<size_t>(height));
    const int top = height / 2;
    fakecam_draw_bgr(bgr.data(), row, width, top, 7);
    // Hue across, brightness down: every colour a camera sees, smoothly.
    for (int y = top; y < height; ++y) {
        double v = static_cast<double>(y - top) / std::max(1, height - top - 1);
        for (int x = 0; x < width; ++x) {
            double h = 6.0 * x / width;
            double c[3];
            for (int k = 0; k < 3; ++k) {
                double d = std::fabs(std::fmod(h + 2.0 * k, 6.0) - 3.0) - 1.0;
                c[k] = std::min(1.0, std::max(0.0, d));
            }
            uint8_t *p = &bgr[row * static_cast<size_t>(y) + 3 * static_cast<size_t>(x)];
            for (int k = 0; k < 3; ++k)
                p[k] = static_cast<uint8_t>(std::lround(255 * v * (0.2 + 0.8 * c[k])));
        }
    }
    return bgr;
}

std::vector<uint8_t> encode_frame(uint32_t fourcc, const std::vector<uint8_t> &bgr, int w, int h,
                                  bool full_range) {
    const size_t pixels = static_cast<size_t>(w) * static_cast<size_t>(h);
    const int half = (w + 1) / 2, half_h = (h + 1) / 2;
    std::vector<uint8_t> out;
    if (fourcc == V4L2_PIX_FMT_BGR24) return bgr;
    if (fourcc == V4L2_PIX_FMT_RGB24) {
        out = bgr;
        for (size_t i = 0; i < out.size(); i += 3) std::swap(out[i], out[i + 2]);
        return out;
    }
    if (fourcc == V4L2_PIX_FMT_MJPEG) {
        tjhandle tj = tjInitCompress();
        unsigned char *jpeg = nullptr;
        unsigned long size = 0;
        if (tjCompress2(tj, bgr.data(), w, w * 3, h, TJPF_BGR, &jpeg, &size, TJSAMP_422, 90, 0) == 0)
            out.assign(jpeg, jpeg + size);
        tjFree(jpeg);
        tjDestroy(tj);
        return out;
    }
    std::vector<uint8_t> argb(pixels * 4);
    libyuv::RGB24ToARGB(bgr.data(), w * 3, argb.data(), w * 4, w, h);
    std::vector<uint8_t> y(pixels);
    if (fourcc == V4L2_PIX_FMT_YUYV || fourcc == V4L2_PIX_FMT_UYVY) {
        std::vector<uint8_t> u(static_cast<size_t>(half) * h), v(u.size());
        (full_range ? libyuv::ARGBToJ422 : libyuv::ARGBToI422)(argb.data(), w * 4, y.data(), w, u.data(),
                                                               half, v.data(), half, w, h);
        out.resize(static_cast<size_t>(half) * 4 * h);
        libyuv::I422ToYUY2(y.data(), w, u.data(), half, v.data(), half, out.data(), half * 4, w, h);
        if (fourcc == V4L2_PIX_FMT_UYVY)
            for (size_t i = 0; i + 1 < out.size(); i += 2) std::swap(out[i], out[i + 1]);
        return out;
    }
    std::vector<uint8_t> u(static_cast<size_t>(half) * half_h), v(u.size());
    (full_range ? libyuv::ARGBToJ420 : libyuv::ARGBToI420)(argb.data(), w * 4, y.data(), w, u.data(), half,
                                                           v.data(), half, w, h);
    out = y;
    if (fourcc == V4L2_PIX_FMT_NV12 || fourcc == V4L2_PIX_FMT_NV21) {
        // The chroma plane's rows are as long as the luma plane's.
        std::vector<uint8_t> uv(static_cast<size_t>(w) * half_h);
        const bool nv21 = fourcc == V4L2_PIX_FMT_NV21;
        libyuv::MergeUVPlane(nv21 ? v.data() : u.data(), half, nv21 ? u.data() : v.data(), half, uv.data(), w,
                             half, half_h);
        out.insert(out.end(), uv.begin(), uv.end());
        return out;
    }
    if (fourcc == V4L2_PIX_FMT_YUV420 || fourcc == V4L2_PIX_FMT_YVU420) {
        // Chroma rows of half the luma rows' length (w even).
        const bool yv12 = fourcc == V4L2_PIX_FMT_YVU420;
        out.insert(out.end(), (yv12 ? v : u).begin(), (yv12 ? v : u).end());
        out.insert(out.end(), (yv12 ? u : v).begin(), (yv12 ? u : v).end());
        return out;
    }
    return {};
}
