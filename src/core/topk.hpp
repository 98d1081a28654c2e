// The bookkeeping of a scan: the best k exact hits so far, the k best lower
// bounds so far, and the pruning threshold they give.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "search.hpp"
#include "store.hpp"

namespace quillmere::detail {

// Keeps the best k hits seen so far as a heap whose top is the worst of them.
class BoundedHeap {
public:
    BoundedHeap(std::vector<Hit>& hits, std::size_t k) noexcept : hits_(hits), k_(k) {}

    bool full_of_numbers() const noexcept { return hits_.size() == k_ && hits_.front().score == hits_.front().score; }
    float worst() const noexcept { return hits_.front().score; }

    // Cheap test run on every block whose lane 0 is store position `base`:
    // can any of its scores enter? Blocks are not always offered in store
    // order (a deferred block comes after later ones), so a score equal to
    // the worst may still enter by its earlier position, and so may a NaN
    // when the worst is NaN: offer() decides those by the full ranking. A
    // block wholly after the worst's position cannot win a tie, so there only
    // a score that ranks strictly better may enter; that keeps stores of
    // identical or NaN scores, where every lane ties the worst, from paying
    // offer() for every lane.
    bool block_may_enter(const float* scores, std::size_t base) const noexcept {
        if (hits_.size() < k_) return true;
        const float worst = hits_.front().score;
        const bool after = base > hits_.front().position;
        bool any = false;
        if (worst != worst) {
            if (!after) return true;
            for (std::size_t l = 0; l < kLanes; ++l) any |= scores[l] == scores[l];
        } else if (after) {
            for (std::size_t l = 0; l < kLanes; ++l) any |= scores[l] > worst;
        } else {
            for (std::size_t l = 0; l < kLanes; ++l) any |= scores[l] >= worst;
        }
        return any;
    }

    // Offers the lanes of a block whose lane 0 is store position `base`,
    // those whose bit is set in `lanes` only.
    __attribute__((noinline)) void offer_block(const float* scores, std::size_t base, std::uint32_t lanes) noexcept {
        for (std::size_t l = 0; l < kLanes; ++l) {
            if ((lanes >> l & 1u) != 0) offer(Hit{scores[l], base + l});
        }
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

// The k largest lower bounds L of distinct bounded entries seen so far, as a
// min-heap: k distinct entries of the range score at least kth() - C. Each
// entry must be offered at most once.
class LowerBoundHeap {
public:
    // `entries`: how many entries can be offered at most (k may be larger).
    LowerBoundHeap(std::size_t k, std::size_t entries) : k_(k) { values_.reserve(std::min(k, entries)); }

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

// The largest float f with f <= worst - slack, computed without rounding up
// (worst is a score, or a range search's min_score as given).
inline float prune_threshold(double worst, double slack) noexcept {
    // Round-to-nearest in double can land above the real difference by at
    // most half an ulp; one step down is at or below it.
    const double g = std::nextafter(worst - slack, -HUGE_VAL);
    float f = static_cast<float>(g);
    if (static_cast<double>(f) > g) f = std::nextafter(f, -HUGE_VALF);
    return f;
}

}  // namespace quillmere::detail
