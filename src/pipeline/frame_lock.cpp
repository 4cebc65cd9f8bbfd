#include "pipeline/frame_lock.h"

#include <thread>

FrameLock::FrameLock(FrameStore &store) : store_(store) {
    store_.lock_waiters.fetch_add(1);
    store_.frame_lock.lock();
    store_.lock_waiters.fetch_sub(1);
}

FrameLock::~FrameLock() { store_.frame_lock.unlock(); }

FrameTryLock::FrameTryLock(FrameStore &store) : store_(store), owns_(store.frame_lock.try_lock()) {}

FrameTryLock::~FrameTryLock() {
    if (owns_) store_.frame_lock.unlock();
}

DeliveryLock::DeliveryLock(FrameStore &store) : store_(store) {
    // The waiting threads hold the lock briefly (a paint, a key's work).
    while (store_.lock_waiters.load() > 0) std::this_thread::yield();
    store_.frame_lock.lock();
}

DeliveryLock::~DeliveryLock() { store_.frame_lock.unlock(); }
