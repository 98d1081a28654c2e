// The scoring kernels and the bounded top-k selection: the whole hot path of
// both searches.
//
// Lane-parallel scoring: each of the kLanes lanes of a block accumulates the
// dot product of the query with its own stored vector, one component at a
// time from index 0, exactly as the scalar metric does. SIMD add, multiply,
// divide and square root are correctly rounded, so every lane produces the
// scalar metric's bits. The same body is compiled for several instruction
// sets and one is picked once, at first use.
//
// Skipping blocks. A block is first scored approximately from its high plane
// alone (each stored float rounded to bfloat16), which is half the bytes.
// Only when some lane's approximate score plus a proven bound could still
// enter the top k does the block read its low plane and get exact scores;
// exact scores are the only ones ever ranked, so results do not change.
//
// The bound. Let q be the query, x a stored vector, h its high halves (x
// rounded to bfloat16), d the dimension, u = 2^-24, g = d*u / (1 - d*u),
// S = sum |q_i x_i| <= |q| |x| (Cauchy-Schwarz; |.| the real Euclidean norm),
// N = fl(fl(sqrt(qq)) * r) the float denominator that the exact score divides
// by, s = fl(D / N) the exact score with D the strictly sequential float dot
// product, A the approximate dot product over h (any order, FMA allowed) and
// t = fl(A / N).
//  1. Rounding to bfloat16: |x_i - h_i| <= 2^-8 |x_i| for normal x_i (half a
//     unit in the 8th significant bit), <= 2^-134 for subnormal x_i, and
//     |h_i| <= (1 + 2^-8) |x_i| + 2^-134. So
//     |sum q_i x_i - sum q_i h_i| <= 2^-8 S + 2^-134 sqrt(d) |q|.
//  2. Rounding of the sums: a float sum of d products, in any order, with or
//     without FMA, is within g * sum|terms| + d * 2^-149 (underflow) of the
//     real sum: D within g S + d 2^-149, A within g (1 + 2^-8) S + d 2^-148.
//  3. Roots: we only bound lanes with 2^-40 <= r <= 2^60, and only queries
//     with 2^-40 <= fl(sqrt(qq)) <= 2^60, so no root, product or sum of them
//     over- or underflows: N lies in [2^-80, 2^120], |q|, |x| >= 2^-41, and
//     the computed squared norms, roots and their product give
//     |q| |x| <= k N with k = (1 + d 2^-68) / ((1 - g) (1 - u)^3).
//  4. Hence |D - A| / N <= E = k (2^-8 + 2.01 g + sqrt(d) 2^-92) + d 2^-67,
//     and |A / N| <= k (1 + g) (1 + 2^-8) + d 2^-67 <= 1.02 for d <= 2^16.
//     The two divisions add u |A / N| + 2^-150 and u |D / N| + 2^-150, so
//        s <= t + B,  B = (1 + u) E + 2.04 u + 2^-149,
//     which pruning_slack() computes in double precision, inflated to cover
//     the rounding of that computation.
//  5. A lane with r = 0 scores exactly +0.0 (the metric's zero test), so its
//     t is taken as 0 with nothing to add. Every other lane outside step 3's
//     range (0 < r < 2^-40, r > 2^60, r infinite or NaN: subnormal, huge or
//     non-finite components) counts as +inf and always gets exact scores.
//  6. The heap's k-th score w is a number (no NaN) when anything is skipped.
//     prune_threshold() returns a float f <= w - B, rounded down. A block is
//     skipped only when every lane has t < f, so s <= t + B < w: no lane can
//     even tie w, and ties keep store order as before.
// The bound is about 2^-8 of the cosine; on real and random data it leaves a
// few percent of blocks, at most, to read in full.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "metric.hpp"
#include "search.hpp"

namespace quillmere::detail {
namespace {

// Keeps the best k hits seen so far as a heap whose top is the worst of them.
class BoundedHeap {
public:
    BoundedHeap(std::vector<Hit>& hits, std::size_t k) noexcept : hits_(hits), k_(k) {}

    bool full_of_numbers() const noexcept { return hits_.size() == k_ && hits_.front().score == hits_.front().score; }
    float worst() const noexcept { return hits_.front().score; }

    // Cheap test run on every block: can any of these scores enter?
    bool block_may_enter(const float* scores) const noexcept {
        if (hits_.size() < k_) return true;
        const float worst = hits_.front().score;
        bool any = false;
        if (worst == worst) {
            // Equal scores cannot enter: the stored hit came earlier.
            for (std::size_t l = 0; l < kLanes; ++l) any |= scores[l] > worst;
        } else {
            for (std::size_t l = 0; l < kLanes; ++l) any |= scores[l] == scores[l];
        }
        return any;
    }

    __attribute__((noinline)) void offer_block(const float* scores, std::size_t base, std::size_t first,
                                               std::size_t last) noexcept {
        const std::size_t lo = first > base ? first - base : 0;
        const std::size_t hi = std::min<std::size_t>(kLanes, last - base);
        for (std::size_t l = lo; l < hi; ++l) offer(Hit{scores[l], base + l});
    }

private:
    void offer(const Hit& hit) noexcept {
        if (hits_.size() < k_) {
            hits_.push_back(hit);  // capacity reserved by the caller
            std::push_heap(hits_.begin(), hits_.end(), ranks_before);
        } else if (ranks_before(hit, hits_.front())) {
            std::pop_heap(hits_.begin(), hits_.end(), ranks_before);
            hits_.back() = hit;
            std::push_heap(hits_.begin(), hits_.end(), ranks_before);
        }
    }

    std::vector<Hit>& hits_;
    std::size_t k_;
};

constexpr float kMinRoot = 0x1p-40f;
constexpr float kMaxRoot = 0x1p60f;
constexpr std::size_t kMaxPrunedDimension = std::size_t{1} << 16;

// B of step 4 for dimension d, or 0 when no lane of this query can be bounded.
double pruning_slack(std::size_t d, float query_root) noexcept {
    if (d == 0 || d > kMaxPrunedDimension || !(query_root >= kMinRoot && query_root <= kMaxRoot)) return 0.0;
    const double u = 0x1p-24;
    const double dd = static_cast<double>(d);
    const double g = dd * u / (1.0 - dd * u);
    const double k = (1.0 + dd * 0x1p-68) / ((1.0 - g) * (1.0 - u) * (1.0 - u) * (1.0 - u));
    const double e = k * (0x1p-8 + 2.01 * g + std::sqrt(dd) * 0x1p-92) + dd * 0x1p-67;
    const double b = (1.0 + u) * e + 2.04 * u + 0x1p-149;
    // A dozen double operations, each within 2^-53: 2^-40 covers them all.
    return b * (1.0 + 0x1p-40);
}

// The largest float f with f <= worst - slack, computed without rounding up.
float prune_threshold(float worst, double slack) noexcept {
    // Round-to-nearest in double can land above the real difference by at
    // most half an ulp; one step down is at or below it.
    const double g = std::nextafter(static_cast<double>(worst) - slack, -HUGE_VAL);
    float f = static_cast<float>(g);
    if (static_cast<double>(f) > g) f = std::nextafter(f, -HUGE_VALF);
    return f;
}

struct ScanArgs {
    const float* query;
    std::size_t d;
    float query_norm;  // squared norm
    float query_root;
    double slack;      // B, or 0 when nothing may be skipped
    const std::uint16_t* hi;
    const std::uint16_t* lo;
    const float* roots;
    std::size_t block_begin, block_end;
    std::size_t segment_first;
    std::size_t first, last;
    std::size_t tail_first;    // store position of the partly filled block, if any
    const float* tail_roots;   // its roots, computed for this search
};

// Whether to try the high plane first on the next block. It is only a guess
// about speed: a block that fails the test is read in full after all, and
// costs its high plane twice. So after a failure the following blocks are
// read in full straight away, until one whose exact scores show that the test
// would have skipped it (all scores below the threshold by another B). On
// data where nothing can be skipped (all vectors alike, many ties) the scan
// then costs what the full scan costs.
struct ScanState {
    bool try_high_plane = true;
    // prune_threshold() of the last k-th score seen (NaN: none yet); the
    // k-th score changes far less often than once per block.
    float worst = std::numeric_limits<float>::quiet_NaN();
    float threshold = 0.0f;
};

// Lane pairs. The kernels read a plane row as 16 words of 32 bits, each the
// halves of two neighbouring lanes (the even lane in the low 16 bits, on the
// little-endian machines we build for). Shifts and masks then widen both
// lanes without any shuffle; even and odd lanes keep separate accumulators,
// so each lane's sum is still its own, in its own order.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "lane pairs assume little-endian words");
constexpr std::size_t kPairs = kLanes / 2;
constexpr std::uint32_t kHighMask = 0xFFFF0000u;

inline std::uint32_t pair_at(const std::uint16_t* row, std::size_t j) noexcept {
    std::uint32_t w;
    std::memcpy(&w, row + 2 * j, sizeof w);
    return w;
}

// Step 6 for one block: false when every lane is certain to stay out.
template <bool kFma>
__attribute__((always_inline)) inline bool block_needs_exact(const ScanArgs& a, const std::uint16_t* hi,
                                                              const float* r, float threshold) {
    float even[kPairs], odd[kPairs];
    for (std::size_t j = 0; j < kPairs; ++j) even[j] = odd[j] = 0.0f;
    for (std::size_t i = 0; i < a.d; ++i) {
        const float qi = a.query[i];
        const std::uint16_t* row = hi + i * kLanes;
        for (std::size_t j = 0; j < kPairs; ++j) {
            const std::uint32_t w = pair_at(row, j);
            const float he = float_from_bits(w << 16);
            const float ho = float_from_bits(w & kHighMask);
            // Only a filter: any rounding is inside the bound.
            if constexpr (kFma) {
                even[j] = __builtin_fmaf(qi, he, even[j]);
                odd[j] = __builtin_fmaf(qi, ho, odd[j]);
            } else {
                even[j] += qi * he;
                odd[j] += qi * ho;
            }
        }
    }
    const auto stays_out = [&](float acc, float root) {
        const float t = acc / (a.query_root * root);
        const bool bounded = root >= kMinRoot && root <= kMaxRoot;
        const float v = root == 0.0f ? 0.0f : bounded ? t : HUGE_VALF;
        return v < threshold;
    };
    int need = 0;
    for (std::size_t j = 0; j < kPairs; ++j) {
        need |= !stays_out(even[j], r[2 * j]);
        need |= !stays_out(odd[j], r[2 * j + 1]);
    }
    return need != 0;
}

template <bool kFma>
__attribute__((always_inline)) inline void scan_blocks_body(const ScanArgs& a, BoundedHeap& heap,
                                                             ScanState& state) {
    const bool query_zero = a.query_norm == 0.0f;
    const float query_root = a.query_root;
    const bool pruning = a.slack > 0.0;
    alignas(64) float scores[kLanes];
    for (std::size_t b = a.block_begin; b < a.block_end; ++b) {
        const std::size_t offset = b * a.d * kLanes;
        const std::uint16_t* hi = a.hi + offset;
        const std::uint16_t* lo = a.lo + offset;
        const std::size_t base = a.segment_first + b * kLanes;
        const float* r = base == a.tail_first ? a.tail_roots : a.roots + b * kLanes;
        const bool may_skip = pruning && heap.full_of_numbers();
        if (may_skip && heap.worst() != state.worst) {
            state.worst = heap.worst();
            state.threshold = prune_threshold(state.worst, a.slack);
        }
        const float threshold = state.threshold;
        if (may_skip && state.try_high_plane) {
            if (!block_needs_exact<kFma>(a, hi, r, threshold)) continue;
            state.try_high_plane = false;
        }
        float even[kPairs], odd[kPairs];
        for (std::size_t j = 0; j < kPairs; ++j) even[j] = odd[j] = -0.0f;
        for (std::size_t i = 0; i < a.d; ++i) {
            const float qi = a.query[i];
            const std::uint16_t* hrow = hi + i * kLanes;
            const std::uint16_t* lrow = lo + i * kLanes;
            for (std::size_t j = 0; j < kPairs; ++j) {
                const std::uint32_t h = pair_at(hrow, j);
                const std::uint32_t w = pair_at(lrow, j);
                // join_halves() for both lanes: the low halves sign-extended by arithmetic shifts.
                const auto even_low = static_cast<std::uint32_t>(static_cast<std::int32_t>(w << 16) >> 16);
                const auto odd_low = static_cast<std::uint32_t>(static_cast<std::int32_t>(w) >> 16);
                even[j] += qi * float_from_bits((h << 16) + even_low);
                odd[j] += qi * float_from_bits((h & kHighMask) + odd_low);
            }
        }
        for (std::size_t j = 0; j < kPairs; ++j) {
            scores[2 * j] = even[j];
            scores[2 * j + 1] = odd[j];
        }
        for (std::size_t l = 0; l < kLanes; ++l) {
            const float s = scores[l] / (query_root * r[l]);
            scores[l] = (query_zero || r[l] == 0.0f) ? 0.0f : s;
        }
        if (heap.block_may_enter(scores)) {
            heap.offer_block(scores, base, a.first, a.last);
        }
        if (may_skip && !state.try_high_plane) {
            // |t - s| <= B, so s < threshold - B means the test would have passed.
            const float clear = threshold - static_cast<float>(a.slack);
            int would_skip = 1;
            for (std::size_t l = 0; l < kLanes; ++l) {
                const bool bounded = r[l] >= kMinRoot && r[l] <= kMaxRoot;
                would_skip &= r[l] == 0.0f ? 0.0f < clear : (bounded && scores[l] < clear);
            }
            state.try_high_plane = would_skip != 0;
        }
    }
}

__attribute__((target("avx512f,fma,prefer-vector-width=512"))) void scan_avx512(const ScanArgs& a, BoundedHeap& h,
                                                                                   ScanState& s) {
    scan_blocks_body<true>(a, h, s);
}
__attribute__((target("avx2,fma"))) void scan_avx2(const ScanArgs& a, BoundedHeap& h, ScanState& s) {
    scan_blocks_body<true>(a, h, s);
}
void scan_portable(const ScanArgs& a, BoundedHeap& h, ScanState& s) { scan_blocks_body<false>(a, h, s); }

using ScanFn = void (*)(const ScanArgs&, BoundedHeap&, ScanState&);

ScanFn scan_function(KernelId kernel) noexcept {
    switch (kernel) {
        case KernelId::Avx512: return scan_avx512;
        case KernelId::Avx2: return scan_avx2;
        case KernelId::Portable: break;
    }
    return scan_portable;
}

ScanOptions pick_options() noexcept {
    const char* forced = std::getenv("QUILLMERE_KERNEL");
    const bool force_portable = forced != nullptr && std::strcmp(forced, "portable") == 0;
    const bool force_avx2 = forced != nullptr && std::strcmp(forced, "avx2") == 0;
    const char* scan = std::getenv("QUILLMERE_SCAN");
    const bool full = scan != nullptr && std::strcmp(scan, "full") == 0;
    if (kernel_supported(KernelId::Avx512) && !force_portable && !force_avx2) return {KernelId::Avx512, full};
    if (kernel_supported(KernelId::Avx2) && !force_portable) return {KernelId::Avx2, full};
    return {KernelId::Portable, full};
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

void scan_range(const Vectorstore& store, const float* query, std::size_t top_k, std::size_t first,
                std::size_t last, std::vector<Hit>& out, const ScanOptions& options) {
    out.clear();
    if (top_k == 0 || first >= last) return;
    const std::size_t d = store.vector_size();
    BoundedHeap heap(out, top_k);
    alignas(64) float tail_roots[kLanes];
    const std::size_t tail_first = store.tail_roots(tail_roots);
    const float query_norm = sequential_dot(query, query, d);
    const float query_root = std::sqrt(query_norm);
    ScanArgs args{query, d, query_norm, query_root, options.full ? 0.0 : pruning_slack(d, query_root) * options.slack_scale,
                  nullptr, nullptr, nullptr, 0, 0, 0, first, last, tail_first, tail_roots};
    const ScanFn scan = scan_function(options.kernel);
    ScanState state;
    for (const Segment& seg : store.segments()) {
        const std::size_t seg_end = seg.first + seg.blocks * kLanes;
        if (seg_end <= first) continue;
        if (seg.first >= last) break;
        const std::size_t from = std::max(first, seg.first) - seg.first;
        const std::size_t to = std::min(last, seg_end) - seg.first;
        args.hi = seg.hi.as<std::uint16_t>();
        args.lo = seg.lo.as<std::uint16_t>();
        args.roots = seg.roots.as<float>();
        args.block_begin = from / kLanes;
        args.block_end = (to + kLanes - 1) / kLanes;
        args.segment_first = seg.first;
        scan(args, heap, state);
    }
    std::sort_heap(out.begin(), out.end(), ranks_before);
}

}  // namespace quillmere::detail
