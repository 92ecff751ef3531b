"""A slow, separate model of the resampled read, for differential tests.

Its input is the samples a resampled read sees (microsecond timestamps and float32 channel
values, NaN where a sample lacks a motion channel), as the plain read_cwa_file returns them for
the same blocks. Times are Python floats (64-bit), values are widened from float32 and each
result is rounded to float32 once.
"""

from __future__ import annotations

import math

import numpy as np

F32 = np.float32
I64_MAX = 2**63 - 1
I64_MIN = -(2**63)
ACC = ("acc_x", "acc_y", "acc_z")
MOTION = ("gyro_x", "gyro_y", "gyro_z", "mag_x", "mag_y", "mag_z")
READINGS = ("temperature", "light", "battery")
TINY = 1e-12


class NoRows(Exception):
    """The read ends with the text of its empty or invalid outcome."""


def to_us(seconds: float) -> int:
    """Truncates seconds * 10^6 toward zero, saturating; NaN gives 0."""
    product = seconds * 1000000.0
    if math.isnan(product):
        return 0
    if product >= 9.223372036854775807e18:
        return I64_MAX
    if product <= -9.223372036854775808e18:
        return I64_MIN
    return int(product)


def _is_nan(value: float) -> bool:
    return value != value


class Model:
    """The resampler as a list of queued samples, a cursor and a grid counter."""

    def __init__(self, hz, start, end, readings):
        self.hz = hz
        self.start = start
        self.end = end
        self.step = 1000.0 / hz
        self.origin_ms = None
        self.queue = []  # (time, values dict)
        self.cursor = 0
        self.k = 0
        self.finished = False
        self.rows = {"timestamps": [], **{name: [] for name in ACC}}
        self.motion = {name: None for name in MOTION}  # None: column absent
        self.readings = {name: [] for name in readings}

    def grid(self, k):
        return (float(k) * self.step + self.origin_ms) / 1000.0

    def create_column(self, name):
        if self.motion[name] is None:
            self.motion[name] = [math.nan] * len(self.rows["timestamps"])

    def feed(self, t, values):
        self.queue.append((t, values))
        if self.origin_ms is None:
            origin = t
            if self.start is not None and self.start > t:
                origin = self.start
            self.origin_ms = 1000.0 * origin
            # A grid point 0 that rounds below the first sample could never be placed.
            while self.grid(0) < t:
                self.origin_ms = math.nextafter(self.origin_ms, math.inf)
        self.emit(False)

    def drop(self, count):
        del self.queue[:count]

    def emit(self, final):
        if self.origin_ms is None:
            return
        while True:
            x = self.grid(self.k)
            if self.end is not None and x >= self.end:
                self.finished = True
                return
            times = [entry[0] for entry in self.queue]
            n = len(times)
            i = self.cursor
            while i + 1 < n and x > times[i + 1]:
                i += 1
            self.cursor = i
            reached = n >= 2 and i + 1 < n and times[i] <= x and x <= times[i + 1]
            if not reached or (i >= 1 and not final and i + 2 >= n):
                if i >= 2:
                    self.drop(i - 1)
                    self.cursor = 1
                return
            self.row(x, i)
            self.k += 1
            if self.cursor > 1:
                self.drop(self.cursor - 1)
                self.cursor = 1

    def row(self, x, i):
        q = self.queue
        n = len(q)
        t0, v0 = q[i]
        t1, v1 = q[i + 1]
        cubic = None
        if i >= 1 and i + 2 < n:
            tm, vm = q[i - 1]
            t2, v2 = q[i + 2]
            dm = (tm - t2) * ((tm - t1) * (tm - t0))
            d0 = (t0 - t2) * ((t0 - t1) * (t0 - tm))
            d1 = (t1 - t2) * ((t1 - t0) * (t1 - tm))
            d2 = (t2 - t1) * ((t2 - t0) * (t2 - tm))
            # An interval more than twice as long as both its neighbours is a gap: linear there.
            gap = (t1 - t0) > 2.0 * (t0 - tm) and (t1 - t0) > 2.0 * (t2 - t1)
            if min(abs(dm), abs(d0), abs(d1), abs(d2)) >= TINY and not gap:
                cubic = (tm, vm, dm, d0, d1, d2, t2, v2)

        def value(name):
            y0 = float(v0[name])
            y1 = float(v1[name])
            if cubic is not None:
                tm, vm, dm, d0, d1, d2, t2, v2 = cubic
                ym = float(vm[name])
                y2 = float(v2[name])
                if not any(_is_nan(y) for y in (ym, y0, y1, y2)):
                    am, a0, a1, a2 = x - tm, x - t0, x - t1, x - t2
                    terms = (
                        (((a0 * a1) * a2) / dm) * ym,
                        (((am * a1) * a2) / d0) * y0,
                        (((am * a0) * a2) / d1) * y1,
                        (((am * a0) * a1) / d2) * y2,
                    )
                    return F32(((terms[0] + terms[1]) + terms[2]) + terms[3])
            if abs(t1 - t0) < TINY:
                return v0[name]
            return F32(((x - t0) / (t1 - t0)) * (y1 - y0) + y0)

        index = len(self.rows["timestamps"])
        self.rows["timestamps"].append(to_us(x))
        for name in ACC:
            self.rows[name].append(value(name))
        for name in MOTION:
            if x == t0:
                result = v0[name]
            elif x == t1:
                result = v1[name]
            else:
                result = value(name)
            if self.motion[name] is None:
                if _is_nan(result):
                    continue
                self.motion[name] = [math.nan] * index
            self.motion[name].append(result)
        for name in self.readings:
            self.readings[name].append(value(name))


def resampled_read(times_us, columns, hz, start=None, end=None, readings=READINGS):
    """Returns the expected columns (name -> numpy array, "timestamps" first, output order).

    `columns` maps every channel name to a float32 array parallel to `times_us`; motion channels
    a sample lacks hold NaN. Raises NoRows with the read's message for an empty outcome.
    """
    if len(times_us) == 0:
        raise NoRows("No valid sample data found in the specified range")
    for bound in (start, end):
        if bound is not None and not math.isfinite(bound):
            raise NoRows("time range values must be finite")
    if start is not None and end is not None and not start < end:
        raise NoRows("range_end_time must be greater than range_start_time")
    model = Model(hz, start, end, readings)
    if math.isfinite(model.step):
        names = ACC + MOTION + READINGS
        for j, us in enumerate(times_us):
            t = int(us) / 1000000.0
            values = {name: columns[name][j] for name in names}
            inside = (start is None or t >= start) and (end is None or t < end)
            if inside:
                for name in MOTION:
                    if not _is_nan(values[name]):
                        model.create_column(name)
            if not model.finished:
                model.feed(t, values)
            if model.finished and end is not None and t >= end:
                break
        model.emit(True)
    if not model.rows["timestamps"]:
        raise NoRows("No samples remain after applying time range/resampling")
    out = {"timestamps": np.array(model.rows["timestamps"], dtype=np.int64)}
    for name in ACC:
        out[name] = np.array(model.rows[name], dtype=np.float32)
    for name in MOTION:
        if model.motion[name] is not None:
            out[name] = np.array(model.motion[name], dtype=np.float32)
    for name in READINGS:
        if name in model.readings:
            out[name] = np.array(model.readings[name], dtype=np.float32)
    return out
