// Reading stored entries back: the floats exactly as they were stored, one
// row per position, and the ids.
//
// A sealed block keeps its floats as two 16-bit planes, component-major
// (store.hpp); reading it back joins the halves and transposes the block
// into rows. The staged tail is already row-major and is copied as it is.
#pragma once

#include <cstddef>
#include <cstdint>

#include "search.hpp"
#include "store.hpp"

namespace quillmere {

// Writes positions [first, last) of the store into `out`, row-major: the
// vector at position p goes to out[(p - first) * vector_size()]. Every bit
// is the stored one (NaN payloads, signed zeros, subnormals). Requires
// first <= last <= store.size(). `kernel` picks the instruction set; every
// one writes the same bits, and one the CPU lacks falls back to the portable
// loop.
void read_vectors(const Vectorstore& store, std::size_t first, std::size_t last, float* out, detail::KernelId kernel);
// The same with the process's choice: the widest set the CPU has, unless
// QUILLMERE_KERNEL forces a narrower one (as for searches).
void read_vectors(const Vectorstore& store, std::size_t first, std::size_t last, float* out);

// Writes the ids of positions [first, last) into `out`, in store order.
void read_ids(const Vectorstore& store, std::size_t first, std::size_t last, std::uint64_t* out) noexcept;

}  // namespace quillmere
