"""The type stubs of vek_core: shipped with the package, and they accept what the
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
    from typing import assert_type

    import numpy as np

    from vek_math import vek_core as v

    assert_type(v.exp_n([1.0, 2]), list[float])
    assert_type(v.add_n((1, 2), range(3)), list[float])
    assert_type(v.ln_n(b"ab"), list[float])
    assert_type(v.sqrt_n(np.arange(3.0)), list[float])
    assert_type(v.sin_n([np.float32(1.0), Fraction(1, 2), True]), list[float])
    assert_type(v.boost_n([(1.0, 2)], [0.5], 1), list[tuple[float, float]])
    assert_type(v.rotate_phase_n([(1.0, 0.0)], [0.5]), list[tuple[float, float]])
    assert_type(v.schrodinger_step_n([(1.0, 0.0)], [1.0], 0.1, 1), list[tuple[float, float]])
    assert_type(v.simulate_pulses_n(0, 1.0, 3), list[tuple[float, float, float]])
    assert_type(v.christoffel_batch_n([(1.0, 0.0)], 0, 0, 1, 1.0), list[float])
    assert_type(v.octonion_mul_n(np.zeros((2, 8)), [[0.0] * 8, np.zeros(8)]), list[list[float]])
    assert_type(v.geometric_product_n([[1.0]], [[1.0]], np.array([1], dtype=np.int8)), list[list[float]])
    assert_type(v.geometric_product_n([[1.0]], [[1.0]], [1, -1]), list[list[float]])
    p = v.VEKPoint(1, 2.0)
    assert_type(p.x, float)
    assert_type(p.pulse(), v.VEKPoint)
    assert_type(p.is_slipping(), bool)
    assert_type(p.conserves_tension(next=p, tol=1e-9), bool)
    assert_type(p.minkowski_delta(np.bool_(True), 1.0), float)
    assert_type(p.boost(phi=0.1, c=1), v.VEKPoint)
    q = p.pair()
    assert_type(q + v.VEKPair.one() * v.VEKPair.from_polar(1, 0.5), v.VEKPair)
    assert_type(q / q - q, v.VEKPair)
    assert_type(abs(q), float)
    assert_type(q.modulus, float)
    assert_type(q == (1.0, 2.0), bool)
    assert_type(q.rotate_phase(1).conjugate(), v.VEKPair)
    k = v.VEKKnot(p, n=3, theta=0.5)
    assert_type(k.flip().point, v.VEKPoint)
    assert_type(k.flip_count, int)
    assert_type(k.tread_yield(), int)
    r = v.find_formula([[1.0, 2.0]], (2.0, 4.0), max_complexity=3, use_trig=False)
    assert_type(r, v.PySearchResult | None)
    if r is not None:
        assert_type(r.params, list[float])
        assert_type(r.complexity, int)
        assert_type(r.to_python(), str)

    v.exp_n("abc")  # E: arg-type
    v.exp_n(x for x in [1.0])  # E: arg-type
    v.exp_n({1.0: 2.0})  # E: arg-type
    v.exp_n(["a"])  # E: list-item
    v.boost_n([[1.0, 2.0]], [0.5], 1)  # E: list-item
    v.rotate_phase_n([q], [0.5])  # E: list-item
    p.x = 3.0  # E: misc
    k.flip_count = 2  # E: misc
    q * 2.0  # E: operator
    2.0 * q  # E: operator
    q < q  # E: operator
    v.find_formula([[1.0]], [1.0], use_trig=1)  # E: arg-type
    v.find_formula([1.0, 2.0], [1.0, 2.0])  # E: list-item
    v.simulate_pulses_n(0, 1, 2.5)  # E: arg-type
    v.VEKKnot(p, n=1.5)  # E: arg-type
    v.VEKKnot(1.0)  # E: arg-type
    v.christoffel_batch_n([(1.0, 0.0)], 0.0, 0, 1, 1.0)  # E: arg-type
    p.minkowski_delta(1, 1.0)  # E: arg-type
    p.minkowski_delta(np.int64(1), 1.0)  # E: arg-type
    v.find_formula([[1.0]], [1.0], use_vek=np.float64(1.0))  # E: arg-type
    v.ln_n(xs=[1.0])  # E: call-arg


    class Sub(v.VEKPoint):  # E: misc
        pass


    def no_constructor() -> None:
        v.PySearchResult()
        print("made")  # E: unreachable
    """
)


def test_stub_and_marker_ship_beside_the_extension():
    spec = importlib.util.find_spec("vek_math.vek_core")
    assert spec is not None and spec.origin is not None
    installed = pathlib.Path(spec.origin).parent
    assert (installed / "py.typed").is_file()
    assert (installed / "vek_core.pyi").read_text() == (ROOT / "vek_math" / "vek_core.pyi").read_text()


def test_type_checker_accepts_and_rejects_like_the_module(tmp_path):
    api = pytest.importorskip("mypy.api")
    pytest.importorskip("numpy")
    source = tmp_path / "uses.py"
    source.write_text(SNIPPET)
    expected = {
        (lineno, m.group(1))
        for lineno, line in enumerate(SNIPPET.splitlines(), 1)
        if (m := re.search(r"# E: ([\w-]+)$", line))
    }
    # A cache that survives between runs: cold, numpy's stubs take a while.
    cache = ROOT / "build" / "mypy-cache"
    out, err, _ = api.run(
        ["--strict", "--warn-unreachable", "--no-error-summary", "--cache-dir", str(cache), str(source)]
    )
    got = {
        (int(m.group(1)), m.group(2))
        for m in re.finditer(r"^[^:\n]*uses\.py:(\d+): error: .*\[([\w-]+)\]$", out, re.MULTILINE)
    }
    assert got == expected, out + err
