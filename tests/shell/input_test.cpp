// Keyboard commands as they arrive through the message loop.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "support/program.h"

namespace {

using namespace test_support;

// The program the fixture runs.
Program *program = nullptr;
FilterSettings &settings() { return program->settings; }
const char *status_line(int slot) { return program->log.status_line(slot); }

std::string last_line() {
    for (int i = 4; i >= 0; --i) {
        if (*status_line(i)) return status_line(i);
    }
    return "";
}

class Keys : public ::testing::Test {
  protected:
    void SetUp() override {
        program = &run.program();
        ASSERT_TRUE(run.start_with_frame(16, 16));
    }
    ProgramRun run;
};

TEST_F(Keys, FilterKeyTogglesAndReportsEveryTime) {
    run.press('1');
    EXPECT_TRUE(settings().filter_gauss);
    EXPECT_EQ(last_line(), "Filters: gauss ");
    run.press('1');
    EXPECT_FALSE(settings().filter_gauss);
    EXPECT_EQ(last_line(), "Filters: ");
    EXPECT_STREQ(status_line(2), "Filters: ");
    EXPECT_STREQ(status_line(1), "Filters: gauss ");

    // Main-row digits toggle; numeric-pad digits do nothing.
    run.press(VK_NUMPAD0 + 1);
    run.press(VK_NUMPAD0);
    EXPECT_FALSE(settings().filter_gauss);
    EXPECT_FALSE(settings().filter_tracking);
    EXPECT_STREQ(status_line(3), "");
}

struct FilterKey {
    unsigned int key;
    std::atomic<bool> FilterSettings::*flag;
    const char *name;
};
const FilterKey filter_keys[] = {
    {'1', &FilterSettings::filter_gauss, "gauss "},           {'2', &FilterSettings::filter_rc, "rc "},
    {'3', &FilterSettings::filter_sharpness, "sharpness "},   {'4', &FilterSettings::filter_edgefast, "edgefast "},
    {'5', &FilterSettings::filter_laplace, "laplace "},       {'6', &FilterSettings::filter_sobel, "sobel "},
    {'7', &FilterSettings::filter_emboss, "emboss "},         {'8', &FilterSettings::filter_threshold, "threshold  "},
    {'9', &FilterSettings::filter_erode, "erode  "},          {'0', &FilterSettings::filter_tracking, "tracking  "},
    {'E', &FilterSettings::filter_reduceedge, "reduceedge "}, {'Y', &FilterSettings::filter_average, "average "},
    {'U', &FilterSettings::filter_comboedge, "combo edge"},   {'I', &FilterSettings::filter_canny, "canny "},
};

// The flags that are on, by name, in key order.
std::string flags_on() {
    std::string on;
    for (const FilterKey &k : filter_keys) {
        if (settings().*k.flag) on += k.name;
    }
    return on;
}

TEST_F(Keys, EveryFilterKeySwitchesOnlyItsOwnFlagInEitherLetterCase) {
    // Letters come as upper-case codes whatever the Shift state: each key
    // acts the same with Shift held.
    for (bool shift : {false, true}) {
        if (shift) run.down(VK_SHIFT);
        for (const FilterKey &k : filter_keys) {
            SCOPED_TRACE(std::string(1, static_cast<char>(k.key)) + (shift ? " with Shift" : ""));
            run.press(k.key);
            EXPECT_EQ(flags_on(), k.name);
            EXPECT_EQ(last_line(), std::string("Filters: ") + k.name);
            run.press(k.key);
            EXPECT_EQ(flags_on(), "");
            EXPECT_EQ(last_line(), "Filters: ");
        }
        if (shift) run.up(VK_SHIFT);
    }
    // The codes of the lower-case letters belong to numeric-pad and function
    // keys ('e' is VK_NUMPAD5, 'y' VK_F10): they switch nothing.
    for (unsigned int key : {'e', 'y', 'u', 'i'}) run.press(key);
    EXPECT_EQ(flags_on(), "");
    EXPECT_EQ(last_line(), "Filters: ");
}

TEST_F(Keys, HeldFilterKeyActsOnAutoRepeatAndOnOtherKeys) {
    run.down('1');
    run.down('1', true);
    run.down('1', true);
    EXPECT_TRUE(settings().filter_gauss) << "three key-downs: on, off, on";
    EXPECT_STREQ(status_line(3), "Filters: gauss ");
    // Still held: F shows the figure and toggles the filter once more.
    run.down('F');
    run.up('F');
    EXPECT_TRUE(program->screen.display_fps);
    EXPECT_FALSE(settings().filter_gauss);
    EXPECT_EQ(last_line(), "Filters: ");
    // 2 pressed while 1 is held: both toggle.
    run.down('2');
    EXPECT_TRUE(settings().filter_gauss);
    EXPECT_TRUE(settings().filter_rc);
    EXPECT_EQ(last_line(), "Filters: gauss rc ");
    run.up('2');
    run.up('1');
    run.press('2');
    EXPECT_TRUE(settings().filter_gauss);
    EXPECT_FALSE(settings().filter_rc);
}

TEST_F(Keys, PresetsApplyWhileHeldWithoutALine) {
    // From every flag on, each preset sets all twelve of its flags.
    for (const FilterKey &k : filter_keys) settings().*k.flag = true;
    run.press('B');
    EXPECT_EQ(flags_on(), "average canny ") << "presets leave average and canny alone";
    for (const FilterKey &k : filter_keys) settings().*k.flag = true;
    run.press('V');
    EXPECT_EQ(settings().threshold_1, 240.0);
    EXPECT_EQ(flags_on(), "gauss laplace erode  average canny ");
    EXPECT_STREQ(status_line(1), "") << "no line for a preset";
    for (const FilterKey &k : filter_keys) settings().*k.flag = false;
    settings().filter_average = true;
    settings().filter_canny = true;

    // 1 while V is held: the preset switches gauss on, then the key toggles it off.
    run.down('V');
    run.down('1');
    EXPECT_FALSE(settings().filter_gauss);
    EXPECT_EQ(last_line(), "Filters: canny laplace erode  average ");
    run.up('1');
    // B with V held: B comes last and wins.
    run.down('B');
    EXPECT_FALSE(settings().filter_gauss);
    EXPECT_FALSE(settings().filter_laplace);
    EXPECT_FALSE(settings().filter_erode);
    EXPECT_EQ(settings().threshold_1, 240.0);
    EXPECT_TRUE(settings().filter_average);
}

TEST_F(Keys, ThresholdsStepClampAndReportBoth) {
    for (int i = 0; i < 21; ++i) run.press('Q');
    EXPECT_EQ(settings().threshold_1, 0.0);
    EXPECT_STREQ(status_line(3), "Threshold1:  0.00");
    EXPECT_STREQ(status_line(4), "Threshold2: 260.00");
    run.press('Q');
    EXPECT_EQ(settings().threshold_1, 0.0) << "held at 0";
    EXPECT_STREQ(status_line(3), "Threshold1:  0.00");
    run.press('W');
    EXPECT_EQ(settings().threshold_1, 2.0);

    for (int i = 0; i < 251; ++i) run.press('S');
    EXPECT_EQ(settings().threshold_2, 511.0);
    run.press('S');
    EXPECT_EQ(settings().threshold_2, 511.0) << "511, not 512";
    EXPECT_STREQ(status_line(4), "Threshold2: 511.00");
    run.press('A');
    EXPECT_EQ(settings().threshold_2, 510.0);

    // A value set out of range elsewhere is clamped by the next threshold key.
    settings().threshold_1 = 600.0;
    run.press('S');
    EXPECT_EQ(settings().threshold_1, 511.0);
    EXPECT_STREQ(status_line(3), "Threshold1: 511.00");
}

TEST_F(Keys, DifferenceAndCaptureModeKeys) {
    run.press('D');
    EXPECT_TRUE(settings().d_frame);
    EXPECT_EQ(last_line(), "Show difference");
    run.press('D');
    EXPECT_FALSE(settings().d_frame);
    EXPECT_EQ(last_line(), "Show normal");

    run.deliver_frame(std::vector<unsigned char>(16 * 16 * 3, 0x77));
    run.press('G');
    EXPECT_TRUE(settings().fast_capture);
    EXPECT_EQ(last_line(), "Fast Capture");
    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(program->store.camera_buffer);
    for (int i = 0; i < 16 * 16 * 3; ++i) ASSERT_EQ(bytes[i], 0) << "G clears the buffers";
    run.press('G');
    EXPECT_FALSE(settings().fast_capture);
    EXPECT_EQ(last_line(), "Slow Capture");
}

TEST_F(Keys, EscapeWithAFilterKeyHeldStillTogglesIt) {
    run.down('3');
    EXPECT_TRUE(settings().filter_sharpness);
    headless_key(run.hwnd(), VK_ESCAPE, true);
    EXPECT_EQ(run.finish(), 0);
    EXPECT_FALSE(settings().filter_sharpness);
    EXPECT_EQ(last_line(), "Filters: ");
    EXPECT_EQ(program->store.camera_buffer, nullptr) << "shut down";
}

}  // namespace
