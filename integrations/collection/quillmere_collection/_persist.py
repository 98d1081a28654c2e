"""Saving a collection as a directory, and loading it back whole or not at all.

A save is three files in one directory:
- `vectors-<token>.npy`: the live vectors, float32, one row per entry, in order;
- `entries-<token>.json`: `{"ids": [...], "payloads": [...]}` in the same order;
- `manifest.json`: names those two files, with their sizes and CRC-32s, the
  vector size and the entry count.

The data files get fresh names and are complete and synced before the
manifest is written under a temporary name and renamed over `manifest.json`,
so a reader sees the old save or the new one, never a mix. Files of earlier
or interrupted saves are removed afterwards.

The vectors are written and read a chunk at a time, so neither saving nor
loading holds them all beside the store. Loading checks the manifest, the
sizes, the .npy header and the entries before it reads any vector, and the
vectors' checksum as they pass; whatever it built is dropped if that fails.
"""

from __future__ import annotations

import itertools
import json
import os
import re
import secrets
import zlib
from typing import Any, Callable, Iterable, Iterator, List, Tuple

import numpy as np

from ._idtable import hashes_of, last_occurrences

FORMAT = "quillmere-collection"
VERSION = 1
MANIFEST = "manifest.json"
_DATA_FILE = re.compile(r"^(vectors-[0-9a-f]+\.npy|entries-[0-9a-f]+\.json|\.manifest-[0-9a-f]+\.tmp)$")


class CorruptSaveError(ValueError):
    """A saved collection that cannot be loaded: truncated, altered, or not a save at all."""

    def __init__(self, path: str, reason: str) -> None:
        super().__init__(f"cannot load the collection saved at {path!r}: {reason}")
        self.path = path
        self.reason = reason


def _write(path: str, data: Any) -> None:
    with open(path, "xb") as file:
        file.write(data)
        file.flush()
        os.fsync(file.fileno())


def _sync_directory(path: str) -> None:
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _npy_header(count: int, vector_size: int) -> dict:
    # What np.save writes for a C-ordered float32 array of this shape.
    return {"descr": np.lib.format.dtype_to_descr(np.dtype(np.float32)), "fortran_order": False,
            "shape": (count, vector_size)}


def save(path: Any, vector_size: Any, ids: List[str], chunks: Iterable[np.ndarray], payloads: List[Any]) -> None:
    """Writes a save of these entries; `chunks` yields their rows in order
    (C-contiguous float32 arrays, len(ids) rows in all)."""
    path = os.fspath(path)
    # Encode first: a payload that no longer serialises fails before any file exists.
    entries = json.dumps({"ids": ids, "payloads": payloads}, ensure_ascii=False).encode("utf-8")
    if os.path.isdir(path):
        if os.listdir(path) and not os.path.exists(os.path.join(path, MANIFEST)):
            raise FileExistsError(f"{path!r} is a non-empty directory that holds no saved collection")
    else:
        os.makedirs(path)  # raises if a file is in the way
    token = secrets.token_hex(8)
    vectors_name, entries_name = f"vectors-{token}.npy", f"entries-{token}.json"

    data_crc = written = 0
    with open(os.path.join(path, vectors_name), "xb") as file:
        np.lib.format.write_array_header_1_0(file, _npy_header(len(ids), vector_size or 0))
        for rows in chunks:
            file.write(rows.data)
            data_crc = zlib.crc32(rows.data, data_crc)
            written += len(rows)
        file.flush()
        os.fsync(file.fileno())
    if written != len(ids):
        raise AssertionError(f"{written} rows written for {len(ids)} ids")
    _write(os.path.join(path, entries_name), entries)
    manifest = {
        "format": FORMAT,
        "version": VERSION,
        "vector_size": vector_size,
        "count": len(ids),
        "vectors": {
            "file": vectors_name,
            "bytes": os.path.getsize(os.path.join(path, vectors_name)),
            "data_crc32": data_crc,
        },
        "entries": {"file": entries_name, "bytes": len(entries), "crc32": zlib.crc32(entries)},
    }
    temporary = os.path.join(path, f".manifest-{token}.tmp")
    _write(temporary, json.dumps(manifest, indent=1).encode("utf-8"))
    os.replace(temporary, os.path.join(path, MANIFEST))
    _sync_directory(path)
    for name in os.listdir(path):  # earlier saves, and leftovers of interrupted ones
        if _DATA_FILE.match(name) and name not in (vectors_name, entries_name):
            os.remove(os.path.join(path, name))


RowReader = Callable[[int], Iterator[np.ndarray]]


def load(path: Any) -> Tuple[int, List[str], List[Any], RowReader]:
    """Reads and checks a save: (vector_size, ids, payloads, read_rows); CorruptSaveError if unusable.

    `read_rows(n)` yields the rows in order, n at a time, in one buffer that
    it reuses, and raises CorruptSaveError after the last one if their
    checksum is not the manifest's.
    """
    path = os.fspath(path)
    if not os.path.isdir(path):
        raise FileNotFoundError(f"no saved collection at {path!r}: not a directory")

    def fail(reason: str) -> CorruptSaveError:
        return CorruptSaveError(path, reason)

    try:
        with open(os.path.join(path, MANIFEST), "rb") as file:
            manifest = json.loads(file.read())
    except FileNotFoundError:
        raise fail(f"{MANIFEST} is missing (not a saved collection, or a save that never completed)") from None
    except ValueError as error:
        raise fail(f"{MANIFEST} is not valid JSON ({error})") from None
    try:
        if manifest["format"] != FORMAT or manifest["version"] != VERSION:
            raise fail(f"{MANIFEST} is not a {FORMAT} version {VERSION} manifest")
        vector_size, count = manifest["vector_size"], manifest["count"]
        vectors, entries = manifest["vectors"], manifest["entries"]
        vectors_path = os.path.join(path, os.path.basename(vectors["file"]))
        entries_path = os.path.join(path, os.path.basename(entries["file"]))
        sizes = ((vectors_path, vectors["bytes"]), (entries_path, entries["bytes"]))
        vectors_crc, entries_crc = vectors["data_crc32"], entries["crc32"]
    except (KeyError, TypeError) as error:
        raise fail(f"{MANIFEST} lacks a field or has one of the wrong type ({error!r})") from None
    if not (
        isinstance(count, int)
        and count >= 0
        and (vector_size is None or isinstance(vector_size, int) and vector_size >= 0)
    ):
        raise fail(f"{MANIFEST} has an invalid count or vector_size")

    for file_path, expected in sizes:
        try:
            actual = os.path.getsize(file_path)
        except OSError:
            raise fail(f"{os.path.basename(file_path)} is missing") from None
        if actual != expected:
            raise fail(f"{os.path.basename(file_path)} has {actual} bytes, the manifest says {expected} (truncated?)")

    name = os.path.basename(vectors_path)
    try:
        with open(vectors_path, "rb") as file:
            version = np.lib.format.read_magic(file)
            if version == (1, 0):
                shape, fortran_order, dtype = np.lib.format.read_array_header_1_0(file)
            elif version == (2, 0):
                shape, fortran_order, dtype = np.lib.format.read_array_header_2_0(file)
            else:
                raise ValueError(f"unsupported .npy version {version}")
            offset = file.tell()
    except Exception as error:  # numpy parses the header with tokenize and ast: any error is damage
        raise fail(f"{name} has a damaged .npy header ({type(error).__name__}: {error})") from None
    d = vector_size or 0
    if dtype != np.float32 or fortran_order or shape != (count, d):
        raise fail(f"{name} holds {dtype} {shape}, expected float32 ({count}, {vector_size}) in C order")
    if offset + 4 * count * d != sizes[0][1]:
        raise fail(f"{name} has {sizes[0][1] - offset} bytes of data, expected {4 * count * d}")
    if count == 0 and vectors_crc != 0:
        raise fail(f"{name} fails its checksum (corrupt)")

    name = os.path.basename(entries_path)
    with open(entries_path, "rb") as file:
        raw = file.read()
    if zlib.crc32(raw) != entries_crc:
        raise fail(f"{name} fails its checksum (corrupt)")
    try:
        data = json.loads(raw)
        ids, payloads = data["ids"], data["payloads"]
    except (ValueError, KeyError, TypeError) as error:
        raise fail(f"{name} is not a valid entries file ({error!r})") from None
    if not (isinstance(ids, list) and isinstance(payloads, list) and len(ids) == len(payloads) == count):
        raise fail(f"{name} does not hold {count} ids and payloads")
    # Distinct by their sorted hashes: unlike a set of the ids, no Python object per id.
    if not all(map(isinstance, ids, itertools.repeat(str))) or last_occurrences(ids, hashes_of(ids)) is not None:
        raise fail(f"{name} holds ids that are not distinct strings")

    def read_rows(chunk: int) -> Iterator[np.ndarray]:
        buffer = np.empty((min(chunk, count), d), np.float32)
        crc = 0
        with open(vectors_path, "rb") as file:
            file.seek(offset)
            for first in range(0, count, chunk):
                rows = buffer[: min(chunk, count - first)]
                if file.readinto(rows.data) != rows.nbytes:
                    raise fail(f"{os.path.basename(vectors_path)} ended early (changed while loading?)")
                crc = zlib.crc32(rows.data, crc)
                yield rows
        if crc != vectors_crc:
            raise fail(f"{os.path.basename(vectors_path)} fails its checksum (corrupt)")

    return vector_size, ids, payloads, read_rows
