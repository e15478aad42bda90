"""scripts/dev.sh names a Python it cannot use before trying anything else."""

import os
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]


@pytest.mark.parametrize("python", ["/nonexistent/python3.13", "/bin/true"])
def test_unusable_vek_python_is_named(tmp_path, python):
    venv = tmp_path / "venv"
    env = dict(os.environ, VEK_PYTHON=python, VEK_VENV=str(venv))
    out = subprocess.run(
        ["bash", str(ROOT / "scripts" / "dev.sh"), "python", "-c", "pass"],
        env=env, capture_output=True, text=True, timeout=120, stdin=subprocess.DEVNULL,
    )
    assert out.returncode == 1
    assert f"VEK_PYTHON={python} is not a CPython 3.13" in out.stderr
    assert "apt-get" not in out.stderr and not venv.exists()
