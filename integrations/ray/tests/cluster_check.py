"""Replicas on a Ray cluster of three local nodes; run by test_sharded.py in
a process of its own. Exits non-zero with a traceback on the first fault."""

import os
import sys
import warnings

import ray
from ray.cluster_utils import Cluster

import quillmere_ray

sys.path.insert(0, os.path.dirname(__file__))
from test_sharded import answers_equal_one_store, D, IDS, ROWS  # noqa: E402


def node_of(actor):
    return ray.get(actor.__ray_call__.remote(lambda self: ray.get_runtime_context().get_node_id()))


def nodes_of(store):
    return [[node_of(actor) for actor in store.replica_actors(shard)] for shard in range(store.shard_count)]


def main():
    cluster = Cluster(initialize_head=True, head_node_args={"num_cpus": 1, "object_store_memory": 100 * 2**20})
    workers = [cluster.add_node(num_cpus=1, object_store_memory=100 * 2**20) for _ in range(2)]
    try:
        ray.init(address=cluster.address, log_to_driver=False)
        cluster.wait_for_nodes()
        with warnings.catch_warnings():
            warnings.simplefilter("error")  # no single-node warning here
            store = quillmere_ray.ShardedVectorstore(D, shard_capacity=10, replicas=2)
        store.extend_array(ROWS, IDS)
        placed = nodes_of(store)
        assert all(len(set(nodes)) == 2 for nodes in placed), placed

        # Losing a node that holds replicas loses no answer; each lost
        # replica comes back on the one node its shard does not use yet.
        # Two distinct nodes out of three always include a worker.
        worker = next(worker for worker in workers if any(worker.node_id in nodes for nodes in placed))
        lost = worker.node_id
        cluster.remove_node(worker)
        answers_equal_one_store(store, len(ROWS))
        store.wait_repaired(timeout=120)
        assert store.replica_counts == (2, 2, 2, 2)
        placed = nodes_of(store)
        assert all(len(set(nodes)) == 2 and lost not in nodes for nodes in placed), placed
        answers_equal_one_store(store, len(ROWS))

        try:
            quillmere_ray.ShardedVectorstore(D, replicas=3)
        except ValueError as error:
            assert "the Ray cluster has 2 alive nodes" in str(error), error
        else:
            raise AssertionError("replicas=3 on two nodes was accepted")
        store.close()
    finally:
        ray.shutdown()
        cluster.shutdown()


if __name__ == "__main__":
    main()
