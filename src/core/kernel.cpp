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
// p(h) the power of two of h's exponent (h with its mantissa bits cleared),
// N = fl(fl(sqrt(qq)) * r) the float denominator that the exact score
// divides by, s = fl(D / N) the exact score with D the strictly sequential
// float dot product, A and P the float sums of q_i h_i and |q_i| p(h_i)
// (any order, FMA allowed), t = fl(A / N).
//  1. Rounding to bfloat16 errs by at most half a unit in the 8th
//     significant bit of x, which is <= 2^-8 p(h) (also when rounding
//     carries into the next exponent), or by <= 2^-134 for subnormal x. So
//     |sum q_i x_i - sum q_i h_i| <= 2^-8 sum |q_i| p(h_i) + 2^-134 sqrt(d) |q|,
//     and |h_i| <= (1 + 2^-8) |x_i| + 2^-134.
//  2. Rounding of the sums: a float sum of d products, in any order, with or
//     without FMA, is within g * sum|terms| + d * 2^-149 (underflow) of the
//     real sum: D within g S + d 2^-149, A within g (1 + 2^-8) S + d 2^-148,
//     and the real sum |q_i| p(h_i) is at most (P + d 2^-149) / (1 - g).
//  3. Roots: we only bound lanes with 2^-40 <= r <= 2^60, and only queries
//     with 2^-40 <= fl(sqrt(qq)) <= 2^60, so no root, product or sum of them
//     over- or underflows: N lies in [2^-80, 2^120], |q|, |x| >= 2^-41, and
//     the computed squared norms, roots and their product give
//     |q| |x| <= k N with k = (1 + d 2^-68) / ((1 - g) (1 - u)^3).
//  4. Hence |D - A| / N <= 2^-8 P / ((1 - g) N) + E with
//     E = k (2.01 g + sqrt(d) 2^-92) + d 2^-66, and |A / N| <= 1.02 for
//     d <= 2^16. The divisions add u |A / N| + 2^-150 and u |D / N| + 2^-150.
//     A lane's bound is computed in floats as z = fl(c1 * fl(P / N)) with
//     c1 = 2^-8 (1 + u) / ((1 - g) (1 - u)^2), rounded up, so z covers the
//     first term, and the sum of |q_i| p(h_i) is at most 1.02 N like A, so
//     z <= c1 1.02 (1 + u)^2 for every lane. U = fl(t + z) and L = fl(t - z)
//     err by at most 1.1 u. So
//        L - C <= s <= U + C,  C = (1 + u) E + 3.3 u + 2^-146,
//     which bound_for() computes in double precision, inflated to cover the
//     rounding of that computation.
//  5. A lane with r = 0 scores exactly +0.0 (the metric's zero test): its U
//     and L are 0. Every other lane outside step 3's range (0 < r < 2^-40,
//     r > 2^60, r infinite or NaN: subnormal, huge or non-finite components)
//     has U = +inf and always gets exact scores.
//  6. A lane can be left out when U + C is below the k-th best exact score w
//     seen so far, or below L' - C where L' is the k-th largest L of bounded
//     lanes seen so far (k distinct entries score at least L' - C). The
//     thresholds prune_threshold(w, C) and prune_threshold(L', 2C) are
//     floats rounded down; a block is skipped only when every lane has U
//     below one of them, so its exact scores are strictly below the range's
//     k-th best: none can even tie it, whatever the order of the blocks.
// The bound is about 2^-8 |q| sum p(h_i) / (|q| |x|), typically 0.2% of the
// cosine; on real and random data it leaves a few percent of blocks, at
// most, to read in full.
#include <algorithm>
#include <functional>
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

    // Cheap test run on every block: can any of these scores enter? Blocks
    // are not always offered in store order (a deferred block comes after
    // later ones), so a score equal to the worst may still enter by its
    // earlier position, and so may a NaN when the worst is NaN: offer()
    // decides those by the full ranking.
    bool block_may_enter(const float* scores) const noexcept {
        if (hits_.size() < k_) return true;
        const float worst = hits_.front().score;
        if (worst != worst) return true;
        bool any = false;
        for (std::size_t l = 0; l < kLanes; ++l) any |= scores[l] >= worst;
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

// Step 4's constants for one query: C (0 when no lane of this query can be
// bounded) and c1.
struct Bound {
    double c;
    float c1;
};

Bound bound_for(std::size_t d, float query_root) noexcept {
    if (d == 0 || d > kMaxPrunedDimension || !(query_root >= kMinRoot && query_root <= kMaxRoot)) return {0.0, 0.0f};
    const double u = 0x1p-24;
    const double dd = static_cast<double>(d);
    const double g = dd * u / (1.0 - dd * u);
    const double k = (1.0 + dd * 0x1p-68) / ((1.0 - g) * (1.0 - u) * (1.0 - u) * (1.0 - u));
    const double e = k * (2.01 * g + std::sqrt(dd) * 0x1p-92) + dd * 0x1p-66;
    const double c = (1.0 + u) * e + 3.3 * u + 0x1p-146;
    // A dozen double operations, each within 2^-53: 2^-40 covers them all.
    const double c1 = 0x1p-8 * (1.0 + u) / ((1.0 - g) * (1.0 - u) * (1.0 - u)) * (1.0 + 0x1p-40);
    float c1f = static_cast<float>(c1);
    if (static_cast<double>(c1f) < c1) c1f = std::nextafter(c1f, HUGE_VALF);
    return {c * (1.0 + 0x1p-40), c1f};
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

// The k largest lower bounds L of bounded lanes seen so far, as a min-heap:
// k distinct entries of the range score at least kth() - C.
class ApproxHeap {
public:
    explicit ApproxHeap(std::size_t k) : k_(k) { values_.reserve(k); }

    bool full() const noexcept { return values_.size() == k_; }
    float kth() const noexcept { return values_.front(); }

    void offer(float t) {
        if (values_.size() < k_) {
            values_.push_back(t);
            std::push_heap(values_.begin(), values_.end(), std::greater<float>());
        } else if (t > values_.front()) {
            std::pop_heap(values_.begin(), values_.end(), std::greater<float>());
            values_.back() = t;
            std::push_heap(values_.begin(), values_.end(), std::greater<float>());
        }
    }

private:
    std::size_t k_;
    std::vector<float> values_;
};

struct ScanArgs {
    const float* query;
    std::size_t d;
    float query_root;  // root of the query's squared norm
    double slack;      // C, or 0 when nothing may be skipped
    float c1;
    float z_max;       // the largest z of any lane
    const std::uint16_t* hi;
    const std::uint16_t* lo;
    const float* roots;
    std::size_t block_begin, block_end;
    std::size_t segment;       // index of the segment in the store
    std::size_t segment_first;
    std::size_t first, last;
};

// A block that could not be ruled out yet, nor was likely to be needed: it
// is scored exactly after the first pass if its best t still passes.
struct Deferred {
    std::size_t segment;
    std::size_t block;
    float best;
};

// Everything one scan carries from block to block.
//
// Three ways through a block. Skipped: every lane's t is below the
// threshold. Deferred: the block may be needed, but the threshold is still
// rising (every new k-th best raises it), and most such blocks fall below
// the final one; the survivors are scored after the pass, at the cost of
// reading their high plane a second time. Scored now: the block has an
// unbounded lane, or deferring has stopped paying (scan_range()); its high
// plane is still in cache.
//
// After a block is scored now, the following blocks are scored straight
// away without the high-plane pass, until one whose exact scores show that
// the pass would have skipped it (all scores below the threshold by another
// 2^-8, the typical size of a lane's bound). That is only a guess about speed, but on data where nothing can be
// skipped (all vectors alike, many ties, non-finite values) it keeps the
// scan at the cost of the full scan.
struct ScanState {
    ScanState(BoundedHeap& h, std::size_t k, bool pruning) : heap(h), approx(pruning ? k : 0) {}

    // The current threshold f: a block may be skipped when every lane has t < f.
    float threshold(double slack) noexcept {
        if (heap.full_of_numbers() && heap.worst() != worst) {
            worst = heap.worst();
            exact_threshold = prune_threshold(worst, slack);
        }
        if (approx.full() && approx.kth() != kth) {
            kth = approx.kth();
            approx_threshold = prune_threshold(kth, 2.0 * slack);
        }
        return std::max(exact_threshold, approx_threshold);
    }

    BoundedHeap& heap;
    ApproxHeap approx;
    std::vector<Deferred> deferred;
    bool defer_all = true;  // see scan_range()
    bool try_high_plane = true;
    // Thresholds of the last k-th scores seen (NaN: none yet); those change
    // far less often than once per block.
    float worst = std::numeric_limits<float>::quiet_NaN();
    float kth = std::numeric_limits<float>::quiet_NaN();
    float exact_threshold = -HUGE_VALF;
    float approx_threshold = -HUGE_VALF;
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

template <bool kFma>
__attribute__((always_inline)) inline float madd(float x, float y, float acc) {
    // Only a filter: any rounding is inside the bound.
    if constexpr (kFma) {
        return __builtin_fmaf(x, y, acc);
    } else {
        return acc + x * y;
    }
}

// t for every bounded lane, 0 for a zero root, +inf for a lane the bound
// does not cover (steps 4 and 5).
template <bool kFma>
__attribute__((always_inline)) inline void approximate_block(const ScanArgs& a, const std::uint16_t* hi,
                                                              const float* r, float* t) {
    float even[kPairs], odd[kPairs];
    for (std::size_t j = 0; j < kPairs; ++j) even[j] = odd[j] = 0.0f;
    for (std::size_t i = 0; i < a.d; ++i) {
        const float qi = a.query[i];
        const std::uint16_t* row = hi + i * kLanes;
        for (std::size_t j = 0; j < kPairs; ++j) {
            const std::uint32_t w = pair_at(row, j);
            even[j] = madd<kFma>(qi, float_from_bits(w << 16), even[j]);
            odd[j] = madd<kFma>(qi, float_from_bits(w & kHighMask), odd[j]);
        }
    }
    for (std::size_t j = 0; j < kPairs; ++j) {
        t[2 * j] = even[j];
        t[2 * j + 1] = odd[j];
    }
    for (std::size_t l = 0; l < kLanes; ++l) {
        // Divided in every lane and then selected, so that the loop vectorises.
        const float quotient = t[l] / (a.query_root * r[l]);
        const bool bounded = r[l] >= kMinRoot && r[l] <= kMaxRoot;
        t[l] = r[l] == 0.0f ? 0.0f : bounded ? quotient : HUGE_VALF;
    }
}

// U and L of every lane (step 4), from t and a second pass over the block's
// high plane, which is still in cache: the sum of |q_i| p(h_i).
template <bool kFma>
__attribute__((always_inline)) inline void bound_block(const ScanArgs& a, const std::uint16_t* hi, const float* r,
                                                        const float* t, float* upper, float* lower) {
    constexpr std::uint32_t kExponent = 0x7F800000u;
    float even[kPairs], odd[kPairs];
    for (std::size_t j = 0; j < kPairs; ++j) even[j] = odd[j] = 0.0f;
    for (std::size_t i = 0; i < a.d; ++i) {
        const float abs_qi = std::fabs(a.query[i]);
        const std::uint16_t* row = hi + i * kLanes;
        for (std::size_t j = 0; j < kPairs; ++j) {
            const std::uint32_t w = pair_at(row, j);
            even[j] = madd<kFma>(abs_qi, float_from_bits((w << 16) & kExponent), even[j]);
            odd[j] = madd<kFma>(abs_qi, float_from_bits(w & kExponent), odd[j]);
        }
    }
    for (std::size_t j = 0; j < kPairs; ++j) {
        upper[2 * j] = even[j];
        upper[2 * j + 1] = odd[j];
    }
    for (std::size_t l = 0; l < kLanes; ++l) {
        const float z = a.c1 * (upper[l] / (a.query_root * r[l]));
        const bool bounded = r[l] >= kMinRoot && r[l] <= kMaxRoot;
        upper[l] = r[l] == 0.0f ? 0.0f : bounded ? t[l] + z : HUGE_VALF;
        lower[l] = r[l] == 0.0f ? 0.0f : bounded ? t[l] - z : -HUGE_VALF;
    }
}

// The metric's last step with a stored root: a zero root on either side
// scores +0.0 (query_root is 0 exactly when the squared norm is), and a NaN is
// one_nan(). Divided unconditionally, so that loops over lanes vectorise.
inline float lane_score(float dot, float query_root, float root) noexcept {
    const float s = one_nan(dot / (query_root * root));
    return (query_root == 0.0f || root == 0.0f) ? 0.0f : s;
}

// Exact scores of one block, each lane's sums in the metric's order.
__attribute__((always_inline)) inline void exact_block(const ScanArgs& a, const std::uint16_t* hi,
                                                       const std::uint16_t* lo, const float* r, float* scores) {
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
    for (std::size_t l = 0; l < kLanes; ++l) scores[l] = lane_score(scores[l], a.query_root, r[l]);
}

// The first pass over blocks [block_begin, block_end) of one segment, or,
// with `only` set, the exact scoring of those deferred blocks of the segment
// that still pass.
template <bool kFma>
__attribute__((always_inline)) inline void scan_blocks_body(const ScanArgs& a, ScanState& state,
                                                             const Deferred* only, std::size_t only_count) {
    const bool pruning = a.slack > 0.0;
    alignas(64) float scores[kLanes];
    alignas(64) float t[kLanes];
    alignas(64) float v[kLanes];
    alignas(64) float lower[kLanes];
    const std::size_t count = only != nullptr ? only_count : a.block_end - a.block_begin;
    for (std::size_t n = 0; n < count; ++n) {
        const std::size_t b = only != nullptr ? only[n].block : a.block_begin + n;
        const std::size_t offset = b * a.d * kLanes;
        const std::uint16_t* hi = a.hi + offset;
        const std::uint16_t* lo = a.lo + offset;
        const std::size_t base = a.segment_first + b * kLanes;
        const float* r = a.roots + b * kLanes;
        const float threshold = pruning ? state.threshold(a.slack) : -HUGE_VALF;
        if (only != nullptr) {
            if (!(only[n].best >= threshold)) continue;
        } else if (pruning && state.try_high_plane) {
            approximate_block<kFma>(a, hi, r, t);
            // Lanes outside the range (a parallel chunk's edges) play no part.
            const std::size_t lo_lane = a.first > base ? a.first - base : 0;
            const std::size_t hi_lane = std::min<std::size_t>(kLanes, a.last - base);
            // First with the largest z any lane can have (z <= c1 * 1.02 (1 + u)^2, step 4):
            // most blocks end here, without the second pass.
            int passes = 0;  // an integer reduction vectorises; a float maximum would not
            for (std::size_t l = 0; l < kLanes; ++l) {
                passes |= l >= lo_lane && l < hi_lane && t[l] + a.z_max >= threshold;
            }
            if (passes == 0) continue;
            bound_block<kFma>(a, hi, r, t, v, lower);
            for (std::size_t l = 0; l < kLanes; ++l) v[l] = l >= lo_lane && l < hi_lane ? v[l] : -HUGE_VALF;
            float best = -HUGE_VALF;
            for (std::size_t l = 0; l < kLanes; ++l) best = std::max(best, v[l]);
            if (!(best >= threshold)) continue;
            const bool unbounded = best == HUGE_VALF;
            if (!state.approx.full() || best > state.approx.kth()) {
                for (std::size_t l = lo_lane; l < hi_lane; ++l) {
                    if (r[l] != 0.0f && v[l] < HUGE_VALF) state.approx.offer(lower[l]);
                }
            }
            if (!unbounded && (state.defer_all || (state.approx.full() && best < state.approx.kth()))) {
                state.deferred.push_back({a.segment, b, best});
                continue;
            }
            // Failing a real test (not one that nothing could pass yet), or an unbounded lane
            // (non-finite, huge or tiny values), predicts more of the same.
            state.try_high_plane = threshold == -HUGE_VALF && !unbounded;
        }
        exact_block(a, hi, lo, r, scores);
        if (state.heap.block_may_enter(scores)) {
            state.heap.offer_block(scores, base, a.first, a.last);
        }
        if (pruning && only == nullptr && !state.try_high_plane && threshold > -HUGE_VALF) {
            // U is typically within 2^-8 of s: a guess at what the pass would have done.
            // Branch-free, so that it vectorises and costs nothing beside the scores.
            const float clear = threshold - 0x1p-8f;
            int would_skip = 1;
            for (std::size_t l = 0; l < kLanes; ++l) {
                const int zero = r[l] == 0.0f;
                const int bounded = (r[l] >= kMinRoot) & (r[l] <= kMaxRoot);
                would_skip &= (zero & (0.0f < clear)) | ((1 - zero) & bounded & (scores[l] < clear));
            }
            state.try_high_plane = would_skip != 0;
        }
    }
}

__attribute__((target("avx512f,fma,prefer-vector-width=512"))) void scan_avx512(const ScanArgs& a, ScanState& s,
                                                                                   const Deferred* only,
                                                                                   std::size_t count) {
    scan_blocks_body<true>(a, s, only, count);
}
__attribute__((target("avx2,fma"))) void scan_avx2(const ScanArgs& a, ScanState& s, const Deferred* only,
                                                   std::size_t count) {
    scan_blocks_body<true>(a, s, only, count);
}
void scan_portable(const ScanArgs& a, ScanState& s, const Deferred* only, std::size_t count) {
    scan_blocks_body<false>(a, s, only, count);
}

using ScanFn = void (*)(const ScanArgs&, ScanState&, const Deferred*, std::size_t);

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

// Exact scores of the staged tail vectors in [first, last), lane-parallel
// over the vectors but each sum strictly in order, as in exact_block().
void score_tail(const Vectorstore& store, const Vectorstore::Tail& tail, const float* query, float query_root,
                BoundedHeap& heap, std::size_t first, std::size_t last) {
    const std::size_t d = store.vector_size();
    float dot[kLanes], norm[kLanes];
    alignas(64) float scores[kLanes];
    for (std::size_t l = 0; l < kLanes; ++l) dot[l] = norm[l] = -0.0f;
    for (std::size_t i = 0; i < d; ++i) {
        const float qi = query[i];
        for (std::size_t l = 0; l < tail.count; ++l) {
            const float x = tail.rows[l * d + i];
            dot[l] += qi * x;
            norm[l] += x * x;
        }
    }
    for (std::size_t l = 0; l < kLanes; ++l) {
        scores[l] = l < tail.count ? lane_score(dot[l], query_root, std::sqrt(norm[l])) : 0.0f;
    }
    if (heap.block_may_enter(scores)) heap.offer_block(scores, tail.first, first, last);
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
    const Vectorstore::Tail tail = store.tail();
    const float query_root = std::sqrt(sequential_dot(query, query, d));
    // When the range holds no more than top_k entries, every one is returned.
    const bool pruning = !options.full && last - first > top_k;
    const Bound bound = pruning ? bound_for(d, query_root) : Bound{0.0, 0.0f};
    const float c1 = bound.c1 * static_cast<float>(options.slack_scale);
    // 1.02 (1 + u)^2 < 1.021, and the product is rounded up.
    const float z_max = std::nextafter(c1 * 1.021f, HUGE_VALF);
    ScanArgs args{query, d, query_root, bound.c * options.slack_scale, c1, z_max,
                  nullptr, nullptr, nullptr, 0, 0, 0, 0, first, std::min(last, tail.first)};
    const ScanFn scan = scan_function(options.kernel);
    ScanState state(heap, top_k, args.slack > 0.0);
    const auto& segments = store.segments();
    const auto point_at = [&](std::size_t index) {
        const Segment& seg = segments[index];
        args.hi = seg.hi.as<std::uint16_t>();
        args.lo = seg.lo.as<std::uint16_t>();
        args.roots = seg.roots.as<float>();
        args.segment = index;
        args.segment_first = seg.first;
    };
    // Scores the deferred blocks that still pass, in store order, a segment's run at a time.
    const auto score_deferred = [&] {
        const std::vector<Deferred>& deferred = state.deferred;
        for (std::size_t i = 0; i < deferred.size();) {
            std::size_t j = i;
            while (j < deferred.size() && deferred[j].segment == deferred[i].segment) ++j;
            point_at(deferred[i].segment);
            scan(args, state, deferred.data() + i, j - i);
            i = j;
        }
        state.deferred.clear();
    };
    // Blocks go through the first pass in windows; between windows the
    // deferred list drops what the risen threshold now rules out. Where the
    // list keeps more blocks than it ever dropped (many ties, near-identical
    // vectors), deferring would read them twice for nothing: they are scored
    // at once, and so are the later blocks that pass.
    constexpr std::size_t kWindow = 64;
    std::size_t dropped = 0;
    // The planes hold the full blocks; the staged tail is scored after them.
    const std::size_t plane_last = args.last;
    for (std::size_t index = 0; index < segments.size() && first < plane_last; ++index) {
        const Segment& seg = segments[index];
        const std::size_t seg_end = seg.first + seg.blocks * kLanes;
        if (seg_end <= first) continue;
        if (seg.first >= plane_last) break;
        const std::size_t from = std::max(first, seg.first) - seg.first;
        const std::size_t to = std::min(plane_last, seg_end) - seg.first;
        const std::size_t end = (to + kLanes - 1) / kLanes;
        for (std::size_t begin = from / kLanes; begin < end; begin += kWindow) {
            point_at(index);
            args.block_begin = begin;
            args.block_end = std::min(end, begin + kWindow);
            scan(args, state, nullptr, 0);
            if (state.deferred.empty() || !state.defer_all) continue;
            const float threshold = state.threshold(args.slack);
            auto& deferred = state.deferred;
            const std::size_t before = deferred.size();
            deferred.erase(std::remove_if(deferred.begin(), deferred.end(),
                                          [&](const Deferred& x) { return !(x.best >= threshold); }),
                           deferred.end());
            dropped += before - deferred.size();
            // The blocks holding the k best stay deferred on any data, so only a list longer than that counts.
            if (deferred.size() > kWindow + top_k && deferred.size() > dropped) {
                state.defer_all = false;
                score_deferred();
            }
        }
    }
    score_deferred();
    if (last > tail.first) score_tail(store, tail, query, query_root, heap, first, last);
    std::sort_heap(out.begin(), out.end(), ranks_before);
}

}  // namespace quillmere::detail
