// BMP snapshots of the frame on show.
#pragma once

#include <string>

#include "common/status_log.h"
#include "pipeline/process.h"

// Where snapshots go and the number of the next one.
struct Snapshots {
    // Folder with a trailing separator; empty: the current folder, file
    // names exactly "<n>.bmp".
    std::string snapshot_folder;
    int next_file_num = 1;
    // The snapshot file for number n: "<n>.bmp" in the folder.
    std::string snapshot_path(int number) const;
};

// Saves the frame in camera_buffer as the next numbered BMP file (upside
// down under fast capture, as shown). Adds "Save to: %d.bmp" (or "Nothing
// to save" with no frame), and "Unable to save %d.bmp" when the file cannot
// be written; then returns "<file>: <reason>", else an empty string.
std::string save_to_disk(FrameStore &store, const FilterSettings &settings, StatusLog &log,
                         Snapshots &snapshots);
