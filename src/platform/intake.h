// Camera frames in the camera's own format turned into the 24-bit BGR DIB
// that the layer's grabber delivers: blue, green, red per pixel, the bottom
// row first, rows padded to 4 bytes.
//
// Formats and how:
//   BGR3               copied row by row (the bytes are untouched);
//   RGB3               red and blue exchanged (libyuv);
//   YUYV, UYVY (4:2:2), NV12, NV21, YU12, YV12, NM12 (4:2:0; NM12 is NV12M,
//                      its chroma in a memory plane of its own): libyuv, BT.601 with
//                      limited range (Y 16..235, Cb/Cr 16..240) unless the
//                      driver marks the frames full range (quantization
//                      V4L2_QUANTIZATION_FULL_RANGE, or the JPEG colorspace
//                      with the default quantization), then BT.601 full range;
//                      chroma is taken per pixel pair or square, not smoothed;
//   MJPG               TurboJPEG (libjpeg-turbo): JFIF, so BT.601 full range,
//                      with libjpeg's accurate integer DCT and smooth
//                      upsampling. A frame with recoverable damage still
//                      shows; one that cannot be decoded, or of another size,
//                      is dropped.
// Everything a frame needs is made by the constructor: converting allocates
// nothing in this code (TurboJPEG sets up its own working memory per frame).
// Not for the program's modules.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace lumivex_platform {

struct IntakeFormat {
    uint32_t fourcc = 0;               // V4L2 pixel format
    int width = 0;                     // pixels, positive
    int height = 0;                    // rows, positive
    size_t bytes_per_line = 0;         // of the (first) plane; 0: the format's own minimum
    size_t chroma_bytes_per_line = 0;  // NV12M's second plane; 0: as the first
    bool full_range = false;           // YUV formats: Y and chroma use 0..255
};

class FrameIntake {
  public:
    // Whether the intake converts this V4L2 format itself.
    static bool handles(uint32_t fourcc);

    // Throws std::bad_alloc when its buffers cannot be made.
    explicit FrameIntake(const IntakeFormat &format);
    ~FrameIntake();
    FrameIntake(const FrameIntake &) = delete;
    FrameIntake &operator=(const FrameIntake &) = delete;

    // Bytes a whole frame takes (for MJPEG: 1, any size may hold one).
    size_t frame_bytes() const { return whole; }
    // Converts one frame of `bytes` bytes into `dib` (dib_stride(width) x
    // height bytes); NV12M's chroma plane is `chroma` (`chroma_bytes`). False,
    // the DIB possibly half-written, for a frame that is too short or cannot
    // be decoded.
    bool convert(const uint8_t *frame, size_t bytes, uint8_t *dib, const uint8_t *chroma = nullptr,
                 size_t chroma_bytes = 0);

  private:
    IntakeFormat format;
    size_t stride;  // of the source's first plane
    size_t whole;
    size_t chroma_stride = 0;  // NV12M's second plane
    size_t chroma_whole = 0;
    size_t dib_row;
    // YUYV and UYVY: a band of rows as planar 4:2:2 for libyuv.
    std::vector<uint8_t> band;
    void *jpeg = nullptr;  // TurboJPEG handle
};

}  // namespace lumivex_platform
