// The scoring kernel and the bounded top-k selection: the whole hot path of
// both searches.
//
// Lane-parallel scoring: each of the kLanes lanes of a block accumulates the
// dot product of the query with its own stored vector, one component at a
// time from index 0, exactly as the scalar metric does. SIMD add, multiply,
// divide and square root are correctly rounded, so every lane produces the
// scalar metric's bits. The same body is compiled for several instruction
// sets and one is picked once, at first use.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "metric.hpp"
#include "search.hpp"

namespace quillmere::detail {
namespace {

// Keeps the best k hits seen so far as a heap whose top is the worst of them.
class BoundedHeap {
public:
    BoundedHeap(std::vector<Hit>& hits, std::size_t k) noexcept : hits_(hits), k_(k) {}

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

struct ScanArgs {
    const float* query;
    std::size_t d;
    float query_norm;  // squared norm
    const float* data;
    const float* roots;
    std::size_t block_begin, block_end;
    std::size_t segment_first;
    std::size_t first, last;
    std::size_t tail_first;    // store position of the partly filled block, if any
    const float* tail_roots;   // its roots, computed for this search
};

__attribute__((always_inline)) inline void scan_blocks_body(const ScanArgs& a, BoundedHeap& heap) {
    const bool query_zero = a.query_norm == 0.0f;
    const float query_root = std::sqrt(a.query_norm);
    alignas(64) float scores[kLanes];
    for (std::size_t b = a.block_begin; b < a.block_end; ++b) {
        const float* x = a.data + b * a.d * kLanes;
        float dot[kLanes];
        for (std::size_t l = 0; l < kLanes; ++l) dot[l] = -0.0f;
        for (std::size_t i = 0; i < a.d; ++i) {
            const float qi = a.query[i];
            const float* xi = x + i * kLanes;
            for (std::size_t l = 0; l < kLanes; ++l) dot[l] += qi * xi[l];
        }
        const std::size_t base = a.segment_first + b * kLanes;
        const float* r = base == a.tail_first ? a.tail_roots : a.roots + b * kLanes;
        for (std::size_t l = 0; l < kLanes; ++l) {
            const float s = dot[l] / (query_root * r[l]);
            scores[l] = (query_zero || r[l] == 0.0f) ? 0.0f : s;
        }
        if (heap.block_may_enter(scores)) {
            heap.offer_block(scores, base, a.first, a.last);
        }
    }
}

__attribute__((target("avx512f,prefer-vector-width=512"))) void scan_avx512(const ScanArgs& a, BoundedHeap& h) {
    scan_blocks_body(a, h);
}
__attribute__((target("avx2"))) void scan_avx2(const ScanArgs& a, BoundedHeap& h) { scan_blocks_body(a, h); }
void scan_portable(const ScanArgs& a, BoundedHeap& h) { scan_blocks_body(a, h); }

using ScanFn = void (*)(const ScanArgs&, BoundedHeap&);
struct Kernel {
    ScanFn fn;
    const char* name;
};

Kernel pick_kernel() noexcept {
    __builtin_cpu_init();
    const bool has512 = __builtin_cpu_supports("avx512f");
    const bool has2 = __builtin_cpu_supports("avx2");
    const char* forced = std::getenv("QUILLMERE_KERNEL");
    const bool force_portable = forced != nullptr && std::strcmp(forced, "portable") == 0;
    const bool force_avx2 = forced != nullptr && std::strcmp(forced, "avx2") == 0;
    if (has512 && !force_portable && !force_avx2) return {scan_avx512, "avx512"};
    if (has2 && !force_portable) return {scan_avx2, "avx2"};
    return {scan_portable, "portable"};
}

const Kernel& kernel() noexcept {
    static const Kernel chosen = pick_kernel();
    return chosen;
}

}  // namespace

const char* kernel_name() noexcept { return kernel().name; }

void scan_range(const Vectorstore& store, const float* query, std::size_t top_k, std::size_t first,
                std::size_t last, std::vector<Hit>& out) {
    out.clear();
    if (top_k == 0 || first >= last) return;
    const std::size_t d = store.vector_size();
    BoundedHeap heap(out, top_k);
    alignas(64) float tail_roots[kLanes];
    const std::size_t tail_first = store.tail_roots(tail_roots);
    ScanArgs args{query, d, sequential_dot(query, query, d), nullptr, nullptr, 0, 0, 0, first, last,
                  tail_first, tail_roots};
    const ScanFn scan = kernel().fn;
    for (const Segment& seg : store.segments()) {
        const std::size_t seg_end = seg.first + seg.blocks * kLanes;
        if (seg_end <= first) continue;
        if (seg.first >= last) break;
        const std::size_t from = std::max(first, seg.first) - seg.first;
        const std::size_t to = std::min(last, seg_end) - seg.first;
        args.data = seg.data.as<float>();
        args.roots = seg.roots.as<float>();
        args.block_begin = from / kLanes;
        args.block_end = (to + kLanes - 1) / kLanes;
        args.segment_first = seg.first;
        scan(args, heap);
    }
    std::sort_heap(out.begin(), out.end(), ranks_before);
}

}  // namespace quillmere::detail
