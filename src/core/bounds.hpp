// What a search needs to know about its query before it reads a block: the
// constants of the two proven bounds (the plane level's and the sketch
// level's) and the query's integer digits for the sketch. The proofs are in
// bounds.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quillmere::detail {

// The bounds cover lanes and queries whose roots lie in [kMinRoot, kMaxRoot],
// and dimensions up to kMaxPrunedDimension; anything else is scored exactly.
inline constexpr float kMinRoot = 0x1p-40f;
inline constexpr float kMaxRoot = 0x1p60f;
inline constexpr std::size_t kMaxPrunedDimension = std::size_t{1} << 16;

// A query's digits: q_i is about step * p_i with p_i = 64 a_i + b_i in
// [-kDigitMax, kDigitMax], a_i in [-64, 63], b_i in [0, 63]. Small enough that
// a product of a stored code (at most 255) with a pair of digits of one kind
// fits a signed 16-bit sum, which the AVX2 kernel relies on.
inline constexpr int kDigitMax = 4095;
// A batch's coarse digits: one signed byte each. VNNI, AMX and the portable
// pass multiply them as they are; AVX2's vpmaddubsw, whose pairs of products
// must fit a signed 16-bit sum, takes each as p = 2 h + e with h in
// [-64, 63] and e in {0, 1} (2 * 255 * 64 < 2^15).
inline constexpr int kCoarseDigitMax = 127;

struct PreparedQuery {
    const float* values;
    std::size_t d;
    float root;  // fl(sqrt(sequential sum of q_i^2)): the metric's own root
    // True when the bounds hold for this query: otherwise every block is scored exactly.
    bool bounded = false;
    double slack = 0.0;  // C: the bounds' constant part
    // Plane level.
    float c1 = 0.0f;     // a lane's z = fl(c1 * fl(P / N))
    float z_max = 0.0f;  // no lane's z is larger
    // Sketch level (empty digits when the scan does not read the sketch).
    std::vector<std::uint32_t> digits_high;  // per group of 4 components: a_i as 4 signed bytes
    std::vector<std::uint32_t> digits_low;   // the same for b_i
    std::vector<std::uint64_t> digits_wide;  // the same for p_i, as 4 signed 16-bit numbers
    float step = 0.0f;       // t_q: q_i is about t_q p_i
    double bias = 0.0;       // 128 * sum p_i: the codes' bias, taken back out of the integer sums
    float unit_step = 0.0f;  // fl(t_q / root)
    float scale_term = 0.0f; // a lane's z is fl(fl(w * scale_term) + root_term), w = fl(s / r)
    float root_term = 0.0f;
    // The coarse sketch level of a batch: the same terms for the coarse digits.
    std::vector<std::uint32_t> coarse_digits;  // per group of 4 components: p_i as 4 signed bytes
    std::vector<std::uint64_t> coarse_wide;    // the same as 4 signed 16-bit numbers
    std::vector<std::uint32_t> coarse_halves;  // per group: h_i as 4 signed bytes, then e_i
    std::int32_t coarse_bias = 0;  // 128 * sum p_i, below 2^30 in size (128 * 127 * 2^16)
    float coarse_unit_step = 0.0f;
    float coarse_scale_term = 0.0f;
    float coarse_root_term = 0.0f;
};

// `sketch` asks for the sketch digits. `slack_scale` multiplies the bound of
// the first level the scan reads, the sketch's or the high plane's (tests
// shrink one at a time, to show that their data is sharp for each).
PreparedQuery prepare_query(const float* query, std::size_t d, double slack_scale, bool sketch);

}  // namespace quillmere::detail
