#include "pipeline/bitmap.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "common/buffer.h"
#include "common/files.h"
#include "pipeline/frame_lock.h"
#include "platform/dib.h"

std::string Snapshots::snapshot_path(int number) const {
    return snapshot_folder + std::to_string(number) + ".bmp";
}

std::string save_to_disk(FrameStore &store, const FilterSettings &settings, StatusLog &log,
                         Snapshots &snapshots) {
    char line[80];
    int number;
    BITMAPFILEHEADER file_header{};
    BITMAPINFOHEADER info{};
    unsigned char *pixels = nullptr;
    DWORD pixel_bytes = 0;
    {
        // The frame is staged under the lock, so the file holds one whole frame;
        // the slow part, writing, happens after the delivery thread may go on.
        FrameLock lock(store);
        if (!store.camera_buffer) {
            log.add_line("Nothing to save");
            return std::string();
        }
        number = snapshots.next_file_num++;
        std::snprintf(line, sizeof line, "Save to: %d.bmp", number);
        log.add_line(line);

        const size_t width = store.camera_x_size > 0 ? static_cast<size_t>(store.camera_x_size) : 0;
        const size_t height = store.camera_y_size > 0 ? static_cast<size_t>(store.camera_y_size) : 0;
        const size_t row = width * 3;
        // BMP rows are padded to 4 bytes; frames in memory are not.
        const size_t stride = dib_stride(width);
        const size_t bytes = stride * height;
        info = store.camera_buffer_info.bmiHeader;
        if (bytes <= 0xffffffffu - 54 && bytes > 0)
            pixels = static_cast<unsigned char *>(buffer_alloc(bytes));
        if (pixels) {
            const unsigned char *frame = reinterpret_cast<const unsigned char *>(store.camera_buffer);
            const bool flipped = settings.fast_capture;
            for (size_t r = 0; r < height; ++r) {
                // Under fast capture the display shows the frame upside down; the file shows it the same way.
                size_t target = flipped ? height - 1 - r : r;
                std::memcpy(pixels + target * stride, frame + r * row, row);
            }
            pixel_bytes = static_cast<DWORD>(bytes);
            info.biSizeImage = pixel_bytes;
            file_header.bfType = 0x4D42;
            file_header.bfSize = info.biSize + pixel_bytes + sizeof(BITMAPFILEHEADER);
            file_header.bfReserved1 = 0;
            file_header.bfReserved2 = 0;
            file_header.bfOffBits = info.biSize + sizeof(BITMAPFILEHEADER);
        }
    }
    const std::string name = snapshots.snapshot_path(number);
    std::string reason = "not enough memory";
    bool saved = pixels && write_bmp_file(name, file_header, info, pixels, pixel_bytes, reason);
    buffer_free(pixels);
    if (saved) return std::string();
    std::snprintf(line, sizeof line, "Unable to save %d.bmp", number);
    log.add_line(line);
    return name + ": " + reason;
}
