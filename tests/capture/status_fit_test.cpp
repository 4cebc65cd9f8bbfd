// Every status line the program writes fits the strip of the window as it
// opens, measured with the real text renderer. Numbers take their widest
// digits; camera names are long ones as the cameras give them, cut as the
// program cuts them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture/formats.h"
#include "capture/status_lines.h"
#include "display/display.h"
#include "support/program.h"

namespace {

TEST(StatusFit, EveryLineFitsTheStripAsTheWindowOpens) {
    const int text_x = 2;  // where the display starts each line
    const int room = Display().display_x.load() - text_x;
    std::vector<std::string> lines = {
        "Look at readme.txt for usage",
        "Unable to create image_state buffer",
        "Unable to create grad_ratio buffer",
        "Threshold1: 511.00",
        "Show difference",
        "Fast Capture",
        "Slow Capture",
        "Save to: 2147483647.bmp",
        "Unable to save 2147483647.bmp",
        "Nothing to save",
        "No camera found: showing test pattern",
        "Camera error 0xDDDDDDDD: showing test pattern",
        "Camera error 0xDDDDDDDD while stopping",
        "Camera sends top-down frames: showing test pattern",
        "Camera has no frame size: showing test pattern",
        "Unable to start test pattern",
    };
    CameraFormat widest;
    widest.fourcc = 0x47504A4D;  // MJPG
    widest.width = 4096;
    widest.height = 2160;
    widest.max_fps = 29.97;
    lines.push_back(format_line(describe_format(widest)));
    lines.push_back(refusal_line("white_balance_temperature_auto", -2147483648LL));
    const long failures[] = {E_ACCESSDENIED, static_cast<long>(0x800700AAUL), VFW_E_NO_ACCEPTABLE_TYPES,
                             static_cast<long>(0x8007048FUL)};
    for (const char *name : {"USB2.0 HD UVC WebCam: USB2.0 HD", "Microsoft\xc2\xae LifeCam HD-3000",
                             "Logitech BRIO 4K Stream Edition"}) {
        for (long hr : failures) lines.push_back(camera_line(name, failure_words(hr), ""));
        lines.push_back(camera_line(name, "lost", ""));
        lines.push_back(camera_line(name, "reconnected", ""));
        lines.push_back(camera_line(name, "no picture", ""));
        lines.push_back(camera_line(name, "retrying less often", ""));
        lines.push_back(camera_line(name, "no settings dialog", ""));
    }
    for (const std::string &line : lines)
        EXPECT_LE(test_support::text_image(line).width, room) << "'" << line << "' is cut on the strip";
}

}  // namespace
