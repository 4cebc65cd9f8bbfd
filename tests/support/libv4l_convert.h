// libv4l2's own conversion of one camera frame to 24-bit BGR, done by
// libv4lconvert (what libv4l2 converts with) without a device: a stand-in
// driver answers its questions about the one format. The yardstick for the
// intake's conversions, in tests and in the benchmark.
#pragma once

#include <cstddef>
#include <cstdint>

struct v4lconvert_data;

class Libv4lConvert {
  public:
    // `bytes_per_line`: of the frame's first plane (0: the format's own).
    Libv4lConvert(uint32_t fourcc, int width, int height, uint32_t bytes_per_line = 0);
    ~Libv4lConvert();
    Libv4lConvert(const Libv4lConvert &) = delete;
    Libv4lConvert &operator=(const Libv4lConvert &) = delete;

    bool ok() const { return data != nullptr; }
    // Top-down BGR rows of width * 3 bytes into `bgr` (width * height * 3
    // bytes); false when libv4lconvert refuses.
    bool convert(const uint8_t *frame, size_t bytes, uint8_t *bgr);

    uint32_t fourcc;
    int width;
    int height;
    uint32_t bytes_per_line;

  private:
    v4lconvert_data *data = nullptr;
};
