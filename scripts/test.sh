#!/usr/bin/env bash
# Runs every velmora check: the include layers, pytest in one virtual environment per interpreter,
# CTest plain, with only the portable kernels (with pytest again) and under ASan+UBSan, the
# libFuzzer targets for a bounded time, and clang-format. Exits non-zero
# on any failure. Installs missing Debian packages with apt-get when run as root.
#
# Environment:
#   VELMORA_PYTHONS       interpreters to test, space separated (default: python3.14 and python3)
#   VELMORA_CACHE_DIR     virtual environments and ccache's cache (default: ~/.cache/velmora)
#   VELMORA_FUZZ_SECONDS  fuzzing time per target (default 30; 0 skips fuzzing)
#   VELMORA_RECORDINGS    directory of real recordings (default: ../shared/recordings if present)
#   VELMORA_JOBS          parallel build jobs (default: nproc)
#   VELMORA_STEPS         steps to run (default: "layers pytest ctest portable asan fuzz format")
#   CI=true               a missing CPython 3.14 is a failure instead of a warning
set -uo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"

CACHE_DIR=${VELMORA_CACHE_DIR:-${XDG_CACHE_HOME:-${HOME:-/root}/.cache}/velmora}
FUZZ_SECONDS=${VELMORA_FUZZ_SECONDS:-30}
JOBS=${VELMORA_JOBS:-$(nproc 2>/dev/null || echo 2)}
BUILD=$ROOT/build
LOGS=$BUILD/test-logs
mkdir -p "$CACHE_DIR" "$LOGS"
T_START=$(date +%s)

# ----------------------------------------------------------------------------- bookkeeping
STEP_NAMES=()
STEP_RESULTS=()
STEP_SECONDS=()
TOTAL_PASSED=0
TOTAL_FAILED=0
TOTAL_SKIPPED=0
FAILURES=0

header() {
  printf '\n==================== %s ====================\n' "$*"
}
note() { printf '[test.sh] %s\n' "$*"; }
loud() {
  printf '\n!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!\n'
  printf '!!! %s\n' "$@"
  printf '!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!\n\n'
}

# Records one step's outcome: name, PASS/FAIL/SKIP, start time.
record() {
  STEP_NAMES+=("$1")
  STEP_RESULTS+=("$2")
  STEP_SECONDS+=("$(($(date +%s) - $3))")
  if [[ $2 == FAIL ]]; then FAILURES=$((FAILURES + 1)); fi
}

# Runs a command with its output in a log; shows the log's tail when it fails.
quiet() {
  local log=$LOGS/$1.log
  shift
  local rc
  "$@" >"$log" 2>&1
  rc=$?
  if ((rc == 0)); then return 0; fi
  note "command failed (exit $rc): $*"
  # The first errors name the cause; the tail says where the command stopped.
  grep -m 12 -E '^FAILED: |[Ee]rror: |^E: ' "$log" | cut -c1-300 | sed 's/^/    /'
  echo "    ..."
  tail -n 15 "$log" | cut -c1-300 | sed 's/^/    /'
  note "full log: $log"
  return "$rc"
}

# Adds the counts of pytest's closing line ("3 failed, 50 passed, 2 skipped in 1.2s").
count_pytest() {
  local line
  line=$(grep -E '^(=+ )?[0-9a-z ,]*(passed|failed|errors?|skipped|no tests ran)[0-9a-z ,]* in [0-9.]+s' "$1" \
    | tail -n 1)
  local passed failed errors skipped
  passed=$(grep -oE '[0-9]+ passed' <<<"$line" | grep -oE '[0-9]+' || true)
  failed=$(grep -oE '[0-9]+ failed' <<<"$line" | grep -oE '[0-9]+' || true)
  errors=$(grep -oE '[0-9]+ errors?' <<<"$line" | grep -oE '[0-9]+' || true)
  skipped=$(grep -oE '[0-9]+ skipped' <<<"$line" | grep -oE '[0-9]+' || true)
  TOTAL_PASSED=$((TOTAL_PASSED + ${passed:-0}))
  TOTAL_FAILED=$((TOTAL_FAILED + ${failed:-0} + ${errors:-0}))
  TOTAL_SKIPPED=$((TOTAL_SKIPPED + ${skipped:-0}))
}

# Adds the counts of CTest's closing lines ("100% tests passed out of 57", "97% tests passed,
# 2 tests failed out of 57", and the skipped tests listed under "did not run").
count_ctest() {
  local line total failed skipped
  line=$(grep -E '% tests passed(, [0-9]+ tests? failed)? out of [0-9]+' "$1" | tail -n 1)
  [[ -n $line ]] || return 0
  total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
  failed=$(grep -oE '[0-9]+ tests? failed' <<<"$line" | grep -oE '^[0-9]+' || true)
  skipped=$(grep -cE '^[[:space:]]*[0-9]+ - .*\((Skipped|Disabled)\)' "$1" || true)
  TOTAL_PASSED=$((TOTAL_PASSED + total - ${failed:-0} - ${skipped:-0}))
  TOTAL_FAILED=$((TOTAL_FAILED + ${failed:-0}))
  TOTAL_SKIPPED=$((TOTAL_SKIPPED + ${skipped:-0}))
}

version_ge() { [[ $(printf '%s\n%s\n' "$2" "$1" | sort -V | head -n 1) == "$2" ]]; }

# ----------------------------------------------------------------------------- system packages
APT_UPDATED=0
apt_install() {
  if [[ $(id -u) != 0 ]] || ! command -v apt-get >/dev/null; then
    note "missing Debian packages: $* (run as root on Debian, or install them yourself)"
    return 1
  fi
  if ((!APT_UPDATED)); then
    quiet apt-update env DEBIAN_FRONTEND=noninteractive apt-get update || return 1
    APT_UPDATED=1
  fi
  note "apt-get install $*"
  quiet apt-install env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y --no-install-recommends "$@"
}

deb_installed() {
  [[ $(dpkg-query -W -f='${Status}' "$1" 2>/dev/null) == "install ok installed" ]]
}

CMAKE=cmake
FUZZ_CXX=

# Tells whether a clang++ builds a C++23 libFuzzer target with std::expected (clang 14 cannot).
fuzz_compiler_works() {
  local dir
  dir=$(mktemp -d)
  printf '%s\n' '#include <cstddef>' '#include <cstdint>' '#include <expected>' \
    'static std::expected<int, int> half(size_t n) { return n % 2 ? std::expected<int, int>(1) : std::unexpected(0); }' \
    'extern "C" int LLVMFuzzerTestOneInput(const uint8_t*, size_t n) { return half(n) ? 0 : 0; }' \
    >"$dir/probe.cpp"
  "$1" -std=c++2b -fsanitize=fuzzer,address,undefined "$dir/probe.cpp" -o "$dir/probe" \
    >/dev/null 2>&1
  local rc=$?
  rm -rf "$dir"
  return "$rc"
}

find_fuzz_compiler() {
  local candidate
  for candidate in ${VELMORA_FUZZ_CXX:-} clang++-21 clang++-20 clang++-19 clang++-18 clang++; do
    if command -v "$candidate" >/dev/null && fuzz_compiler_works "$candidate"; then
      FUZZ_CXX=$(command -v "$candidate")
      return 0
    fi
  done
  return 1
}

setup_system() {
  header "system packages"
  local t0 missing=() pkg
  t0=$(date +%s)
  for pkg in g++ ninja-build googletest libgtest-dev clang-format ccache; do
    if command -v dpkg-query >/dev/null && ! deb_installed "$pkg"; then missing+=("$pkg"); fi
  done
  if ! command -v cmake >/dev/null; then missing+=(cmake); fi
  if ((${#missing[@]})); then apt_install "${missing[@]}" || {
    record "system packages" FAIL "$t0"
    return 1
  }; fi

  # libFuzzer with the sanitizer runtimes and a clang new enough for C++23: Debian 12 and 13 both
  # ship clang 19 (Debian 12's default clang 14 lacks std::expected).
  if ! find_fuzz_compiler; then
    apt_install clang-19 libclang-rt-19-dev && find_fuzz_compiler || {
      note "no clang++ builds C++23 libFuzzer targets"
      record "system packages" FAIL "$t0"
      return 1
    }
  fi

  # CMake 3.24 or newer: Debian's when it is new enough, else pip's in a tools venv.
  local have
  have=$(cmake --version 2>/dev/null | sed -nE 's/^cmake version ([0-9.]+).*/\1/p')
  if [[ -z $have ]] || ! version_ge "$have" 3.24; then
    note "cmake ${have:-missing} is older than 3.24; installing pip's cmake into $CACHE_DIR/tools"
    { [[ -x $CACHE_DIR/tools/bin/cmake ]] \
      || { quiet tools-venv python3 -m venv "$CACHE_DIR/tools" \
        && quiet tools-cmake "$CACHE_DIR/tools/bin/pip" install "cmake>=3.24"; }; } || {
      record "system packages" FAIL "$t0"
      return 1
    }
    CMAKE=$CACHE_DIR/tools/bin/cmake
    export PATH=$CACHE_DIR/tools/bin:$PATH
  fi
  # ccache makes the five builds of a fresh clone cheap when this machine built them before.
  if command -v ccache >/dev/null && [[ -z ${CMAKE_CXX_COMPILER_LAUNCHER:-} ]]; then
    export CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_BASEDIR=$ROOT CCACHE_NOHASHDIR=1
    export CCACHE_DIR=${CCACHE_DIR:-$CACHE_DIR/ccache}
  fi
  note "g++ $(g++ -dumpfullversion), $($CMAKE --version | head -n 1), ninja $(ninja --version)"
  note "fuzzing with $FUZZ_CXX ($("$FUZZ_CXX" --version | head -n 1))"
  note "$(clang-format --version)"
  record "system packages" PASS "$t0"
}

# ----------------------------------------------------------------------------- interpreters
PYTHONS=()
find_pythons() {
  header "interpreters"
  local t0 candidate found314=
  t0=$(date +%s)
  if [[ -n ${VELMORA_PYTHONS:-} ]]; then
    for candidate in $VELMORA_PYTHONS; do
      if command -v "$candidate" >/dev/null; then
        PYTHONS+=("$(command -v "$candidate")")
      elif [[ $candidate =~ ^python(3\.[0-9]+)$ && -x /opt/cpython-${BASH_REMATCH[1]}/bin/$candidate ]]; then
        # Where the provisioning script installs an interpreter that is not on the PATH.
        PYTHONS+=("/opt/cpython-${BASH_REMATCH[1]}/bin/$candidate")
      else
        note "VELMORA_PYTHONS names $candidate, which is not there"
        record "interpreter $candidate" FAIL "$t0"
      fi
    done
  else
    if command -v python3.14 >/dev/null; then
      found314=$(command -v python3.14)
    elif [[ -x /opt/cpython-3.14/bin/python3.14 ]]; then
      found314=/opt/cpython-3.14/bin/python3.14
    fi
    if [[ -n $found314 ]]; then
      PYTHONS+=("$found314")
    else
      loud "CPython 3.14 NOT FOUND (neither python3.14 on the PATH nor /opt/cpython-3.14)." \
        "The main supported interpreter is untested in this run." \
        "Install it with ../shared/tools/provision-cpython-3.14.sh or name it in VELMORA_PYTHONS."
      if [[ ${CI:-} == true ]]; then
        record "CPython 3.14 present" FAIL "$t0"
      else
        record "CPython 3.14 present" SKIP "$t0"
      fi
    fi
    if command -v python3 >/dev/null; then PYTHONS+=("$(command -v python3)"); fi
  fi

  # Drops an interpreter named twice (python3 may be 3.14 itself).
  local unique=() seen=" " real
  for candidate in "${PYTHONS[@]}"; do
    real=$(readlink -f "$candidate")
    if [[ $seen != *" $real "* ]]; then
      unique+=("$candidate")
      seen+="$real "
    fi
  done
  PYTHONS=("${unique[@]}")
  for candidate in "${PYTHONS[@]}"; do
    note "$candidate: $("$candidate" -c 'import sys; print(sys.version.split()[0])')"
  done
  if ((${#PYTHONS[@]} == 0)); then
    note "no Python interpreter to test"
    record "interpreters" FAIL "$t0"
  fi
}

# ----------------------------------------------------------------------------- pytest per venv
# Picks the dependency set: CPython 3.14 and later get NumPy 2 / pandas 3, older ones NumPy 1 /
# pandas 2, so both NumPy branches of the array interface lookup run. mypy checks the stubs.
pins_for() {
  if "$1" -c 'import sys; sys.exit(sys.version_info < (3, 14))'; then
    echo "numpy>=2 pandas>=3 pytest mypy"
  else
    echo "numpy<2 pandas<3 pytest mypy"
  fi
}

# The optional packages velmora_batch's tests use (the batch and plot extras); pyarrow 23 and
# later need NumPy 2.
extras_for() {
  if "$1" -c 'import sys; sys.exit(sys.version_info < (3, 14))'; then
    echo "pyarrow tqdm dask[distributed] matplotlib"
  else
    echo "pyarrow<23 tqdm dask[distributed] matplotlib"
  fi
}

# Installs the Debian packages a system interpreter lacks, by what it lacks.
debian_python_packages() {
  local python=$1 minor
  shift
  minor=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  if [[ $(readlink -f "$python") != /usr/bin/* ]]; then
    note "$python lacks $* and is not Debian's; install them for it"
    return 1
  fi
  apt_install "${@/#/python$minor-}"
}

# Makes sure the interpreter has Python.h, which building the extension needs.
python_headers() {
  local include
  include=$("$1" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
  [[ -f $include/Python.h ]] || debian_python_packages "$1" dev
}

# Creates a venv; Debian's interpreters need their -venv package for that.
make_venv() {
  local python=$1 venv=$2 version=$3
  rm -rf "$venv"
  note "creating $venv"
  quiet "venv-$version" "$python" -m venv "$venv" && return 0
  rm -rf "$venv"
  debian_python_packages "$python" venv && quiet "venv-$version" "$python" -m venv "$venv"
}

run_pytest() {
  local python=$1 t0 version pins venv stamp
  t0=$(date +%s)
  version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  header "pytest on Python $version ($python)"
  pins="$(pins_for "$python") $(extras_for "$python")"
  # One venv per interpreter binary, kept outside the tree so clean clones reuse it.
  venv=$CACHE_DIR/venv-$version-$(readlink -f "$python" | md5sum | cut -c1-8)
  stamp="$pins"

  python_headers "$python" || {
    record "pytest py$version" FAIL "$t0"
    return
  }
  if ! "$venv/bin/python" -c 'import pip' >/dev/null 2>&1; then
    make_venv "$python" "$venv" "$version" || {
      record "pytest py$version" FAIL "$t0"
      return
    }
  fi
  if [[ $(cat "$venv/.velmora-deps" 2>/dev/null) != "$stamp" ]]; then
    note "installing $pins"
    # shellcheck disable=SC2086
    if ! quiet "deps-$version" "$venv/bin/python" -m pip install --only-binary=numpy,pandas $pins; then
      if [[ $pins == *"numpy<2"* ]]; then
        loud "NumPy 1.x has no wheel for Python $version; testing it with NumPy 2 and pandas 2."
        quiet "deps2-$version" "$venv/bin/python" -m pip install --only-binary=numpy,pandas \
          "numpy>=2" "pandas<3" pytest mypy $(extras_for "$python") || {
          record "pytest py$version" FAIL "$t0"
          return
        }
      else
        record "pytest py$version" FAIL "$t0"
        return
      fi
    fi
    echo "$stamp" >"$venv/.velmora-deps"
  fi
  note "$("$venv/bin/python" -c 'import numpy, pandas, pytest; print("numpy", numpy.__version__, "pandas", pandas.__version__, "pytest", pytest.__version__)')"

  note "pip install . (build log: $LOGS/install-$version.log)"
  # Users' builds leave warnings as warnings; ours fail on them.
  quiet "install-$version" "$venv/bin/python" -m pip install --force-reinstall --no-deps \
    --config-settings=cmake.define.VELMORA_WERROR=ON . || {
    record "pytest py$version" FAIL "$t0"
    return
  }

  local log=$LOGS/pytest-$version.log rc
  # PYTHONPATH could shadow the installed module with a development build.
  env -u PYTHONPATH "$venv/bin/python" -m pytest -q -rfE -p no:cacheprovider tests/python 2>&1 \
    | tee "$log"
  rc=${PIPESTATUS[0]}
  count_pytest "$log"
  if ((rc == 0)); then
    record "pytest py$version" PASS "$t0"
  else
    ((rc == 5)) && note "pytest collected no tests"
    record "pytest py$version" FAIL "$t0"
  fi
}

# Starts a build directory afresh when it was configured with another compiler.
fresh_if_compiler_changed() {
  local cached
  cached=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$1/CMakeCache.txt" 2>/dev/null)
  if [[ -n $cached && $cached != "$(command -v "$2")" ]]; then rm -rf "$1"; fi
}

# ----------------------------------------------------------------------------- CTest
# Configures build directory `dir` with the given CMake arguments and builds it, logging as
# configure-NAME and build-NAME; fails with the log's tail shown.
configure_and_build() {
  local name=$1 dir=$2
  shift 2
  quiet "configure-$name" "$CMAKE" -S "$ROOT" -B "$dir" -G Ninja "$@" || return 1
  note "building in $dir (log: $LOGS/build-$name.log)"
  quiet "build-$name" "$CMAKE" --build "$dir" -j "$JOBS"
}

# Runs CTest in `dir` and adds its counts; fails when a test failed.
ctest_in() {
  local dir=$1 log=$LOGS/ctest-$2.log rc
  # Lists only failing tests and the closing lines: hundreds of passing lines help nobody.
  ctest --test-dir "$dir" -j "$JOBS" --output-on-failure --no-tests=error >"$log" 2>&1
  rc=$?
  grep -vE '^ *[0-9]+/[0-9]+ Test +#[0-9]+: .* +Passed +|^ +Start +[0-9]+: ' "$log"
  count_ctest "$log"
  return "$rc"
}

run_ctest() {
  local name=$1 dir=$BUILD/$1 t0
  shift
  t0=$(date +%s)
  header "CTest: $name"
  fresh_if_compiler_changed "$dir" g++
  if configure_and_build "$name" "$dir" -DCMAKE_CXX_COMPILER=g++ -DVELMORA_BUILD_TESTS=ON "$@" \
    && ctest_in "$dir" "$name"; then
    record "ctest $name" PASS "$t0"
  else
    record "ctest $name" FAIL "$t0"
  fi
}

# ----------------------------------------------------------------------------- libFuzzer
run_fuzz() {
  local t0 dir=$BUILD/fuzz
  t0=$(date +%s)
  header "libFuzzer targets (${FUZZ_SECONDS}s each)"
  if [[ $FUZZ_SECONDS == 0 ]]; then
    note "VELMORA_FUZZ_SECONDS=0: fuzzing skipped"
    record "fuzz" SKIP "$t0"
    return
  fi
  local targets=()
  mapfile -t targets < <(find "$ROOT/fuzz" -maxdepth 1 -name 'fuzz_*.cpp' -printf '%f\n' | sed 's/\.cpp$//' | sort)
  if ((${#targets[@]} == 0)); then
    note "no fuzz targets yet"
    record "fuzz" SKIP "$t0"
    return
  fi
  fresh_if_compiler_changed "$dir" "$FUZZ_CXX"
  # Warnings are gated by the g++ builds; clang's own extra warnings must not stop fuzzing.
  configure_and_build fuzz "$dir" -DCMAKE_CXX_COMPILER="$FUZZ_CXX" -DVELMORA_BUILD_TESTS=OFF \
    -DVELMORA_BUILD_LIBFUZZER=ON -DVELMORA_SANITIZE=ON -DVELMORA_WERROR=OFF || {
    record "fuzz" FAIL "$t0"
    return
  }
  local target work rc failed=0 findings=$ROOT/fuzz/findings
  mkdir -p "$findings"
  for target in "${targets[@]}"; do
    # New inputs go to a scratch copy, so fuzzing never changes the committed corpus.
    work=$(mktemp -d)
    if [[ -d $ROOT/fuzz/corpus/$target ]]; then cp -r "$ROOT/fuzz/corpus/$target/." "$work/"; fi
    note "$target: $(find "$work" -type f | wc -l) corpus input(s), ${FUZZ_SECONDS}s"
    "$dir/fuzz/$target" -max_total_time="$FUZZ_SECONDS" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$findings/$target-" "$work" \
      >"$LOGS/fuzz-$target.log" 2>&1
    rc=$?
    if ((rc == 0)); then
      grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)' "$LOGS/fuzz-$target.log" \
        | sed 's/^/    /'
    else
      failed=$((failed + 1))
      note "$target FAILED (exit $rc); crash input saved under $findings"
      grep -E 'ERROR|SUMMARY|artifact|runtime error|Test unit written' "$LOGS/fuzz-$target.log" \
        | head -n 20 | sed 's/^/    /'
      tail -n 30 "$LOGS/fuzz-$target.log" | sed 's/^/    /'
    fi
    rm -rf "$work"
  done
  TOTAL_PASSED=$((TOTAL_PASSED + ${#targets[@]} - failed))
  TOTAL_FAILED=$((TOTAL_FAILED + failed))
  if ((failed == 0)); then record "fuzz" PASS "$t0"; else record "fuzz" FAIL "$t0"; fi
}

# ----------------------------------------------------------------------------- portable kernels
# Builds with every vector kernel switched off and runs CTest and pytest (on the first
# interpreter's venv) against it, so the scalar paths are exercised whatever the processor.
run_portable() {
  local dir=$BUILD/portable t0 python venv log rc
  t0=$(date +%s)
  header "portable kernels: CTest and pytest"
  python=${PYTHONS[0]:-}
  if [[ -z $python ]]; then
    note "no interpreter to build the module for"
    record "portable kernels" FAIL "$t0"
    return
  fi
  venv=$CACHE_DIR/venv-$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')-$(readlink -f "$python" | md5sum | cut -c1-8)
  fresh_if_compiler_changed "$dir" g++
  configure_and_build portable "$dir" -DCMAKE_CXX_COMPILER=g++ -DCMAKE_BUILD_TYPE=Release \
    -DVELMORA_BUILD_TESTS=ON -DVELMORA_BUILD_PYTHON=ON -DVELMORA_PORTABLE_KERNELS=ON \
    -DPython_EXECUTABLE="$venv/bin/python" || {
    record "portable kernels" FAIL "$t0"
    return
  }
  ctest_in "$dir" portable
  rc=$?
  # The build directory comes first on the path, ahead of the venv's installed module.
  log=$LOGS/pytest-portable.log
  PYTHONPATH=$dir "$venv/bin/python" -c 'import velmora, sys; print("[test.sh] module:", velmora.__file__)'
  PYTHONPATH=$dir "$venv/bin/python" -m pytest -q -rfE -p no:cacheprovider tests/python 2>&1 \
    | tee "$log" | tail -n 3
  local pytest_rc=${PIPESTATUS[0]}
  count_pytest "$log"
  if ((rc == 0 && pytest_rc == 0)); then
    record "portable kernels" PASS "$t0"
  else
    record "portable kernels" FAIL "$t0"
  fi
}

# ----------------------------------------------------------------------------- include layers
run_layers() {
  local t0
  t0=$(date +%s)
  header "include layers"
  if python3 "$ROOT/scripts/check_layers.py" "$ROOT/src"; then
    record "include layers" PASS "$t0"
  else
    record "include layers" FAIL "$t0"
  fi
}

# ----------------------------------------------------------------------------- clang-format
run_format() {
  local t0 files=() log=$LOGS/clang-format.log
  t0=$(date +%s)
  header "clang-format"
  mapfile -t files < <(find src tests fuzz bench -type f \
    \( -name '*.cpp' -o -name '*.hpp' -o -name '*.h' -o -name '*.cc' \) 2>/dev/null | sort)
  if ((${#files[@]} == 0)); then
    record "clang-format" SKIP "$t0"
    return
  fi
  if clang-format --dry-run -Werror "${files[@]}" >"$log" 2>&1; then
    note "${#files[@]} files formatted"
    record "clang-format" PASS "$t0"
  else
    grep -E '^[^ ].*: error:' "$log" | sed -E 's/:[0-9]+:[0-9]+: error:.*//' | sort -u \
      | sed 's/^/    needs clang-format: /'
    note "fix with: clang-format -i <files>   (details: $log)"
    record "clang-format" FAIL "$t0"
  fi
}

# ----------------------------------------------------------------------------- main
# Everything runs inside main, which bash reads whole before it starts: editing this file
# during a run cannot derail it.
main() {
  local candidate python index
  if [[ -z ${VELMORA_RECORDINGS:-} ]]; then
    for candidate in "$ROOT/../shared/recordings" /work/shared/recordings; do
      if [[ -d $candidate ]]; then
        VELMORA_RECORDINGS=$(cd "$candidate" && pwd)
        export VELMORA_RECORDINGS
        break
      fi
    done
  fi
  note "project: $ROOT"
  note "real recordings: ${VELMORA_RECORDINGS:-none (tests that need them skip)}"
  note "venv cache: $CACHE_DIR"

  STEPS=" ${VELMORA_STEPS:-layers pytest ctest portable asan fuzz format} "
  wanted() { [[ $STEPS == *" $1 "* ]]; }

  if wanted layers; then run_layers; fi
  if setup_system; then
    if wanted pytest || wanted portable; then find_pythons; fi
    if wanted pytest; then
      for python in "${PYTHONS[@]}"; do run_pytest "$python"; done
    fi
    if wanted ctest; then run_ctest ctest-release; fi
    if wanted portable; then run_portable; fi
    if wanted asan; then run_ctest ctest-asan -DVELMORA_SANITIZE=ON; fi
    if wanted fuzz; then run_fuzz; fi
    if wanted format; then run_format; fi
  fi

  header "summary"
  for index in "${!STEP_NAMES[@]}"; do
    printf '  %-4s  %-28s %5ss\n' "${STEP_RESULTS[$index]}" "${STEP_NAMES[$index]}" \
      "${STEP_SECONDS[$index]}"
  done
  printf '  total time %ss; logs in %s\n\n' "$(($(date +%s) - T_START))" "$LOGS"
  if ((FAILURES)); then
    note "$FAILURES step(s) FAILED"
  else
    note "all steps passed"
  fi
  echo "tests: $TOTAL_PASSED passed, $TOTAL_FAILED failed, $TOTAL_SKIPPED skipped"
  ((FAILURES == 0))
}

main "$@"; exit $?
