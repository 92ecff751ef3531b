"""The module as the interpreter sees it: initialisation, registration, signatures, docstrings."""

from __future__ import annotations

import ast
import importlib
import importlib.util
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

import velmora

NAMES = [
    "read_metadata",
    "sampling_consistency_report",
    "seconds",
    "blocks",
    "read_cwa_file",
    "write_cwa_csv",
]

READ_METADATA_DOC = """\
Read CWA header and sample timing metadata without timezone conversion.
Scans packet metadata without decoding sensor values.
`logging_start_time_raw`, `logging_end_time_raw`, and `last_change_time_raw`
are naive ISO 8601 strings preserving the unaltered sensor clock values,
or None when unset. Convert them to UTC or local time for most analysis.
`start_from_data_raw` and `end_from_data_raw` are the first and last actual
sample timestamps, including packet sample offsets and continuity correction,
or None when no valid samples exist. Seconds cuts start at `start_from_data_raw`.
`last_change_time_raw` records the last metadata write, which need not be
the last clock synchronization; check your configuration software."""

REPORT_DOC = """\
Return a sampling consistency report for a CWA file.

The returned dictionary contains:

- `start_from_header_raw`: ISO 8601 timestamp from the metadata block `logging_start_time`
  field, or `None` when the header uses an unset marker.
- `end_from_header_raw`: ISO 8601 timestamp from the metadata block `logging_end_time`
  field, or `None` when the header uses an unset marker.
- `duration_s_from_header`: `end_from_header_raw - start_from_header_raw` in seconds, or
  `None` when either header timestamp is unavailable.
- `start_from_data_raw`: ISO 8601 timestamp of the first sample produced by the data
  packets, using the same packet timestamp, `timestampOffset`, and continuity
  correction as `read_cwa_file`.
- `end_from_data_raw`: ISO 8601 timestamp of the last sample produced by the data
  packets, using the same timestamp calculation as `read_cwa_file`.
- `duration_s_from_data`: `end_from_data_raw - start_from_data_raw` in seconds. This is
  the inclusive first-sample-to-last-sample span, not the half-open packet end.
- `samplingrate_hz_from_header`: nominal sampling rate decoded from the metadata
  block sampling-rate code as `3200 / (1 << (15 - (rate_code & 0x0f)))`.
- `samplingrate_hz_from_data`: effective sampling rate calculated as
  `(sample_count - 1) / duration_s_from_data`, or `None` when fewer than two
  samples or no positive data duration are available.

All timestamp strings preserve the raw device clock without a timezone.
Convert them to UTC or local time before analysis using the clock-sync offset.
This method accepts no UTC offset or timezone."""

READ_CWA_FILE_DOC = """\
Python interface for reading CWA data.

Returns a pandas DataFrame with a DatetimeIndex named `timestamp`.
`fixed_utc_offset_timezone` accepts a Python `datetime.timezone` object.
Its fixed offset is subtracted throughout and the index is UTC-aware.
Otherwise the index is naive. Determine any named timezone's offset in Python
at clock synchronization, rather than at recording start.
Numeric channel columns retain their float32 dtype.

Gyro and magnetometer columns are included only when present in the selected
samples. Recorded zero measurements remain present; missing samples in a
present channel are NaN.

Optional resampling parameters:
- `resample_hz`: when set, data is resampled onto a regular grid.
- `resample_method`: currently supports `"cubic"`."""

WRITE_CWA_CSV_DOC = """\
Write CWA samples directly to CSV.

Supports the same optional resampling and time-range controls as `read_cwa_file`.
`fixed_utc_offset_timezone` accepts a Python `datetime.timezone` object;
with it, numeric `time` values are UTC Unix seconds.
Otherwise they encode the device clock without assigning a timezone."""

READ_OPTIONS = (
    "cut=None, include_magnetometer=True, include_temperature={flag}, include_light={flag}, "
    'include_battery={flag}, resample_hz=None, resample_method="cubic", *, '
    "fixed_utc_offset_timezone=None"
)

SIGNATURES = {
    "read_metadata": ("(file_path)", READ_METADATA_DOC),
    "sampling_consistency_report": ("(file_path)", REPORT_DOC),
    "seconds": ("(start=None, end=None)", None),
    "blocks": ("(start=None, end=None)", None),
    "read_cwa_file": (f"(file_path, {READ_OPTIONS.format(flag=True)})", READ_CWA_FILE_DOC),
    "write_cwa_csv": (
        f"(file_path, output_path, {READ_OPTIONS.format(flag=False)})",
        WRITE_CWA_CSV_DOC,
    ),
}


def test_module_holds_only_the_functions_in_registration_order():
    assert velmora.__all__ == NAMES
    assert type(velmora.__all__) is list
    public = {name for name in vars(velmora) if not name.startswith("_")}
    assert public == set(NAMES)
    assert velmora.__name__ == "velmora"
    assert isinstance(velmora.__doc__, str) and velmora.__doc__


@pytest.mark.parametrize("name", NAMES)
def test_builtin_bound_to_the_module_with_signature_and_docstring(name):
    signature, doc = SIGNATURES[name]
    function = getattr(velmora, name)
    assert type(function).__name__ == "builtin_function_or_method"
    assert (function.__name__, function.__module__) == (name, "velmora")
    assert function.__self__ is velmora
    assert function.__text_signature__ == signature
    assert function.__doc__ == doc


STUBS = pathlib.Path(__file__).resolve().parents[2] / "velmora-stubs" / "__init__.pyi"


def stub_docstrings() -> dict[str, str | None]:
    """The docstrings of the stub module and of its functions, as help() would show them."""
    tree = ast.parse(STUBS.read_text(encoding="utf-8"))
    docs: dict[str, str | None] = {"velmora": ast.get_docstring(tree)}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            docs[node.name] = ast.get_docstring(node)
    return docs


def test_stub_docstrings_are_the_module_docstrings():
    # Editors show the stub's docstring, help() the module's: they must say the same.
    runtime = {"velmora": velmora.__doc__} | {
        name: getattr(velmora, name).__doc__ for name in NAMES
    }
    assert stub_docstrings() == runtime


def test_repeated_import_and_initialisation_return_the_same_module(monkeypatch):
    import _imp

    assert _imp.create_dynamic(importlib.util.find_spec("velmora")) is velmora
    assert velmora.__all__ == NAMES
    monkeypatch.delitem(sys.modules, "velmora")
    assert importlib.import_module("velmora") is velmora


def test_sub_interpreter_import_is_refused():
    pytest.importorskip("_testcapi")
    result = subprocess.run(
        [
            sys.executable,
            "-c",
            textwrap.dedent("""
        import sys, tempfile, _testcapi, velmora
        if not hasattr(_testcapi, "run_in_subinterp"):
            sys.exit(3)
        with tempfile.NamedTemporaryFile("r", suffix=".txt") as out:
            code = f'''
        try:
            import velmora
            outcome = "imported"
        except BaseException as error:
            outcome = type(error).__name__ + ": " + str(error)
        open({out.name!r}, "w").write(outcome)
        '''
            _testcapi.run_in_subinterp(code)
            print(out.read())
        """),
        ],
        capture_output=True,
        text=True,
        timeout=120,
        env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)),
    )
    if result.returncode == 3:
        pytest.skip("no legacy sub-interpreters in this build")
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ImportError: velmora does not support sub-interpreters"
