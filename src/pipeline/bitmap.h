// Numbered BMP snapshots of the shown picture.
#pragma once

// Writes camera_buffer as "<n>.bmp" in the working directory (or the chosen
// snapshot folder), n = 1, 2, ...
void save_to_disk();
