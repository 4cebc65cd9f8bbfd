// The two ways to take a FrameStore's frame_lock. The delivery thread takes
// it once per frame; when processing a frame takes longer than the frame
// period it would take it again at once, frame after frame, and keep the
// window thread's paints, keys, timers and Escape waiting behind the queued
// frames. So every other thread goes ahead of the next frame.
#pragma once

#include "pipeline/process.h"

// frame_lock for any thread but the delivery thread: granted once the frame
// in hand is done.
class FrameLock {
  public:
    explicit FrameLock(FrameStore &store);
    ~FrameLock();
    FrameLock(const FrameLock &) = delete;
    FrameLock &operator=(const FrameLock &) = delete;

  private:
    FrameStore &store_;
};

// frame_lock only if it is free now, for a thread that must not wait for
// the frame in hand (a paint: it tries again later).
class FrameTryLock {
  public:
    explicit FrameTryLock(FrameStore &store);
    ~FrameTryLock();
    FrameTryLock(const FrameTryLock &) = delete;
    FrameTryLock &operator=(const FrameTryLock &) = delete;
    bool owns() const { return owns_; }

  private:
    FrameStore &store_;
    bool owns_;
};

// frame_lock for the delivery thread: taken when no other thread waits for it.
class DeliveryLock {
  public:
    explicit DeliveryLock(FrameStore &store);
    ~DeliveryLock();
    DeliveryLock(const DeliveryLock &) = delete;
    DeliveryLock &operator=(const DeliveryLock &) = delete;

  private:
    FrameStore &store_;
};
