#!/usr/bin/env bash
# One entry point for every set-up-free job of the project:
#   bash scripts/dev.sh demo        the demo (sample data + a small benchmark)
#   bash scripts/dev.sh test        every test: pytest and the native suite
#   bash scripts/dev.sh bench ...   a benchmark script from benchmarks/
#   bash scripts/dev.sh python ...  the project's interpreter with the package built
#   bash scripts/dev.sh sanitize    every test under AddressSanitizer + UBSan
# It installs what is missing (system libraries, a venv with Python 3.13, the
# Python packages) and rebuilds the extension incrementally.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="${VEK_VENV:-$ROOT/.venv}"
cd "$ROOT"

log() { printf '[dev] %s\n' "$*" >&2; }
die() { printf '[dev] error: %s\n' "$*" >&2; exit 1; }

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; elif command -v sudo >/dev/null; then sudo "$@"; else
    die "need root to run: $*"; fi
}

APT_UPDATED=0
apt_install() {
  command -v apt-get >/dev/null || die "missing system packages ($*) and no apt-get to install them"
  if [ "$APT_UPDATED" -eq 0 ]; then
    log "apt-get update"
    as_root apt-get update -qq >/dev/null
    APT_UPDATED=1
  fi
  log "apt-get install $*"
  DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq "$@" >/dev/null
}

have_deb() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

ensure_system() {
  local missing=()
  for pkg in "$@"; do have_deb "$pkg" || missing+=("$pkg"); done
  command -v g++ >/dev/null || missing+=(g++)
  if [ "${#missing[@]}" -gt 0 ]; then apt_install "${missing[@]}"; fi
}

# A working CPython 3.13 with venv and headers. `python3.13` on PATH may be a
# pyenv shim that fails unless activated, so every candidate is tried for real.
python_ok() {
  "$1" - <<'PY' >/dev/null 2>&1
import sys, sysconfig, os, venv
assert sys.version_info[:2] == (3, 13)
assert os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))
PY
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
  if ! py="$(find_python)"; then
    apt_install python3.13 python3.13-venv python3.13-dev || true
    py="$(find_python)" || die "no working Python 3.13 found (tried /usr/bin/python3.13, ~/.pyenv/versions/3.13*/bin/python3.13, python3.13 on PATH); install Python 3.13 with its headers or set VEK_PYTHON"
  fi
  log "creating venv with $py"
  rm -rf "$VENV"
  "$py" -m venv "$VENV"
}

PY_PACKAGES=(pip "scikit-build-core>=0.10" cmake ninja pytest numpy mypy hypothesis sympy scikit-learn pandas "dask[distributed]")
ensure_packages() {
  local stamp="$VENV/.vek-packages" want="${PY_PACKAGES[*]}"
  if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$want" ]; then return; fi
  log "installing Python packages: $want"
  "$VENV/bin/python" -m pip install -q --upgrade "${PY_PACKAGES[@]}"
  echo "$want" > "$stamp"
}

build_package() {
  log "building vek_math"
  "$VENV/bin/python" -m pip install -q --no-build-isolation --no-deps "$ROOT" \
    || die "building the extension failed"
}

setup() {
  ensure_system libtbb-dev "$@"
  ensure_venv
  ensure_packages
  export PATH="$VENV/bin:$PATH"
  build_package
}

run_native_tests() {
  local dir="$ROOT/build/cpp"
  cmake -S "$ROOT" -B "$dir" -G Ninja -DVEK_BUILD_PYTHON=OFF -DVEK_BUILD_TESTS=ON >/dev/null
  cmake --build "$dir"
  ctest --test-dir "$dir" --output-on-failure -j 2
}

build_native_benchmarks() {
  local dir="$ROOT/build/bench"
  cmake -S "$ROOT" -B "$dir" -G Ninja -DVEK_BUILD_PYTHON=OFF -DVEK_BUILD_BENCH=ON >/dev/null
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
  log "stubtest vek_math.vek_core"
  (cd "$VENV" && "$VENV/bin/python" -I -m mypy.stubtest vek_math.vek_core)
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
    run_stubtest
    run_python_tests "$@"
    run_native_tests
    ;;
  sanitize)
    # The whole suite with AddressSanitizer + UndefinedBehaviorSanitizer: the
    # native tests, then pytest against an instrumented build of the extension.
    setup libgtest-dev
    san="$ROOT/build/sanitize"
    cmake -S "$ROOT" -B "$san/cpp" -G Ninja -DVEK_BUILD_PYTHON=OFF -DVEK_BUILD_TESTS=ON -DVEK_SANITIZE=ON >/dev/null
    cmake --build "$san/cpp"
    ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --test-dir "$san/cpp" --output-on-failure -j 2
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
  python)
    setup
    "$VENV/bin/python" -I "$@"
    ;;
  *)
    echo "usage: bash scripts/dev.sh {demo|test|sanitize|bench NAME|python ARGS}" >&2
    exit 2
    ;;
esac
