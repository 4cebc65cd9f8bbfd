// Every filter called directly at geometries below its window, with missing
// buffers and with null frames: nothing is read or written outside a frame
// (the buffers are exact-size heap blocks, so AddressSanitizer sees any
// stray access), and each filter does what it promises there.
#include <gtest/gtest.h>

#include "filters/frame_support.h"
#include "filters/kernel_tables.h"

namespace {

const double k1[1] = {1.0};

struct Size {
    unsigned int w, h;
};
const Size kTiny[] = {{0, 0}, {1, 1}, {1, 7}, {7, 1}, {2, 2}, {3, 3}, {4, 4}, {4, 9}, {9, 4}};

bool untouched(Frame &f) {
    for (size_t i = 0; i < f.count(); ++i)
        if (f.pixels[i] != kSentinel) return false;
    return true;
}

struct BadInput : ::testing::Test {
    Frames fs;
};

}  // namespace

TEST_F(BadInput, ConvolutionsWriteOnlyWhereTheirWindowFits) {
    for (Size s : kTiny) {
        SCOPED_TRACE(::testing::Message() << s.w << "x" << s.h);
        Frame &src = fs.frame(s.w, s.h, grey(90));
        Frame &d5 = fs.frame(s.w, s.h), &d3 = fs.frame(s.w, s.h), &d1 = fs.frame(s.w, s.h),
              &dg = fs.frame(s.w, s.h);
        transform_frame(fs, src.data(), d5.data(), gauss_blur, 5, 1.0 / 159.0, 0.0);
        transform_frame(fs, src.data(), d3.data(), sharpness, 3, 1.0, 0.0);
        transform_frame(fs, src.data(), d1.data(), k1, 1, 1.0, 0.0);
        general_filter_frame(fs, src.data(), dg.data(), sobel_x, sobel_y, 3, 1.0 / 3.0);
        EXPECT_TRUE(untouched(d5)) << "no 5 x 5 window fits";
        EXPECT_EQ(untouched(d3), s.w < 3 || s.h < 3);
        for (size_t i = 0; i < d1.count(); ++i)
            EXPECT_EQ(d1.pixels[i], grey(90)) << "N = 1 computes every pixel";
        EXPECT_EQ(untouched(dg), s.w < 3 || s.h < 3);
        if (s.w == 3 && s.h == 3) {
            EXPECT_EQ(d3.at(0, 1), grey(0));
            EXPECT_EQ(d3.at(1, 1), grey(90));
            EXPECT_EQ(d3.at(2, 1), grey(0));
            EXPECT_EQ(d3.at(1, 0), kSentinel);
            EXPECT_EQ(dg.at(1, 1), grey(0));
            EXPECT_EQ(dg.at(0, 0), kSentinel);
        }
    }
}

TEST_F(BadInput, PointAndEdgeFiltersAtTinyGeometries) {
    for (Size s : kTiny) {
        SCOPED_TRACE(::testing::Message() << s.w << "x" << s.h);
        Frame &src = fs.frame(s.w, s.h);
        src.fill([](unsigned int x, unsigned int y) { return rgb(40 * x, 30 * y, 200); });
        Frame &save = fs.save(s.w, s.h, grey(33));
        Frame &last = fs.last(s.w, s.h, grey(10));

        Frame &edge = fs.frame(s.w, s.h), &thr = fs.frame(s.w, s.h), &avg = fs.frame(s.w, s.h),
              &ero = fs.frame(s.w, s.h), &red = fs.frame(s.w, s.h), &combo = fs.frame(s.w, s.h);
        edge_detect_frame(fs, src.data(), edge.data());
        threshold_frame(fs, src.data(), thr.data(), 42.0);
        average_frame(fs, src.data(), avg.data());
        erode_frame(fs, src.data(), ero.data(), 42.0);
        reduceedge_frame(fs, src.data(), red.data(), 260.0);
        combo_edgedetect_frame(fs, src.data(), combo.data(), 42.0);

        // edgefast needs a right and a lower neighbour.
        EXPECT_EQ(untouched(edge), s.w < 2 || s.h < 2);
        if (s.w >= 2 && s.h >= 2) {
            EXPECT_NE(edge.at(0, 0), kSentinel);
            EXPECT_EQ(edge.at(s.w - 1, 0), kSentinel);
        }
        // Whole-frame filters write every pixel at any size.
        for (size_t i = 0; i < src.count(); ++i) {
            EXPECT_EQ(thr.pixels[i], grey(0));
            EXPECT_NE(avg.pixels[i], kSentinel);
            EXPECT_EQ(last.pixels[i], src.pixels[i]);
            EXPECT_NE(red.pixels[i], kSentinel);
        }
        // With no interior pixel erode is a copy of the camera frame.
        if (s.w < 3 || s.h < 3) {
            EXPECT_TRUE(ero.same_as(save));
        }
        for (size_t i = 0; i < src.count(); ++i) EXPECT_NE(ero.pixels[i], kSentinel);
        EXPECT_TRUE(untouched(combo)) << "combo edge needs 5 x 5";
    }
}

TEST_F(BadInput, TrackingAndDrawBoxStayInsideTinyFrames) {
    for (Size s : kTiny) {
        SCOPED_TRACE(::testing::Message() << s.w << "x" << s.h);
        fs.last(s.w, s.h, grey(0));
        Frame &src = fs.frame(s.w, s.h, grey(255));
        Frame &dst = fs.frame(s.w, s.h);
        target_frame(fs, src.data(), dst.data(), false);  // at most 36 * 441 of change
        EXPECT_TRUE(dst.same_as(src) || s.w * s.h * 441 > 10000);
        draw_box(fs, 0, 0, 0xFFFFFFFFu, 0xFFFFFFFFu, dst.data());
        draw_box(fs, 0xFFFFFFFBu, 0xFFFFFFFBu, 5, 5, dst.data());
    }
    // 1 x 30 changing completely: marks at (0, 14); the square is dropped.
    fs.last(1, 30, grey(0));
    Frame &src = fs.frame(1, 30, grey(255));
    Frame &dst = fs.frame(1, 30);
    target_frame(fs, src.data(), dst.data(), false);
    for (unsigned int y = 0; y < 30; ++y) EXPECT_EQ(dst.at(0, y), rgb(255, 255, 255));
}

TEST_F(BadInput, StatefulFiltersAtTinyGeometries) {
    for (Size s : kTiny) {
        SCOPED_TRACE(::testing::Message() << s.w << "x" << s.h);
        Frame &src = fs.frame(s.w, s.h);
        src.fill([](unsigned int x, unsigned int y) { return rgb(90 * x, 70 * y, 250); });
        Frame &keep = fs.frame(s.w, s.h);
        keep.copy_from(src);
        fs.save(s.w, s.h, grey(5));
        canny_start(fs);
        rc_filter_start(fs);
        Frame &cd = fs.frame(s.w, s.h), &rd = fs.frame(s.w, s.h);
        canny_edge(fs, src.data(), cd.data(), 42.0, 0, 0);
        rc_filter(fs, keep.data(), rd.data());
        if (s.w < 3 || s.h < 3) {
            EXPECT_TRUE(cd.same_as(keep)) << "passes through below 3 x 3";
            EXPECT_TRUE(src.same_as(keep));
        } else {
            for (unsigned int x = 0; x < s.w; ++x) EXPECT_EQ(cd.at(x, 0), grey(0));
            for (unsigned int y = 0; y < s.h; ++y) EXPECT_EQ(cd.at(s.w - 1, y), grey(0));
        }
        for (size_t i = 0; i < rd.count(); ++i) EXPECT_NE(rd.pixels[i], kSentinel);
        EXPECT_EQ(non_maximal(fs, 0, 200), 0);
        EXPECT_EQ(non_maximal(fs, 0xFFFFFFFFu, 200), 0);
    }
}

TEST_F(BadInput, MissingBuffersAndNullFrames) {
    Frame &src = fs.frame(6, 6, grey(100));
    Frame &dst = fs.frame(6, 6);
    fs.last_frame = fs.save_frame = nullptr;
    average_frame(fs, src.data(), dst.data());
    erode_frame(fs, src.data(), dst.data(), 42.0);
    target_frame(fs, src.data(), dst.data(), false);
    EXPECT_TRUE(untouched(dst)) << "filters that need last_frame or save_frame write nothing without it";

    fs.save(6, 6, grey(1));
    Frame &last = fs.last(6, 6, grey(2));
    transform_frame(fs, nullptr, dst.data(), sharpness, 3, 1.0, 0.0);
    transform_frame(fs, src.data(), nullptr, sharpness, 3, 1.0, 0.0);
    transform_frame(fs, src.data(), dst.data(), nullptr, 3, 1.0, 0.0);
    general_filter_frame(fs, nullptr, dst.data(), sobel_x, sobel_y, 3, 1.0);
    general_filter_frame(fs, src.data(), dst.data(), sobel_x, nullptr, 3, 1.0);
    edge_detect_frame(fs, nullptr, dst.data());
    threshold_frame(fs, src.data(), nullptr, 1.0);
    average_frame(fs, nullptr, dst.data());
    erode_frame(fs, src.data(), nullptr, 1.0);
    reduceedge_frame(fs, nullptr, dst.data(), 1.0);
    combo_edgedetect_frame(fs, src.data(), nullptr, 1.0);
    target_frame(fs, nullptr, dst.data(), false);
    draw_box(fs, 0, 0, 3, 3, nullptr);
    canny_edge(fs, nullptr, dst.data(), 1.0, 0, 0);
    rc_filter(fs, src.data(), nullptr);
    calulate_gradients(fs, nullptr);
    EXPECT_TRUE(untouched(dst));
    EXPECT_TRUE(last.same_as(Frame(6, 6, grey(2))));
}
