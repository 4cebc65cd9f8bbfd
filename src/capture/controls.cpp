#include "capture/controls.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "capture/capture.h"
#include "capture/status_lines.h"

namespace {

const CameraControl *find_control(const std::vector<CameraControl> &controls, const std::string &name) {
    for (const CameraControl &c : controls)
        if (c.name == name) return &c;
    return nullptr;
}

const char *type_name(CameraControl::Type type) {
    switch (type) {
        case CameraControl::Type::integer:
            return "int";
        case CameraControl::Type::boolean:
            return "bool";
        case CameraControl::Type::menu:
            return "menu";
        case CameraControl::Type::integer_menu:
            return "intmenu";
        case CameraControl::Type::button:
            return "button";
        case CameraControl::Type::integer64:
            return "int64";
        default:
            return "other";
    }
}

bool is_menu(const CameraControl &c) {
    return c.type == CameraControl::Type::menu || c.type == CameraControl::Type::integer_menu;
}

std::string range_text(const CameraControl &c) {
    std::string text = std::to_string(c.minimum) + ".." + std::to_string(c.maximum);
    if (c.step > 1) text += " in steps of " + std::to_string(c.step);
    return text;
}

// Why `value` does not suit control `c`, or empty.
std::string value_problem(const CameraControl &c, long long value) {
    std::string head = "value " + std::to_string(value) + " for '" + c.name + "'";
    if (c.read_only) return "control '" + c.name + "' is read-only";
    if (is_menu(c)) {
        std::string entries;
        bool found = false;
        for (const auto &entry : c.menu) {
            found = found || entry.first == value;
            entries += (entries.empty() ? "" : ", ") + std::to_string(entry.first);
        }
        if (!found) return head + " is not one of its entries (" + entries + ")";
        return std::string();
    }
    if (value < c.minimum || value > c.maximum || (c.step > 1 && (value - c.minimum) % c.step != 0))
        return head + " is out of range: " + range_text(c);
    return std::string();
}

// The status line (and standard error line) for a refused control.
void report_refusal(const ControlRequest &r, const std::string &why, StatusLog &log) {
    std::string line = "Camera refused " + r.name + "=" + std::to_string(r.value) + ": " + why;
    std::fprintf(stderr, "lumivex: %s\n", line.c_str());
    log.add_line(refusal_line(r.name, r.value).c_str());
}

}  // namespace

bool parse_control_request(const std::string &text, ControlRequest &request) {
    size_t equals = text.find('=');
    if (equals == 0 || equals == std::string::npos || equals + 1 >= text.size()) return false;
    std::string value = text.substr(equals + 1);
    errno = 0;
    char *end = nullptr;
    long long number = std::strtoll(value.c_str(), &end, 10);
    if (errno != 0 || end == value.c_str() || *end != '\0' || value[0] == ' ') return false;
    request.name = text.substr(0, equals);
    request.value = number;
    return true;
}

std::string describe_controls(const std::vector<CameraControl> &controls) {
    std::string text;
    for (const CameraControl &c : controls) {
        char line[200];
        bool button = c.type == CameraControl::Type::button;
        std::string range = button ? "-" : std::to_string(c.minimum) + ".." + std::to_string(c.maximum);
        std::string step = button ? "-" : std::to_string(c.step);
        std::string value = c.has_value ? std::to_string(c.value) : "-";
        std::snprintf(line, sizeof line, "%-30s %-7s %-14s step %-5s default %-6lld value %s", c.name.c_str(),
                      type_name(c.type), range.c_str(), step.c_str(), c.default_value, value.c_str());
        text += line;
        if (c.read_only) text += " (read-only)";
        if (c.inactive) text += " (inactive)";
        text += "\n";
        for (const auto &entry : c.menu)
            text += "    " + std::to_string(entry.first) + ": " + entry.second + "\n";
    }
    return text;
}

std::string check_control_requests(const std::vector<CameraControl> &controls,
                                   const ControlRequests &requests) {
    for (const ControlRequest &r : requests.controls) {
        const CameraControl *c = find_control(controls, r.name);
        if (!c) return "the camera has no control '" + r.name + "' (lumivex --list-controls shows them)";
        std::string problem = value_problem(*c, r.value);
        if (!problem.empty()) return problem;
    }
    return std::string();
}

void apply_controls(VideoDevice &device, const ControlRequests &requests, StatusLog &log) {
    if (requests.controls.empty()) return;
    std::unique_ptr<CameraControls> controls = device_controls(device);
    std::vector<const ControlRequest *> refused;
    for (const ControlRequest &r : requests.controls)
        if (!controls->set(r.name, r.value).empty()) refused.push_back(&r);
    for (const ControlRequest *r : refused) {
        std::string why = controls->set(r->name, r->value);
        if (!why.empty()) report_refusal(*r, why, log);
    }
}

void start_controls(VideoDevice &device, const ControlRequests &requests, StatusLog &log) {
    apply_controls(device, requests, log);
    if (requests.settings_dialog) open_settings_dialog(device, log);
}

#ifndef _WIN32
std::unique_ptr<CameraControls> device_controls(VideoDevice &device) {
    return v4l2_camera_controls(device.device_path);
}

void open_settings_dialog(VideoDevice &, StatusLog &) {}
#endif
