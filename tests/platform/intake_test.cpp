// The intake's conversions of camera formats to the bottom-up BGR DIB:
// against the picture that was encoded, and against libv4l2's conversion of
// the same frames.
#include "platform/intake.h"

#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/dib.h"
#include "support/camera_frames.h"
#include "support/libv4l_convert.h"

using lumivex_platform::FrameIntake;
using lumivex_platform::IntakeFormat;

namespace {

const int W = 640;
const int H = 480;

struct Diff {
    int max = 0;
    double mean = 0;
};

// Per channel, a DIB (bottom-up, padded rows) against top-down BGR rows.
Diff compare(const std::vector<uint8_t> &dib, const std::vector<uint8_t> &bgr, int w, int h) {
    Diff d;
    const size_t stride = dib_stride(static_cast<size_t>(w)), row = static_cast<size_t>(w) * 3;
    double sum = 0;
    for (int y = 0; y < h; ++y) {
        const uint8_t *a = &dib[stride * static_cast<size_t>(h - 1 - y)];
        const uint8_t *b = &bgr[row * static_cast<size_t>(y)];
        for (size_t i = 0; i < row; ++i) {
            int e = std::abs(a[i] - b[i]);
            d.max = std::max(d.max, e);
            sum += e;
        }
    }
    d.mean = sum / (static_cast<double>(row) * h);
    return d;
}

std::vector<uint8_t> take_in(uint32_t fourcc, const std::vector<uint8_t> &frame, bool full_range,
                             size_t bytes_per_line = 0, int w = W, int h = H) {
    IntakeFormat f;
    f.fourcc = fourcc;
    f.width = w;
    f.height = h;
    f.full_range = full_range;
    f.bytes_per_line = bytes_per_line;
    FrameIntake intake(f);
    std::vector<uint8_t> dib(dib_stride(static_cast<size_t>(w)) * static_cast<size_t>(h), 0xAA);
    EXPECT_TRUE(intake.convert(frame.data(), frame.size(), dib.data()));
    return dib;
}

std::string name(uint32_t fourcc) { return std::string(reinterpret_cast<const char *>(&fourcc), 4); }

struct Case {
    uint32_t fourcc;
    bool full_range;
    int max;  // per channel, against the picture
    double mean;
};

}  // namespace

TEST(Intake, EveryFormatGivesThePictureUprightInItsColours) {
    const std::vector<uint8_t> picture = test_picture(W, H);
    // YUV loses a little to rounding and to chroma shared by 2 (4:2:2) or
    // 4 (4:2:0) pixels; JPEG rings at the bars' edges, so only its mean holds.
    const Case cases[] = {
        {V4L2_PIX_FMT_BGR24, false, 0, 0},    {V4L2_PIX_FMT_RGB24, false, 0, 0},
        {V4L2_PIX_FMT_YUYV, false, 8, 1.0},   {V4L2_PIX_FMT_YUYV, true, 8, 1.0},
        {V4L2_PIX_FMT_UYVY, false, 8, 1.0},   {V4L2_PIX_FMT_NV12, false, 8, 1.0},
        {V4L2_PIX_FMT_NV12, true, 8, 1.0},    {V4L2_PIX_FMT_NV21, false, 8, 1.0},
        {V4L2_PIX_FMT_YUV420, false, 8, 1.0}, {V4L2_PIX_FMT_YVU420, true, 8, 1.0},
        {V4L2_PIX_FMT_MJPEG, true, 128, 1.0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(name(c.fourcc) + (c.full_range ? " full range" : " limited range"));
        Diff d = compare(take_in(c.fourcc, encode_frame(c.fourcc, picture, W, H, c.full_range), c.full_range),
                         picture, W, H);
        EXPECT_LE(d.max, c.max);
        EXPECT_LE(d.mean, c.mean);
    }
}

// Rows padded by the driver, and frames the intake must refuse.
TEST(Intake, TakesPaddedRowsAndRefusesShortOrForeignFrames) {
    const std::vector<uint8_t> picture = test_picture(W, H);
    const std::vector<uint8_t> yuyv = encode_frame(V4L2_PIX_FMT_YUYV, picture, W, H, false);
    const size_t row = static_cast<size_t>(W) * 2, padded_row = row + 64;
    std::vector<uint8_t> padded(padded_row * H, 0x55);
    for (int y = 0; y < H; ++y) std::copy_n(&yuyv[row * y], row, &padded[padded_row * y]);
    EXPECT_EQ(take_in(V4L2_PIX_FMT_YUYV, padded, false, padded_row), take_in(V4L2_PIX_FMT_YUYV, yuyv, false));

    std::vector<uint8_t> dib(dib_stride(W) * H);
    IntakeFormat f;
    f.fourcc = V4L2_PIX_FMT_YUYV;
    f.width = W;
    f.height = H;
    FrameIntake short_of_a_row(f);
    EXPECT_FALSE(short_of_a_row.convert(yuyv.data(), yuyv.size() - 1, dib.data()));
    f.fourcc = V4L2_PIX_FMT_NV12;
    const std::vector<uint8_t> nv12 = encode_frame(V4L2_PIX_FMT_NV12, picture, W, H, false);
    FrameIntake short_of_chroma(f);
    EXPECT_FALSE(short_of_chroma.convert(nv12.data(), nv12.size() - 1, dib.data()));
    EXPECT_TRUE(short_of_chroma.convert(nv12.data(), nv12.size(), dib.data()));

    f.fourcc = V4L2_PIX_FMT_MJPEG;
    FrameIntake jpeg(f);
    const std::vector<uint8_t> small =
        encode_frame(V4L2_PIX_FMT_MJPEG, test_picture(320, 240), 320, 240, true);
    EXPECT_FALSE(jpeg.convert(small.data(), small.size(), dib.data())) << "a frame of another size";
    std::vector<uint8_t> noise(20000);
    for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<uint8_t>(i * 2654435761u >> 24);
    EXPECT_FALSE(jpeg.convert(noise.data(), noise.size(), dib.data()));
    const std::vector<uint8_t> whole = encode_frame(V4L2_PIX_FMT_MJPEG, picture, W, H, true);
    EXPECT_TRUE(jpeg.convert(whole.data(), whole.size(), dib.data()));
}

// libv4l2 (libv4lconvert 1.22) takes Y as it comes, without widening the
// limited range, so its limited-range pictures have less contrast than the
// intake's: up to 20 levels per channel apart, about 10 on average (the
// intake stays within 6 of the encoded picture, above). On full-range YUV
// its chroma gains are the limited range's: up to 26 apart in saturated
// colours, 2.5 on average. MJPEG goes through the same libjpeg-turbo decoder
// in both, with the same settings: byte for byte the same.
TEST(Intake, StaysWithinTheStatedToleranceOfLibv4l2sConversion) {
    const std::vector<uint8_t> picture = test_picture(W, H);
    const Case cases[] = {
        {V4L2_PIX_FMT_YUYV, false, 20, 10.5},   {V4L2_PIX_FMT_YUYV, true, 26, 2.5},
        {V4L2_PIX_FMT_UYVY, false, 20, 10.5},   {V4L2_PIX_FMT_NV12, false, 20, 10.5},
        {V4L2_PIX_FMT_YUV420, false, 20, 10.5}, {V4L2_PIX_FMT_YVU420, false, 20, 10.5},
        {V4L2_PIX_FMT_MJPEG, true, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(name(c.fourcc) + (c.full_range ? " full range" : " limited range"));
        std::vector<uint8_t> frame = encode_frame(c.fourcc, picture, W, H, c.full_range);
        Libv4lConvert libv4l(c.fourcc, W, H);
        ASSERT_TRUE(libv4l.ok());
        std::vector<uint8_t> theirs(static_cast<size_t>(W) * H * 3);
        ASSERT_TRUE(libv4l.convert(frame.data(), frame.size(), theirs.data()));
        Diff d = compare(take_in(c.fourcc, frame, c.full_range), theirs, W, H);
        EXPECT_LE(d.max, c.max);
        EXPECT_LE(d.mean, c.mean);
    }
}
