"""batch.solve() under a node budget, and when memory for its tables is short."""
import json
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from twirlkit import CubeBatch

SANITIZED = bool(os.environ.get("TWIRLKIT_SANITIZED"))


def scrambled_batch(count, seed):
    rng = np.random.default_rng(seed)
    batch = CubeBatch(count, 3)
    for _ in range(100):
        batch.apply_move_indexes(rng.integers(0, 12, count).astype(np.uintp))
    return batch


def run_python(code, env):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                          env={**os.environ, **env}, capture_output=True, text=True, timeout=300)


def test_a_node_budget_gives_the_same_solutions_on_every_run_and_any_worker_count():
    batch = scrambled_batch(6, seed=12)
    # Twelve turns are out of reach within the budget: it ends every search.
    limits = dict(max_length=12, timeout=1e6, max_nodes=150_000)
    first = batch.solve(**limits)
    assert batch.solve(**limits) == first
    for cube, text in zip(batch, first):
        assert len(text.split()) > 12
        cube.do_moves(text)
        assert cube.is_solved()
    words = batch.to_packed().tolist()
    out = run_python(f"""
        import json, numpy as np, twirlkit
        b = twirlkit.CubeBatch.from_packed(np.array({words}, dtype=np.uint64), 3)
        print(json.dumps(b.solve(**{limits!r})))
    """, {"RAYON_NUM_THREADS": "1"})
    assert out.returncode == 0, out.stderr
    assert json.loads(out.stdout) == first


def test_max_nodes_arguments_and_a_budget_too_small_for_any_solution():
    batch = scrambled_batch(2, seed=13)
    for bad in ("1", 1.0, True):
        with pytest.raises(TypeError, match="max_nodes"):
            batch.solve(max_nodes=bad)
    for bad in (0, -1, -10**30):
        with pytest.raises(ValueError, match="^max_nodes must be a positive int or None$"):
            batch.solve(max_nodes=bad)
    assert len(batch.solve(max_nodes=None)) == 2
    assert len(batch.solve(max_nodes=10**30)) == 2  # as good as no limit
    with pytest.raises(TimeoutError, match="^no solution found for cube 0 within max_nodes=5$"):
        batch.solve(max_nodes=5)
    assert CubeBatch(2, 3).solve(max_nodes=1) == ["", ""]


@pytest.mark.skipif(SANITIZED or not sys.platform.startswith("linux"),
                    reason="an address-space limit needs Linux and no sanitizer's shadow memory")
def test_the_memory_error_of_a_table_build_names_the_tables(tmp_path):
    out = run_python("""
        import resource, numpy as np, twirlkit
        b = twirlkit.CubeBatch(4096, 3)
        b.scramble(np.full(4096, 30))  # the worker pool runs before the limit
        with open("/proc/self/status") as f:
            size = next(int(l.split()[1]) for l in f if l.startswith("VmSize:")) * 1024
        # Room for a little, not for the 68 MB of tables.
        resource.setrlimit(resource.RLIMIT_AS, (size + (24 << 20), resource.RLIM_INFINITY))
        try:
            b.solve()
        except MemoryError as error:
            print(error)
    """, {"XDG_CACHE_HOME": str(tmp_path)})
    assert out.returncode == 0, out.stderr
    assert out.stdout.startswith("cannot allocate the 3x3 solver tables of "), out.stdout
