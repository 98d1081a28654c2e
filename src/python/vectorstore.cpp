#include "vectorstore.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>

#include "binding.hpp"
#include "convert.hpp"
#include "readback.hpp"
#include "readbuffer.hpp"
#include "search.hpp"
#include "store.hpp"

namespace quillmere::py {

namespace {

// Process-wide cache of the class object; filled once, never emptied.
PyObject* cached_class = nullptr;

struct PyVectorstore {
    PyObject_HEAD
    Vectorstore store;
    // 0: free; k > 0: k shared borrows; -1: one exclusive borrow.
    std::atomic<Py_ssize_t> borrow;
};

// Borrow guards: a conflicting request fails at once, never waits, and the
// destructor releases on every way out of the member.
class SharedBorrow {
public:
    explicit SharedBorrow(PyVectorstore& obj) : flag_(obj.borrow) {
        Py_ssize_t current = flag_.load(std::memory_order_relaxed);
        do {
            if (current == -1) raise(PyExc_RuntimeError, "Already mutably borrowed");
        } while (!flag_.compare_exchange_weak(current, current + 1, std::memory_order_acquire,
                                              std::memory_order_relaxed));
    }
    ~SharedBorrow() { flag_.fetch_sub(1, std::memory_order_release); }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;

private:
    std::atomic<Py_ssize_t>& flag_;
};

class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(PyVectorstore& obj) : flag_(obj.borrow) {
        Py_ssize_t expected = 0;
        if (!flag_.compare_exchange_strong(expected, -1, std::memory_order_acquire, std::memory_order_relaxed)) {
            raise(PyExc_RuntimeError, "Already borrowed");
        }
    }
    ~ExclusiveBorrow() { flag_.store(0, std::memory_order_release); }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

private:
    std::atomic<Py_ssize_t>& flag_;
};

PyVectorstore& receiver(PyObject* self) {
    if (cached_class == nullptr || !PyObject_TypeCheck(self, reinterpret_cast<PyTypeObject*>(cached_class))) {
        raise_type_mismatch(self, "Vectorstore");
    }
    return *reinterpret_cast<PyVectorstore*>(self);
}

constexpr const char* kNewParams[] = {"vector_size", "vectors"};
constexpr const char* kInsertParams[] = {"vector", "id"};
constexpr const char* kSearchParams[] = {"vector", "top_k"};
constexpr const char* kParallelParams[] = {"vector", "top_k", "n_threads"};
constexpr ArgSpec kNewSpec{"Vectorstore", "__new__", kNewParams, 2, 1};
constexpr ArgSpec kInsertSpec{"Vectorstore", "insert", kInsertParams, 2, 2};
constexpr ArgSpec kSearchSpec{"Vectorstore", "search", kSearchParams, 2, 2};
constexpr const char* kSpanParams[] = {"start", "stop"};
constexpr ArgSpec kParallelSpec{"Vectorstore", "parallel_search", kParallelParams, 3, 2};
constexpr const char* kBatchParams[] = {"queries", "top_k", "n_threads", "allowed"};
constexpr const char* kRangeParams[] = {"queries", "min_score", "n_threads", "allowed"};
constexpr ArgSpec kBatchSpec{"Vectorstore", "search_batch", kBatchParams, 4, 2, 1};
constexpr ArgSpec kRangeSpec{"Vectorstore", "range_search", kRangeParams, 4, 2, 1};
constexpr ArgSpec kVectorsSpec{"Vectorstore", "vectors", kSpanParams, 2, 0};
constexpr ArgSpec kIdsSpec{"Vectorstore", "ids", kSpanParams, 2, 0};

PyObject* vectorstore_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&] {
        PyObject* slots[2] = {};
        bind_tuple_dict(kNewSpec, args, kwargs, slots);
        const std::size_t vector_size = convert_arg("vector_size", [&] { return to_count(slots[0]); });
        // Each pair goes straight into the store as soon as it is converted,
        // so loading never holds the data twice. Every pair is still
        // converted before a length is reported: a conversion error anywhere
        // wins over the first mismatching length.
        Vectorstore store(vector_size);
        std::optional<Error> mismatch;
        if (slots[1] != nullptr && slots[1] != Py_None) {
            convert_arg("vectors", [&] {
                for_each_pair(slots[1], [&](std::vector<float>& vector, std::uint64_t id) {
                    if (mismatch) return;
                    mismatch = store.insert(vector.data(), vector.size(), id);
                    if (mismatch) store = Vectorstore(vector_size);  // nothing of it is kept
                });
            });
        }
        if (mismatch) raise_core_error(*mismatch);

        Ref no_args = checked(PyTuple_New(0));
        PyObject* created = PyBaseObject_Type.tp_new(cls, no_args.get(), nullptr);
        if (created == nullptr) throw_pending();
        auto* obj = reinterpret_cast<PyVectorstore*>(created);
        new (&obj->store) Vectorstore(std::move(store));
        new (&obj->borrow) std::atomic<Py_ssize_t>(0);
        return created;
    });
}

void vectorstore_dealloc(PyObject* self) {
    auto* obj = reinterpret_cast<PyVectorstore*>(self);
    obj->store.~Vectorstore();
    obj->borrow.~atomic();
    PyTypeObject* type = Py_TYPE(self);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);
}

PyObject* vectorstore_insert(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&] {
        PyObject* slots[2] = {};
        bind_fastcall(kInsertSpec, args, nargsf, kwnames, slots);
        PyVectorstore& obj = receiver(self);
        ExclusiveBorrow borrow(obj);
        const std::vector<float> vector = convert_arg("vector", [&] { return to_float_vector(slots[0]); });
        const std::uint64_t id = convert_arg("id", [&] { return to_identifier(slots[1]); });
        if (auto error = obj.store.insert(vector.data(), vector.size(), id)) raise_core_error(*error);
        return none_result().release();
    });
}

PyObject* vectorstore_search(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&] {
        PyObject* slots[2] = {};
        bind_fastcall(kSearchSpec, args, nargsf, kwnames, slots);
        PyVectorstore& obj = receiver(self);
        SharedBorrow borrow(obj);
        std::vector<float> query = convert_arg("vector", [&] { return to_float_vector(slots[0]); });
        const std::size_t top_k = convert_arg("top_k", [&] { return to_count(slots[1]); });
        auto found = search(obj.store, query.data(), query.size(), top_k);
        if (!found.ok()) raise_core_error(found.error());
        std::vector<float>().swap(query);
        return results_list(found.value()).release();
    });
}

PyObject* vectorstore_parallel_search(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                      PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&] {
        PyObject* slots[3] = {};
        bind_fastcall(kParallelSpec, args, nargsf, kwnames, slots);
        PyVectorstore& obj = receiver(self);
        SharedBorrow borrow(obj);
        std::vector<float> query = convert_arg("vector", [&] { return to_float_vector(slots[0]); });
        const std::size_t top_k = convert_arg("top_k", [&] { return to_count(slots[1]); });
        const auto n_threads = convert_arg("n_threads", [&] { return to_optional_count(slots[2]); });
        auto found = parallel_search(obj.store, query.data(), query.size(), top_k, n_threads);
        if (!found.ok()) raise_core_error(found.error());
        std::vector<float>().swap(query);
        return results_list(found.value()).release();
    });
}

std::optional<AllowedMask> mask_of(const HeldBytes& allowed) {
    if (!allowed.held()) return std::nullopt;
    return AllowedMask{allowed.data(), allowed.size()};
}

void raise_query_mismatch(const QueryRows& queries, std::size_t expected) {
    if (queries.mismatch) {
        raise(PyExc_ValueError, batch_query_length_error(queries.mismatch->first, queries.mismatch->second, expected));
    }
}

Ref batch_results(const std::vector<std::vector<ScoredId>>& results) {
    Ref list = checked(PyList_New(static_cast<Py_ssize_t>(results.size())));
    for (std::size_t i = 0; i < results.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), results_list(results[i]).release());
    }
    return list;
}

PyObject* vectorstore_search_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&] {
        PyObject* slots[4] = {};
        bind_fastcall(kBatchSpec, args, nargsf, kwnames, slots);
        PyVectorstore& obj = receiver(self);
        SharedBorrow borrow(obj);
        const std::size_t d = obj.store.vector_size();
        QueryRows queries = convert_arg("queries", [&] { return to_query_rows(slots[0], d); });
        const std::size_t top_k = convert_arg("top_k", [&] { return to_count(slots[1]); });
        const auto n_threads = convert_arg("n_threads", [&] { return to_optional_count(slots[2]); });
        const HeldBytes allowed = convert_arg("allowed", [&] { return HeldBytes(slots[3]); });
        raise_query_mismatch(queries, d);
        auto found = search_batch(obj.store, queries.values.data(), queries.count, top_k, n_threads, mask_of(allowed));
        if (!found.ok()) raise_core_error(found.error());
        std::vector<float>().swap(queries.values);
        return batch_results(found.value()).release();
    });
}

PyObject* vectorstore_range_search(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&] {
        PyObject* slots[4] = {};
        bind_fastcall(kRangeSpec, args, nargsf, kwnames, slots);
        PyVectorstore& obj = receiver(self);
        SharedBorrow borrow(obj);
        const std::size_t d = obj.store.vector_size();
        QueryRows queries = convert_arg("queries", [&] { return to_query_rows(slots[0], d); });
        const double min_score = convert_arg("min_score", [&] { return to_real(slots[1]); });
        const auto n_threads = convert_arg("n_threads", [&] { return to_optional_count(slots[2]); });
        const HeldBytes allowed = convert_arg("allowed", [&] { return HeldBytes(slots[3]); });
        raise_query_mismatch(queries, d);
        auto found = range_search(obj.store, queries.values.data(), queries.count, min_score, n_threads,
                                  mask_of(allowed));
        if (!found.ok()) raise_core_error(found.error());
        std::vector<float>().swap(queries.values);
        return batch_results(found.value()).release();
    });
}

// Positions [first, last) of a read-back, from converted start and stop.
struct Range {
    std::size_t first;
    std::size_t last;
};

// Slice rules for non-negative bounds: no stop means the end, and bounds
// past the end stop at it. A start above the stop given is refused rather
// than read as empty, since it is almost surely a mistake.
Range position_range(const Vectorstore& store, PyObject* start_arg, PyObject* stop_arg) {
    const std::uint64_t start = start_arg == nullptr ? 0 : convert_arg("start", [&] {
        return to_position(start_arg, "start");
    });
    const bool stop_given = stop_arg != nullptr && stop_arg != Py_None;
    const std::uint64_t stop = stop_given ? convert_arg("stop", [&] { return to_position(stop_arg, "stop"); })
                                          : std::uint64_t{store.size()};
    if (stop_given && start > stop) {
        raise(PyExc_ValueError, "start must not be greater than stop, got start=" + std::to_string(start) +
                                    " and stop=" + std::to_string(stop));
    }
    const std::uint64_t size = store.size();
    return {static_cast<std::size_t>(std::min(start, size)), static_cast<std::size_t>(std::min(stop, size))};
}

PyObject* vectorstore_vectors(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&] {
        PyObject* slots[2] = {};
        bind_fastcall(kVectorsSpec, args, nargsf, kwnames, slots);
        PyVectorstore& obj = receiver(self);
        SharedBorrow borrow(obj);
        const Range range = position_range(obj.store, slots[0], slots[1]);
        const std::size_t rows = range.last - range.first, d = obj.store.vector_size();
        // rows * d floats are stored already, so the product cannot wrap.
        ZeroedBuffer data = buffer_memory(rows * d, sizeof(float));
        read_vectors(obj.store, range.first, range.last, data.as<float>());
        return float_matrix_view(std::move(data), rows, d).release();
    });
}

PyObject* vectorstore_ids(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&] {
        PyObject* slots[2] = {};
        bind_fastcall(kIdsSpec, args, nargsf, kwnames, slots);
        PyVectorstore& obj = receiver(self);
        SharedBorrow borrow(obj);
        const Range range = position_range(obj.store, slots[0], slots[1]);
        ZeroedBuffer data = buffer_memory(range.last - range.first, sizeof(std::uint64_t));
        read_ids(obj.store, range.first, range.last, data.as<std::uint64_t>());
        return u64_vector_view(std::move(data), range.last - range.first).release();
    });
}

PyObject* vectorstore_get_vector_size(PyObject* self, void*) {
    return guarded<PyObject*>(nullptr, [&] {
        PyVectorstore& obj = receiver(self);
        SharedBorrow borrow(obj);
        return u64_result(obj.store.vector_size()).release();
    });
}

Py_ssize_t vectorstore_len(PyObject* self) {
    return guarded<Py_ssize_t>(-1, [&] {
        PyVectorstore& obj = receiver(self);
        SharedBorrow borrow(obj);
        return static_cast<Py_ssize_t>(obj.store.size());
    });
}

PyObject* vectorstore_repr(PyObject* self) {
    return guarded<PyObject*>(nullptr, [&] {
        PyVectorstore& obj = receiver(self);
        SharedBorrow borrow(obj);
        return str_result("Vectorstore(vector_size=" + std::to_string(obj.store.vector_size()) +
                          ", len=" + std::to_string(obj.store.size()) + ")")
            .release();
    });
}

#define QM_FASTCALL(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn))

PyMethodDef vectorstore_methods[] = {
    {"insert", QM_FASTCALL(vectorstore_insert), METH_FASTCALL | METH_KEYWORDS, "insert($self, vector, id)\n--\n\n"},
    {"search", QM_FASTCALL(vectorstore_search), METH_FASTCALL | METH_KEYWORDS, "search($self, vector, top_k)\n--\n\n"},
    {"parallel_search", QM_FASTCALL(vectorstore_parallel_search), METH_FASTCALL | METH_KEYWORDS,
     "parallel_search($self, vector, top_k, n_threads=None)\n--\n\n"},
    {"search_batch", QM_FASTCALL(vectorstore_search_batch), METH_FASTCALL | METH_KEYWORDS,
     "search_batch($self, queries, top_k, n_threads=None, *, allowed=None)\n--\n\n"
     "For each query, the list that search(query, top_k) returns, bit for bit."},
    {"range_search", QM_FASTCALL(vectorstore_range_search), METH_FASTCALL | METH_KEYWORDS,
     "range_search($self, queries, min_score, n_threads=None, *, allowed=None)\n--\n\n"
     "For each query, every entry scoring at least min_score, best first."},
    {"vectors", QM_FASTCALL(vectorstore_vectors), METH_FASTCALL | METH_KEYWORDS,
     "vectors($self, start=0, stop=None)\n--\n\n"},
    {"ids", QM_FASTCALL(vectorstore_ids), METH_FASTCALL | METH_KEYWORDS, "ids($self, start=0, stop=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef vectorstore_getset[] = {
    {"vector_size", vectorstore_get_vector_size, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr char kClassDoc[] = "Vectorstore(vector_size, vectors=None)\n--\n\n";

PyType_Slot vectorstore_slots[] = {
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(vectorstore_dealloc)},
    {Py_tp_new, reinterpret_cast<void*>(vectorstore_new)},
    {Py_mp_length, reinterpret_cast<void*>(vectorstore_len)},
    {Py_tp_repr, reinterpret_cast<void*>(vectorstore_repr)},
    {Py_tp_methods, vectorstore_methods},
    {Py_tp_getset, vectorstore_getset},
    {0, nullptr},
};

PyType_Spec vectorstore_spec = {
    "builtins.Vectorstore",
    static_cast<int>(sizeof(PyVectorstore)),
    0,
    Py_TPFLAGS_DEFAULT,
    vectorstore_slots,
};

}  // namespace

Ref vectorstore_class() {
    if (cached_class == nullptr) {
        PyObject* created = PyType_FromSpec(&vectorstore_spec);
        if (created == nullptr) {
            // Keep the reason as the cause of the error that the import reports.
            PyObject *type, *value, *traceback;
            PyErr_Fetch(&type, &value, &traceback);
            PyErr_NormalizeException(&type, &value, &traceback);
            if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
            Ref cause = Ref::steal(value);
            Py_XDECREF(type);
            Py_XDECREF(traceback);
            Ref error = Ref::steal(
                PyObject_CallFunction(PyExc_RuntimeError, "s", "An error occurred while initializing class Vectorstore"));
            if (!error) throw_pending();
            PyException_SetCause(error.get(), cause.release());
            PyErr_SetObject(PyExc_RuntimeError, error.get());
            throw ErrorAlreadySet{};
        }
#if PY_VERSION_HEX < 0x030A0000
        // Python 3.9 strips the signature line when it copies the class
        // documentation; put the whole string back so that the text
        // signature can be derived from it, as on later versions.
        auto* type = reinterpret_cast<PyTypeObject*>(created);
        char* doc = static_cast<char*>(PyObject_Malloc(sizeof kClassDoc));
        if (doc == nullptr) {
            Py_DECREF(created);
            PyErr_NoMemory();
            throw ErrorAlreadySet{};
        }
        std::memcpy(doc, kClassDoc, sizeof kClassDoc);
        PyObject_Free(const_cast<char*>(type->tp_doc));
        type->tp_doc = doc;
#endif
        cached_class = created;
    }
    return Ref::borrow(cached_class);
}

}  // namespace quillmere::py
