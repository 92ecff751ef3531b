#!/usr/bin/env bash
# The one test command: provisions what the checks need, then runs nox's default sessions
# (noxfile.py) and closes with a summary whose last line is "tests: N passed, N failed,
# N skipped". Exits non-zero on any failure. Installs missing Debian packages when run as root.
# Arguments replace the default sessions: `bash scripts/test.sh -s lint tests-3.14`.
#
# Environment:
#   VELMORA_CACHE_DIR     nox's venvs, ccache's cache and the nox tool (default ~/.cache/velmora)
#   VELMORA_FUZZ_SECONDS  fuzzing time per target (default 30; 0 skips fuzzing)
#   VELMORA_RECORDINGS    directory of real recordings (default: ../shared/recordings if present)
#   VELMORA_JOBS          parallel build and test jobs (default: nproc)
#   CI=true               a missing CPython 3.14 (or any interpreter asked for) is a failure
set -uo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"

CACHE_DIR=${VELMORA_CACHE_DIR:-${XDG_CACHE_HOME:-${HOME:-/root}/.cache}/velmora}
export VELMORA_CACHE_DIR=$CACHE_DIR
NOX_REQUIREMENT=nox==2026.10.20
TOOLS=$CACHE_DIR/tools
RESULTS=$ROOT/build/test-results
LOGS=$ROOT/build/test-logs
mkdir -p "$CACHE_DIR" "$LOGS"
T_START=$(date +%s)

note() { printf '[test.sh] %s\n' "$*"; }
loud() {
  printf '\n!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!\n'
  printf '!!! %s\n' "$@"
  printf '!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!\n\n'
}

# Runs a command with its output in build/test-logs/NAME.log; shows the log's tail on failure.
quiet() {
  local log=$LOGS/$1.log rc
  shift
  "$@" >"$log" 2>&1
  rc=$?
  ((rc == 0)) && return 0
  note "command failed (exit $rc): $*"
  tail -n 20 "$log" | cut -c1-300 | sed 's/^/    /'
  note "full log: $log"
  return "$rc"
}

version_ge() { [[ $(printf '%s\n%s\n' "$2" "$1" | sort -V | head -n 1) == "$2" ]]; }

# Fails the run before nox starts, with the summary's last line all the same.
provisioning_failed() {
  note "provisioning failed: $*"
  echo "tests: 0 passed, 1 failed, 0 skipped"
  exit 1
}

# ----------------------------------------------------------------------------- Debian packages
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

system_packages() {
  local missing=() pkg
  command -v dpkg-query >/dev/null || return 0
  # clang 19 for the fuzz targets: Debian 12's default clang 14 lacks std::expected. g++-11 is
  # the old compiler that the configure step must refuse with its one line.
  for pkg in g++ ninja-build googletest libgtest-dev clang-format ccache clang-19 \
    libclang-rt-19-dev g++-11; do
    deb_installed "$pkg" || missing+=("$pkg")
  done
  ((${#missing[@]} == 0)) || apt_install "${missing[@]}"
}

# ----------------------------------------------------------------------------- interpreters
PYTHON314=
find_python314() {
  if command -v python3.14 >/dev/null; then
    PYTHON314=$(command -v python3.14)
  elif [[ -x /opt/cpython-3.14/bin/python3.14 ]]; then
    PYTHON314=/opt/cpython-3.14/bin/python3.14
  fi
  if [[ -n $PYTHON314 ]]; then
    note "CPython 3.14: $PYTHON314"
    return 0
  fi
  loud "CPython 3.14 NOT FOUND (neither python3.14 on the PATH nor /opt/cpython-3.14)." \
    "The main supported interpreter is untested in this run${CI:+ (CI=$CI)}." \
    "Install it with ../shared/tools/provision-cpython-3.14.sh or put python3.14 on the PATH."
}

# Building the extension needs Python.h; Debian's interpreters have it in python3.X-dev.
python_headers() {
  local python=$1 include minor
  include=$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])') || return 1
  [[ -f $include/Python.h ]] && return 0
  minor=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  if [[ $(readlink -f "$python") != /usr/bin/* ]]; then
    note "$python has no Python.h and is not Debian's; install its headers"
    return 1
  fi
  apt_install "python$minor-dev"
}

# ----------------------------------------------------------------------------- nox, CMake, Ninja
# nox lives in its own small venv in the cache, with pip's CMake and Ninja beside it when the
# system's are missing or too old (CMakePresets.json needs CMake 3.24).
tools() {
  local python=${PYTHON314:-$(command -v python3)} have
  [[ -n $python ]] || return 1
  if ! "$TOOLS/bin/python" -c 'import pip' >/dev/null 2>&1; then
    rm -rf "$TOOLS"
    note "creating $TOOLS for nox"
    quiet tools-venv "$python" -m venv "$TOOLS" || {
      rm -rf "$TOOLS"
      [[ $(readlink -f "$python") == /usr/bin/* ]] \
        && apt_install "python$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')-venv" \
        && quiet tools-venv "$python" -m venv "$TOOLS"
    } || return 1
  fi
  if [[ $("$TOOLS/bin/pip" show nox 2>/dev/null | sed -n 's/^Version: //p') != "${NOX_REQUIREMENT#nox==}" ]]; then
    note "pip install $NOX_REQUIREMENT"
    quiet tools-nox "$TOOLS/bin/pip" install "$NOX_REQUIREMENT" || return 1
  fi
  have=$(cmake --version 2>/dev/null | sed -nE 's/^cmake version ([0-9.]+).*/\1/p')
  if [[ -z $have ]] || ! version_ge "$have" 3.24; then
    note "cmake ${have:-missing} is older than 3.24; pip install cmake into $TOOLS"
    [[ -x $TOOLS/bin/cmake ]] || quiet tools-cmake "$TOOLS/bin/pip" install "cmake>=3.24" || return 1
    export PATH=$TOOLS/bin:$PATH
  fi
  if ! command -v ninja >/dev/null; then
    [[ -x $TOOLS/bin/ninja ]] || quiet tools-ninja "$TOOLS/bin/pip" install ninja || return 1
    export PATH=$PATH:$TOOLS/bin
  fi
}

# ----------------------------------------------------------------------------- main
# Everything runs inside main, which bash reads whole before it starts: editing this file
# during a run cannot derail it.
main() {
  local candidate rc nox_args=()
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
  note "cache: $CACHE_DIR"

  system_packages || provisioning_failed "Debian packages"
  find_python314
  for candidate in "$PYTHON314" "$(command -v python3)"; do
    [[ -z $candidate ]] || python_headers "$candidate" || provisioning_failed "Python.h for $candidate"
  done
  tools || provisioning_failed "nox, CMake or Ninja (logs in $LOGS)"
  note "g++ $(g++ -dumpfullversion), $(cmake --version | head -n 1), ninja $(ninja --version)," \
    "$("$TOOLS/bin/nox" --version 2>&1 | tail -n 1 | sed 's/^/nox /')"
  note "provisioning took $(($(date +%s) - T_START))s"

  # nox alone would fail on a missing interpreter whenever CI is set at all.
  if [[ ${CI:-} == true ]]; then
    nox_args+=(--error-on-missing-interpreters)
  else
    nox_args+=(--no-error-on-missing-interpreters)
  fi
  rm -rf "$RESULTS"
  mkdir -p "$RESULTS"
  "$TOOLS/bin/nox" --report "$RESULTS/nox.json" "${nox_args[@]}" "$@" 2>&1 | tee "$LOGS/nox.log"
  rc=${PIPESTATUS[0]}

  "$TOOLS/bin/python" scripts/test_summary.py "$RESULTS" | tee "$LOGS/summary.log" | head -n -1
  local summary_rc=${PIPESTATUS[0]}
  echo "  total time $(($(date +%s) - T_START))s; logs in $LOGS"
  if [[ -z $PYTHON314 ]]; then
    loud "CPython 3.14 was NOT tested: it is not on this machine."
    [[ ${CI:-} == true ]] && rc=1
  fi
  # The counts close the output even when the summary itself broke.
  if [[ $(tail -n 1 "$LOGS/summary.log") == "tests: "* ]]; then
    tail -n 1 "$LOGS/summary.log"
  else
    echo "tests: 0 passed, 1 failed, 0 skipped"
    summary_rc=1
  fi
  ((rc == 0 && summary_rc == 0))
}

main "$@"
exit $?
