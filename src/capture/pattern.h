// The built-in moving test picture shown when no camera can be connected.
// It is delivered like a camera's frames: on a thread of its own, about 30
// times a second, as 24-bit bottom-up DIB rows padded to 4 bytes, through
// the same frame function.
#pragma once

#include <vector>

const int pattern_width = 640;
const int pattern_height = 480;

// Draws frame `n` (a 24-bit bottom-up DIB, rows padded to 4 bytes, so
// ((width * 3 + 3) & ~3) * height bytes): colour gradients, colour bars, a
// checkerboard, diagonal stripes and a disc that moves from frame to frame.
void pattern_draw(unsigned char *dib, int width, int height, unsigned n);

// The frames of one delivery at one size, byte for byte as pattern_draw
// draws them but cheaply: everything but the disc stays still, so it is
// drawn once, and each frame is that picture copied with the disc on top.
class PatternFrames {
  public:
    // Sets the size and draws the still picture; false (and nothing to
    // draw) for a bad size or no memory.
    bool prepare(int width, int height);
    // Draws frame `n` into `dib` (sized as for pattern_draw). Allocates nothing.
    void draw(unsigned char *dib, unsigned n) const;

  private:
    int width_ = 0;
    int height_ = 0;
    std::vector<unsigned char> background_;
};

// Starts delivering width x height frames to `frame_function` (data,
// byte count, 24). False if it could not start (already running, a bad
// size, no memory).
bool pattern_start(void (*frame_function)(unsigned char *, int, int), int width, int height);
// Stops delivering; returns when the thread has finished its last call and
// ended. Harmless when not running. Never called from the frame function.
void pattern_stop();
bool pattern_running();
