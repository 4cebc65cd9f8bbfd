// A ceiling on single allocations through operator new, so that tests can
// make a huge frame's allocation fail as it would on a machine without the
// memory, without really asking for gigabytes.
#pragma once

#include <cstddef>

namespace test_support {

// Every operator new of more than `bytes` throws std::bad_alloc until the
// object is destroyed.
class NewLimit {
  public:
    explicit NewLimit(size_t bytes);
    ~NewLimit();
    NewLimit(const NewLimit &) = delete;
    NewLimit &operator=(const NewLimit &) = delete;
};

// How many times operator new has been called in this process so far.
size_t allocations_made();

}  // namespace test_support
