// The status lines about the camera, worded to fit the strip of the window
// as it opens (360 pixels). Camera names are cut to camera_name_room bytes
// there; standard error takes the whole name and says more.
#pragma once

#include <cstddef>
#include <string>

const size_t camera_name_room = 20;
const size_t whole_name = std::string::npos;
// Follows a standard-error line whose camera gave way to the test pattern.
extern const char pattern_tail[];

// "Camera <name>: <what><tail>", the name cut to `room` bytes (never inside
// a UTF-8 character).
std::string camera_line(const std::string &name, const char *what, const char *tail,
                        size_t room = camera_name_room);
// What a failure means in words, for the failures a user can act on; null
// for the others.
const char *failure_words(long hr);
// The strip's line for a camera that sends other than the options asked
// (`sends` as describe_format gives it); standard error says what was asked.
std::string format_line(const std::string &sends);
// The strip's line for a control the camera refused; standard error says why.
std::string refusal_line(const std::string &control, long long value);
