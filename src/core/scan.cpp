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
//
// A range scan (every entry at or above min_score) has a fixed threshold and
// scores what passes after every run. A mask of allowed positions makes its
// dead lanes' bounds -inf, keeps their scores out of every result, and
// leaves blocks with no allowed lane unread at every level.
#include "scan.hpp"

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
constexpr std::uint32_t kAllLanes = ~0u;
// Runs that take fine bounds from a batch pass after coarse ones let too
// many blocks through.
constexpr std::size_t kFineRuns = 4;

void count_blocks(std::size_t* counter, std::size_t blocks) noexcept {
    if (counter != nullptr) *counter += blocks;
}

// Whether a lane's exact score says that its bound would have ruled it out
// at `clear` (a zero root scores 0; an unbounded lane never would).
inline int lane_clear(float score, float r, float clear) noexcept {
    const int zero = r == 0.0f;
    const int bounded = (r >= kMinRoot) & (r <= kMaxRoot);
    return (zero & (0.0f < clear)) | ((1 - zero) & bounded & (score < clear));
}

}  // namespace

// A range scan keeps every hit at or above min_score: its threshold is
// fixed from the start (prune_threshold proves that a lane whose U is below
// it scores below min_score), it needs no lower-bound heap, and it never
// defers past the end of a run, since no later score can raise it.
Scan::Scan(const Vectorstore& store, const PreparedQuery& query, const ScanGoal& goal, std::size_t first,
           std::size_t last, const std::uint8_t* allowed, std::vector<Hit>& out, const ScanOptions& options,
           ScanScratch& scratch)
    : store_(store),
      q_(query),
      goal_(goal),
      first_(first),
      last_(last),
      allowed_(allowed),
      out_(out),
      options_(options),
      passes_(passes_for(options.kernel)),
      scratch_(scratch),
      heap_(out, goal.top_k),
      lower_bounds_(goal.range ? 0 : goal.top_k, goal.range ? 0 : last - first),
      pruning_(options.mode != ScanMode::Full && query.bounded &&
               (goal.range || goal.top_k <= (last - first) / kEntriesPerBest)),
      sketch_(pruning_ && options.mode == ScanMode::Sketch),
      worst_(std::numeric_limits<float>::quiet_NaN()),
      kth_(std::numeric_limits<float>::quiet_NaN()),
      exact_threshold_(goal.range ? prune_threshold(goal.min_score, query.slack) : -HUGE_VALF) {}

void Scan::run() {
    for_each_run(store_, first_, last_, [&](std::size_t segment, std::size_t begin, std::size_t stop) {
        take_run(segment, begin, stop, nullptr, nullptr);
    });
    finish();
}

void Scan::take_run(std::size_t segment, std::size_t begin, std::size_t stop, const float* upper,
                    const float* lower, std::uint64_t passing) {
    if (pruning_ && try_bounds_) {
        bounded_run(segment, begin, stop, upper, lower, passing);
        prune_deferred();
    } else {
        exact_run(segment, begin, stop);
    }
}

void Scan::finish() {
    score_deferred();
    const Vectorstore::Tail tail = store_.tail();
    if (last_ > tail.first) score_tail(tail);
    if (goal_.range) {
        std::sort(out_.begin(), out_.end(), ranks_before);
    } else {
        std::sort_heap(out_.begin(), out_.end(), ranks_before);
    }
}

SegmentView Scan::view(std::size_t segment) const noexcept { return segment_view(store_.segments()[segment]); }

std::size_t Scan::base(std::size_t segment, std::size_t block) const noexcept {
    return store_.segments()[segment].first + block * kLanes;
}

// Lists the blocks of the run that hold a live lane in the scratch; the
// others are never read.
std::size_t Scan::live_blocks(std::size_t segment, std::size_t begin, std::size_t stop) noexcept {
    // Without a mask, a run wholly inside the range has every lane live.
    if (allowed_ == nullptr && base(segment, begin) >= first_ && base(segment, stop) <= last_) {
        for (std::size_t b = begin; b < stop; ++b) scratch_.blocks[b - begin] = static_cast<std::uint32_t>(b);
        return stop - begin;
    }
    std::size_t count = 0;
    for (std::size_t b = begin; b < stop; ++b) {
        if (lanes(base(segment, b)) != 0) scratch_.blocks[count++] = static_cast<std::uint32_t>(b);
    }
    return count;
}

// The current threshold f: a block may be skipped when every live lane has U < f.
float Scan::threshold() noexcept {
    if (goal_.range) return exact_threshold_;
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

// Whether any live lane has U >= limit; a dead lane's bound counts as -inf.
// An integer reduction over all lanes vectorises; a block at the range's
// edge or under a mask then masks its lanes.
bool Scan::may_pass(const float* upper, std::uint32_t live, float limit) const noexcept {
    int any = 0;
    for (std::size_t l = 0; l < kLanes; ++l) any |= upper[l] >= limit;
    if (any == 0 || live == kAllLanes) return any != 0;
    for (std::size_t l = 0; l < kLanes; ++l) {
        if ((live >> l & 1u) != 0 && upper[l] >= limit) return true;
    }
    return false;
}

static float best_upper(const float* upper, std::uint32_t live) noexcept {
    float best = -HUGE_VALF;
    for (std::size_t l = 0; l < kLanes; ++l) {
        if ((live >> l & 1u) != 0) best = std::max(best, upper[l]);
    }
    return best;
}

void Scan::offer_scores(const float* scores, std::size_t at) {
    const std::uint32_t live = lanes(at);
    if (goal_.range) {
        for (std::size_t l = 0; l < kLanes; ++l) {
            // Widened exactly, so that min_score is compared as the caller gave it; NaN never qualifies.
            if ((live >> l & 1u) != 0 && static_cast<double>(scores[l]) >= goal_.min_score) {
                out_.push_back(Hit{scores[l], at + l});
            }
        }
        return;
    }
    if (heap_.block_may_enter(scores, at)) heap_.offer_block(scores, at, live);
}

// Offers the L of the block's bounded live lanes, when they may raise the
// k-th largest: only blocks that passed their test, each once. A range scan
// keeps no lower bounds.
void Scan::offer_lower_bounds(const float* upper, const float* lower, const float* r, std::uint32_t live,
                              float best) {
    if (goal_.range || (lower_bounds_.full() && !(best > lower_bounds_.kth()))) return;
    for (std::size_t l = 0; l < kLanes; ++l) {
        if ((live >> l & 1u) != 0 && r[l] != 0.0f && upper[l] < HUGE_VALF) lower_bounds_.offer(lower[l]);
    }
}

// One run through the level the scan starts at, then, block by block, the
// decision: skipped, deferred, or (an unbounded lane, or deferring given up
// in a scan that starts at the high plane) scored at once. In a batch the
// run comes with the sketch bounds already computed: fine ones, used as
// they are, or coarse U, where a block that passes gets the fine bounds
// first and is then decided like any other.
void Scan::bounded_run(std::size_t segment, std::size_t begin, std::size_t stop, const float* given_upper,
                       const float* given_lower, std::uint64_t passing) {
    const SegmentView seg = view(segment);
    const std::size_t count = live_blocks(segment, begin, stop);
    if (count == 0) return;
    const bool coarse = sketch_ && given_upper != nullptr && given_lower == nullptr;
    const bool given = sketch_ && given_lower != nullptr;
    if (sketch_ && given_upper == nullptr) {
        for_each_live_range(store_, segment, begin, stop, first_, last_, allowed_, [&](std::size_t b, std::size_t e) {
            passes_.sketch(q_, seg, b, e, scratch_.upper + (b - begin) * kLanes, scratch_.lower + (b - begin) * kLanes);
        });
    } else if (!sketch_) {
        passes_.planes(q_, seg, scratch_.blocks, count, threshold(), scratch_.upper, scratch_.lower);
    }
    count_blocks(sketch_ ? stats_sketch() : stats_planes(), count);
    bounded_blocks_ += count;
    // With coarse bounds, only the blocks that any lane lets pass the
    // threshold as it stood before the run go on: almost none in most runs.
    // The batch pass flagged them as it computed U (`passing`); a block it
    // did not flag has every lane's U below that threshold, and the
    // threshold never falls (the k-th best exact score and the k-th best L
    // only rise), so the test below would drop it too. Dead lanes count
    // in the flags; that test leaves them out, with the threshold raised by
    // whatever the earlier blocks of the run added.
    // QUILLMERE_BATCH_FLAGS=off ignores the flags and tests every lane here.
    std::size_t candidates = count;
    if (coarse) {
        const float limit = threshold();
        candidates = 0;
        for (std::size_t n = 0; n < count; ++n) {
            const std::uint32_t block = scratch_.blocks[n];
            if (options_.batch_flags) {
                if ((passing >> (block - begin) & 1u) != 0) scratch_.blocks[candidates++] = block;
                continue;
            }
            const float* u = given_upper + (block - begin) * kLanes;
            int any = 0;
            for (std::size_t l = 0; l < kLanes; ++l) any |= u[l] >= limit;
            if (any != 0) scratch_.blocks[candidates++] = block;
        }
    }
    const float* upper_base = given ? given_upper : scratch_.upper;
    const float* lower_base = given ? given_lower : scratch_.lower;
    // Blocks that passed a real test (not one that nothing could fail yet),
    // or with an unbounded lane; and blocks that passed coarse bounds.
    std::size_t passed = 0, refined = 0;
    for (std::size_t n = 0; n < candidates; ++n) {
        const std::uint32_t block = scratch_.blocks[n];
        const std::size_t at = base(segment, block);
        const std::size_t slot = (sketch_ ? block - begin : n) * kLanes;
        const std::uint32_t live = lanes(at);
        const float limit = threshold();
        const float* upper = upper_base + slot;
        const float* lower = lower_base + slot;
        if (coarse) {
            if (!may_pass(given_upper + slot, live, limit)) continue;
            passes_.sketch(q_, seg, block, block + 1, scratch_.upper + slot, scratch_.lower + slot);
            ++refined;
        }
        if (!may_pass(upper, live, limit)) continue;
        const float best = best_upper(upper, live);
        const bool unbounded = best == HUGE_VALF;
        offer_lower_bounds(upper, lower, seg.roots + std::size_t{block} * kLanes, live, best);
        passed += goal_.range || limit > -HUGE_VALF || unbounded;
        if (!unbounded &&
            (goal_.range || defer_all_ || (lower_bounds_.full() && best < lower_bounds_.kth()))) {
            deferred_.push_back({segment, block, best});
        } else {
            score_now(segment, seg, block);
        }
    }
    count_blocks(stats_refined(), refined);
    // Early in a top-k scan the threshold is the k-th of the few entries seen,
    // and most blocks pass it whatever the store: as for deferring, the rule
    // waits for kSeenPerBest entries per best entry (a range scan's threshold
    // is final from the start).
    const bool early = !goal_.range && bounded_blocks_ * kLanes / kSeenPerBest < goal_.top_k;
    try_bounds_ = options_.keep_bounds || (early && options_.patient_start) || 2 * passed <= count;
    // Coarse bounds pay while few blocks need the fine ones after them (a
    // fine bound costs twice a coarse one): else the next runs take fine
    // bounds from the batch pass, and then coarse ones are tried again, as
    // the threshold only rises.
    if (coarse && 4 * refined > count) fine_runs_ = kFineRuns;
    if (given && fine_runs_ > 0) --fine_runs_;
}

void Scan::score_now(std::size_t segment, const SegmentView& seg, std::uint32_t block) {
    alignas(64) float scores[kLanes];
    passes_.exact(q_, seg, &block, 1, scores);
    count_blocks(stats_exact(), 1);
    offer_scores(scores, base(segment, block));
}

// One run scored exactly, straight from the planes. While pruning,
// exact scores far enough below the threshold (by a typical lane bound)
// say that the bounds would have skipped their blocks: when most blocks
// of the run say so, the next run reads its bounds again.
void Scan::exact_run(std::size_t segment, std::size_t begin, std::size_t stop) {
    const SegmentView seg = view(segment);
    const std::size_t count = live_blocks(segment, begin, stop);
    if (count == 0) return;
    passes_.exact(q_, seg, scratch_.blocks, count, scratch_.upper);
    count_blocks(stats_exact(), count);
    const float margin = sketch_ ? kTypicalSketchBound : kTypicalPlaneBound;
    std::size_t would_skip = 0;
    for (std::size_t n = 0; n < count; ++n) {
        const float* scores = scratch_.upper + n * kLanes;
        const float* r = seg.roots + std::size_t{scratch_.blocks[n]} * kLanes;
        const std::size_t at = base(segment, scratch_.blocks[n]);
        if (pruning_) {
            const float clear = threshold() - margin;
            // Branch-free, so that it vectorises and costs nothing beside the scores.
            int skip = 1;
            for (std::size_t l = 0; l < kLanes; ++l) skip &= lane_clear(scores[l], r[l], clear);
            // Only live lanes count, as in the bounds: under a sparse mask the
            // other lanes of a block almost always hold a score above the
            // allowed entries' k-th, and counting them kept whole scans exact.
            const std::uint32_t live = lanes(at);
            if (skip == 0 && live != kAllLanes) {
                skip = 1;
                for (std::size_t l = 0; l < kLanes; ++l) {
                    if ((live >> l & 1u) != 0) skip &= lane_clear(scores[l], r[l], clear);
                }
            }
            would_skip += static_cast<std::size_t>(skip);
        }
        offer_scores(scores, at);
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
// for kSeenPerBest entries per best entry. A range scan's threshold never
// rises: it scores its list after every run.
void Scan::prune_deferred() {
    if (deferred_.empty()) return;
    if (goal_.range) {
        score_deferred();
        return;
    }
    if (!defer_all_) return;
    const float limit = threshold();
    // A block was deferred only with best >= the threshold of its time, and
    // the threshold never falls: while it stands where the last sweep left
    // it, no entry can drop out.
    if (!(limit == swept_limit_)) {
        deferred_.erase(std::remove_if(deferred_.begin(), deferred_.end(),
                                       [&](const Deferred& x) { return !(x.best >= limit); }),
                        deferred_.end());
        swept_limit_ = limit;
    }
    if (!options_.keep_bounds && bounded_blocks_ * kLanes / kSeenPerBest >= goal_.top_k &&
        4 * deferred_.size() > 3 * bounded_blocks_) {
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
void Scan::score_deferred() {
    std::stable_sort(deferred_.begin(), deferred_.end(),
                     [](const Deferred& a, const Deferred& b) { return a.best > b.best; });
    std::uint32_t* blocks = scratch_.blocks;
    for (std::size_t i = 0; i < deferred_.size();) {
        const float limit = threshold();
        if (!(deferred_[i].best >= limit)) break;
        const std::size_t segment = deferred_[i].segment;
        std::size_t count = 0;
        for (; i < deferred_.size() && deferred_[i].segment == segment && count < kDeferredBatch &&
               deferred_[i].best >= limit;
             ++i) {
            blocks[count++] = deferred_[i].block;
        }
        const SegmentView seg = view(segment);
        if (sketch_) {
            // The high plane first: only the blocks that pass its tighter bound are scored.
            passes_.planes(q_, seg, blocks, count, limit, scratch_.upper, scratch_.lower);
            count_blocks(stats_planes(), count);
            std::size_t kept = 0;
            for (std::size_t n = 0; n < count; ++n) {
                if (may_pass(scratch_.upper + n * kLanes, lanes(base(segment, blocks[n])), limit)) {
                    blocks[kept++] = blocks[n];
                }
            }
            count = kept;
        }
        if (count == 0) continue;
        passes_.exact(q_, seg, blocks, count, scratch_.upper);
        count_blocks(stats_exact(), count);
        for (std::size_t n = 0; n < count; ++n) offer_scores(scratch_.upper + n * kLanes, base(segment, blocks[n]));
    }
    deferred_.clear();
}

// Exact scores of the staged tail vectors, lane-parallel over the vectors
// but each sum strictly in order, as in the exact pass. A tail without a
// live lane is not read.
void Scan::score_tail(const Vectorstore::Tail& tail) {
    if (lanes(tail.first) == 0) return;
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

namespace {

ScanOptions pick_options() noexcept {
    const char* forced = std::getenv("QUILLMERE_KERNEL");
    const bool force_portable = forced != nullptr && std::strcmp(forced, "portable") == 0;
    const bool force_avx2 = forced != nullptr && std::strcmp(forced, "avx2") == 0;
    const char* scan = std::getenv("QUILLMERE_SCAN");
    ScanMode mode = ScanMode::Sketch;
    if (scan != nullptr && std::strcmp(scan, "full") == 0) mode = ScanMode::Full;
    if (scan != nullptr && std::strcmp(scan, "planes") == 0) mode = ScanMode::Planes;
    const bool force_avx512 = forced != nullptr && std::strcmp(forced, "avx512") == 0;
    const char* amx = std::getenv("QUILLMERE_AMX");
    const bool amx_off = amx != nullptr && std::strcmp(amx, "off") == 0;
    const char* flags = std::getenv("QUILLMERE_BATCH_FLAGS");
    ScanOptions chosen{KernelId::Portable, mode};
    chosen.batch_flags = flags == nullptr || std::strcmp(flags, "off") != 0;
    if (!force_portable && !force_avx2 && !force_avx512 && !amx_off && kernel_supported(KernelId::Amx)) {
        chosen.kernel = KernelId::Amx;
    } else if (kernel_supported(KernelId::Avx512) && !force_portable && !force_avx2) {
        chosen.kernel = KernelId::Avx512;
    } else if (kernel_supported(KernelId::Avx2) && !force_portable) {
        chosen.kernel = KernelId::Avx2;
    }
    return chosen;
}

}  // namespace

bool kernel_supported(KernelId kernel) noexcept {
    __builtin_cpu_init();
    switch (kernel) {
        case KernelId::Amx: return kernel_supported(KernelId::Avx512) && amx_usable();
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
        case KernelId::Amx: return "amx";
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
    ScanScratch scratch;
    Scan scan(store, query, ScanGoal{top_k, false, 0.0}, first, last, nullptr, out, options, scratch);
    scan.run();
}

void scan_range(const Vectorstore& store, const float* query, std::size_t top_k, std::size_t first,
                std::size_t last, std::vector<Hit>& out, const ScanOptions& options) {
    const PreparedQuery prepared = prepare_query(query, store.vector_size(), options);
    scan_range(store, prepared, top_k, first, last, out, options);
}

}  // namespace quillmere::detail
