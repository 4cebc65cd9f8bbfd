// The X resources of the display (what `xrdb -query` shows), read with Xlib
// on a connection of its own; kept out of sdl_backend.cpp, whose names
// (Window) clash with Xlib's.
#include <X11/Xlib.h>

#include <string>

namespace lvx {

std::string x11_resources() {
    Display *display = XOpenDisplay(nullptr);
    if (!display) return {};
    const char *text = XResourceManagerString(display);
    std::string resources = text ? text : "";
    XCloseDisplay(display);
    return resources;
}

}  // namespace lvx
