// Cosine similarity in exact float32 arithmetic.
//
// Every score in the system must be the same 32 bits wherever it is computed,
// so each sum is strictly sequential from index 0 with one accumulator that
// starts at -0.0, each product and sum rounded to float32. This only holds
// when the translation unit is compiled with -ffp-contract=off (no FMA).
#pragma once

#include <cmath>
#include <cstddef>
#include <limits>
#include <string>

#include "outcome.hpp"

namespace quillmere {

inline float sequential_dot(const float* a, const float* b, std::size_t n) noexcept {
    float acc = -0.0f;
    for (std::size_t i = 0; i < n; ++i) acc += a[i] * b[i];
    return acc;
}

// Which NaN an operation returns when both operands are NaN (or one is NaN and
// the other makes a new one, as inf * 0 does) depends on the order of the
// operands in the instruction, which compilers choose freely: every scorer
// returns this one NaN instead, so NaN scores have the same bits everywhere.
inline float one_nan(float score) noexcept {
    return score == score ? score : std::numeric_limits<float>::quiet_NaN();
}

// The final step, shared by every scorer. The zero tests use ordered equality:
// -0.0 is zero, NaN is not. A zero vector on either side scores +0.0.
inline float cosine_from_sums(float dot, float aa, float bb) noexcept {
    if (aa == 0.0f) return 0.0f;
    if (bb == 0.0f) return 0.0f;
    return one_nan(dot / (std::sqrt(aa) * std::sqrt(bb)));
}

// The final step with stored roots, as the searches take it: a zero root on
// either side scores +0.0 (a root is 0 exactly when its squared norm is), and
// a NaN is one_nan(). Divided unconditionally, so that loops over lanes vectorise.
inline float lane_score(float dot, float query_root, float root) noexcept {
    const float s = one_nan(dot / (query_root * root));
    return (query_root == 0.0f || root == 0.0f) ? 0.0f : s;
}

// Equal lengths assumed (the searches validate the query first).
inline float cosine_unchecked(const float* a, const float* b, std::size_t n) noexcept {
    if (n == 0) return 0.0f;
    const float dot = sequential_dot(a, b, n);
    const float aa = sequential_dot(a, a, n);
    const float bb = sequential_dot(b, b, n);
    return cosine_from_sums(dot, aa, bb);
}

inline Outcome<float> cosine_similarity(const float* a, std::size_t a_len, const float* b,
                                        std::size_t b_len) {
    if (a_len != b_len) {
        return Error{ErrorKind::Value, "vectors have different dimensions (" + std::to_string(a_len) +
                                           " vs " + std::to_string(b_len) + ")"};
    }
    return cosine_unchecked(a, b, a_len);
}

}  // namespace quillmere
