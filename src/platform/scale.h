// Whole-number scaling of windows on high-density displays. The SDL backend
// shows every pixel of a window's surface as a k x k block, so the status
// strip stays readable and one-pixel marks stay sharp; at k = 1 nothing
// changes. Pure functions, kept apart from SDL so they can be tested.
#pragma once

namespace lvx {

// The scale the desktop asks for: GDK_SCALE when it is a whole number from 1
// to 8, else Xft.dpi from the X resources (`resources`, the text of the root
// window's RESOURCE_MANAGER, may be null) divided by 96 and rounded down, else 1.
int desktop_scale(const char *gdk_scale, const char *resources);

// The largest factor up to `wanted` at which a window of `width` x `height`
// (its frame included) still fits in `screen_width` x `screen_height`; at
// least 1. A screen size of 0 means unknown: `wanted` is kept.
int fitting_scale(int wanted, int width, int height, int screen_width, int screen_height);

// The client size the program sees for a system window of `window_size`
// pixels at factor `scale` (rounded down; a partial block is not used).
inline int client_size(int window_size, int scale) { return scale > 1 ? window_size / scale : window_size; }

}  // namespace lvx
