"""The type stubs of vek_core (and _engine): shipped with the package, and they accept what the
module accepts and reject what it refuses, as a type checker sees it."""

import importlib.util
import pathlib
import re
import textwrap

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent

# Each line that must not type-check carries "# E: <mypy error code>"; every
# other line must pass under --strict.
SNIPPET = textwrap.dedent(
    """\
    from fractions import Fraction
    from typing import Any, assert_type

    import numpy as np

    from vek_math import _engine as e
    from vek_math import vek_core as v

    assert_type(v.sin_n([np.float32(1.0), Fraction(1, 2), True]), list[float])
    assert_type(v.add_n(np.arange(3.0), b"ab"), list[float])
    assert_type(v.boost_n([(1.0, 2)], [0.5], 1), list[tuple[float, float]])
    assert_type(v.simulate_pulses_n(0, 1.0, 3), list[tuple[float, float, float]])
    assert_type(v.octonion_mul_n(np.zeros((2, 8)), [[0.0] * 8, np.zeros(8)]), list[list[float]])
    assert_type(v.geometric_product_n([[1.0]], [[1.0]], np.array([1], dtype=np.int8)), list[list[float]])
    p = v.VEKPoint(1, 2.0)
    assert_type(p.minkowski_delta(np.bool_(True), 1.0) + p.pulse().x, float)
    q = p.pair()
    assert_type(q + v.VEKPair.one() * v.VEKPair.from_polar(1, 0.5) / q - q, v.VEKPair)
    assert_type((abs(q), q == (1.0, 2.0), v.VEKKnot(p, n=3).flip().flip_count), tuple[float, bool, int])
    r = v.find_formula([[1.0, 2.0]], (2.0, 4.0), max_complexity=3, use_trig=False)
    assert_type(r.params if r else None, list[float] | None)
    o = e.search(np.ones((2, 1)), np.ones(2), progress=lambda level, generated, scored, best: None)
    assert_type((o.best.nodes[0][1] if o.best else None, o.front[0].loss), tuple[float | int | str | None, float])
    out: np.ndarray[Any, np.dtype[np.float64]] = np.empty(2)
    assert_type(e.evaluate(o.front[0].nodes, np.ones((2, 1)), [], out), np.ndarray[Any, np.dtype[np.float64]])

    v.exp_n("abc")  # E: arg-type
    v.exp_n(["a"])  # E: list-item
    v.boost_n([[1.0, 2.0]], [0.5], 1)  # E: list-item
    p.x = 3.0  # E: misc
    q * 2.0  # E: operator
    q < q  # E: operator
    v.find_formula([1.0, 2.0], [1.0, 2.0])  # E: list-item
    v.simulate_pulses_n(0, 1, 2.5)  # E: arg-type
    p.minkowski_delta(1, 1.0)  # E: arg-type
    v.ln_n(xs=[1.0])  # E: call-arg
    e.search(np.ones((2, 1)), np.ones(2), 8)  # E: call-arg
    e.search([[1.0]], [1.0])  # E: arg-type


    class Sub(v.VEKPoint):  # E: misc
        pass


    def no_constructor() -> None:
        v.PySearchResult()
        print("made")  # E: unreachable
    """
)


@pytest.mark.parametrize("module", ["vek_core", "_engine"])
def test_stub_and_marker_ship_beside_the_extension(module):
    installed = pathlib.Path(importlib.util.find_spec(f"vek_math.{module}").origin).parent
    assert (installed / "py.typed").is_file()
    assert (installed / f"{module}.pyi").read_text() == (ROOT / "vek_math" / f"{module}.pyi").read_text()


def test_type_checker_accepts_and_rejects_like_the_module(tmp_path):
    api = pytest.importorskip("mypy.api")
    source = tmp_path / "uses.py"
    source.write_text(SNIPPET)
    lines = enumerate(SNIPPET.splitlines(), 1)
    expected = {(n, m.group(1)) for n, line in lines if (m := re.search(r"# E: ([\w-]+)$", line))}
    # A cache that survives between runs: cold, numpy's stubs take a while.
    out, err, _ = api.run(["--strict", "--warn-unreachable", "--no-error-summary", "--cache-dir",
                           str(ROOT / "build" / "mypy-cache"), str(source)])
    got = {(int(m[1]), m[2]) for m in re.finditer(r"^[^:\n]*uses\.py:(\d+): error: .*\[([\w-]+)\]$", out, re.M)}
    assert got == expected, out + err
