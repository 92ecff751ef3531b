#!/usr/bin/env bash
# Builds the C++ core and its tests on a toolchain other than the usual g++ on x86-64, and runs
# CTest there:
#
#   scripts/portability.sh clang-libcxx   clang and libc++, the toolchain of macOS, in
#                                         build/portability/clang-libcxx
#   scripts/portability.sh aarch64        Debian's aarch64 cross compiler, the tests under
#                                         qemu-user, in build/portability/aarch64
#
# GoogleTest is built from Debian's sources (/usr/src/googletest) with the same toolchain. Installs
# missing Debian packages with apt-get when run as root. Exits non-zero on any failure.
#
# Environment:
#   VELMORA_CACHE_DIR   ccache's cache (default: ~/.cache/velmora)
#   VELMORA_JOBS        parallel build and test jobs (default: 2)
set -uo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"

TARGET=${1:-}
CACHE_DIR=${VELMORA_CACHE_DIR:-${XDG_CACHE_HOME:-${HOME:-/root}/.cache}/velmora}
JOBS=${VELMORA_JOBS:-2}
GTEST_SOURCE=/usr/src/googletest
T_START=$(date +%s)

note() { printf '[portability.sh] %s\n' "$*"; }

case $TARGET in
  clang-libcxx | aarch64) ;;
  *)
    echo "usage: scripts/portability.sh clang-libcxx|aarch64" >&2
    exit 2
    ;;
esac

# Installs the Debian packages whose commands or files are missing, when root.
APT_UPDATED=0
need() {
  local probe=$1
  shift
  [[ -e $probe ]] || command -v "$probe" >/dev/null && return 0
  if [[ $(id -u) != 0 ]] || ! command -v apt-get >/dev/null; then
    note "missing $probe; install: $*"
    exit 2
  fi
  if ((APT_UPDATED == 0)); then
    apt-get update -qq >/dev/null || true
    APT_UPDATED=1
  fi
  note "apt-get install $*"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null || {
    note "could not install $*"
    exit 2
  }
}

need cmake cmake
need ninja ninja-build
need "$GTEST_SOURCE/CMakeLists.txt" googletest

CONFIGURE=(-G Ninja -DCMAKE_BUILD_TYPE=Release -DVELMORA_BUILD_TESTS=ON
  "-DVELMORA_GTEST_SOURCE_DIR=$GTEST_SOURCE")
if command -v ccache >/dev/null; then
  export CCACHE_DIR=${CCACHE_DIR:-$CACHE_DIR/ccache} CCACHE_BASEDIR=$ROOT CCACHE_NOHASHDIR=1
  CONFIGURE+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi

BUILD=$ROOT/build/portability/$TARGET
if [[ $TARGET == clang-libcxx ]]; then
  need clang++-19 clang-19
  need /usr/lib/llvm-19/include/c++/v1/expected libc++-19-dev libc++abi-19-dev
  # -stdlib=libc++ on every compile and link, GoogleTest's included.
  # GoogleTest's project enables C as well.
  CONFIGURE+=(-DCMAKE_CXX_COMPILER=clang++-19 -DCMAKE_C_COMPILER=clang-19 -DCMAKE_CXX_FLAGS=-stdlib=libc++
    -DCMAKE_EXE_LINKER_FLAGS=-stdlib=libc++)
else
  need aarch64-linux-gnu-g++ g++-aarch64-linux-gnu
  command -v qemu-aarch64-static >/dev/null || need qemu-aarch64 qemu-user
  CONFIGURE+=("-DCMAKE_TOOLCHAIN_FILE=$ROOT/cmake/toolchains/aarch64-linux-gnu.cmake")
fi

mkdir -p "$BUILD"
note "configuring $BUILD"
cmake -S "$ROOT" -B "$BUILD" "${CONFIGURE[@]}" >"$BUILD.configure.log" 2>&1 || {
  tail -n 40 "$BUILD.configure.log"
  note "configure failed"
  exit 1
}
note "building (log: $BUILD.build.log)"
ninja -C "$BUILD" -j "$JOBS" >"$BUILD.build.log" 2>&1 || {
  grep -E -A5 'error|FAILED' "$BUILD.build.log" | head -n 60
  note "build failed"
  exit 1
}

# The binaries must be what the name says: linked to libc++, or built for aarch64.
TESTS_BIN=$BUILD/tests/cpp/velmora_tests
if [[ $TARGET == clang-libcxx ]]; then
  if ! ldd "$TESTS_BIN" | grep -q 'libc++\.so' || ldd "$TESTS_BIN" | grep -q 'libstdc++'; then
    note "velmora_tests is not linked to libc++ alone:"
    ldd "$TESTS_BIN"
    exit 1
  fi
  note "velmora_tests links $(ldd "$TESTS_BIN" | grep -o 'libc++[a-z]*\.so[.0-9]*' | sort -u | tr '\n' ' ')"
else
  if ! readelf -h "$TESTS_BIN" | grep -q 'AArch64'; then
    note "velmora_tests is not an aarch64 binary"
    exit 1
  fi
  note "velmora_tests is an AArch64 executable; CTest runs it under $(grep -o 'qemu-aarch64[a-z-]*' "$BUILD/CMakeCache.txt" | head -n 1)"
fi

note "ctest"
ctest --test-dir "$BUILD" --output-on-failure -j "$JOBS" 2>&1 | tee "$BUILD.ctest.log"
rc=${PIPESTATUS[0]}
# The vector variants' tests skip themselves where the processor (or the build) has no such units.
note "skipped: $(grep -c '(Skipped)$' "$BUILD.ctest.log") tests"
note "$TARGET: ctest exit $rc in $(($(date +%s) - T_START)) s"
exit "$rc"
