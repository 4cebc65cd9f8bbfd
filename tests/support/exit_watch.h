// Stands for the program's statics in exit tests: once armed, its destructor
// runs at exit, slowly, so a streaming or delivery thread still running then
// would call frame_after_exit_check after it and end the process with 99.
#pragma once

#include <atomic>

extern std::atomic<bool> statics_armed;

void frame_after_exit_check(unsigned char *data, int length, int bits);
