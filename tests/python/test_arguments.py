"""Arguments of every function: matching and conversion errors with their exact texts, the cut
dicts that seconds() and blocks() build, how a `cut` is read back, and the values that pass."""

from __future__ import annotations

import collections
import datetime
import math
import pathlib

import numpy
import pytest
from conftest import raises_exactly
from cwa_builder import CwaFile, consecutive_packets

import velmora

MISSING = "/nonexistent/velmora/missing.cwa"
IO_MISSING = "IO error: No such file or directory (os error 2)"
ALL_NINE = ("a.cwa", None, True, True, True, True, None, "cubic", None)
NOT_A_CUT = "cut must be created by seconds() or blocks()"
BAD_TYPE = "cut type must be 'seconds' or 'blocks'"
NEGATIVE = "seconds cut values must be >= 0"
NOT_FINITE = "seconds cut values must be finite"
SECONDS_ORDER = "seconds end must be greater than start"
BLOCKS_ORDER = "blocks end must be greater than start"
UNSIGNED = "can't convert negative int to unsigned"


def cannot(name: str | None, kind: str, target: str) -> str:
    text = f"'{kind}' object cannot be converted to '{target}'"
    return text if name is None else f"argument '{name}': {text}"


class Outer:
    class Inner:
        pass


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Real:
    def __float__(self):
        return 2.5


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


class BadKey(str):
    """Equal in hash to "type", with a comparison that raises."""

    def __hash__(self):
        return hash("type")

    def __eq__(self, other):
        raise LookupError("comparison failed")


class PathText(str):
    pass


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda: velmora.read_cwa_file(),
            "read_cwa_file() missing 1 required positional argument: 'file_path'",
        ),
        (
            lambda: velmora.write_cwa_csv(),
            "write_cwa_csv() missing 2 required positional arguments: 'file_path' and 'output_path'",
        ),
        (
            lambda: velmora.write_cwa_csv(output_path="o.csv"),
            "write_cwa_csv() missing 1 required positional argument: 'file_path'",
        ),
        (
            lambda: velmora.write_cwa_csv("a.cwa"),
            "write_cwa_csv() missing 1 required positional argument: 'output_path'",
        ),
        (
            lambda: velmora.read_cwa_file(*ALL_NINE),
            "read_cwa_file() takes from 1 to 8 positional arguments but 9 were given",
        ),
        (
            lambda: velmora.write_cwa_csv("a", *ALL_NINE),
            "write_cwa_csv() takes from 2 to 9 positional arguments but 10 were given",
        ),
        (
            lambda: velmora.read_metadata("a", "b"),
            "read_metadata() takes 1 positional arguments but 2 were given",
        ),
        (
            lambda: velmora.seconds(1, 2, 3),
            "seconds() takes from 0 to 2 positional arguments but 3 were given",
        ),
        (lambda: velmora.blocks(x=1), "blocks() got an unexpected keyword argument 'x'"),
        (
            lambda: velmora.read_metadata(file_path="a", **{"\u00e9t\u00e9": 1}),
            "read_metadata() got an unexpected keyword argument '\u00e9t\u00e9'",
        ),
        (lambda: velmora.seconds(1, start=2), "seconds() got multiple values for argument 'start'"),
        (
            lambda: velmora.read_cwa_file("a", file_path="b"),
            "read_cwa_file() got multiple values for argument 'file_path'",
        ),
        # An unexpected keyword is reported before a missing argument, too many positional
        # arguments before a bad keyword.
        (
            lambda: velmora.read_cwa_file(bad=1),
            "read_cwa_file() got an unexpected keyword argument 'bad'",
        ),
        (
            lambda: velmora.read_metadata("a", "b", bad=1),
            "read_metadata() takes 1 positional arguments but 2 were given",
        ),
        (
            lambda: velmora.read_cwa_file(pathlib.Path("a.cwa")),
            cannot("file_path", "PosixPath", "PyString"),
        ),
        (lambda: velmora.read_metadata(b"a.cwa"), cannot("file_path", "bytes", "PyString")),
        (
            lambda: velmora.sampling_consistency_report(None),
            cannot("file_path", "NoneType", "PyString"),
        ),
        (lambda: velmora.write_cwa_csv("a.cwa", 3), cannot("output_path", "int", "PyString")),
        (
            lambda: velmora.read_cwa_file("a", include_light=1),
            cannot("include_light", "int", "PyBool"),
        ),
        (
            lambda: velmora.read_cwa_file("a", include_light=None),
            cannot("include_light", "NoneType", "PyBool"),
        ),
        (
            lambda: velmora.write_cwa_csv("a", "o.csv", include_magnetometer=0),
            cannot("include_magnetometer", "int", "PyBool"),
        ),
        (
            lambda: velmora.read_cwa_file("a", include_battery=numpy.int8(1)),
            cannot("include_battery", "int8", "PyBool"),
        ),
        (
            lambda: velmora.read_cwa_file("a", include_temperature=Outer.Inner()),
            cannot("include_temperature", "Outer.Inner", "PyBool"),
        ),
        (
            lambda: velmora.read_cwa_file("a", resample_hz="50"),
            "argument 'resample_hz': must be real number, not str",
        ),
        (
            lambda: velmora.read_cwa_file("a", resample_method=None),
            cannot("resample_method", "NoneType", "PyString"),
        ),
        (
            lambda: velmora.read_cwa_file("a", fixed_utc_offset_timezone="UTC"),
            cannot("fixed_utc_offset_timezone", "str", "PyTzInfo"),
        ),
        (
            lambda: velmora.write_cwa_csv(
                "a", "o", fixed_utc_offset_timezone=datetime.timedelta(0)
            ),
            cannot("fixed_utc_offset_timezone", "timedelta", "PyTzInfo"),
        ),
        # Parameters convert in order, so the first bad one is reported.
        (
            lambda: velmora.read_cwa_file(1, include_light=1, resample_method=None),
            cannot("file_path", "int", "PyString"),
        ),
        (
            lambda: velmora.write_cwa_csv("a", "o", resample_method=1, include_battery=1),
            cannot("include_battery", "int", "PyBool"),
        ),
        (
            lambda: velmora.read_cwa_file("a", fixed_utc_offset_timezone=1, resample_hz="x"),
            "argument 'resample_hz': must be real number, not str",
        ),
    ],
)
def test_argument_type_errors(call, message):
    raises_exactly(TypeError, message, call)


def test_renamed_type_error_keeps_the_cause():
    error = raises_exactly(
        TypeError,
        "argument 'resample_hz': no float today",
        velmora.read_cwa_file,
        "a.cwa",
        resample_hz=FloatFailsWithCause(),
    )
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


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda: velmora.seconds(), ("seconds", None, None)),
        (lambda: velmora.seconds(start=5), ("seconds", 5.0, None)),
        (lambda: velmora.seconds(None, 2.5), ("seconds", None, 2.5)),
        (lambda: velmora.seconds(1, Real()), ("seconds", 1.0, 2.5)),
        (lambda: velmora.seconds(Index(3)), ("seconds", 3.0, None)),
        (lambda: velmora.seconds(True), ("seconds", 1.0, None)),
        (lambda: velmora.seconds(end=1e300), ("seconds", None, 1e300)),
        (lambda: velmora.blocks(), ("blocks", None, None)),
        (lambda: velmora.blocks(2, 5), ("blocks", 2, 5)),
        (lambda: velmora.blocks(end=0), ("blocks", None, 0)),
        (lambda: velmora.blocks(start=True), ("blocks", 1, None)),
        (lambda: velmora.blocks(Index(7)), ("blocks", 7, None)),
        (lambda: velmora.blocks(end=2**64 - 1), ("blocks", None, 2**64 - 1)),
    ],
)
def test_cut_dicts(call, expected):
    cut = call()
    assert type(cut) is dict
    assert list(cut.items()) == list(zip(("type", "start", "end"), expected))
    assert [type(value) for value in cut.values()] == [type(value) for value in expected]


def test_seconds_keeps_negative_zero_and_returns_a_new_dict_each_call():
    assert math.copysign(1.0, velmora.seconds(start=-0.0)["start"]) == -1.0
    first = velmora.seconds(1)
    first["start"] = 9.0
    assert velmora.seconds(1)["start"] == 1.0


@pytest.mark.parametrize(
    "call, kind, message",
    [
        (lambda: velmora.seconds(-1), ValueError, NEGATIVE),
        (lambda: velmora.seconds(end=-1e-300), ValueError, NEGATIVE),
        (lambda: velmora.seconds(-1, float("nan")), ValueError, NEGATIVE),
        (lambda: velmora.seconds(float("nan"), -1), ValueError, NOT_FINITE),
        (lambda: velmora.seconds(start=float("inf")), ValueError, NOT_FINITE),
        (lambda: velmora.seconds(end=float("-inf")), ValueError, NOT_FINITE),
        (lambda: velmora.seconds(1, float("nan")), ValueError, NOT_FINITE),
        (lambda: velmora.seconds(5, 5), ValueError, SECONDS_ORDER),
        (lambda: velmora.seconds(6, 5), ValueError, SECONDS_ORDER),
        (lambda: velmora.seconds(0.0, -0.0), ValueError, SECONDS_ORDER),
        (lambda: velmora.blocks(3, 3), ValueError, BLOCKS_ORDER),
        (lambda: velmora.blocks(4, 0), ValueError, BLOCKS_ORDER),
        (lambda: velmora.seconds("x"), TypeError, "argument 'start': must be real number, not str"),
        (
            lambda: velmora.seconds(1, [2]),
            TypeError,
            "argument 'end': must be real number, not list",
        ),
        (
            lambda: velmora.blocks(1.5),
            TypeError,
            "argument 'start': 'float' object cannot be interpreted as an integer",
        ),
        (
            lambda: velmora.blocks(end="3"),
            TypeError,
            "argument 'end': 'str' object cannot be interpreted as an integer",
        ),
        (lambda: velmora.blocks(-1), OverflowError, UNSIGNED),
        (lambda: velmora.blocks(end=2**64), OverflowError, "int too big to convert"),
        (lambda: velmora.blocks(Index(-2)), OverflowError, UNSIGNED),
        (lambda: velmora.seconds(10**400), OverflowError, "int too large to convert to float"),
        # start converts before end.
        (
            lambda: velmora.seconds("a", 10**400),
            TypeError,
            "argument 'start': must be real number, not str",
        ),
        (lambda: velmora.blocks(-1, 1.5), OverflowError, UNSIGNED),
    ],
)
def test_cut_errors(call, kind, message):
    raises_exactly(kind, message, call)


@pytest.mark.parametrize(
    "call",
    [
        lambda: velmora.read_cwa_file(MISSING, resample_hz=numpy.float32(10)),
        lambda: velmora.read_cwa_file(MISSING, resample_hz=25.5, resample_method="cubic"),
        lambda: velmora.read_cwa_file(MISSING, resample_hz=None, fixed_utc_offset_timezone=None),
        lambda: velmora.read_cwa_file(MISSING, fixed_utc_offset_timezone=datetime.timezone.utc),
        lambda: velmora.read_cwa_file(MISSING, fixed_utc_offset_timezone=FixedZone()),
        lambda: velmora.read_cwa_file(PathText(MISSING)),
        # Positional values fill the parameters in order.
        lambda: velmora.read_cwa_file(
            MISSING, None, False, numpy.bool_(True), True, False, 20, "cubic"
        ),
    ]
    + [
        lambda cut=cut: velmora.read_cwa_file(MISSING, cut=cut)
        for cut in [
            None,
            {"type": "seconds"},
            {"type": "blocks"},
            {"type": "seconds", "start": None, "end": None, "extra": object()},
            {"type": "blocks", "start": 2, "end": 5},
            {"type": "blocks", "end": 0},
            {"type": "seconds", "start": 1, "end": 2.5},
            {"type": "seconds", "start": -0.0},
            collections.OrderedDict(type="blocks", start=1),
            velmora.seconds(60, 120),
            velmora.blocks(start=3),
        ]
    ],
)
def test_accepted_values_reach_the_file(call):
    raises_exactly(RuntimeError, IO_MISSING, call)


@pytest.mark.parametrize(
    "cut, kind, message",
    [
        ([("type", "seconds")], ValueError, NOT_A_CUT),
        ("seconds", ValueError, NOT_A_CUT),
        (0, ValueError, NOT_A_CUT),
        ({}, ValueError, "cut is missing type"),
        ({"start": 1}, ValueError, "cut is missing type"),
        ({"type": "minutes"}, ValueError, BAD_TYPE),
        ({"type": "Seconds"}, ValueError, BAD_TYPE),
        ({"type": " blocks"}, ValueError, BAD_TYPE),
        ({"type": "blocks\0"}, ValueError, BAD_TYPE),
        # The type is checked before the bounds are read.
        ({"type": "minutes", "start": "x"}, ValueError, BAD_TYPE),
        ({"type": None}, TypeError, cannot(None, "NoneType", "PyString")),
        ({"type": b"seconds"}, TypeError, cannot(None, "bytes", "PyString")),
        ({"type": "\udc80"}, UnicodeEncodeError, None),
        ({"type": "blocks", "start": 5, "end": 2}, ValueError, BLOCKS_ORDER),
        ({"type": "seconds", "start": 3, "end": 3}, ValueError, SECONDS_ORDER),
        ({"type": "seconds", "start": -1}, ValueError, NEGATIVE),
        ({"type": "seconds", "end": float("inf")}, ValueError, NOT_FINITE),
        # Conversion errors carry no argument name.
        ({"type": "seconds", "start": "x"}, TypeError, "must be real number, not str"),
        (
            {"type": "blocks", "end": 1.5},
            TypeError,
            "'float' object cannot be interpreted as an integer",
        ),
        ({"type": "blocks", "start": -1}, OverflowError, UNSIGNED),
        (
            {"type": "blocks", "start": "x", "end": -1},
            TypeError,
            "'str' object cannot be interpreted as an integer",
        ),
        ({"type": "seconds", "start": 10**400}, OverflowError, "int too large to convert to float"),
        ({BadKey("type"): "seconds"}, LookupError, "comparison failed"),
    ],
    ids=repr,
)
def test_invalid_cuts(cut, kind, message):
    raises_exactly(kind, message, velmora.read_cwa_file, MISSING, cut=cut)


@pytest.mark.parametrize(
    "given, plain",
    [
        ({"include_temperature": numpy.bool_(False)}, {"include_temperature": False}),
        ({"include_light": numpy.bool_(True)}, {"include_light": True}),
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
