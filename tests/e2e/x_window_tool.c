/* Does to a window what another X client can: "close" sends the window
 * manager's close request (WM_DELETE_WINDOW), "destroy" destroys the window
 * under its owner's feet. Usage: x_window_tool close|destroy WINDOW-ID */
#include <X11/Xlib.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char **argv) {
    if (argc != 3 || (strcmp(argv[1], "close") != 0 && strcmp(argv[1], "destroy") != 0)) {
        fprintf(stderr, "usage: x_window_tool close|destroy WINDOW-ID\n");
        return 2;
    }
    Display *display = XOpenDisplay(NULL);
    if (!display) {
        fprintf(stderr, "x_window_tool: cannot open the display\n");
        return 1;
    }
    Window window = (Window)strtoul(argv[2], NULL, 0);
    if (strcmp(argv[1], "destroy") == 0) {
        XDestroyWindow(display, window);
    } else {
        XEvent event;
        memset(&event, 0, sizeof event);
        event.xclient.type = ClientMessage;
        event.xclient.window = window;
        event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
        event.xclient.format = 32;
        event.xclient.data.l[0] = (long)XInternAtom(display, "WM_DELETE_WINDOW", False);
        event.xclient.data.l[1] = CurrentTime;
        XSendEvent(display, window, False, NoEventMask, &event);
    }
    XSync(display, False);
    XCloseDisplay(display);
    return 0;
}
