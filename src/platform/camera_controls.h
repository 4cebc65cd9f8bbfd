// A camera's own controls (brightness, exposure, focus, white balance, ...),
// named as v4l2-ctl names them: the control's label in lower case, each run
// of other characters one '_' ("Exposure Time, Absolute" is
// exposure_time_absolute). Declared on every platform. On POSIX systems the
// portable layer reads them from a V4L2 node through libv4l2
// (v4l2_camera_controls); on Windows the capture module maps the same names
// onto a capture filter's IAMVideoProcAmp and IAMCameraControl.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

struct CameraControl {
    enum class Type { integer, boolean, menu, integer_menu, button, integer64, other };
    std::string name;
    Type type = Type::integer;
    long long minimum = 0;
    long long maximum = 0;
    long long step = 1;
    long long default_value = 0;
    long long value = 0;
    bool has_value = false;  // the current value could be read
    bool read_only = false;
    bool inactive = false;  // locked just now by its automatic partner (auto_exposure, ...)
    // Menus: the entries the camera offers, as (value, label).
    std::vector<std::pair<long long, std::string>> menu;
};

class CameraControls {
  public:
    virtual ~CameraControls() = default;
    // Every control the camera has, in its own order, with current values.
    virtual std::vector<CameraControl> list() = 0;
    // Sets the control called `name` to `value`. Empty when the camera took
    // it, else a few words saying why not ("locked by its automatic mode",
    // "busy", the system's text).
    virtual std::string set(const std::string &name, long long value) = 0;
};

#ifndef _WIN32
// The controls of the V4L2 node at `path`, opened through libv4l2 beside
// any stream on it (controls may be set while another handle streams). A
// node that cannot be opened has none.
std::unique_ptr<CameraControls> v4l2_camera_controls(const std::string &path);
#endif
