"""Interpreter exit during lock-released calls, Ctrl-C and signal handlers."""

import pytest

from conftest import run_until_interrupted
from conftest import run_script


# --- interpreter exit, Ctrl-C, fork, memory, pool size ---------------------------

def test_daemon_threads_inside_lock_released_calls_let_the_interpreter_exit(tmp_path):
    # At exit the interpreter ends such a thread by a forced unwind when it
    # asks for the lock again, or while NumPy's first import runs in it; that
    # used to abort the process in about one run in six.
    for method in ("get_next_states", "to_sticker_array"):
        for _ in range(8):
            run_script(tmp_path / "exit.py", f"""
                import threading, time, twirlkit
                b = twirlkit.CubeBatch(1000, 3)
                threading.Thread(target=lambda: [b.{method}() for _ in iter(int, 1)],
                                 daemon=True).start()
                time.sleep(0.2)
            """)


@pytest.mark.parametrize("setup, call, check", [
    ("cube = twirlkit.Cube3x3()", "cube.scramble(2**62)", "check_invariants(cube)"),
    ("cube = twirlkit.Cube2x2()", "cube.scramble(2**62)", "check_invariants(cube)"),
    ("b = twirlkit.CubeBatch(64, 2)", "b.scramble(np.full(64, 2**62))",
     "b.apply_move_indexes(np.zeros(64, np.uintp)); [check_invariants(c) for c in b]"),
    ("b = twirlkit.CubeBatch(3, 3)", "b.scramble(np.full(3, 2**62))",
     "b.scramble(np.full(3, 5)); [check_invariants(c) for c in b]"),
    ("b = twirlkit.CubeBatch(4_000_000, 2); b.scramble(np.full(4_000_000, 3))",
     "[b.get_next_states() for _ in iter(int, 1)]",
     "b.apply_move_indexes(np.zeros(1, np.uintp)); assert b.to_sticker_array().shape[0] == 4_000_000"),
    ("b = twirlkit.CubeBatch(20_000_000, 2)",
     "[b.apply_move_indexes(np.ones(20_000_000, np.uintp)) for _ in iter(int, 1)]",
     "b.scramble(np.zeros(1, np.int64)); check_invariants(b[-1])"),
    ("cubes = [twirlkit.Cube3x3()] * 200_000",
     "[twirlkit.get_next_states(cubes) for _ in iter(int, 1)]", "check_invariants(cubes[0])"),
    ("b = twirlkit.CubeBatch.random(1, 3, 30, seed=1); zero = lambda x: np.zeros(len(x))",
     "twirlkit.beam_search(b, zero, beam_width=4096, max_depth=30000, encoding='packed')",
     "check_invariants(b[0])"),
    ("b = twirlkit.CubeBatch.random(1, 3, 30, seed=1); zero = lambda x: np.zeros(len(x))",
     "twirlkit.weighted_astar(b, zero, batch_size=4096, max_nodes=10**12, encoding='packed')",
     "check_invariants(b[0])"),
    ("pass", "[twirlkit.bfs(2, 20, moves=[0, 1, 4, 5, 8, 9]) for _ in iter(int, 1)]",
     "assert twirlkit.bfs(2, 2)[0].tolist() == [1, 12, 114]"),
], ids=["scramble-3x3", "scramble-2x2", "batch-scramble", "batch-scramble-small",
        "batch-next-states", "batch-apply", "list-next-states", "beam-search", "weighted-astar", "bfs"])
def test_ctrl_c_ends_long_calls_and_leaves_objects_valid(tmp_path, setup, call, check):
    assert run_until_interrupted(tmp_path, setup, call, check) == "interrupted\n"


def test_a_signal_handler_that_does_not_raise_lets_the_call_finish(tmp_path):
    out = run_until_interrupted(
        tmp_path,
        "import signal; seen = []; signal.signal(signal.SIGINT, lambda *a: seen.append(1)); "
        "b = twirlkit.CubeBatch(600_000, 3)",
        "(b.get_next_states(), b.get_next_states())",
        "pass")
    assert out == "returned\n"
