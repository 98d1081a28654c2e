// The scan of one range of the store for one query: which level reads which
// block (scan.cpp). A query alone runs its scan from start to end; the batch
// driver (batch.cpp) walks several scans over the same runs of blocks and
// hands each the sketch bounds that one pass computed for all of them.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "bounds.hpp"
#include "passes.hpp"
#include "search.hpp"
#include "store.hpp"
#include "topk.hpp"

namespace quillmere::detail {

// Blocks per run: the unit in which a scan reads its first level.
inline constexpr std::size_t kRun = 64;  // at most 64: one bit per block in a word

// Per-thread scratch of scans that run one after another: one run's blocks
// and kLanes values per block.
struct ScanScratch {
    std::uint32_t blocks[kRun];
    alignas(64) float upper[kRun * kLanes];
    alignas(64) float lower[kRun * kLanes];
};

// The lanes of the block whose lane 0 is store position `base` that may
// enter a result: inside [first, last) (the block overlaps it) and, with a
// mask, allowed (bit p % 8 of byte p / 8 for position p; the mask covers
// every position below `last`).
inline std::uint32_t live_lanes(std::size_t base, std::size_t first, std::size_t last,
                                const std::uint8_t* allowed) noexcept {
    std::uint32_t lanes = ~0u;
    if (first > base) lanes &= ~0u << (first - base);
    if (last - base < kLanes) lanes &= (1u << (last - base)) - 1u;
    if (allowed != nullptr) {
        std::uint32_t bits = 0;
        for (std::size_t i = 0; i < 4 && base + 8 * i < last; ++i) bits |= std::uint32_t{allowed[base / 8 + i]} << (8 * i);
        lanes &= bits;
    }
    return lanes;
}

inline SegmentView segment_view(const Segment& seg) noexcept {
    return {seg.hi(), seg.lo(), reinterpret_cast<const std::uint8_t*>(seg.sketch()), seg.roots(), seg.unit_scales()};
}

// Calls f(segment, begin, stop) for the runs of at most kRun blocks that
// the planes hold of positions [first, last), in store order (the staged
// tail is not among them).
template <class F>
void for_each_run(const Vectorstore& store, std::size_t first, std::size_t last, F&& f) {
    const std::size_t plane_last = std::min(last, store.tail().first);
    const auto& segments = store.segments();
    for (std::size_t index = 0; index < segments.size() && first < plane_last; ++index) {
        const Segment& seg = segments[index];
        const std::size_t seg_end = seg.first + seg.blocks * kLanes;
        if (seg_end <= first) continue;
        if (seg.first >= plane_last) break;
        const std::size_t from = (std::max(first, seg.first) - seg.first) / kLanes;
        const std::size_t end = (std::min(plane_last, seg_end) - seg.first + kLanes - 1) / kLanes;
        for (std::size_t begin = from; begin < end; begin += kRun) f(index, begin, std::min(end, begin + kRun));
    }
}

// Calls f(b, e) for each maximal range of blocks of [begin, stop) in
// `segment` whose blocks each hold a live lane: blocks without one are never read.
template <class F>
void for_each_live_range(const Vectorstore& store, std::size_t segment, std::size_t begin, std::size_t stop,
                         std::size_t first, std::size_t last, const std::uint8_t* allowed, F&& f) {
    const std::size_t base = store.segments()[segment].first;
    std::size_t b = begin;
    while (b < stop) {
        while (b < stop && live_lanes(base + b * kLanes, first, last, allowed) == 0) ++b;
        std::size_t e = b;
        while (e < stop && live_lanes(base + e * kLanes, first, last, allowed) != 0) ++e;
        if (b < e) f(b, e);
        b = e;
    }
}

class Scan {
public:
    // `out` receives the hits; for a top-k goal it must have room for top_k
    // (top_k >= 1), and first < last.
    Scan(const Vectorstore& store, const PreparedQuery& query, const ScanGoal& goal, std::size_t first,
         std::size_t last, const std::uint8_t* allowed, std::vector<Hit>& out, const ScanOptions& options,
         ScanScratch& scratch);

    // The whole scan of a query alone.
    void run();

    // A scan run by the batch driver: which sketch bounds its next run
    // wants from the batch pass (none: it reads its own level); one run,
    // with coarse U (lower null) or fine U and L of its blocks' lanes
    // (indexed by block - begin), or neither; and the end, after the last run.
    enum class Wants { Nothing, Coarse, Fine };
    Wants wants() const noexcept {
        if (!sketch_ || !try_bounds_) return Wants::Nothing;
        return fine_runs_ > 0 ? Wants::Fine : Wants::Coarse;
    }
    // With coarse U, bit b - begin of `passing` says whether block b has any
    // lane, dead ones included, at or above limit() as it stood before the run.
    void take_run(std::size_t segment, std::size_t begin, std::size_t stop, const float* upper, const float* lower,
                  std::uint64_t passing = ~std::uint64_t{0});
    void finish();
    // The threshold a block's lanes must reach to be looked at further.
    float limit() noexcept { return threshold(); }

private:
    SegmentView view(std::size_t segment) const noexcept;
    std::size_t base(std::size_t segment, std::size_t block) const noexcept;
    std::uint32_t lanes(std::size_t base) const noexcept { return live_lanes(base, first_, last_, allowed_); }
    std::size_t live_blocks(std::size_t segment, std::size_t begin, std::size_t stop) noexcept;
    float threshold() noexcept;
    bool may_pass(const float* upper, std::uint32_t lanes, float limit) const noexcept;
    void offer_scores(const float* scores, std::size_t base);
    void offer_lower_bounds(const float* upper, const float* lower, const float* r, std::uint32_t lanes, float best);
    void bounded_run(std::size_t segment, std::size_t begin, std::size_t stop, const float* given_upper,
                     const float* given_lower, std::uint64_t passing);
    void score_now(std::size_t segment, const SegmentView& seg, std::uint32_t block);
    void exact_run(std::size_t segment, std::size_t begin, std::size_t stop);
    void prune_deferred();
    void score_deferred();
    void score_tail(const Vectorstore::Tail& tail);
    std::size_t* stats_sketch() noexcept { return options_.stats ? &options_.stats->sketch_blocks : nullptr; }
    std::size_t* stats_refined() noexcept { return options_.stats ? &options_.stats->sketch_refined : nullptr; }
    std::size_t* stats_planes() noexcept { return options_.stats ? &options_.stats->plane_blocks : nullptr; }
    std::size_t* stats_exact() noexcept { return options_.stats ? &options_.stats->exact_blocks : nullptr; }

    // A block that could not be ruled out yet.
    struct Deferred {
        std::size_t segment;
        std::uint32_t block;
        float best;  // the largest U of its live lanes
    };

    const Vectorstore& store_;
    const PreparedQuery& q_;
    ScanGoal goal_;
    std::size_t first_, last_;
    const std::uint8_t* allowed_;
    std::vector<Hit>& out_;
    const ScanOptions& options_;
    const Passes& passes_;
    ScanScratch& scratch_;
    BoundedHeap heap_;
    LowerBoundHeap lower_bounds_;
    bool pruning_;  // false: every block is scored exactly
    bool sketch_;   // the bounds start at the sketch
    bool try_bounds_ = true;
    bool defer_all_ = true;
    std::size_t fine_runs_ = 0;  // runs that still want fine bounds from a batch pass
    std::vector<Deferred> deferred_;
    std::size_t bounded_blocks_ = 0;  // blocks that went through the bounds
    // Thresholds of the last k-th scores seen (NaN: none yet); those change
    // far less often than once per block. A range scan's is fixed.
    float worst_;
    float kth_;
    float exact_threshold_;
    float bound_threshold_ = -HUGE_VALF;
    float swept_limit_ = -HUGE_VALF;  // the threshold at the last sweep of the deferred list
};

}  // namespace quillmere::detail
