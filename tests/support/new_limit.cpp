#include "support/new_limit.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace {

std::atomic<size_t> limit{SIZE_MAX};
std::atomic<size_t> made{0};

void *allocate(size_t bytes) {
    made.fetch_add(1, std::memory_order_relaxed);
    if (bytes > limit.load(std::memory_order_relaxed)) throw std::bad_alloc();
    void *p = std::malloc(bytes ? bytes : 1);
    if (!p) throw std::bad_alloc();
    return p;
}

}  // namespace

namespace test_support {

NewLimit::NewLimit(size_t bytes) { limit = bytes; }
NewLimit::~NewLimit() { limit = SIZE_MAX; }

size_t allocations_made() { return made.load(); }

}  // namespace test_support

// The test program's replacements of the global allocation functions; the
// array and nothrow forms of the library call these.
void *operator new(size_t bytes) { return allocate(bytes); }
void *operator new[](size_t bytes) { return allocate(bytes); }
void operator delete(void *p) noexcept { std::free(p); }
void operator delete[](void *p) noexcept { std::free(p); }
void operator delete(void *p, size_t) noexcept { std::free(p); }
void operator delete[](void *p, size_t) noexcept { std::free(p); }
