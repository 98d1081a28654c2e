#include "store.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <sys/mman.h>
#include <cstring>
#include <limits>
#include <new>
#include <string>

namespace quillmere {

namespace {

// Segments double from one block up to about this many bytes, so small stores
// stay small and large ones are a handful of big, never-moving mappings,
// almost all of them huge pages.
constexpr std::size_t kSegmentBytes = std::size_t{64} << 20;
constexpr std::size_t kAlign = 64;
constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kPage = 4096;
constexpr std::size_t kHugeThreshold = kHugePage;  // the sketch of a full segment is past it too

std::size_t checked_mul(std::size_t a, std::size_t b) {
    std::size_t r;
    if (__builtin_mul_overflow(a, b, &r)) throw std::bad_alloc();
    return r;
}

}  // namespace

ZeroedBuffer::ZeroedBuffer(std::size_t bytes) {
    if (bytes >= kHugeThreshold) {
        // Map one huge page more than needed, then trim so the data starts on
        // a huge-page boundary. Fresh anonymous pages read as zero. The
        // length is only rounded to small pages: the kernel backs the last,
        // partial 2 MiB with small pages, so no buffer wastes up to a huge page.
        const std::size_t length = (bytes + kPage - 1) / kPage * kPage;
        if (length < bytes || length + kHugePage < length) throw std::bad_alloc();
        void* p = mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) throw std::bad_alloc();
        const auto addr = reinterpret_cast<std::uintptr_t>(p);
        const std::uintptr_t aligned = (addr + kHugePage - 1) & ~(std::uintptr_t{kHugePage} - 1);
        if (aligned > addr) munmap(p, aligned - addr);
        const std::size_t tail = addr + length + kHugePage - (aligned + length);
        if (tail > 0) munmap(reinterpret_cast<void*>(aligned + length), tail);
        madvise(reinterpret_cast<void*>(aligned), length, MADV_HUGEPAGE);
        raw_ = data_ = reinterpret_cast<void*>(aligned);
        mapped_ = length;
        return;
    }
    // calloc leaves large allocations as untouched zero pages, so the unused
    // tail of a fresh segment costs no resident memory.
    const std::size_t total = bytes + kAlign;
    if (total < bytes) throw std::bad_alloc();
    raw_ = std::calloc(total, 1);
    if (raw_ == nullptr) throw std::bad_alloc();
    auto addr = reinterpret_cast<std::uintptr_t>(raw_);
    data_ = reinterpret_cast<void*>((addr + kAlign - 1) & ~(std::uintptr_t{kAlign} - 1));
}

void ZeroedBuffer::release() noexcept {
    if (mapped_ != 0) {
        munmap(raw_, mapped_);
    } else {
        std::free(raw_);
    }
    raw_ = nullptr;
    mapped_ = 0;
}

ZeroedBuffer& ZeroedBuffer::operator=(ZeroedBuffer&& other) noexcept {
    if (this != &other) {
        release();
        raw_ = std::exchange(other.raw_, nullptr);
        data_ = other.data_;
        mapped_ = std::exchange(other.mapped_, 0);
    }
    return *this;
}

ZeroedBuffer::~ZeroedBuffer() { release(); }

std::string Vectorstore::length_error(std::size_t length, std::size_t expected) {
    return "vector has length " + std::to_string(length) + " but vectorstore expects " + std::to_string(expected);
}

namespace {

std::size_t aligned_up(std::size_t bytes) {
    if (bytes > std::numeric_limits<std::size_t>::max() - kAlign) throw std::bad_alloc();
    return (bytes + kAlign - 1) / kAlign * kAlign;
}

}  // namespace

Segment::Segment(std::size_t first_position, std::size_t block_count, std::size_t d)
    : first(first_position), blocks(block_count) {
    const std::size_t lanes = checked_mul(block_count, kLanes);
    const std::size_t plane = aligned_up(checked_mul(checked_mul(lanes, d), sizeof(std::uint16_t)));
    const std::size_t sketch = checked_mul(checked_mul(lanes, sketch_groups(d)), kGroup);
    lo_at = plane;
    sketch_at = lo_at + plane;
    if (sketch_at < plane || sketch_at + sketch < sketch_at) throw std::bad_alloc();
    const std::size_t floats = aligned_up(checked_mul(lanes, sizeof(float)));
    unit_scales_at = floats;
    ids_at = 2 * floats;
    streamed = ZeroedBuffer(sketch_at + sketch);
    per_vector = ZeroedBuffer(ids_at + checked_mul(lanes, sizeof(std::uint64_t)));
}

std::size_t Vectorstore::capacity() const noexcept {
    if (segments_.empty()) return 0;
    const Segment& last = segments_.back();
    return last.first + last.blocks * kLanes;
}

void Vectorstore::grow() {
    const std::size_t sketch_bytes = sketch_groups(vector_size_) * kGroup;
    const std::size_t block_bytes = kLanes * (vector_size_ * sizeof(float) + sketch_bytes + 2 * sizeof(float) +
                                              sizeof(std::uint64_t));
    const std::size_t max_blocks = std::max<std::size_t>(1, kSegmentBytes / std::max<std::size_t>(block_bytes, 1));
    const std::size_t blocks = segments_.empty() ? 1 : std::min(max_blocks, segments_.back().blocks * 2);
    segments_.reserve(segments_.size() + 1);
    segments_.emplace_back(capacity(), blocks, vector_size_);
}

std::optional<Error> Vectorstore::insert(const float* vector, std::size_t length, std::uint64_t id) {
    if (length != vector_size_) return Error{ErrorKind::Value, length_error(length, vector_size_)};
    if (staging_.as<float>() == nullptr) staging_ = ZeroedBuffer(checked_mul(kLanes * sizeof(float), vector_size_));
    if (size_ == capacity()) grow();
    Segment& seg = segments_.back();
    const std::size_t offset = size_ - seg.first;
    const std::size_t lane = offset % kLanes;
    if (length != 0) std::memcpy(staging_.as<float>() + lane * length, vector, length * sizeof(float));
    seg.ids()[offset] = id;
    if (lane == kLanes - 1) seal_block(seg, offset / kLanes);
    ++size_;
    return std::nullopt;
}

namespace {

// One group of kCount consecutive components of a staged block (vector l at
// rows[l * d]): their rows of both planes, their sketch word for each lane,
// and each lane's squared norm carried on in component order.
//
// Sketch codes: c = round(x * fl(127 / m)) with m = max |x_i|, clamped to
// [-127, 127] (a NaN product becomes -127, so that the conversion to an
// integer is always defined), stored as c + 128. For a vector with a root in
// the range that searches bound, the codes satisfy |x_i - s c_i| <=
// s (1/2 + 2^-15) with s = fl(m / 127); the proof is with the sketch bound in
// bounds.cpp. Other vectors get codes that no bound reads.
template <std::size_t kCount>
__attribute__((always_inline)) inline void seal_group(const float* rows, std::size_t d, std::size_t first,
                                                      const float* inverse, float* norm, std::uint16_t* hi,
                                                      std::uint16_t* lo, std::uint32_t* words) {
    // Adding and subtracting 1.5 * 2^23 rounds any |v| <= 2^22 to the nearest integer.
    constexpr float kRound = 0x1.8p23f;
    for (std::size_t l = 0; l < kLanes; ++l) {
        std::uint32_t word = 0;
        float sum = norm[l];
        for (std::size_t j = 0; j < kCount; ++j) {
            const std::size_t i = first + j;
            const float x = rows[l * d + i];
            sum += x * x;
            const std::uint32_t b = float_bits(x);
            hi[i * kLanes + l] = high_half(b);
            lo[i * kLanes + l] = static_cast<std::uint16_t>(b);
            float v = x * inverse[l];
            v = v > -127.0f ? v : -127.0f;
            v = v < 127.0f ? v : 127.0f;
            word |= static_cast<std::uint32_t>(static_cast<int>((v + kRound) - kRound) + 128) << (8 * j);
        }
        norm[l] = sum;
        words[l] = word;
    }
}

// Moves a staged block into the planes and the sketch, and computes its
// roots on the way: each lane's squared norm summed strictly in order from
// component 0, so the bits equal the scalar metric's. Compiled for several
// instruction sets below; every one gives the same bits.
__attribute__((always_inline)) inline void seal_body(const float* rows, std::size_t d, std::uint16_t* hi,
                                                     std::uint16_t* lo, std::uint32_t* words, float* roots,
                                                     float* unit_scales) noexcept {
    // Each vector's largest magnitude, for its sketch scale. Magnitudes
    // compare as their bit patterns, an integer maximum that vectorises; a
    // NaN component wins (such a vector's root is NaN too, and no bound reads
    // its sketch).
    float largest[kLanes], norm[kLanes], inverse[kLanes];
    for (std::size_t l = 0; l < kLanes; ++l) {
        std::int32_t bits = 0;
        for (std::size_t i = 0; i < d; ++i) {
            const auto b = static_cast<std::int32_t>(float_bits(rows[l * d + i]) & 0x7FFFFFFFu);
            bits = b > bits ? b : bits;
        }
        largest[l] = float_from_bits(static_cast<std::uint32_t>(bits));
        norm[l] = -0.0f;
        inverse[l] = 127.0f / largest[l];
    }
    const std::size_t full = d / kGroup;
    for (std::size_t g = 0; g < full; ++g) seal_group<kGroup>(rows, d, g * kGroup, inverse, norm, hi, lo, words + g * kLanes);
    std::uint32_t* last = words + full * kLanes;
    switch (d % kGroup) {
        case 1: seal_group<1>(rows, d, full * kGroup, inverse, norm, hi, lo, last); break;
        case 2: seal_group<2>(rows, d, full * kGroup, inverse, norm, hi, lo, last); break;
        case 3: seal_group<3>(rows, d, full * kGroup, inverse, norm, hi, lo, last); break;
        default: break;
    }
    for (std::size_t l = 0; l < kLanes; ++l) {
        roots[l] = std::sqrt(norm[l]);
        unit_scales[l] = (largest[l] / 127.0f) / roots[l];
    }
}

using SealFn = void (*)(const float*, std::size_t, std::uint16_t*, std::uint16_t*, std::uint32_t*, float*, float*);

#define QUILLMERE_SEAL(name, isa)                                                                             \
    isa void name(const float* rows, std::size_t d, std::uint16_t* hi, std::uint16_t* lo, std::uint32_t* words,   \
              float* roots, float* unit_scales) noexcept {                                                    \
        seal_body(rows, d, hi, lo, words, roots, unit_scales);                                                \
    }
QUILLMERE_SEAL(seal_avx512, __attribute__((target("avx512f,avx512bw,prefer-vector-width=512"))))
QUILLMERE_SEAL(seal_avx2, __attribute__((target("avx2"))))
QUILLMERE_SEAL(seal_baseline, )

SealFn pick_seal() noexcept {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw")) return seal_avx512;
    if (__builtin_cpu_supports("avx2")) return seal_avx2;
    return seal_baseline;
}

void seal_rows(const float* rows, std::size_t d, std::uint16_t* hi, std::uint16_t* lo, std::uint32_t* words,
               float* roots, float* unit_scales) noexcept {
    static const SealFn seal = pick_seal();
    seal(rows, d, hi, lo, words, roots, unit_scales);
}

}  // namespace

void Vectorstore::seal_block(Segment& seg, std::size_t block) noexcept {
    const std::size_t d = vector_size_;
    seal_rows(staging_.as<float>(), d, seg.hi() + block * d * kLanes, seg.lo() + block * d * kLanes,
              seg.sketch() + block * sketch_groups(d) * kLanes, seg.roots() + block * kLanes,
              seg.unit_scales() + block * kLanes);
}

Outcome<Vectorstore> Vectorstore::create(std::size_t vector_size,
                                         const std::vector<std::pair<std::vector<float>, std::uint64_t>>& pairs) {
    Vectorstore store(vector_size);
    for (const auto& [vector, id] : pairs) {
        if (auto error = store.insert(vector.data(), vector.size(), id)) return *error;
    }
    return store;
}

Vectorstore::Tail Vectorstore::tail() const noexcept {
    const std::size_t count = size_ % kLanes;
    return {size_ - count, count, staging_.as<float>()};
}

std::uint64_t Vectorstore::id_at(std::size_t position) const noexcept {
    auto it = std::upper_bound(segments_.begin(), segments_.end(), position,
                               [](std::size_t pos, const Segment& seg) { return pos < seg.first; });
    const Segment& seg = *(it - 1);
    return seg.ids()[position - seg.first];
}

}  // namespace quillmere
