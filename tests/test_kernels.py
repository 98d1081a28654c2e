"""Every scoring kernel (chosen at run time by instruction set) gives the same bits."""
import json
import os
import subprocess
import sys

import pytest

CHILD = r"""
import json, random, struct, quillmere
rng = random.Random(11)
out = []
for d in (0, 1, 5, 33, 128):
    rows = [[rng.choice([0.0, -0.0, 1.5, -2.25, rng.uniform(-3, 3), 1e-30, 3e19]) for _ in range(d)]
            for _ in range(150)]
    store = quillmere.Vectorstore(d, [(r, i) for i, r in enumerate(rows)])
    for _ in range(4):
        q = [rng.uniform(-2, 2) for _ in range(d)]
        for found in (store.search(q, 200), store.parallel_search(q, 40, 3)):
            out.append([(struct.pack("<f", s).hex(), i) for s, i in found])
print(json.dumps(out))
"""


def run_with_kernel(kernel):
    env = dict(os.environ)
    env.pop("QUILLMERE_KERNEL", None)
    if kernel is not None:
        env["QUILLMERE_KERNEL"] = kernel
    done = subprocess.run([sys.executable, "-c", CHILD], env=env, capture_output=True, text=True, check=True)
    return json.loads(done.stdout)


@pytest.mark.parametrize("kernel", ["portable", "avx2"])
def test_forced_kernel_matches_fastest(kernel):
    assert run_with_kernel(kernel) == run_with_kernel(None)
