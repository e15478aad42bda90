#!/usr/bin/env bash
# One entry point for every set-up-free job of the project:
#   bash scripts/dev.sh demo        the demo (sample data + a small benchmark)
#   bash scripts/dev.sh test        the checks below, then every test: pytest and the native suite
#   bash scripts/dev.sh check       lint, type and format checks (ruff, mypy, clang-format)
#   bash scripts/dev.sh format      applies the formatting: ruff (imports, format) and clang-format
#   bash scripts/dev.sh bench ...   a benchmark script from benchmarks/
#   bash scripts/dev.sh python ...  the project's interpreter with the package built
#   bash scripts/dev.sh sanitize    every test under AddressSanitizer + UBSan
#   bash scripts/dev.sh wheel       a manylinux wheel in dist/ (auditwheel)
#   bash scripts/dev.sh installcheck  pip install into fresh venvs, system oneTBB hidden
# It installs what is missing (a compiler and GoogleTest from the system, a
# venv with Python 3.13, the Python packages named in pyproject.toml: oneTBB
# comes from there) and rebuilds the extension incrementally. Without root
# (or sudo) it says which system pieces are missing instead; VEK_PYTHON names
# the Python 3.13 to build the venv from, VEK_VENV the venv's folder.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="${VEK_VENV:-$ROOT/.venv}"
cd "$ROOT"

log() { printf '[dev] %s\n' "$*" >&2; }
die() { printf '[dev] error: %s\n' "$*" >&2; exit 1; }

# System packages come from apt-get, as root or through sudo (which may ask
# for a password on a terminal). Without either, nothing is tried: the caller
# says what is missing and how to provide it.
can_root() {
  [ "$(id -u)" -eq 0 ] && return 0
  command -v sudo >/dev/null || return 1
  [ -t 0 ] || sudo -n true 2>/dev/null
}

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

# Installs Debian packages; returns 1 when this user cannot or apt-get fails.
APT_UPDATED=0
apt_install() {
  command -v apt-get >/dev/null && can_root || return 1
  if [ "$APT_UPDATED" -eq 0 ]; then
    log "apt-get update"
    as_root apt-get update -qq >/dev/null || return 1
    APT_UPDATED=1
  fi
  log "apt-get install $*"
  DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq "$@" >/dev/null
}

have_deb() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

# A system package's files, found whether or not dpkg installed them.
have_pkg() {
  have_deb "$1" && return 0
  case "$1" in
    libgtest-dev) [ -f /usr/include/gtest/gtest.h ] || [ -f /usr/local/include/gtest/gtest.h ] ;;
    *) return 1 ;;
  esac
}

# Any C++ compiler CMake would pick: $CXX, c++, g++ or clang++.
have_compiler() {
  local c cxx="${CXX:-}"
  for c in "${cxx%% *}" c++ g++ clang++; do
    if [ -n "$c" ] && command -v "$c" >/dev/null; then return 0; fi
  done
  return 1
}

ensure_system() {
  local missing=() what=() pkg
  for pkg in "$@"; do have_pkg "$pkg" || { missing+=("$pkg"); what+=("$pkg"); }; done
  have_compiler || { missing+=(g++); what+=("a C++20 compiler (g++, or any on PATH as c++ or named by CXX)"); }
  [ "${#missing[@]}" -gt 0 ] || return 0
  log "needs: ${what[*]}"
  apt_install "${missing[@]}" \
    || die "cannot install them as this user (not root, no sudo); as root: apt-get install ${missing[*]}"
}

# A working CPython 3.13 with venv and headers. `python3.13` on PATH may be a
# pyenv shim that fails unless activated, so every candidate is tried for real.
# The check prints a word, so that a program that is not Python at all (one
# that ignores its input and succeeds) does not pass.
python_ok() {
  [ "$("$1" - 2>/dev/null <<'PY'
import sys, sysconfig, os, venv
assert sys.version_info[:2] == (3, 13)
assert os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))
print("python-ok")
PY
)" = python-ok ]
}

find_python() {
  local c
  for c in "${VEK_PYTHON:-}" /usr/bin/python3.13 /usr/local/bin/python3.13 \
           "$HOME"/.pyenv/versions/3.13*/bin/python3.13 "$(command -v python3.13 || true)"; do
    if [ -n "$c" ] && [ -x "$c" ] && python_ok "$c"; then echo "$c"; return 0; fi
  done
  return 1
}

ensure_venv() {
  if [ -x "$VENV/bin/python" ] && python_ok "$VENV/bin/python"; then return; fi
  local py
  if [ -n "${VEK_PYTHON:-}" ] && ! python_ok "$VEK_PYTHON"; then
    die "VEK_PYTHON=$VEK_PYTHON is not a CPython 3.13 with its headers (Python.h) and venv"
  fi
  if ! py="$(find_python)"; then
    log "needs a CPython 3.13 with its headers (Python.h) and venv; none at /usr/bin/python3.13, /usr/local/bin/python3.13, ~/.pyenv/versions/3.13*/bin/python3.13 or python3.13 on PATH"
    apt_install python3.13 python3.13-venv python3.13-dev || true
    py="$(find_python)" \
      || die "no Python 3.13 found: set VEK_PYTHON=/path/to/python3.13 (a CPython 3.13 with its headers, e.g. from pyenv or python.org), or as root: apt-get install python3.13 python3.13-venv python3.13-dev"
  fi
  log "creating venv with $py"
  rm -rf "$VENV"
  "$py" -m venv "$VENV"
}

# The Python packages of the dev venv, all named in pyproject.toml (the one
# list): the build requirements (the build runs without isolation), the
# run-time dependencies, and the `test` and `dev` extras.
py_requirements() {
  "$VENV/bin/python" - "$ROOT/pyproject.toml" <<'PY'
import sys, tomllib
with open(sys.argv[1], "rb") as f:
    meta = tomllib.load(f)
extras = meta["project"].get("optional-dependencies", {})
reqs = (meta["build-system"]["requires"] + meta["project"].get("dependencies", [])
        + extras.get("test", []) + extras.get("dev", []))
print("\n".join(dict.fromkeys(reqs)))
PY
}

ensure_packages() {
  local stamp="$VENV/.vek-packages" want
  mapfile -t want < <(py_requirements)
  [ "${#want[@]}" -gt 0 ] || die "no Python requirements read from pyproject.toml"
  if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "${want[*]}" ]; then return; fi
  log "installing Python packages: ${want[*]}"
  "$VENV/bin/python" -m pip install -q --upgrade pip "${want[@]}"
  echo "${want[*]}" > "$stamp"
}

# A CMake cache from before oneTBB came from the venv holds the system's
# TBB_DIR as if chosen by hand: start such a build folder afresh.
drop_stale_cache() {
  local cache="$1/CMakeCache.txt"
  if [ -f "$cache" ] && ! grep -q '^_VEK_TBB_DIR_AUTO:' "$cache"; then rm -f "$cache"; fi
}

build_package() {
  log "building vek_math"
  local dir
  for dir in "$ROOT"/build/cp3*; do drop_stale_cache "$dir"; done
  "$VENV/bin/python" -m pip install -q --no-build-isolation --no-deps "$ROOT" \
    || die "building the extension failed"
}

setup() {
  ensure_system "$@"
  ensure_venv
  ensure_packages
  export PATH="$VENV/bin:$PATH"
  build_package
}

# The native builds take oneTBB from the venv's tbb-devel, found through its
# interpreter.
native_configure() {
  local dir="$1"; shift
  drop_stale_cache "$dir"
  cmake -S "$ROOT" -B "$dir" -G Ninja -DPython_EXECUTABLE="$VENV/bin/python" -DVEK_BUILD_PYTHON=OFF "$@" >/dev/null
}

run_native_tests() {
  local dir="$ROOT/build/cpp"
  native_configure "$dir" -DVEK_BUILD_TESTS=ON
  cmake --build "$dir"
  ctest --test-dir "$dir" --output-on-failure -j 2
}

build_native_benchmarks() {
  local dir="$ROOT/build/bench"
  native_configure "$dir" -DVEK_BUILD_BENCH=ON
  cmake --build "$dir" >/dev/null
}

run_python_tests() {
  # Exit status 5 means pytest collected nothing: that is a failure here.
  local rc=0
  (cd "$ROOT" && "$VENV/bin/python" -I -m pytest -q -p no:cacheprovider "$@" tests) || rc=$?
  if [ "$rc" -eq 5 ]; then die "pytest ran no tests"; fi
  return "$rc"
}

# The type stubs of the extension against the built module. Run outside the
# work tree so that the installed package is the one checked.
run_stubtest() {
  log "stubtest vek_math.vek_core vek_math._ufuncs vek_math._engine"
  (cd "$VENV" && "$VENV/bin/python" -I -m mypy.stubtest vek_math.vek_core vek_math._ufuncs vek_math._engine)
}

# The C++ sources under the formatter: the core and bindings, the native tests
# and the native benchmarks (NUL-separated, sorted).
cpp_sources() {
  find src tests/cpp benchmarks \( -name '*.cpp' -o -name '*.hpp' \) -type f -print0 | sort -z
}

# Lint, type and format checks, all run so that one pass reports every
# finding; fails if any of them does. The tools are the dev extra's pins.
run_checks() {
  local failed=()
  log "ruff check"
  "$VENV/bin/ruff" check --quiet vek_math tests benchmarks scripts || failed+=("ruff check")
  log "ruff format --check"
  "$VENV/bin/ruff" format --check --output-format concise vek_math tests benchmarks scripts || failed+=("ruff format")
  log "mypy vek_math"
  "$VENV/bin/mypy" || failed+=(mypy)
  # The first difference of each file that is off; `format` fixes them all.
  log "clang-format --dry-run"
  cpp_sources | xargs -0 -r "$VENV/bin/clang-format" --dry-run --Werror --ferror-limit=1 || failed+=(clang-format)
  if [ "${#failed[@]}" -gt 0 ]; then
    log "checks failed: ${failed[*]} (bash scripts/dev.sh format applies ruff format and clang-format)"
    return 1
  fi
}

# The wheel's compilers: zig (the `ziglang` package of the dev extra) as
# clang for x86-64 Linux with glibc $VEK_WHEEL_GLIBC (2.28 unless set), the
# baseline instruction set, and libc++ linked in statically. So the modules
# need nothing newer from the system than that glibc and libgcc_s: no
# libstdc++ of the build machine. The exact-arithmetic flags come from CMakeLists.txt as for
# every build. Prints the folder holding the `cc` and `c++` wrappers.
WHEEL_GLIBC="${VEK_WHEEL_GLIBC:-2.28}"
zig_toolchain() {
  local dir="$ROOT/build/zig-$WHEEL_GLIBC" tool
  "$VENV/bin/python" -m ziglang version >/dev/null 2>&1 \
    || die "zig (the ziglang package of the dev extra) does not run from $VENV"
  mkdir -p "$dir"
  for tool in cc c++; do
    printf '#!/bin/sh\nexec "%s" -m ziglang %s -target x86_64-linux-gnu.%s -mcpu=baseline "$@"\n' \
      "$VENV/bin/python" "$tool" "$WHEEL_GLIBC" > "$dir/$tool.new"
    chmod +x "$dir/$tool.new"
    mv "$dir/$tool.new" "$dir/$tool"
  done
  echo "$dir"
}

# A wheel of the current tree in dist/, built by the zig toolchain above and
# tagged by auditwheel as manylinux_<glibc> (it fails if any module needs a
# newer symbol). oneTBB is not copied in: the wheel declares the `tbb`
# package (itself manylinux_2_28), whose libraries pip puts into <prefix>/lib,
# where the modules' RPATH points.
make_wheel() {
  local raw="$ROOT/build/wheel-raw" out="$1" tools
  tools="$(zig_toolchain)"
  rm -rf "$raw"
  log "building the wheel (zig c++, glibc $WHEEL_GLIBC)"
  # The modules unwind through the system's libgcc_s (which libtbb and
  # libstdc++ use too) rather than a static copy of LLVM's unwinder: with one
  # unwinder in the process, an exception thrown inside libtbb (say, out of
  # memory while an arena starts) is caught by the modules' handlers instead
  # of ending the process. libgcc_s.so.1 is part of every manylinux system.
  local gcc_s
  gcc_s="$("$VENV/bin/python" -c '
import ctypes, ctypes.util
ctypes.CDLL(ctypes.util.find_library("gcc_s") or "libgcc_s.so.1")
print(next(l.split()[-1] for l in open("/proc/self/maps") if "/libgcc_s.so" in l))')" \
    || die "libgcc_s.so.1 not found"
  CC="$tools/cc" CXX="$tools/c++" "$VENV/bin/python" -m pip wheel -q --no-build-isolation --no-deps \
    -C build-dir="$ROOT/build/wheel-zig-$WHEEL_GLIBC" -C cmake.define.CMAKE_MODULE_LINKER_FLAGS="$gcc_s" \
    -w "$raw" "$ROOT" >&2 \
    || die "building the wheel failed"
  mkdir -p "$out"
  if ! "$VENV/bin/auditwheel" repair --plat "manylinux_${WHEEL_GLIBC/./_}_x86_64" \
      --exclude libtbb.so.12 --exclude libtbbmalloc.so.2 \
      -w "$out" "$raw"/vek_math-*.whl >"$raw/auditwheel.log" 2>&1; then
    cat "$raw/auditwheel.log" >&2
    die "auditwheel repair failed"
  fi
  local wheel
  wheel="$(sed -n 's/^Fixed-up wheel written to //p' "$raw/auditwheel.log")"
  [ -f "$wheel" ] || die "auditwheel wrote no wheel (see $raw/auditwheel.log)"
  # What the modules' symbol versions ask of the system, as `auditwheel show`
  # reads them (its overall tag stays linux_x86_64: libtbb is excluded): at
  # most glibc $WHEEL_GLIBC, no instruction-set extensions.
  local needs
  needs="$("$VENV/bin/auditwheel" show --json "$wheel" | "$VENV/bin/python" -c '
import json, sys
d = json.load(sys.stdin)
tag = d["sym_tag"]
ok = tag.startswith("manylinux_") and not d["unsupported_isa"]
ok = ok and tuple(map(int, tag.split("_")[1:3])) <= tuple(map(int, sys.argv[1].split(".")))
print(tag + ("" if not d["unsupported_isa"] else " and x86-64 extensions"))
sys.exit(0 if ok else 1)' "$WHEEL_GLIBC")" \
    || die "the wheel's modules need more than glibc $WHEEL_GLIBC and baseline x86-64: $needs"
  log "auditwheel: $(basename "$wheel"); auditwheel show: its symbols need $needs"
  echo "$wheel"
}

cmd="${1:-}"
shift || true
case "$cmd" in
  demo)
    setup
    VEK_BENCHMARKS="$ROOT/benchmarks" "$VENV/bin/python" -I -m vek_math.demo "$@"
    ;;
  test)
    setup libgtest-dev
    # The checks come first; the tests still run after a failed check so that
    # one run shows everything, and the command fails at the end.
    checks=0
    run_checks || checks=$?
    run_stubtest
    # The wheel of this build in a fresh venv, the system's oneTBB hidden.
    wheel="$(make_wheel "$ROOT/build/wheelhouse")"
    "$VENV/bin/python" -I "$ROOT/scripts/installcheck.py" --wheel "$wheel"
    run_python_tests "$@"
    run_native_tests
    [ "$checks" -eq 0 ] || die "the tests ran, but the lint, type or format checks failed (see above)"
    ;;
  check)
    ensure_venv
    ensure_packages
    run_checks
    ;;
  format)
    # Import order is formatting too; other lint findings are left to fix by hand.
    ensure_venv
    ensure_packages
    "$VENV/bin/ruff" check --quiet --select I --fix vek_math tests benchmarks scripts
    "$VENV/bin/ruff" format vek_math tests benchmarks scripts
    cpp_sources | xargs -0 -r "$VENV/bin/clang-format" -i
    log "formatted the Python and C++ sources"
    ;;
  sanitize)
    # The whole suite with AddressSanitizer + UndefinedBehaviorSanitizer: the
    # native tests, then pytest against an instrumented build of the extension.
    setup libgtest-dev
    san="$ROOT/build/sanitize"
    native_configure "$san/cpp" -DVEK_BUILD_TESTS=ON -DVEK_SANITIZE=ON
    cmake --build "$san/cpp"
    ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --test-dir "$san/cpp" --output-on-failure -j 2
    drop_stale_cache "$san/wheel"
    rm -rf "$san/site"
    "$VENV/bin/python" -m pip install -q --no-build-isolation --no-deps --target "$san/site" \
      -C cmake.define.VEK_SANITIZE=ON -C build-dir="$san/wheel" "$ROOT"
    rc=0
    (cd "$ROOT" && LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)" \
      ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1 PYTHONPATH="$san/site" \
      "$VENV/bin/python" -P -m pytest -q -p no:cacheprovider "$@" tests) || rc=$?
    [ "$rc" -eq 5 ] && die "pytest ran no tests"
    exit "$rc"
    ;;
  bench)
    setup
    script="${1:?usage: dev.sh bench NAME [args]}"; shift
    build_native_benchmarks
    if [ -f "$ROOT/benchmarks/$script.py" ]; then
      VEK_NATIVE_BENCH="$ROOT/build/bench/${script}_native" \
        "$VENV/bin/python" -E -s "$ROOT/benchmarks/$script.py" "$@"
    elif [ -x "$ROOT/build/bench/$script" ]; then
      "$ROOT/build/bench/$script" "$@"
    else
      die "no benchmark named $script in benchmarks/"
    fi
    ;;
  wheel)
    setup
    wheel="$(make_wheel "$ROOT/dist")"
    log "$(du -h "$wheel" | cut -f1) $wheel"
    echo "$wheel"
    ;;
  installcheck)
    # pip install from source and the dist/ wheel into fresh venvs while the
    # system's oneTBB is hidden; reports where the modules loaded it from.
    setup
    wheel="$(make_wheel "$ROOT/dist")"
    "$VENV/bin/python" -I "$ROOT/scripts/installcheck.py" --source "$ROOT" --wheel "$wheel"
    ;;
  python)
    setup
    "$VENV/bin/python" -I "$@"
    ;;
  *)
    echo "usage: bash scripts/dev.sh {demo|test|check|format|sanitize|wheel|installcheck|bench NAME|python ARGS}" >&2
    exit 2
    ;;
esac
