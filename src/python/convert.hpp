// Conversions of Python arguments into the core's values.
//
// The rule a caller observes is the general one: refuse str, require the
// sequence protocol, ask the length as a capacity hint, then iterate and
// convert each item with float() semantics, narrowed to float32. Fast paths
// for exact lists, tuples and one-dimensional buffers give exactly the values
// and errors that rule gives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include "pyref.hpp"

namespace quillmere::py {

// Replaces the contents of `out` with the converted vector.
void to_float_vector(PyObject* obj, std::vector<float>& out);
std::vector<float> to_float_vector(PyObject* obj);

std::uint64_t to_identifier(PyObject* obj);
std::size_t to_count(PyObject* obj);
// Null (not given) or None: no count.
std::optional<std::size_t> to_optional_count(PyObject* obj);

// A start or stop of a read-back range: any integer (through __index__)
// that is not negative, else ValueError "{name} must be at least 0, got {v}".
// Values of 2**64 and more saturate at the largest u64, past any store.
std::uint64_t to_position(PyObject* obj, const char* name);
// A batch of queries converted one after another into `values`, `count`
// queries of the store's length. A query of another length is not kept:
// the first one is remembered, and reported once every argument has converted.
struct QueryRows {
    std::vector<float> values;
    std::size_t count = 0;
    std::optional<std::pair<std::size_t, std::size_t>> mismatch;  // (index, length)
};
// A 2-D numpy array or memoryview of plain numbers is read row by row from
// memory; anything else is iterated as a sequence
// of vectors, each converted as to_float_vector() converts one.
QueryRows to_query_rows(PyObject* obj, std::size_t length);

// float() of a number, kept as a double.
double to_real(PyObject* obj);

// A bytes-like argument held for the rest of the call.
class HeldBytes {
public:
    HeldBytes() = default;
    explicit HeldBytes(PyObject* obj);  // null or None: nothing held
    HeldBytes(HeldBytes&& other) noexcept;
    HeldBytes(const HeldBytes&) = delete;
    HeldBytes& operator=(const HeldBytes&) = delete;
    HeldBytes& operator=(HeldBytes&&) = delete;
    ~HeldBytes();

    bool held() const noexcept { return held_; }
    const std::uint8_t* data() const noexcept { return static_cast<const std::uint8_t*>(view_.buf); }
    std::size_t size() const noexcept { return static_cast<std::size_t>(view_.len); }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// Converts a sequence of (vector, id) tuples, handing each converted pair to
// `sink` before the next item is looked at. The vector buffer is reused.
void for_each_pair(PyObject* obj, const std::function<void(std::vector<float>&, std::uint64_t)>& sink);

}  // namespace quillmere::py
