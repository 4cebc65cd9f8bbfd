// The camera's controls as the user asks for them: --list-controls,
// --control NAME=VALUE (applied when the camera starts and again after it
// reconnects) and, on Windows, --camera-settings (the driver's own dialog,
// or the program's where the driver has none).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "common/status_log.h"
#include "platform/camera_controls.h"

class VideoDevice;

struct ControlRequest {
    std::string name;
    long long value = 0;
};

// What the command line asks of the camera's controls.
struct ControlRequests {
    std::vector<ControlRequest> controls;  // in command-line order
    bool settings_dialog = false;          // --camera-settings
};

// "NAME=VALUE" with an integer VALUE; false for anything else.
bool parse_control_request(const std::string &text, ControlRequest &request);

// The controls of a listed device: its V4L2 node's on POSIX systems, its
// filter's on Windows. Never null; a device without any lists none.
std::unique_ptr<CameraControls> device_controls(VideoDevice &device);
// The table --list-controls prints: one line per control (name, type,
// range and step, default, current value, "inactive" when locked by its
// automatic partner), then one indented line per menu entry.
std::string describe_controls(const std::vector<CameraControl> &controls);
// Empty when every request names a control in `controls` with a value it
// can take; else one line saying what is wrong with the first that does
// not.
std::string check_control_requests(const std::vector<CameraControl> &controls,
                                   const ControlRequests &requests);

// Sets the requested controls on the device, in order; those refused are
// tried once more after the rest (an automatic mode set later may have
// freed them). Each still refused adds a status line and a line on standard
// error; the picture goes on.
void apply_controls(VideoDevice &device, const ControlRequests &requests, StatusLog &log);
// When the camera has started: apply_controls, then the driver's settings
// dialog if asked for.
void start_controls(VideoDevice &device, const ControlRequests &requests, StatusLog &log);
// Windows: opens the driver's property pages for the device's filter on a
// thread of its own, so the picture goes on behind them; for a driver
// without any, the program's own dialog of the filter's IAMVideoProcAmp and
// IAMCameraControl properties, on its thread likewise; a device with
// neither says so in a status line. Elsewhere does nothing.
void open_settings_dialog(VideoDevice &device, StatusLog &log);
