// The frame trace, written only when LUMIVEX_TRACE names a file: one line
// per camera frame that reached the window, from the frame being ready at
// the camera to its picture being on the screen. Internal to the portable
// layer (the capture device, publishing and the presenting backends).
#pragma once

#include <cstdint>

namespace lvx {

struct Screen;

// True when LUMIVEX_TRACE asks for the trace (read once).
bool trace_on();
// CLOCK_MONOTONIC in nanoseconds: the clock of V4L2 buffer timestamps.
uint64_t trace_clock_ns();
// Capture thread: the frame this thread delivers from now on (sequence
// number, when the camera had it ready, when it was dequeued); a ready time
// of 0 clears it.
void trace_delivering(uint32_t sequence, uint64_t ready_ns, uint64_t dequeued_ns);
// Screen locked: a picture is being published into it, from the frame the
// calling thread delivers, if any. A fresh picture it replaces before the
// backend showed it is written as not shown.
void trace_published(Screen &screen);
// Screen locked, window thread: its picture is on the screen now.
void trace_shown(Screen &screen);

}  // namespace lvx
