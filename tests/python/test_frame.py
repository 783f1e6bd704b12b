"""The module frame: registration, classes, signatures, binding rules."""
import copy
import inspect
import pickle
import subprocess
import sys

import pytest

import twirlkit
from conftest import SOLVED_CORNERS, TURNS


def test_module_registration():
    assert twirlkit.__all__ == [
        "CubeBatch", "Cube2x2", "Cube3x3", "inverse_scramble", "get_next_states",
    ]
    assert twirlkit.__doc__ == ""
    for name in twirlkit.__all__:
        assert hasattr(twirlkit, name)


def test_import_is_clean_under_warnings_as_errors():
    code = (
        "import twirlkit\n"
        "for c in (twirlkit.Cube3x3, twirlkit.Cube2x2, twirlkit.CubeBatch):\n"
        "    assert c.__module__ == 'twirlkit', c.__module__\n"
        "    assert c.__name__ == c.__qualname__ == c.__name__.split('.')[-1]\n"
        "print('ok')\n"
    )
    out = subprocess.run([sys.executable, "-W", "error", "-c", code],
                         capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "ok"


def test_class_names_and_docstrings():
    assert twirlkit.Cube3x3.__name__ == "Cube3x3"
    assert twirlkit.Cube2x2.__qualname__ == "Cube2x2"
    assert twirlkit.Cube3x3.__text_signature__ == "()"
    assert twirlkit.Cube3x3.__doc__ in ("", None)
    assert twirlkit.Cube2x2.__doc__ == "A compact 2x2 Rubik's Cube model with fast move operations."
    assert twirlkit.CubeBatch.__text_signature__ == "(count, cube_type)"


def test_method_signatures_and_docstrings():
    assert twirlkit.Cube3x3.do_u_move.__text_signature__ == "($self)"
    assert twirlkit.Cube3x3.do_u_move.__doc__ == "Apply the U move (clockwise top face turn)."
    assert twirlkit.Cube2x2.do_b_prime_move.__doc__ == (
        "Apply the B' move (counterclockwise back face turn).")
    sig = inspect.signature(twirlkit.Cube3x3.scramble)
    assert sig.parameters["scramble_length"].default == 20
    assert twirlkit.Cube2x2.do_moves.__text_signature__ == "($self, moves)"
    assert twirlkit.Cube3x3.do_moves.__doc__ == (
        "Apply a whitespace-separated sequence of cube moves.")
    assert twirlkit.Cube3x3.is_solved.__doc__ == "Return true if the cube is solved."
    assert twirlkit.Cube2x2.to_sticker_array.__doc__ in ("", None)
    assert str(inspect.signature(twirlkit.inverse_scramble)) == "(scramble)"
    assert str(inspect.signature(twirlkit.get_next_states)) == "(cubes)"


def test_registration_order_of_methods():
    def own_methods(cls):
        return [n for n, v in vars(cls).items() if inspect.ismethoddescriptor(v)
                and not n.startswith("__")]

    assert own_methods(twirlkit.Cube3x3) == [
        "to_binary_corners", "to_binary_edges", "to_binary", "get_corners", "get_edges",
        "to_sticker_array", "is_solved", *TURNS, "do_moves", "scramble"]
    assert own_methods(twirlkit.Cube2x2) == [
        "to_binary", "get_corners", "to_sticker_array", "is_solved", *TURNS,
        "do_moves", "scramble"]
    # The Parts' members first, then those that bring states in and out.
    # The data methods follow them.
    assert own_methods(twirlkit.CubeBatch)[:17] == [
        "apply_move_indexes", "get_next_states", "to_sticker_array", "scramble", "len",
        "from_stickers", "from_packed", "from_cubes", "to_packed", "take", "expand",
        "is_solved", "stickers", "distances", "solve", "transform", "canonical"]
    assert own_methods(twirlkit.CubeBatch)[17:] == [
        "random", "random_walks", "apply", "compose", "inverse", "equals", "copy", "concatenate",
        "assign", "unique"]


def test_argument_rules(cube_class):
    with pytest.raises(TypeError):
        cube_class(1)
    with pytest.raises(TypeError):
        cube_class(x=1)
    cube = cube_class()
    with pytest.raises(TypeError):
        cube.do_u_move(1)
    with pytest.raises(TypeError):
        cube.is_solved(flag=True)
    with pytest.raises(TypeError, match="scramble_length"):
        cube.scramble(1.5)
    with pytest.raises(TypeError, match="unexpected keyword"):
        cube.scramble(length=3)
    with pytest.raises(TypeError):
        cube.scramble(1, 2)
    with pytest.raises(TypeError, match="moves"):
        cube.do_moves(42)
    with pytest.raises(TypeError, match="missing required argument 'moves'"):
        cube.do_moves()
    with pytest.raises(TypeError, match="given by name"):
        cube.do_moves("R", moves="U")
    with pytest.raises(OverflowError):
        cube.scramble(2**63)
    assert cube.is_solved()  # every failed call left the cube alone
    cube.scramble(0)
    cube.scramble(scramble_length=-5)
    cube.do_moves(moves="")
    assert cube.is_solved()


def test_wrong_receiver_is_refused_and_leaves_it_unchanged():
    small = twirlkit.Cube2x2()
    with pytest.raises(TypeError):
        twirlkit.Cube3x3.do_u_move(small)
    with pytest.raises(TypeError):
        twirlkit.Cube3x3.do_moves(small, "R")
    assert small.is_solved()


def test_classes_are_sealed(cube_class):
    with pytest.raises(TypeError):
        type("Sub", (cube_class,), {})
    cube = cube_class()
    attr = "corners" if cube_class is twirlkit.Cube3x3 else "state"
    with pytest.raises(AttributeError):
        setattr(cube, attr, 0)
    with pytest.raises(AttributeError):
        cube.extra = 1
    with pytest.raises(TypeError):
        import weakref
        weakref.ref(cube)
    with pytest.raises(TypeError):
        cube_class.do_u_move = None
    assert getattr(cube, attr) == SOLVED_CORNERS


def test_cubes_cannot_be_pickled_or_copied(cube_class):
    cube = cube_class()
    with pytest.raises(TypeError):
        pickle.dumps(cube)
    with pytest.raises(TypeError):
        copy.copy(cube)
    with pytest.raises(TypeError):
        copy.deepcopy(cube)


def test_equality_is_identity(cube_class):
    a, b = cube_class(), cube_class()
    assert a != b and a == a  # equal states, distinct objects
    assert len({a, b}) == 2


def test_panic_exception_is_a_base_exception():
    assert issubclass(twirlkit.PanicException, BaseException)
    assert not issubclass(twirlkit.PanicException, Exception)
    assert "PanicException" not in twirlkit.__all__


def test_version_is_the_installed_metadata_and_not_exported():
    import importlib.metadata

    assert twirlkit.__version__ == importlib.metadata.version("twirlkit")
    assert "__version__" not in twirlkit.__all__
