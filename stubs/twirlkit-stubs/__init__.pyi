# Type stubs of the twirlkit extension module. The module is one shared
# object, so its types ship as this stub-only package beside it.
import os
from collections.abc import Callable, Iterator, Sequence
from typing import Any, Literal, TypeVar, final, overload

import numpy as np
from numpy.typing import ArrayLike, DTypeLike, NDArray

__all__ = ["CubeBatch", "Cube2x2", "Cube3x3", "inverse_scramble", "get_next_states"]

__version__: str

# Element types of CubeBatch.stickers: codes, and one-hot rows.
_Code = TypeVar("_Code", np.int8, np.uint8, np.int16, np.int32, np.int64)
_Hot = TypeVar("_Hot", np.float32, np.float16, np.float64, np.bool_, np.uint8, np.int8)

class PanicException(BaseException):
    """An internal failure; derived from BaseException, so `except Exception` lets it through."""

class UnreadableArrayError(PanicException, ValueError):
    """An argument array that cannot be read in place (strided, misaligned or borrowed)."""

# The two move metrics: quarter turns (12 moves) and face turns (18).
_Metric = Literal["qtm", "htm"]

def move_names(metric: _Metric = "qtm") -> list[str]:
    """The move tokens of a metric in move-index order, each one do_moves reads."""

def release_cached_buffers() -> int:
    """Give the memory of freed output arrays and batches, kept for reuse, back to the system."""

def build_tables(cube_type: int, *, cache_dir: str | os.PathLike[str] | None = None) -> str | None:
    """Build or load the solver tables now; the path of the 3x3 cache file, or None."""

def symmetry_moves(metric: _Metric = "qtm") -> NDArray[np.int64]:
    """Shape (48, 12) or (48, 18): entry [k, m] is the move m becomes under symmetry k."""

@final
class Cube3x3:
    """A 3x3x3 cube, solved when created."""

    def __new__(cls) -> Cube3x3: ...
    @property
    def corners(self) -> int:
        """The packed corner word: eight 5-bit slots of (piece, orientation)."""
    def to_binary_corners(self) -> str: ...
    def to_binary_edges(self) -> str: ...
    def to_binary(self) -> tuple[str, str]: ...
    def get_corners(self) -> list[tuple[int, int]]:
        """Eight (piece, orientation) pairs in slot order."""
    def get_edges(self) -> list[tuple[int, int]]:
        """Twelve (piece, flip) pairs in slot order."""
    def to_sticker_array(self) -> list[int]:
        """54 colour codes 0..5, faces U, R, F, D, L, B."""
    def is_solved(self) -> bool: ...
    def do_u_move(self) -> None: ...
    def do_u_prime_move(self) -> None: ...
    def do_d_move(self) -> None: ...
    def do_d_prime_move(self) -> None: ...
    def do_r_move(self) -> None: ...
    def do_r_prime_move(self) -> None: ...
    def do_l_move(self) -> None: ...
    def do_l_prime_move(self) -> None: ...
    def do_f_move(self) -> None: ...
    def do_f_prime_move(self) -> None: ...
    def do_b_move(self) -> None: ...
    def do_b_prime_move(self) -> None: ...
    def do_moves(self, moves: str) -> None:
        """Apply tokens such as "R U' F2"; unknown tokens are skipped."""
    def scramble(self, scramble_length: int = 20) -> None: ...

@final
class Cube2x2:
    """A 2x2x2 cube, solved when created."""

    def __new__(cls) -> Cube2x2: ...
    @property
    def state(self) -> int:
        """The packed corner word, laid out like Cube3x3.corners."""
    def to_binary(self) -> str: ...
    def get_corners(self) -> list[tuple[int, int]]: ...
    def to_sticker_array(self) -> list[int]:
        """24 colour codes 0..5, faces U, R, F, D, L, B."""
    def is_solved(self) -> bool: ...
    def do_u_move(self) -> None: ...
    def do_u_prime_move(self) -> None: ...
    def do_d_move(self) -> None: ...
    def do_d_prime_move(self) -> None: ...
    def do_r_move(self) -> None: ...
    def do_r_prime_move(self) -> None: ...
    def do_l_move(self) -> None: ...
    def do_l_prime_move(self) -> None: ...
    def do_f_move(self) -> None: ...
    def do_f_prime_move(self) -> None: ...
    def do_b_move(self) -> None: ...
    def do_b_prime_move(self) -> None: ...
    def do_moves(self, moves: str) -> None: ...
    def scramble(self, scramble_length: int = 20) -> None: ...

@final
class CubeBatch:
    """`count` solved cubes of size `cube_type` (2 or 3) in one native vector."""

    def __new__(cls, count: int, cube_type: int) -> CubeBatch: ...
    def __len__(self) -> int: ...
    # Iteration is the sequence protocol over __getitem__, which the
    # runtime class serves without an __iter__ of its own.
    def __iter__(self) -> Iterator[Cube2x2 | Cube3x3]: ...
    def __getitem__(self, index: int, /) -> Cube2x2 | Cube3x3:
        """A copy of one cube; iteration goes through this too."""
    def apply_move_indexes(self, move_indexes: NDArray[np.uintp]) -> None:
        """Cube i gets move index move_indexes[i]; 12 and above leave it alone."""
    def get_next_states(self) -> NDArray[np.int64]:
        """Shape (12 * len(self), sticker_dim); row 12 * i + m is cube i after move m."""
    def to_sticker_array(self) -> NDArray[np.int64]:
        """Shape (len(self), sticker_dim)."""
    def scramble(self, scramble_lengths: NDArray[np.int64]) -> None:
        """Cube i gets scramble_lengths[i] random quarter turns."""
    def distances(self, *, target: CubeBatch | None = None) -> NDArray[np.int8]:
        """Exact quarter-turn distance of each 2x2 cube to solved; TypeError on 3x3.

        With `target` (n cubes or 1), the distance of cube i to target i.
        """
    def solve(self, *, max_length: int = 21, timeout: float = 1.0,
              max_nodes: int | None = None, target: CubeBatch | None = None) -> list[str]:
        """A solution of each cube, as move text for do_moves.

        2x2: a shortest one in quarter turns; the keywords are only checked.
        3x3: two-phase, at most `max_length` face turns when found within
        `timeout` seconds of search (CPU time) a cube, else the shortest found.
        `max_nodes` caps the search nodes a cube: results it bounds repeat on
        every run. TimeoutError when a cube gets no solution at all.
        With `target` (n cubes or 1), the moves take cube i to target i.
        """
    def solutions(
        self, *, target: CubeBatch | None = None, metric: _Metric = "qtm",
        max_length: int | None = None, timeout: float = 1.0,
    ) -> tuple[NDArray[np.uint8], NDArray[np.int16]]:
        """(moves, lengths): rows of moves of `metric` padded with the no-move, for apply().

        A length is -1 where no solution of at most `max_length` moves of the
        metric (a hard bound) was found within `timeout`; that row is padding.
        2x2: shortest in the metric. 3x3: two-phase; None bounds it by 21 face turns.
        """
    def len(self) -> int: ...
    @classmethod
    def from_stickers(cls, stickers: ArrayLike, cube_type: int) -> CubeBatch:
        """Integer rows of shape (n, sticker_dim), each checked reachable; ValueError names the row."""
    @classmethod
    def from_packed(cls, words: ArrayLike, cube_type: int) -> CubeBatch:
        """Integer rows of shape (n, 2) (3x3) or (n, 1) (2x2), checked like stickers."""
    @classmethod
    def from_cubes(cls, cubes: Sequence[Cube2x2] | Sequence[Cube3x3]) -> CubeBatch:
        """Copies of the states of single cubes of one class."""
    def to_packed(self) -> NDArray[np.uint64]:
        """Shape (len(self), 2) (corners, edges) or (len(self), 1) (state)."""
    def take(self, indices: ArrayLike) -> CubeBatch:
        """Copies of the selected cubes; negative indexes count from the end."""
    def expand(self, *, metric: _Metric = "qtm") -> CubeBatch:
        """12 * len(self) cubes; cube 12 * i + m is cube i after move index m (18 for htm)."""
    def is_solved(self, *, up_to_rotation: bool = False) -> NDArray[np.bool_]:
        """With up_to_rotation, a 2x2 turned as a whole (U D') counts as solved too."""
    # The element type follows from dtype and one_hot: int64 codes and
    # float32 one-hot rows by default.
    @overload
    def stickers(
        self, *, successors: bool = ..., dtype: None = ..., one_hot: Literal[False] = ...,
        out: NDArray[np.int64] | None = ..., metric: _Metric = ...,
    ) -> NDArray[np.int64]: ...
    @overload
    def stickers(
        self, *, successors: bool = ..., dtype: type[_Code] | np.dtype[_Code],
        one_hot: Literal[False] = ..., out: NDArray[_Code] | None = ..., metric: _Metric = ...,
    ) -> NDArray[_Code]: ...
    @overload
    def stickers(
        self, *, successors: bool = ..., dtype: None = ..., one_hot: Literal[True],
        out: NDArray[np.float32] | None = ..., metric: _Metric = ...,
    ) -> NDArray[np.float32]: ...
    @overload
    def stickers(
        self, *, successors: bool = ..., dtype: type[_Hot] | np.dtype[_Hot], one_hot: Literal[True],
        out: NDArray[_Hot] | None = ..., metric: _Metric = ...,
    ) -> NDArray[_Hot]: ...
    @overload
    def stickers(
        self, *, successors: bool = ..., dtype: DTypeLike = ..., one_hot: bool = ...,
        out: NDArray[Any] | None = ..., metric: _Metric = ...,
    ) -> NDArray[Any]: ...
    @classmethod
    def random(
        cls, n: int, cube_type: int, scramble_lengths: ArrayLike = 20, *,
        seed: int | np.random.Generator | None = None, non_backtracking: bool = False,
        metric: _Metric = "qtm",
    ) -> CubeBatch:
        """n cubes scrambled from solved; with a seed, a pure function of its arguments."""
    def random_walks(
        self, length: int, *, seed: int | np.random.Generator | None = None,
        non_backtracking: bool = False, metric: _Metric = "qtm",
    ) -> tuple[CubeBatch, NDArray[np.uint8]]:
        """(walks, moves): cube j * n + i is walk i after j + 1 moves; moves has shape (length, n)."""
    def apply(self, moves: ArrayLike, *, metric: _Metric = "qtm") -> None:
        """Moves of shape (n,) or (n, k), rows left to right; 12 (qtm) or 18 (htm) is no move."""
    def compose(self, other: CubeBatch) -> CubeBatch:
        """state(s).compose(state(t)) is state(s + t); other holds n cubes or 1."""
    def inverse(self) -> CubeBatch:
        """state(s).inverse() is state(s^-1)."""
    def equals(self, other: CubeBatch) -> NDArray[np.bool_]:
        """Element by element; other holds n cubes or 1."""
    def copy(self) -> CubeBatch: ...
    @classmethod
    def concatenate(cls, batches: Sequence[CubeBatch]) -> CubeBatch:
        """The cubes of every batch, in order; all of one cube type."""
    def assign(self, indices: ArrayLike, source: CubeBatch) -> None:
        """Overwrite the selected cubes (indexes or a boolean mask) with source's, or its one cube."""

    def transform(self, symmetry: int | ArrayLike) -> CubeBatch:
        """Every cube seen through symmetry 0..47 (S x S^-1), or cube i through symmetry[i]."""
    def canonical(
        self, *, symmetries: Literal["all", "rotations"] = "all",
    ) -> tuple[CubeBatch, NDArray[np.int8]]:
        """The least transform of each cube by its to_packed() row, and a symmetry giving it."""
    @overload
    def unique(self, *, return_index: Literal[False] = False, return_inverse: Literal[False] = False,
               return_counts: Literal[False] = False) -> CubeBatch:
        """The distinct states at their first places, in order, as np.unique on states."""
    @overload
    def unique(self, *, return_index: bool = False, return_inverse: bool = False,
               return_counts: bool = False) -> CubeBatch | tuple[Any, ...]:
        """With a flag: (states, then index, inverse and counts as asked), np.intp arrays."""

@final
class StateSet:
    """A set of cube states of size `cube_type` (2 or 3) in a native hash table."""

    def __new__(cls, cube_type: int) -> StateSet: ...
    def __len__(self) -> int: ...
    def add(self, batch: CubeBatch) -> NDArray[np.bool_]:
        """True where a cube's state was not in the set; a repeat within the batch is new once."""
    def contains(self, batch: CubeBatch) -> NDArray[np.bool_]: ...
    def to_batch(self) -> CubeBatch:
        """The states, in no particular order."""
    def clear(self) -> None: ...

def bfs(
    cube_type: int, max_depth: int, *, start: CubeBatch | None = None, metric: _Metric = "qtm",
    moves: Sequence[int] | None = None, keep_last: int = 1,
) -> tuple[NDArray[np.int64], list[CubeBatch]]:
    """States at each depth from start, to the last non-empty one, and the last keep_last layers."""

def inverse_scramble(scramble: str) -> str: ...
# The last form is list(batch): one size at run time, though not to a checker.
def get_next_states(
    cubes: list[Cube2x2] | list[Cube3x3] | list[Cube2x2 | Cube3x3],
) -> NDArray[np.int64]:
    """Shape (12 * len(cubes), sticker_dim), rows in the order 12 * i + m.

    All cubes must be of one size, that of the first.
    """

# What a guided search hands its scorer, by `encoding`: stickers(one_hot=...,
# dtype=dtype) or to_packed() of the children, or the children as a batch.
_Encoding = Literal["one_hot", "stickers", "packed", "batch"]
_Scorer = Callable[[Any], ArrayLike]

@final
class SearchResult:
    """The solutions of beam_search() or weighted_astar(), one per start."""
    @property
    def moves(self) -> NDArray[np.uint8]:
        """Shape (n, L): each solution's moves, padded with the no-move (12 or 18)."""
    @property
    def lengths(self) -> NDArray[np.int16]:
        """Each solution's length, -1 where none was found."""
    @property
    def expanded(self) -> NDArray[np.int64]:
        """The states each search expanded."""
    @property
    def scorer_seconds(self) -> float:
        """Seconds inside the scorer."""
    @property
    def search_seconds(self) -> float:
        """Seconds in the search outside the scorer."""

def beam_search(
    start: CubeBatch, scorer: _Scorer, *, beam_width: int = 1024, max_depth: int = 40,
    target: CubeBatch | None = None, metric: _Metric = "qtm", encoding: _Encoding = "one_hot",
    dtype: DTypeLike | None = None, history: int = 2,
) -> SearchResult:
    """Beam search from every start at once; one scorer call a depth, lower scores closer."""

def weighted_astar(
    start: CubeBatch, heuristic: _Scorer, *, weight: float = 0.6, batch_size: int = 1000,
    max_nodes: int = 10000000, target: CubeBatch | None = None, metric: _Metric = "qtm",
    encoding: _Encoding = "one_hot", dtype: DTypeLike | None = None,
) -> SearchResult:
    """Batch-weighted A* (key weight * g + h) from every start at once; one heuristic call an iteration."""
