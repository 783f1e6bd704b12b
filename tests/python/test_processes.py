"""Processes: forked and spawned children, a fork while a thread reads, a
multiprocessing pool, subinterpreters, and the module loaded by the sanitized run."""
import json
import os
import sys

import pytest

import twirlkit
from conftest import SANITIZED, run_script


def test_sanitized_run_loads_the_sanitized_module():
    if not SANITIZED:
        pytest.skip("only under make test-sanitize")
    assert f"{os.sep}asan{os.sep}" in twirlkit.__file__
    with open("/proc/self/maps") as maps:
        assert "libasan" in maps.read()


# --- processes -------------------------------------------------------------------

@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_children_forked_after_the_pool_ran_scramble_quickly_and_differently(tmp_path):
    out = run_script(tmp_path / "forks.py", """
        import hashlib, json, os, time
        import numpy as np
        import twirlkit

        def draw():
            cube = twirlkit.Cube3x3()
            cube.scramble(40)
            one = twirlkit.CubeBatch(1, 3)  # runs on the calling thread, not the pool
            one.scramble(np.full(1, 40, dtype=np.int64))
            many = twirlkit.CubeBatch(256, 3)
            many.scramble(np.full(256, 40, dtype=np.int64))
            rows = many.get_next_states()
            digest = lambda b: hashlib.sha256(b.to_sticker_array().tobytes()).hexdigest()
            return {"single": repr(cube.to_sticker_array()), "one": digest(one),
                    "many": digest(many), "rows": list(rows.shape)}

        # The pool runs and every generator in play is seeded before the forks.
        draw()
        results, seconds = [], []
        for _ in range(16):
            r, w = os.pipe()
            started = time.monotonic()
            pid = os.fork()
            if pid == 0:
                os.close(r)
                os.write(w, json.dumps(draw()).encode())
                os._exit(0)
            os.close(w)
            while not os.waitpid(pid, os.WNOHANG)[0]:
                if time.monotonic() - started > 2.0:
                    os.kill(pid, 9)
                    raise SystemExit("a forked child did not finish within 2 seconds")
                time.sleep(0.002)
            seconds.append(time.monotonic() - started)
            with os.fdopen(r, "rb") as pipe:
                results.append(json.loads(pipe.read()))
        results.append(draw())  # the parent goes on with streams of its own
        print(json.dumps({"results": results, "slowest": max(seconds)}))
    """)
    report = json.loads(out)
    results = report["results"]
    assert len(results) == 17 and report["slowest"] < 2.0
    assert all(r["rows"] == [256 * 12, 54] for r in results)
    for kind in ("single", "one", "many"):
        assert len({r[kind] for r in results}) == 17, kind


def test_multiprocessing_fork_and_spawn_generate_data(tmp_path):
    out = run_script(tmp_path / "generate.py", """
        import hashlib, multiprocessing, sys
        import numpy as np
        import twirlkit

        def job(count):
            batch = twirlkit.CubeBatch(count, 3)
            batch.scramble(np.full(count, 20, dtype=np.int64))
            states = batch.get_next_states()
            batch.apply_move_indexes(np.arange(count, dtype=np.uintp) % 12)
            return states.shape, hashlib.sha256(batch.to_sticker_array().tobytes()).hexdigest()

        if __name__ == "__main__":
            job(512)  # fork children inherit a process whose pool has run
            methods = ["fork", "spawn"] if "fork" in multiprocessing.get_all_start_methods() \\
                else ["spawn"]
            for method in methods:
                with multiprocessing.get_context(method).Pool(2) as pool:
                    results = pool.map(job, [64] * 6)
                print(method, len({h for _, h in results}), sorted({s for s, _ in results}))
    """)
    lines = out.splitlines()
    assert "spawn 6 [(768, 54)]" in lines
    if sys.platform == "linux":
        assert "fork 6 [(768, 54)]" in lines


# --- subinterpreters -------------------------------------------------------------

@pytest.mark.skipif(sys.version_info < (3, 12),
                    reason="interpreters declare multi-interpreter support from 3.12 on")
def test_isolated_subinterpreter_cannot_import_the_module(tmp_path):
    out = run_script(tmp_path / "subinterpreter.py", """
        import os
        try:
            import _interpreters as interpreters
        except ImportError:
            import _xxsubinterpreters as interpreters
        import twirlkit  # the main interpreter keeps its module

        read_fd, write_fd = os.pipe()
        interp = interpreters.create()  # isolated: its own lock and allocator
        interpreters.run_string(interp, "\\n".join([
            "import os",
            "try:",
            "    import twirlkit",
            "except ImportError as error:",
            f"    os.write({write_fd}, ('ImportError ' + str(error)).encode())",
            "else:",
            f"    os.write({write_fd}, b'imported')",
        ]))
        interpreters.destroy(interp)
        os.close(write_fd)
        print(os.read(read_fd, 1000).decode())
        print(twirlkit.Cube3x3().is_solved())
    """)
    first, second = out.splitlines()
    assert first.startswith("ImportError") and "subinterpreters" in first
    assert second == "True"


def test_multiprocessing_pool_reports_an_unreadable_array_instead_of_hanging(tmp_path):
    out = run_script(tmp_path / "pool.py", """
        import multiprocessing as mp, numpy as np, twirlkit

        def job(i):
            twirlkit.CubeBatch(8, 3).scramble(np.arange(16, dtype=np.int64)[::2])

        if __name__ == "__main__":
            with mp.get_context("fork").Pool(2) as pool:
                try:
                    pool.map(job, range(4))
                except twirlkit.PanicException as error:
                    assert isinstance(error, ValueError)
                    assert type(error) is twirlkit.UnreadableArrayError
                    print(error)
    """, timeout=120)
    assert out == "argument 'scramble_lengths' is not a contiguous, aligned array: AsSliceError\n"


def test_fork_while_another_thread_reads_the_batch_leaves_it_writable(tmp_path):
    out = run_script(tmp_path / "fork_hold.py", """
        import os, threading, time, numpy as np, twirlkit
        s = twirlkit.CubeBatch(20_000, 3)
        threading.Thread(target=lambda: [s.get_next_states() for _ in iter(int, 1)],
                         daemon=True).start()
        time.sleep(0.2)
        failed = 0
        for _ in range(10):
            pid = os.fork()
            if pid == 0:
                try:
                    s.apply_move_indexes(np.zeros(1, np.uintp))
                    s.get_next_states()
                except BaseException:
                    os._exit(1)
                os._exit(0)
            _, status = os.waitpid(pid, 0)
            failed += status != 0
        print(failed)
    """)
    assert out == "0\n"


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_fork_while_another_thread_is_inside_distances_leaves_the_batch_writable(tmp_path):
    # The first distances() builds the table, seconds with the lock released;
    # the fork is made once the batch is seen held by it.
    out = run_script(tmp_path / "fork_distances.py", """
        import os, threading, numpy as np, twirlkit
        batch = twirlkit.CubeBatch(4, 2)
        turn = np.zeros(1, np.uintp)
        def held():
            try:
                batch.apply_move_indexes(np.array([], np.uintp))
                return False
            except RuntimeError as error:
                assert str(error) == "Already borrowed"
                return True
        reader = threading.Thread(target=batch.distances)
        reader.start()
        while not held():
            assert reader.is_alive(), "distances() ended before it was seen"
        pid = os.fork()
        if pid == 0:
            try:
                batch.apply_move_indexes(turn)
            except BaseException:
                os._exit(1)
            os._exit(0)
        _, status = os.waitpid(pid, 0)
        reader.join()
        print(status)
    """, timeout=300)
    assert out == "0\n", "the child could not change the batch"
