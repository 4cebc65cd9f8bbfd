/* The emulated camera's controls (see controls.h). */
#include "controls.h"

#include <errno.h>
#include <linux/videodev2.h>
#include <stdio.h>
#include <string.h>

#define MAX_NODES 8

struct control {
    uint32_t id;
    uint32_t type;
    const char *name;
    int32_t minimum, maximum, step, default_value;
    uint32_t partner;     /* the automatic control that locks this one, or 0 */
    int32_t partner_free; /* the partner's value that frees it */
    const char *menu[4];  /* menu entries by value; NULL: not offered */
};

/* In id order, as the driver enumerates them. */
/* clang-format off */
static const struct control controls[] = {
    {V4L2_CID_USER_CLASS, V4L2_CTRL_TYPE_CTRL_CLASS, "User Controls", 0, 0, 0, 0, 0, 0, {0}},
    {V4L2_CID_BRIGHTNESS, V4L2_CTRL_TYPE_INTEGER, "Brightness", -64, 64, 1, 0, 0, 0, {0}},
    {V4L2_CID_CONTRAST, V4L2_CTRL_TYPE_INTEGER, "Contrast", 0, 64, 1, 32, 0, 0, {0}},
    {V4L2_CID_SATURATION, V4L2_CTRL_TYPE_INTEGER, "Saturation", 0, 128, 1, 64, 0, 0, {0}},
    {V4L2_CID_HUE, V4L2_CTRL_TYPE_INTEGER, "Hue", -40, 40, 1, 0, 0, 0, {0}},
    {V4L2_CID_AUTO_WHITE_BALANCE, V4L2_CTRL_TYPE_BOOLEAN, "White Balance, Automatic", 0, 1, 1, 1, 0, 0, {0}},
    {V4L2_CID_GAIN, V4L2_CTRL_TYPE_INTEGER, "Gain", 0, 255, 1, 64, 0, 0, {0}},
    {V4L2_CID_POWER_LINE_FREQUENCY, V4L2_CTRL_TYPE_MENU, "Power Line Frequency", 0, 2, 1, 1, 0, 0,
     {"Disabled", "50 Hz", "60 Hz", NULL}},
    {V4L2_CID_WHITE_BALANCE_TEMPERATURE, V4L2_CTRL_TYPE_INTEGER, "White Balance Temperature", 2800, 6500, 10, 4600,
     V4L2_CID_AUTO_WHITE_BALANCE, 0, {0}},
    {V4L2_CID_SHARPNESS, V4L2_CTRL_TYPE_INTEGER, "Sharpness", 0, 7, 1, 3, 0, 0, {0}},
    {V4L2_CID_CAMERA_CLASS, V4L2_CTRL_TYPE_CTRL_CLASS, "Camera Controls", 0, 0, 0, 0, 0, 0, {0}},
    {V4L2_CID_EXPOSURE_AUTO, V4L2_CTRL_TYPE_MENU, "Auto Exposure", 0, 3, 1, 3, 0, 0,
     {NULL, "Manual Mode", NULL, "Aperture Priority Mode"}},
    {V4L2_CID_EXPOSURE_ABSOLUTE, V4L2_CTRL_TYPE_INTEGER, "Exposure Time, Absolute", 3, 2047, 1, 250,
     V4L2_CID_EXPOSURE_AUTO, V4L2_EXPOSURE_MANUAL, {0}},
    {V4L2_CID_FOCUS_ABSOLUTE, V4L2_CTRL_TYPE_INTEGER, "Focus, Absolute", 0, 250, 5, 0, V4L2_CID_FOCUS_AUTO, 0, {0}},
    {V4L2_CID_FOCUS_AUTO, V4L2_CTRL_TYPE_BOOLEAN, "Focus, Automatic Continuous", 0, 1, 1, 1, 0, 0, {0}},
    {V4L2_CID_ZOOM_ABSOLUTE, V4L2_CTRL_TYPE_INTEGER, "Zoom, Absolute", 100, 500, 1, 100, 0, 0, {0}},
};
/* clang-format on */

#define CONTROL_COUNT ((int)(sizeof controls / sizeof controls[0]))

static int32_t values[MAX_NODES][CONTROL_COUNT];
static int initialised[MAX_NODES];

static int32_t *node_values(int node) {
    if (node < 0 || node >= MAX_NODES) node = 0;
    if (!initialised[node]) {
        for (int i = 0; i < CONTROL_COUNT; ++i) values[node][i] = controls[i].default_value;
        initialised[node] = 1;
    }
    return values[node];
}

void fakecam_control_reset(int node) {
    if (node >= 0 && node < MAX_NODES) initialised[node] = 0;
}

static int index_of(uint32_t id) {
    for (int i = 0; i < CONTROL_COUNT; ++i)
        if (controls[i].id == id) return i;
    return -1;
}

/* The control asked for: `id` itself, or with the NEXT flags the first one
 * after it. */
static int find(uint32_t id) {
    const uint32_t next = V4L2_CTRL_FLAG_NEXT_CTRL | V4L2_CTRL_FLAG_NEXT_COMPOUND;
    if (!(id & next)) return index_of(id);
    id &= ~next;
    for (int i = 0; i < CONTROL_COUNT; ++i)
        if (controls[i].id > id) return i;
    return -1;
}

static uint32_t flags_of(int node, int i) {
    const struct control *c = &controls[i];
    if (c->type == V4L2_CTRL_TYPE_CTRL_CLASS) return V4L2_CTRL_FLAG_READ_ONLY | V4L2_CTRL_FLAG_WRITE_ONLY;
    uint32_t flags = 0;
    if (c->partner) {
        if (node_values(node)[index_of(c->partner)] != c->partner_free) flags |= V4L2_CTRL_FLAG_INACTIVE;
    }
    if (c->id == V4L2_CID_AUTO_WHITE_BALANCE || c->id == V4L2_CID_EXPOSURE_AUTO ||
        c->id == V4L2_CID_FOCUS_AUTO)
        flags |= V4L2_CTRL_FLAG_UPDATE;
    return flags;
}

/* Checks (and for integers clamps) a value for control i: 0 or an errno. */
static int check(int node, int i, int32_t *value) {
    const struct control *c = &controls[i];
    if (c->type == V4L2_CTRL_TYPE_CTRL_CLASS) return EACCES;
    if (flags_of(node, i) & V4L2_CTRL_FLAG_INACTIVE) return EACCES;
    if (c->type == V4L2_CTRL_TYPE_MENU) {
        if (*value < c->minimum || *value > c->maximum || !c->menu[*value]) return EINVAL;
        return 0;
    }
    int64_t v = *value;
    if (v < c->minimum) v = c->minimum;
    if (v > c->maximum) v = c->maximum;
    v = c->minimum + (v - c->minimum + c->step / 2) / c->step * c->step;
    if (v > c->maximum) v -= c->step;
    *value = (int32_t)v;
    return 0;
}

static int query(int node, struct v4l2_queryctrl *q) {
    int i = find(q->id);
    if (i < 0) return EINVAL;
    const struct control *c = &controls[i];
    memset(q, 0, sizeof *q);
    q->id = c->id;
    q->type = c->type;
    snprintf((char *)q->name, sizeof q->name, "%s", c->name);
    q->minimum = c->minimum;
    q->maximum = c->maximum;
    q->step = c->step;
    q->default_value = c->default_value;
    q->flags = flags_of(node, i);
    return 0;
}

static int query_ext(int node, struct v4l2_query_ext_ctrl *q) {
    int i = find(q->id);
    if (i < 0) return EINVAL;
    const struct control *c = &controls[i];
    memset(q, 0, sizeof *q);
    q->id = c->id;
    q->type = c->type;
    snprintf(q->name, sizeof q->name, "%s", c->name);
    q->minimum = c->minimum;
    q->maximum = c->maximum;
    q->step = (uint64_t)c->step;
    q->default_value = c->default_value;
    q->flags = flags_of(node, i);
    q->elem_size = c->type == V4L2_CTRL_TYPE_CTRL_CLASS ? 0 : 4;
    q->elems = 1;
    return 0;
}

static int query_menu(struct v4l2_querymenu *m) {
    int i = index_of(m->id);
    if (i < 0 || controls[i].type != V4L2_CTRL_TYPE_MENU) return EINVAL;
    const struct control *c = &controls[i];
    if ((int64_t)m->index < c->minimum || (int64_t)m->index > c->maximum || !c->menu[m->index]) return EINVAL;
    uint32_t id = m->id, index = m->index;
    memset(m, 0, sizeof *m);
    m->id = id;
    m->index = index;
    snprintf((char *)m->name, sizeof m->name, "%s", c->menu[index]);
    return 0;
}

static int get(int node, uint32_t id, int32_t *value) {
    int i = index_of(id);
    if (i < 0) return EINVAL;
    if (controls[i].type == V4L2_CTRL_TYPE_CTRL_CLASS) return EACCES;
    *value = node_values(node)[i];
    return 0;
}

static int set(int node, uint32_t id, int32_t *value, int apply) {
    int i = index_of(id);
    if (i < 0) return EINVAL;
    int e = check(node, i, value);
    if (!e && apply) node_values(node)[i] = *value;
    return e;
}

static int ext_controls(int node, unsigned long request, struct v4l2_ext_controls *list) {
    if (list->count > 0 && !list->controls) return EFAULT;
    for (uint32_t k = 0; k < list->count; ++k) {
        struct v4l2_ext_control *c = &list->controls[k];
        int e;
        if (request == VIDIOC_G_EXT_CTRLS) {
            int32_t v = 0;
            e = get(node, c->id, &v);
            if (!e) c->value = v;
        } else {
            /* Checked first, all of them, then set: all or nothing. */
            int32_t v = c->value;
            e = set(node, c->id, &v, 0);
        }
        if (e) {
            list->error_idx = request == VIDIOC_S_EXT_CTRLS ? list->count : k;
            return e;
        }
    }
    if (request == VIDIOC_S_EXT_CTRLS) {
        for (uint32_t k = 0; k < list->count; ++k) {
            struct v4l2_ext_control *c = &list->controls[k];
            int32_t v = c->value;
            int e = set(node, c->id, &v, 1);
            c->value = v;
            if (e) {
                list->error_idx = k;
                return e;
            }
        }
    }
    return 0;
}

int fakecam_control_answer(int node, unsigned long request, void *arg) {
    switch (request) {
        case VIDIOC_QUERYCTRL:
            return query(node, arg);
        case VIDIOC_QUERY_EXT_CTRL:
            return query_ext(node, arg);
        case VIDIOC_QUERYMENU:
            return query_menu(arg);
        case VIDIOC_G_CTRL: {
            struct v4l2_control *c = arg;
            return get(node, c->id, &c->value);
        }
        case VIDIOC_S_CTRL: {
            struct v4l2_control *c = arg;
            return set(node, c->id, &c->value, 1);
        }
        case VIDIOC_G_EXT_CTRLS:
        case VIDIOC_S_EXT_CTRLS:
        case VIDIOC_TRY_EXT_CTRLS:
            return ext_controls(node, request, arg);
        default:
            return ENOTTY;
    }
}

void fakecam_control_apply(int node, uint8_t *bgr, size_t stride, int width, int height) {
    const int32_t *v = node_values(node);
    int shift = v[index_of(V4L2_CID_BRIGHTNESS)];
    /* Scale in 1/16384ths: gain over its default, times the exposure time
     * over its default when exposure is manual. */
    long scale = 16384L * v[index_of(V4L2_CID_GAIN)] / 64;
    if (v[index_of(V4L2_CID_EXPOSURE_AUTO)] == V4L2_EXPOSURE_MANUAL)
        scale = scale * v[index_of(V4L2_CID_EXPOSURE_ABSOLUTE)] / 250;
    if (shift == 0 && scale == 16384) return;
    uint8_t table[256];
    for (int i = 0; i < 256; ++i) {
        long out = (i * scale + 8192) / 16384 + shift;
        table[i] = (uint8_t)(out < 0 ? 0 : out > 255 ? 255 : out);
    }
    for (int y = 0; y < height; ++y) {
        uint8_t *row = bgr + stride * (size_t)y;
        for (size_t x = 0; x < (size_t)width * 3; ++x) row[x] = table[row[x]];
    }
}
