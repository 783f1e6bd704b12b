"""A failing entropy source in fresh threads and pools."""
import os
import shutil
import subprocess
import sys

import pytest

import twirlkit
from conftest import SHIM, run_script


# --- a failing entropy source ----------------------------------------------------

@pytest.mark.skipif(sys.platform != "linux", reason="LD_PRELOAD shim")
@pytest.mark.skipif(shutil.which("gcc") is None, reason="needs gcc")
def test_entropy_failure_in_fresh_threads_and_pools_raises_panic(tmp_path):
    shim = tmp_path / "fail_entropy.so"
    subprocess.run(["gcc", "-shared", "-fPIC", "-o", str(shim), str(SHIM), "-ldl"], check=True)
    # Stacked after any sanitizer runtime, which must stay first.
    preload = ":".join(filter(None, [os.environ.get("LD_PRELOAD"), str(shim)]))
    module_dir = os.path.dirname(twirlkit.__file__)
    env = {"LD_PRELOAD": preload, "TWIRLKIT_FAIL_ENTROPY": "0",
           "PYTHONPATH": os.pathsep.join(filter(None, [module_dir, os.environ.get("PYTHONPATH")]))}
    out = run_script(tmp_path / "entropy.py", """
        import os, threading
        import numpy as np  # seeds its legacy generator while the source still works
        import twirlkit

        lengths = np.full(256, 20, dtype=np.int64)
        many, one = twirlkit.CubeBatch(256, 3), twirlkit.CubeBatch(1, 2)

        def attempt(label, call):
            try:
                call()
            except twirlkit.PanicException as error:
                # An internal failure, not a caller's mistake: no ValueError.
                print(label, "panic", "entropy source" in str(error)
                      and not isinstance(error, ValueError))
            else:
                print(label, "no panic")

        os.environ["TWIRLKIT_FAIL_ENTROPY"] = "1"
        # No generator has been seeded yet and the pool starts only now.
        attempt("pool", lambda: many.scramble(lengths))
        attempt("inline", lambda: one.scramble(lengths[:1]))
        thread = threading.Thread(target=attempt, args=("thread", twirlkit.Cube3x3().scramble))
        thread.start()
        thread.join()
        print("untouched", all(c.is_solved() for c in many) and one[0].is_solved())

        os.environ["TWIRLKIT_FAIL_ENTROPY"] = "0"
        many.scramble(lengths)  # the unseeded generators try the source again
        one.scramble(lengths[:1])
        print("recovered", sum(c.is_solved() for c in many) < 5, not one[0].is_solved())
    """, env=env)
    assert out.splitlines() == ["pool panic True", "inline panic True", "thread panic True",
                                "untouched True", "recovered True True"]
