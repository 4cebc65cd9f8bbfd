#include "common/buffer.h"

#include <cstdlib>

bool (*buffer_alloc_should_fail)(size_t bytes) = nullptr;

void *buffer_alloc(size_t bytes) {
    if (buffer_alloc_should_fail && buffer_alloc_should_fail(bytes)) return nullptr;
    return std::calloc(bytes ? bytes : 1, 1);
}

void buffer_free(void *block) { std::free(block); }
