"""seconds() and blocks(), and how the `cut` argument is read back."""

from __future__ import annotations

import collections
import math

import pytest

import velmora
from conftest import raises_exactly

MISSING = "/nonexistent/velmora/missing.cwa"
IO_MISSING = "IO error: No such file or directory (os error 2)"


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Real:
    def __float__(self):
        return 2.5


class BadKey(str):
    """Equal in hash to "type", with a comparison that raises."""

    def __hash__(self):
        return hash("type")

    def __eq__(self, other):
        raise LookupError("comparison failed")


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda: velmora.seconds(), {"type": "seconds", "start": None, "end": None}),
        (lambda: velmora.seconds(start=5), {"type": "seconds", "start": 5.0, "end": None}),
        (lambda: velmora.seconds(None, 2.5), {"type": "seconds", "start": None, "end": 2.5}),
        (lambda: velmora.seconds(1, Real()), {"type": "seconds", "start": 1.0, "end": 2.5}),
        (lambda: velmora.seconds(Index(3)), {"type": "seconds", "start": 3.0, "end": None}),
        (lambda: velmora.seconds(True), {"type": "seconds", "start": 1.0, "end": None}),
        (lambda: velmora.seconds(end=1e300), {"type": "seconds", "start": None, "end": 1e300}),
        (lambda: velmora.blocks(), {"type": "blocks", "start": None, "end": None}),
        (lambda: velmora.blocks(2, 5), {"type": "blocks", "start": 2, "end": 5}),
        (lambda: velmora.blocks(end=0), {"type": "blocks", "start": None, "end": 0}),
        (lambda: velmora.blocks(start=True), {"type": "blocks", "start": 1, "end": None}),
        (lambda: velmora.blocks(Index(7)), {"type": "blocks", "start": 7, "end": None}),
        (lambda: velmora.blocks(end=2**64 - 1),
         {"type": "blocks", "start": None, "end": 2**64 - 1}),
    ],
)
def test_cut_dicts(call, expected):
    cut = call()
    assert type(cut) is dict
    assert list(cut.items()) == list(expected.items())
    for key in ("start", "end"):
        assert type(cut[key]) is type(expected[key])


def test_seconds_keeps_negative_zero_and_returns_a_new_dict_each_call():
    assert math.copysign(1.0, velmora.seconds(start=-0.0)["start"]) == -1.0
    first = velmora.seconds(1)
    first["start"] = 9.0
    assert velmora.seconds(1)["start"] == 1.0


@pytest.mark.parametrize(
    "call, kind, message",
    [
        (lambda: velmora.seconds(-1), ValueError, "seconds cut values must be >= 0"),
        (lambda: velmora.seconds(end=-1e-300), ValueError, "seconds cut values must be >= 0"),
        (lambda: velmora.seconds(-1, float("nan")), ValueError, "seconds cut values must be >= 0"),
        (lambda: velmora.seconds(float("nan"), -1), ValueError, "seconds cut values must be finite"),
        (lambda: velmora.seconds(start=float("inf")), ValueError, "seconds cut values must be finite"),
        (lambda: velmora.seconds(end=float("-inf")), ValueError, "seconds cut values must be finite"),
        (lambda: velmora.seconds(1, float("nan")), ValueError, "seconds cut values must be finite"),
        (lambda: velmora.seconds(5, 5), ValueError, "seconds end must be greater than start"),
        (lambda: velmora.seconds(6, 5), ValueError, "seconds end must be greater than start"),
        (lambda: velmora.seconds(0.0, -0.0), ValueError, "seconds end must be greater than start"),
        (lambda: velmora.blocks(3, 3), ValueError, "blocks end must be greater than start"),
        (lambda: velmora.blocks(4, 0), ValueError, "blocks end must be greater than start"),
        (lambda: velmora.seconds("x"), TypeError, "argument 'start': must be real number, not str"),
        (lambda: velmora.seconds(1, [2]), TypeError,
         "argument 'end': must be real number, not list"),
        (lambda: velmora.blocks(1.5), TypeError,
         "argument 'start': 'float' object cannot be interpreted as an integer"),
        (lambda: velmora.blocks(end="3"), TypeError,
         "argument 'end': 'str' object cannot be interpreted as an integer"),
        (lambda: velmora.blocks(-1), OverflowError, "can't convert negative int to unsigned"),
        (lambda: velmora.blocks(end=2**64), OverflowError,
         "int too big to convert"),
        (lambda: velmora.blocks(Index(-2)), OverflowError,
         "can't convert negative int to unsigned"),
        (lambda: velmora.seconds(10**400), OverflowError, "int too large to convert to float"),
        # start converts before end.
        (lambda: velmora.seconds("a", 10**400), TypeError,
         "argument 'start': must be real number, not str"),
        (lambda: velmora.blocks(-1, 1.5), OverflowError, "can't convert negative int to unsigned"),
    ],
)
def test_cut_errors(call, kind, message):
    raises_exactly(kind, message, call)


@pytest.mark.parametrize(
    "cut",
    [
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
    ],
    ids=repr,
)
def test_valid_cuts_pass_to_the_read(cut):
    raises_exactly(RuntimeError, IO_MISSING, velmora.read_cwa_file, MISSING, cut=cut)


@pytest.mark.parametrize(
    "cut, kind, message",
    [
        ([("type", "seconds")], ValueError, "cut must be created by seconds() or blocks()"),
        ("seconds", ValueError, "cut must be created by seconds() or blocks()"),
        (0, ValueError, "cut must be created by seconds() or blocks()"),
        ({}, ValueError, "cut is missing type"),
        ({"start": 1}, ValueError, "cut is missing type"),
        ({"type": "minutes"}, ValueError, "cut type must be 'seconds' or 'blocks'"),
        ({"type": "Seconds"}, ValueError, "cut type must be 'seconds' or 'blocks'"),
        ({"type": " blocks"}, ValueError, "cut type must be 'seconds' or 'blocks'"),
        ({"type": "blocks\0"}, ValueError, "cut type must be 'seconds' or 'blocks'"),
        # The type is checked before the bounds are read.
        ({"type": "minutes", "start": "x"}, ValueError, "cut type must be 'seconds' or 'blocks'"),
        ({"type": None}, TypeError, "'NoneType' object cannot be converted to 'PyString'"),
        ({"type": b"seconds"}, TypeError, "'bytes' object cannot be converted to 'PyString'"),
        ({"type": "\udc80"}, UnicodeEncodeError, None),
        ({"type": "blocks", "start": 5, "end": 2}, ValueError,
         "blocks end must be greater than start"),
        ({"type": "seconds", "start": 3, "end": 3}, ValueError,
         "seconds end must be greater than start"),
        ({"type": "seconds", "start": -1}, ValueError, "seconds cut values must be >= 0"),
        ({"type": "seconds", "end": float("inf")}, ValueError, "seconds cut values must be finite"),
        # Conversion errors carry no argument name.
        ({"type": "seconds", "start": "x"}, TypeError, "must be real number, not str"),
        ({"type": "blocks", "end": 1.5}, TypeError,
         "'float' object cannot be interpreted as an integer"),
        ({"type": "blocks", "start": -1}, OverflowError, "can't convert negative int to unsigned"),
        ({"type": "blocks", "start": "x", "end": -1}, TypeError,
         "'str' object cannot be interpreted as an integer"),
        ({"type": "seconds", "start": 10**400}, OverflowError,
         "int too large to convert to float"),
        ({BadKey("type"): "seconds"}, LookupError, "comparison failed"),
    ],
    ids=repr,
)
def test_invalid_cuts(cut, kind, message):
    raises_exactly(kind, message, velmora.read_cwa_file, MISSING, cut=cut)
