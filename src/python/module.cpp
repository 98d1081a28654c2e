// The module quillmere: its definition, the execution step that fills a new
// module object, and the module-level function cosine_similarity.
#include <vector>

#include "binding.hpp"
#include "convert.hpp"
#include "metric.hpp"
#include "vectorstore.hpp"

namespace quillmere::py {
namespace {

constexpr const char* kCosineParams[] = {"vec1", "vec2"};
constexpr ArgSpec kCosineSpec{nullptr, "cosine_similarity", kCosineParams, 2, 2};

PyObject* cosine_similarity_py(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&] {
        PyObject* slots[2] = {};
        bind_fastcall(kCosineSpec, args, nargsf, kwnames, slots);
        const std::vector<float> vec1 = convert_arg("vec1", [&] { return to_float_vector(slots[0]); });
        const std::vector<float> vec2 = convert_arg("vec2", [&] { return to_float_vector(slots[1]); });
        auto score = cosine_similarity(vec1.data(), vec1.size(), vec2.data(), vec2.size());
        if (!score.ok()) raise_core_error(score.error());
        return float_result(score.value()).release();
    });
}

PyMethodDef cosine_similarity_def = {
    "cosine_similarity",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(cosine_similarity_py)),
    METH_FASTCALL | METH_KEYWORDS,
    "cosine_similarity(vec1, vec2)\n--\n\n",
};

// Appends `name` to the module's __all__ (creating it on first use) and sets
// the attribute.
void publish(PyObject* module, PyObject* name, PyObject* value) {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_pending();
        PyErr_Clear();
        all = checked(PyList_New(0));
        if (PyObject_SetAttrString(module, "__all__", all.get()) != 0) throw_pending();
    } else if (!PyList_Check(all.get())) {
        raise_type_mismatch(all.get(), "list");
    }
    if (PyList_Append(all.get(), name) != 0) {
        PyErr_Clear();
        throw Panic{"could not append __name__ to __all__"};
    }
    if (PyObject_SetAttr(module, name, value) != 0) throw_pending();
}

int exec_module(PyObject* module) {
    return guarded<int>(-1, [&] {
        Ref cls = vectorstore_class();
        Ref cls_name = checked(PyUnicode_FromString("Vectorstore"));
        publish(module, cls_name.get(), cls.get());

        Ref module_name = Ref::steal(PyModule_GetNameObject(module));
        if (!module_name) throw_pending();
        Ref function = Ref::steal(PyCMethod_New(&cosine_similarity_def, module, module_name.get(), nullptr));
        if (!function) throw_pending();
        Ref function_name = Ref::steal(PyObject_GetAttrString(function.get(), "__name__"));
        if (!function_name) throw_pending();
        if (!PyUnicode_Check(function_name.get())) raise_type_mismatch(function_name.get(), "str");
        publish(module, function_name.get(), function.get());
        return 0;
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "quillmere",
    "",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace quillmere::py

PyMODINIT_FUNC PyInit_quillmere(void) { return PyModuleDef_Init(&quillmere::py::module_def); }
