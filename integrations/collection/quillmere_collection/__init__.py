"""A mutable, exact collection over `quillmere.Vectorstore`.

String ids, JSON payloads, add/overwrite/delete, exact and filtered search,
MMR and atomic persistence, with the module's guarantees: every search gives
the same score bits as `quillmere.cosine_similarity`, ties in order of
addition, NaN last. It is the shared base of the framework adapters.
"""

from ._collection import Collection, Entry, Filter, Hit
from ._persist import CorruptSaveError

__all__ = ["Collection", "CorruptSaveError", "Entry", "Filter", "Hit"]
