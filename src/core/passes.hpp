// The passes over stored blocks, one per level, compiled for each
// instruction set: free functions over one segment's arrays that write
// kLanes values per block and decide nothing. The scan (scan.cpp) decides
// which blocks each level reads.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bounds.hpp"
#include "search.hpp"

namespace quillmere::detail {

// One segment's arrays, as the passes read them.
struct SegmentView {
    const std::uint16_t* hi;
    const std::uint16_t* lo;
    const std::uint8_t* sketch;
    const float* roots;
    const float* unit_scales;  // fl(s / r) of each vector
};

struct Passes {
    // Sketch level over blocks [begin, end): every lane's U and L.
    void (*sketch)(const PreparedQuery& q, const SegmentView& seg, std::size_t begin, std::size_t end,
                   float* upper, float* lower);
    // Plane level over the listed blocks: every lane's U and L. A block
    // whose lanes all have U below `threshold` even with the largest
    // possible z gets that looser bound, without the second pass that
    // computes each lane's own.
    void (*planes)(const PreparedQuery& q, const SegmentView& seg, const std::uint32_t* blocks, std::size_t count,
                   float threshold, float* upper, float* lower);
    // Exact scores of the listed blocks, each lane's sums in the metric's order.
    void (*exact)(const PreparedQuery& q, const SegmentView& seg, const std::uint32_t* blocks, std::size_t count,
                  float* scores);
    // Coarse sketch level of a batch (bounds.cpp) over blocks [begin, end),
    // for any number of queries: query j's U at upper + j * stride, laid
    // out as sketch() lays out one query's (only U: a block that passes it
    // gets the fine bounds). Every instruction set gives the same bits.
    // Beside U, bit b - first of passing[j] is set for each block b whose
    // U for query j has any lane at or above limits[j] (dead lanes too):
    // the scan then looks only at those blocks.
    void (*sketch_batch)(const PreparedQuery* const* queries, std::size_t count, const SegmentView& seg,
                         std::size_t begin, std::size_t end, float* upper, std::size_t stride,
                         const float* limits, std::uint64_t* passing, std::size_t first);
    // The fine sketch level of a batch, U and L, the same bits as sketch()
    // gives each query, laid out as sketch_batch lays out U.
    void (*sketch_batch_fine)(const PreparedQuery* const* queries, std::size_t count, const SegmentView& seg,
                              std::size_t begin, std::size_t end, float* upper, float* lower, std::size_t stride);
    const char* sketch_name;        // the sketch pass's instruction set
    const char* sketch_batch_name;  // and the batch sketch pass's
};

const Passes& passes_for(KernelId kernel) noexcept;

// Whether the CPU has AMX and the kernel lets this process use its tiles
// (asked once, at the first call).
bool amx_usable() noexcept;

}  // namespace quillmere::detail
