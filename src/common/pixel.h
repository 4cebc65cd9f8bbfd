// The pixel every frame is made of.
#pragma once

// One pixel of a 24-bit bottom-up bitmap: blue, green, red, no padding.
struct color_type {
    unsigned char b;
    unsigned char g;
    unsigned char r;
};
static_assert(sizeof(color_type) == 3, "color_type must be three packed bytes");
