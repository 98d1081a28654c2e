#include "convert.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>
#include <type_traits>

#include "binding.hpp"

namespace quillmere::py {

namespace {

// A lying __len__ must not make us reserve gigabytes; the vector still grows
// to whatever the iterator delivers.
constexpr Py_ssize_t kMaxReserveHint = Py_ssize_t{1} << 20;

float item_to_float(PyObject* item) {
    if (PyFloat_CheckExact(item)) return static_cast<float>(PyFloat_AS_DOUBLE(item));
    const double value = PyFloat_AsDouble(item);
    if (value == -1.0 && PyErr_Occurred()) throw_pending();
    return static_cast<float>(value);
}

void refuse_str(PyObject* obj) {
    if (PyUnicode_Check(obj)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
}

void require_sequence(PyObject* obj) {
    if (!PySequence_Check(obj)) raise_type_mismatch(obj, "Sequence");
}

// Iterates `obj` as the general rule does and calls `each` on every item.
// Exact lists are walked by index, re-reading the length at every step as
// the list iterator does, so a conversion that mutates the list sees the
// same items; exact tuples cannot change.
template <class Reserve, class Each>
void for_each_item(PyObject* obj, Reserve&& reserve, Each&& each) {
    if (PyList_CheckExact(obj)) {
        reserve(PyList_GET_SIZE(obj));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); ++i) {
            PyObject* item = PyList_GET_ITEM(obj, i);
            if (PyFloat_CheckExact(item)) {
                each(item);  // no Python code runs for an exact float
            } else {
                Ref held = Ref::borrow(item);
                each(held.get());
            }
        }
        return;
    }
    if (PyTuple_CheckExact(obj)) {
        reserve(PyTuple_GET_SIZE(obj));
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(obj); ++i) each(PyTuple_GET_ITEM(obj, i));
        return;
    }
    const Py_ssize_t hint = PyObject_Size(obj);
    if (hint < 0) {
        discard_pending();
    } else {
        reserve(hint);
    }
    Ref iterator = Ref::steal(PyObject_GetIter(obj));
    if (!iterator) throw_pending();
    while (true) {
        Ref item = Ref::steal(PyIter_Next(iterator.get()));
        if (!item) {
            if (PyErr_Occurred()) throw_pending();
            return;
        }
        each(item.get());
    }
}

// ------------------------------------------------------------ buffers

// Looks `name` up among the exact-str keys of `dict` without hashing or
// comparing through Python: a str subclass key could run code in __eq__.
// Used only until a type is found, so the linear walk costs nothing later.
PyObject* find_exact_key(PyObject* dict, const char* name) noexcept {
    if (dict == nullptr || !PyDict_Check(dict)) return nullptr;
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (PyUnicode_CheckExact(key) && PyUnicode_CompareWithASCIIString(key, name) == 0) return value;
    }
    return nullptr;
}

// numpy's array type, taken from the table that numpy publishes for compiled
// extensions (the `_ARRAY_API` capsule of its core module; entry 0 reports
// the binary interface version, entry 2 is the array type). A type that is
// only named like it, or found in a module registered under numpy's name,
// is never trusted: the fast path reads the array's record directly. numpy
// counts only once the caller has imported it; nothing is imported here.
class NumpyArrayType {
public:
    bool matches(PyTypeObject* type) {
        if (found_ != nullptr) return type == found_;
        // Cheap prefilter while numpy has not been seen: the real type's name.
        if (std::strcmp(type->tp_name, "numpy.ndarray") != 0) return false;
        found_ = lookup();
        return found_ != nullptr && type == found_;
    }

private:
    static PyTypeObject* lookup() noexcept {
        // numpy 2.x, then 1.x.
        static const char* const core_modules[] = {"numpy._core._multiarray_umath", "numpy.core._multiarray_umath",
                                                   "numpy.core.multiarray"};
        // The versions whose leading array and dtype fields are the ones read below.
        static const unsigned abi_versions[] = {0x01000009u, 0x02000000u};
        for (const char* name : core_modules) {
            PyObject* mod = find_exact_key(PyImport_GetModuleDict(), name);
            if (mod == nullptr || !PyModule_Check(mod)) continue;
            PyObject* capsule = find_exact_key(PyModule_GetDict(mod), "_ARRAY_API");
            if (capsule == nullptr || !PyCapsule_CheckExact(capsule) || !PyCapsule_IsValid(capsule, nullptr)) continue;
            void** table = static_cast<void**>(PyCapsule_GetPointer(capsule, nullptr));
            if (table == nullptr || table[0] == nullptr || table[2] == nullptr) continue;
            const unsigned abi = reinterpret_cast<unsigned (*)()>(table[0])();
            if (std::find(std::begin(abi_versions), std::end(abi_versions), abi) == std::end(abi_versions)) continue;
            PyObject* type = static_cast<PyObject*>(table[2]);
            if (!PyType_Check(type)) continue;
            Py_INCREF(type);  // kept for the life of the process
            return reinterpret_cast<PyTypeObject*>(type);
        }
        return nullptr;
    }

    PyTypeObject* found_ = nullptr;
};

// array.array: a type of that name defined by C code, either statically
// (3.9) or as a heap type of the `array` extension module. A Python class
// can borrow the name, and a real array's buffer through subclassing, but
// never passes: its iteration is its own.
class StdlibArrayType {
public:
    bool matches(PyTypeObject* type) {
        if (found_ != nullptr) return type == found_;
        if (std::strcmp(type->tp_name, "array.array") != 0 || !defined_by_array_module(type)) return false;
        Py_INCREF(reinterpret_cast<PyObject*>(type));  // kept for the life of the process
        found_ = type;
        return true;
    }

private:
    static bool defined_by_array_module(PyTypeObject* type) noexcept {
        if (!PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) return true;
        PyObject* mod = PyType_GetModule(type);
        if (mod == nullptr) {
            PyErr_Clear();  // not a type created for a module: a Python class
            return false;
        }
        const PyModuleDef* def = PyModule_GetDef(mod);
        if (def == nullptr) {
            PyErr_Clear();
            return false;
        }
        return def->m_name != nullptr && std::strcmp(def->m_name, "array") == 0;
    }

    PyTypeObject* found_ = nullptr;
};

NumpyArrayType numpy_array;
StdlibArrayType stdlib_array;

bool buffer_candidate(PyObject* obj) {
    // memoryview cannot be subclassed, so its check is exact.
    if (PyBytes_CheckExact(obj) || PyMemoryView_Check(obj)) return true;
    return stdlib_array.matches(Py_TYPE(obj));
}

enum class Element { F32, F64, I8, I16, I32, I64, U8, U16, U32, U64, Bool, Unsupported };

template <class T>
constexpr Element element_for() {
    if constexpr (std::is_same_v<T, float>) {
        return Element::F32;
    } else if constexpr (std::is_same_v<T, double>) {
        return Element::F64;
    } else if constexpr (std::is_same_v<T, bool>) {
        return Element::Bool;
    } else if constexpr (std::is_signed_v<T>) {
        return sizeof(T) == 1 ? Element::I8 : sizeof(T) == 2 ? Element::I16 : sizeof(T) == 4 ? Element::I32 : Element::I64;
    } else {
        return sizeof(T) == 1 ? Element::U8 : sizeof(T) == 2 ? Element::U16 : sizeof(T) == 4 ? Element::U32 : Element::U64;
    }
}

// Items that claim another size than the format's C type are left to the
// general path, which unpacks the C type whatever the exporter claims.
template <class T>
constexpr Element sized(Py_ssize_t itemsize) {
    return itemsize == static_cast<Py_ssize_t>(sizeof(T)) ? element_for<T>() : Element::Unsupported;
}

// Iterating a memoryview unpacks one native C type per item and accepts only
// a single format character, optionally after '@'; any other byte-order or
// size prefix ('<', '>', '=', '!', as ctypes and unaligned numpy arrays
// export) makes iteration raise, so such buffers take the general path and
// raise the same. array.array and bytes export only native formats.
Element element_of(const Py_buffer& view) {
    const char* format = view.format != nullptr ? view.format : "B";
    if (*format == '@') ++format;
    if (format[0] == '\0' || format[1] != '\0') return Element::Unsupported;
    const Py_ssize_t size = view.itemsize;
    switch (format[0]) {
        case '?': return sized<bool>(size);
        case 'b': return sized<signed char>(size);
        case 'B': return sized<unsigned char>(size);
        case 'h': return sized<short>(size);
        case 'H': return sized<unsigned short>(size);
        case 'i': return sized<int>(size);
        case 'I': return sized<unsigned int>(size);
        case 'l': return sized<long>(size);
        case 'L': return sized<unsigned long>(size);
        case 'q': return sized<long long>(size);
        case 'Q': return sized<unsigned long long>(size);
        case 'n': return sized<Py_ssize_t>(size);
        case 'N': return sized<std::size_t>(size);
        case 'f': return sized<float>(size);
        case 'd': return sized<double>(size);
        default: return Element::Unsupported;
    }
}

// A one-dimensional run of numbers in memory.
struct Strided {
    const char* data;
    std::size_t length;
    Py_ssize_t stride;
};

template <class T, class Narrow>
void copy_strided(const Strided& run, std::vector<float>& out, Narrow narrow) {
    const std::size_t n = run.length;
    const Py_ssize_t stride = run.stride;
    const char* base = run.data;
    if constexpr (std::is_same_v<T, float>) {
        // Unaligned runs (an array viewed at an odd offset) go through memcpy below.
        if (stride == sizeof(float) && reinterpret_cast<std::uintptr_t>(base) % alignof(float) == 0) {
            out.assign(reinterpret_cast<const float*>(base), reinterpret_cast<const float*>(base) + n);
            return;
        }
    }
    out.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        T value;
        std::memcpy(&value, base + static_cast<Py_ssize_t>(i) * stride, sizeof(T));
        out[i] = narrow(value);
    }
}

// Integers go to double first and then to float (two roundings), exactly as
// float(item) followed by narrowing does.
bool copy_elements(Element element, const Strided& run, std::vector<float>& out) {
    const auto via_double = [](auto v) { return static_cast<float>(static_cast<double>(v)); };
    switch (element) {
        case Element::F32: copy_strided<float>(run, out, [](float v) { return v; }); return true;
        case Element::F64: copy_strided<double>(run, out, [](double v) { return static_cast<float>(v); }); return true;
        case Element::I8: copy_strided<std::int8_t>(run, out, via_double); return true;
        case Element::I16: copy_strided<std::int16_t>(run, out, via_double); return true;
        case Element::I32: copy_strided<std::int32_t>(run, out, via_double); return true;
        case Element::I64: copy_strided<std::int64_t>(run, out, via_double); return true;
        case Element::U8: copy_strided<std::uint8_t>(run, out, via_double); return true;
        case Element::U16: copy_strided<std::uint16_t>(run, out, via_double); return true;
        case Element::U32: copy_strided<std::uint32_t>(run, out, via_double); return true;
        case Element::U64: copy_strided<std::uint64_t>(run, out, via_double); return true;
        case Element::Bool:
            copy_strided<std::uint8_t>(run, out, [](std::uint8_t v) { return v != 0 ? 1.0f : 0.0f; });
            return true;
        case Element::Unsupported: return false;
    }
    return false;
}

// numpy arrays are read through the leading fields of the array and dtype
// records, which are part of numpy's binary interface for compiled
// extensions (unchanged from 1.x to 2.x; the type is only trusted once that
// interface's version has been checked, see NumpyArrayType). Exporting a
// buffer instead costs about a microsecond per array, more than copying a
// typical embedding.
struct NumpyArrayHead {
    PyObject_HEAD
    char* data;
    int nd;
    Py_ssize_t* dimensions;
    Py_ssize_t* strides;
    PyObject* base;
    PyObject* descr;
};
struct NumpyDescrHead {
    PyObject_HEAD
    PyTypeObject* typeobj;
    char kind;
    char type;
    char byteorder;
    char former_flags;
    int type_num;
};

// numpy iterates any byte order into native scalars; only native data can
// be read as it lies.
Element numpy_element(const NumpyDescrHead& descr) {
    constexpr char foreign = PY_BIG_ENDIAN ? '<' : '>';
    if (descr.byteorder == foreign) return Element::Unsupported;
    switch (descr.type_num) {  // numpy's fixed type numbers
        case 0: return Element::Bool;
        case 1: return element_for<signed char>();
        case 2: return element_for<unsigned char>();
        case 3: return element_for<short>();
        case 4: return element_for<unsigned short>();
        case 5: return element_for<int>();
        case 6: return element_for<unsigned int>();
        case 7: return element_for<long>();
        case 8: return element_for<unsigned long>();
        case 9: return element_for<long long>();
        case 10: return element_for<unsigned long long>();
        case 11: return Element::F32;
        case 12: return Element::F64;
        default: return Element::Unsupported;
    }
}

bool convert_numpy(PyObject* obj, std::vector<float>& out) {
    const auto* array = reinterpret_cast<const NumpyArrayHead*>(obj);
    if (array->nd != 1 || array->descr == nullptr) return false;
    const Element element = numpy_element(*reinterpret_cast<const NumpyDescrHead*>(array->descr));
    const Strided run{array->data, static_cast<std::size_t>(array->dimensions[0]), array->strides[0]};
    return copy_elements(element, run, out);
}

// A buffer with its format and strides, released on every way out. An
// object that refuses to export one is left to the general path, so its
// error is dropped.
class StridedView {
public:
    explicit StridedView(PyObject* obj) noexcept
        : ok_(PyObject_GetBuffer(obj, &view_, PyBUF_FORMAT | PyBUF_STRIDES) == 0) {
        if (!ok_) discard_pending();
    }
    StridedView(const StridedView&) = delete;
    StridedView& operator=(const StridedView&) = delete;
    ~StridedView() {
        if (ok_) PyBuffer_Release(&view_);
    }
    bool ok() const noexcept { return ok_; }
    const Py_buffer& view() const noexcept { return view_; }

private:
    Py_buffer view_;
    bool ok_;
};

// Converts a one-dimensional buffer of plain numbers; false leaves the
// object to the general path.
bool convert_buffer(PyObject* obj, std::vector<float>& out) {
    if (numpy_array.matches(Py_TYPE(obj))) return convert_numpy(obj, out);
    if (!buffer_candidate(obj)) return false;
    const StridedView held(obj);
    if (!held.ok()) return false;
    const Py_buffer& view = held.view();
    if (view.ndim != 1 || view.shape == nullptr || (view.suboffsets != nullptr && view.suboffsets[0] >= 0)) {
        return false;
    }
    const Strided run{static_cast<const char*>(view.buf), static_cast<std::size_t>(view.shape[0]),
                      view.strides != nullptr ? view.strides[0] : view.itemsize};
    return copy_elements(element_of(view), run, out);
}

}  // namespace

void to_float_vector(PyObject* obj, std::vector<float>& out) {
    out.clear();
    refuse_str(obj);
    require_sequence(obj);
    if (convert_buffer(obj, out)) return;
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
        // The common case, a list or tuple of exact floats: no Python code can
        // run, so the items are read straight from the array. Anything else
        // stops this loop and the general walk continues from scratch.
        const Py_ssize_t n = Py_SIZE(obj);
        PyObject* const* items = PyList_CheckExact(obj) ? &PyList_GET_ITEM(obj, 0) : &PyTuple_GET_ITEM(obj, 0);
        out.resize(static_cast<std::size_t>(n));
        Py_ssize_t i = 0;
        for (; i < n && PyFloat_CheckExact(items[i]); ++i) out[static_cast<std::size_t>(i)] = static_cast<float>(PyFloat_AS_DOUBLE(items[i]));
        if (i == n) return;
        out.clear();
    }
    for_each_item(
        obj, [&](Py_ssize_t hint) { out.reserve(static_cast<std::size_t>(std::min(hint, kMaxReserveHint))); },
        [&](PyObject* item) { out.push_back(item_to_float(item)); });
}

std::vector<float> to_float_vector(PyObject* obj) {
    std::vector<float> out;
    to_float_vector(obj, out);
    return out;
}

namespace {

constexpr std::size_t kMaxReserveFloats = std::size_t{1} << 24;

// Rows of a two-dimensional array in memory, each converted as a vector.
void rows_from_memory(const char* data, std::size_t rows, std::size_t columns, Py_ssize_t row_stride,
                      Py_ssize_t column_stride, Element element, std::size_t length, QueryRows& out) {
    if (rows == 0) return;
    if (columns != length) {
        out.mismatch = std::make_pair(std::size_t{0}, columns);
        return;
    }
    out.values.reserve(rows * columns);
    std::vector<float> row;
    for (std::size_t r = 0; r < rows; ++r) {
        copy_elements(element, Strided{data + static_cast<Py_ssize_t>(r) * row_stride, columns, column_stride}, row);
        out.values.insert(out.values.end(), row.begin(), row.end());
    }
    out.count = rows;
}

// Two-dimensional numpy arrays of plain numbers and memoryviews: false
// leaves the object to the general path.
bool query_rows_from_buffer(PyObject* obj, std::size_t length, QueryRows& out) {
    if (numpy_array.matches(Py_TYPE(obj))) {
        const auto* array = reinterpret_cast<const NumpyArrayHead*>(obj);
        if (array->nd != 2 || array->descr == nullptr) return false;
        const Element element = numpy_element(*reinterpret_cast<const NumpyDescrHead*>(array->descr));
        if (element == Element::Unsupported) return false;
        rows_from_memory(array->data, static_cast<std::size_t>(array->dimensions[0]),
                         static_cast<std::size_t>(array->dimensions[1]), array->strides[0], array->strides[1],
                         element, length, out);
        return true;
    }
    // Iterating a memoryview of two dimensions raises; its rows are read here.
    if (!PyMemoryView_Check(obj)) return false;
    const StridedView held(obj);
    if (!held.ok()) return false;
    const Py_buffer& view = held.view();
    if (view.ndim != 2 || view.shape == nullptr || view.strides == nullptr || view.suboffsets != nullptr) return false;
    const Element element = element_of(view);
    if (element == Element::Unsupported) return false;
    rows_from_memory(static_cast<const char*>(view.buf), static_cast<std::size_t>(view.shape[0]),
                     static_cast<std::size_t>(view.shape[1]), view.strides[0], view.strides[1], element, length, out);
    return true;
}

}  // namespace

QueryRows to_query_rows(PyObject* obj, std::size_t length) {
    QueryRows out;
    refuse_str(obj);
    require_sequence(obj);
    if (query_rows_from_buffer(obj, length, out)) return out;
    std::vector<float> row;
    for_each_item(
        obj,
        [&](Py_ssize_t hint) {
            out.values.reserve(std::min(static_cast<std::size_t>(hint) * std::max<std::size_t>(length, 1), kMaxReserveFloats));
        },
        [&](PyObject* item) {
            to_float_vector(item, row);
            if (row.size() != length) {
                if (!out.mismatch) out.mismatch = std::make_pair(out.count, row.size());
            } else {
                out.values.insert(out.values.end(), row.begin(), row.end());
            }
            ++out.count;
        });
    return out;
}

double to_real(PyObject* obj) {
    if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
    const double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) throw_pending();
    return value;
}

HeldBytes::HeldBytes(PyObject* obj) {
    if (obj == nullptr || obj == Py_None) return;
    if (PyObject_GetBuffer(obj, &view_, PyBUF_SIMPLE) != 0) throw_pending();
    held_ = true;
}

HeldBytes::HeldBytes(HeldBytes&& other) noexcept : view_(other.view_), held_(std::exchange(other.held_, false)) {}

HeldBytes::~HeldBytes() {
    if (held_) PyBuffer_Release(&view_);
}

std::uint64_t to_identifier(PyObject* obj) {
    unsigned long long value;
    if (PyLong_Check(obj)) {
        value = PyLong_AsUnsignedLongLong(obj);
    } else {
        Ref index = Ref::steal(PyNumber_Index(obj));
        if (!index) throw_pending();
        value = PyLong_AsUnsignedLongLong(index.get());
    }
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_pending();
    return static_cast<std::uint64_t>(value);
}

std::size_t to_count(PyObject* obj) {
    const std::uint64_t value = to_identifier(obj);
    if (value > std::numeric_limits<std::size_t>::max()) {
        raise(PyExc_OverflowError, "out of range integral type conversion attempted");
    }
    return static_cast<std::size_t>(value);
}

std::optional<std::size_t> to_optional_count(PyObject* obj) {
    if (obj == nullptr || obj == Py_None) return std::nullopt;
    return to_count(obj);
}

std::uint64_t to_position(PyObject* obj, const char* name) {
    Ref index = Ref::steal(PyNumber_Index(obj));
    if (!index) throw_pending();
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (value == -1 && overflow == 0 && PyErr_Occurred()) throw_pending();
    if (overflow < 0 || (overflow == 0 && value < 0)) {
        raise(PyExc_ValueError, std::string(name) + " must be at least 0, got " + display(index.get()));
    }
    if (overflow == 0) return static_cast<std::uint64_t>(value);
    const unsigned long long wide = PyLong_AsUnsignedLongLong(index.get());
    if (wide == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw_pending();
        PyErr_Clear();
    }
    return static_cast<std::uint64_t>(wide);
}

void for_each_pair(PyObject* obj, const std::function<void(std::vector<float>&, std::uint64_t)>& sink) {
    refuse_str(obj);
    require_sequence(obj);
    std::vector<float> vector;
    for_each_item(
        obj, [](Py_ssize_t) {},
        [&](PyObject* item) {
            if (!PyTuple_Check(item)) raise_type_mismatch(item, "tuple");
            const Py_ssize_t size = PyTuple_GET_SIZE(item);
            if (size != 2) {
                raise(PyExc_ValueError,
                      "expected tuple of length 2, but got tuple of length " + std::to_string(size));
            }
            // The tuple is held by the caller of `each`, so its items stay alive.
            to_float_vector(PyTuple_GET_ITEM(item, 0), vector);
            const std::uint64_t id = to_identifier(PyTuple_GET_ITEM(item, 1));
            sink(vector, id);
        });
}

}  // namespace quillmere::py
