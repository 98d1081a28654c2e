// The store: identified float32 vectors of one fixed length, in insertion order.
//
// Layout. Vectors live in blocks of kLanes vectors; inside a block the data is
// component-major, so component i of the vector in lane l of block b sits at
// index (b * d + i) * kLanes + l. The scoring kernel then gives every SIMD lane
// its own stored vector and keeps each vector's sums strictly sequential.
// Blocks are grouped into segments that are never moved or resized: appending
// never copies stored data, and memory stays close to 4 * n * d bytes.
//
// Each float is kept as two 16-bit halves in two planes of that shape. The
// high plane holds the float's top 16 bits rounded to nearest at bit 16 (the
// value rounded to bfloat16: sign, exponent, 7 mantissa bits), the low plane
// its low 16 bits unchanged. The float's bits are the high half shifted up
// plus the low half read as a signed 16-bit number, modulo 2^32: exact for
// every bit pattern (a rounded-up high half is balanced by a negative low
// half). One row of a block in one plane is 64 bytes, one cache line, and a
// search can read the high plane alone to decide whether a block needs its
// exact scores at all.
//
// Beside each vector the segment keeps its id and the float32 square root of
// its squared norm (the same bits the metric would compute on every search).
//
// A third, smaller copy of every vector is its sketch: one signed 8-bit code
// per component, c_i = round(x_i / s) in [-127, 127] with the vector's own
// scale s = fl(max_i |x_i| / 127), which is kept beside the id as s over the
// root. Codes are stored biased by 128 (an unsigned byte), four consecutive
// components of one lane in one 32-bit word, so that integer dot-product
// instructions take a lane's four codes at once: group g (components
// 4g..4g+3) of a block is 32 words, 128 bytes, and the last group's unused
// bytes are never read into a sum (the query's digits there are 0). A search reads the sketch first, a
// quarter of the bytes, and the planes only where the sketch cannot decide.
//
// The vectors of the one partly filled block at the tail wait in a staging
// buffer, one vector's components together, so that an insert writes its
// vector in one sequential run. When the block fills, it is moved into the
// planes in one pass that writes whole rows and computes the roots; the
// searches score the staged vectors directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "outcome.hpp"

namespace quillmere {

inline constexpr std::size_t kLanes = 32;
inline constexpr std::size_t kGroup = 4;  // components per sketch word

inline constexpr std::size_t sketch_groups(std::size_t d) noexcept { return (d + kGroup - 1) / kGroup; }

inline std::uint32_t float_bits(float x) noexcept {
    std::uint32_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}
inline float float_from_bits(std::uint32_t b) noexcept {
    float x;
    std::memcpy(&x, &b, sizeof x);
    return x;
}
inline std::uint16_t high_half(std::uint32_t bits) noexcept {
    return static_cast<std::uint16_t>((bits + 0x8000u) >> 16);  // wraps to 0 only above 0xFFFF7FFF
}
inline float join_halves(std::uint16_t hi, std::uint16_t lo) noexcept {
    return float_from_bits((std::uint32_t{hi} << 16) + static_cast<std::uint32_t>(static_cast<std::int16_t>(lo)));
}

// Zero-filled, 64-byte aligned array that frees itself. Large ones are
// mapped directly, aligned for transparent huge pages: a store is written
// once, front to back, and small pages would cost one fault per 4 KiB.
class ZeroedBuffer {
public:
    ZeroedBuffer() = default;
    explicit ZeroedBuffer(std::size_t bytes);  // throws std::bad_alloc
    ZeroedBuffer(ZeroedBuffer&& other) noexcept
        : raw_(std::exchange(other.raw_, nullptr)), data_(other.data_), mapped_(other.mapped_) {}
    ZeroedBuffer& operator=(ZeroedBuffer&& other) noexcept;
    ZeroedBuffer(const ZeroedBuffer&) = delete;
    ZeroedBuffer& operator=(const ZeroedBuffer&) = delete;
    ~ZeroedBuffer();

    template <class T>
    T* as() const noexcept { return static_cast<T*>(data_); }

private:
    void release() noexcept;

    void* raw_ = nullptr;
    void* data_ = nullptr;
    std::size_t mapped_ = 0;  // bytes mapped at raw_, or 0 when from calloc
};

// A run of whole blocks and everything kept about them. The three streamed
// arrays share one mapping, each 64-byte aligned: one run of huge pages,
// whose only small ones are its last, partial 2 MiB. The small per-vector
// arrays have an allocation of their own, so that in a segment still being
// filled they do not each hold a huge page that is mostly empty.
struct Segment {
    Segment(std::size_t first_position, std::size_t block_count, std::size_t d);  // throws std::bad_alloc

    std::size_t first;   // store position of lane 0 of the segment's first block
    std::size_t blocks;  // capacity in blocks

    std::uint16_t* hi() const noexcept { return streamed.as<std::uint16_t>(); }  // blocks * d * kLanes high halves
    std::uint16_t* lo() const noexcept { return at<std::uint16_t>(streamed, lo_at); }  // and the low halves
    // blocks * sketch_groups(d) * kLanes words of four biased codes
    std::uint32_t* sketch() const noexcept { return at<std::uint32_t>(streamed, sketch_at); }
    float* roots() const noexcept { return per_vector.as<float>(); }  // sqrt of each vector's squared norm
    // fl(s / r): each vector's sketch scale over its root
    float* unit_scales() const noexcept { return at<float>(per_vector, unit_scales_at); }
    std::uint64_t* ids() const noexcept { return at<std::uint64_t>(per_vector, ids_at); }

private:
    template <class T>
    static T* at(const ZeroedBuffer& buffer, std::size_t offset) noexcept {
        return reinterpret_cast<T*>(buffer.as<char>() + offset);
    }

    std::size_t lo_at, sketch_at, unit_scales_at, ids_at;  // byte offsets
    ZeroedBuffer streamed;
    ZeroedBuffer per_vector;
};

class Vectorstore {
public:
    explicit Vectorstore(std::size_t vector_size) noexcept : vector_size_(vector_size) {}
    Vectorstore(Vectorstore&&) noexcept = default;
    Vectorstore& operator=(Vectorstore&&) noexcept = default;

    // Builds a store from initial pairs; the first pair of the wrong length is reported.
    static Outcome<Vectorstore> create(std::size_t vector_size,
                                       const std::vector<std::pair<std::vector<float>, std::uint64_t>>& pairs);

    // Appends one entry, or returns the length error and leaves the store unchanged.
    // Throws std::bad_alloc when a new segment cannot be allocated (store unchanged).
    std::optional<Error> insert(const float* vector, std::size_t length, std::uint64_t id);

    std::size_t vector_size() const noexcept { return vector_size_; }
    std::size_t size() const noexcept { return size_; }
    const std::vector<Segment>& segments() const noexcept { return segments_; }
    std::uint64_t id_at(std::size_t position) const noexcept;

    // The vectors of the partly filled last block: `count` of them from store
    // position `first`, vector j at rows[j * vector_size()]. count is 0 (and
    // first is size()) when every block is full.
    struct Tail {
        std::size_t first;
        std::size_t count;
        const float* rows;
    };
    Tail tail() const noexcept;

    static std::string length_error(std::size_t length, std::size_t expected);

private:
    std::size_t capacity() const noexcept;
    void grow();
    void seal_block(Segment& seg, std::size_t block) noexcept;

    std::size_t vector_size_;
    std::size_t size_ = 0;
    std::vector<Segment> segments_;
    ZeroedBuffer staging_;  // kLanes vectors, allocated with the first insert
};

}  // namespace quillmere
