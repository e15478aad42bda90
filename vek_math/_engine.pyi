# Type stubs of the private native module vek_math._engine: the search with
# its Pareto front, evaluation of node lists, and the operator table.
#
# X, y and out are float64 buffers (numpy arrays); the module checks their
# element type, shape and layout. A boolean must be an exact bool (numpy's
# bool scalar is accepted too).

from collections.abc import Buffer, Callable, Sequence
from types import CapsuleType
from typing import Any, Final, Literal, SupportsFloat, SupportsIndex, final

from _typeshed import structseq

from vek_math.vek_core import PySearchResult

# A node of a postfix expression, as the engine hands it out.
type _Node = tuple[Literal["const", "pow"], float] | tuple[Literal["var", "param"], int] | tuple[Literal["op"], str]
# A node as the engine takes it: a tuple or list of (kind, value).
type _NodeIn = _Node | tuple[str, SupportsFloat | SupportsIndex | str] | list[Any]
type _Stopped = Literal["time_limit", "interrupted", "memory", "memory_limit", "cluster"]
type _Group = Literal["core", "trig", "vek", "extra", "block"]

@final
class Operator(structseq[Any], tuple[str, int, _Group, str, str, str]):
    __match_args__: Final = ("name", "arity", "group", "text", "latex", "python")
    @property
    def name(self) -> str: ...
    @property
    def arity(self) -> Literal[1, 2]: ...
    @property
    def group(self) -> _Group: ...
    # Templates in which "{0}" and "{1}" stand for the operands' texts ("{k}"
    # for a power's exponent).
    @property
    def text(self) -> str: ...
    @property
    def latex(self) -> str: ...
    @property
    def python(self) -> str: ...

@final
class Record(structseq[Any], tuple[list[_Node], str, int, float, float, list[float]]):
    __match_args__: Final = ("nodes", "formula", "complexity", "loss", "error", "params")
    @property
    def nodes(self) -> list[_Node]: ...
    @property
    def formula(self) -> str: ...
    @property
    def complexity(self) -> int: ...
    @property
    def loss(self) -> float: ...
    @property
    def error(self) -> float: ...
    @property
    def params(self) -> list[float]: ...

# A beam member as Outcome.beam holds it and search(seed=...) takes it.
type _Member = tuple[list[_Node], list[float]]

@final
class Outcome(structseq[Any], tuple[Record | None, list[Record], _Stopped | None, int, int, int, list[_Member], bool]):
    __match_args__: Final = ("best", "front", "stopped", "levels", "generated", "scored", "beam", "validated")
    @property
    def best(self) -> Record | None: ...
    @property
    def front(self) -> list[Record]: ...
    @property
    def stopped(self) -> _Stopped | None: ...
    @property
    def levels(self) -> int: ...
    @property
    def generated(self) -> int: ...
    @property
    def scored(self) -> int: ...
    @property
    def beam(self) -> list[_Member]: ...
    @property
    def validated(self) -> bool: ...

# The operator table, in code order.
OPERATORS: tuple[Operator, ...]

def search_result(
    formula: str, error: SupportsFloat | SupportsIndex, complexity: SupportsIndex, params: Sequence[SupportsFloat]
) -> PySearchResult: ...
def search(
    X: Buffer,
    y: Buffer,
    *,
    max_complexity: SupportsIndex = 8,
    beam_width: SupportsIndex = 2000,
    precision_goal: SupportsFloat | SupportsIndex = 1e-10,
    use_trig: bool = True,
    use_vek: bool = True,
    complexity_penalty: SupportsFloat | SupportsIndex = 0.001,
    n_threads: SupportsIndex | None = None,
    time_limit: SupportsFloat | SupportsIndex | None = None,
    progress: Callable[[int, int, int, Record | None], object] | None = None,
    constants: bool = False,
    max_params: SupportsIndex = 4,
    unary_operators: Sequence[str] | None = None,
    binary_operators: Sequence[str] | None = None,
    max_samples: SupportsIndex | None = None,
    seed: Sequence[tuple[Sequence[_NodeIn], Sequence[SupportsFloat | SupportsIndex]]] | None = None,
    tick: Callable[[int, int, int, float | None], object] | None = None,
    memory_limit: SupportsIndex | None = None,
    scorer: Callable[[int, bytes, bytes, int, bytes, int], bytes | None] | None = None,
    weights: Buffer | None = None,
) -> Outcome: ...
def replica(X: Buffer, y: Buffer, setup: bytes) -> CapsuleType: ...
def replica_extend(replica: CapsuleType, members: bytes) -> int: ...
def score_chunk(replica: CapsuleType, cands: bytes, n_threads: SupportsIndex | None = None) -> bytes: ...
def evaluate[Out: Buffer](
    nodes: Sequence[_NodeIn], X: Buffer, params: Sequence[SupportsFloat | SupportsIndex], out: Out
) -> Out: ...
