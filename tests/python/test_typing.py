"""The installed stub package: it matches the module, and mypy rejects wrongly typed calls."""

from __future__ import annotations

import pathlib
import re
import subprocess
import sys
import sysconfig

import pytest

import velmora

pytest.importorskip("mypy")

MODULE_DIR = pathlib.Path(velmora.__file__).parent
STUBS = MODULE_DIR / "velmora-stubs" / "__init__.pyi"
INSTALLED = MODULE_DIR.resolve() == pathlib.Path(sysconfig.get_paths()["platlib"]).resolve()
pytestmark = pytest.mark.skipif(
    not INSTALLED, reason="velmora is a development build, not installed"
)

# Without pandas-stubs, DataFrame is Any to mypy; users who install them get the real type.
CONFIG = "[mypy]\ncache_dir = {cache}\n[mypy-pandas.*]\nignore_missing_imports = True\n"

PRELUDE = """\
import datetime, pathlib
import numpy
import velmora
meta = velmora.read_metadata("a.cwa")
report = velmora.sampling_consistency_report("a.cwa")
utc_plus_one = datetime.timezone(datetime.timedelta(hours=1))
"""

# (statement, the error code mypy must give it, or None for a statement it must accept).
CASES = [
    ('frame = velmora.read_cwa_file("a.cwa", cut=velmora.seconds(60, 120.5))', None),
    (
        'velmora.read_cwa_file("a.cwa", velmora.blocks(2, 5), numpy.bool_(False), resample_hz=25)',
        None,
    ),
    ('velmora.write_cwa_csv("a.cwa", "a.csv", fixed_utc_offset_timezone=utc_plus_one)', None),
    ('velmora.read_cwa_file("a.cwa", cut={"type": "seconds", "start": 1.0, "end": None})', None),
    ('rate: float = meta["sample_rate_hz"] + report["samplingrate_hz_from_header"]', None),
    ('hardware: str = meta["hardware_type"]', None),
    ('velmora.read_cwa_file(pathlib.Path("a.cwa"))', "arg-type"),
    ('velmora.write_cwa_csv("a.cwa", pathlib.Path("a.csv"))', "arg-type"),
    ('velmora.read_cwa_file("a.cwa", include_light=1)', "arg-type"),
    ('velmora.read_cwa_file("a.cwa", fixed_utc_offset_timezone="UTC")', "arg-type"),
    (
        'velmora.read_cwa_file("a.cwa", None, True, True, True, True, None, "cubic", utc_plus_one)',
        "call-arg",
    ),
    (
        'velmora.read_cwa_file("a.cwa", cut={"type": "minutes", "start": 1.0, "end": None})',
        "arg-type",
    ),
    ('velmora.read_cwa_file("a.cwa", cut=(60, 120))', "arg-type"),
    ("velmora.blocks(1.5)", "arg-type"),
    ('velmora.seconds("60")', "arg-type"),
    ('meta["sample_rate"]', "typeddict-item"),
    ('report["samplingrate_hz_from_data"] * 2', "operator"),
    ('rows = velmora.write_cwa_csv("a.cwa", "a.csv")', "func-returns-value"),
]


@pytest.fixture(scope="module")
def mypy_run(tmp_path_factory):
    """Runs mypy once outside the source tree, on every case; gives a function that runs more."""
    work = tmp_path_factory.mktemp("typing")
    (work / "mypy.ini").write_text(CONFIG.format(cache=work / "cache"))

    def run(*args: str) -> subprocess.CompletedProcess:
        return subprocess.run(
            [sys.executable, "-m", *args], cwd=work, capture_output=True, text=True, timeout=300
        )

    (work / "calls.py").write_text(PRELUDE + "".join(case + "\n" for case, _ in CASES))
    return run, run("mypy", "--config-file", "mypy.ini", "calls.py")


def test_stubs_are_installed_beside_the_module():
    assert STUBS.is_file()


def test_stubtest_finds_stubs_and_module_alike(mypy_run):
    run, _ = mypy_run
    done = run("mypy.stubtest", "--mypy-config-file", "mypy.ini", "velmora")
    assert done.returncode == 0, done.stdout + done.stderr


@pytest.mark.parametrize(
    ("index", "expected"),
    list(enumerate(code for _, code in CASES)),
    ids=[case for case, _ in CASES],
)
def test_mypy_judges_each_call(mypy_run, index, expected):
    _, done = mypy_run
    line = PRELUDE.count("\n") + index + 1
    codes = re.findall(rf"^calls\.py:{line}: error: .*\[([a-z-]+)\]$", done.stdout, re.MULTILINE)
    assert codes == ([expected] if expected else []), done.stdout
