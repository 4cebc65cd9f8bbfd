#include "shell/options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "capture/camera.h"
#include "capture/capture.h"
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

int camera_choice = 0;
int requested_width = 0;
int requested_height = 0;
ControlRequests requested_controls;
std::string snapshot_folder;

namespace {

namespace fs = std::filesystem;

std::vector<std::string> recorded_args;

const char keys_text[] =
    "Keys (letters in either case, digits of the main row):\n"
    "  1 2 3 4 5 6 7   gauss, rc, sharpness, edgefast, laplace, sobel, emboss\n"
    "  8 9 0 E Y U I   threshold, erode, tracking, reduceedge, average, combo edge, canny\n"
    "  V / B           while held: gauss + laplace + erode (threshold 1 = 240) / all off\n"
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
    "  --list-cameras         list the cameras (number, name, device) and exit\n"
    "  --size WxH             ask the camera for frames of W x H pixels\n"
    "  --list-controls        list the camera's controls (name, type, range,\n"
    "                         default, value, menu entries) and exit\n"
    "  --control NAME=VALUE   set a camera control when the camera starts (and\n"
    "                         again after a reconnect); may be repeated\n"
#ifdef _WIN32
    "  --camera-settings      open the camera driver's own settings dialog\n"
#endif
    "  --snapshot-dir DIR     write snapshots to DIR (default: the current folder)\n"
    "  --help                 show this help and exit\n"
    "  --version              show the version and exit\n"
    "\n";

// Writes text to standard output (or error) of the process. A Windows GUI
// program has none unless its caller redirected them: it then writes to
// the console of the program that started it, if any.
void write_text(bool to_error, const std::string &text) {
#ifdef _WIN32
    HANDLE h = GetStdHandle(to_error ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    if (h == nullptr || h == INVALID_HANDLE_VALUE || GetFileType(h) == FILE_TYPE_UNKNOWN) {
        static HANDLE parent_console = INVALID_HANDLE_VALUE;
        if (parent_console == INVALID_HANDLE_VALUE && AttachConsole(ATTACH_PARENT_PROCESS))
            parent_console = CreateFileA("CONOUT$", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL, nullptr);
        h = parent_console;
    }
    if (h == nullptr || h == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
#else
    std::FILE *f = to_error ? stderr : stdout;
    std::fputs(text.c_str(), f);
    std::fflush(f);
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

bool all_digits(const std::string &text) {
    if (text.empty() || text.size() > 4) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

// The camera `wanted` names in the device table, or -1.
int find_camera(const std::string &wanted) {
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
    return -1;
}

int list_cameras() {
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
                "\n";
    }
    write_text(false, text);
    return 0;
}

// Checks the snapshot folder and makes it absolute; false after saying why.
bool use_snapshot_dir(const std::string &dir) {
    std::error_code ec;
    fs::path folder = fs::absolute(fs::path(dir), ec);
    if (ec) folder = dir;
    folder = folder.lexically_normal();
    if (!fs::exists(folder, ec)) {
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

// --list-controls, --control and --camera-settings for the chosen camera:
// the exit code when the program ends here, else -1 with the requests kept
// for the camera's start.
int use_controls(const Options &options) {
#ifndef _WIN32
    if (options.controls.settings_dialog) {
        error_line(
            "--camera-settings opens a Windows driver's dialog; here use --list-controls and --control");
        return 2;
    }
#endif
    if (!options.list_controls && options.controls.controls.empty()) {
        requested_controls = options.controls;
        return -1;
    }
    if (!vc || camera_choice >= vc->NumDevices()) {
        error_line("no camera to take controls (lumivex --list-cameras shows them)");
        return options.list_controls ? 1 : 2;
    }
    std::vector<CameraControl> controls = device_controls(devices[camera_choice])->list();
    if (options.list_controls) {
        if (controls.empty())
            error_line(std::string("camera '") + devices[camera_choice].GetFriendlyName() +
                       "' lists no controls");
        write_text(false, describe_controls(controls));
        return 0;
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
    requested_controls = options.controls;
    return -1;
}

}  // namespace

bool parse_options(const std::vector<std::string> &args, Options &options, std::string &error) {
    options = Options();
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
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
        if (name == "--list-controls") flag = &options.list_controls;
        if (name == "--camera-settings") flag = &options.controls.settings_dialog;
        if (flag) {
            if (has_value) {
                error = "option '" + name + "' takes no value";
                return false;
            }
            *flag = true;
            continue;
        }
        if (name != "--camera" && name != "--size" && name != "--snapshot-dir" && name != "--control") {
            error =
                (name.compare(0, 1, "-") == 0 ? "unknown option '" : "unexpected argument '") + args[i] + "'";
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
                error = "bad value '" + value + "' for '--control': expected NAME=VALUE, e.g. brightness=10";
                return false;
            }
            options.controls.controls.push_back(request);
        } else if (name == "--camera") {
            options.camera = value;
        } else if (name == "--size") {
            if (!parse_size(value, options.width, options.height)) {
                error = "bad value '" + value + "' for '--size': expected WxH, e.g. 1280x720";
                return false;
            }
        } else {
            options.snapshot_dir = value;
        }
    }
    return true;
}

int apply_options(const std::vector<std::string> &args) {
    if (args.empty()) return -1;
    Options options;
    std::string error;
    if (!parse_options(args, options, error)) {
        error_line(error + " (see lumivex --help)");
        return 2;
    }
    if (options.help) {
        write_text(false, std::string(options_text) + keys_text + "\nThe full reference is " +
                              readme_location() + ".\n");
        return 0;
    }
    if (options.version) {
        write_text(false, "Lumivex " LUMIVEX_VERSION "\n");
        return 0;
    }
    if (options.list_cameras) return list_cameras();
    if (!options.camera.empty()) {
        camera_choice = find_camera(options.camera);
        if (camera_choice < 0) {
            camera_choice = 0;
            error_line("no camera '" + options.camera + "' (lumivex --list-cameras shows them)");
            return 2;
        }
    }
    requested_width = options.width;
    requested_height = options.height;
    int controls_code = use_controls(options);
    if (controls_code >= 0) return controls_code;
    if (!options.snapshot_dir.empty() && !use_snapshot_dir(options.snapshot_dir)) return 2;
    return -1;
}

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

void error_line(const std::string &text) { write_text(true, "lumivex: " + text + "\n"); }

std::string snapshot_path(int number) { return snapshot_folder + std::to_string(number) + ".bmp"; }

std::string last_error_text() {
#ifdef _WIN32
    DWORD code = GetLastError();
    char text[256] = "";
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                             text, sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' ' || text[n - 1] == '.'))
        text[--n] = 0;
    return n ? std::string(text) : "error " + std::to_string(code);
#else
    return std::strerror(errno);
#endif
}
