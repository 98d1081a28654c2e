"""Exact top-k cosine search over quillmere stores sharded across Ray actors.

A `ShardedVectorstore` gives the answer of one `quillmere.Vectorstore`
holding the same pairs in the same order, bit for bit, with its entries
spread over Ray actors (shards) that each hold a contiguous range of the
insertion order. Each shard may be held by several actors (replicas), so
that losing an actor or a node loses no entry and no answer.
"""

from ._errors import ShardUnavailableError
from ._store import ShardedVectorstore

__all__ = ["ShardedVectorstore", "ShardUnavailableError"]
