// Every fast filter path against its reference: randomised frames of many
// sizes (5 x 5 to a few hundred, odd widths), flat, noisy, gradient, block,
// saturated and near-threshold content, thresholds across 0 .. 511; for each
// instruction-set level this processor has and for 1, 2 and 3 threads. The
// destinations start with the same random bytes, so untouched pixels are
// compared too; so are the side effects (last_frame, the Canny buffers and
// smoothed source, the RC state).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "common/workers.h"
#include "filters/frame_support.h"
#include "filters/kernel_tables.h"
#include "kernels/dispatch.h"
#include "kernels/exact.h"

namespace {

struct Size {
    unsigned int w, h;
};
const Size kSizes[] = {{5, 5},   {6, 5},  {5, 7},   {7, 9},    {8, 8},   {13, 11}, {17, 6},
                       {31, 17}, {33, 9}, {64, 48}, {101, 77}, {127, 5}, {5, 127}, {257, 31}};

enum class Content { flat, noise, gradient, blocks, binary, near, coarse };
const Content kContents[] = {Content::flat,   Content::noise, Content::gradient, Content::blocks,
                             Content::binary, Content::near,  Content::coarse};

unsigned char byte_of(int v) { return static_cast<unsigned char>(v < 0 ? 0 : (v > 255 ? 255 : v)); }

// Paints a frame. `base` is a colour whose length other pixels share in
// near-threshold content (its channel permutations have the same length).
void paint(Frame &f, Content c, std::mt19937 &g, color_type base) {
    std::uniform_int_distribution<int> byte(0, 255);
    switch (c) {
        case Content::flat: {
            const color_type k = rgb(byte(g), byte(g), byte(g));
            f.fill([&](unsigned int, unsigned int) { return k; });
            break;
        }
        case Content::noise:
            f.fill([&](unsigned int, unsigned int) { return rgb(byte(g), byte(g), byte(g)); });
            break;
        case Content::gradient: {
            std::uniform_int_distribution<int> slope(-9, 9);
            int sx[3], sy[3], o[3];
            for (int k = 0; k < 3; ++k) {
                sx[k] = slope(g);
                sy[k] = slope(g);
                o[k] = byte(g);
            }
            f.fill([&](unsigned int x, unsigned int y) {
                return rgb(byte_of(o[0] + sx[0] * int(x) + sy[0] * int(y)),
                           byte_of(o[1] + sx[1] * int(x) + sy[1] * int(y)),
                           byte_of(o[2] + sx[2] * int(x) + sy[2] * int(y)));
            });
            break;
        }
        case Content::blocks: {
            const color_type a = rgb(byte(g), byte(g), byte(g)), b = rgb(byte(g), byte(g), byte(g));
            const unsigned int bw = 1 + g() % 7, bh = 1 + g() % 5;
            f.fill([&](unsigned int x, unsigned int y) { return ((x / bw + y / bh) % 2) ? a : b; });
            for (int i = 0; i < 6; ++i) f.at(g() % f.w, g() % f.h) = rgb(byte(g), byte(g), byte(g));
            break;
        }
        case Content::binary:
            f.fill(
                [&](unsigned int, unsigned int) { return rgb(g() % 2 * 255, g() % 2 * 255, g() % 2 * 255); });
            break;
        case Content::coarse:  // like the Sobel stage's output: multiples of 8, or 255
            f.fill([&](unsigned int, unsigned int) {
                auto level = [&] { return g() % 5 == 0 ? 255 : 8 * int(g() % 32); };
                return rgb(level(), level(), level());
            });
            break;
        case Content::near:
            f.fill([&](unsigned int, unsigned int) {
                switch (g() % 4) {
                    case 0:
                        return base;
                    case 1:
                        return color_type{base.g, base.r, base.b};
                    case 2:
                        return color_type{byte_of(base.b + int(g() % 3) - 1), base.g, base.r};
                    default:
                        return rgb(byte(g), byte(g), byte(g));
                }
            });
            break;
    }
}

void randomise(Frame &f, std::mt19937 &g) {
    f.fill([&](unsigned int, unsigned int) { return rgb(g() & 255, g() & 255, g() & 255); });
}

std::string first_difference(const Frame &a, const Frame &b) {
    for (unsigned int y = 0; y < a.h; ++y)
        for (unsigned int x = 0; x < a.w; ++x) {
            const color_type p = a.pixels[size_t(y) * a.w + x], q = b.pixels[size_t(y) * b.w + x];
            if (p != q) {
                std::ostringstream s;
                s << "first difference at (" << x << ", " << y << "): reference " << int(p.b) << ","
                  << int(p.g) << "," << int(p.r) << " fast " << int(q.b) << "," << int(q.g) << ","
                  << int(q.r);
                return s.str();
            }
        }
    return "";
}

#define EXPECT_SAME_FRAME(ref, fast) EXPECT_EQ(first_difference(ref, fast), "")

struct Mode {
    simd_level simd;
    unsigned int threads;
};

std::vector<Mode> modes() {
    std::vector<Mode> m;
    for (simd_level s : {simd_level::portable, simd_level::avx2, simd_level::avx512}) {
        if (static_cast<int>(s) > static_cast<int>(simd_supported())) continue;
        for (unsigned int t : {1u, 2u, 3u}) m.push_back({s, t});
    }
    return m;
}

std::string describe(const Mode &m, Size s, Content c, int round) {
    std::ostringstream o;
    o << simd_name(m.simd) << ", " << m.threads << " threads, " << s.w << "x" << s.h << ", content " << int(c)
      << ", round " << round;
    return o.str();
}

struct FastPaths : ::testing::Test {
    std::mt19937 g{12345};
    Frames fs;

    void TearDown() override {
        simd_select(simd_supported());
        set_worker_threads(0);
        set_min_band_work(32768);
    }

    double any_threshold() {
        switch (g() % 4) {
            case 0:
                return double(g() % 512);
            case 1:
                return std::uniform_real_distribution<double>(0.0, 511.0)(g);
            default:
                return color_size(rgb(g() & 255, g() & 255, g() & 255));
        }
    }

    // Runs check(size, content, round) for every mode, size and content.
    template <class F>
    void each_case(F check, int rounds = 1) {
        for (const Mode &m : modes()) {
            simd_select(m.simd);
            set_worker_threads(m.threads);
            set_min_band_work(0);
            for (Size s : kSizes)
                for (Content c : kContents)
                    for (int r = 0; r < rounds; ++r) {
                        SCOPED_TRACE(describe(m, s, c, r));
                        check(s, c);
                        if (::testing::Test::HasFailure()) return;
                    }
        }
    }

    // A source of the case, and reference and fast destinations starting
    // alike; the frame set takes the case's geometry.
    struct Case {
        Frame src, ref, fast;
        Case(Size s) : src(s.w, s.h), ref(s.w, s.h), fast(s.w, s.h) {}
    };
    Case make(Size s, Content c, color_type base) {
        fs.resize(s.w, s.h);
        Case f(s);
        paint(f.src, c, g, base);
        randomise(f.ref, g);
        f.fast.copy_from(f.ref);
        return f;
    }
    Case make(Size s, Content c) { return make(s, c, rgb(g() & 255, g() & 255, g() & 255)); }
};

}  // namespace

TEST_F(FastPaths, Convolutions) {
    struct Kernel {
        const double *table;
        unsigned int width;
        double factor, offset;
    };
    const Kernel kernels[] = {
        {gauss_blur, 5, gauss_factor, 0.0}, {laplace5, 5, 1.0, 128.0}, {laplace5, 5, 1.0, -7.0},
        {sharpness, 3, 1.0, 0.0},           {sharpness, 3, 1.0, 64.0}, {embossing, 3, 1.0, 128.0},
        {embossing, 3, 1.0, 0.0},
    };
    each_case([&](Size s, Content c) {
        for (const Kernel &k : kernels) {
            Case f = make(s, c);
            transform_frame_reference(fs, f.src.data(), f.ref.data(), k.table, k.width, k.factor, k.offset);
            transform_frame(fs, f.src.data(), f.fast.data(), k.table, k.width, k.factor, k.offset);
            EXPECT_SAME_FRAME(f.ref, f.fast) << "width " << k.width << " offset " << k.offset;
        }
    });
}

TEST_F(FastPaths, SobelIncludingTheThirdPerTapRounding) {
    each_case([&](Size s, Content c) {
        for (double scale : {1.0 / 3.0, 0.25, 1.0, 0.1, 100.0, 1e12}) {  // large: saturating sums
            Case f = make(s, c);
            general_filter_frame_reference(fs, f.src.data(), f.ref.data(), sobel_x, sobel_y, 3, scale);
            general_filter_frame(fs, f.src.data(), f.fast.data(), sobel_x, sobel_y, 3, scale);
            EXPECT_SAME_FRAME(f.ref, f.fast) << "scale " << scale;
        }
    });
    // Windows rising by 3 per column: from 4 (4, 7, 10) the taps sum to
    // 7.999999999999999, so 56; from 5 they sum to 8, so 64.
    for (simd_level level : {simd_level::portable, simd_supported()}) {
        simd_select(level);
        fs.resize(40, 6);
        Frame src(40, 6), ref(40, 6), fast(40, 6);
        src.fill([](unsigned int x, unsigned int) { return grey(3 * int(x) - 53); });
        general_filter_frame_reference(fs, src.data(), ref.data(), sobel_x, sobel_y, 3, 1.0 / 3.0);
        general_filter_frame(fs, src.data(), fast.data(), sobel_x, sobel_y, 3, 1.0 / 3.0);
        EXPECT_EQ(fast.at(20, 3), grey(56));  // window 4, 7, 10
        EXPECT_EQ(fast.at(21, 3), grey(64));  // window 7, 10, 13
        EXPECT_SAME_FRAME(ref, fast);
    }
}

TEST_F(FastPaths, PointFilters) {
    each_case([&](Size s, Content c) {
        const color_type base = rgb(g() & 255, g() & 255, g() & 255);
        {
            Case f = make(s, c, base);
            edge_detect_frame_reference(fs, f.src.data(), f.ref.data());
            edge_detect_frame(fs, f.src.data(), f.fast.data());
            EXPECT_SAME_FRAME(f.ref, f.fast) << "edgefast";
        }
        for (double t : {any_threshold(), color_size(base), 0.0, 511.0}) {
            Case f = make(s, c, base);
            threshold_frame_reference(fs, f.src.data(), f.ref.data(), t);
            threshold_frame(fs, f.src.data(), f.fast.data(), t);
            EXPECT_SAME_FRAME(f.ref, f.fast) << "threshold " << t;
        }
        {
            Case f = make(s, c, base);
            Frame last_ref(s.w, s.h), last_fast(s.w, s.h);
            randomise(last_ref, g);
            last_fast.copy_from(last_ref);
            fs.last_frame = last_ref.data();
            average_frame_reference(fs, f.src.data(), f.ref.data());
            fs.last_frame = last_fast.data();
            average_frame(fs, f.src.data(), f.fast.data());
            EXPECT_SAME_FRAME(f.ref, f.fast) << "average";
            EXPECT_SAME_FRAME(last_ref, last_fast) << "average's fs.last_frame";
        }
    });
}

TEST_F(FastPaths, ErodeKeepsFrameOrderMarks) {
    each_case([&](Size s, Content c) {
        const color_type base = rgb(g() & 255, g() & 255, g() & 255);
        for (double t : {any_threshold(), color_size(base)}) {
            Case f = make(s, c, base);
            // A camera frame with red 255 in places, which counts as a mark.
            Frame save(s.w, s.h);
            randomise(save, g);
            for (size_t i = 0; i < save.count(); i += 1 + g() % 9) save.pixels[i].r = 255;
            fs.save_frame = save.data();
            erode_frame_reference(fs, f.src.data(), f.ref.data(), t);
            erode_frame(fs, f.src.data(), f.fast.data(), t);
            EXPECT_SAME_FRAME(f.ref, f.fast) << "threshold " << t;
        }
    });
}

TEST_F(FastPaths, ReduceEdgeBothPasses) {
    each_case([&](Size s, Content c) {
        const color_type base = rgb(g() & 255, g() & 255, g() & 255);
        for (double t : {any_threshold(), color_size(base), 260.0}) {
            Case f = make(s, c, base);
            reduceedge_frame_reference(fs, f.src.data(), f.ref.data(), t);
            reduceedge_frame(fs, f.src.data(), f.fast.data(), t);
            EXPECT_SAME_FRAME(f.ref, f.fast) << "threshold " << t;
        }
    });
    // Wider than one strip of the column pass, and lengths exactly at 260.
    fs.resize(1100, 7);
    Frame src(1100, 7), ref(1100, 7), fast(1100, 7);
    src.fill([](unsigned int x, unsigned int y) {
        return (x * 7 + y * 3) % 5 == 0 ? rgb(240, 100, 0) : ((x + y) % 3 ? grey(200) : grey(20));
    });
    reduceedge_frame_reference(fs, src.data(), ref.data(), 260.0);
    reduceedge_frame(fs, src.data(), fast.data(), 260.0);
    EXPECT_SAME_FRAME(ref, fast);
}

TEST_F(FastPaths, ComboEdgeDirections) {
    each_case([&](Size s, Content c) {
        Case f = make(s, c);
        combo_edgedetect_frame_reference(fs, f.src.data(), f.ref.data(), 42.0);
        combo_edgedetect_frame(fs, f.src.data(), f.fast.data(), 42.0);
        EXPECT_SAME_FRAME(f.ref, f.fast);
    });
}

TEST_F(FastPaths, TrackingWithAndWithoutTheDifferencePicture) {
    each_case([&](Size s, Content c) {
        for (bool diff : {false, true}) {
            Case f = make(s, c);
            // The previous frame: the source with a moved patch, or anything.
            Frame last_ref(s.w, s.h), last_fast(s.w, s.h);
            if (g() % 2) {
                last_ref.copy_from(f.src);
                const unsigned int px = g() % s.w, py = g() % s.h;
                for (unsigned int y = py; y < s.h && y < py + 9; ++y)
                    for (unsigned int x = px; x < s.w && x < px + 12; ++x)
                        last_ref.at(x, y) = rgb(255 - x, 0, 9 * y);
            } else {
                randomise(last_ref, g);
            }
            last_fast.copy_from(last_ref);
            fs.last_frame = last_ref.data();
            target_frame_reference(fs, f.src.data(), f.ref.data(), diff);
            fs.last_frame = last_fast.data();
            target_frame(fs, f.src.data(), f.fast.data(), diff);
            EXPECT_SAME_FRAME(f.ref, f.fast) << "d_frame " << diff;
            EXPECT_SAME_FRAME(last_ref, last_fast);
        }
    });
}

TEST_F(FastPaths, CannyOutputSmoothedSourceAndBuffers) {
    each_case([&](Size s, Content c) {
        for (double t : {any_threshold(), 42.0, 0.0, -1.0}) {
            Case f = make(s, c);
            Frame src_fast(s.w, s.h), save(s.w, s.h);
            src_fast.copy_from(f.src);
            randomise(save, g);
            fs.save_frame = save.data();
            canny_start(fs);
            ASSERT_TRUE(canny_buffers_ready(fs));
            const size_t n = f.src.count();
            // Border entries are never computed; give them values that test
            // the unsigned comparisons of the suppression step.
            for (size_t i = 0; i < n; ++i) {
                fs.grad_mag[i] = (g() % 3 == 0) ? 0xFFFFFFF0u - g() % 16 : g() % 600;
                fs.grad_ratio[i] = static_cast<int32_t>(g());
            }
            std::vector<uint32_t> mag(fs.grad_mag, fs.grad_mag + n);
            std::vector<int32_t> ratio(fs.grad_ratio, fs.grad_ratio + n);

            canny_edge_reference(fs, f.src.data(), f.ref.data(), t, 0.0, 128.0);
            std::vector<uint32_t> mag_ref(fs.grad_mag, fs.grad_mag + n);
            std::vector<int32_t> ratio_ref(fs.grad_ratio, fs.grad_ratio + n);
            std::copy(mag.begin(), mag.end(), fs.grad_mag);
            std::copy(ratio.begin(), ratio.end(), fs.grad_ratio);
            canny_edge(fs, src_fast.data(), f.fast.data(), t, 0.0, 128.0);

            EXPECT_SAME_FRAME(f.ref, f.fast) << "threshold " << t;
            EXPECT_SAME_FRAME(f.src, src_fast) << "smoothed source";
            EXPECT_TRUE(std::equal(mag_ref.begin(), mag_ref.end(), fs.grad_mag)) << "grad_mag";
            EXPECT_TRUE(std::equal(ratio_ref.begin(), ratio_ref.end(), fs.grad_ratio)) << "grad_ratio";
            canny_stop(fs);
        }
    });
}

TEST_F(FastPaths, GradientsOfTinyGxSaturate) {
    // gx of a few ulps against a large gy: the 16.16 ratio saturates.
    fs.resize(40, 5);
    Frame img(40, 5);
    img.fill([](unsigned int x, unsigned int y) { return (x + y) % 2 ? rgb(1, 1, 0) : rgb(1, 0, 1); });
    img.at(20, 1) = rgb(255, 0, 0);
    img.at(20, 3) = rgb(0, 0, 0);
    canny_start(fs);
    calulate_gradients_reference(fs, img.data());
    std::vector<uint32_t> mag(fs.grad_mag, fs.grad_mag + img.count());
    std::vector<int32_t> ratio(fs.grad_ratio, fs.grad_ratio + img.count());
    for (simd_level level : {simd_level::portable, simd_supported()}) {
        simd_select(level);
        std::memset(fs.grad_mag, 0, img.count() * 4);
        std::memset(fs.grad_ratio, 0, img.count() * 4);
        calulate_gradients(fs, img.data());
        EXPECT_TRUE(std::equal(mag.begin(), mag.end(), fs.grad_mag));
        EXPECT_TRUE(std::equal(ratio.begin(), ratio.end(), fs.grad_ratio));
    }
}

TEST_F(FastPaths, RcStateAndOutputOverSeveralFrames) {
    each_case([&](Size s, Content c) {
        fs.resize(s.w, s.h);
        Frame src(s.w, s.h);
        rc_filter_start(fs);
        ASSERT_TRUE(rc_state_ready(fs));
        const size_t n = src.count() * 3;
        // Start from arbitrary states, some exactly on rounding boundaries.
        std::uniform_real_distribution<float> any(0.0f, 255.0f);
        for (size_t i = 0; i < n; ++i) {
            switch (g() % 4) {
                case 0:
                    fs.image_state[i] = any(g);
                    break;
                case 1:
                    fs.image_state[i] = float(g() % 256);
                    break;
                case 2:
                    fs.image_state[i] = std::nextafter(float(g() % 256), 0.0f);
                    break;
                default:
                    fs.image_state[i] = 0.0f;
            }
        }
        std::vector<float> state_ref(fs.image_state, fs.image_state + n), state_fast = state_ref;
        for (int frame = 0; frame < 3; ++frame) {
            paint(src, c, g, rgb(1, 2, 3));
            Frame ref(s.w, s.h), fast(s.w, s.h);
            std::copy(state_ref.begin(), state_ref.end(), fs.image_state);
            rc_filter_reference(fs, src.data(), ref.data());
            std::copy(fs.image_state, fs.image_state + n, state_ref.begin());
            std::copy(state_fast.begin(), state_fast.end(), fs.image_state);
            rc_filter(fs, src.data(), fast.data());
            std::copy(fs.image_state, fs.image_state + n, state_fast.begin());
            EXPECT_SAME_FRAME(ref, fast) << "frame " << frame;
            EXPECT_EQ(std::memcmp(state_ref.data(), state_fast.data(), n * sizeof(float)), 0)
                << "frame " << frame;
        }
        rc_filter_stop(fs);
    });
}

// A chain of fast steps sharing last_frame and save_frame, as the pipeline
// runs them, against the same chain of reference steps.
TEST_F(FastPaths, ChainOfReferenceCallsGivesTheSameFrames) {
    const unsigned int w = 67, h = 43;
    fs.resize(w, h);
    Frame cam(w, h), ref_a(w, h), ref_b(w, h), save(w, h), last_ref(w, h), last_fast(w, h);
    Frame fa(w, h), fb(w, h);
    set_min_band_work(0);
    set_worker_threads(2);
    for (int round = 0; round < 4; ++round) {
        paint(cam, kContents[round % 7], g, rgb(9, 9, 9));
        save.copy_from(cam);
        fs.save_frame = save.data();
        // Reference chain.
        ref_a.copy_from(cam);
        fs.last_frame = last_ref.data();
        color_type *s = ref_a.data(), *d = ref_b.data();
        auto step = [&](auto fn) {
            fn(s, d);
            std::swap(s, d);
        };
        step([&](color_type *a, color_type *b) {
            transform_frame_reference(fs, a, b, gauss_blur, 5, gauss_factor, 0.0);
        });
        step([&](color_type *a, color_type *b) {
            transform_frame_reference(fs, a, b, sharpness, 3, 1.0, 0.0);
        });
        step([&](color_type *a, color_type *b) {
            general_filter_frame_reference(fs, a, b, sobel_x, sobel_y, 3, 1.0 / 3.0);
        });
        step([&](color_type *a, color_type *b) { average_frame_reference(fs, a, b); });
        step([&](color_type *a, color_type *b) { erode_frame_reference(fs, a, b, 42.0); });
        step([&](color_type *a, color_type *b) { target_frame_reference(fs, a, b, false); });
        color_type *ref_out = s;
        // Fast chain.
        fa.copy_from(cam);
        fs.last_frame = last_fast.data();
        s = fa.data();
        d = fb.data();
        step([&](color_type *a, color_type *b) {
            transform_frame(fs, a, b, gauss_blur, 5, gauss_factor, 0.0);
        });
        step([&](color_type *a, color_type *b) { transform_frame(fs, a, b, sharpness, 3, 1.0, 0.0); });
        step([&](color_type *a, color_type *b) {
            general_filter_frame(fs, a, b, sobel_x, sobel_y, 3, 1.0 / 3.0);
        });
        step([&](color_type *a, color_type *b) { average_frame(fs, a, b); });
        step([&](color_type *a, color_type *b) { erode_frame(fs, a, b, 42.0); });
        step([&](color_type *a, color_type *b) { target_frame(fs, a, b, false); });
        EXPECT_EQ(std::memcmp(ref_out, s, cam.count() * 3), 0) << "round " << round;
        EXPECT_SAME_FRAME(last_ref, last_fast);
    }
}

// Frames wider than one strip of columns (2048 pixels; 960 channels for
// Sobel) go through the strip-by-strip paths.
TEST_F(FastPaths, WideFramesSpanSeveralStrips) {
    const Size s = {4200, 7};
    for (const Mode &m : modes()) {
        simd_select(m.simd);
        set_worker_threads(m.threads);
        set_min_band_work(0);
        SCOPED_TRACE(describe(m, s, Content::noise, 0));
        for (Content c : {Content::noise, Content::near, Content::gradient}) {
            Case f = make(s, c);
            general_filter_frame_reference(fs, f.src.data(), f.ref.data(), sobel_x, sobel_y, 3, 1.0 / 3.0);
            general_filter_frame(fs, f.src.data(), f.fast.data(), sobel_x, sobel_y, 3, 1.0 / 3.0);
            EXPECT_SAME_FRAME(f.ref, f.fast) << "sobel";
            combo_edgedetect_frame_reference(fs, f.src.data(), f.ref.data(), 42.0);
            combo_edgedetect_frame(fs, f.src.data(), f.fast.data(), 42.0);
            EXPECT_SAME_FRAME(f.ref, f.fast) << "combo";
            reduceedge_frame_reference(fs, f.src.data(), f.ref.data(), 260.0);
            reduceedge_frame(fs, f.src.data(), f.fast.data(), 260.0);
            EXPECT_SAME_FRAME(f.ref, f.fast) << "reduceedge";
            Frame save(s.w, s.h);
            randomise(save, g);
            fs.save_frame = save.data();
            erode_frame_reference(fs, f.src.data(), f.ref.data(), 100.0);
            erode_frame(fs, f.src.data(), f.fast.data(), 100.0);
            EXPECT_SAME_FRAME(f.ref, f.fast) << "erode";
            Frame src_fast(s.w, s.h);
            src_fast.copy_from(f.src);
            canny_start(fs);
            canny_edge_reference(fs, f.src.data(), f.ref.data(), 42.0, 0.0, 0.0);
            std::vector<uint32_t> mag(fs.grad_mag, fs.grad_mag + f.src.count());
            canny_edge(fs, src_fast.data(), f.fast.data(), 42.0, 0.0, 0.0);
            EXPECT_SAME_FRAME(f.ref, f.fast) << "canny";
            EXPECT_TRUE(std::equal(mag.begin(), mag.end(), fs.grad_mag)) << "grad_mag";
            canny_stop(fs);
        }
    }
}
