// V4L2 camera controls through libv4l2 (see camera_controls.h).
#include <fcntl.h>
#include <linux/videodev2.h>

#include <cctype>
#include <cerrno>
#include <cstring>

#include "platform/camera_controls.h"
#include "platform/v4l2_device.h"

namespace lumivex_platform {
namespace {

int xioctl(int fd, unsigned long request, void *arg) {
    int r;
    do {
        r = v4l2_ops().ioctl(fd, request, arg);
    } while (r == -1 && errno == EINTR);
    return r;
}

// v4l2-ctl's name for a control label: lower-case letters and digits, each
// run of anything else one '_' between them.
std::string control_name(const char *label, size_t size) {
    std::string name;
    bool gap = false;
    for (size_t i = 0; i < size && label[i]; ++i) {
        unsigned char c = static_cast<unsigned char>(label[i]);
        if (std::isalnum(c)) {
            if (gap && !name.empty()) name += '_';
            name += static_cast<char>(std::tolower(c));
            gap = false;
        } else {
            gap = true;
        }
    }
    return name;
}

CameraControl::Type control_type(uint32_t type) {
    switch (type) {
        case V4L2_CTRL_TYPE_INTEGER:
            return CameraControl::Type::integer;
        case V4L2_CTRL_TYPE_BOOLEAN:
            return CameraControl::Type::boolean;
        case V4L2_CTRL_TYPE_MENU:
            return CameraControl::Type::menu;
        case V4L2_CTRL_TYPE_INTEGER_MENU:
            return CameraControl::Type::integer_menu;
        case V4L2_CTRL_TYPE_BUTTON:
            return CameraControl::Type::button;
        case V4L2_CTRL_TYPE_INTEGER64:
            return CameraControl::Type::integer64;
        default:
            return CameraControl::Type::other;
    }
}

// A control as the driver describes it: QUERY_EXT_CTRL's answer, or
// QUERYCTRL's for drivers without it.
struct Query {
    uint32_t id = 0;
    uint32_t type = 0;
    std::string label;
    long long minimum = 0, maximum = 0, step = 0, default_value = 0;
    uint32_t flags = 0;
};

class V4l2Controls : public CameraControls {
  public:
    explicit V4l2Controls(const std::string &path) : fd(v4l2_ops().open(path.c_str(), O_RDWR | O_NONBLOCK)) {}
    ~V4l2Controls() override {
        if (fd >= 0) v4l2_ops().close(fd);
    }
    V4l2Controls(const V4l2Controls &) = delete;
    V4l2Controls &operator=(const V4l2Controls &) = delete;

    std::vector<CameraControl> list() override {
        std::vector<CameraControl> result;
        for (const Query &q : queries()) result.push_back(describe(q));
        return result;
    }

    std::string set(const std::string &name, long long value) override {
        for (const Query &q : queries()) {
            if (control_name(q.label.c_str(), q.label.size()) != name) continue;
            if (write(q, value) == 0) return std::string();
            int error = errno;
            // The UVC driver refuses a manual control while its automatic
            // partner is on (EACCES); the flag says that is why.
            if ((error == EACCES || error == EBUSY) && (q.flags & V4L2_CTRL_FLAG_INACTIVE))
                return "locked by its automatic mode";
            if (error == EBUSY) return "busy";
            return std::strerror(error);
        }
        return "no such control";
    }

  private:
    // Every control but the class headings, disabled ones and compound
    // types, in the driver's order.
    std::vector<Query> queries() {
        std::vector<Query> result;
        if (fd < 0) return result;
        bool extended = true;
        uint32_t id = 0;
        for (int guard = 0; guard < 1024; ++guard) {
            Query q;
            if (extended) {
                v4l2_query_ext_ctrl e;
                std::memset(&e, 0, sizeof e);
                e.id = id | V4L2_CTRL_FLAG_NEXT_CTRL;
                if (xioctl(fd, VIDIOC_QUERY_EXT_CTRL, &e) == -1) {
                    // Drivers (and libv4l2's emulated controls) without the
                    // extended query answer the plain one.
                    if (id == 0 && errno != EINVAL) {
                        extended = false;
                        --guard;
                        continue;
                    }
                    break;
                }
                q = Query{e.id,
                          e.type,
                          std::string(e.name, strnlen(e.name, sizeof e.name)),
                          e.minimum,
                          e.maximum,
                          static_cast<long long>(e.step),
                          e.default_value,
                          e.flags};
            } else {
                v4l2_queryctrl c;
                std::memset(&c, 0, sizeof c);
                c.id = id | V4L2_CTRL_FLAG_NEXT_CTRL;
                if (xioctl(fd, VIDIOC_QUERYCTRL, &c) == -1) break;
                const char *label = reinterpret_cast<const char *>(c.name);
                q = Query{c.id,
                          c.type,
                          std::string(label, strnlen(label, sizeof c.name)),
                          c.minimum,
                          c.maximum,
                          c.step,
                          c.default_value,
                          c.flags};
            }
            if (q.id <= id) break;  // a driver that does not move on
            id = q.id;
            if ((q.flags & V4L2_CTRL_FLAG_DISABLED) || q.type == V4L2_CTRL_TYPE_CTRL_CLASS ||
                q.type >= V4L2_CTRL_COMPOUND_TYPES)
                continue;
            result.push_back(q);
        }
        return result;
    }

    CameraControl describe(const Query &q) {
        CameraControl c;
        c.name = control_name(q.label.c_str(), q.label.size());
        c.type = control_type(q.type);
        c.minimum = q.minimum;
        c.maximum = q.maximum;
        c.step = q.step;
        c.default_value = q.default_value;
        c.read_only = (q.flags & V4L2_CTRL_FLAG_READ_ONLY) != 0;
        c.inactive = (q.flags & V4L2_CTRL_FLAG_INACTIVE) != 0;
        if (q.type != V4L2_CTRL_TYPE_BUTTON && !(q.flags & V4L2_CTRL_FLAG_WRITE_ONLY))
            c.has_value = read(q, c.value);
        if (q.type == V4L2_CTRL_TYPE_MENU || q.type == V4L2_CTRL_TYPE_INTEGER_MENU) {
            for (long long i = q.minimum; i <= q.maximum && i - q.minimum < 256; ++i) {
                v4l2_querymenu m;
                std::memset(&m, 0, sizeof m);
                m.id = q.id;
                m.index = static_cast<uint32_t>(i);
                if (xioctl(fd, VIDIOC_QUERYMENU, &m) == -1) continue;
                const char *label = reinterpret_cast<const char *>(m.name);
                c.menu.emplace_back(i, q.type == V4L2_CTRL_TYPE_MENU
                                           ? std::string(label, strnlen(label, sizeof m.name))
                                           : std::to_string(static_cast<long long>(m.value)));
            }
        }
        return c;
    }

    bool read(const Query &q, long long &value) {
        v4l2_ext_control one;
        std::memset(&one, 0, sizeof one);
        one.id = q.id;
        v4l2_ext_controls request;
        std::memset(&request, 0, sizeof request);
        request.which = V4L2_CTRL_ID2WHICH(q.id);
        request.count = 1;
        request.controls = &one;
        if (xioctl(fd, VIDIOC_G_EXT_CTRLS, &request) == 0) {
            value = q.type == V4L2_CTRL_TYPE_INTEGER64 ? one.value64 : one.value;
            return true;
        }
        if (q.type == V4L2_CTRL_TYPE_INTEGER64) return false;
        v4l2_control plain = {q.id, 0};
        if (xioctl(fd, VIDIOC_G_CTRL, &plain) == -1) return false;
        value = plain.value;
        return true;
    }

    // 0, or -1 with errno.
    int write(const Query &q, long long value) {
        v4l2_ext_control one;
        std::memset(&one, 0, sizeof one);
        one.id = q.id;
        if (q.type == V4L2_CTRL_TYPE_INTEGER64)
            one.value64 = value;
        else
            one.value = static_cast<int32_t>(value);
        v4l2_ext_controls request;
        std::memset(&request, 0, sizeof request);
        request.which = V4L2_CTRL_ID2WHICH(q.id);
        request.count = 1;
        request.controls = &one;
        if (xioctl(fd, VIDIOC_S_EXT_CTRLS, &request) == 0) return 0;
        if (errno != ENOTTY || q.type == V4L2_CTRL_TYPE_INTEGER64) return -1;
        v4l2_control plain = {q.id, static_cast<int32_t>(value)};
        return xioctl(fd, VIDIOC_S_CTRL, &plain);
    }

    int fd;
};

}  // namespace
}  // namespace lumivex_platform

std::unique_ptr<CameraControls> v4l2_camera_controls(const std::string &path) {
    return std::unique_ptr<CameraControls>(new lumivex_platform::V4l2Controls(path));
}
