"""Argument matching and conversion: the TypeError texts, and the values that pass."""

from __future__ import annotations

import datetime
import pathlib

import numpy
import pytest

import velmora
from conftest import raises_exactly
from cwa_builder import CwaFile, consecutive_packets

MISSING = "/nonexistent/velmora/missing.cwa"
ALL_NINE = ("a.cwa", None, True, True, True, True, None, "cubic", None)


class Outer:
    class Inner:
        pass


class FloatFailsWithCause:
    def __float__(self):
        try:
            raise KeyError("inner")
        except KeyError as error:
            raise TypeError("no float today") from error


class FloatFailsWithSubclass:
    def __float__(self):
        raise ValueError("not a number")


class FixedZone(datetime.tzinfo):
    def utcoffset(self, moment):
        return datetime.timedelta(hours=2)


MATCHING_ERRORS = [
    (lambda: velmora.read_cwa_file(),
     "read_cwa_file() missing 1 required positional argument: 'file_path'"),
    (lambda: velmora.write_cwa_csv(),
     "write_cwa_csv() missing 2 required positional arguments: 'file_path' and 'output_path'"),
    (lambda: velmora.write_cwa_csv(output_path="o.csv"),
     "write_cwa_csv() missing 1 required positional argument: 'file_path'"),
    (lambda: velmora.write_cwa_csv("a.cwa"),
     "write_cwa_csv() missing 1 required positional argument: 'output_path'"),
    (lambda: velmora.read_metadata(),
     "read_metadata() missing 1 required positional argument: 'file_path'"),
    (lambda: velmora.read_cwa_file(*ALL_NINE),
     "read_cwa_file() takes from 1 to 8 positional arguments but 9 were given"),
    (lambda: velmora.write_cwa_csv("a", *ALL_NINE),
     "write_cwa_csv() takes from 2 to 9 positional arguments but 10 were given"),
    (lambda: velmora.read_metadata("a", "b"),
     "read_metadata() takes 1 positional arguments but 2 were given"),
    (lambda: velmora.sampling_consistency_report("a", "b", "c"),
     "sampling_consistency_report() takes 1 positional arguments but 3 were given"),
    (lambda: velmora.seconds(1, 2, 3),
     "seconds() takes from 0 to 2 positional arguments but 3 were given"),
    (lambda: velmora.blocks(x=1), "blocks() got an unexpected keyword argument 'x'"),
    (lambda: velmora.read_cwa_file("a", path="b"),
     "read_cwa_file() got an unexpected keyword argument 'path'"),
    (lambda: velmora.read_metadata(file_path="a", **{"\u00e9t\u00e9": 1}),
     "read_metadata() got an unexpected keyword argument '\u00e9t\u00e9'"),
    (lambda: velmora.seconds(1, start=2), "seconds() got multiple values for argument 'start'"),
    (lambda: velmora.read_cwa_file("a", file_path="b"),
     "read_cwa_file() got multiple values for argument 'file_path'"),
    # An unexpected keyword is reported before a missing argument.
    (lambda: velmora.read_cwa_file(bad=1),
     "read_cwa_file() got an unexpected keyword argument 'bad'"),
    # Too many positional arguments are reported before a bad keyword.
    (lambda: velmora.read_metadata("a", "b", bad=1),
     "read_metadata() takes 1 positional arguments but 2 were given"),
]


# Parameters convert in order after matching, so the first bad one is reported.
CONVERSION_ERRORS = [
    (lambda: velmora.read_cwa_file(pathlib.Path("a.cwa")),
     "argument 'file_path': 'PosixPath' object cannot be converted to 'PyString'"),
    (lambda: velmora.read_metadata(b"a.cwa"),
     "argument 'file_path': 'bytes' object cannot be converted to 'PyString'"),
    (lambda: velmora.sampling_consistency_report(None),
     "argument 'file_path': 'NoneType' object cannot be converted to 'PyString'"),
    (lambda: velmora.write_cwa_csv("a.cwa", 3),
     "argument 'output_path': 'int' object cannot be converted to 'PyString'"),
    (lambda: velmora.read_cwa_file("a.cwa", include_light=1),
     "argument 'include_light': 'int' object cannot be converted to 'PyBool'"),
    (lambda: velmora.read_cwa_file("a.cwa", include_light=None),
     "argument 'include_light': 'NoneType' object cannot be converted to 'PyBool'"),
    (lambda: velmora.write_cwa_csv("a.cwa", "o.csv", include_magnetometer=0),
     "argument 'include_magnetometer': 'int' object cannot be converted to 'PyBool'"),
    (lambda: velmora.read_cwa_file("a.cwa", include_battery=numpy.int8(1)),
     "argument 'include_battery': 'int8' object cannot be converted to 'PyBool'"),
    (lambda: velmora.read_cwa_file("a.cwa", include_temperature=Outer.Inner()),
     "argument 'include_temperature': 'Outer.Inner' object cannot be converted to 'PyBool'"),
    (lambda: velmora.read_cwa_file("a.cwa", resample_hz="50"),
     "argument 'resample_hz': must be real number, not str"),
    (lambda: velmora.read_cwa_file("a.cwa", resample_method=None),
     "argument 'resample_method': 'NoneType' object cannot be converted to 'PyString'"),
    (lambda: velmora.read_cwa_file("a.cwa", fixed_utc_offset_timezone="UTC"),
     "argument 'fixed_utc_offset_timezone': 'str' object cannot be converted to 'PyTzInfo'"),
    (lambda: velmora.write_cwa_csv("a", "o", fixed_utc_offset_timezone=datetime.timedelta(0)),
     "argument 'fixed_utc_offset_timezone': 'timedelta' object cannot be converted to "
     "'PyTzInfo'"),
    (lambda: velmora.read_cwa_file(1, include_light=1, resample_method=None),
     "argument 'file_path': 'int' object cannot be converted to 'PyString'"),
    (lambda: velmora.write_cwa_csv("a", "o", resample_method=1, include_battery=1),
     "argument 'include_battery': 'int' object cannot be converted to 'PyBool'"),
    (lambda: velmora.read_cwa_file("a", fixed_utc_offset_timezone=1, resample_hz="x"),
     "argument 'resample_hz': must be real number, not str"),
]


@pytest.mark.parametrize("call, message", MATCHING_ERRORS + CONVERSION_ERRORS)
def test_argument_type_errors(call, message):
    raises_exactly(TypeError, message, call)


def test_renamed_type_error_keeps_the_cause():
    error = raises_exactly(TypeError, "argument 'resample_hz': no float today",
                           velmora.read_cwa_file, "a.cwa", resample_hz=FloatFailsWithCause())
    assert type(error.__cause__) is KeyError


@pytest.mark.parametrize(
    "call, kind",
    [
        (lambda: velmora.read_cwa_file("a.cwa", resample_hz=10**400), OverflowError),
        (lambda: velmora.read_cwa_file("a.cwa", resample_hz=FloatFailsWithSubclass()), ValueError),
        (lambda: velmora.read_metadata("bad\udcffname.cwa"), UnicodeEncodeError),
        (lambda: velmora.write_cwa_csv("a.cwa", "\ud800.csv"), UnicodeEncodeError),
        (lambda: velmora.read_cwa_file("a.cwa", resample_method="\udc80"), UnicodeEncodeError),
    ],
)
def test_other_conversion_errors_pass_unchanged(call, kind):
    assert not str(raises_exactly(kind, None, call)).startswith("argument ")


class PathText(str):
    pass


@pytest.mark.parametrize(
    "call",
    [
        lambda: velmora.read_cwa_file(MISSING, resample_hz=numpy.float32(10)),
        lambda: velmora.read_cwa_file(MISSING, resample_hz=25.5, resample_method="cubic"),
        lambda: velmora.read_cwa_file(MISSING, fixed_utc_offset_timezone=None),
        lambda: velmora.read_cwa_file(MISSING, fixed_utc_offset_timezone=datetime.timezone.utc),
        lambda: velmora.read_cwa_file(MISSING, fixed_utc_offset_timezone=FixedZone()),
        lambda: velmora.read_cwa_file(PathText(MISSING)),
        # Positional values fill the parameters in order.
        lambda: velmora.read_cwa_file(MISSING, None, False, numpy.bool_(True), True, False, 20,
                                      "cubic"),
    ],
)  # fmt: skip
def test_accepted_values_reach_the_file(call):
    raises_exactly(RuntimeError, "IO error: No such file or directory (os error 2)", call)


@pytest.mark.parametrize(
    "given, plain",
    [
        ({"include_temperature": numpy.bool_(False)}, {"include_temperature": False}),
        ({"include_light": numpy.bool_(True)}, {"include_light": True}),
        ({"cut": None}, {}),
        ({"resample_hz": 50}, {"resample_hz": 50.0}),
    ],
    ids=repr,
)
def test_converted_values_act_like_their_plain_forms(cwa_path, given, plain):
    path = cwa_path(CwaFile(blocks=consecutive_packets(4)))
    expected = velmora.read_cwa_file(path, **plain)
    actual = velmora.read_cwa_file(path, **given)
    assert list(actual.columns) == list(expected.columns)
    assert actual.equals(expected)
    assert actual.index.equals(expected.index)
