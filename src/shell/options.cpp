#include "shell/options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "capture/capture.h"
#include "common/files.h"
#include "platform/win32.h"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#ifndef LUMIVEX_VERSION
#define LUMIVEX_VERSION "0"
#endif
#ifndef LUMIVEX_DOC_DIR
#define LUMIVEX_DOC_DIR ""
#endif

namespace {

namespace fs = std::filesystem;

std::vector<std::string> recorded_args;

const char keys_text[] =
    "Keys (letters in either case, digits of the main row):\n"
    "  1 2 3 4 5 6 7   gauss, rc, sharpness, edgefast, laplace, sobel, emboss\n"
    "  8 9 0 E Y U I   threshold, erode, tracking, reduceedge, average, combo edge, canny\n"
    "  V / B           preset: gauss + laplace + erode, threshold 1 = 240 / all off (stays)\n"
    "  Q W             threshold 1 down / up by 2 (starts at 42)\n"
    "  A S             threshold 2 down / up by 1 (starts at 260)\n"
    "  F               frames-per-second figure\n"
    "  D               difference view of the tracker\n"
    "  G               flip the picture\n"
    "  R               save a snapshot N.bmp (1.bmp, 2.bmp, ... from 1 every run)\n"
    "  Esc             quit\n";

const char options_text[] =
    "Usage: lumivex [OPTION]...\n"
    "Live-camera image-processing lab: the camera's picture through up to\n"
    "fourteen filters, driven from the keyboard. Without a camera it shows a\n"
    "moving test pattern.\n"
    "\n"
    "Options:\n"
    "  --camera N|NAME|PATH   use camera number N (from 0), or the camera with\n"
    "                         this name or device path (default: the first)\n"
    "  --list-cameras         list the cameras (number, name, device, the format\n"
    "                         they would send) and exit; with --verbose, as\n"
    "                         --list-formats\n"
    "  --list-formats         list the cameras with every format, size and\n"
    "                         frame rate each offers, and exit\n"
    "  --size WxH             ask the camera for frames of W x H pixels (without\n"
    "                         --format: in the format that has the highest rate)\n"
    "  --format FOURCC        ask the camera for this pixel format: MJPG, YUYV,\n"
    "                         NV12, BGR3, ...\n"
    "  --fps N                ask the camera for N frames a second\n"
    "  --list-controls        list the camera's controls (name, type, range,\n"
    "                         default, value, menu entries) and exit\n"
    "  --control NAME=VALUE   set a camera control when the camera starts (and\n"
    "                         again after a reconnect); may be repeated\n"
#ifdef _WIN32
    "  --camera-settings      open the camera driver's settings dialog (Lumivex's\n"
    "                         own where the driver has none)\n"
#endif
    "  --snapshot-dir DIR     write snapshots to DIR (default: the current folder)\n"
    "  --help                 show this help and exit\n"
    "  --version              show the version and exit\n"
    "\n";

#ifdef _WIN32
// The standard output and error the caller gave, as they were before the
// debug console (opened when the cameras are listed) took their place.
struct CallerHandles {
    HANDLE out;
    HANDLE err;
};
const CallerHandles &caller_handles() {
    static const CallerHandles handles{GetStdHandle(STD_OUTPUT_HANDLE), GetStdHandle(STD_ERROR_HANDLE)};
    return handles;
}

// The last error line that found nowhere to go.
std::string unwritten_error;
#endif

// Writes text to standard output (or error) of the process. A Windows GUI
// program has none unless its caller redirected them: it then writes to
// the console of the program that started it, if any, and failing that
// keeps an error line for show_unwritten_error. False when the write
// failed (a full disk, a closed output).
bool write_text(bool to_error, const std::string &text) {
#ifdef _WIN32
    HANDLE h = to_error ? caller_handles().err : caller_handles().out;
    if (h == nullptr || h == INVALID_HANDLE_VALUE || GetFileType(h) == FILE_TYPE_UNKNOWN) {
        static HANDLE parent_console = INVALID_HANDLE_VALUE;
        if (parent_console == INVALID_HANDLE_VALUE && AttachConsole(ATTACH_PARENT_PROCESS))
            parent_console = CreateFileA("CONOUT$", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL, nullptr);
        h = parent_console;
    }
    if (h == nullptr || h == INVALID_HANDLE_VALUE) {
        if (to_error) unwritten_error = text;
        return true;  // nowhere to write to
    }
    DWORD written = 0;
    return WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
           written == text.size();
#else
    std::FILE *f = to_error ? stderr : stdout;
    bool ok = std::fputs(text.c_str(), f) >= 0;
    return std::fflush(f) == 0 && ok;
#endif
}

// The folder the program file is in, or empty.
fs::path program_folder() {
    std::error_code ec;
#ifdef _WIN32
    char name[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, name, sizeof name);
    if (n == 0 || n >= sizeof name) return {};
    return fs::path(name).parent_path();
#else
    fs::path self = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::path() : self.parent_path();
#endif
}

// Where the full key reference is: beside the program (a build or the
// Windows ZIP), else where the package installs it.
std::string readme_location() {
    std::error_code ec;
    fs::path beside = program_folder() / "readme.txt";
    if (!program_folder().empty() && fs::exists(beside, ec)) return beside.string();
    fs::path installed = fs::path(LUMIVEX_DOC_DIR) / "readme.txt";
    if (*LUMIVEX_DOC_DIR && fs::exists(installed, ec)) return installed.string();
    return "readme.txt, next to the program";
}

bool parse_size(const std::string &text, int &width, int &height) {
    unsigned long w = 0, h = 0;
    size_t i = 0;
    auto number = [&](unsigned long &value) {
        size_t start = i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9' && i - start < 6)
            value = value * 10 + static_cast<unsigned long>(text[i++] - '0');
        return i > start;
    };
    if (!number(w) || i >= text.size() || (text[i] != 'x' && text[i] != 'X')) return false;
    ++i;
    if (!number(h) || i != text.size()) return false;
    if (w < 1 || h < 1 || w > 16384 || h > 16384) return false;
    width = static_cast<int>(w);
    height = static_cast<int>(h);
    return true;
}

// A frame rate: a positive number up to 1000, e.g. "30" or "7.5".
bool parse_fps(const std::string &text, double &fps) {
    if (text.empty() || text.size() > 10) return false;
    for (char c : text)
        if ((c < '0' || c > '9') && c != '.') return false;
    char *end = nullptr;
    double value = std::strtod(text.c_str(), &end);
    if (!end || *end != '\0' || !(value > 0) || value > 1000) return false;
    fps = value;
    return true;
}

bool all_digits(const std::string &text) {
    if (text.empty() || text.size() > 4) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

// Informational output that could not be written: said on standard error,
// with exit code 1.
int output_failed() {
#ifndef _WIN32
    // The reader of the pipe has gone, as `| head` or `| grep -q` do: not worth a word.
    if (errno == EPIPE) return 1;
#endif
    error_line("cannot write the output: " + last_error_text());
    return 1;
}

// The camera `wanted` names in the device table, or -1.
int find_camera(const Camera &camera, const std::string &wanted) {
    VideoCapture *vc = camera.vc;
    VideoDevice *devices = camera.devices;
    if (!vc) return -1;
    int count = vc->NumDevices();
    if (all_digits(wanted)) {
        int n = std::atoi(wanted.c_str());
        return n < count ? n : -1;
    }
    for (int i = 0; i < count; ++i)
        if (wanted == devices[i].GetFriendlyName()) return i;
    for (int i = 0; i < count; ++i)
        if (!devices[i].device_path.empty() && wanted == devices[i].device_path) return i;
    // The same device named another way: a link to it, "." or ".." in the path.
    for (int i = 0; i < count; ++i) {
        std::error_code ec;
        if (!devices[i].device_path.empty() && fs::equivalent(wanted, devices[i].device_path, ec)) return i;
    }
    return -1;
}

// What camera `i` sends when connected as the options ask ("-" when it
// cannot be connected).
std::string obtained_text(const Camera &camera, const CameraRequest &request, int i) {
    VideoCapture *vc = camera.vc;
    VideoDevice *devices = camera.devices;
    std::string text = "-";
    vc->wanted_width = request.requested_width;
    vc->wanted_height = request.requested_height;
    vc->wanted_format = request.requested_format;
    vc->wanted_fps = request.requested_fps;
    try {
        vc->Select(devices + i);
        if (vc->obtained.width > 0) text = describe_format(vc->obtained);
    } catch (long) {
    } catch (const std::exception &) {
    }
    try {
        vc->Disconnect();
    } catch (long) {
    }
    return text;
}

// Number, name, device and what the camera would send, a line each; with
// `formats`, each followed by every format it offers.
int list_cameras(const Camera &camera, const CameraRequest &request, bool formats) {
    VideoCapture *vc = camera.vc;
    VideoDevice *devices = camera.devices;
    if (!vc) {
        error_line("cannot list cameras: the capture system failed to start");
        return 1;
    }
    int count = vc->NumDevices();
    if (count == 0) error_line("no camera found");
    std::string text;
    for (int i = 0; i < count; ++i) {
        const std::string &path = devices[i].device_path;
        text += std::to_string(i) + "\t" + devices[i].GetFriendlyName() + "\t" + (path.empty() ? "-" : path) +
                "\t" + obtained_text(camera, request, i) + "\n";
        if (formats) text += format_lines(read_formats(vc->builder, devices[i].filter));
    }
    return write_text(false, text) ? 0 : output_failed();
}

// Checks the snapshot folder and makes it absolute; false after saying why.
bool use_snapshot_dir(const std::string &dir, std::string &snapshot_folder) {
    std::error_code ec;
    fs::path folder = fs::absolute(fs::path(dir), ec);
    if (ec) folder = dir;
    folder = folder.lexically_normal();
    bool exists = fs::exists(folder, ec);
    if (ec) {  // not a missing folder: too long a name, a parent that cannot be searched
        error_line("snapshot folder '" + dir + "' cannot be used: " + ec.message());
        return false;
    }
    if (!exists) {
        error_line("snapshot folder '" + dir + "' does not exist");
        return false;
    }
    if (!fs::is_directory(folder, ec)) {
        error_line("snapshot folder '" + dir + "' is not a folder");
        return false;
    }
#ifdef _WIN32
    bool writable = _access(folder.string().c_str(), 2) == 0;
#else
    bool writable = access(folder.c_str(), W_OK | X_OK) == 0;
#endif
    if (!writable) {
        error_line("snapshot folder '" + dir + "' is not writable: " + last_error_text());
        return false;
    }
    std::string text = folder.string();
    if (text.empty() || (text.back() != '/' && text.back() != '\\'))
        text += static_cast<char>(fs::path::preferred_separator);
    snapshot_folder = text;
    error_line("snapshots go to " + folder.string());
    return true;
}

// A program ending on a mistake that it could not write anywhere (a window
// program started without a console, as by "Open with" or a file dropped
// on it) shows that line in a message box, so that it does not end without
// a word.
void show_unwritten_error() {
#ifdef _WIN32
    if (unwritten_error.empty()) return;
    std::string line = unwritten_error;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    unwritten_error.clear();
    MessageBoxA(nullptr, line.c_str(), "Lumivex", MB_OK | MB_ICONERROR);
#endif
}

int act_on_options(const std::vector<std::string> &args, Camera &camera, CameraRequest &request,
                   Snapshots &snapshots, void (*announce)(const char *name));

// --list-controls, --control and --camera-settings for the chosen camera:
// the exit code when the program ends here, else -1 with the requests kept
// for the camera's start.
int use_controls(const Options &options, Camera &camera, CameraRequest &request,
                 void (*announce)(const char *name)) {
#ifndef _WIN32
    if (options.controls.settings_dialog) {
        error_line(
            "--camera-settings opens a Windows driver's dialog; here use --list-controls and --control");
        return 2;
    }
#endif
    if (!options.list_controls && options.controls.controls.empty()) {
        request.controls = options.controls;
        return -1;
    }
    // A run that goes on to its window announces the cameras; a list does not.
    if (!camera.camera_created()) camera.camera_create(options.list_controls ? nullptr : announce);
    VideoCapture *vc = camera.vc;
    VideoDevice *devices = camera.devices;
    const int camera_choice = request.camera_choice;
    if (!vc || camera_choice >= vc->NumDevices()) {
        error_line("no camera to take controls (lumivex --list-cameras shows them)");
        return options.list_controls ? 1 : 2;
    }
    std::vector<CameraControl> controls = device_controls(devices[camera_choice])->list();
    if (options.list_controls) {
        if (controls.empty())
            error_line(std::string("camera '") + devices[camera_choice].GetFriendlyName() +
                       "' lists no controls");
        return write_text(false, describe_controls(controls)) ? 0 : output_failed();
    }
    if (controls.empty()) {
        error_line(std::string("camera '") + devices[camera_choice].GetFriendlyName() +
                   "' lists no controls: cannot set '" + options.controls.controls.front().name + "'");
        return 2;
    }
    std::string problem = check_control_requests(controls, options.controls);
    if (!problem.empty()) {
        error_line(problem);
        return 2;
    }
    request.controls = options.controls;
    return -1;
}

}  // namespace

bool parse_options(const std::vector<std::string> &args, Options &options, std::string &error) {
    options = Options();
    bool options_ended = false;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        if (!options_ended && name == "--") {  // what follows is no option
            options_ended = true;
            continue;
        }
        if (options_ended) {
            error = "unexpected argument '" + printable(name) + "'";
            return false;
        }
        std::string value;
        bool has_value = false;
        size_t equals = name.find('=');
        if (name.compare(0, 2, "--") == 0 && equals != std::string::npos) {
            value = name.substr(equals + 1);
            name.resize(equals);
            has_value = true;
        }
        bool *flag = nullptr;
        if (name == "--help" || name == "-h") flag = &options.help;
        if (name == "--version") flag = &options.version;
        if (name == "--list-cameras") flag = &options.list_cameras;
        if (name == "--list-formats") flag = &options.list_formats;
        if (name == "--verbose") flag = &options.verbose;
        if (name == "--list-controls") flag = &options.list_controls;
        if (name == "--camera-settings") flag = &options.controls.settings_dialog;
        if (flag) {
            if (has_value) {
                error = "option '" + printable(name) + "' takes no value";
                return false;
            }
            *flag = true;
            continue;
        }
        if (name != "--camera" && name != "--size" && name != "--snapshot-dir" && name != "--format" &&
            name != "--fps" && name != "--control") {
            error = (name.compare(0, 1, "-") == 0 ? "unknown option '" : "unexpected argument '") +
                    printable(args[i]) + "'";
            return false;
        }
        if (!has_value) {
            if (i + 1 >= args.size()) {
                error = "option '" + name + "' needs a value";
                return false;
            }
            value = args[++i];
        }
        if (value.empty()) {
            error = "option '" + name + "' needs a value";
            return false;
        }
        if (name == "--control") {
            ControlRequest request;
            if (!parse_control_request(value, request)) {
                error = "bad value '" + printable(value) +
                        "' for '--control': expected NAME=VALUE, e.g. brightness=10";
                return false;
            }
            options.controls.controls.push_back(request);
        } else if (name == "--camera") {
            options.camera = value;
        } else if (name == "--size") {
            if (!parse_size(value, options.width, options.height)) {
                error = "bad value '" + printable(value) + "' for '--size': expected WxH, e.g. 1280x720";
                return false;
            }
        } else if (name == "--format") {
            if (!parse_fourcc(value, options.format)) {
                error = "bad value '" + printable(value) +
                        "' for '--format': expected a FOURCC, e.g. MJPG or YUYV";
                return false;
            }
        } else if (name == "--fps") {
            if (!parse_fps(value, options.fps)) {
                error = "bad value '" + printable(value) + "' for '--fps': expected frames a second, e.g. 30";
                return false;
            }
        } else {
            options.snapshot_dir = value;
        }
    }
    return true;
}

int apply_options(const std::vector<std::string> &args, Camera &camera, CameraRequest &request,
                  Snapshots &snapshots, void (*announce)(const char *name)) {
    if (args.empty()) return -1;
#ifdef _WIN32
    caller_handles();  // before listing the cameras can open the debug console
#endif
    int code = act_on_options(args, camera, request, snapshots, announce);
    if (code > 0) show_unwritten_error();
    return code;
}

namespace {

int act_on_options(const std::vector<std::string> &args, Camera &camera, CameraRequest &request,
                   Snapshots &snapshots, void (*announce)(const char *name)) {
    Options options;
    std::string error;
    if (!parse_options(args, options, error)) {
        error_line(error + " (see lumivex --help)");
        return 2;
    }
    if (options.help) {
        bool written = write_text(false, std::string(options_text) + keys_text + "\nThe full reference is " +
                                             readme_location() + ".\n");
        return written ? 0 : output_failed();
    }
    if (options.version) return write_text(false, "Lumivex " LUMIVEX_VERSION "\n") ? 0 : output_failed();
    // The cameras are listed only now: informational options never open the
    // debug console, a run that goes on to its window writes its "fname:"
    // lines there.
    request.requested_width = options.width;
    request.requested_height = options.height;
    request.requested_format = options.format;
    request.requested_fps = options.fps;
    if (options.list_cameras || options.list_formats) {
        if (!camera.camera_created()) camera.camera_create();
        return list_cameras(camera, request, options.list_formats || options.verbose);
    }
    if (!options.camera.empty()) {
        if (!camera.camera_created()) camera.camera_create(announce);
        request.camera_choice = find_camera(camera, options.camera);
        if (request.camera_choice < 0) {
            request.camera_choice = 0;
            error_line("no camera '" + options.camera + "' (lumivex --list-cameras shows them)");
            return 2;
        }
    }
    int controls_code = use_controls(options, camera, request, announce);
    if (controls_code >= 0) return controls_code;
    if (!options.snapshot_dir.empty() && !use_snapshot_dir(options.snapshot_dir, snapshots.snapshot_folder))
        return 2;
    return -1;
}

}  // namespace

void set_command_line(int argc, char **argv) {
    recorded_args.clear();
    for (int i = 1; i < argc; ++i) recorded_args.push_back(argv[i]);
}

std::vector<std::string> command_line() {
#ifdef _WIN32
    std::vector<std::string> args;
    for (int i = 1; i < __argc; ++i) args.push_back(__argv[i]);
    return args;
#else
    return recorded_args;
#endif
}

void error_line(const std::string &text) { write_text(true, "lumivex: " + printable(text) + "\n"); }

std::string printable(const std::string &text) {
    std::string out;
    for (char c : text) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u != 0x7F) {
            out += c;
            continue;
        }
        static const char hex[] = "0123456789abcdef";
        switch (c) {
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                out += std::string("\\x") + hex[u >> 4] + hex[u & 15];
        }
    }
    return out;
}
