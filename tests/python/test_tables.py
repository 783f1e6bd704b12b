"""build_tables: the cache folder it takes, the warning of a folder it cannot
use, progress on Python's sys.stderr, and a solve after it that builds
nothing. One built file is shared by copying it."""
import os
import shutil
import subprocess
import sys
import textwrap
import warnings

import pytest
import twirlkit

NAME = "solver3x3-v4.bin"


def run_python(code, env, args=(), drop=()):
    base = {k: v for k, v in os.environ.items() if k not in drop}
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code), *args],
                          env={**base, **env}, capture_output=True, text=True, timeout=300)


@pytest.fixture(scope="module")
def built_file():
    path = twirlkit.build_tables(3)  # the session's folder: built at most once
    assert path is not None and os.path.getsize(path) > 50_000_000
    return path


# What the child prints: the path build_tables returned, then whether a
# solve after it (with the file gone) wrote anything or brought it back.
CHILD = """
    import contextlib, io, os, sys, twirlkit
    with contextlib.redirect_stderr(io.StringIO()) as heard:
        path = twirlkit.build_tables(3{argument})
    os.remove(path)
    b = twirlkit.CubeBatch(3, 3)
    b.scramble(__import__("numpy").full(3, 30))
    with contextlib.redirect_stderr(io.StringIO()) as later:
        solutions = b.solve()
    for cube, text in zip(b, solutions):
        cube.do_moves(text); assert cube.is_solved()
    print(path)
    print(repr(heard.getvalue() + later.getvalue()), os.path.exists(path))
"""


@pytest.mark.parametrize("chosen", ["argument", "TWIRLKIT_CACHE_DIR", "XDG_CACHE_HOME", "HOME"])
def test_the_cache_folder_is_chosen_in_order_and_a_solve_after_builds_nothing(
        built_file, tmp_path, chosen):
    folders = {
        "argument": tmp_path / "given",
        "TWIRLKIT_CACHE_DIR": tmp_path / "own",
        "XDG_CACHE_HOME": tmp_path / "xdg" / "twirlkit",
        "HOME": tmp_path / "home" / ".cache" / "twirlkit",
    }
    for folder in folders.values():
        folder.mkdir(parents=True)
    shutil.copyfile(built_file, folders[chosen] / NAME)
    order = list(folders)
    env = {"HOME": str(tmp_path / "home"), "TWIRLKIT_PROGRESS": "1"}
    # Every source before the chosen one is absent; every one after it is set.
    if order.index(chosen) <= order.index("XDG_CACHE_HOME"):
        env["XDG_CACHE_HOME"] = str(tmp_path / "xdg")
    if order.index(chosen) <= order.index("TWIRLKIT_CACHE_DIR"):
        env["TWIRLKIT_CACHE_DIR"] = str(folders["TWIRLKIT_CACHE_DIR"])
    argument = f", cache_dir={str(folders['argument'])!r}" if chosen == "argument" else ""
    code = CHILD.format(argument=argument)
    done = run_python(code, env, drop=("XDG_CACHE_HOME", "TWIRLKIT_CACHE_DIR"))
    assert done.returncode == 0, done.stderr
    path, heard = done.stdout.splitlines()
    assert path == str(folders[chosen] / NAME)
    # Loaded, not built; the solve neither built nor loaded again.
    assert heard == "'' False"
    assert done.stderr == ""


def test_a_folder_it_cannot_use_gives_one_warning_naming_it(built_file, tmp_path):
    shared = tmp_path / "shared"
    shared.mkdir()
    shared.chmod(0o777)  # others may write: refused even though we could
    under_a_file = tmp_path / "file" / "cache"
    (tmp_path / "file").write_bytes(b"")
    for folder in (shared, under_a_file):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            assert twirlkit.build_tables(3, cache_dir=folder) is None
        assert len(caught) == 1 and caught[0].category is RuntimeWarning
        assert str(folder) in str(caught[0].message)
        assert not (shared / NAME).exists()
    # The tables stay in memory: a solve works.
    b = twirlkit.CubeBatch(2, 3)
    b.scramble(__import__("numpy").full(2, 20))
    for cube, text in zip(b, b.solve()):
        cube.do_moves(text)
        assert cube.is_solved()
    # A folder of our own lacking the file gets the tables held.
    mine = tmp_path / "mine"
    assert twirlkit.build_tables(3, cache_dir=mine) == str(mine / NAME)
    assert os.path.getsize(mine / NAME) == os.path.getsize(built_file)


def test_progress_goes_to_sys_stderr_only(tmp_path):
    code = """
        import contextlib, io, sys, twirlkit
        assert twirlkit.build_tables(2) is None
        with contextlib.redirect_stderr(io.StringIO()) as heard:
            path = twirlkit.build_tables(3, cache_dir=sys.argv[1])
        print(path)
        print(heard.getvalue(), end="")
    """
    done = run_python(code, {"TWIRLKIT_PROGRESS": "1"}, args=[str(tmp_path / "c")])
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""  # nothing on file descriptor 2
    path, *lines = done.stdout.splitlines()
    assert path == str(tmp_path / "c" / NAME)
    assert lines[0] == "twirlkit: building the 3x3 solver tables; this happens once"
    assert len(lines) == 6 and lines[-1].startswith("twirlkit: 3x3 solver tables:")
    assert "(5/5)" in lines[-1]


def test_arguments_are_checked():
    with pytest.raises(TypeError, match="unknown cube type"):
        twirlkit.build_tables(4)
    with pytest.raises(TypeError, match="positional"):
        twirlkit.build_tables(3, "/tmp")
    with pytest.raises(ValueError, match="empty"):
        twirlkit.build_tables(3, cache_dir="")
