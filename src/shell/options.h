// Command-line options. Started without any, the program behaves exactly as
// it always has: first camera, its own frame size, snapshots in the current
// folder, nothing extra on standard error.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "capture/camera.h"
#include "pipeline/bitmap.h"

struct Options {
    bool help = false;
    bool version = false;
    bool list_cameras = false;
    bool list_formats = false;  // --list-formats, or --list-cameras --verbose
    bool verbose = false;
    std::string camera;  // number, name or device path; empty: the first
    int width = 0;       // --size; 0: what the camera offers first
    int height = 0;
    uint32_t format = 0;       // --format FOURCC; 0: the camera's own choice
    double fps = 0;            // --fps; 0: the camera's own rate
    std::string snapshot_dir;  // empty: the current folder
    bool list_controls = false;
    ControlRequests controls;  // --control, --camera-settings
};

// Parses the arguments after the program name. On a mistake returns false
// with `error` holding one line naming the option or value.
bool parse_options(const std::vector<std::string> &args, Options &options, std::string &error);

// Parses and acts on the command line: prints help, version or the camera
// list, resolves the camera into `request` and checks the snapshot folder
// into `snapshots`. The cameras are listed (camera.camera_create) only for
// --list-cameras, quietly, and for --camera, telling `announce` their
// names. Returns the exit code when the program should end now (0 after
// --help, 2 for a bad option), or -1 to go on and open the window. On
// Windows, a mistake whose line has nowhere to go (no console, no
// redirection) is shown in a message box.
int apply_options(const std::vector<std::string> &args, Camera &camera, CameraRequest &request,
                  Snapshots &snapshots, void (*announce)(const char *name));

// The command line the process was started with, without the program name.
// POSIX entry points record it with set_command_line; on Windows it comes
// from the runtime.
void set_command_line(int argc, char **argv);
std::vector<std::string> command_line();

// Writes "lumivex: <text>" and a line end to standard error (on Windows,
// failing that, to the console of the program that started it).
void error_line(const std::string &text);
// The text with control characters (line ends, escape sequences) shown as
// \n, \r, \t or \xHH, so that a message stays one plain line.
std::string printable(const std::string &text);
