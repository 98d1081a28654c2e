"""The errors a sharded store raises beyond the module's own."""

from __future__ import annotations


class ShardUnavailableError(RuntimeError):
    """A shard's actor has died or cannot be reached, so no complete answer exists.

    `shard` is the shard's position, numbered from 0 in insertion order, and
    `shard_count` the number of shards at the time.
    """

    def __init__(self, shard: int, shard_count: int, reason: str) -> None:
        super().__init__(f"shard {shard} of {shard_count} is unavailable: {reason}")
        self.shard = shard
        self.shard_count = shard_count
        self.reason = reason


def reason(error: BaseException) -> str:
    """The first line of an error, with its type: short enough to quote."""
    text = str(error).strip().splitlines()
    return f"{type(error).__name__}: {text[0] if text else ''}".rstrip(": ")
