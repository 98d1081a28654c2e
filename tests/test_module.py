"""The module object, its two public names and the shape of the Vectorstore class."""
import gc
import importlib
import inspect
import os
import sys
import types
import weakref

import pytest

import quillmere
from quillmere import Vectorstore, cosine_similarity

TPFLAGS_IMMUTABLETYPE = 1 << 8
TPFLAGS_HEAPTYPE = 1 << 9
TPFLAGS_BASETYPE = 1 << 10
TPFLAGS_HAVE_GC = 1 << 14


def public_names(namespace):
    return [n for n in namespace if not (n.startswith("__") and n.endswith("__"))]


class TestModuleObject:
    def test_name_and_empty_doc(self):
        assert quillmere.__name__ == "quillmere"
        assert type(quillmere.__doc__) is str
        assert quillmere.__doc__ == ""

    def test_all_lists_class_then_function(self):
        assert type(quillmere.__all__) is list
        assert quillmere.__all__ == ["Vectorstore", "cosine_similarity"]

    def test_only_the_two_public_names(self):
        assert public_names(vars(quillmere)) == ["Vectorstore", "cosine_similarity"]

    def test_panic_exception_is_not_a_module_attribute(self):
        assert not hasattr(quillmere, "PanicException")
        assert "PanicException" not in dir(quillmere)


class TestFunctionObject:
    def test_builtin_function_bound_to_module(self):
        assert type(cosine_similarity) is types.BuiltinFunctionType
        assert cosine_similarity.__self__ is quillmere
        assert cosine_similarity.__module__ == quillmere.__name__
        assert cosine_similarity.__name__ == "cosine_similarity"
        assert cosine_similarity.__qualname__ == "cosine_similarity"

    def test_signature_without_documentation(self):
        assert cosine_similarity.__doc__ is None
        assert cosine_similarity.__text_signature__ == "(vec1, vec2)"
        sig = inspect.signature(cosine_similarity)
        assert str(sig) == "(vec1, vec2)"
        assert [p.kind for p in sig.parameters.values()] == [inspect.Parameter.POSITIONAL_OR_KEYWORD] * 2


class TestClassObject:
    def test_names(self):
        assert Vectorstore.__name__ == "Vectorstore"
        assert Vectorstore.__qualname__ == "Vectorstore"
        assert Vectorstore.__module__ == "builtins"
        assert repr(Vectorstore) == "<class 'builtins.Vectorstore'>"
        assert type(Vectorstore) is type
        assert Vectorstore.__mro__ == (Vectorstore, object)

    def test_flags(self):
        flags = Vectorstore.__flags__
        assert flags & TPFLAGS_HEAPTYPE
        assert not flags & TPFLAGS_BASETYPE
        assert not flags & TPFLAGS_HAVE_GC
        assert not flags & TPFLAGS_IMMUTABLETYPE

    @pytest.mark.parametrize(
        "obj, text_signature, signature",
        [
            (Vectorstore, "(vector_size, vectors=None)", "(vector_size, vectors=None)"),
            (Vectorstore.insert, "($self, vector, id)", "(self, /, vector, id)"),
            (Vectorstore.search, "($self, vector, top_k)", "(self, /, vector, top_k)"),
            (
                Vectorstore.parallel_search,
                "($self, vector, top_k, n_threads=None)",
                "(self, /, vector, top_k, n_threads=None)",
            ),
            (Vectorstore.vectors, "($self, start=0, stop=None)", "(self, /, start=0, stop=None)"),
            (Vectorstore.ids, "($self, start=0, stop=None)", "(self, /, start=0, stop=None)"),
        ],
        ids=["class", "insert", "search", "parallel_search", "vectors", "ids"],
    )
    def test_signatures(self, obj, text_signature, signature):
        assert obj.__text_signature__ == text_signature
        assert str(inspect.signature(obj)) == signature
        if obj is not Vectorstore:
            assert obj.__doc__ is None

    def test_bound_method_signatures(self):
        store = Vectorstore(3)
        assert str(inspect.signature(store.insert)) == "(vector, id)"
        assert str(inspect.signature(store.search)) == "(vector, top_k)"
        assert str(inspect.signature(store.parallel_search)) == "(vector, top_k, n_threads=None)"

    def test_members_in_table_order(self):
        assert public_names(vars(Vectorstore)) == [
            "insert", "search", "parallel_search", "search_batch", "range_search", "vectors", "ids", "vector_size"
        ]

    def test_not_subclassable(self):
        with pytest.raises(TypeError):

            class Sub(Vectorstore):
                pass

        with pytest.raises(TypeError):
            type("Sub", (Vectorstore,), {})

    def test_instances_have_no_attribute_dict(self):
        store = Vectorstore(3)
        assert Vectorstore.__dictoffset__ == 0
        assert not hasattr(store, "__dict__")
        with pytest.raises(AttributeError):
            store.x = 1
        with pytest.raises(AttributeError):
            del store.x
        with pytest.raises(AttributeError):
            setattr(store, "insert", None)
        assert len(store) == 0

    def test_instances_cannot_be_weakly_referenced(self):
        assert Vectorstore.__weakrefoffset__ == 0
        with pytest.raises(TypeError):
            weakref.ref(Vectorstore(3))

    def test_instances_not_tracked_by_cycle_collector(self):
        assert not gc.is_tracked(Vectorstore(3))
        assert not gc.is_tracked(Vectorstore(2, [([1.0, 2.0], 1)]))

    def test_instances_release_their_class_reference(self):
        gc.collect()
        before = sys.getrefcount(Vectorstore)
        stores = [Vectorstore(2, [([1.0, 2.0], i)]) for i in range(500)]
        assert sys.getrefcount(Vectorstore) >= before + 500
        del stores
        stores = [Vectorstore(i % 4) for i in range(500)]
        del stores
        assert sys.getrefcount(Vectorstore) == before


def thread_count():
    return len(os.listdir("/proc/self/task"))


def test_reimport_runs_a_fresh_module_with_the_same_class():
    old = sys.modules.pop("quillmere")
    try:
        threads = thread_count()
        new = importlib.import_module("quillmere")
        assert thread_count() == threads
        assert new is not old
        assert new.Vectorstore is old.Vectorstore
        # A new function object and a new __all__ list belong to the new module.
        assert new.cosine_similarity is not old.cosine_similarity
        assert new.cosine_similarity.__self__ is new
        assert old.cosine_similarity.__self__ is old
        assert new.__all__ == ["Vectorstore", "cosine_similarity"]
        assert new.__all__ is not old.__all__
        assert new.__doc__ == ""
        assert new.cosine_similarity([1.0], [1.0]) == 1.0
        assert isinstance(new.Vectorstore(2), old.Vectorstore)
    finally:
        sys.modules["quillmere"] = old
