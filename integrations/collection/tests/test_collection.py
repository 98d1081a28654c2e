import datetime
import io
import json
import math
import os
import random
import shutil
import struct
import zlib
from pathlib import Path

import numpy as np
import pytest

import quillmere
from quillmere_collection import Collection, CorruptSaveError, _collection, _idtable

DATA = Path(__file__).resolve().parent / "data"

D = 4
# Few distinct component values, so scores tie often; a zero vector, a NaN
# vector and components of both zero signs join them.
VALUES = [1.0, -1.0, 2.0, 0.0, -0.0, 0.5]


def random_vector(rng):
    roll = rng.random()
    if roll < 0.05:
        return [0.0] * D
    if roll < 0.1:
        return [float("nan")] + [1.0] * (D - 1)
    return [rng.choice(VALUES) for _ in range(D)]


def expected(model, query, k, keep=lambda id, payload: True):
    """Scores every live entry with cosine_similarity; stable sort: ties in order, NaN last."""
    scored = [
        (quillmere.cosine_similarity(query, vector), id_)
        for id_, (vector, payload) in model.items()
        if keep(id_, payload)
    ]
    scored.sort(key=lambda pair: (1, 0.0) if math.isnan(pair[0]) else (0, -pair[0]))
    return [(struct.pack("<d", score), id_) for score, id_ in scored[:k]]


def bits(hits):
    return [(struct.pack("<d", hit.score), hit.id) for hit in hits]


def f32_bits(vectors):
    return np.array(vectors, np.float32).reshape(len(vectors), D).view(np.uint32).tolist()


@pytest.fixture(params=["default-chunks", "3-row-chunks"])
def chunks(request, monkeypatch):
    """Reads back from the store in the default chunks, or in chunks of 3
    rows that read runs 2 rows apart together, so that every chunk edge is met."""
    if request.param == "3-row-chunks":
        monkeypatch.setattr(_collection, "CHUNK_BYTES", 3 * 4 * D)
        monkeypatch.setattr(_collection, "GAP_BYTES", 2 * 4 * D)


@pytest.fixture(params=["hash", "clashing-hash"])
def id_hash(request, monkeypatch):
    """Python's hash of the ids, or one that gives every id one of 7 slots and
    the same tag, so that the id table's probes meet other ids all the time."""
    if request.param == "clashing-hash":
        monkeypatch.setattr(_idtable, "_hash", lambda key: hash(key) % 7)


@pytest.fixture(params=["one-by-one", "chunked"])
def id_path(request, monkeypatch):
    """Adds update the id table id by id, or in chunks of 2 ids (also the
    chunks in which a table is built)."""
    if request.param == "chunked":
        monkeypatch.setattr(_collection, "SMALL_ADD", 0)
        monkeypatch.setattr(_collection, "ID_CHUNK", 2)
        monkeypatch.setattr(_idtable, "_PLACE_CHUNK", 2)


def test_exact_through_overwrites_deletes_and_compactions(chunks, id_hash, id_path, tmp_path):
    rng = random.Random(7)
    collection, model = Collection(D), {}  # model: id -> (vector, payload), in order
    compactions = 0
    for step in range(300):
        if rng.random() < 0.6 or not model:
            count = rng.randrange(1, 4) if rng.random() < 0.8 else rng.randrange(4, 24)  # repeats within a call
            ids = [f"id{rng.randrange(80)}" for _ in range(count)]
            vectors = [random_vector(rng) for _ in ids]
            collection.add(ids, vectors, [{"step": step} for _ in ids])
            for id_, vector in zip(ids, vectors):
                model.pop(id_, None)  # an overwrite moves to the end
                model[id_] = (vector, {"step": step})
        else:
            doomed = rng.sample(sorted(model), rng.randrange(1, min(len(model), 6) + 1))
            before = collection._count
            assert collection.delete(doomed + ["never added"]) == len(doomed)
            compactions += collection._count < before
            for id_ in doomed:
                del model[id_]
        assert list(collection) == list(model) and len(collection) == len(model)
        if step % 50 == 49:  # through a save and a load, tombstones dropped on the way
            collection.save(tmp_path / "saved")
            collection = Collection.load(tmp_path / "saved")
        query = random_vector(rng)
        for k in (1, 5, len(model) + 3):
            assert bits(collection.search(query, k)) == expected(model, query, k)
        some = rng.sample(sorted(model), min(len(model), 5)) * 2
        assert collection.vectors(some).view(np.uint32).tolist() == f32_bits([model[i][0] for i in some])
        assert [entry.id for entry in collection.get(some + ["never added"])] == some
        assert all(id_ in collection for id_ in some) and "never added" not in collection
        within = set(some[:3])
        restricted = collection.search(query, 4, ids=some[:3] + ["never added"])
        assert bits(restricted) == expected(model, query, 4, lambda id_, payload: id_ in within)
    assert compactions >= 3
    assert [entry.payload for entry in collection.get(list(model))] == [p for _, p in model.values()]


# Integers reach the module's float32 through a double (two roundings);
# numpy's int64 -> float32 cast rounds once and lands one step away.
TRAP = 2**60 + 2**36 + 1


ARRAYS = {
    "int64": lambda v: np.array(v, np.int64),
    "uint64": lambda v: np.array(v, np.uint64),
    "float64": lambda v: np.array(v, np.float64),
}
OTHERS = {
    "ints": lambda v: v,
    "np-int-items": lambda v: [np.int64(x) for x in v],
    "floats": lambda v: tuple(float(x) for x in v),
}


@pytest.mark.parametrize(
    "make, as_matrix",
    [(make, False) for make in {**ARRAYS, **OTHERS}.values()] + [(make, True) for make in ARRAYS.values()],
    ids=[*ARRAYS, *OTHERS] + [f"{name}-2d" for name in ARRAYS],
)
def test_vectors_are_rounded_as_the_module_rounds(make, as_matrix):
    vector = make([TRAP, 2**60, 3, 0])
    collection = Collection()
    collection.add(["a"], np.stack([vector]) if as_matrix else [vector])
    module_value = struct.unpack("<f", struct.pack("<f", float(TRAP)))[0]
    assert collection.vectors(["a"])[0, 0] == module_value
    assert np.array([TRAP], np.int64).astype(np.float32)[0] != module_value  # the trap is real
    query = [1.0, -1.0, 0.0, 0.0]  # dot = stored TRAP - 2**60: zero only if rounded alike
    (hit,) = collection.search(query, 1)
    assert struct.pack("<d", hit.score) == struct.pack("<d", quillmere.cosine_similarity(query, vector))


@pytest.mark.parametrize(
    "ids, vectors, payloads, error, message",
    [
        (["x", "y"], [[1, 2, 3], [1, 2]], None, ValueError, "vector has length 2 but vectorstore expects 3"),
        (["x", "y"], np.ones((2, 2)), None, ValueError, "vector has length 2 but vectorstore expects 3"),
        (["x", "y"], [[1, 2, 3], [1, "a", 3]], None, TypeError, "argument 'vector'"),
        (["x", "y"], [[1, 2, 3], {1, 2, 3}], None, TypeError, "argument 'vector'"),
        (["x", "y"], [[1, 2, 3]], None, ValueError, "2 ids but 1 vectors"),
        (["x", 5], [[1, 2, 3]] * 2, None, TypeError, r"ids\[1\] is int"),
        (["x", "y"], [[1, 2, 3]] * 2, [{}, {"f": object()}], TypeError, "payload of id 'y'"),
    ],
)
def test_refused_add_changes_nothing(ids, vectors, payloads, error, message):
    collection = Collection(3)
    collection.add(["a", "x", "b"], [[1, 0, 0], [0, 1, 0], [1, 1, 0]], [1, 2, 3])
    state = lambda: (
        list(collection.items()),
        collection._count,
        len(collection._store),
        collection.vectors(["a", "x", "b"]).tobytes(),
    )
    before = state()
    with pytest.raises(error, match=message):
        collection.add(ids, vectors, payloads)
    assert state() == before


@pytest.mark.parametrize("size", [None, 3])
@pytest.mark.parametrize("call", ["search", "mmr"])
def test_bad_queries_raise_the_module_errors(size, call):
    collection = Collection(size)
    if size:
        collection.add(["a"], [[1, 2, 3]])
        with pytest.raises(ValueError, match="query has length 2 but vectorstore expects 3"):
            getattr(collection, call)([1, 2], 1)
    with pytest.raises(TypeError, match="argument 'vec"):
        getattr(collection, call)([1, "a", 3], 1)
    with pytest.raises(ValueError, match="k must be at least 0, got -1"):
        getattr(collection, call)([1, 2, 3], -1)


@pytest.fixture(scope="module")
def populated():
    rng = random.Random(3)
    collection, model = Collection(D), {}
    ids = [f"n{i}" for i in range(3000)]
    vectors = [random_vector(rng) for _ in ids]
    collection.add(ids, vectors, [{"bucket": i % 100} for i in range(len(ids))])
    model.update((id_, (v, {"bucket": i % 100})) for i, (id_, v) in enumerate(zip(ids, vectors)))
    doomed = ids[::7]
    collection.delete(doomed)  # tombstones stay: fewer than half the live entries
    for id_ in doomed:
        del model[id_]
    assert collection._count > len(collection)
    return collection, model


@pytest.mark.parametrize("strategy", [None, "overfetch", "matches", "dict", "dict-mask"])
@pytest.mark.parametrize("buckets", [0, 1, 10, 90, 100], ids=lambda b: f"{b}%")
@pytest.mark.parametrize("restrict", [None, 0.02, 0.6])
def test_filtered_search_is_exact(populated, strategy, buckets, restrict):
    collection, model = populated
    keep = lambda id_, payload: payload["bucket"] < buckets
    if strategy and strategy.startswith("dict"):  # the same filter as plain data, answered from the payload index
        keep, strategy = {"bucket": {"$lt": buckets}}, ("mask" if strategy == "dict-mask" else None)
    allowed = None
    if restrict is not None:
        allowed = set(random.Random(buckets).sample(sorted(model), int(len(model) * restrict)))
    query = [1.0, 0.5, -1.0, 2.0]
    for k in (1, 10, 3000):
        got = collection._rank(query, k, keep if buckets < 100 else None, allowed, strategy)
        want = expected(model, query, k, lambda i, p: p["bucket"] < buckets and (allowed is None or i in allowed))
        assert bits(collection._hits(got)) == want


def test_mmr_follows_its_documented_rule():
    rng = random.Random(11)
    vectors = [random_vector(rng) for _ in range(40)] + [[1.0, 2.0, 0.5, -1.0]] * 3  # exact duplicates tie
    collection = Collection(D)
    collection.add([f"m{i}" for i in range(len(vectors))], vectors)
    query = [1.0, 2.0, 0.5, -1.0]
    for lambda_mult in (0.0, 0.3, 1.0):
        candidates = collection.search(query, 25)
        rows = {hit.id: list(map(float, collection.vectors([hit.id])[0])) for hit in candidates}
        chosen = [candidates[0]]
        while len(chosen) < 6:
            values = []
            for hit in candidates:
                redundancy = max(quillmere.cosine_similarity(rows[c.id], rows[hit.id]) for c in chosen)
                value = lambda_mult * hit.score - (1 - lambda_mult) * redundancy
                values.append(-math.inf if math.isnan(value) or hit in chosen else value)
            chosen.append(candidates[values.index(max(values))])  # the first of equals
        assert bits(collection.mmr(query, 6, fetch_k=25, lambda_mult=lambda_mult)) == bits(chosen)


def test_save_load_round_trip_and_overwrite(tmp_path, populated):
    collection, _ = populated
    path = tmp_path / "saved"
    Collection(D).save(path)
    collection.save(path)  # over an earlier save
    loaded = Collection.load(path)
    assert list(loaded.items()) == list(collection.items())
    assert loaded.vectors(list(loaded)).tobytes() == collection.vectors(list(collection)).tobytes()
    query = [0.5, 1.0, 1.0, -2.0]
    assert bits(loaded.search(query, 50)) == bits(collection.search(query, 50))
    assert len(os.listdir(path)) == 3  # the earlier save's files are gone


def flip_last_byte(path):
    data = bytearray(path.read_bytes())
    data[-2] ^= 0x40
    path.write_bytes(bytes(data))


def flip_header(where):
    """Flips the lowest bit of a byte of the .npy header: an offset, or the first such character."""

    def damage(directory):
        path = next(directory.glob("vectors-*"))
        data = bytearray(path.read_bytes())
        at = where if isinstance(where, int) else data.index(where.encode())
        data[at] ^= 0x01
        path.write_bytes(bytes(data))

    return damage


def rewrite_ids(ids):
    """Replaces the saved ids, with a manifest that vouches for the new entries file."""

    def damage(directory):
        path = next(directory.glob("entries-*"))
        raw = json.dumps({**json.loads(path.read_bytes()), "ids": ids}).encode()
        path.write_bytes(raw)
        manifest = json.loads((directory / "manifest.json").read_bytes())
        manifest["entries"].update(bytes=len(raw), crc32=zlib.crc32(raw))
        (directory / "manifest.json").write_text(json.dumps(manifest))

    return damage


HEADER_BYTES = {"magic": 1, "length-low": 8, "length-high": 9, "{": "{", "(": "(", ")": ")", "}": "}",
                "descr": "f4'", "order": "False"}


@pytest.mark.parametrize(
    "damage, reason",
    [
        (lambda d: (d / "manifest.json").unlink(), "manifest.json is missing"),
        (lambda d: next(d.glob("vectors-*")).write_bytes(next(d.glob("vectors-*")).read_bytes()[:-5]), "truncated"),
        (lambda d: next(d.glob("entries-*")).write_bytes(next(d.glob("entries-*")).read_bytes()[:-5]), "truncated"),
        (lambda d: flip_last_byte(next(d.glob("vectors-*"))), "checksum"),
        (lambda d: flip_last_byte(next(d.glob("entries-*"))), "checksum"),
        (lambda d: (d / "manifest.json").write_text((d / "manifest.json").read_text()[:40]), "not valid JSON"),
        (lambda d: next(d.glob("vectors-*")).unlink(), "is missing"),
    ]
    + [(flip_header(where), r"vectors-[0-9a-f]+\.npy") for where in HEADER_BYTES.values()]
    + [(rewrite_ids(ids), "ids that are not distinct strings") for ids in (["b", "b"], ["a", 2])],
    ids=["no-manifest", "short-vectors", "short-entries", "bad-vectors", "bad-entries", "short-manifest", "no-vectors"]
    + [f"header-{name}" for name in HEADER_BYTES] + ["repeated-id", "int-id"],
)
def test_damaged_save_refuses_to_load(tmp_path, damage, reason):
    collection = Collection(3)
    collection.add(["a", "b"], [[1, 2, 3], [4, 5, 6]], [{"t": "x"}, None])
    collection.save(tmp_path / "saved")
    damage(tmp_path / "saved")
    with pytest.raises(CorruptSaveError, match=reason):
        Collection.load(tmp_path / "saved")


def test_save_refuses_a_foreign_directory(tmp_path):
    (tmp_path / "notes.txt").write_text("mine")
    with pytest.raises(FileExistsError):
        Collection(3).save(tmp_path)
    assert os.listdir(tmp_path) == ["notes.txt"]


@pytest.mark.parametrize("json_payloads", [True, False])
def test_payloads_json_cannot_write(tmp_path, json_payloads):
    odd = {"when": datetime.date(2024, 1, 2)}
    collection = Collection(3, json_payloads=json_payloads)
    collection.add(["a", "b"], [[1, 2, 3], [4, 5, 6]], [{"t": 1}, {"t": 2}])
    if json_payloads:
        with pytest.raises(TypeError, match="payload of id 'b'"):
            collection.add(["b"], [[1, 2, 3]], [odd])
        collection.get(["b"])[0].payload["t"] = odd  # changed in place after the add
    else:
        collection.add(["b"], [[1, 2, 3]], [odd])
        assert collection.get(["b"])[0].payload is odd
    with pytest.raises(TypeError, match="payload of id 'b' is not JSON-serialisable"):
        collection.save(tmp_path / "saved")
    assert not (tmp_path / "saved").exists()
    collection.delete(["b"])
    collection.save(tmp_path / "saved")
    loaded = Collection.load(tmp_path / "saved", json_payloads=json_payloads)
    if json_payloads:
        with pytest.raises(TypeError, match="payload of id 'c'"):
            loaded.add(["c"], [[1, 2, 3]], [odd])
    else:
        loaded.add(["c"], [[1, 2, 3]], [odd])
    assert [entry.id for entry in loaded.items()] == ["a", "c"][: 1 + (not json_payloads)]


def test_save_format_and_a_save_from_before_the_read_back(tmp_path):
    """The .npy file is what np.save writes, and a save written by the
    version that kept its own copy of the rows loads with the same answers."""
    saved = tmp_path / "old"
    shutil.copytree(DATA / "save-v1", saved)
    loaded = Collection.load(saved)
    assert [(e.id, e.payload) for e in loaded.items()] == [
        ("b", None), ("c", [1, "x"]), ("e", {"nested": {"k": [1.5]}}), ("a", {"n": 2})]
    stored = [[0x7FC0BEEF, 0x3F800000, 0, 0x80000000], [1, 0xFF61B1E6, 0x3F000000, 0],
              [0xBF800000, 0x40000000, 0xC0400000, 0x40800000], [0x40800000, 0x40400000, 0x40000000, 0x3F800000]]
    assert loaded.vectors(list(loaded)).view(np.uint32).tolist() == stored
    model = {e.id: (np.array(v, np.uint32).view(np.float32).tolist(), e.payload)
             for e, v in zip(loaded.items(), stored)}
    for query in ([1, 1, 1, 1], [0, -1, 2, 0.5]):
        assert bits(loaded.search(query, 10)) == expected(model, query, 10)
    loaded.save(tmp_path / "new")
    rows = np.array(stored, np.uint32).view(np.float32)
    buffer = io.BytesIO()
    np.save(buffer, rows, allow_pickle=False)
    assert next((tmp_path / "new").glob("vectors-*")).read_bytes() == buffer.getvalue()
    old_npy = next(saved.glob("vectors-*")).read_bytes()
    assert old_npy == buffer.getvalue()


# A filter, or an ids iterable, that changes the collection in the middle of a search.
MUTATIONS = {
    "delete-tested": lambda c, id_: c.delete([id_]),
    "delete-to-compaction": lambda c, id_: c.delete([i for i in list(c) if i != id_][: len(c) // 2 + 2]),
    "add": lambda c, id_: c.add(["new"], [[1.0, 0.0, 0.0, 0.0]]),
    "overwrite-tested": lambda c, id_: c.add([id_], [[0.0, 1.0, 0.0, 0.0]]),
}
SEARCHES = {
    "overfetch": lambda c, keep, ids: c._rank([1, 2, 0, 1], 5, keep, ids, "overfetch"),
    "matches": lambda c, keep, ids: c._rank([1, 2, 0, 1], 5, keep, ids, "matches"),
    "search": lambda c, keep, ids: c.search([1, 2, 0, 1], 5, filter=keep, ids=ids),
    "mmr": lambda c, keep, ids: c.mmr([1, 2, 0, 1], 3, fetch_k=8, filter=keep, ids=ids),
}


@pytest.mark.parametrize("through", ["filter", "ids"])
@pytest.mark.parametrize("search", sorted(SEARCHES))
@pytest.mark.parametrize("mutation", sorted(MUTATIONS))
def test_changing_the_collection_during_a_search_is_refused(mutation, search, through):
    rng = random.Random(5)
    collection, model = Collection(D), {}
    for i in range(60):
        vector = [rng.choice(VALUES) for _ in range(D)]
        collection.add([f"e{i}"], [vector], [{"i": i}])
        model[f"e{i}"] = (vector, {"i": i})
    collection.delete(["e3", "e9"])  # tombstones, below the compaction threshold
    del model["e3"], model["e9"]
    fired = []

    def mutate(id_):
        if not fired:
            fired.append(id_)
            MUTATIONS[mutation](collection, id_)

    def keep(id_, payload):
        mutate(id_)
        return True

    def restriction():
        for i, id_ in enumerate(list(model)):
            if i == 20:
                mutate(id_)
            yield id_

    with pytest.raises(RuntimeError, match="^collection changed during iteration$"):
        if through == "filter":
            SEARCHES[search](collection, keep, None)
        else:
            SEARCHES[search](collection, None, restriction())
    # The change went through whole; nothing else was lost, and the collection still answers.
    for id_ in [i for i in model if i not in collection]:
        del model[id_]
    if mutation == "add":
        model["new"] = ([1.0, 0.0, 0.0, 0.0], None)
    elif mutation == "overwrite-tested":
        del model[fired[0]]
        model[fired[0]] = ([0.0, 1.0, 0.0, 0.0], None)
    assert list(collection) == list(model)
    for id_ in model:
        assert collection.vectors([id_]).view(np.uint32).tolist() == f32_bits([model[id_][0]])
    assert len(collection) == len(model) and fired
    query = [0.5, -1, 2, 1]
    assert bits(collection.search(query, 100)) == expected(model, query, 100)
