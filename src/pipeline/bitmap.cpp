#include "pipeline/bitmap.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "capture/camera.h"
#include "common/buffer.h"
#include "display/display.h"
#include "pipeline/process.h"
#include "platform/dib.h"
#include "platform/win32.h"
#include "shell/options.h"

namespace {

// Writes the three parts of a BMP file to `name` through a temporary file
// beside it, so a failure never leaves a truncated file or touches an older
// file of that name. On failure `reason` holds the system's error text.
bool write_bmp(const std::string &name, const BITMAPFILEHEADER &file_header, const BITMAPINFOHEADER &info,
               const unsigned char *pixels, DWORD pixel_bytes, std::string &reason) {
    std::string temp = name + ".tmp";
    const char *temp_name = temp.c_str();
    HANDLE file = CreateFileA(temp_name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        reason = last_error_text();
        return false;
    }
    DWORD written = 0;
    bool ok =
        WriteFile(file, &file_header, sizeof file_header, &written, nullptr) && written == sizeof file_header;
    ok = ok && WriteFile(file, &info, sizeof info, &written, nullptr) && written == sizeof info;
    ok = ok && WriteFile(file, pixels, pixel_bytes, &written, nullptr) && written == pixel_bytes;
    ok = ok && FlushFileBuffers(file);
    ok = CloseHandle(file) && ok;
    ok = ok && MoveFileExA(temp_name, name.c_str(), MOVEFILE_REPLACE_EXISTING);
    if (!ok) {
        reason = last_error_text();
        DeleteFileA(temp_name);
    }
    return ok;
}

}  // namespace

void save_to_disk() {
    static int next_file_num = 1;
    char line[80];
    int number;
    BITMAPFILEHEADER file_header{};
    BITMAPINFOHEADER info{};
    unsigned char *pixels = nullptr;
    DWORD pixel_bytes = 0;
    {
        // The frame is staged under the lock, so the file holds one whole frame;
        // the slow part, writing, happens after the delivery thread may go on.
        std::lock_guard<std::recursive_mutex> lock(frame_lock);
        if (!camera_buffer) {
            add_line("Nothing to save");
            return;
        }
        number = next_file_num++;
        std::snprintf(line, sizeof line, "Save to: %d.bmp", number);
        add_line(line);

        const size_t width = camera_x_size > 0 ? static_cast<size_t>(camera_x_size) : 0;
        const size_t height = camera_y_size > 0 ? static_cast<size_t>(camera_y_size) : 0;
        const size_t row = width * 3;
        // BMP rows are padded to 4 bytes; frames in memory are not.
        const size_t stride = dib_stride(width);
        const size_t bytes = stride * height;
        info = camera_buffer_info.bmiHeader;
        if (bytes <= 0xffffffffu - 54 && bytes > 0)
            pixels = static_cast<unsigned char *>(buffer_alloc(bytes));
        if (pixels) {
            const unsigned char *frame = reinterpret_cast<const unsigned char *>(camera_buffer);
            for (size_t r = 0; r < height; ++r) {
                // Under fast capture the display shows the frame upside down; the file shows it the same way.
                size_t target = fast_capture ? height - 1 - r : r;
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
    const std::string name = snapshot_path(number);
    std::string reason = "not enough memory";
    bool saved = pixels && write_bmp(name, file_header, info, pixels, pixel_bytes, reason);
    buffer_free(pixels);
    if (!saved) {
        std::snprintf(line, sizeof line, "Unable to save %d.bmp", number);
        add_line(line);
        // With a chosen snapshot folder, standard error also says why.
        if (!snapshot_folder.empty()) error_line("cannot write " + name + ": " + reason);
    }
}
