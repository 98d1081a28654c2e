// The passes over stored blocks, for each instruction set.
//
// Lane-parallel scoring: each of the kLanes lanes of a block accumulates the
// dot product of the query with its own stored vector. The exact pass adds
// one component at a time from index 0, exactly as the scalar metric does;
// SIMD add, multiply, divide and square root are correctly rounded, so every
// lane produces the scalar metric's bits. The approximate passes only filter
// (their bounds allow any order of summation, FMA, and exact integer sums),
// so they split each lane's sum into several to shorten dependency chains.
// The same float bodies are compiled for several instruction sets; the
// sketch pass has one body per instruction set, around integer dot-product
// instructions.
//
// Streaming. A pass must keep enough cache lines in flight to run at the
// machine's read speed, also where the hardware prefetcher does not follow
// (at 4 KiB page edges, or between blocks that are not adjacent). Each pass
// is compiled twice: one prefetches the stream it reads about
// kPrefetchAhead bytes ahead, following its list of blocks across gaps, and
// one leaves it to the hardware (prefetch_in_software() picks). Prefetches
// never change a result.
#include "passes.hpp"

#include <cpuid.h>
#include <immintrin.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "metric.hpp"
#include "store.hpp"

namespace quillmere::detail {
namespace {

constexpr std::size_t kLine = 64;
constexpr std::size_t kPrefetchAhead = 4096;

// Prefetches the rows of a list of blocks kPrefetchAhead bytes ahead of the
// row being read: each line() fetches the next line of the stream (and, with
// kTwoPlanes, the line at the same offset in the low plane) and moves on.
template <bool kTwoPlanes>
class Prefetcher {
public:
    Prefetcher(const void* base, std::size_t block_bytes, const std::uint32_t* blocks, std::size_t count,
               std::ptrdiff_t other_plane = 0) noexcept
        : base_(static_cast<const char*>(base)),
          block_bytes_(block_bytes),
          blocks_(blocks),
          count_(count),
          other_(other_plane) {
        std::size_t ahead = kPrefetchAhead;
        while (next_ < count_ && ahead >= block_bytes_) {
            ahead -= block_bytes_;
            ++next_;
        }
        if (count_ != 0) enter(ahead);
    }

    __attribute__((always_inline)) void line() noexcept {
        __builtin_prefetch(at_, 0, 3);
        if constexpr (kTwoPlanes) __builtin_prefetch(at_ + other_, 0, 3);
        at_ += kLine;
        if (at_ == end_) enter(0);
    }

private:
    void enter(std::size_t offset) noexcept {
        if (next_ >= count_) {
            // Past the list: go round the last block, which is in cache by
            // then, rather than fetch lines that no one will read.
            at_ = base_ + blocks_[count_ - 1] * block_bytes_;
            end_ = at_ + block_bytes_;
            return;
        }
        const char* start = base_ + blocks_[next_++] * block_bytes_;
        at_ = start + offset;
        end_ = start + block_bytes_;
    }

    const char* base_;
    std::size_t block_bytes_;
    const std::uint32_t* blocks_;
    std::size_t count_;
    std::ptrdiff_t other_;
    std::size_t next_ = 0;
    const char* at_ = nullptr;  // with no blocks listed, line() is never called
    const char* end_ = nullptr;
};

// Lane pairs. The float passes read a plane row as 16 words of 32 bits, each
// the halves of two neighbouring lanes (the even lane in the low 16 bits, on
// the little-endian machines we build for). Shifts and masks then widen both
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

// c ? a : b, with both computed already: a bit select rather than control
// flow, so that loops over lanes vectorise (the compiler may not evaluate a
// float operation that the source only evaluates conditionally).
inline float pick(bool c, float a, float b) noexcept {
    const std::uint32_t mask = 0u - static_cast<std::uint32_t>(c);
    return float_from_bits((float_bits(a) & mask) | (float_bits(b) & ~mask));
}

// A lane the bounds cover: its root in [kMinRoot, kMaxRoot] (bounds.cpp, step 3).
inline bool bounded_root(float r) noexcept { return (r >= kMinRoot) & (r <= kMaxRoot); }

// Sums over the rows of one block's high plane, of f(row word) times g(q_i),
// kSplit partial sums per lane (rows i mod kSplit), each pair of lanes from
// one word: `Even` and `Odd` turn a word into the float of its even or odd lane.
template <bool kFma, std::size_t kSplit, class Weight, class Even, class Odd, class Step>
__attribute__((always_inline)) inline void plane_sums(std::size_t d, const std::uint16_t* hi, Weight weight,
                                                      Even even_of, Odd odd_of, Step step, float* out) {
    // One flat array per kind: the compiler vectorises the lane loops over
    // these for every instruction set, SSE2 included.
    float even[kSplit * kPairs], odd[kSplit * kPairs];
    for (std::size_t j = 0; j < kSplit * kPairs; ++j) even[j] = odd[j] = 0.0f;
    std::size_t i = 0;
    for (; i + kSplit <= d; i += kSplit) {
        for (std::size_t h = 0; h < kSplit; ++h) {
            step();
            const float w = weight(i + h);
            const std::uint16_t* row = hi + (i + h) * kLanes;
            float* e = even + h * kPairs;
            float* o = odd + h * kPairs;
            // Kept a loop, for SSE2 too: unrolled first, it is never vectorised.
#pragma GCC unroll 1
            for (std::size_t j = 0; j < kPairs; ++j) {
                const std::uint32_t word = pair_at(row, j);
                e[j] = madd<kFma>(w, even_of(word), e[j]);
                o[j] = madd<kFma>(w, odd_of(word), o[j]);
            }
        }
    }
    for (; i < d; ++i) {
        step();
        const float w = weight(i);
        const std::uint16_t* row = hi + i * kLanes;
        for (std::size_t j = 0; j < kPairs; ++j) {
            const std::uint32_t word = pair_at(row, j);
            even[j] = madd<kFma>(w, even_of(word), even[j]);
            odd[j] = madd<kFma>(w, odd_of(word), odd[j]);
        }
    }
    for (std::size_t j = 0; j < kPairs; ++j) {
        float e = even[j], o = odd[j];
        for (std::size_t h = 1; h < kSplit; ++h) {
            e += even[h * kPairs + j];
            o += odd[h * kPairs + j];
        }
        out[2 * j] = e;
        out[2 * j + 1] = o;
    }
}

// The plane level for the listed blocks (bounds.cpp, steps 1-4): t for every
// lane from the high plane; then, unless even the largest z leaves every
// lane below the threshold, the sum of |q_i| p(h_i) from a second pass over
// the block, which is still in cache, for each lane's own z.
template <bool kFma, std::size_t kSplit, bool kPrefetch>
__attribute__((always_inline)) inline void planes_body(const PreparedQuery& q, const SegmentView& seg,
                                                       const std::uint32_t* blocks, std::size_t count,
                                                       float threshold, float* upper, float* lower) {
    constexpr std::uint32_t kExponent = 0x7F800000u;
    // Copies, as in finish_sketch(): stores through `upper` could alias q's floats.
    const std::size_t d = q.d;
    const float root = q.root, z_max = q.z_max, c1 = q.c1;
    Prefetcher<false> prefetch(seg.hi, d * kLanes * sizeof(std::uint16_t), blocks, kPrefetch ? count : 0);
    const auto step = [&] {
        if constexpr (kPrefetch) prefetch.line();
    };
    const auto nothing = [] {};
    const auto query = [&](std::size_t i) { return q.values[i]; };
    const auto magnitude = [&](std::size_t i) { return std::fabs(q.values[i]); };
    const auto even_half = [](std::uint32_t w) { return float_from_bits(w << 16); };
    const auto odd_half = [](std::uint32_t w) { return float_from_bits(w & kHighMask); };
    const auto even_power = [](std::uint32_t w) { return float_from_bits((w << 16) & kExponent); };
    const auto odd_power = [](std::uint32_t w) { return float_from_bits(w & kExponent); };
    alignas(64) float t[kLanes];
    alignas(64) float p[kLanes];
    for (std::size_t n = 0; n < count; ++n) {
        const std::uint16_t* hi = seg.hi + std::size_t{blocks[n]} * d * kLanes;
        const float* r = seg.roots + std::size_t{blocks[n]} * kLanes;
        float* u = upper + n * kLanes;
        float* l = lower + n * kLanes;
        plane_sums<kFma, kSplit>(d, hi, query, even_half, odd_half, step, t);
        int passes = 0;  // an integer reduction vectorises; a float maximum would not
        for (std::size_t j = 0; j < kLanes; ++j) {
            const float quotient = t[j] / (root * r[j]);
            t[j] = pick(r[j] == 0.0f, 0.0f, pick(bounded_root(r[j]), quotient, HUGE_VALF));
            passes |= t[j] + z_max >= threshold;
        }
        if (passes == 0) {
            for (std::size_t j = 0; j < kLanes; ++j) {
                u[j] = t[j] + z_max;
                l[j] = t[j] - z_max;
            }
            continue;
        }
        plane_sums<kFma, kSplit>(d, hi, magnitude, even_power, odd_power, nothing, p);
        for (std::size_t j = 0; j < kLanes; ++j) {
            const float z = c1 * (p[j] / (root * r[j]));
            const bool zero = r[j] == 0.0f, bounded = bounded_root(r[j]);
            u[j] = pick(zero, 0.0f, pick(bounded, t[j] + z, HUGE_VALF));
            l[j] = pick(zero, 0.0f, pick(bounded, t[j] - z, -HUGE_VALF));
        }
    }
}

// Exact scores of the listed blocks: both planes joined back into the
// stored floats, each lane's sum strictly in order from component 0.
template <bool kPrefetch>
__attribute__((always_inline)) inline void exact_body(const PreparedQuery& q, const SegmentView& seg,
                                                      const std::uint32_t* blocks, std::size_t count,
                                                      float* scores) {
    const std::size_t d = q.d;
    const float root = q.root;
    Prefetcher<true> prefetch(seg.hi, d * kLanes * sizeof(std::uint16_t), blocks, kPrefetch ? count : 0,
                              reinterpret_cast<const char*>(seg.lo) - reinterpret_cast<const char*>(seg.hi));
    for (std::size_t n = 0; n < count; ++n) {
        const std::size_t offset = std::size_t{blocks[n]} * d * kLanes;
        const std::uint16_t* hi = seg.hi + offset;
        const std::uint16_t* lo = seg.lo + offset;
        const float* r = seg.roots + std::size_t{blocks[n]} * kLanes;
        float even[kPairs], odd[kPairs];
        for (std::size_t j = 0; j < kPairs; ++j) even[j] = odd[j] = -0.0f;
        for (std::size_t i = 0; i < d; ++i) {
            if constexpr (kPrefetch) prefetch.line();
            const float qi = q.values[i];
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
        float* s = scores + n * kLanes;
        for (std::size_t j = 0; j < kPairs; ++j) {
            s[2 * j] = even[j];
            s[2 * j + 1] = odd[j];
        }
        // The metric's last step (lane_score), with the zero test and one_nan() as selects.
        constexpr float kNan = std::numeric_limits<float>::quiet_NaN();
        for (std::size_t j = 0; j < kLanes; ++j) {
            const float score = s[j] / (root * r[j]);
            s[j] = pick((root == 0.0f) | (r[j] == 0.0f), 0.0f, pick(score == score, score, kNan));
        }
    }
}

// The sketch level's last step for one block (bounds.cpp, S3 and S4), from
// the exact integer dot product of each lane's codes with the query's digits
// and each lane's scale over its root, w.
template <class Dot>
__attribute__((always_inline)) inline void finish_bounds(float step, float scale_term, float root_term,
                                                         const float* r, const float* w, Dot dot_of, float* upper,
                                                         float* lower) {
    for (std::size_t l = 0; l < kLanes; ++l) {
        const float dot = dot_of(l);
        const float t = dot * w[l] * step;
        const float z = w[l] * scale_term + root_term;
        const bool zero = r[l] == 0.0f, bounded = bounded_root(r[l]);
        upper[l] = pick(zero, 0.0f, pick(bounded, t + z, HUGE_VALF));
        lower[l] = pick(zero, 0.0f, pick(bounded, t - z, -HUGE_VALF));
    }
}

// From the sums of the codes with the fine digits' high and low parts.
__attribute__((always_inline)) inline void finish_sketch(const PreparedQuery& q, const float* r, const float* w,
                                                         const std::int32_t* high, const std::int32_t* low,
                                                         float* upper, float* lower) {
    // Copies: stores through `upper` could otherwise alias q's members, and
    // the loop would not vectorise.
    const double bias = q.bias;
    // Exact in double (every term is below 2^53), then rounded once.
    const auto dot = [&](std::size_t l) { return static_cast<float>(64.0 * high[l] + low[l] - bias); };
    finish_bounds(q.unit_step, q.scale_term, q.root_term, r, w, dot, upper, lower);
}

// U alone, from the sums of the codes with a batch's coarse digits.
__attribute__((always_inline)) inline void finish_coarse(const PreparedQuery& q, const float* r, const float* w,
                                                         const std::int32_t* sums, float* upper, float limit,
                                                         std::uint64_t* passing, std::size_t bit) {
    const std::int32_t bias = q.coarse_bias;
    const float step = q.coarse_unit_step, scale_term = q.coarse_scale_term, root_term = q.coarse_root_term;
    int any = 0;  // an integer reduction vectorises; the compare costs one instruction per register of U
    for (std::size_t l = 0; l < kLanes; ++l) {
        // The exact integer, rounded once, as the fine level's double is.
        const float t = static_cast<float>(sums[l] - bias) * w[l] * step;
        const float z = w[l] * scale_term + root_term;
        upper[l] = pick(r[l] == 0.0f, 0.0f, pick(bounded_root(r[l]), t + z, HUGE_VALF));
        any |= upper[l] >= limit;
    }
    *passing |= static_cast<std::uint64_t>(any != 0) << bit;
}

std::size_t sketch_block_bytes(std::size_t d) noexcept { return sketch_groups(d) * kLanes * kGroup; }

// The sketch passes read one contiguous range of blocks, two lines a group:
// the group kPrefetchAhead bytes ahead is fetched as this one is read.
__attribute__((always_inline)) inline void prefetch_group(const std::uint8_t* p) noexcept {
    __builtin_prefetch(p + kPrefetchAhead, 0, 3);
    __builtin_prefetch(p + kPrefetchAhead + kLine, 0, 3);
}

// Integer sums are exact in any order and any width, so every sketch pass
// gives the same sums: for each lane, sum c'_i a_i and sum c'_i b_i over its
// biased codes c'_i = c_i + 128 (at most 255 * 64 * 2^16 < 2^31 in size).

template <bool kPrefetch>
__attribute__((target("avx512f,avx512bw,avx512vnni"))) void sketch_vnni(const PreparedQuery& q,
                                                                          const SegmentView& seg, std::size_t begin,
                                                                          std::size_t end, float* upper,
                                                                          float* lower) {
    const std::size_t groups = sketch_groups(q.d);
    const std::size_t block_bytes = sketch_block_bytes(q.d);
    alignas(64) std::int32_t high[kLanes], low[kLanes];
    for (std::size_t b = begin; b < end; ++b) {
        const std::uint8_t* p = seg.sketch + b * block_bytes;
        __m512i high0 = _mm512_setzero_si512(), high1 = high0, low0 = high0, low1 = high0;
        for (std::size_t g = 0; g < groups; ++g, p += 2 * kLine) {
            if constexpr (kPrefetch) prefetch_group(p);
            const __m512i x0 = _mm512_load_si512(p);
            const __m512i x1 = _mm512_load_si512(p + kLine);
            const __m512i a = _mm512_set1_epi32(static_cast<int>(q.digits_high[g]));
            const __m512i c = _mm512_set1_epi32(static_cast<int>(q.digits_low[g]));
            high0 = _mm512_dpbusd_epi32(high0, x0, a);
            high1 = _mm512_dpbusd_epi32(high1, x1, a);
            low0 = _mm512_dpbusd_epi32(low0, x0, c);
            low1 = _mm512_dpbusd_epi32(low1, x1, c);
        }
        _mm512_store_si512(high, high0);
        _mm512_store_si512(high + 16, high1);
        _mm512_store_si512(low, low0);
        _mm512_store_si512(low + 16, low1);
        const std::size_t o = (b - begin) * kLanes;
        finish_sketch(q, seg.roots + b * kLanes, seg.unit_scales + b * kLanes, high, low, upper + o, lower + o);
    }
}

// Without VNNI: vpmaddubsw multiplies the unsigned codes by the signed digits
// and adds pairs into 16 bits, which cannot saturate (2 * 255 * 64 < 2^15),
// and vpmaddwd by ones adds those pairs into 32 bits.
template <bool kPrefetch>
__attribute__((target("avx2,fma"))) void sketch_avx2(const PreparedQuery& q, const SegmentView& seg,
                                                     std::size_t begin, std::size_t end, float* upper,
                                                     float* lower) {
    const std::size_t groups = sketch_groups(q.d);
    const std::size_t block_bytes = sketch_block_bytes(q.d);
    const __m256i ones = _mm256_set1_epi16(1);
    alignas(32) std::int32_t high[kLanes], low[kLanes];
    for (std::size_t b = begin; b < end; ++b) {
        const std::uint8_t* p = seg.sketch + b * block_bytes;
        __m256i hs[4], ls[4];
        for (std::size_t k = 0; k < 4; ++k) hs[k] = ls[k] = _mm256_setzero_si256();
        for (std::size_t g = 0; g < groups; ++g, p += 2 * kLine) {
            if constexpr (kPrefetch) prefetch_group(p);
            const __m256i a = _mm256_set1_epi32(static_cast<int>(q.digits_high[g]));
            const __m256i c = _mm256_set1_epi32(static_cast<int>(q.digits_low[g]));
            for (std::size_t k = 0; k < 4; ++k) {
                const __m256i x = _mm256_load_si256(reinterpret_cast<const __m256i*>(p + 32 * k));
                hs[k] = _mm256_add_epi32(hs[k], _mm256_madd_epi16(_mm256_maddubs_epi16(x, a), ones));
                ls[k] = _mm256_add_epi32(ls[k], _mm256_madd_epi16(_mm256_maddubs_epi16(x, c), ones));
            }
        }
        for (std::size_t k = 0; k < 4; ++k) {
            _mm256_store_si256(reinterpret_cast<__m256i*>(high + 8 * k), hs[k]);
            _mm256_store_si256(reinterpret_cast<__m256i*>(low + 8 * k), ls[k]);
        }
        const std::size_t o = (b - begin) * kLanes;
        finish_sketch(q, seg.roots + b * kLanes, seg.unit_scales + b * kLanes, high, low, upper + o, lower + o);
    }
}

// The baseline instruction set (SSE2) has no byte products: codes widen to
// 16 bits and pmaddwd multiplies them by whole digits p_i = 64 a_i + b_i
// (16-bit too), adding pairs into 32 bits. A lane's sum over up to
// kChunkGroups groups stays below 2^31 (4 * 255 * 4095 per group); chunk sums
// go into 64 bits, and the total is handed on as 64 * high + low.
// One group of a block's codes (two lines: four codes of each of the 32
// lanes) times a query's four 16-bit digits, added into the lanes' 32-bit
// sums, four lanes to a register: codes widened to 16 bits, two lanes per
// pmaddwd, each lane's two pair sums then added side by side.
inline void add_group_sse2(const std::uint8_t* p, __m128i digits, __m128i* sums) noexcept {
    const __m128i zero = _mm_setzero_si128();
    for (std::size_t k = 0; k < 8; ++k) {
        const __m128i x = _mm_load_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
        const __m128 first = _mm_castsi128_ps(_mm_madd_epi16(_mm_unpacklo_epi8(x, zero), digits));
        const __m128 second = _mm_castsi128_ps(_mm_madd_epi16(_mm_unpackhi_epi8(x, zero), digits));
        const __m128i even = _mm_castps_si128(_mm_shuffle_ps(first, second, _MM_SHUFFLE(2, 0, 2, 0)));
        const __m128i odd = _mm_castps_si128(_mm_shuffle_ps(first, second, _MM_SHUFFLE(3, 1, 3, 1)));
        sums[k] = _mm_add_epi32(sums[k], _mm_add_epi32(even, odd));
    }
}

template <bool kPrefetch>
void sketch_portable(const PreparedQuery& q, const SegmentView& seg, std::size_t begin, std::size_t end,
                     float* upper, float* lower) {
    constexpr std::size_t kChunkGroups = 511;
    static_assert(kChunkGroups * kGroup * 255 * kDigitMax < (std::size_t{1} << 31), "a chunk's sums must fit 32 bits");
    const std::size_t groups = sketch_groups(q.d);
    const std::size_t block_bytes = sketch_block_bytes(q.d);
    const __m128i zero = _mm_setzero_si128();
    alignas(16) std::int32_t chunk[kLanes];
    std::int32_t high[kLanes], low[kLanes];
    for (std::size_t b = begin; b < end; ++b) {
        const std::uint8_t* p = seg.sketch + b * block_bytes;
        long long total[kLanes] = {};
        for (std::size_t from = 0; from < groups; from += kChunkGroups) {
            const std::size_t to = std::min(groups, from + kChunkGroups);
            __m128i sums[8];
            for (std::size_t k = 0; k < 8; ++k) sums[k] = zero;
            for (std::size_t g = from; g < to; ++g, p += 2 * kLine) {
                if constexpr (kPrefetch) prefetch_group(p);
                add_group_sse2(p, _mm_set1_epi64x(static_cast<long long>(q.digits_wide[g])), sums);
            }
            for (std::size_t k = 0; k < 8; ++k) _mm_store_si128(reinterpret_cast<__m128i*>(chunk + 4 * k), sums[k]);
            for (std::size_t l = 0; l < kLanes; ++l) total[l] += chunk[l];
        }
        for (std::size_t l = 0; l < kLanes; ++l) {
            // total = 64 * high + low exactly, with |total| < 2^36.
            high[l] = static_cast<std::int32_t>(total[l] >> 6);
            low[l] = static_cast<std::int32_t>(total[l] & 63);
        }
        const std::size_t o = (b - begin) * kLanes;
        finish_sketch(q, seg.roots + b * kLanes, seg.unit_scales + b * kLanes, high, low, upper + o, lower + o);
    }
}

// The batch sketch passes: coarse bounds (bounds.cpp) for any number of
// queries, one integer product per code and query. A block's codes are
// loaded once per register block of queries and used for each of them from
// registers; the next register block reads them from the first-level cache.
// A lane's sum is below 2^31 (255 * 127 * 4 per group, 2^14 groups:
// 2,122,383,360), and so
// is its difference from the bias: exact in 32-bit integers.

// The queries' coarse digits for register blocks of kQ queries: block r,
// group g, query j at digits[(r * groups + g) * kQ + j]; a partial block is
// padded with zero digits, whose sums are computed and never read.
template <std::size_t kQ>
std::vector<std::uint32_t> coarse_table(const PreparedQuery* const* queries, std::size_t count, std::size_t groups) {
    const std::size_t blocks = (count + kQ - 1) / kQ;
    std::vector<std::uint32_t> digits(blocks * groups * kQ, 0u);
    for (std::size_t j = 0; j < count; ++j) {
        const std::uint32_t* coarse = queries[j]->coarse_digits.data();
        for (std::size_t g = 0; g < groups; ++g) digits[((j / kQ) * groups + g) * kQ + j % kQ] = coarse[g];
    }
    return digits;
}

// U from one register block's sums, for the queries it holds.
__attribute__((always_inline)) inline void finish_register_block(const PreparedQuery* const* queries, std::size_t j0,
                                                                 std::size_t size, const SegmentView& seg,
                                                                 std::size_t b, const std::int32_t* sums,
                                                                 float* upper, std::size_t stride,
                                                                 const float* limits, std::uint64_t* passing,
                                                                 std::size_t bit) {
    for (std::size_t j = 0; j < size; ++j) {
        finish_coarse(*queries[j0 + j], seg.roots + b * kLanes, seg.unit_scales + b * kLanes, sums + j * kLanes,
                      upper + (j0 + j) * stride, limits[j0 + j], passing + j0 + j, bit);
    }
}

constexpr std::size_t kVnniQueries = 8;  // two accumulators each: 16 of the 32 registers

template <bool kPrefetch>
__attribute__((target("avx512f,avx512bw,avx512vnni"))) void coarse_vnni(const PreparedQuery* const* queries,
                                                                          std::size_t count, const SegmentView& seg,
                                                                          std::size_t begin, std::size_t end,
                                                                          float* upper, std::size_t stride,
                                                                          const float* limits, std::uint64_t* passing,
                                                                          std::size_t first) {
    const std::size_t groups = sketch_groups(queries[0]->d);
    const std::size_t block_bytes = sketch_block_bytes(queries[0]->d);
    const std::vector<std::uint32_t> table = coarse_table<kVnniQueries>(queries, count, groups);
    alignas(64) std::int32_t sums[kVnniQueries * kLanes];
    for (std::size_t b = begin; b < end; ++b) {
        for (std::size_t j0 = 0; j0 < count; j0 += kVnniQueries) {
            const std::uint8_t* p = seg.sketch + b * block_bytes;
            const std::uint32_t* digits = table.data() + (j0 / kVnniQueries) * groups * kVnniQueries;
            // Named accumulators: an array of them would live in memory.
#define QM_ZERO(j) __m512i lo##j = _mm512_setzero_si512(), hi##j = lo##j;
#define QM_STEP(j)                                                      \
    {                                                                   \
        const __m512i c = _mm512_set1_epi32(static_cast<int>(digits[j])); \
        lo##j = _mm512_dpbusd_epi32(lo##j, x0, c);                      \
        hi##j = _mm512_dpbusd_epi32(hi##j, x1, c);                      \
    }
#define QM_STORE(j)                                      \
    _mm512_store_si512(sums + (j) * kLanes, lo##j);      \
    _mm512_store_si512(sums + (j) * kLanes + 16, hi##j);
            QM_ZERO(0) QM_ZERO(1) QM_ZERO(2) QM_ZERO(3) QM_ZERO(4) QM_ZERO(5) QM_ZERO(6) QM_ZERO(7)
            for (std::size_t g = 0; g < groups; ++g, p += 2 * kLine, digits += kVnniQueries) {
                if constexpr (kPrefetch) {
                    if (j0 == 0) prefetch_group(p);
                }
                const __m512i x0 = _mm512_load_si512(p);
                const __m512i x1 = _mm512_load_si512(p + kLine);
                QM_STEP(0) QM_STEP(1) QM_STEP(2) QM_STEP(3) QM_STEP(4) QM_STEP(5) QM_STEP(6) QM_STEP(7)
            }
            QM_STORE(0) QM_STORE(1) QM_STORE(2) QM_STORE(3) QM_STORE(4) QM_STORE(5) QM_STORE(6) QM_STORE(7)
#undef QM_ZERO
#undef QM_STEP
#undef QM_STORE
            finish_register_block(queries, j0, std::min(kVnniQueries, count - j0), seg, b, sums,
                                  upper + (b - begin) * kLanes, stride, limits, passing, b - first);
        }
    }
}

// The fine bounds for several queries, the same bits as sketch_vnni gives
// each: four accumulators a query (high and low digits, two halves of the
// lanes), six queries per register block.
constexpr std::size_t kVnniFineQueries = 6;

template <bool kPrefetch>
__attribute__((target("avx512f,avx512bw,avx512vnni"))) void fine_vnni(const PreparedQuery* const* queries,
                                                                        std::size_t count, const SegmentView& seg,
                                                                        std::size_t begin, std::size_t end,
                                                                        float* upper, float* lower,
                                                                        std::size_t stride) {
    constexpr std::size_t kQ = kVnniFineQueries;
    const std::size_t groups = sketch_groups(queries[0]->d);
    const std::size_t block_bytes = sketch_block_bytes(queries[0]->d);
    // Register block r, group g, query j: high digits at table[((r * groups + g) * kQ + j) * 2], low after them.
    const std::size_t register_blocks = (count + kQ - 1) / kQ;
    std::vector<std::uint32_t> table(register_blocks * groups * kQ * 2, 0u);
    for (std::size_t j = 0; j < count; ++j) {
        for (std::size_t g = 0; g < groups; ++g) {
            const std::size_t at = (((j / kQ) * groups + g) * kQ + j % kQ) * 2;
            table[at] = queries[j]->digits_high[g];
            table[at + 1] = queries[j]->digits_low[g];
        }
    }
    alignas(64) std::int32_t high[kQ * kLanes], low[kQ * kLanes];
    for (std::size_t b = begin; b < end; ++b) {
        for (std::size_t j0 = 0; j0 < count; j0 += kQ) {
            const std::uint8_t* p = seg.sketch + b * block_bytes;
            const std::uint32_t* digits = table.data() + (j0 / kQ) * groups * kQ * 2;
#define QM_ZERO(j) __m512i h0##j = _mm512_setzero_si512(), h1##j = h0##j, l0##j = h0##j, l1##j = h0##j;
#define QM_STEP(j)                                                               \
    {                                                                            \
        const __m512i a = _mm512_set1_epi32(static_cast<int>(digits[2 * (j)]));     \
        const __m512i c = _mm512_set1_epi32(static_cast<int>(digits[2 * (j) + 1])); \
        h0##j = _mm512_dpbusd_epi32(h0##j, x0, a);                               \
        h1##j = _mm512_dpbusd_epi32(h1##j, x1, a);                               \
        l0##j = _mm512_dpbusd_epi32(l0##j, x0, c);                               \
        l1##j = _mm512_dpbusd_epi32(l1##j, x1, c);                               \
    }
#define QM_STORE(j)                                           \
    _mm512_store_si512(high + (j) * kLanes, h0##j);           \
    _mm512_store_si512(high + (j) * kLanes + 16, h1##j);      \
    _mm512_store_si512(low + (j) * kLanes, l0##j);            \
    _mm512_store_si512(low + (j) * kLanes + 16, l1##j);
            QM_ZERO(0) QM_ZERO(1) QM_ZERO(2) QM_ZERO(3) QM_ZERO(4) QM_ZERO(5)
            for (std::size_t g = 0; g < groups; ++g, p += 2 * kLine, digits += 2 * kQ) {
                if constexpr (kPrefetch) {
                    if (j0 == 0) prefetch_group(p);
                }
                const __m512i x0 = _mm512_load_si512(p);
                const __m512i x1 = _mm512_load_si512(p + kLine);
                QM_STEP(0) QM_STEP(1) QM_STEP(2) QM_STEP(3) QM_STEP(4) QM_STEP(5)
            }
            QM_STORE(0) QM_STORE(1) QM_STORE(2) QM_STORE(3) QM_STORE(4) QM_STORE(5)
#undef QM_ZERO
#undef QM_STEP
#undef QM_STORE
            for (std::size_t j = 0; j < std::min(kQ, count - j0); ++j) {
                const std::size_t o = (j0 + j) * stride + (b - begin) * kLanes;
                finish_sketch(*queries[j0 + j], seg.roots + b * kLanes, seg.unit_scales + b * kLanes, high + j * kLanes,
                              low + j * kLanes, upper + o, lower + o);
            }
        }
    }
}

// Elsewhere the fine bounds of a batch come from the one-query pass, one
// block at a time and each query in turn: the block's codes are read from
// memory once and from the first-level cache by the rest.
using SketchPass = void (*)(const PreparedQuery&, const SegmentView&, std::size_t, std::size_t, float*, float*);

template <SketchPass kSketch>
void fine_each(const PreparedQuery* const* queries, std::size_t count, const SegmentView& seg, std::size_t begin,
               std::size_t end, float* upper, float* lower, std::size_t stride) {
    for (std::size_t b = begin; b < end; ++b) {
        const std::size_t o = (b - begin) * kLanes;
        for (std::size_t j = 0; j < count; ++j) {
            kSketch(*queries[j], seg, b, b + 1, upper + j * stride + o, lower + j * stride + o);
        }
    }
}

// vpmaddubsw's pairs of products must fit 16 bits: each coarse digit goes in
// as p = 2 h + e (bounds.hpp), two products per code, 2 * 255 * 64 < 2^15.
// The halves' pair sums are widened by vpmaddwd with 2, the ends' with 1.
// One query at a time: the block's codes come from the first-level cache
// after the first.
template <bool kPrefetch>
__attribute__((target("avx2,fma"))) void coarse_avx2(const PreparedQuery* const* queries, std::size_t count,
                                                     const SegmentView& seg, std::size_t begin, std::size_t end,
                                                     float* upper, std::size_t stride, const float* limits,
                                                     std::uint64_t* passing, std::size_t first) {
    const std::size_t groups = sketch_groups(queries[0]->d);
    const std::size_t block_bytes = sketch_block_bytes(queries[0]->d);
    const __m256i ones = _mm256_set1_epi16(1), twos = _mm256_set1_epi16(2);
    alignas(32) std::int32_t sums[kLanes];
    for (std::size_t b = begin; b < end; ++b) {
        for (std::size_t j = 0; j < count; ++j) {
            const std::uint8_t* p = seg.sketch + b * block_bytes;
            const std::uint32_t* halves = queries[j]->coarse_halves.data();
            __m256i acc[4];
            for (std::size_t k = 0; k < 4; ++k) acc[k] = _mm256_setzero_si256();
            for (std::size_t g = 0; g < groups; ++g, p += 2 * kLine) {
                if constexpr (kPrefetch) {
                    if (j == 0) prefetch_group(p);
                }
                const __m256i h = _mm256_set1_epi32(static_cast<int>(halves[2 * g]));
                const __m256i e = _mm256_set1_epi32(static_cast<int>(halves[2 * g + 1]));
                for (std::size_t k = 0; k < 4; ++k) {
                    const __m256i x = _mm256_load_si256(reinterpret_cast<const __m256i*>(p + 32 * k));
                    const __m256i twice = _mm256_madd_epi16(_mm256_maddubs_epi16(x, h), twos);
                    const __m256i once = _mm256_madd_epi16(_mm256_maddubs_epi16(x, e), ones);
                    acc[k] = _mm256_add_epi32(acc[k], _mm256_add_epi32(twice, once));
                }
            }
            for (std::size_t k = 0; k < 4; ++k) _mm256_store_si256(reinterpret_cast<__m256i*>(sums + 8 * k), acc[k]);
            finish_coarse(*queries[j], seg.roots + b * kLanes, seg.unit_scales + b * kLanes, sums,
                          upper + j * stride + (b - begin) * kLanes, limits[j], passing + j, b - first);
        }
    }
}

// AMX (Sapphire Rapids and later): one tile product multiplies 16 queries'
// digits by 16 lanes' codes over 16 groups (64 components). The digits are
// the A tile (rows: queries, signed bytes), a block's codes the B tiles
// (rows: groups, 128 bytes apart; lanes 0-15 and 16-31), so tdpbsud
// (signed by unsigned) gives the same exact sums as the VNNI pass. The
// groups past the last whole 16 use tiles of their own shape, so that no
// byte past a block is read. Tile state is per thread: each call loads the
// configuration and releases the tiles before it returns.
constexpr std::size_t kAmxQueries = 16;
constexpr std::size_t kAmxGroups = 16;

struct alignas(64) TileConfig {
    std::uint8_t palette = 1;
    std::uint8_t start_row = 0;
    std::uint8_t reserved[14] = {};
    std::uint16_t colsb[16] = {};
    std::uint8_t rows[16] = {};
};

// Tiles 0, 1: sums (queries x lanes 0-15, 16-31); 2: digits; 3, 4: codes;
// 5, 6, 7: the same three for the last `rest` groups.
TileConfig amx_config(std::size_t rest) {
    TileConfig c;
    const auto shape = [&](int tile, std::size_t rows, std::size_t bytes) {
        c.rows[tile] = static_cast<std::uint8_t>(rows);
        c.colsb[tile] = static_cast<std::uint16_t>(bytes);
    };
    shape(0, kAmxQueries, 64);
    shape(1, kAmxQueries, 64);
    shape(2, kAmxQueries, 4 * kAmxGroups);
    shape(3, kAmxGroups, 64);
    shape(4, kAmxGroups, 64);
    if (rest != 0) {
        shape(5, kAmxQueries, 4 * rest);
        shape(6, rest, 64);
        shape(7, rest, 64);
    }
    return c;
}

__attribute__((target("amx-tile,amx-int8,avx512f"))) void coarse_amx(const PreparedQuery* const* queries,
                                                                      std::size_t count, const SegmentView& seg,
                                                                      std::size_t begin, std::size_t end,
                                                                      float* upper, std::size_t stride,
                                                                      const float* limits, std::uint64_t* passing,
                                                                      std::size_t first) {
    const std::size_t groups = sketch_groups(queries[0]->d);
    const std::size_t block_bytes = sketch_block_bytes(queries[0]->d);
    const std::size_t whole = groups / kAmxGroups, rest = groups % kAmxGroups;
    // Digits query-major, kAmxQueries rows per register block (zero rows pad the last).
    const std::size_t row_bytes = groups * 4;
    const std::size_t blocks = (count + kAmxQueries - 1) / kAmxQueries;
    std::vector<std::uint32_t> digits(blocks * kAmxQueries * groups, 0u);
    for (std::size_t j = 0; j < count; ++j) {
        std::copy(queries[j]->coarse_digits.begin(), queries[j]->coarse_digits.end(), digits.begin() + j * groups);
    }
    const TileConfig config = amx_config(rest);
    _tile_loadconfig(&config);
    alignas(64) std::int32_t sums[kAmxQueries * kLanes];
    for (std::size_t b = begin; b < end; ++b) {
        const std::uint8_t* codes = seg.sketch + b * block_bytes;
        for (std::size_t j0 = 0; j0 < count; j0 += kAmxQueries) {
            const auto* a = reinterpret_cast<const std::uint8_t*>(digits.data() + j0 * groups);
            _tile_zero(0);
            _tile_zero(1);
            for (std::size_t c = 0; c < whole; ++c) {
                const std::uint8_t* x = codes + c * kAmxGroups * 2 * kLine;
                _tile_loadd(2, a + c * 4 * kAmxGroups, row_bytes);
                _tile_loadd(3, x, 2 * kLine);
                _tile_loadd(4, x + kLine, 2 * kLine);
                _tile_dpbsud(0, 2, 3);
                _tile_dpbsud(1, 2, 4);
            }
            if (rest != 0) {
                const std::uint8_t* x = codes + whole * kAmxGroups * 2 * kLine;
                _tile_loadd(5, a + whole * 4 * kAmxGroups, row_bytes);
                _tile_loadd(6, x, 2 * kLine);
                _tile_loadd(7, x + kLine, 2 * kLine);
                _tile_dpbsud(0, 5, 6);
                _tile_dpbsud(1, 5, 7);
            }
            _tile_stored(0, sums, kLanes * sizeof(std::int32_t));
            _tile_stored(1, sums + 16, kLanes * sizeof(std::int32_t));
            finish_register_block(queries, j0, std::min(kAmxQueries, count - j0), seg, b, sums,
                                  upper + (b - begin) * kLanes, stride, limits, passing, b - first);
        }
    }
    _tile_release();
}

// SSE2: codes widened to 16 bits, pmaddwd with the coarse digits, one query
// at a time (the block's codes come from the first-level cache after the first).
void coarse_portable(const PreparedQuery* const* queries, std::size_t count, const SegmentView& seg,
                     std::size_t begin, std::size_t end, float* upper, std::size_t stride, const float* limits,
                     std::uint64_t* passing, std::size_t first) {
    const std::size_t groups = sketch_groups(queries[0]->d);
    const std::size_t block_bytes = sketch_block_bytes(queries[0]->d);
    const __m128i zero = _mm_setzero_si128();
    alignas(16) std::int32_t sums[kLanes];
    for (std::size_t b = begin; b < end; ++b) {
        const std::size_t o = (b - begin) * kLanes;
        for (std::size_t j = 0; j < count; ++j) {
            const std::uint8_t* p = seg.sketch + b * block_bytes;
            const std::uint64_t* wide = queries[j]->coarse_wide.data();
            __m128i acc[8];
            for (std::size_t k = 0; k < 8; ++k) acc[k] = zero;
            for (std::size_t g = 0; g < groups; ++g, p += 2 * kLine) {
                add_group_sse2(p, _mm_set1_epi64x(static_cast<long long>(wide[g])), acc);
            }
            for (std::size_t k = 0; k < 8; ++k) _mm_store_si128(reinterpret_cast<__m128i*>(sums + 4 * k), acc[k]);
            finish_coarse(*queries[j], seg.roots + b * kLanes, seg.unit_scales + b * kLanes, sums,
                          upper + j * stride + o, limits[j], passing + j, b - first);
        }
    }
}

#define QUILLMERE_FLOAT_PASSES(suffix, isa, fma, split)                                                         \
    template <bool kPrefetch>                                                                                   \
    isa void planes_##suffix(const PreparedQuery& q, const SegmentView& seg, const std::uint32_t* blocks,       \
                             std::size_t count, float threshold, float* upper, float* lower) {                  \
        planes_body<fma, split, kPrefetch>(q, seg, blocks, count, threshold, upper, lower);                     \
    }                                                                                                           \
    template <bool kPrefetch>                                                                                   \
    isa void exact_##suffix(const PreparedQuery& q, const SegmentView& seg, const std::uint32_t* blocks,        \
                            std::size_t count, float* scores) {                                                 \
        exact_body<kPrefetch>(q, seg, blocks, count, scores);                                                   \
    }

QUILLMERE_FLOAT_PASSES(avx512, __attribute__((target("avx512f,fma,prefer-vector-width=512"))), true, 2)
QUILLMERE_FLOAT_PASSES(avx2, __attribute__((target("avx2,fma"))), true, 2)
// SSE2 has half the registers of the wider sets: one sum per lane.
QUILLMERE_FLOAT_PASSES(portable, , false, 1)

bool vnni_supported() noexcept {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512vnni") && __builtin_cpu_supports("avx512bw");
}

// AMX needs the CPU (CPUID leaf 7: AMX-TILE and AMX-INT8) and the kernel's
// permission for the tile state, which Linux grants on request, once per
// process (arch_prctl ARCH_REQ_XCOMP_PERM for XFEATURE_XTILEDATA; older
// kernels refuse the request).
bool request_amx() noexcept {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) return false;
    const bool tiles = (edx >> 24 & 1u) != 0 && (edx >> 25 & 1u) != 0;
    constexpr long kReqXcompPerm = 0x1023, kXtileData = 18;
    return tiles && vnni_supported() && syscall(SYS_arch_prctl, kReqXcompPerm, kXtileData) == 0;
}

// Whether the passes prefetch in software. On AMD Zen the hardware
// prefetcher follows every stream a pass reads, and prefetching as well cost
// 5-15% in the exact pass (two streams) at every distance and hint tried, and
// up to 10% in the high-plane pass (measured on a Zen 4 EPYC); on the Intel
// machine it was measured on, a high-plane loop without it streamed at 58%
// of the read floor and at 86% with it.
// QUILLMERE_PREFETCH=on|off overrides the choice, to measure both on a new
// machine (and to test both).
bool prefetch_in_software() noexcept {
    const char* forced = std::getenv("QUILLMERE_PREFETCH");
    if (forced != nullptr && std::strcmp(forced, "on") == 0) return true;
    if (forced != nullptr && std::strcmp(forced, "off") == 0) return false;
    __builtin_cpu_init();
    return !__builtin_cpu_is("amd");
}

template <bool kPrefetch>
const Passes& passes_of(KernelId kernel) noexcept {
    static const bool vnni = vnni_supported();
    static const Passes amx{sketch_vnni<kPrefetch>, planes_avx512<kPrefetch>, exact_avx512<kPrefetch>, coarse_amx,
                            fine_vnni<kPrefetch>, "avx512vnni", "amx-int8"};
    static const Passes avx512{vnni ? sketch_vnni<kPrefetch> : sketch_avx2<kPrefetch>,
                               planes_avx512<kPrefetch>,
                               exact_avx512<kPrefetch>,
                               vnni ? coarse_vnni<kPrefetch> : coarse_avx2<kPrefetch>,
                               vnni ? fine_vnni<kPrefetch> : fine_each<sketch_avx2<kPrefetch>>,
                               vnni ? "avx512vnni" : "avx2",
                               vnni ? "avx512vnni" : "avx2"};
    static const Passes avx2{sketch_avx2<kPrefetch>, planes_avx2<kPrefetch>, exact_avx2<kPrefetch>,
                             coarse_avx2<kPrefetch>, fine_each<sketch_avx2<kPrefetch>>, "avx2", "avx2"};
    static const Passes portable{sketch_portable<kPrefetch>, planes_portable<kPrefetch>, exact_portable<kPrefetch>,
                                 coarse_portable, fine_each<sketch_portable<kPrefetch>>, "portable", "portable"};
    switch (kernel) {
        case KernelId::Amx: return amx;
        case KernelId::Avx512: return avx512;
        case KernelId::Avx2: return avx2;
        case KernelId::Portable: break;
    }
    return portable;
}

}  // namespace

const Passes& passes_for(KernelId kernel) noexcept {
    static const bool prefetch = prefetch_in_software();
    return prefetch ? passes_of<true>(kernel) : passes_of<false>(kernel);
}

const char* sketch_batch_name(KernelId kernel) noexcept { return passes_for(kernel).sketch_batch_name; }

bool amx_usable() noexcept {
    static const bool usable = request_amx();
    return usable;
}

}  // namespace quillmere::detail
