#include "readback.hpp"

// GCC 12 reports the intrinsics' own "undefined" register idiom as maybe
// uninitialised; every lane of every value below is defined.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop

#include <algorithm>
#include <cstring>

namespace quillmere {

namespace {

// Rows [lane_first, lane_last) of one sealed block, one float at a time:
// the portable kernel, and the partial blocks at the ends of a range.
void join_rows(const std::uint16_t* hi, const std::uint16_t* lo, std::size_t d, std::size_t lane_first,
               std::size_t lane_last, float* out) noexcept {
    for (std::size_t l = lane_first; l < lane_last; ++l) {
        float* row = out + (l - lane_first) * d;
        for (std::size_t i = 0; i < d; ++i) row[i] = join_halves(hi[i * kLanes + l], lo[i * kLanes + l]);
    }
}

// A whole block, components [first_component, d) only: what the wide
// kernels leave over when d is not a multiple of their tile.
void join_columns(const std::uint16_t* hi, const std::uint16_t* lo, std::size_t d, std::size_t first_component,
                  float* out) noexcept {
    for (std::size_t i = first_component; i < d; ++i) {
        for (std::size_t l = 0; l < kLanes; ++l) out[l * d + i] = join_halves(hi[i * kLanes + l], lo[i * kLanes + l]);
    }
}

// The wide kernels join 16-bit halves with integer adds and move the
// joined words with shuffles, unpacks and plain stores: no floating-point
// operation touches a value, so NaN payloads and signed zeros pass as bits.
// Each transposes square tiles (W components of W lanes) into W rows.

// The joined words of 16 lanes, from the halves at `at` (component i, lane l: i * kLanes + l).
__attribute__((target("avx512f"))) inline __m512i joined16(const std::uint16_t* hi, const std::uint16_t* lo,
                                                           std::size_t at) noexcept {
    const __m512i h = _mm512_cvtepu16_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(hi + at)));
    const __m512i w = _mm512_cvtepi16_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(lo + at)));
    return _mm512_add_epi32(_mm512_slli_epi32(h, 16), w);  // modulo 2^32, as join_halves
}

__attribute__((target("avx512f"))) void block_avx512(const std::uint16_t* hi, const std::uint16_t* lo,
                                                     std::size_t d, float* out) noexcept {
    constexpr std::size_t W = 16;
    const std::size_t full = d / W * W;
    for (std::size_t i = 0; i < full; i += W) {
        for (std::size_t l = 0; l < kLanes; l += W) {
            __m512i r[W], t[W];
            for (std::size_t c = 0; c < W; ++c) r[c] = joined16(hi, lo, (i + c) * kLanes + l);
            // r[c] holds component i+c of lanes l..l+15; after these three
            // rounds r[j] holds components i..i+15 of lane l+j.
            for (std::size_t c = 0; c < W; c += 2) {
                t[c] = _mm512_unpacklo_epi32(r[c], r[c + 1]);
                t[c + 1] = _mm512_unpackhi_epi32(r[c], r[c + 1]);
            }
            for (std::size_t c = 0; c < W; c += 4) {
                r[c] = _mm512_unpacklo_epi64(t[c], t[c + 2]);
                r[c + 1] = _mm512_unpackhi_epi64(t[c], t[c + 2]);
                r[c + 2] = _mm512_unpacklo_epi64(t[c + 1], t[c + 3]);
                r[c + 3] = _mm512_unpackhi_epi64(t[c + 1], t[c + 3]);
            }
            // Now r[4q + s] holds, in 128-bit quarter k, lane 4k + s of
            // components 4q..4q+3. Two rounds of quarter shuffles put the
            // four quarters of lane j in order in r[j].
            for (std::size_t s = 0; s < 4; ++s) {
                // quarters: lanes s, 8+s of q = 0, then of q = 1 (0x88); lanes 4+s, 12+s likewise (0xDD)
                t[s] = _mm512_shuffle_i32x4(r[s], r[4 + s], 0x88);
                t[4 + s] = _mm512_shuffle_i32x4(r[s], r[4 + s], 0xDD);
                t[8 + s] = _mm512_shuffle_i32x4(r[8 + s], r[12 + s], 0x88);  // the same for q = 2, 3
                t[12 + s] = _mm512_shuffle_i32x4(r[8 + s], r[12 + s], 0xDD);
            }
            for (std::size_t s = 0; s < 4; ++s) {
                r[s] = _mm512_shuffle_i32x4(t[s], t[8 + s], 0x88);
                r[8 + s] = _mm512_shuffle_i32x4(t[s], t[8 + s], 0xDD);
                r[4 + s] = _mm512_shuffle_i32x4(t[4 + s], t[12 + s], 0x88);
                r[12 + s] = _mm512_shuffle_i32x4(t[4 + s], t[12 + s], 0xDD);
            }
            for (std::size_t j = 0; j < W; ++j) _mm512_storeu_si512(out + (l + j) * d + i, r[j]);
        }
    }
    join_columns(hi, lo, d, full, out);
}

__attribute__((target("avx2"))) inline __m256i joined8(const std::uint16_t* hi, const std::uint16_t* lo,
                                                       std::size_t at) noexcept {
    const __m256i h = _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(hi + at)));
    const __m256i w = _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(lo + at)));
    return _mm256_add_epi32(_mm256_slli_epi32(h, 16), w);
}

__attribute__((target("avx2"))) void block_avx2(const std::uint16_t* hi, const std::uint16_t* lo, std::size_t d,
                                                float* out) noexcept {
    constexpr std::size_t W = 8;
    const std::size_t full = d / W * W;
    for (std::size_t i = 0; i < full; i += W) {
        for (std::size_t l = 0; l < kLanes; l += W) {
            __m256i r[W], t[W];
            for (std::size_t c = 0; c < W; ++c) r[c] = joined8(hi, lo, (i + c) * kLanes + l);
            for (std::size_t c = 0; c < W; c += 2) {
                t[c] = _mm256_unpacklo_epi32(r[c], r[c + 1]);
                t[c + 1] = _mm256_unpackhi_epi32(r[c], r[c + 1]);
            }
            for (std::size_t c = 0; c < W; c += 4) {
                r[c] = _mm256_unpacklo_epi64(t[c], t[c + 2]);
                r[c + 1] = _mm256_unpackhi_epi64(t[c], t[c + 2]);
                r[c + 2] = _mm256_unpacklo_epi64(t[c + 1], t[c + 3]);
                r[c + 3] = _mm256_unpackhi_epi64(t[c + 1], t[c + 3]);
            }
            // r[4q + s] holds lanes s (low half) and 4 + s (high half) of
            // components 4q..4q+3.
            for (std::size_t s = 0; s < 4; ++s) {
                t[s] = _mm256_permute2x128_si256(r[s], r[4 + s], 0x20);
                t[4 + s] = _mm256_permute2x128_si256(r[s], r[4 + s], 0x31);
            }
            for (std::size_t j = 0; j < W; ++j) {
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + (l + j) * d + i), t[j]);
            }
        }
    }
    join_columns(hi, lo, d, full, out);
}

void block_portable(const std::uint16_t* hi, const std::uint16_t* lo, std::size_t d, float* out) noexcept {
    join_rows(hi, lo, d, 0, kLanes, out);
}

using BlockFn = void (*)(const std::uint16_t*, const std::uint16_t*, std::size_t, float*) noexcept;

BlockFn block_kernel(detail::KernelId kernel) noexcept {
    if (kernel == detail::KernelId::Avx512 && detail::kernel_supported(detail::KernelId::Avx512)) return block_avx512;
    if (kernel != detail::KernelId::Portable && detail::kernel_supported(detail::KernelId::Avx2)) return block_avx2;
    return block_portable;
}

}  // namespace

void read_vectors(const Vectorstore& store, std::size_t first, std::size_t last, float* out, detail::KernelId kernel) {
    const std::size_t d = store.vector_size();
    if (first >= last || d == 0) return;
    const BlockFn whole_block = block_kernel(kernel);
    const Vectorstore::Tail tail = store.tail();
    const std::size_t sealed_end = std::min(last, tail.first);
    std::size_t p = first;
    if (p < sealed_end) {
        const auto& segments = store.segments();
        // The segment holding `first`: the last one starting at or before it.
        auto seg = std::upper_bound(segments.begin(), segments.end(), p,
                                    [](std::size_t pos, const Segment& s) { return pos < s.first; }) -
                   1;
        while (p < sealed_end) {
            const std::size_t seg_end = std::min(sealed_end, seg->first + seg->blocks * kLanes);
            while (p < seg_end) {
                const std::size_t offset = p - seg->first;
                const std::size_t block = offset / kLanes;
                const std::size_t lane = offset % kLanes;
                const std::size_t lanes_end = std::min(kLanes, lane + (seg_end - p));
                const std::uint16_t* hi = seg->hi() + block * d * kLanes;
                const std::uint16_t* lo = seg->lo() + block * d * kLanes;
                float* row = out + (p - first) * d;
                if (lane == 0 && lanes_end == kLanes) {
                    whole_block(hi, lo, d, row);
                } else {
                    join_rows(hi, lo, d, lane, lanes_end, row);
                }
                p += lanes_end - lane;
            }
            ++seg;
        }
    }
    if (p < last) std::memcpy(out + (p - first) * d, tail.rows + (p - tail.first) * d, (last - p) * d * sizeof(float));
}

void read_vectors(const Vectorstore& store, std::size_t first, std::size_t last, float* out) {
    read_vectors(store, first, last, out, detail::default_scan_options().kernel);
}

void read_ids(const Vectorstore& store, std::size_t first, std::size_t last, std::uint64_t* out) noexcept {
    const auto& segments = store.segments();
    if (first >= last) return;
    auto seg = std::upper_bound(segments.begin(), segments.end(), first,
                                [](std::size_t pos, const Segment& s) { return pos < s.first; }) -
               1;
    for (std::size_t p = first; p < last; ++seg) {
        const std::size_t seg_end = std::min(last, seg->first + seg->blocks * kLanes);
        std::memcpy(out + (p - first), seg->ids() + (p - seg->first), (seg_end - p) * sizeof(std::uint64_t));
        p = seg_end;
    }
}

}  // namespace quillmere
