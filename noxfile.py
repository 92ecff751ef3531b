"""velmora's checks as nox sessions; `nox -l` lists them, `nox` runs the default ones.

Arguments after `--` go to the tool a session wraps: pytest (`nox -s tests-3.11 -- -k cut`),
CTest (`nox -s ctest-asan -- -R reader`), the fuzz targets' names (`nox -s fuzz -- fuzz_cut`).
Virtual environments live under VELMORA_CACHE_DIR (default ~/.cache/velmora) and are reused;
each session writes its results as JUnit XML to build/test-results/ for the closing summary.
"""

from __future__ import annotations

import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ET

import nox

ROOT = pathlib.Path(__file__).resolve().parent
RESULTS = ROOT / "build" / "test-results"
LOGS = ROOT / "build" / "test-logs"
CACHE = pathlib.Path(
    os.environ.get("VELMORA_CACHE_DIR")
    or pathlib.Path(os.environ.get("XDG_CACHE_HOME") or pathlib.Path.home() / ".cache") / "velmora"
)
JOBS = os.environ.get("VELMORA_JOBS") or str(os.cpu_count() or 2)
FUZZ_SECONDS = int(os.environ.get("VELMORA_FUZZ_SECONDS", "30"))

# The shared provisioning tool installs CPython 3.14 off the PATH; appended, so that a
# python3.14 the PATH already has wins.
PROVISIONED_314 = pathlib.Path("/opt/cpython-3.14/bin")
if shutil.which("python3.14") is None and (PROVISIONED_314 / "python3.14").is_file():
    os.environ["PATH"] += os.pathsep + str(PROVISIONED_314)

# Builds of every session share one compiler cache, keyed on paths relative to the checkout,
# so a fresh clone reuses what an older one compiled.
if shutil.which("ccache"):
    os.environ.setdefault("CMAKE_CXX_COMPILER_LAUNCHER", "ccache")
    os.environ.setdefault("CCACHE_DIR", str(CACHE / "ccache"))
    os.environ.setdefault("CCACHE_BASEDIR", str(ROOT))
    os.environ.setdefault("CCACHE_NOHASHDIR", "1")

# Tests that need the real recordings skip without them.
if "VELMORA_RECORDINGS" not in os.environ:
    for candidate in (
        ROOT.parent / "shared" / "recordings",
        pathlib.Path("/work/shared/recordings"),
    ):
        if candidate.is_dir():
            os.environ["VELMORA_RECORDINGS"] = str(candidate.resolve())
            break

MAIN_PYTHON = "3.14"
PYTHONS = ["3.14", "3.13", "3.12", "3.11", "3.10"]


def machine_python() -> str | None:
    """The X.Y of the machine's python3 when it is older than the main interpreter."""
    python3 = shutil.which("python3")
    if python3 is None:
        return None
    version = subprocess.run(
        [python3, "-c", "import sys; print('%d.%d' % sys.version_info[:2])"],
        capture_output=True,
        text=True,
        check=False,
    ).stdout.strip()
    return version if version in PYTHONS and version != MAIN_PYTHON else None


# The older interpreter gets NumPy 1 and pandas 2 (in pytest-asan), so both NumPy code paths
# run in every default run.
OLDER_PYTHON = machine_python()

nox.options.envdir = str(CACHE / "nox")
nox.options.reuse_venv = "yes"
# A missing interpreter is reported (an error with CI set), never downloaded.
nox.options.download_python = "never"
# The default run, budgeted to stay well under 30 minutes cold on two cores, leaves out what
# another session covers: pytest on the older interpreter (pytest-asan runs the suite there,
# NumPy 1 and all, on the sanitized build), ctest-dev (ctest-asan runs the same tests with the
# sanitizers) and, where portability.sh is there, ctest-portable (the aarch64 build has no
# vector kernels, so every unit test runs through the scalar ones).
HAS_PORTABILITY = (ROOT / "scripts" / "portability.sh").is_file()
nox.options.sessions = [
    "layers",
    "lint",
    "format",
    f"tests-{MAIN_PYTHON}",
    "typing",
    *([] if HAS_PORTABILITY else ["ctest-portable"]),
    "ctest-asan",
    "pytest-asan",
    "fuzz",
    "wheel",
    "portability",
]

EXTRAS = ("test", "batch", "plot", "prep")
RUFF = "ruff==0.17.6"
MYPY = "mypy"


# ----------------------------------------------------------------------------- helpers
def python_version(session: nox.Session) -> tuple[int, int]:
    major, minor = str(session.python).split(".")[:2]
    return int(major), int(minor)


def test_requirements(version: tuple[int, int]) -> list[str]:
    """The package's dependencies and the extras its tests use, pinned to one NumPy branch."""
    project = nox.project.load_toml(ROOT / "pyproject.toml")["project"]
    optional = project.get("optional-dependencies", {})
    requirements = [*project["dependencies"]]
    for extra in EXTRAS:
        requirements += optional.get(extra, [])
    if version >= (3, 14):
        requirements += ["numpy>=2", "pandas>=3"]
    elif version >= (3, 13):  # NumPy 1 has no wheel for 3.13: its pandas 2 path still runs.
        requirements += ["numpy>=2", "pandas<3"]
    else:
        requirements += ["numpy<2", "pandas<3", "pyarrow<23"]  # pyarrow 23 needs NumPy 2
    return [*requirements, MYPY]


def install_once(session: nox.Session, requirements: list[str]) -> None:
    """Installs the requirements unless the reused venv already holds exactly these."""
    stamp = pathlib.Path(session.virtualenv.location) / ".velmora-requirements"
    wanted = "\n".join(requirements)
    if stamp.is_file() and stamp.read_text() == wanted:
        return
    session.install("--only-binary=numpy,pandas,scipy", *requirements)
    stamp.write_text(wanted)


def install_package(session: nox.Session) -> None:
    # Users' builds leave warnings as warnings; ours fail on them.
    session.install(
        "--no-deps",
        "--force-reinstall",
        "--config-settings=cmake.define.VELMORA_WERROR=ON",
        ".",
    )


def results_file(session: nox.Session) -> pathlib.Path:
    """The session's JUnit file, removed, so that a stale one never counts."""
    RESULTS.mkdir(parents=True, exist_ok=True)
    path = RESULTS / f"{session.name}.xml"
    path.unlink(missing_ok=True)
    return path


def pytest_args(session: nox.Session) -> list[str]:
    return [
        "-m",
        "pytest",
        "-p",
        "no:cacheprovider",
        "-rfE",
        f"--junitxml={results_file(session)}",
        *(session.posargs or ["-q"]),
    ]


def configure_and_build(
    session: nox.Session, preset: str, *defines: str, targets: tuple[str, ...] = ()
) -> None:
    session.run("cmake", "--preset", preset, *defines, external=True)
    chosen = ["--target", *targets] if targets else []
    session.run("cmake", "--build", "--preset", preset, "-j", JOBS, *chosen, external=True)


# ----------------------------------------------------------------------------- Python
@nox.session(python=PYTHONS)
def tests(session: nox.Session) -> None:
    """pytest on the package `pip install .` built (NumPy 2 from 3.13, NumPy 1 before)."""
    install_once(session, test_requirements(python_version(session)))
    install_package(session)
    # PYTHONPATH could shadow the installed module with a development build.
    session.run("python", *pytest_args(session), env={"PYTHONPATH": None})


@nox.session(python=MAIN_PYTHON)
def typing(session: nox.Session) -> None:
    """mypy over the study package, against the installed module's stubs."""
    # pandas-stubs types the DataFrame work, which plain pandas leaves untyped.
    install_once(session, [*test_requirements(python_version(session)), "pandas-stubs"])
    install_package(session)
    session.run(
        "mypy", "--cache-dir", str(CACHE / "mypy"), "python/velmora_batch", *session.posargs
    )


@nox.session(python=OLDER_PYTHON or MAIN_PYTHON, name="pytest-asan")
def pytest_asan(session: nox.Session) -> None:
    """pytest on the extension built with ASan + UBSan (build/asan), libasan preloaded."""
    install_once(session, test_requirements(python_version(session)))
    # velmora_batch and its entry point, without building the extension: the sanitized one in
    # build/asan comes first on the path.
    session.install("--no-deps", "--force-reinstall", "--config-settings=wheel.cmake=false", ".")
    python = pathlib.Path(session.virtualenv.location) / "bin" / "python"
    configure_and_build(
        session,
        "asan",
        "-DVELMORA_BUILD_PYTHON=ON",
        f"-DPython_EXECUTABLE={python}",
        # The study package's private module too, built into build/asan/velmora_batch, where
        # the installed package's extended path finds it.
        targets=("velmora", "velmora_blocks"),
    )
    # libasan must come first in the process; libstdc++ right behind it, or ASan's __cxa_throw
    # finds no real one to forward to when a wheel's C++ code (matplotlib's) throws.
    preload = " ".join(
        subprocess.run(
            ["g++", f"-print-file-name={library}"], capture_output=True, text=True, check=True
        ).stdout.strip()
        for library in ("libasan.so", "libstdc++.so")
    )
    session.run(
        "python",
        *pytest_args(session),
        env={
            "PYTHONPATH": str(ROOT / "build" / "asan"),
            "LD_PRELOAD": preload,
            # CPython's own allocator hides its blocks from ASan; leaks of the interpreter
            # itself at exit are not ours.
            "PYTHONMALLOC": "malloc",
            "ASAN_OPTIONS": "detect_leaks=0",
            "UBSAN_OPTIONS": "print_stacktrace=1",
        },
    )


@nox.session(python=False)
def layers(session: nox.Session) -> None:
    """No source includes an area above its own (scripts/check_layers.py)."""
    session.run(sys.executable, "scripts/check_layers.py", "src", external=True)


@nox.session
def lint(session: nox.Session) -> None:
    """ruff format --check and ruff check over the Python code."""
    install_once(session, [RUFF])
    session.run("ruff", "format", "--check", *session.posargs)
    session.run("ruff", "check", *session.posargs)


@nox.session(python=False)
def format(session: nox.Session) -> None:
    """clang-format --dry-run -Werror over every C++ file."""
    files = sorted(
        str(path.relative_to(ROOT))
        for folder in ("src", "tests", "fuzz", "bench")
        for pattern in ("*.cpp", "*.hpp", "*.h", "*.cc")
        for path in (ROOT / folder).rglob(pattern)
    )
    if shutil.which("clang-format") is None:
        session.error("no clang-format (apt-get install clang-format)")
    # Run directly: nox would echo the hundred-odd file names.
    done = subprocess.run(
        ["clang-format", "--dry-run", "-Werror", *files],
        cwd=ROOT,
        capture_output=True,
        text=True,
        check=False,
    )
    if done.returncode != 0:
        print(done.stdout + done.stderr)
        session.error("clang-format would change the files above (fix: clang-format -i FILES)")
    session.log(f"{len(files)} C++ files formatted")


# ----------------------------------------------------------------------------- C++
def ctest_session(preset: str) -> None:
    @nox.session(python=False, name=f"ctest-{preset}")
    def run(session: nox.Session) -> None:
        configure_and_build(session, preset)
        session.run(
            "ctest",
            "--preset",
            preset,
            "-j",
            JOBS,
            "--output-junit",
            str(results_file(session)),
            *session.posargs,
            external=True,
        )

    run.__doc__ = f"CTest in build/{preset} (CMakePresets.json)."


for _preset in ("dev", "release", "portable", "asan"):
    ctest_session(_preset)


def fuzz_compiler() -> str | None:
    """A clang++ with libFuzzer and C++23's std::expected (clang 14 lacks it)."""
    names = [os.environ.get("VELMORA_FUZZ_CXX", ""), "clang++-21", "clang++-20", "clang++-19"]
    return next((found for name in names if name and (found := shutil.which(name))), None)


@nox.session(python=False)
def fuzz(session: nox.Session) -> None:
    """Each libFuzzer target for VELMORA_FUZZ_SECONDS (default 30) on a copy of its corpus."""
    if FUZZ_SECONDS == 0:
        session.skip("VELMORA_FUZZ_SECONDS=0")
    compiler = fuzz_compiler()
    if compiler is None:
        session.error("no clang++ 19 or newer (apt-get install clang-19 libclang-rt-19-dev)")
    build = ROOT / "build" / "fuzz"
    cache = build / "CMakeCache.txt"
    if cache.is_file() and f"CMAKE_CXX_COMPILER:FILEPATH={compiler}\n" not in cache.read_text():
        shutil.rmtree(build)  # CMake cannot switch compilers in a configured tree
    configure_and_build(session, "fuzz", f"-DCMAKE_CXX_COMPILER={compiler}")

    targets = session.posargs or sorted(path.stem for path in (ROOT / "fuzz").glob("fuzz_*.cpp"))
    findings = ROOT / "fuzz" / "findings"
    findings.mkdir(exist_ok=True)
    LOGS.mkdir(parents=True, exist_ok=True)
    suite = ET.Element("testsuite", name="fuzz", tests=str(len(targets)))
    failed = []
    for target in targets:
        log = LOGS / f"fuzz-{target}.log"
        # New inputs go to a scratch copy, so fuzzing never changes the committed corpus.
        with tempfile.TemporaryDirectory() as work:
            corpus = ROOT / "fuzz" / "corpus" / target
            if corpus.is_dir():
                shutil.copytree(corpus, work, dirs_exist_ok=True)
            started = time.monotonic()
            with log.open("w") as out:
                done = subprocess.run(
                    [
                        str(build / "fuzz" / target),
                        f"-max_total_time={FUZZ_SECONDS}",
                        "-timeout=10",
                        "-rss_limit_mb=2048",
                        "-print_final_stats=1",
                        f"-artifact_prefix={findings}/{target}-",
                        work,
                    ],
                    stdout=out,
                    stderr=subprocess.STDOUT,
                    check=False,
                )
        case = ET.SubElement(
            suite, "testcase", name=target, time=f"{time.monotonic() - started:.1f}"
        )
        lines = log.read_text(errors="replace").splitlines()
        if done.returncode == 0:
            session.log(f"{target}: " + ", ".join(ln for ln in lines if ln.startswith("stat::")))
        else:
            failed.append(target)
            ET.SubElement(case, "failure", message=f"exit {done.returncode}")
            session.warn(f"{target} FAILED (exit {done.returncode}); crash input under {findings}")
            print("\n".join(lines[-40:]))
    suite.set("failures", str(len(failed)))
    ET.ElementTree(suite).write(results_file(session))
    if failed:
        session.error(f"fuzz targets failed: {' '.join(failed)} (logs in {LOGS})")


# ----------------------------------------------------------------------------- wheels, portability
def script_or_skip(session: nox.Session, name: str) -> str:
    script = ROOT / "scripts" / name
    if not script.is_file():
        session.skip(f"scripts/{name} is not in this checkout")
    return str(script)


@nox.session(python=False)
def wheel(session: nox.Session) -> None:
    """scripts/wheels.sh: a repaired wheel, installed where no compiler is, under pytest."""
    script = script_or_skip(session, "wheels.sh")
    python = shutil.which(f"python{MAIN_PYTHON}")
    if python is None:
        missing = f"no python{MAIN_PYTHON} to build the wheel for"
        if os.environ.get("CI") == "true":
            session.error(missing)
        session.skip(missing)
    session.run("bash", script, python, *session.posargs, external=True)


@nox.session(python=False)
def portability(session: nox.Session) -> None:
    """scripts/portability.sh: CTest with clang and libc++, and under qemu-aarch64."""
    script = script_or_skip(session, "portability.sh")
    for target in session.posargs or ["clang-libcxx", "aarch64"]:
        session.run("bash", script, target, external=True)
