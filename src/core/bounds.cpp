// The bounds that let a search skip blocks without changing its answer, with
// their proofs, and the per-query constants they need.
//
// Notation. q the query, x a stored vector, d the dimension, u = 2^-24,
// g = d*u / (1 - d*u), S = sum |q_i x_i| <= |q| |x| (Cauchy-Schwarz; |.| the
// real Euclidean norm), r the stored root of x, N = fl(fl(sqrt(qq)) * r) the
// float denominator that the exact score divides by, D the strictly
// sequential float dot product, s = fl(D / N) the exact score.
//
// Both levels end in the same form: an approximate score t and a lane bound
// z, both floats, with U = fl(t + z) and L = fl(t - z) satisfying
//     L - C <= s <= U + C
// for one per-query constant C (`slack`). The scan then prunes the same way
// at either level:
//  P1. A lane with r = 0 scores exactly +0.0 (the metric's zero test): its U
//      and L are 0. Every other lane outside [2^-40, 2^60] (subnormal, huge
//      or non-finite components) has U = +inf and always gets exact scores.
//  P2. A lane can be left out when U + C is below the k-th best exact score
//      w seen so far, or below L' - C where L' is the k-th largest L of
//      distinct bounded lanes seen so far (k distinct entries score at least
//      L' - C). The thresholds prune_threshold(w, C) and
//      prune_threshold(L', 2C) are floats rounded down; a block is skipped
//      only when every lane has U below one of them, so its exact scores are
//      strictly below the range's k-th best: none can even tie it, whatever
//      the order of the blocks. A range search's threshold is
//      prune_threshold(min_score, C): a lane with U below it scores
//      strictly below min_score.
//
// The plane level. h is x rounded to bfloat16 (the high plane), p(h) the
// power of two of h's exponent (h with its mantissa bits cleared), A and P
// the float sums of q_i h_i and |q_i| p(h_i) (any order, FMA allowed),
// t = fl(A / N).
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
//        L - C <= s <= U + C,  C = (1 + u) E + 3.3 u + 2^-146.
// The plane bound is about 2^-8 sum |q_i| p(h_i) / (|q| |x|), typically 0.2%
// of the cosine.
//
// The sketch level. m = max |x_i|, the scale s_x = fl(m / 127), the codes
// c_i = round(fl(x_i * fl(127 / m))) clamped to [-127, 127] (store.cpp); the
// query's step t_q = fl(M / 4095) with M = max |q_i|, its digits p_i in
// [-4095, 4095], and e_q >= |d|_2, the Euclidean norm of the digits' errors
// d_i = q_i - t_q p_i. I = sum c_i p_i, an exact
// integer sum. The bound itself holds for any integer digits (only e_q
// depends on them), but I is exact only while the passes' integer sums
// cannot overflow, which needs |p_i| <= kDigitMax = 4095: the portable pass
// adds at most 511 groups of four products of a biased code (<= 255) and a
// digit in 32 bits, 511 * 4 * 255 * 4095 = 2,134,395,900 < 2^31 (a
// static_assert in passes.cpp), and the AVX2 pass needs the halves
// a_i in [-64, 63], b_i in [0, 63] of p_i = 64 a_i + b_i (bounds.hpp).
//  S1. Codes. For a bounded lane (step 3) m <= |x| <= 2^61 and
//      m >= |x| / sqrt(d) >= 2^-49, so fl(127 / m) and s_x are finite normal
//      floats. With y_i = 127 x_i / m in [-127, 127], fl(x_i fl(127 / m)) is
//      y_i (1 + e) with |e| <= 2.01 u, plus at most 2^-150 from underflow; its
//      magnitude is below 127.5, so clamping never changes the rounded
//      integer: |c_i - y_i| <= 1/2 + 2.01 u 127 + 2^-150. As s_x = (m / 127)
//      (1 + e') with |e'| <= u,
//         |x_i - s_x c_i| <= (m / 127) (1/2 + 2.01 u 127 + 127 u + 2^-150)
//                         <= s_x (1/2 + 2^-15).
//  S2. The real dot product. With e_i = x_i - s_x c_i and
//      d_i = q_i - t_q p_i,
//         sum q_i x_i - s_x t_q I = sum q_i e_i + s_x sum d_i c_i,
//      |sum q_i e_i| <= |q|_1 s_x (1/2 + 2^-15), and by Cauchy-Schwarz and
//      the triangle inequality with S1 (|e|_2 <= sqrt(d) s_x (1/2 + 2^-15)),
//      |s_x sum d_i c_i| <= |d|_2 |s_x c|_2 <= e_q (|x| + sqrt(d) s_x (1/2 + 2^-15)).
//      The root r was computed from the float squared norm, at least
//      (1 - g) |x|^2 minus an underflow that is below 2^-50 of it for a
//      bounded lane, so |x| <= kx r with kx = sqrt((1 + 2^-50) / (1 - g)) / (1 - u).
//      So |sum q_i x_i - s_x t_q I| <= s_x A + r B with
//         A = (1/2 + 2^-15) (|q|_1 + sqrt(d) e_q),  B = e_q kx,
//      both computed in double, rounded up. (Bounding each |d_i| by their
//      maximum instead gives sqrt(d) times that maximum in place of |d|_2,
//      never less: about sqrt(3) times as much for digits that round evenly.)
//      e_q: t_q p_i is exact in double (a float times an integer below 2^13),
//      each difference rounds once (relative 2^-53), the squares and their
//      sequential double sum of d <= 2^16 terms add under (d + 2) 2^-53 < 2^-36
//      relative, and the root 2^-53: the root of the double sum times
//      (1 + 2^-30) is at least |d|_2.
//  S3. Each lane keeps w = fl(s_x / r), in [2^-16, 2^-6] for a bounded lane
//      (m >= |x| / sqrt(d)). The approximate score is
//         t = fl(fl(fl(I) w) c_t),  c_t = fl(t_q / fl(sqrt(qq))),
//      where I is first formed exactly in double. Against
//      t* = s_x t_q I / N it errs by five roundings and N's own, at most
//      6.1 u |t*|, and |t*| <= |sum q_i x_i| / N + F / N <= k + F / N with
//      F = s_x A + r B (S2; F, not step 4's E). From step 2,
//      |D - sum q_i x_i| <= g S + d 2^-149 with S <= k N, and
//      |s - D / N| <= 1.02 u k + 2^-150. So
//         |s - t| <= (F / N) (1 + 6.1 u) + g k + 7.2 u k + 2^-150 + d 2^-149 / N.
//      The last term is not below 2^-148: with N >= 2^-80 (step 3) and
//      d <= 2^16 it is up to d 2^-69. C covers it only because C holds
//      (1 + u) d 2^-66 (step 4's E), which is at least 8 times as much.
//  S4. A lane's bound is z = fl(fl(w A_q) + B_q), with A_q and B_q computed
//      in double and rounded up: A_q >= A (1 + 2^-18) / fl(sqrt(qq)) and
//      B_q >= B (1 + 2^-18) / fl(sqrt(qq)) + 2^-20. As N >= (1 - u) r fl(sqrt(qq))
//      (N is the product r fl(sqrt(qq)) rounded once), 1 / fl(sqrt(qq))
//      >= (1 - u) r / N, and with w's own rounding
//      z >= (F / N) (1 + 2^-18 - 5 u) + 2^-20 (1 - 2u). U = fl(t + z) loses at
//      most u (|t| + z), so U + C - s >= (F / N) (2^-18 - 13.3 u)
//      + 2^-20 - 8.3 u k + C - g k > 0, and the same for L: L - C <= s <= U + C.
//      The additive 2^-20 covers the 8.3 u k of roundings in t, s and U. C
//      already holds 3.3 u + 1.01 g k beyond the g k it covers here, so for
//      d >= 3 even 2^-23 would do; for d <= 2 a smaller constant could fail
//      only with all six roundings at their worst in one direction and a
//      component exactly at a midpoint between codes at once. No test data
//      can show that 2^-20 is needed: 640,000 lanes built for it (d = 2,
//      components just off midpoints, scores near +-1, scales 2^-20 to 2^20)
//      all held with the constant left out entirely.
// The sketch bound is about (s_x / 2) |q|_1 / (|q| |x|), typically 1% of the
// cosine: the sketch rules out most blocks, the planes most of the rest.
#include "bounds.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "metric.hpp"
#include "store.hpp"

namespace quillmere::detail {

namespace {

constexpr double kU = 0x1p-24;

// A dozen double operations, each within 2^-53: 2^-40 covers them all.
constexpr double kDoubleSlack = 1.0 + 0x1p-40;
// The root of a double sum of squares of d <= 2^16 rounded differences
// times this is at least their real Euclidean norm (S2).
constexpr double kErrorSlack = 1.0 + 0x1p-30;

float round_up(double x) {
    float f = static_cast<float>(x);
    if (static_cast<double>(f) < x) f = std::nextafter(f, HUGE_VALF);
    return f;
}

std::uint32_t pack_bytes(const int* bytes) {
    std::uint32_t word = 0;
    for (std::size_t j = 0; j < 4; ++j) word |= std::uint32_t{static_cast<std::uint8_t>(bytes[j])} << (8 * j);
    return word;
}

void prepare_sketch(PreparedQuery& q, double g, double slack_scale) {
    const std::size_t d = q.d;
    float largest = 0.0f;
    double l1 = 0.0;
    for (std::size_t i = 0; i < d; ++i) {
        largest = std::max(largest, std::fabs(q.values[i]));
        l1 += std::fabs(static_cast<double>(q.values[i]));
    }
    q.step = largest / static_cast<float>(kDigitMax);
    q.digits_high.assign(sketch_groups(d), 0u);
    q.digits_low.assign(sketch_groups(d), 0u);
    q.digits_wide.assign(sketch_groups(d), 0u);
    double squares = 0.0;
    long long digit_sum = 0;
    int high[4] = {0, 0, 0, 0}, low[4] = {0, 0, 0, 0};
    for (std::size_t i = 0; i < d; ++i) {
        const double exact = static_cast<double>(q.values[i]) / static_cast<double>(q.step);
        const int p = static_cast<int>(std::clamp(std::nearbyint(exact), double{-kDigitMax}, double{kDigitMax}));
        // p = 64 a + b with b in [0, 63]: a is the floor of p / 64.
        const int a = p >= 0 ? p / 64 : -((-p + 63) / 64);
        high[i % 4] = a;
        low[i % 4] = p - 64 * a;
        q.digits_wide[i / 4] |= std::uint64_t{static_cast<std::uint16_t>(p)} << (16 * (i % 4));
        if (i % 4 == 3 || i + 1 == d) {
            q.digits_high[i / 4] = pack_bytes(high);
            q.digits_low[i / 4] = pack_bytes(low);
            std::fill(high, high + 4, 0);
            std::fill(low, low + 4, 0);
        }
        digit_sum += p;
        // step * p is exact in double, the difference rounds once.
        const double di = static_cast<double>(q.values[i]) - static_cast<double>(q.step) * p;
        squares += di * di;
    }
    q.bias = 128.0 * static_cast<double>(digit_sum);
    const double e_q = std::sqrt(squares) * kErrorSlack;
    const double dd = static_cast<double>(d);
    // A sequential double sum of d <= 2^16 magnitudes errs by less than 2^-30 of it.
    const double q_l1 = l1 * (1.0 + 0x1p-30);
    const double kx = std::sqrt((1.0 + 0x1p-50) / (1.0 - g)) / (1.0 - kU);
    const double a = (0.5 + 0x1p-15) * (q_l1 + std::sqrt(dd) * e_q);
    const double b = e_q * kx;
    const double widen = (1.0 + 0x1p-18) * kDoubleSlack * slack_scale / q.root;
    q.unit_step = q.step / q.root;
    q.scale_term = round_up(a * widen);
    q.root_term = round_up(b * widen + 0x1p-20 * slack_scale);

    // The coarse digits: the same steps S1-S4 with t_q = fl(M / kCoarseDigitMax).
    const float coarse_step = largest / static_cast<float>(kCoarseDigitMax);
    q.coarse_digits.assign(sketch_groups(d), 0u);
    q.coarse_wide.assign(sketch_groups(d), 0u);
    q.coarse_halves.assign(2 * sketch_groups(d), 0u);
    double coarse_squares = 0.0;
    long long coarse_sum = 0;
    int digits[4] = {0, 0, 0, 0}, halves[4] = {0, 0, 0, 0}, ends[4] = {0, 0, 0, 0};
    for (std::size_t i = 0; i < d; ++i) {
        const double exact = static_cast<double>(q.values[i]) / static_cast<double>(coarse_step);
        const int p = static_cast<int>(
            std::clamp(std::nearbyint(exact), double{-kCoarseDigitMax}, double{kCoarseDigitMax}));
        digits[i % 4] = p;
        // p = 2 h + e with e in {0, 1}: h is the floor of p / 2.
        halves[i % 4] = p >= 0 ? p / 2 : -((-p + 1) / 2);
        ends[i % 4] = p - 2 * halves[i % 4];
        q.coarse_wide[i / 4] |= std::uint64_t{static_cast<std::uint16_t>(p)} << (16 * (i % 4));
        if (i % 4 == 3 || i + 1 == d) {
            q.coarse_digits[i / 4] = pack_bytes(digits);
            q.coarse_halves[2 * (i / 4)] = pack_bytes(halves);
            q.coarse_halves[2 * (i / 4) + 1] = pack_bytes(ends);
            std::fill(digits, digits + 4, 0);
            std::fill(halves, halves + 4, 0);
            std::fill(ends, ends + 4, 0);
        }
        coarse_sum += p;
        const double di = static_cast<double>(q.values[i]) - static_cast<double>(coarse_step) * p;
        coarse_squares += di * di;
    }
    const double coarse_e_q = std::sqrt(coarse_squares) * kErrorSlack;
    q.coarse_bias = static_cast<std::int32_t>(128 * coarse_sum);
    q.coarse_unit_step = coarse_step / q.root;
    q.coarse_scale_term = round_up((0.5 + 0x1p-15) * (q_l1 + std::sqrt(dd) * coarse_e_q) * widen);
    q.coarse_root_term = round_up(coarse_e_q * kx * widen + 0x1p-20 * slack_scale);
}

}  // namespace

PreparedQuery prepare_query(const float* query, std::size_t d, double slack_scale, bool sketch) {
    PreparedQuery q;
    q.values = query;
    q.d = d;
    q.root = std::sqrt(sequential_dot(query, query, d));
    if (d == 0 || d > kMaxPrunedDimension || !(q.root >= kMinRoot && q.root <= kMaxRoot)) return q;
    q.bounded = true;
    const double u = kU;
    const double dd = static_cast<double>(d);
    const double g = dd * u / (1.0 - dd * u);
    const double k = (1.0 + dd * 0x1p-68) / ((1.0 - g) * (1.0 - u) * (1.0 - u) * (1.0 - u));
    const double e = k * (2.01 * g + std::sqrt(dd) * 0x1p-92) + dd * 0x1p-66;
    const double c = (1.0 + u) * e + 3.3 * u + 0x1p-146;
    const double c1 = 0x1p-8 * (1.0 + u) / ((1.0 - g) * (1.0 - u) * (1.0 - u)) * kDoubleSlack;
    // slack_scale shrinks the bound of the level the scan starts at, and only that one.
    const double plane_scale = sketch ? 1.0 : slack_scale;
    q.slack = c * kDoubleSlack * plane_scale;
    q.c1 = round_up(c1) * static_cast<float>(plane_scale);
    // 1.02 (1 + u)^2 < 1.021, and the product is rounded up.
    q.z_max = std::nextafter(q.c1 * 1.021f, HUGE_VALF);
    if (sketch) prepare_sketch(q, g, slack_scale);
    return q;
}

}  // namespace quillmere::detail
