// Reads a fuzzer's input as a stream of small numbers; past the end every
// read gives 0, so any input is a whole script.
#pragma once

#include <cstddef>
#include <cstdint>

class FuzzInput {
  public:
    FuzzInput(const uint8_t *data, size_t size) : data_(data), left_(size) {}
    bool empty() const { return left_ == 0; }
    uint8_t byte() {
        if (left_ == 0) return 0;
        --left_;
        return *data_++;
    }
    uint16_t u16() { return static_cast<uint16_t>(byte() | (byte() << 8)); }
    uint32_t u32() { return u16() | (static_cast<uint32_t>(u16()) << 16); }
    bool flag() { return byte() & 1; }
    // A number in [0, n).
    unsigned below(unsigned n) { return n ? u16() % n : 0; }

  private:
    const uint8_t *data_;
    size_t left_;
};
