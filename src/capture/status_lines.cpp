#include "capture/status_lines.h"

const char pattern_tail[] = ": showing test pattern";

std::string camera_line(const std::string &name, const char *what, const char *tail, size_t room) {
    // A UTF-8 name is cut between characters.
    while (room > 0 && room < name.size() && (name[room] & 0xC0) == 0x80) --room;
    return "Camera " + name.substr(0, room) + ": " + what + tail;
}

const char *failure_words(long hr) {
    switch (static_cast<unsigned long>(hr) & 0xFFFFFFFFUL) {
        case 0x80070005UL:  // E_ACCESSDENIED
            return "permission denied";
        case 0x800700AAUL:  // HRESULT_FROM_WIN32(ERROR_BUSY)
        case 0x80070020UL:  // HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION)
            return "in use elsewhere";
        case 0x80040207UL:  // VFW_E_NO_ACCEPTABLE_TYPES
        case 0x8004022AUL:  // VFW_E_TYPE_NOT_ACCEPTED
            return "no usable format";
        case 0x8007048FUL:  // HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED)
            return "not connected";
        default:
            return nullptr;
    }
}

std::string format_line(const std::string &sends) { return "Camera sends " + sends + " instead"; }

std::string refusal_line(const std::string &control, long long value) {
    return "Camera refused " + control.substr(0, 20) + "=" + std::to_string(value);
}
