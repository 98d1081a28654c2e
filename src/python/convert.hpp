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

// Converts a sequence of (vector, id) tuples, handing each converted pair to
// `sink` before the next item is looked at. The vector buffer is reused.
void for_each_pair(PyObject* obj, const std::function<void(std::vector<float>&, std::uint64_t)>& sink);

}  // namespace quillmere::py
