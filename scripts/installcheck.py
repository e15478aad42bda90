"""Installs vek_math into fresh venvs while the system's oneTBB is hidden, and
checks which libtbb the extension modules load.

    bash scripts/dev.sh installcheck   --source <tree> --wheel dist/<wheel>
    bash scripts/dev.sh test           --wheel <wheel of the dev build> (no rebuild)

In a private mount namespace (unshare) the system's oneTBB headers, CMake
package and shared libraries are covered by empty folders and /dev/null, for
this process tree only. Then, each in a fresh venv:
  source   pip install <tree>           a build with isolation (tbb-devel and
                                        numpy from the package index): the whole
                                        extension compiled, minutes (timed below)
  wheel    pip install dist/<wheel>     the manylinux wheel of `dev.sh wheel`
  target   pip install --target DIR     the wheel outside site-packages: the
                                        RPATH misses, vek_math._tbb preloads
The extension must have loaded libtbb.so.12 and libtbbmalloc.so.2 from inside
the venv, found by the RPATH alone where the package is in site-packages.
"""

import argparse
import glob
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
from typing import Any

HIDDEN_FLAG = "VEK_SYSTEM_TBB_HIDDEN"
SYSTEM_TBB = [
    "/usr/include/tbb",
    "/usr/include/oneapi",
    "/usr/local/include/tbb",
    "/usr/local/include/oneapi",
    "/usr/lib/*/cmake/TBB",
    "/usr/lib/cmake/TBB",
    "/usr/local/lib/cmake/TBB",
    "/usr/lib/*/libtbb*",
    "/usr/lib/libtbb*",
    "/usr/local/lib/libtbb*",
    "/usr/lib/*/pkgconfig/tbb.pc",
    "/usr/local/lib/pkgconfig/tbb.pc",
]

# Run by each venv's interpreter, from an empty folder.
PROBE = r"""
import importlib.util, json, os, subprocess, sys
import vek_math, vek_math._tbb
from vek_math import vek_core as v
out = v.exp_n([0.25] * 200_000)   # parallel work on the pool
assert out[0] == out[-1] and len(out) == 200_000
libs = sorted({l.split()[-1] for l in open("/proc/self/maps") if "/libtbb" in l})
so = v.__file__
# The module by itself, without the package's preload: the RPATH alone.
rpath_only = subprocess.run(
    [sys.executable, "-I", "-c",
     "import importlib.util as u, sys; s = u.spec_from_file_location('vek_core', sys.argv[1]); "
     "m = u.module_from_spec(s); s.loader.exec_module(m); "
     "import json; print(json.dumps(sorted({l.split()[-1] for l in open('/proc/self/maps') if '/libtbb' in l})))",
     so], capture_output=True, text=True)
print(json.dumps({
    "prefix": os.path.realpath(sys.prefix),
    "module": so,
    "libs": [os.path.realpath(p) for p in libs],
    "preloaded_from": vek_math._tbb.preload(),
    "rpath_only": json.loads(rpath_only.stdout) if rpath_only.returncode == 0 else rpath_only.stderr.strip(),
    "ldd": [l.strip() for l in subprocess.run(["ldd", so], capture_output=True, text=True).stdout.splitlines()
            if "tbb" in l],
}))
"""


def log(msg: str) -> None:
    print(f"[installcheck] {msg}", file=sys.stderr, flush=True)


def reexec_hidden() -> None:
    """Runs this script again in a private mount namespace (root: a plain one;
    otherwise a user namespace mapping the caller to root)."""
    unshare = shutil.which("unshare")
    if unshare is None:
        sys.exit("installcheck: needs unshare (util-linux) to hide the system's oneTBB")
    cmd = [unshare, "--mount", "--propagation", "private"]
    if os.geteuid() != 0:
        cmd[1:1] = ["--user", "--map-root-user"]
    env = dict(os.environ, **{HIDDEN_FLAG: "1"})
    os.execve(cmd[0], [*cmd, sys.executable, "-I", *sys.argv], env)


def hide_system_tbb(scratch: str) -> list[str]:
    empty = os.path.join(scratch, "empty")
    os.makedirs(empty, exist_ok=True)
    hidden = []
    for pattern in SYSTEM_TBB:
        for path in sorted(glob.glob(pattern)):
            if os.path.islink(path):
                continue  # its target is covered
            src = empty if os.path.isdir(path) else "/dev/null"
            subprocess.run(["mount", "--bind", src, path], check=True)
            hidden.append(path)
    return hidden


def assert_hidden() -> None:
    """The compiler finds no oneTBB header, the loader no libtbb, CMake no package."""
    cc = subprocess.run(
        ["c++", "-E", "-x", "c++", "-"], input="#include <tbb/version.h>\n", capture_output=True, text=True
    )
    assert cc.returncode != 0, "the system's oneTBB headers are still visible"
    load = subprocess.run(
        [sys.executable, "-I", "-c", "import ctypes; ctypes.CDLL('libtbb.so.12')"], capture_output=True, text=True
    )
    assert load.returncode != 0, "the system's libtbb.so.12 still loads"
    for path in glob.glob("/usr/lib/*/cmake/TBB") + glob.glob("/usr/lib/cmake/TBB"):
        assert not os.listdir(path), f"{path} is still visible"


def run(cmd: list[str], **kw: Any) -> float:
    start = time.monotonic()
    subprocess.run(cmd, check=True, **kw)
    return time.monotonic() - start


def probe(python: str, cwd: str, env: dict[str, str] | None = None) -> dict[str, Any]:
    out = subprocess.run(
        [python, "-I" if env is None else "-s", "-c", PROBE], cwd=cwd, capture_output=True, text=True, env=env
    )
    if out.returncode != 0:
        raise SystemExit(f"installcheck: the import failed:\n{out.stderr}")
    result: dict[str, Any] = json.loads(out.stdout.strip().splitlines()[-1])
    return result


def check(name: str, result: dict[str, Any], venv: str, via_rpath: bool) -> None:
    """Every mapped libtbb* file (libtbb and libtbbmalloc at least; libtbb may
    add its own helpers) lies in the venv; found by the RPATH alone, or by the
    package's preload where the RPATH cannot reach."""
    venv = os.path.realpath(venv)
    libs = result["libs"]
    names = {os.path.basename(p).split(".so")[0] for p in libs}
    ok = {"libtbb", "libtbbmalloc"} <= names and all(p.startswith(venv + os.sep) for p in libs)
    ok = ok and (result["preloaded_from"] is None) == via_rpath
    if via_rpath:
        direct = result["rpath_only"]
        ok = ok and isinstance(direct, list) and {os.path.realpath(p) for p in direct} == set(libs)
        ok = ok and len(result["ldd"]) == 2 and all(venv in line for line in result["ldd"])
    how = "RPATH" if via_rpath else f"preloaded from {result['preloaded_from']}"
    log(f"{name}: libtbb loaded from {', '.join(libs)} ({how})")
    if not ok:
        raise SystemExit(f"installcheck: {name}: unexpected oneTBB:\n{json.dumps(result, indent=2)}")


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--source", help="a source tree to pip install (built with isolation)")
    ap.add_argument("--wheel", help="a built wheel to pip install, in a venv and with --target")
    args = ap.parse_args()
    if not (args.source or args.wheel):
        ap.error("nothing to check: give --source and/or --wheel")
    if os.environ.get(HIDDEN_FLAG) != "1":
        reexec_hidden()

    scratch = tempfile.mkdtemp(prefix="vek-installcheck-")
    try:
        hidden = hide_system_tbb(scratch)
        assert_hidden()
        log(f"hid {len(hidden)} system oneTBB paths: {' '.join(hidden)}")
        work = os.path.join(scratch, "work")
        os.makedirs(work)
        base = getattr(sys, "_base_executable", sys.executable)
        quiet = ["-q", "--disable-pip-version-check"]
        figures: dict[str, float] = {}
        passed = 0

        if args.source:
            venv = os.path.join(scratch, "source")
            run([base, "-m", "venv", venv])
            log(f"source: pip install {args.source} (isolated build)")
            figures["source install (s)"] = run(
                [f"{venv}/bin/python", "-m", "pip", "install", *quiet, args.source, "-C", f"build-dir={scratch}/build"]
            )
            check("source", probe(f"{venv}/bin/python", work), venv, via_rpath=True)
            passed += 1

        if args.wheel:
            figures["wheel size (KiB)"] = os.path.getsize(args.wheel) / 1024
            venv = os.path.join(scratch, "wheel")
            run([base, "-m", "venv", venv])
            log(f"wheel: pip install {os.path.basename(args.wheel)}")
            figures["wheel install (s)"] = run([f"{venv}/bin/python", "-m", "pip", "install", *quiet, args.wheel])
            check("wheel", probe(f"{venv}/bin/python", work), venv, via_rpath=True)
            passed += 1

            target = os.path.join(scratch, "target")
            run([f"{venv}/bin/python", "-m", "pip", "install", *quiet, "--no-deps", "--target", target, args.wheel])
            env = dict(os.environ, PYTHONPATH=target)
            check("target", probe(f"{venv}/bin/python", work, env), venv, via_rpath=False)
            passed += 1
        for k, val in figures.items():
            log(f"{k}: {val:.1f}")
        log(f"{passed} installs checked")
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
