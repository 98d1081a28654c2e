// The scan of one range of the store: which level reads which block.
//
// Three levels, each a pass in passes.cpp. The sketch (one byte per
// component) gives every lane an upper bound U and a lower bound L on its
// exact score; a block whose lanes all have U below the threshold is
// skipped. The high plane (two bytes per component) bounds the survivors
// more tightly, and only blocks that still pass are scored exactly from both
// planes. Exact scores are the only ones ever ranked, so the result is the
// full scan's, bit for bit (bounds.cpp proves the bounds and the pruning
// rule). QUILLMERE_SCAN=planes starts at the high plane; QUILLMERE_SCAN=full
// scores every block exactly.
//
// Blocks go through in runs of kRun, first through the level the scan
// starts at. A block that passes its bounds is usually deferred: the
// threshold is still rising (every new k-th best raises it), and most such
// blocks fall below the final one. After the pass, the deferred blocks are
// taken best bound first, so that the exact scores that raise the threshold
// most come first; each still passing gets the high plane's tighter bound
// (when the scan started at the sketch) and then, if it still passes, its
// exact scores. Once one falls below the threshold, all the rest do. A block
// with an unbounded lane is scored at once.
//
// Where the bounds cannot rule blocks out (identical vectors, mass ties at
// the k-th score, non-finite values), reading a block's bounds first costs
// more than scoring it: when most blocks of a run had to be scored at once,
// or deferring stopped paying in a scan that starts at the sketch, the next
// runs are scored exactly, straight from the planes, until exact scores show
// that the bounds would have ruled blocks out again. That is only a guess
// about speed; it keeps such stores at the cost of the full scan. A top k
// that reaches into most blocks never reads the bounds (kEntriesPerBest).
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "bounds.hpp"
#include "metric.hpp"
#include "passes.hpp"
#include "search.hpp"
#include "topk.hpp"

namespace quillmere::detail {
namespace {

constexpr std::size_t kRun = 64;
// The bounds are read only when the range holds at least this many entries
// for each of the k best: with k best spread over the blocks, about
// 1 - exp(-32 / kEntriesPerBest) of the blocks hold one and need exact
// scores anyway, 40% here, and more would cost more than the full scan.
constexpr std::size_t kEntriesPerBest = 64;
// Entries seen per best entry before a long deferred list counts against
// deferring (prune_deferred()).
constexpr std::size_t kSeenPerBest = 256;
// Deferred blocks per call of a pass: between calls the threshold, raised by
// the blocks just scored, drops more of the list.
constexpr std::size_t kDeferredBatch = 8;
// A typical lane bound at each level: exact scores that far below the
// threshold say that the bounds would have skipped their block.
constexpr float kTypicalSketchBound = 0x1p-6f;
constexpr float kTypicalPlaneBound = 0x1p-8f;

// A block that could not be ruled out yet.
struct Deferred {
    std::size_t segment;
    std::uint32_t block;
    float best;  // the largest U of its lanes
};

class Scan {
public:
    Scan(const Vectorstore& store, const PreparedQuery& query, std::size_t top_k, std::size_t first,
         std::size_t last, std::vector<Hit>& out, const ScanOptions& options)
        : store_(store),
          q_(query),
          top_k_(top_k),
          first_(first),
          last_(last),
          options_(options),
          passes_(passes_for(options.kernel)),
          heap_(out, top_k),
          lower_bounds_(top_k, last - first),
          pruning_(options.mode != ScanMode::Full && query.bounded && top_k <= (last - first) / kEntriesPerBest),
          sketch_(pruning_ && options.mode == ScanMode::Sketch) {}

    void run() {
        const Vectorstore::Tail tail = store_.tail();
        // The planes hold the full blocks; the staged tail is scored after them.
        const std::size_t plane_last = std::min(last_, tail.first);
        const auto& segments = store_.segments();
        for (std::size_t index = 0; index < segments.size() && first_ < plane_last; ++index) {
            const Segment& seg = segments[index];
            const std::size_t seg_end = seg.first + seg.blocks * kLanes;
            if (seg_end <= first_) continue;
            if (seg.first >= plane_last) break;
            const std::size_t from = (std::max(first_, seg.first) - seg.first) / kLanes;
            const std::size_t end = (std::min(plane_last, seg_end) - seg.first + kLanes - 1) / kLanes;
            for (std::size_t begin = from; begin < end; begin += kRun) {
                const std::size_t stop = std::min(end, begin + kRun);
                if (pruning_ && try_bounds_) {
                    bounded_run(index, begin, stop);
                    prune_deferred();
                } else {
                    exact_run(index, begin, stop);
                }
            }
        }
        score_deferred();
        if (last_ > tail.first) score_tail(tail);
    }

private:
    SegmentView view(std::size_t index) const noexcept {
        const Segment& seg = store_.segments()[index];
        return {seg.hi(), seg.lo(), reinterpret_cast<const std::uint8_t*>(seg.sketch()), seg.roots(),
                seg.unit_scales()};
    }
    std::size_t base(std::size_t index, std::size_t block) const noexcept {
        return store_.segments()[index].first + block * kLanes;
    }
    // Lanes of the block at `base` that are inside the range (a parallel chunk may start or end mid-block).
    std::size_t lane_begin(std::size_t base) const noexcept { return first_ > base ? first_ - base : 0; }
    std::size_t lane_end(std::size_t base) const noexcept { return std::min<std::size_t>(kLanes, last_ - base); }

    // The current threshold f: a block may be skipped when every lane has U < f.
    float threshold() noexcept {
        if (heap_.full_of_numbers() && heap_.worst() != worst_) {
            worst_ = heap_.worst();
            exact_threshold_ = prune_threshold(worst_, q_.slack);
        }
        if (lower_bounds_.full() && lower_bounds_.kth() != kth_) {
            kth_ = lower_bounds_.kth();
            bound_threshold_ = prune_threshold(kth_, 2.0 * q_.slack);
        }
        return std::max(exact_threshold_, bound_threshold_);
    }

    // Whether any lane of the range in the block at `base` has U >= limit. An
    // integer reduction over all lanes vectorises; a block at the range's
    // edge masks its lanes.
    bool may_pass(const float* upper, std::size_t base, float limit) const noexcept {
        const std::size_t lo = lane_begin(base), hi = lane_end(base);
        int any = 0;
        for (std::size_t l = 0; l < kLanes; ++l) any |= upper[l] >= limit;
        if (any == 0 || (lo == 0 && hi == kLanes)) return any != 0;
        any = 0;
        for (std::size_t l = lo; l < hi; ++l) any |= upper[l] >= limit;
        return any != 0;
    }

    float best_upper(const float* upper, std::size_t base) const noexcept {
        float best = -HUGE_VALF;
        for (std::size_t l = lane_begin(base); l < lane_end(base); ++l) best = std::max(best, upper[l]);
        return best;
    }

    void offer_scores(const float* scores, std::size_t base) {
        if (heap_.block_may_enter(scores, base)) heap_.offer_block(scores, base, first_, last_);
    }

    // Offers the L of the block's bounded lanes in the range, when they may
    // raise the k-th largest: only blocks that passed their test, each once.
    void offer_lower_bounds(const float* upper, const float* lower, const float* r, std::size_t at, float best) {
        if (lower_bounds_.full() && !(best > lower_bounds_.kth())) return;
        for (std::size_t l = lane_begin(at); l < lane_end(at); ++l) {
            if (r[l] != 0.0f && upper[l] < HUGE_VALF) lower_bounds_.offer(lower[l]);
        }
    }

    // One run through the level the scan starts at, then, block by block,
    // the decision: skipped, deferred, or (an unbounded lane, or deferring
    // given up in a scan that starts at the high plane) scored at once.
    void bounded_run(std::size_t index, std::size_t begin, std::size_t stop) {
        const SegmentView seg = view(index);
        const std::size_t count = stop - begin;
        if (sketch_) {
            passes_.sketch(q_, seg, begin, stop, upper_, lower_);
            count_blocks(stats_sketch(), count);
        } else {
            for (std::size_t n = 0; n < count; ++n) run_blocks_[n] = static_cast<std::uint32_t>(begin + n);
            passes_.planes(q_, seg, run_blocks_, count, threshold(), upper_, lower_);
            count_blocks(stats_planes(), count);
        }
        bounded_blocks_ += count;
        // Blocks scored at once after a real test (not one that nothing could
        // fail yet), or for an unbounded lane.
        std::size_t scored_now = 0;
        for (std::size_t n = 0; n < count; ++n) {
            const auto block = static_cast<std::uint32_t>(begin + n);
            const std::size_t at = base(index, block);
            const float* upper = upper_ + n * kLanes;
            const float limit = threshold();
            if (!may_pass(upper, at, limit)) continue;
            const float best = best_upper(upper, at);
            const bool unbounded = best == HUGE_VALF;
            offer_lower_bounds(upper, lower_ + n * kLanes, seg.roots + std::size_t{block} * kLanes, at, best);
            if (!unbounded && (defer_all_ || (lower_bounds_.full() && best < lower_bounds_.kth()))) {
                deferred_.push_back({index, block, best});
            } else {
                score_now(index, seg, block);
                scored_now += limit > -HUGE_VALF || unbounded;
            }
        }
        try_bounds_ = 2 * scored_now <= count;
    }

    void score_now(std::size_t index, const SegmentView& seg, std::uint32_t block) {
        alignas(64) float scores[kLanes];
        passes_.exact(q_, seg, &block, 1, scores);
        count_blocks(stats_exact(), 1);
        offer_scores(scores, base(index, block));
    }

    // One run scored exactly, straight from the planes. While pruning,
    // exact scores far enough below the threshold (by a typical lane bound)
    // say that the bounds would have skipped their blocks: when most blocks
    // of the run say so, the next run reads its bounds again.
    void exact_run(std::size_t index, std::size_t begin, std::size_t stop) {
        const SegmentView seg = view(index);
        const std::size_t count = stop - begin;
        for (std::size_t n = 0; n < count; ++n) run_blocks_[n] = static_cast<std::uint32_t>(begin + n);
        passes_.exact(q_, seg, run_blocks_, count, upper_);
        count_blocks(stats_exact(), count);
        const float margin = sketch_ ? kTypicalSketchBound : kTypicalPlaneBound;
        std::size_t would_skip = 0;
        for (std::size_t n = 0; n < count; ++n) {
            const float* scores = upper_ + n * kLanes;
            const float* r = seg.roots + (begin + n) * kLanes;
            if (pruning_) {
                const float clear = threshold() - margin;
                // Branch-free, so that it vectorises and costs nothing beside the scores.
                int skip = 1;
                for (std::size_t l = 0; l < kLanes; ++l) {
                    const int zero = r[l] == 0.0f;
                    const int bounded = (r[l] >= kMinRoot) & (r[l] <= kMaxRoot);
                    skip &= (zero & (0.0f < clear)) | ((1 - zero) & bounded & (scores[l] < clear));
                }
                would_skip += static_cast<std::size_t>(skip);
            }
            offer_scores(scores, base(index, begin + n));
        }
        if (pruning_) try_bounds_ = 2 * would_skip > count;
    }

    // Between runs the deferred list drops what the risen threshold now
    // rules out. Where it still holds most of the blocks seen (identical
    // vectors, mass ties), deferring would read them twice for nothing: they
    // are scored at once, and from then on a scan that starts at the high
    // plane scores its passing blocks at once, while one that starts at the
    // sketch scores its next runs exactly (until exact scores show that the
    // bounds would pay again). Early in a scan, while the k best so far are
    // a large share of what was seen, a long list is normal: the rule waits
    // for kSeenPerBest entries per best entry.
    void prune_deferred() {
        if (deferred_.empty() || !defer_all_) return;
        const float limit = threshold();
        deferred_.erase(std::remove_if(deferred_.begin(), deferred_.end(),
                                       [&](const Deferred& x) { return !(x.best >= limit); }),
                        deferred_.end());
        if (bounded_blocks_ * kLanes / kSeenPerBest >= top_k_ && 4 * deferred_.size() > 3 * bounded_blocks_) {
            score_deferred();
            if (sketch_) {
                try_bounds_ = false;
            } else {
                defer_all_ = false;
            }
        }
    }

    // Scores the deferred blocks that still pass, best bound first, a few at a
    // time, so that each batch sees the threshold the previous one raised.
    // The threshold only rises, so the first block below it ends the list.
    void score_deferred() {
        std::stable_sort(deferred_.begin(), deferred_.end(),
                         [](const Deferred& a, const Deferred& b) { return a.best > b.best; });
        for (std::size_t i = 0; i < deferred_.size();) {
            const float limit = threshold();
            if (!(deferred_[i].best >= limit)) break;
            const std::size_t segment = deferred_[i].segment;
            std::size_t count = 0;
            for (; i < deferred_.size() && deferred_[i].segment == segment && count < kDeferredBatch &&
                   deferred_[i].best >= limit;
                 ++i) {
                run_blocks_[count++] = deferred_[i].block;
            }
            const SegmentView seg = view(segment);
            if (sketch_) {
                // The high plane first: only the blocks that pass its tighter bound are scored.
                passes_.planes(q_, seg, run_blocks_, count, limit, upper_, lower_);
                count_blocks(stats_planes(), count);
                std::size_t kept = 0;
                for (std::size_t n = 0; n < count; ++n) {
                    if (may_pass(upper_ + n * kLanes, base(segment, run_blocks_[n]), limit)) {
                        run_blocks_[kept++] = run_blocks_[n];
                    }
                }
                count = kept;
            }
            if (count == 0) continue;
            passes_.exact(q_, seg, run_blocks_, count, upper_);
            count_blocks(stats_exact(), count);
            for (std::size_t n = 0; n < count; ++n) offer_scores(upper_ + n * kLanes, base(segment, run_blocks_[n]));
        }
        deferred_.clear();
    }

    // Exact scores of the staged tail vectors, lane-parallel over the vectors
    // but each sum strictly in order, as in the exact pass.
    void score_tail(const Vectorstore::Tail& tail) {
        const std::size_t d = q_.d;
        float dot[kLanes], norm[kLanes];
        alignas(64) float scores[kLanes];
        for (std::size_t l = 0; l < kLanes; ++l) dot[l] = norm[l] = -0.0f;
        for (std::size_t i = 0; i < d; ++i) {
            const float qi = q_.values[i];
            for (std::size_t l = 0; l < tail.count; ++l) {
                const float x = tail.rows[l * d + i];
                dot[l] += qi * x;
                norm[l] += x * x;
            }
        }
        for (std::size_t l = 0; l < kLanes; ++l) {
            scores[l] = l < tail.count ? lane_score(dot[l], q_.root, std::sqrt(norm[l])) : 0.0f;
        }
        offer_scores(scores, tail.first);
    }

    std::size_t* stats_sketch() noexcept { return options_.stats ? &options_.stats->sketch_blocks : nullptr; }
    std::size_t* stats_planes() noexcept { return options_.stats ? &options_.stats->plane_blocks : nullptr; }
    std::size_t* stats_exact() noexcept { return options_.stats ? &options_.stats->exact_blocks : nullptr; }
    static void count_blocks(std::size_t* counter, std::size_t blocks) noexcept {
        if (counter != nullptr) *counter += blocks;
    }

    const Vectorstore& store_;
    const PreparedQuery& q_;
    std::size_t top_k_, first_, last_;
    const ScanOptions& options_;
    const Passes& passes_;
    BoundedHeap heap_;
    LowerBoundHeap lower_bounds_;
    const bool pruning_;  // false: every block is scored exactly
    const bool sketch_;   // the bounds start at the sketch
    bool try_bounds_ = true;
    bool defer_all_ = true;
    std::vector<Deferred> deferred_;
    std::size_t bounded_blocks_ = 0;  // blocks that went through the bounds
    // Thresholds of the last k-th scores seen (NaN: none yet); those change
    // far less often than once per block.
    float worst_ = std::numeric_limits<float>::quiet_NaN();
    float kth_ = std::numeric_limits<float>::quiet_NaN();
    float exact_threshold_ = -HUGE_VALF;
    float bound_threshold_ = -HUGE_VALF;
    // Per-run scratch: a run's blocks and kLanes values per block.
    std::uint32_t run_blocks_[kRun];
    alignas(64) float upper_[kRun * kLanes];
    alignas(64) float lower_[kRun * kLanes];
};

ScanOptions pick_options() noexcept {
    const char* forced = std::getenv("QUILLMERE_KERNEL");
    const bool force_portable = forced != nullptr && std::strcmp(forced, "portable") == 0;
    const bool force_avx2 = forced != nullptr && std::strcmp(forced, "avx2") == 0;
    const char* scan = std::getenv("QUILLMERE_SCAN");
    ScanMode mode = ScanMode::Sketch;
    if (scan != nullptr && std::strcmp(scan, "full") == 0) mode = ScanMode::Full;
    if (scan != nullptr && std::strcmp(scan, "planes") == 0) mode = ScanMode::Planes;
    if (kernel_supported(KernelId::Avx512) && !force_portable && !force_avx2) return {KernelId::Avx512, mode};
    if (kernel_supported(KernelId::Avx2) && !force_portable) return {KernelId::Avx2, mode};
    return {KernelId::Portable, mode};
}

}  // namespace

bool kernel_supported(KernelId kernel) noexcept {
    __builtin_cpu_init();
    switch (kernel) {
        case KernelId::Avx512: return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("fma");
        case KernelId::Avx2: return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
        case KernelId::Portable: return true;
    }
    return false;
}

const ScanOptions& default_scan_options() noexcept {
    static const ScanOptions chosen = pick_options();
    return chosen;
}

const char* kernel_name() noexcept {
    switch (default_scan_options().kernel) {
        case KernelId::Avx512: return "avx512";
        case KernelId::Avx2: return "avx2";
        case KernelId::Portable: break;
    }
    return "portable";
}

PreparedQuery prepare_query(const float* query, std::size_t d, const ScanOptions& options) {
    return prepare_query(query, d, options.slack_scale, options.mode == ScanMode::Sketch);
}

void scan_range(const Vectorstore& store, const PreparedQuery& query, std::size_t top_k, std::size_t first,
                std::size_t last, std::vector<Hit>& out, const ScanOptions& options) {
    out.clear();
    if (top_k == 0 || first >= last) return;
    Scan scan(store, query, top_k, first, last, out, options);
    scan.run();
    std::sort_heap(out.begin(), out.end(), ranks_before);
}

void scan_range(const Vectorstore& store, const float* query, std::size_t top_k, std::size_t first,
                std::size_t last, std::vector<Hit>& out, const ScanOptions& options) {
    const PreparedQuery prepared = prepare_query(query, store.vector_size(), options);
    scan_range(store, prepared, top_k, first, last, out, options);
}

}  // namespace quillmere::detail
