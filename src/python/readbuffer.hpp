// Read-only buffers of numbers read back from a store, handed to Python as
// memoryviews.
#pragma once

#include <cstddef>

#include "pyref.hpp"
#include "store.hpp"

namespace quillmere::py {

// Memory for `count` items of `item_size` bytes, for the core to fill
// before it becomes a buffer. Throws std::bad_alloc.
ZeroedBuffer buffer_memory(std::size_t count, std::size_t item_size);

// A new read-only, C-contiguous memoryview of `data`, which it takes over:
// `rows` x `columns` items of format "f" (float32) when columns is given
// (columns >= 0), else `rows` items of format "Q" (u64). numpy.asarray wraps
// it without a copy.
Ref float_matrix_view(ZeroedBuffer data, std::size_t rows, std::size_t columns);
Ref u64_vector_view(ZeroedBuffer data, std::size_t count);

}  // namespace quillmere::py
