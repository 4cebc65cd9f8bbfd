// Heap blocks for frames and filter state.
#pragma once

#include <cstddef>

// Zero-filled heap block of `bytes` (at least one byte is requested, so a
// null result always means failure). Released with buffer_free.
void *buffer_alloc(size_t bytes);
void buffer_free(void *block);

// Test hook: while set, buffer_alloc calls it first and fails when it
// returns true.
extern bool (*buffer_alloc_should_fail)(size_t bytes);
