"""The actors behind each shard: placement, the live replicas, and repair.

The store decides what a loss means for its answers and orders every write;
this module starts the actors, drops the dead ones, and fills new ones from
the survivors in the background.
"""

from __future__ import annotations

import weakref
from typing import Any, Optional

import ray
from ray.exceptions import ActorDiedError, RayActorError
from ray.util.placement_group import placement_group, remove_placement_group
from ray.util.scheduling_strategies import PlacementGroupSchedulingStrategy

# How long `check_alive` waits for a replica to answer. A dead actor fails at
# once; one that has not answered by then is busy, and counts as alive.
PING_TIMEOUT_S = 1.0
# Repairs of one shard that fail this many times in a row are not retried
# until `wait_repaired` asks again.
REPAIR_ATTEMPTS = 3


def asked_resources(options: dict) -> dict:
    """What one shard actor asks Ray for, without the zeros."""
    asked = {
        "CPU": options.get("num_cpus") or 0,
        "GPU": options.get("num_gpus") or 0,
        "memory": options.get("memory") or 0,
        **(options.get("resources") or {}),
    }
    return {name: amount for name, amount in asked.items() if amount}


def _remove_placements(placements: list) -> None:
    if ray.is_initialized():
        for placement in placements:
            try:
                remove_placement_group(placement)
            except Exception:
                pass  # already gone with its job
    placements.clear()


class Replica:
    __slots__ = ("actor", "bundle")

    def __init__(self, actor: Any, bundle: int) -> None:
        self.actor = actor
        self.bundle = bundle


class Repair:
    """A new replica being filled from a live one. Writes made meanwhile go to
    it too, queued behind the fill; it joins the live replicas once every one
    of those calls has succeeded and its size is the shard's."""

    __slots__ = ("actor", "bundle", "refs", "sized")

    def __init__(self, actor: Any, bundle: int, fill: Any) -> None:
        self.actor = actor
        self.bundle = bundle
        self.refs = [fill]
        self.sized = fill  # the latest call that returns the replica's size

    def forward(self, ref: Any, sized: bool) -> None:
        self.refs.append(ref)
        if sized:
            self.sized = ref


class Group:
    """The driver's view of one shard: its placement group and replicas."""

    __slots__ = ("placement", "live", "repairs", "failed_repairs", "repair_error")

    def __init__(self, placement: Any, live: list) -> None:
        self.placement = placement
        self.live: list = live
        self.repairs: list = []
        self.failed_repairs = 0
        self.repair_error: Optional[BaseException] = None


class ReplicaGroups:
    """One `Group` per shard, in shard order, each meant to have `count` replicas.

    With `spread`, each shard gets a placement group of one bundle per
    replica and the STRICT_SPREAD strategy: Ray keeps the bundles on
    distinct nodes, moves a lost node's bundle to a node holding none of the
    others, and waits for one if there is none.
    """

    def __init__(self, actor_class: Any, vector_size: int, count: int, options: dict, spread: bool) -> None:
        self.actor_class = actor_class
        self.vector_size = vector_size
        self.count = count
        self.options = options
        # Ray refuses a bundle of nothing; one byte of memory reserves nothing
        # that matters and still ties the bundle to a node.
        self.bundle = (asked_resources(options) or {"memory": 1}) if spread else None
        self.groups: list = []
        self._placements: list = []
        self._finalizer = weakref.finalize(self, _remove_placements, self._placements)

    # ------------------------------------------------------------- actors

    def spawn(self, placement: Any, bundle: int) -> Any:
        options = self.options
        if placement is not None:
            strategy = PlacementGroupSchedulingStrategy(placement, placement_group_bundle_index=bundle)
            options = {**options, "scheduling_strategy": strategy}
        return self.actor_class.options(**options).remote(self.vector_size)

    def new_group(self) -> Group:
        """A shard's actors, started but not yet in `groups`."""
        placement = None
        if self.bundle is not None:
            placement = placement_group([self.bundle] * self.count, strategy="STRICT_SPREAD")
            self._placements.append(placement)
        return Group(placement, [Replica(self.spawn(placement, bundle), bundle) for bundle in range(self.count)])

    def end_group(self, group: Group) -> None:
        for replica in group.live:
            ray.kill(replica.actor)
        for repair in group.repairs:
            ray.kill(repair.actor)
        group.live, group.repairs = [], []
        if group.placement is not None:
            remove_placement_group(group.placement)
            self._placements.remove(group.placement)

    def drop(self, group: Group, replica: Replica) -> None:
        """Takes a replica out of service; one that failed during a write may
        hold other entries than the rest, so its actor ends."""
        group.live.remove(replica)
        ray.kill(replica.actor)

    def close(self) -> None:
        """Ends every actor and placement group; never raises."""
        for group in self.groups:
            for actor in [replica.actor for replica in group.live] + [repair.actor for repair in group.repairs]:
                try:
                    ray.kill(actor)
                except Exception:
                    pass  # gone already, with its job or its cluster
        self._finalizer()

    def forget(self) -> None:
        """Lets go of the actors without asking Ray: its session has ended."""
        self._finalizer.detach()
        self._placements.clear()

    # ------------------------------------------------------------- health

    def check_alive(self, sizes: list) -> dict:
        """Asks every live replica for its size and drops the ones that died.
        Returns {shard: error} for the shards that lost a replica."""
        self.poll_repairs(sizes)
        asked = [(index, replica) for index, group in enumerate(self.groups) for replica in group.live]
        if not asked:
            return {}
        refs = [replica.actor.size.remote() for _, replica in asked]
        ready, _ = ray.wait(refs, num_returns=len(refs), timeout=PING_TIMEOUT_S)
        answered = set(ready)
        deaths = {}
        for (index, replica), ref in zip(asked, refs):
            if ref in answered:
                try:
                    ray.get(ref)
                except ActorDiedError as error:
                    self.drop(self.groups[index], replica)
                    deaths[index] = error
                except RayActorError:
                    pass  # not reachable now, not known dead
        if deaths:
            self.poll_repairs(sizes)
        return deaths

    def missing(self) -> list:
        """(shard, live replicas) for every shard short of replicas."""
        return [(index, len(group.live)) for index, group in enumerate(self.groups) if len(group.live) < self.count]

    # ------------------------------------------------------------- repair

    def start_repairs(self, sizes: list) -> None:
        """Starts a new replica in every free slot of every shard that has a
        live replica to copy from. The new actor reads the source's entries
        actor to actor; the driver passes only the source's handle and the
        shard's size, which no write is changing now."""
        if self.count == 1:
            return
        for index, group in enumerate(self.groups):
            if not group.live or group.failed_repairs >= REPAIR_ATTEMPTS:
                continue
            taken = {replica.bundle for replica in group.live} | {repair.bundle for repair in group.repairs}
            for bundle in range(self.count):
                if bundle in taken:
                    continue
                # After a failed attempt, copy from another survivor: the
                # last source may have died unnoticed.
                source = group.live[(bundle + group.failed_repairs) % len(group.live)]
                actor = self.spawn(group.placement, bundle)
                group.repairs.append(Repair(actor, bundle, actor.fill.remote(source.actor, sizes[index])))

    def poll_repairs(self, sizes: list, timeout: Optional[float] = 0) -> None:
        """Promotes the repairs whose calls have all ended well, if their size
        is the shard's in `sizes`; ends the others that failed. Waits up to
        `timeout` seconds for them (None: until all end)."""
        pending = [ref for group in self.groups for repair in group.repairs for ref in repair.refs]
        if not pending:
            return
        ready, _ = ray.wait(pending, num_returns=len(pending), timeout=timeout)
        ended = set(ready)
        for index, group in enumerate(self.groups):
            for repair in list(group.repairs):
                finished = [ref for ref in repair.refs if ref in ended]
                error: Optional[BaseException] = None
                for ref in finished:
                    try:
                        ray.get(ref)
                    except Exception as failure:
                        error = failure
                        break
                if error is None and len(finished) < len(repair.refs):
                    repair.refs = [ref for ref in repair.refs if ref not in ended or ref is repair.sized]
                    continue
                group.repairs.remove(repair)
                if error is None and ray.get(repair.sized) != sizes[index]:
                    error = RuntimeError("the new replica's size differs from the shard's")
                if error is None:
                    group.live.append(Replica(repair.actor, repair.bundle))
                    group.failed_repairs = 0
                else:
                    ray.kill(repair.actor)
                    group.failed_repairs += 1
                    group.repair_error = error

    def failed_repair(self) -> Optional[int]:
        """The first shard whose repair failed too often in a row, if any."""
        return next((index for index, group in enumerate(self.groups)
                     if group.failed_repairs >= REPAIR_ATTEMPTS), None)
