"""Zone monitor: entries, exits, dwell and counts over frames, against a plain model of the same rules."""

from __future__ import annotations

import gc
import inspect
import math
import pickle
import sys
import threading
import time
import tracemalloc
import weakref

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from quillo_sdk.roi import zone_gate
from quillo_sdk.roi.zone_gate import ZoneEvent, ZoneGate, ZoneMonitor
from test_zone_gate import probe_points


def square(lo, hi):
    return [(lo, lo), (hi, lo), (hi, hi), (lo, hi)]


def rec(label, roi_id, points, include=True):
    return {"label": label, "roi_id": roi_id, "include": include, "points": list(points)}


class Det:
    def __init__(self, x, y, track_id=None, **attrs):
        self.tlwh = (x - 0.01, y - 0.01, 0.02, 0.02)  # anchor at (x, y)
        if track_id is not None:
            self.track_id = track_id
        self.__dict__.update(attrs)


class Track:
    """Identity and box in `info`, a stale `tlwh` that must not be used."""

    def __init__(self, x, y, track_id):
        self.tlwh = (0.0, 0.0, 0.01, 0.01)
        self.info = {"rect": (x - 0.01, y - 0.01, 0.02, 0.02), "track_id": track_id}


def ev(kind, roi, track, t, dwell=0.0, names=None):
    return ZoneEvent(kind, roi, (names or {}).get(roi, roi.upper()), track, t, dwell)


# A: (0.1..0.5)² with the exclusion (0.2..0.3)²;  B: (0.4..0.9)², overlapping A.
RECORDS = [rec("A", "a", square(0.1, 0.5)), rec("X", "x", square(0.2, 0.3), include=False),
           rec("B", "b", square(0.4, 0.9))]


@pytest.fixture
def gate():
    return ZoneGate([dict(r) for r in RECORDS])


# ---------------------------------------------------------------- surface


def test_signatures_docs_and_event_value_semantics():
    assert str(inspect.signature(ZoneMonitor)) == "(gate, *, min_frames=1, lost_after=1.0)"
    assert list(inspect.signature(ZoneMonitor.update).parameters) == [
        "self", "items", "timestamp", "frame_sz", "anchor_pt"]
    assert inspect.signature(ZoneMonitor.update).parameters["anchor_pt"].default == (0.5, 0.5)
    assert list(inspect.signature(ZoneMonitor.dwell).parameters) == ["self", "track_id"]
    assert list(inspect.signature(ZoneEvent).parameters) == [
        "kind", "roi_id", "roi_name", "track_id", "timestamp", "dwell"]
    for f in (ZoneMonitor, ZoneMonitor.update, ZoneMonitor.occupancy, ZoneMonitor.totals, ZoneMonitor.dwell,
              ZoneMonitor.reset, ZoneEvent):
        assert f.__doc__
    e = ZoneEvent("exit", "a", "A", 7, 2, 1.5)
    assert (e.kind, e.roi_id, e.roi_name, e.track_id, e.timestamp, e.dwell) == ("exit", "a", "A", 7, 2.0, 1.5)
    assert repr(e) == "ZoneEvent(kind='exit', roi_id='a', roi_name='A', track_id=7, timestamp=2.0, dwell=1.5)"
    assert e == ZoneEvent(kind="exit", roi_id="a", roi_name="A", track_id=7, timestamp=2.0, dwell=1.5)
    assert e != ZoneEvent("enter", "a", "A", 7, 2.0, 1.5) and e != tuple(e.__reduce__()[1])
    assert hash(e) == hash(ZoneEvent("exit", "a", "A", 7, 2.0, 1.5))
    assert pickle.loads(pickle.dumps(e)) == e
    with pytest.raises(AttributeError):
        e.kind = "enter"
    with pytest.raises(ValueError):
        ZoneEvent("left", "a", "A", 7, 2.0, 1.5)
    with pytest.raises(TypeError):
        ZoneEvent("exit", "a", "A", 7, "2", 1.5)


# ---------------------------------------------------------------- worked examples


def test_enter_move_exit_with_exclusions_and_overlap(gate):
    m = ZoneMonitor(gate)
    # 1 in A, 2 in A's exclusion (in no zone), 3 in A and B, 4 in B, 5 without id in A.
    assert m.update([Det(0.15, 0.15, 1), Det(0.25, 0.25, 2), Det(0.45, 0.45, 3), Track(0.8, 0.8, 4),
                     Det(0.12, 0.45)], timestamp=10) == [
        ev("enter", "a", 1, 10.0), ev("enter", "a", 3, 10.0), ev("enter", "b", 3, 10.0), ev("enter", "b", 4, 10.0)]
    assert m.occupancy() == {"a": 3, "b": 2}
    assert m.dwell(3) == {"a": 0.0, "b": 0.0} and m.dwell(2) == {} and m.dwell("nobody") == {}
    # 3 leaves A into B only; 1 moves into the exclusion; 2 moves out of it into A.
    assert m.update([Det(0.25, 0.25, 1), Det(0.15, 0.15, 2), Det(0.6, 0.6, 3), Track(0.8, 0.8, 4)],
                    timestamp=12.5) == [
        ev("exit", "a", 1, 12.5, 2.5), ev("exit", "a", 3, 12.5, 2.5), ev("enter", "a", 2, 12.5)]
    assert m.occupancy() == {"a": 1, "b": 2}
    assert m.dwell(3) == {"b": 2.5}
    assert m.totals() == {"a": {"entered": 3, "exited": 2}, "b": {"entered": 2, "exited": 0}}


def test_min_frames_needs_consecutive_sightings(gate):
    m = ZoneMonitor(gate, min_frames=3)
    inside, outside = Det(0.15, 0.15, "t"), Det(0.95, 0.05, "t")
    seq = [inside, inside, None, inside, inside, inside, outside, inside, outside, outside, outside]
    out = [m.update([] if item is None else [item], timestamp=i) for i, item in enumerate(seq)]
    assert [i for i, events in enumerate(out) if events] == [5, 10]
    assert out[5] == [ev("enter", "a", "t", 5.0)] and out[10] == [ev("exit", "a", "t", 10.0, 5.0)]


def test_lost_tracks_exit_with_the_dwell_of_their_last_sighting(gate):
    m = ZoneMonitor(gate, lost_after=2.0)
    m.update([Det(0.15, 0.15, 1), Det(0.45, 0.45, 2)], timestamp=0)
    m.update([Det(0.15, 0.15, 1)], timestamp=1)  # 2 unseen, not lost yet
    assert m.occupancy() == {"a": 2, "b": 1} and m.dwell(2) == {"a": 0.0, "b": 0.0}
    assert m.update([Det(0.15, 0.15, 2)], timestamp=1.5) == [ev("exit", "b", 2, 1.5, 1.5)]  # 1 unseen since 1.0
    # At 3.0: 1 unseen for 2.0 s, so lost; 2 is seen outside.
    assert m.update([Det(0.95, 0.05, 2)], timestamp=3.0) == [ev("exit", "a", 1, 3.0, 1.0), ev("exit", "a", 2, 3.0, 3.0)]
    assert m.occupancy() == {"a": 0, "b": 0}


def test_exits_before_entries_then_zones_then_tracks(gate):
    m = ZoneMonitor(gate, lost_after=1.0)
    m.update([Det(0.45, 0.45, "lost2"), Det(0.45, 0.45, "lost1"), Det(0.8, 0.8, "mover")], timestamp=0)
    m.update([Det(0.45, 0.45, "lost1"), Det(0.8, 0.8, "mover")], timestamp=0.5)  # lost1 seen later
    events = m.update([Det(0.15, 0.15, "new"), Det(0.15, 0.15, "mover")], timestamp=2)
    assert [(e.kind, e.roi_id, e.track_id) for e in events] == [
        ("exit", "a", "lost2"), ("exit", "a", "lost1"), ("exit", "b", "lost2"), ("exit", "b", "lost1"),
        ("exit", "b", "mover"), ("enter", "a", "new"), ("enter", "a", "mover")]
    assert {e.timestamp for e in events} == {2.0}
    assert [e.dwell for e in events[:5]] == [0.0, 0.5, 0.0, 0.5, 2.0]


def test_ids_count_as_dict_keys_and_duplicates_are_one_track(gate):
    m = ZoneMonitor(gate)
    assert m.update([Det(0.15, 0.15, 1), Det(0.8, 0.8, 1.0), Det(0.15, 0.15, (1, "x"))], timestamp=0) == [
        ev("enter", "a", 1, 0.0), ev("enter", "a", (1, "x"), 0.0), ev("enter", "b", 1, 0.0)]
    assert m.occupancy() == {"a": 2, "b": 1}
    m.update([Det(0.8, 0.8, True)], timestamp=1)  # True == 1: the same track, now only in B
    assert m.dwell(1) == {"b": 1.0}


def test_records_without_vertices_and_gates_without_zones():
    m = ZoneMonitor(ZoneGate([rec("A", "a", square(0.1, 0.5)), rec("all", "e", []),
                              rec("off", "o", [], include=False)]))
    assert m.update([Det(0.15, 0.15, 1), Det(0.9, 0.9, 2)], timestamp=0) == [
        ev("enter", "a", 1, 0.0), ev("enter", "e", 1, 0.0, names={"e": "all"}),
        ev("enter", "e", 2, 0.0, names={"e": "all"})]
    for empty in (ZoneGate(), ZoneGate([])):
        m = ZoneMonitor(empty)
        assert m.update([Det(0.15, 0.15, 1)] * 2, timestamp=0) == [] and m.occupancy() == {} and m.totals() == {}
        assert m.dwell(1) == {}


def test_pixel_boxes_use_the_gate_frame_size_unless_given():
    m = ZoneMonitor(ZoneGate([rec("A", "a", square(0.1, 0.5))], frame_sz=[100, 100]))
    px = Det(0, 0, 1)
    px.tlwh = (10, 10, 10, 10)  # centre (15, 15) px
    assert m.update([px], timestamp=0) == [ev("enter", "a", 1, 0.0)]
    assert m.update([px], timestamp=1, frame_sz=[20, 20]) == [ev("exit", "a", 1, 1.0, 1.0)]
    assert m.update([px], timestamp=2, anchor_pt=(1, 1)) == [ev("enter", "a", 1, 2.0)]


def test_reset_forgets_everything_and_default_time_comes_from_the_module(gate, monkeypatch):
    clock = iter([100.0, 101.0, 5.0])
    monkeypatch.setattr(zone_gate.time, "monotonic", lambda: next(clock))
    m = ZoneMonitor(gate)
    assert m.update([Det(0.15, 0.15, 1)]) == [ev("enter", "a", 1, 100.0)]
    assert m.update([Det(0.15, 0.15, 1)]) == [] and m.dwell(1) == {"a": 1.0}
    m.reset()
    assert m.occupancy() == {"a": 0, "b": 0} and m.totals()["a"] == {"entered": 0, "exited": 0}
    assert m.update([Det(0.15, 0.15, 1)]) == [ev("enter", "a", 1, 5.0)]  # the clock may start again


# ---------------------------------------------------------------- bad input


@pytest.mark.parametrize(
    "make, error",
    [
        (lambda g: ZoneMonitor(), TypeError),
        (lambda g: ZoneMonitor(object()), TypeError),
        (lambda g: ZoneMonitor(g, 2), TypeError),
        (lambda g: ZoneMonitor(g, min_frames=0), ValueError),
        (lambda g: ZoneMonitor(g, min_frames=-(10**30)), ValueError),
        (lambda g: ZoneMonitor(g, min_frames=2**40), ValueError),
        (lambda g: ZoneMonitor(g, min_frames=True), TypeError),
        (lambda g: ZoneMonitor(g, min_frames=2.0), TypeError),
        (lambda g: ZoneMonitor(g, lost_after=-1), ValueError),
        (lambda g: ZoneMonitor(g, lost_after=math.nan), ValueError),
        (lambda g: ZoneMonitor(g, lost_after="1"), TypeError),
        (lambda g: ZoneMonitor(g, bogus=1), TypeError),
        (lambda g: ZoneMonitor(ZoneGate([rec("A", "a", square(0.1, 0.5)), rec("B", "a", square(0.5, 0.9))])),
         ValueError),
    ],
)
def test_bad_construction(gate, make, error):
    with pytest.raises(error):
        make(gate)


@pytest.mark.parametrize(
    "kwargs, error",
    [
        ({"timestamp": 4.0}, ValueError),
        ({"timestamp": math.nan}, ValueError),
        ({"timestamp": math.inf}, ValueError),
        ({"timestamp": "6"}, TypeError),
        ({"timestamp": True}, TypeError),
        ({"frame_sz": [100]}, ValueError),
        ({"frame_sz": ["a", "b"]}, TypeError),
        ({"frame_sz": 3}, TypeError),
        ({"anchor_pt": (0.5, 0.5, 0.5)}, ValueError),
        ({"anchor_pt": ("x", "y")}, TypeError),
        ({"items": None}, TypeError),
        ({"bogus": 1}, TypeError),
    ],
)
def test_bad_arguments_raise_and_change_nothing(gate, logged, kwargs, error):
    m = ZoneMonitor(gate)
    m.update([Det(0.15, 0.15, 1)], timestamp=5.0)
    args = {"items": [Det(0.95, 0.05, 1), Det(0.15, 0.15, 2)], "timestamp": 6.0, **kwargs}
    with pytest.raises(error):
        m.update(**args)
    assert m.totals()["a"] == {"entered": 1, "exited": 0} and m.occupancy()["a"] == 1 and logged == []
    assert m.update([], timestamp=5.0) == []  # equal timestamps are fine


def test_unreadable_items_are_skipped_and_logged_once(gate, logged):
    class BadId:
        tlwh = (0.14, 0.14, 0.02, 0.02)
        track_id = [1]

    class BadInfo:
        tlwh = (0.14, 0.14, 0.02, 0.02)

        @property
        def info(self):
            raise RuntimeError("no info")

    bad = [object(), Det(0.15, 0.15, 7, tlwh=(1, 2, 3)), BadId(), Det(0.15, 0.15, 8, info=[1]),
           Det(0.15, 0.15, 9, tlwh=("a", 1, 1, 1))]
    m = ZoneMonitor(gate)
    events = m.update(bad[:2] + [Det(0.15, 0.15, 1)] + bad[2:] + [BadInfo()], timestamp=0)
    assert events == [ev("enter", "a", 1, 0.0)]
    assert m.occupancy()["a"] == 2  # BadInfo reads as an untracked detection, as in the gate
    assert len(logged) == 1 and logged[0][0] is zone_gate.logger and isinstance(logged[0][1], AttributeError)
    assert m.update([Det(0.15, 0.15, 1)], timestamp=1) == [] and len(logged) == 1


def test_errors_outside_items_apply_nothing(gate, monkeypatch):
    m = ZoneMonitor(gate)

    def frames():
        yield Det(0.15, 0.15, 1)
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        m.update(frames(), timestamp=0)
    monkeypatch.setattr(zone_gate, "exception_traceback", lambda logger, exc: 1 / 0)
    with pytest.raises(ZeroDivisionError):
        m.update([Det(0.15, 0.15, 1), object()], timestamp=0)
    assert m.totals()["a"]["entered"] == 0 and m.occupancy()["a"] == 0
    monkeypatch.undo()
    assert m.update([Det(0.15, 0.15, 1)], timestamp=0) == [ev("enter", "a", 1, 0.0)]


CALLS = {
    "update": lambda m: m.update([Det(0.15, 0.15, 99)], timestamp=50),
    "reset": lambda m: m.reset(),
    "dwell": lambda m: m.dwell(1),
    "occupancy": lambda m: m.occupancy(),
    "totals": lambda m: m.totals(),
}


def snapshot(m, ids=(1, 2, 3, 4, 5)):
    return m.occupancy(), m.totals(), [m.dwell(i) for i in ids]


def test_a_call_from_inside_an_update_is_refused(gate, logged):
    m = ZoneMonitor(gate)
    refused = []

    class Reentrant:
        tlwh = (0.14, 0.14, 0.02, 0.02)

        @property
        def track_id(self):
            for name, call in CALLS.items():
                with pytest.raises(RuntimeError, match="in use by another call"):
                    call(m)
                refused.append(name)
            return 5

    assert m.update([Reentrant()], timestamp=0) == [ev("enter", "a", 5, 0.0)]
    assert refused == list(CALLS) and logged == []
    assert m.gate is gate and m.min_frames == 1  # fixed at construction, readable at any time


class CollidingId:
    """Ids that all hash alike, so that every lookup compares them with __eq__."""

    def __init__(self, n):
        self.n = n

    def __hash__(self):
        return 7

    def __eq__(self, other):
        return isinstance(other, CollidingId) and self.n == other.n

    def __repr__(self):
        return f"CollidingId({self.n})"


class CallingBack(CollidingId):
    """A colliding id whose first comparison calls `callback` (a reset or an update frees entries)."""

    def __init__(self, n, callback):
        super().__init__(n)
        self.callback = callback

    def __eq__(self, other):
        if self.callback:
            callback, self.callback = self.callback, None
            callback()
        return super().__eq__(other)

    __hash__ = CollidingId.__hash__


@pytest.mark.parametrize("entry", ["dwell", "update"])
@pytest.mark.parametrize("inner", sorted(CALLS))
def test_an_id_calling_back_during_a_lookup_is_refused_and_changes_nothing(gate, logged, entry, inner):
    m = ZoneMonitor(gate)
    ids = [CollidingId(k) for k in range(20)]
    m.update([Det(0.15, 0.15, i) for i in ids], timestamp=0)
    before = snapshot(m, ids)
    errors = []

    def callback():
        try:
            CALLS[inner](m)
        except RuntimeError as exc:
            errors.append(exc)
            raise

    probe = CallingBack(7, callback)
    if entry == "dwell":
        with pytest.raises(RuntimeError, match="in use by another call"):
            m.dwell(probe)
        assert logged == []
        assert snapshot(m, ids) == before
    else:  # the probe's item is skipped, its error logged, the rest of the frame applied
        assert m.update([Det(0.15, 0.15, i) for i in ids] + [Det(0.45, 0.45, probe)], timestamp=1) == []
        assert len(logged) == 1 and isinstance(logged[0][1], RuntimeError)
        assert snapshot(m, ids)[:2] == before[:2]
    assert len(errors) == 1 and probe.callback is None
    assert m.dwell(CollidingId(3)) == {"a": 1.0 if entry == "update" else 0.0}


def test_ids_are_let_go_after_the_call_so_their_finalizers_may_use_the_monitor(gate):
    m = ZoneMonitor(gate)
    seen = []

    class Id(int):
        def __del__(self):
            seen.append(m.occupancy())

    m.update([Det(0.15, 0.15, Id(1))], timestamp=0)
    m.update([Det(0.95, 0.05, 1)], timestamp=1)  # the first id object is replaced by nothing new
    m.update([], timestamp=2)  # the track is forgotten: the monitor lets go of its id
    assert seen == [{"a": 0, "b": 0}]
    m.update([Det(0.15, 0.15, Id(2))], timestamp=3)
    m.reset()
    assert seen[1:] == [{"a": 0, "b": 0}]


def test_two_threads_updating_and_reading_never_break_the_monitor(gate):
    m = ZoneMonitor(gate, lost_after=0.0)
    frames = [[Det(0.15 + 0.01 * (k % 5), 0.45 if k % 2 else 0.15, CollidingId(i * 7 + k)) for k in range(12)]
              for i in range(40)]
    counts = {"update": 0, "read": 0, "refused": 0}
    stop = time.monotonic() + 1.0
    failures = []

    def run(step):
        try:
            while time.monotonic() < stop:
                try:
                    step()
                except RuntimeError as exc:
                    assert "in use by another call" in str(exc)
                    counts["refused"] += 1
        except BaseException as exc:  # surfaced by the main thread
            failures.append(exc)

    def update():
        counts["update"] += 1
        m.update(frames[counts["update"] % len(frames)], timestamp=counts["update"])

    def read():
        counts["read"] += 1
        m.dwell(CollidingId(counts["read"] % 300))
        m.occupancy()

    switch = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=run, args=(f,)) for f in (update, read)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(30)
    finally:
        sys.setswitchinterval(switch)
    assert failures == [] and not any(t.is_alive() for t in threads)
    assert counts["update"] > 0 and counts["read"] > 0
    totals = m.totals()
    assert m.occupancy() == {z: totals[z]["entered"] - totals[z]["exited"] for z in "ab"}
    # every track of the last frame applied is still known, with the dwell of its zones
    m.update(frames[0], timestamp=counts["update"] + 1)
    assert all(set(m.dwell(d.track_id)) <= {"a", "b"} for d in frames[0])
    m.reset()
    assert m.occupancy() == {"a": 0, "b": 0}


# ---------------------------------------------------------------- the gate's answers


def test_monitor_answers_as_filter_in_roi_on_and_near_slanted_edges():
    # A slanted zone, a zone overlapping it and an exclusion whose edges cross both.
    records = [rec("S", "s", [(0.1, 0.1), (0.7, 0.3), (0.6, 0.9), (0.1, 0.8)]),
               rec("T", "t", [(0.35, 0.05), (0.95, 0.45), (0.55, 0.65)]),
               rec("X", "x", [(0.3, 0.2), (0.8, 0.6), (0.2, 0.6)], include=False)]
    gate = ZoneGate(records)
    rng = np.random.default_rng(16)
    s, t = records[0]["shapely_polygon"], records[1]["shapely_polygon"]
    exclusion = records[2]["shapely_polygon"]
    # 2000 anchors along the first edge of S, as the zone stores its vertices (float32)
    a, b = records[0]["points"][:2].astype(float)
    along = a + (b - a) * (np.arange(2000) / 2000)[:, None]
    pts = np.concatenate([along, probe_points(s, rng, 500), probe_points(t, rng, 500),
                          probe_points(s.intersection(exclusion), rng, 200),
                          probe_points(t.intersection(exclusion), rng, 200)])
    items = [Det(0, 0, k, tlwh=(x, y, 0.0, 0.0)) for k, (x, y) in enumerate(pts.tolist())]

    kept = {copy.track_id: copy.roi_id for copy in gate.filter_in_roi(items)}
    m = ZoneMonitor(gate)
    entered = {}
    for e in m.update(items, timestamp=0):
        entered.setdefault(e.track_id, []).append(e.roi_id)
    assert entered == kept
    assert m.occupancy() == {z: sum(z in ids for ids in kept.values()) for z in "st"}
    assert 0 < len(kept) < len(items) and len(pts) > 4000


# ---------------------------------------------------------------- model and memory


class Model:
    """The monitor's rules, written plainly."""

    def __init__(self, zones, min_frames, lost_after):
        self.zones, self.min_frames, self.lost_after = zones, min_frames, lost_after
        self.tracks = {}  # id -> {"seen": t, "update": n, "pos": i, "z": {zone: [inside, streak, since]}}
        self.n = 0

    def update(self, frame, t):
        self.n += 1
        exits, enters = [], []
        for pos, (tid, inside) in enumerate(frame):
            tr = self.tracks.setdefault(tid, {"update": 0, "z": {z: [False, 0, 0.0] for z in self.zones}})
            consecutive = tr["update"] == self.n - 1
            for z in self.zones:
                st = tr["z"][z]
                st[1] = st[1] if consecutive else 0
                if (z in inside) == st[0]:
                    st[1] = 0
                    continue
                st[1] += 1
                if st[1] >= self.min_frames:
                    if st[0]:
                        exits.append((z, tid, t - st[2]))
                    else:
                        enters.append((z, tid))
                        st[2] = t
                    st[0], st[1] = not st[0], 0
            tr.update(seen=t, update=self.n, pos=pos)
        for tid, tr in list(self.tracks.items()):
            if tr["update"] == self.n:
                continue
            inside = [z for z in self.zones if tr["z"][z][0]]
            if inside and t - tr["seen"] >= self.lost_after:
                exits += [(z, tid, tr["seen"] - tr["z"][z][2]) for z in inside]
            elif inside:
                continue
            del self.tracks[tid]
        return exits, enters

    def inside(self):
        return {z: sum(tr["z"][z][0] for tr in self.tracks.values()) for z in self.zones}


POSITIONS = {"a": (0.15, 0.15), "excl": (0.25, 0.25), "ab": (0.45, 0.45), "b": (0.8, 0.8), "none": (0.95, 0.05)}
INSIDE = {"a": {"a"}, "excl": set(), "ab": {"a", "b"}, "b": {"b"}, "none": set()}


@settings(max_examples=150, deadline=None)
@given(
    min_frames=st.integers(1, 3),
    lost_after=st.sampled_from([0.0, 0.5, 1.0, 2.5]),
    frames=st.lists(
        st.tuples(st.sampled_from([0.0, 0.25, 0.5, 1.0]),
                  st.lists(st.tuples(st.integers(0, 5), st.sampled_from(sorted(POSITIONS))), max_size=6)),
        max_size=25),
)
def test_monitor_equals_the_model(min_frames, lost_after, frames):
    gate = ZoneGate([dict(r) for r in RECORDS])
    m = ZoneMonitor(gate, min_frames=min_frames, lost_after=lost_after)
    model = Model(["a", "b"], min_frames, lost_after)
    t = 0.0
    for step, seen in frames:
        t += step
        unique = {}
        for tid, where in seen:
            unique.setdefault(tid, set()).update(INSIDE[where])
        events = m.update([Det(*POSITIONS[where], tid) for tid, where in seen], timestamp=t)
        exits, enters = model.update(list(unique.items()), t)
        got_exits = [(e.roi_id, e.track_id, e.dwell) for e in events if e.kind == "exit"]
        got_enters = [(e.roi_id, e.track_id) for e in events if e.kind == "enter"]
        assert sorted(got_exits) == sorted(exits) and sorted(got_enters) == sorted(enters)
        assert [e.kind for e in events] == sorted(e.kind for e in events)[::-1]  # exits first
        assert [e.roi_id for e in events if e.kind == "enter"] == sorted(z for z, _ in enters)
        seen_order = list(unique)
        for z in "ab":
            mine = [e.track_id for e in events if e.kind == "enter" and e.roi_id == z]
            assert mine == sorted(mine, key=seen_order.index)
        assert all(e.timestamp == t for e in events)
        assert m.occupancy() == model.inside()
        for tid in unique:
            assert set(m.dwell(tid)) == {z for z in "ab" if model.tracks.get(tid, {"z": {}})["z"].get(z, [0])[0]}


@pytest.mark.parametrize("gate_keeps_the_zones", [True, False])
def test_reference_cycles_through_the_zones_are_collected(gate_keeps_the_zones):
    class Sentinel:
        pass

    records = [rec("A", "a", square(0.1, 0.5))]
    gate = ZoneGate(records)
    m = ZoneMonitor(gate)
    sentinel = Sentinel()
    records[0]["monitor"], records[0]["sentinel"] = m, sentinel  # record -> monitor -> zones -> record
    if not gate_keeps_the_zones:
        gate.__init__([rec("B", "b", square(0.5, 0.9))])  # the monitor alone holds A's zones now
    other = ZoneMonitor(gate)
    ref = weakref.ref(sentinel)
    del records, m, sentinel
    gc.collect()
    assert (ref() is not None) == gate_keeps_the_zones
    if gate_keeps_the_zones:  # reachable through the gate, so untouched
        assert gate._included_rois[0]["monitor"].update([Det(0.15, 0.15, 1)], timestamp=0)
    assert other.update([Det(0.15, 0.15, 1), Det(0.6, 0.6, 2)], timestamp=0)
    del gate, other
    gc.collect()
    assert ref() is None


def test_memory_stays_flat_with_tracks_coming_and_going(gate):
    m = ZoneMonitor(gate, min_frames=2, lost_after=0.05)

    frame = [Det(0.15 + 0.01 * (k % 3), 0.45 if k % 2 else 0.15, 0) for k in range(8)]

    def run(start, count):
        for i in range(start, start + count):
            # 8 live tracks; one new id per update, each seen for 8 updates, then gone.
            for k, d in enumerate(frame):
                d.track_id = i - k
            m.update(frame, timestamp=i * 0.01)

    run(0, 2000)
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.take_snapshot()
        run(2000, 100_000)
        gc.collect()
        after = tracemalloc.take_snapshot()
    finally:
        tracemalloc.stop()
    grown = sum(s.size_diff for s in after.compare_to(before, "filename"))
    assert grown < 64 * 1024
    totals = m.totals()["a"]
    assert totals["entered"] - totals["exited"] == m.occupancy()["a"] <= 8 + 5  # plus the unseen ones not yet lost
