#include "platform/scale.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace lvx {

namespace {

const int max_scale = 8;

// A whole number 1..max_scale spelled out in full, or 0.
int whole_scale(const char *text) {
    if (!text || !*text) return 0;
    char *end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (*end != '\0' || value < 1 || value > max_scale) return 0;
    return static_cast<int>(value);
}

// Xft.dpi from X resource text ("Xft.dpi:\t192" lines), or 0.
double xft_dpi(const char *resources) {
    if (!resources) return 0;
    const char key[] = "Xft.dpi:";
    for (const char *p = resources; p && *p;) {
        if (std::strncmp(p, key, sizeof key - 1) == 0) return std::strtod(p + sizeof key - 1, nullptr);
        p = std::strchr(p, '\n');
        if (p) ++p;
    }
    return 0;
}

}  // namespace

int desktop_scale(const char *gdk_scale, const char *resources) {
    int scale = whole_scale(gdk_scale);
    if (scale > 0) return scale;
    double dpi = xft_dpi(resources);
    // Bounded before the conversion: a huge or infinite figure has no int.
    if (std::isfinite(dpi) && dpi >= 96.0) return static_cast<int>(std::min<double>(max_scale, dpi / 96.0));
    return 1;
}

int fitting_scale(int wanted, int width, int height, int screen_width, int screen_height) {
    int scale = std::max(1, wanted);
    if (screen_width <= 0 || screen_height <= 0 || width <= 0 || height <= 0) return scale;
    while (scale > 1 && (width * scale > screen_width || height * scale > screen_height)) --scale;
    return scale;
}

}  // namespace lvx
