#include "support/libv4l_convert.h"

#include <libv4l-plugin.h>
#include <libv4lconvert.h>
#include <linux/videodev2.h>

#include <cerrno>
#include <cstring>

namespace {

// The stand-in driver: one capture format at one size, no controls.
int driver_ioctl(void *priv, int, unsigned long request, void *arg) {
    const Libv4lConvert &c = *static_cast<const Libv4lConvert *>(priv);
    switch (request) {
        case VIDIOC_QUERYCAP: {
            v4l2_capability *cap = static_cast<v4l2_capability *>(arg);
            std::memset(cap, 0, sizeof *cap);
            std::strcpy(reinterpret_cast<char *>(cap->driver), "standin");
            std::strcpy(reinterpret_cast<char *>(cap->card), "standin");
            cap->capabilities = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
            cap->device_caps = cap->capabilities;
            return 0;
        }
        case VIDIOC_ENUM_FMT: {
            v4l2_fmtdesc *d = static_cast<v4l2_fmtdesc *>(arg);
            if (d->index != 0 || d->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) break;
            d->pixelformat = c.fourcc;
            d->flags = c.fourcc == V4L2_PIX_FMT_MJPEG ? V4L2_FMT_FLAG_COMPRESSED : 0;
            return 0;
        }
        case VIDIOC_ENUM_FRAMESIZES: {
            v4l2_frmsizeenum *s = static_cast<v4l2_frmsizeenum *>(arg);
            if (s->index != 0 || s->pixel_format != c.fourcc) break;
            s->type = V4L2_FRMSIZE_TYPE_DISCRETE;
            s->discrete.width = static_cast<uint32_t>(c.width);
            s->discrete.height = static_cast<uint32_t>(c.height);
            return 0;
        }
        case VIDIOC_G_FMT:
        case VIDIOC_S_FMT:
        case VIDIOC_TRY_FMT: {
            v4l2_format *f = static_cast<v4l2_format *>(arg);
            std::memset(&f->fmt.pix, 0, sizeof f->fmt.pix);
            f->fmt.pix.width = static_cast<uint32_t>(c.width);
            f->fmt.pix.height = static_cast<uint32_t>(c.height);
            f->fmt.pix.pixelformat = c.fourcc;
            f->fmt.pix.bytesperline = c.bytes_per_line;
            f->fmt.pix.field = V4L2_FIELD_NONE;
            return 0;
        }
        default:
            break;
    }
    errno = EINVAL;
    return -1;
}

libv4l_dev_ops driver_ops() {
    libv4l_dev_ops ops;
    std::memset(&ops, 0, sizeof ops);
    ops.ioctl = driver_ioctl;
    return ops;
}

const libv4l_dev_ops ops = driver_ops();

}  // namespace

Libv4lConvert::Libv4lConvert(uint32_t fourcc, int width, int height, uint32_t bytes_per_line)
    : fourcc(fourcc), width(width), height(height), bytes_per_line(bytes_per_line) {
    // libv4lconvert reads the rows at this stride.
    if (this->bytes_per_line == 0) {
        const uint32_t w = static_cast<uint32_t>(width);
        switch (fourcc) {
            case V4L2_PIX_FMT_YUYV:
            case V4L2_PIX_FMT_UYVY:
                this->bytes_per_line = (w + 1) / 2 * 4;
                break;
            case V4L2_PIX_FMT_MJPEG:
                break;
            case V4L2_PIX_FMT_BGR24:
            case V4L2_PIX_FMT_RGB24:
                this->bytes_per_line = w * 3;
                break;
            default:
                this->bytes_per_line = w;
        }
    }
    data = v4lconvert_create_with_dev_ops(-1, this, &ops);
}

Libv4lConvert::~Libv4lConvert() {
    if (data) v4lconvert_destroy(data);
}

bool Libv4lConvert::convert(const uint8_t *frame, size_t bytes, uint8_t *bgr) {
    if (!data) return false;
    v4l2_format src, dst;
    std::memset(&src, 0, sizeof src);
    src.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    driver_ioctl(this, -1, VIDIOC_G_FMT, &src);
    dst = src;
    dst.fmt.pix.pixelformat = V4L2_PIX_FMT_BGR24;
    dst.fmt.pix.bytesperline = static_cast<uint32_t>(width) * 3;
    dst.fmt.pix.sizeimage = dst.fmt.pix.bytesperline * static_cast<uint32_t>(height);
    int n = v4lconvert_convert(data, &src, &dst, const_cast<unsigned char *>(frame), static_cast<int>(bytes),
                               bgr, static_cast<int>(dst.fmt.pix.sizeimage));
    return n == static_cast<int>(dst.fmt.pix.sizeimage);
}
