// Command-line options. Started without any, the program behaves exactly as
// it always has: first camera, its own frame size, snapshots in the current
// folder, nothing extra on standard error.
#pragma once

#include <string>
#include <vector>

#include "capture/controls.h"

struct Options {
    bool help = false;
    bool version = false;
    bool list_cameras = false;
    std::string camera;  // number, name or device path; empty: the first
    int width = 0;       // --size; 0: what the camera offers first
    int height = 0;
    std::string snapshot_dir;  // empty: the current folder
    bool list_controls = false;
    ControlRequests controls;  // --control, --camera-settings
};

// Index into `devices` of the camera to connect (0: the first).
extern int camera_choice;
// Frame size to ask the camera for; 0 x 0: the camera's own choice.
extern int requested_width;
extern int requested_height;
// What --control and --camera-settings ask of the camera once it runs.
extern ControlRequests requested_controls;
// Folder snapshots go to, with a trailing separator; empty: the current
// folder, file names exactly "<n>.bmp".
extern std::string snapshot_folder;

// Parses the arguments after the program name. On a mistake returns false
// with `error` holding one line naming the option or value.
bool parse_options(const std::vector<std::string> &args, Options &options, std::string &error);

// Parses and acts on the command line: prints help, version or the camera
// list, resolves the camera and checks the snapshot folder. Returns the exit
// code when the program should end now (0 after --help, 2 for a bad option),
// or -1 to go on and open the window.
int apply_options(const std::vector<std::string> &args);

// The command line the process was started with, without the program name.
// POSIX entry points record it with set_command_line; on Windows it comes
// from the runtime.
void set_command_line(int argc, char **argv);
std::vector<std::string> command_line();

// The snapshot file for number n: "<n>.bmp" in snapshot_folder.
std::string snapshot_path(int number);
// Writes "lumivex: <text>" and a line end to standard error (on Windows,
// failing that, to the console of the program that started it).
void error_line(const std::string &text);
// The system's text for the error of the last failed file call.
std::string last_error_text();
