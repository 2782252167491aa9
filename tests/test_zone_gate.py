"""Zone gate: construction, filtering rules, failure handling, exactness against shapely."""

from __future__ import annotations

import abc
import copy
import copyreg
import dataclasses
import gc
import inspect
import math
import warnings
import weakref
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest
import shapely
from hypothesis import HealthCheck, event, given, settings
from conftest import reference_anchor, reference_filter, run_together
from hypothesis import strategies as st
from shapely.geometry import Point, Polygon

from quillo_sdk.roi import zone_gate
from quillo_sdk.roi.zone_gate import RoiData, ZoneGate

SQUARE = [(0.2, 0.2), (0.8, 0.2), (0.8, 0.8), (0.2, 0.8)]


def square(lo, hi):
    return [(lo, lo), (hi, lo), (hi, hi), (lo, hi)]


def rec(label, roi_id, points, include=True, **extra):
    return {"label": label, "roi_id": roi_id, "include": include, "points": list(points), **extra}


class Det:
    def __init__(self, tlwh, **attrs):
        self.tlwh = tlwh
        self.__dict__.update(attrs)


class Track:
    def __init__(self, tlwh, rect=None):
        self.tlwh = tlwh
        self.info = {} if rect is None else {"rect": rect}


def ids(result):
    return [getattr(x, "roi_id", None) for x in result]


# ---------------------------------------------------------------- module surface


def test_module_surface():
    assert zone_gate.logger.name == "quillo_sdk.ZoneGate"
    assert ZoneGate.__mro__ == (ZoneGate, object)
    assert RoiData.__mro__ == (RoiData, object)
    assert (RoiData.POLYGON_INFO, RoiData.ROI_ID_KEY, RoiData.ROI_LABEL_KEY) == ("polygon_roi", "roi_id", "label")
    assert (RoiData.INCLUDE_KEY, RoiData.POINTS_KEY, RoiData.POLYGON_EDGE) == ("include", "points", 1)
    assert ZoneGate.__init__.__doc__ == (
        ":param polygons: polygon information in the previous roi node\n:param frame_sz: size of the frame"
    )
    assert ZoneGate.filter_in_roi.__doc__ == (
        ":param det_or_trk: this param is detection result or tracking result\n"
        ":param frame_sz: frame size of the image frame\n"
        ":param anchor_pt: anchored position of tracking result or detection result"
    )
    sig = inspect.signature(ZoneGate.filter_in_roi)
    assert list(sig.parameters) == ["self", "det_or_trk", "frame_sz", "anchor_pt", "on_error"]
    assert sig.parameters["on_error"].kind is inspect.Parameter.KEYWORD_ONLY
    assert sig.parameters["anchor_pt"].default == (0.5, 0.5)
    assert list(inspect.signature(ZoneGate._is_point_in_polygon).parameters) == ["point_shapely", "polygon"]


@pytest.mark.parametrize("missing", ["quillo_sdk.constants.KEY", "quillo_sdk.logging.exception_traceback"])
def test_a_missing_name_fails_the_import(missing):
    import subprocess
    import sys

    module, name = missing.rsplit(".", 1)
    code = (f"import {module} as m; del m.{name}\n"
            "try:\n    import quillo_sdk.roi.zone_gate\n"
            "except ImportError as e:\n    print('ImportError', e, e.__cause__)")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.stdout.startswith("ImportError") and name in out.stdout, out.stderr


@pytest.mark.parametrize(
    "call",
    [
        lambda g: g.filter_in_roi(),
        lambda g: g.filter_in_roi([], None, (0.5, 0.5), 1),
        lambda g: g.filter_in_roi([], bogus=1),
        lambda g: g.filter_in_roi([], det_or_trk=[]),
        lambda g: ZoneGate(None, None, None),
        lambda g: ZoneGate(shape=None),
    ],
)
def test_bad_calls_raise_type_error_and_log_nothing(call, logged):
    with pytest.raises(TypeError):
        call(ZoneGate([rec("z", "i", SQUARE)]))
    assert logged == []


# ---------------------------------------------------------------- construction


def test_gate_without_regions():
    for gate in (ZoneGate(), ZoneGate(None), ZoneGate(polygons=None, frame_sz=None)):
        assert (gate.rois, gate.polygons, gate.frame_sz) == (None, None, [1.0, 1.0])
        assert (gate._included_rois, gate._empty_polygon, gate._exclusion_intersections) == ([], None, {})
    empty = []
    gate = ZoneGate(empty, [100, 100])
    assert gate.rois is empty and gate.polygons is None and gate.frame_sz == [100.0, 100.0]
    assert list(vars(gate)) == [
        "polygons", "rois", "frame_sz", "_included_rois", "_empty_polygon", "_exclusion_intersections",
    ]


def test_records_are_augmented_in_place_and_copied_first():
    records = [rec("zone1", "abc123", SQUARE), rec("excl1", "excl", square(0.4, 0.6), include=False)]
    gate = ZoneGate(records, frame_sz=("640", 480, 3))
    zone, excl = records
    assert gate.rois is records and gate.frame_sz == [640.0, 480.0]
    assert zone["points"].dtype == np.float32 and zone["points"].shape == (4, 2)
    assert zone["points"][0, 0] == 0.20000000298023224 and zone["points"][1, 0] == 0.800000011920929
    assert isinstance(zone["shapely_polygon"], Polygon) and zone["shapely_polygon"].area > 0
    assert gate._included_rois == [zone] and gate._included_rois[0] is zone
    (inner,) = gate._exclusion_intersections[id(zone)]
    assert inner.equals(excl["shapely_polygon"])
    assert gate.polygons == [rec("zone1", "abc123", SQUARE), rec("excl1", "excl", square(0.4, 0.6), include=False)]
    assert "shapely_polygon" not in gate.polygons[0]


@pytest.mark.parametrize(
    "records, included, empty, intersections",
    [
        ([rec("zone1", "id1", SQUARE), rec("far", "x", square(0.85, 0.95), include=False)], [0], None, [0]),
        ([rec("zone1", "id1", SQUARE), rec("everywhere", "idE", [])], [0], 1, [0]),
        ([rec("roi1", "id1", []), rec("roi2", "id2", [])], [], 1, None),
        ([rec("zone1", "id1", SQUARE), rec("x", "x", [], include=False)], [0], 1, [0]),
        # a shared edge is a non-empty intersection that excludes nothing
        ([rec("zone1", "id1", SQUARE), rec("e", "e", [(0.8, 0.2), (0.9, 0.2), (0.9, 0.8), (0.8, 0.8)], False)],
         [0], None, [1]),
    ],
)
def test_zone_sets(records, included, empty, intersections):
    gate = ZoneGate(records)
    assert gate._included_rois == [records[i] for i in included]
    assert gate._empty_polygon is (None if empty is None else records[empty])
    if intersections is not None:
        assert [len(gate._exclusion_intersections[id(records[i])]) for i in included] == intersections


@pytest.mark.parametrize(
    "records, frame_sz, error",
    [
        ([{"include": True}], None, KeyError),
        ([{"points": []}], None, KeyError),
        ([{"points": SQUARE}], None, KeyError),
        ([rec("a", "a", [(0, 0), ("x", 1), (1, 1)])], None, ValueError),
        ([rec("a", "a", [(0, 0), (1, 1)])], None, Exception),  # too few vertices for a ring
        ([42], None, TypeError),
        (7, None, TypeError),
        ([rec("a", "a", SQUARE)], [100], IndexError),
        ([rec("a", "a", SQUARE)], ["wide", 100], ValueError),
        ([rec("a", "a", SQUARE)], [None, 100], TypeError),
    ],
)
def test_construction_errors_reach_the_caller(records, frame_sz, error, logged):
    with pytest.raises(error):
        ZoneGate(records, frame_sz)
    assert logged == []


def test_failed_reinit_keeps_the_previous_gate():
    good = [rec("zone1", "id1", SQUARE)]
    gate = ZoneGate(good)
    before = dict(vars(gate))
    bad = [rec("ok", "ok", SQUARE), {"points": SQUARE}]
    with pytest.raises(KeyError):
        gate.__init__(bad)
    assert vars(gate) == before
    assert "shapely_polygon" in bad[0]  # earlier records were already converted
    assert ids(gate.filter_in_roi([Det((0.45, 0.45, 0.1, 0.1))])) == [["id1"]]


# ---------------------------------------------------------------- filtering examples

CASES = [
    # records, items (tlwh), kwargs, expected roi_id per kept item ("same" = item itself)
    ([rec("zone1", "abc123", SQUARE)], [(0.45, 0.45, 0.1, 0.1), (0, 0, 0.1, 0.1)], {}, [["abc123"]]),
    ([rec("zone1", "abc123", SQUARE), rec("excl1", "excl", square(0.4, 0.6), include=False)],
     [(0.45, 0.45, 0.06, 0.06), (0.25, 0.25, 0.1, 0.1), (0, 0, 0.1, 0.1)], {}, [["abc123"]]),
    ([rec("zone1", "id1", SQUARE), rec("zone2", "id2", square(0.85, 0.99))],
     [(0.45, 0.45, 0.1, 0.1), (0.88, 0.88, 0.06, 0.06), (0, 0, 0.1, 0.1)], {}, [["id1"], ["id2"]]),
    ([rec("z1", "r1", square(0.1, 0.6)), rec("z2", "r2", square(0.4, 0.9))], [(0.45, 0.45, 0.1, 0.1)], {},
     [["r1", "r2"]]),
    ([rec("zone1", "id1", SQUARE)], [(0.25, 0.25, 0.1, 0.1)], {"anchor_pt": (0, 0)}, [["id1"]]),
    ([rec("zone1", "id1", SQUARE)], [(0.7, 0.7, 0.15, 0.15)], {"anchor_pt": (1, 1)}, []),
    ([rec("zone1", "id1", SQUARE)], [(0.1, 0.1, 0.5, 0.5)], {"anchor_pt": (1, 1)}, [["id1"]]),
    # outline and single-precision vertices
    ([rec("zone1", "id1", SQUARE)], [(0.2, 0.5, 0.1, 0.1), (0.8, 0.5, 0.1, 0.1)], {"anchor_pt": (0, 0)},
     [["id1"]]),
    ([rec("zone1", "id1", SQUARE), rec("e", "e", square(0.25, 0.5), include=False)],
     [(0.5, 0.375, 0.1, 0.1), (0.375, 0.375, 0.1, 0.1)], {"anchor_pt": (0, 0)}, [["id1"]]),
    # pixel boxes
    ([rec("zone1", "id1", SQUARE)], [(45, 45, 10, 10), (0, 0, 10, 10)], {"frame_sz": [100, 100]}, [["id1"]]),
    ([rec("zone1", "id1", SQUARE)], [(45, 45, 10, 10)], {}, []),
    ([rec("zone1", "id1", SQUARE)], [(45, 45, 1.0, 10)], {"frame_sz": [100, 100]}, []),
    ([rec("zone1", "id1", SQUARE)], [(45, 45, 10, 10)], {"frame_sz": []}, []),
    # regions without vertices pass the rest through untouched
    ([rec("zone1", "id1", SQUARE), rec("everywhere", "idE", [])], [(0.45, 0.45, 0.1, 0.1), (0, 0, 0.1, 0.1)], {},
     [["id1"], "same"]),
    ([rec("roi1", "id1", []), rec("roi2", "id2", [])], [(0.45, 0.45, 0.1, 0.1), (0, 0, 0.1, 0.1)], {},
     ["same", "same"]),
    ([rec("e", "e", SQUARE, include=False)], [(0.45, 0.45, 0.1, 0.1), (0, 0, 0.1, 0.1)], {}, []),
    ([{"include": True, "points": SQUARE}], [(0.45, 0.45, 0.1, 0.1)], {}, [[""]]),
]


@pytest.mark.parametrize("records, boxes, kwargs, expected", CASES)
def test_filter_examples(records, boxes, kwargs, expected, logged):
    gate = ZoneGate(records)
    items = [Det(b) for b in boxes]
    result = gate.filter_in_roi(items, **kwargs)
    got = ["same" if any(r is i for i in items) else r.roi_id for r in result]
    assert got == expected
    for r in result:
        if not any(r is i for i in items):
            assert len(r.roi_name) == len(r.roi_id)
    assert all(not hasattr(i, "roi_id") for i in items)
    assert logged == []


def test_gate_pixel_frame_and_names():
    gate = ZoneGate([rec("zone1", "id1", SQUARE), rec("zone2", "id2", square(0.85, 0.99))], frame_sz=[100, 100])
    (kept,) = gate.filter_in_roi([Det((88, 88, 6, 6), extra="x")])
    assert (kept.roi_id, kept.roi_name, kept.extra, type(kept)) == (["id2"], ["zone2"], "x", Det)


def test_without_regions_the_input_itself_comes_back(logged):
    items = [Det((0.45, 0.45, 0.1, 0.1)), Det((0, 0, 0.1, 0.1))]
    for gate in (ZoneGate(), ZoneGate([])):
        assert gate.filter_in_roi(items) is items
        assert gate.filter_in_roi(None) is None
    records = [rec("zone1", "id1", SQUARE)]
    gate = ZoneGate(records)
    records.clear()  # the caller's sequence decides
    assert gate.filter_in_roi(items) is items
    assert logged == []


def test_tracks_share_info_with_their_copies():
    gate = ZoneGate([rec("zone1", "abc123", SQUARE)])
    inside = Track((0.45, 0.45, 0.1, 0.1), (0.45, 0.45, 0.1, 0.1))
    rect_wins = Track((0, 0, 0.1, 0.1), (0.45, 0.45, 0.1, 0.1))
    outside = Track((0, 0, 0.1, 0.1), (0, 0, 0.1, 0.1))
    no_rect = Track((0.45, 0.45, 0.1, 0.1))
    result = gate.filter_in_roi([inside, rect_wins, outside, no_rect])
    assert len(result) == 3
    for copy_, original in zip(result, [inside, rect_wins, no_rect]):
        assert copy_ is not original and copy_.info is original.info
        assert original.info["roi_id"] == ["abc123"] and original.info["roi_name"] == ["zone1"]
        assert not hasattr(copy_, "roi_id")
    assert "roi_id" not in outside.info


class DictLike:
    """A mapping with only the methods the gate may use."""

    def __init__(self, data):
        self.data = dict(data)

    def get(self, key, default=None):
        return self.data.get(key, default)

    def __setitem__(self, key, value):
        self.data[key] = value


def test_info_mapping_types_and_key_constants(monkeypatch):
    class Keys:
        ROI_ID = "zones"
        ROI_NAME = "zone_names"

    monkeypatch.setattr(zone_gate, "KEY", Keys)
    gate = ZoneGate([rec("zone1", "abc123", SQUARE)])
    track = Track((0, 0, 0.1, 0.1))
    track.info = DictLike({"rect": (0.45, 0.45, 0.1, 0.1)})
    (kept,) = gate.filter_in_roi([track])
    assert kept.info.data == {"rect": (0.45, 0.45, 0.1, 0.1), "zones": ["abc123"], "zone_names": ["zone1"]}


# ---------------------------------------------------------------- shallow copies


class Slotted:
    __slots__ = ("tlwh", "roi_id", "roi_name", "__dict__")

    def __init__(self, tlwh):
        self.tlwh = tlwh


class WithCopy(Det):
    def __copy__(self):
        new = Det(self.tlwh, via="__copy__")
        return new


class WithState(Det):
    def __getstate__(self):
        return {"tlwh": self.tlwh, "state": "custom"}


class Registered(Det):
    pass


@dataclasses.dataclass
class DataDet:
    tlwh: tuple
    score: float = 0.9


class Base:
    def __init__(self, tlwh):
        self.tlwh = tlwh
        self.payload = [1, 2]


class Derived(Base):
    pass


class ClassBox:
    tlwh = (0.45, 0.45, 0.1, 0.1)

    def __init__(self, tlwh):
        pass


class AbstractBase(abc.ABC):
    @abc.abstractmethod
    def run(self): ...


class Concrete(AbstractBase):
    def __init__(self, tlwh):
        self.tlwh = tlwh

    def run(self):
        return 1


@pytest.mark.parametrize("make", [Det, Slotted, WithCopy, WithState, Registered, DataDet, Derived, ClassBox, Concrete])
def test_copies_equal_copy_copy(make, monkeypatch):
    monkeypatch.setitem(copyreg.dispatch_table, Registered, lambda d: (Det, (d.tlwh,), {"registered": True}))
    gate = ZoneGate([rec("zone1", "id1", SQUARE)])
    original = make((0.45, 0.45, 0.1, 0.1))
    expected = copy.copy(original)
    (kept,) = gate.filter_in_roi([original])
    assert type(kept) is type(expected) and kept is not original
    state = {k: v for k, v in getattr(kept, "__dict__", {}).items() if k not in ("roi_id", "roi_name")}
    assert state == getattr(expected, "__dict__", {})
    assert kept.roi_id == ["id1"] and not hasattr(original, "roi_id")
    for name, value in getattr(original, "__dict__", {}).items():
        if name in state:
            assert state[name] is value  # shallow


class Proxy:
    """Answers copy.copy's __setstate__ probe through __getattr__."""

    def __init__(self, tlwh):
        self.tlwh = tlwh

    def __getattr__(self, name):
        if name == "__setstate__":
            return lambda state: self.__dict__.update(state, restored=True)
        raise AttributeError(name)


def with_instance_getstate(tlwh):
    item = Det(tlwh)
    item.__getstate__ = lambda: {"tlwh": tlwh, "state": "instance"}
    return item


@pytest.mark.parametrize("make", [Proxy, with_instance_getstate])
def test_copies_honour_hooks_found_on_the_instance(make):
    gate = ZoneGate([rec("zone1", "id1", SQUARE)])
    original = make((0.45, 0.45, 0.1, 0.1))
    expected = vars(copy.copy(original))
    (kept,) = gate.filter_in_roi([original])
    assert {k: v for k, v in vars(kept).items() if k not in ("roi_id", "roi_name")} == expected


def test_instance_level_reduce_is_honoured():
    gate = ZoneGate([rec("zone1", "id1", SQUARE)])
    item = Det((0.45, 0.45, 0.1, 0.1))
    item.__reduce_ex__ = lambda protocol: (Det, ((0.45, 0.45, 0.1, 0.1),), {"marker": 1})
    (kept,) = gate.filter_in_roi([item])
    assert kept.marker == 1 and "__reduce_ex__" not in vars(kept)


class RoiIdProperty(Det):
    """Keeps the zone ids it is given in a field of its own."""

    @property
    def roi_id(self):
        return self.__dict__["kept_ids"]

    @roi_id.setter
    def roi_id(self, value):
        self.__dict__["kept_ids"] = value


class LoggedSetattr(Det):
    def __setattr__(self, name, value):
        super().__setattr__("set_" + name, True)
        super().__setattr__(name, value)


@pytest.mark.parametrize("make", [RoiIdProperty, LoggedSetattr])
def test_annotations_go_through_the_copys_own_setattr(make):
    gate = ZoneGate([rec("zone1", "id1", SQUARE)])
    original = make((0.45, 0.45, 0.1, 0.1))
    (kept,) = gate.filter_in_roi([original, original])[:1]
    expected = copy.copy(original)
    expected.roi_id, expected.roi_name = ["id1"], ["zone1"]
    assert vars(kept) == vars(expected) and list(vars(kept)) == list(vars(expected))


def test_a_copy_keeps_the_attribute_order_then_the_annotations():
    gate = ZoneGate([rec("zone1", "id1", SQUARE)])
    item = Det((0.45, 0.45, 0.1, 0.1))
    item.zeta, item.alpha = 1, 2
    (kept,) = gate.filter_in_roi([item])
    assert list(vars(kept)) == list(vars(item)) + ["roi_id", "roi_name"]


@pytest.mark.parametrize("hook", ["__reduce_ex__", "__getstate__"])
def test_hooks_stored_under_a_string_built_at_run_time_are_honoured(hook):
    gate = ZoneGate([rec("zone1", "id1", SQUARE)])
    item = Det((0.45, 0.45, 0.1, 0.1))
    name = "".join(hook)  # an equal string, not the interned one
    if hook == "__getstate__":
        item.__dict__[name] = lambda: {"tlwh": item.tlwh, "state": "run time"}
    else:
        item.__dict__[name] = lambda protocol: (Det, ((0.45, 0.45, 0.1, 0.1),), {"marker": 1})
    (kept,) = gate.filter_in_roi([item])
    expected = copy.copy(item)
    assert {k: v for k, v in vars(kept).items() if k not in ("roi_id", "roi_name")} == vars(expected)


# ---------------------------------------------------------------- failures


@pytest.mark.parametrize(
    "items, kwargs",
    [
        ([Det((0.45, 0.45, 0.1, 0.1)), object()], {}),
        ([Det((0.45, 0.45, 0.1, 0.1))], {"anchor_pt": (0.5, 0.5, 0.5)}),
        ([Det((0.45, 0.45, 0.1, 0.1))], {"anchor_pt": 0.5}),
        ([Det((0.45, 0.45, 0.1, 0.1))], {"frame_sz": [100]}),
        (None, {}),
        (5, {}),
        ([Det((45, 45, 10, 10))], {"frame_sz": [0, 0]}),
        ([Det((45, 45, 10, 10))], {"frame_sz": [0.0, 1.0]}),
        ([Det((0.45, 0.45, 0.1))], {}),
        ([Det((0.45, 0.45, 0.1, 0.1, 0.1))], {}),
        ([Det(None)], {}),
        ([Det("abcd")], {}),
        ([Det(("a", "b", "c", "d"))], {}),
        ([Det((0.45, 0.45, "w", 0.1))], {}),
        ([Det((0.45, 0.45, Decimal("0.1"), 0.1))], {}),
        ([Det((10**400, 0.45, 0.1, 0.1))], {}),
        ([Det((0.45, 0.45, 10**400, 0.1))], {}),
        ([Det((0.4, 0.4, 10**400, 10**400))], {"anchor_pt": (1, 1)}),
        ([Det((4, 4, 10**400, 10**400))], {"anchor_pt": (1, 1)}),  # Point cannot take it
        ([Det((0.45, 0.45, complex(0.1, 0), 0.1))], {}),
        ([Det((np.longdouble(0.45), 0.45, 0.1, 0.1))], {}),
        ([Track((0.45, 0.45, 0.1, 0.1), (1, 2))], {}),
        ([Det((0.45, 0.45, 0.1, 0.1), info=[1, 2])], {}),
        ([Det((0.45, 0.45, 0.1, 0.1), info={"rect": None})], {}),
        ([Det((0.45, 0.45, 0.1, 0.1), info=None)], {}),
        ([Det((0.45, 0.45, 0.1, 0.1))], {"frame_sz": 3}),
        ([type("NoTlwh", (), {"info": {"rect": (0.45, 0.45, 0.1, 0.1)}})()], {}),
        ((i for i in [Det((0.45, 0.45, 0.1, 0.1)), 1]), {}),
    ],
)
def test_errors_give_an_empty_list_and_one_log(items, kwargs, logged):
    gate = ZoneGate([rec("zone1", "id1", SQUARE)])
    result = gate.filter_in_roi(items, **kwargs)
    assert result == [] and type(result) is list
    assert len(logged) == 1
    logger, exc = logged[0]
    assert logger is zone_gate.logger and isinstance(exc, Exception)


def test_the_real_logger_records_the_traceback(caplog):
    gate = ZoneGate([rec("zone1", "id1", SQUARE)])
    with caplog.at_level("DEBUG", logger="quillo_sdk"):
        assert gate.filter_in_roi([object()]) == []
    (record,) = [r for r in caplog.records if r.name == "quillo_sdk.ZoneGate"]
    assert record.exc_info and record.exc_info[0] is AttributeError


def test_partial_writes_stay_and_non_ordinary_errors_propagate(logged):
    gate = ZoneGate([rec("zone1", "id1", SQUARE)])
    track = Track((0.45, 0.45, 0.1, 0.1))
    assert gate.filter_in_roi([track, object()]) == []
    assert track.info["roi_id"] == ["id1"] and len(logged) == 1

    def interrupted():
        yield Det((0.45, 0.45, 0.1, 0.1))
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        gate.filter_in_roi(interrupted())

    class Broken:
        tlwh = (0.45, 0.45, 0.1, 0.1)

        @property
        def info(self):
            raise RuntimeError("no info today")

    (kept,) = gate.filter_in_roi([Broken()])  # a failing info read means a detection
    assert kept.roi_id == ["id1"]


def test_a_failing_logger_reaches_the_caller(monkeypatch):
    def broken(logger, exc):
        raise RuntimeError("log sink down")

    monkeypatch.setattr(zone_gate, "exception_traceback", broken)
    with pytest.raises(RuntimeError, match="log sink down"):
        ZoneGate([rec("zone1", "id1", SQUARE)]).filter_in_roi(None)


def test_logging_sees_the_exception_as_handled(monkeypatch):
    import sys

    seen = []
    monkeypatch.setattr(zone_gate, "exception_traceback", lambda logger, exc: seen.append(sys.exc_info()[1] is exc))
    ZoneGate([rec("zone1", "id1", SQUARE)]).filter_in_roi(None)
    assert seen == [True] and sys.exc_info() == (None, None, None)


# ---------------------------------------------------------------- helpers and fields


def test_helper_operations():
    records = [rec("zone1", "abc123", SQUARE), rec("e", "e", square(0.4, 0.6), include=False)]
    gate = ZoneGate(records)
    zone = records[0]
    assert ZoneGate._is_point_in_polygon(Point(0.3, 0.3), zone) is True
    assert gate._is_point_in_polygon(Point(0.2, 0.3), zone) is False
    assert gate._is_point_excluded_for_polygon(Point(0.5, 0.5), zone) is True
    assert gate._is_point_excluded_for_polygon(Point(0.3, 0.3), zone) is False
    assert gate._is_point_excluded_for_polygon(Point(0.5, 0.5), {"shapely_polygon": None}) is False
    target = Det(None)
    ZoneGate._assign_roi_info(target, [zone, {"label": "only label"}], False)
    assert (target.roi_id, target.roi_name) == (["abc123", ""], ["zone1", "only label"])
    track = Track(None)
    ZoneGate._assign_roi_info(track, [zone], True)
    assert track.info == {"roi_id": ["abc123"], "roi_name": ["zone1"]}


def test_changed_fields_are_honoured():
    records = [rec("zone1", "id1", SQUARE), rec("zone2", "id2", square(0.1, 0.9)),
               rec("e", "e", square(0.4, 0.6), include=False)]
    gate = ZoneGate(records)
    centre = [Det((0.45, 0.45, 0.1, 0.1))]
    assert gate.filter_in_roi(centre) == []
    gate._exclusion_intersections[id(records[1])] = []
    assert ids(gate.filter_in_roi(centre)) == [["id2"]]
    gate._exclusion_intersections.clear()
    assert ids(gate.filter_in_roi(centre)) == [["id1", "id2"]]
    gate._included_rois.reverse()
    assert ids(gate.filter_in_roi(centre)) == [["id2", "id1"]]
    records[1]["shapely_polygon"] = Polygon(square(0.7, 0.9))
    assert ids(gate.filter_in_roi(centre)) == [["id1"]]
    gate._included_rois = tuple(gate._included_rois)
    assert ids(gate.filter_in_roi(centre)) == [["id1"]]
    gate._empty_polygon = records[2]
    assert gate.filter_in_roi([centre[0], Det((0, 0, 0.1, 0.1))])[1].tlwh == (0, 0, 0.1, 0.1)


def test_records_that_change_the_gate_while_it_reads_them(logged):
    from collections import UserDict

    class Meddling(UserDict):
        """Empties the gate's include list the first time its zone is read during a call."""

        gate = None

        def __getitem__(self, key):
            if key == "shapely_polygon" and Meddling.gate is not None:
                gate, Meddling.gate = Meddling.gate, None
                gate._included_rois.clear()
            return super().__getitem__(key)

    records = [Meddling(rec(f"z{i}", f"id{i}", SQUARE)) for i in range(3)]
    gate = ZoneGate(records)
    item = Det((0.45, 0.45, 0.1, 0.1))
    assert ids(gate.filter_in_roi([item])) == [["id0", "id1", "id2"]]
    Meddling.gate = gate
    assert gate.filter_in_roi([item]) == [] and logged == []


def test_other_record_and_frame_containers():
    from collections import UserDict

    records = [UserDict(rec("zone1", "id1", np.array(SQUARE))), UserDict(rec("e", "e", square(0.4, 0.6), False))]
    gate = ZoneGate(tuple(records), frame_sz=np.array([100.0, 100.0]))
    assert gate._included_rois == [records[0]] and records[0]["points"].dtype == np.float32
    frame = (Det(b) for b in [(45, 45, 10, 10), (25, 25, 10, 10), (0, 0, 10, 10)])
    assert ids(gate.filter_in_roi(frame)) == [["id1"]]
    assert ids(gate.filter_in_roi([Det((0.3, 0.3, 0.1, 0.1))], frame_sz={0: 5.0, 1: 5.0})) == [["id1"]]
    assert ids(gate.filter_in_roi([Det((25, 25, 10, 10))], frame_sz=np.array([], dtype=float))) == [["id1"]]
    assert ids(gate.filter_in_roi([Det((2.5, 2.5, 2, 2))], frame_sz=np.array([10, 10]))) == [["id1"]]


def test_subclass_and_collection():
    class MyGate(ZoneGate):
        pass

    gate = MyGate([rec("zone1", "id1", SQUARE)])
    assert ids(gate.filter_in_roi([Det((0.45, 0.45, 0.1, 0.1))])) == [["id1"]]
    gate.cycle = gate
    ref = weakref.ref(gate)
    del gate
    gc.collect()
    assert ref() is None


def test_one_gate_many_threads():
    records = [rec("zone1", "id1", SQUARE), rec("zone2", "id2", square(0.5, 0.95)),
               rec("e", "e", square(0.55, 0.65), include=False)]
    gate = ZoneGate(records)
    rng = np.random.default_rng(7)
    frames = [[Det(tuple(b)) for b in rng.uniform(0, 0.9, (200, 4)) * [1, 1, 0.2, 0.2]] for _ in range(40)]
    expected = [ids(gate.filter_in_roi(f)) for f in frames]
    results = {}

    def work(k):
        results[k] = [ids(gate.filter_in_roi(f)) for f in frames]

    run_together(*(lambda k=k: work(k) for k in range(4)))
    assert all(results[k] == expected for k in range(4))


# ---------------------------------------------------------------- anchor arithmetic

# A zone whose edges sit on float32 values, so tiny differences in the anchor decide.
EDGE_ZONE = [(0.25, 0.25), (0.75, 0.25), (0.75, 0.75), (0.25, 0.75)]


NUMBER_BOXES = [
    ((0.2, 0.3, 0.1, 0.1), (0.5, 0.5), None),
    ((0, 0, 1, 1), (0.25, 0.75), None),
    ((True, 0, 1, 1), (0, 0.5), None),
    (np.array([0.1, 0.3, 0.3, 0.2]), (0.5, 0.5), None),
    (np.array([0.1, 0.3, 0.3, 0.2], dtype=np.float32), (0.5, 0.5), None),
    (tuple(np.float32(v) for v in (0.15, 0.2, 0.2, 0.1)), (0.5, 0.5), None),
    (np.array([20, 40, 10, 30]), (0.5, 0.5), [100, 100]),
    ((20, 40, 10, 30), (0, 1), [40, 100]),
    ((2**60, 2**60, 2**61, 2**61), (0, 0), [2**62, 2**62]),
    ((Decimal("0.25"), Decimal("0.5"), Decimal("0.5"), Decimal("0.1")), (1, 0), None),
    ((Fraction(1, 4), Fraction(1, 2), Fraction(1, 3), Fraction(1, 7)), (0.5, 0.5), None),
    ((Fraction(1, 4), Fraction(1, 2), Fraction(1, 3), Fraction(1, 7)), (1, 1), None),
    ([0.5, 0.5, 30, 40], (0.5, 0.5), np.array([100.0, 100.0])),
    (np.array([20.0, 40, 10, 30]), (0.5, 0.5), [np.float32(80), 100]),
    (np.array([[0.2, 0.3, 0.1, 0.1]])[0], (0.5, 0.5), None),
    (np.array([0.2, 0.3, 0.1, 0.1, 0.7, 0.8, 0.1, 0.1]).reshape(2, 4).T[:, 0].copy(), (0.5, 0.5), None),
    (np.array([0.2, 0.9, 0.3, 0.1, 0.3, 0.1, 0.1, 0.5])[::2], (0.5, 0.5), None),
    (iter((0.3, 0.3, 0.1, 0.1)), (0.5, 0.5), None),
]


@pytest.mark.parametrize("box, anchor, frame", NUMBER_BOXES)
def test_number_types_follow_host_arithmetic(box, anchor, frame):
    frame = frame if frame is not None else [1.0, 1.0]
    values = box if isinstance(box, (tuple, list, np.ndarray)) else tuple(box)
    expected = reference_anchor(values, anchor, frame)
    assert zone_gate._anchor_xy(values, anchor, frame) == expected


@pytest.mark.parametrize(
    "box, anchor, frame, error",
    [
        ((10**400, 0.5, 0.1, 0.1), (0.5, 0.5), [1, 1], OverflowError),
        ((0.4, 0.4, 10**400, 10**400), (1, 1), [1, 1], OverflowError),
        ((4, 4, 10**400, 10**400), (1, 1), [10**500, 1], OverflowError),
        ((45.0, 45, 10, 10), (0.5, 0.5), [0, 1], ZeroDivisionError),
        ((45, 45, 10, 10), (0, 0), [0, 1], ZeroDivisionError),
        ((0.1, 0.1, Decimal(1), 0.1), (0.5, 0.5), [1, 1], TypeError),
        ((0.1, 0.1, 0.1), (0.5, 0.5), [1, 1], ValueError),
        # Point refuses to narrow extended precision, wherever it comes from
        ((np.longdouble(0.4), 0.4, 0.1, 0.1), (0.5, 0.5), [1, 1], TypeError),
        ((0.4, 0.4, 0.1, 0.1), (np.longdouble(0.5), 0.5), [1, 1], TypeError),
        ((40, 40, 10, 10), (0.5, 0.5), [100, np.longdouble(100)], TypeError),
        (np.array([0.4, 0.4, 0.1, 0.1], dtype=np.longdouble), (0.5, 0.5), [1, 1], TypeError),
    ],
)
def test_anchor_errors_match_the_host(box, anchor, frame, error):
    with pytest.raises(error) as expected:
        reference_anchor(box, anchor, frame)
    with pytest.raises(error) as got:
        zone_gate._anchor_xy(box, anchor, frame)
    assert str(got.value) == str(expected.value)


def test_float32_arithmetic_is_kept():
    # float32 arithmetic lands on the zone's float32 edge, double arithmetic would not
    x, w = np.float32(0.1), np.float32(0.3)
    in_f32 = x + w * np.float32(0.5)
    in_f64 = float(x) + float(w) * 0.5
    assert float(in_f32) != in_f64
    edge = float(in_f32)
    gate = ZoneGate([rec("z", "z", [(edge, 0.0), (2, 0.0), (2, 1), (edge, 1)])])
    f32_box = np.array([x, 0.5, w, 0.1], dtype=np.float32)
    f64_box = np.array([x, 0.5, w, 0.1], dtype=np.float64)
    anchor = (np.float32(0.5), 0.5)
    assert gate.filter_in_roi([Det(f32_box)], anchor_pt=anchor) == []
    assert len(gate.filter_in_roi([Det(f64_box)], anchor_pt=anchor)) == (in_f64 > edge)


def test_numpy_division_by_zero_is_not_an_error(logged):
    gate = ZoneGate([rec("z", "z", SQUARE)])
    with np.errstate(divide="ignore", invalid="ignore"):
        assert gate.filter_in_roi([Det(np.array([45.0, 45, 10, 10]))], frame_sz=[0, 0]) == []
    assert logged == []
    assert gate.filter_in_roi([Det((45.0, 45, 10, 10))], frame_sz=[0, 0]) == [] and len(logged) == 1


@pytest.mark.parametrize("value", [math.nan, math.inf, -math.inf, 1e308, 5e-324])
def test_non_finite_and_extreme_anchors_are_outside(value, logged):
    gate = ZoneGate([rec("z", "z", [(-1e30, -1e30), (1e30, -1e30), (1e30, 1e30), (-1e30, 1e30)])])
    result = gate.filter_in_roi([Det((value, 0.5, 0.1, 0.1)), Det((0.5, value, 0.1, 0.1))], anchor_pt=(0, 0))
    expected = [Polygon(gate._included_rois[0]["points"]).contains(Point(*p)) for p in [(value, 0.5), (0.5, value)]]
    assert len(result) == sum(expected) and logged == []


# ---------------------------------------------------------------- exactness against shapely


def star(rng, n, cx, cy, r0, r1):
    angles = np.sort(rng.uniform(0, 2 * np.pi, n))
    radii = rng.uniform(r0, r1, n)
    return np.stack([cx + radii * np.cos(angles), cy + radii * np.sin(angles)], axis=1).astype(np.float32)


def probe_points(geom, rng, n_random):
    """Random points, vertices, points on and near edges, and their one-ulp neighbours."""
    coords = shapely.get_coordinates(shapely.boundary(geom)) if geom.geom_type != "Point" else \
        shapely.get_coordinates(geom)
    minx, miny, maxx, maxy = geom.bounds
    pad = 0.1 * max(maxx - minx, maxy - miny, 1e-3)
    rand = np.stack([rng.uniform(minx - pad, maxx + pad, n_random), rng.uniform(miny - pad, maxy + pad, n_random)], 1)
    a, b = coords[:-1], coords[1:]
    t = rng.uniform(0, 1, (8, len(a), 1))
    on_edges = (a + t * (b - a)).reshape(-1, 2)
    dyadic = (a + np.array([0.5, 0.25, 0.125]).reshape(3, 1, 1) * (b - a)).reshape(-1, 2)
    # horizontal rays through every vertex height, which stress the shared-vertex rule
    ray = np.stack([rng.uniform(minx - pad, maxx + pad, len(coords)), coords[:, 1]], 1)
    base = np.concatenate([coords, on_edges, dyadic, ray])
    up, down = np.nextafter(base, np.inf), np.nextafter(base, -np.inf)
    ulps = [np.stack([up[:, 0], base[:, 1]], 1), np.stack([down[:, 0], base[:, 1]], 1),
             np.stack([base[:, 0], up[:, 1]], 1), np.stack([base[:, 0], down[:, 1]], 1),
             np.stack([up[:, 0], down[:, 1]], 1)]
    return np.concatenate([rand, base, *ulps])


def zones_under_test(rng):
    zones = {}
    hull = shapely.convex_hull(shapely.multipoints(rng.uniform(0.1, 0.9, (30, 2)).astype(np.float32)))
    zones["convex"] = Polygon(np.asarray(hull.exterior.coords, dtype=np.float32))
    zones["concave"] = Polygon(star(rng, 40, 0.5, 0.5, 0.1, 0.45))
    zones["concave8"] = Polygon(star(rng, 8, 0.4, 0.6, 0.05, 0.3))
    zones["self_touching"] = Polygon([(0, 0), (4, 0), (4, 4), (2, 4), (3, 2), (1, 2), (2, 4), (0, 4)])
    zones["grid"] = Polygon(np.array([(0, 0), (0.75, 0.125), (1, 1), (0.375, 0.625), (0.125, 1)], np.float32))
    zones["tiny"] = Polygon(np.array([(1e-38, 1e-38), (3e-38, 1e-38), (2e-38, 5e-38)], np.float32))
    zones["huge"] = Polygon(np.array([(-3e38, -3e38), (3e38, -2e38), (1e38, 3e38)], np.float32))
    include = zones["concave"]
    for i in range(4):
        excl = Polygon(star(rng, 12, *rng.uniform(0.3, 0.7, 2), 0.05, 0.35))
        zones[f"intersection{i}"] = include.intersection(excl)
    sq = Polygon(np.array(SQUARE, np.float32))
    zones["shared_edge"] = sq.intersection(Polygon(np.array([(0.8, 0.3), (0.9, 0.3), (0.9, 0.6), (0.8, 0.6)], np.float32)))
    zones["shared_vertex"] = sq.intersection(Polygon(np.array([(0.8, 0.8), (0.9, 0.8), (0.9, 0.9)], np.float32)))
    zones["mixed"] = sq.intersection(
        Polygon(np.array([(0.5, 0.5), (0.9, 0.5), (0.9, 0.9), (0.8, 0.9), (0.8, 0.7), (0.6, 0.7)], np.float32)))
    zones["lines"] = shapely.multilinestrings([[(0, 0), (1, 0)], [(1, 0), (2, 1)], [(0, 1), (1, 2)]])
    return zones


def test_containment_equals_shapely_exactly():
    rng = np.random.default_rng(20240611)
    total = 0
    for name, geom in zones_under_test(rng).items():
        pts = probe_points(geom, rng, 6000)
        expected = shapely.contains_xy(geom, pts[:, 0], pts[:, 1])
        got = zone_gate._contains_xy(geom, pts[:, 0], pts[:, 1])
        bad = np.flatnonzero(expected != got)
        assert bad.size == 0, (name, geom.geom_type, pts[bad[:5]].tolist())
        # the unprepared predicate the rules are written against, on a sample
        sample = rng.choice(len(pts), 300, replace=False)
        assert [geom.contains(Point(*pts[i])) for i in sample] == got[sample].tolist(), name
        total += len(pts)
    assert total >= 100_000


def test_filtering_equals_shapely_on_many_items():
    rng = np.random.default_rng(5)
    include = star(rng, 30, 0.5, 0.5, 0.15, 0.45)
    excl = star(rng, 10, 0.5, 0.5, 0.05, 0.25)
    records = [rec("a", "A", include), rec("b", "B", square(0.1, 0.5)), rec("x", "X", excl, include=False)]
    gate = ZoneGate(records)
    pts = probe_points(records[0]["shapely_polygon"].intersection(records[2]["shapely_polygon"]), rng, 5000)
    pts = np.concatenate([pts, probe_points(records[1]["shapely_polygon"], rng, 1000)])
    result = gate.filter_in_roi([Det((x, y, 0.0, 0.0), k=k) for k, (x, y) in enumerate(pts)])
    got = {r.k: r.roi_id for r in result}
    want = {}
    for zone in gate._included_rois:
        inside = shapely.contains_xy(zone["shapely_polygon"], pts[:, 0], pts[:, 1])
        for g in gate._exclusion_intersections[id(zone)]:
            inside &= ~shapely.contains_xy(g, pts[:, 0], pts[:, 1])
        for k in np.flatnonzero(inside):
            want.setdefault(int(k), []).append(zone["roi_id"])
    assert got == want


ENGINE_RULES = shapely.geos_version >= (3, 13, 0)

# Points the geometry engine locates differently from exact arithmetic (its
# orientation is double-double) or in odd zones: the gate sides with the engine.
E72 = 2.0 ** -72
ENGINE_CASES = [
    # exactly 2**-143 left of the edge (0, 2**-72)-(1, 1), which double-double calls collinear
    ([(0.0, E72), (1.0, 1.0), (0.0, 1.0)], (2 * E72, 3 * E72)),
    # products of the coordinate differences underflow
    ([(0.0, -1e-200), (1e-200, 1e-200), (0.0, 1.0)], (1e-201, 0.0)),
    ([(1e-200, -1e-200), (2e-200, 1e-200), (-1.0, 0.0)], (0.0, 0.0)),
    # a float32 vertex that overflowed to infinity
    ([(0.0, 0.0), (np.inf, 0.0), (0.0, 1.0)], (0.25, 0.25)),
    ([(0.0, 0.0), (np.inf, 0.0), (0.0, 1.0)], (1e300, 0.5)),
    # the vertex after a NaN vertex is still on the outline
    ([(2.5, 0.5), (0.5, 3.0), (2.5, 2.5), (0.5, np.nan), (1.5, 2.5)], (1.5, 2.5)),
    ([(2.0, 0.5), (3.0, 0.0), (1.0, 3.5), (2.0, 3.0), (3.0, 2.5), (0.5, 0.5), (1.0, 2.5), (0.5, np.nan),
      (1.5, 1.0), (0.0, 0.0), (3.0, 3.0), (0.5, 2.0), (0.5, 1.0), (1.0, 0.0), (1.5, 0.0), (3.0, 1.5)], (1.5, 1.0)),
]


@pytest.mark.filterwarnings("ignore:invalid value:RuntimeWarning")
@pytest.mark.parametrize("ring, point", ENGINE_CASES)
def test_containment_sides_with_the_engine(ring, point):
    zone = Polygon(ring)
    try:
        expected = zone.contains(Point(*point))
    except shapely.errors.GEOSException as refused:  # GEOS before 3.13 refuses infinite zones
        with pytest.raises(type(refused), match="NaN/Inf"):
            zone_gate._contains_xy(zone, [point[0]], [point[1]])
        return
    assert zone_gate._contains_xy(zone, [point[0]], [point[1]]).tolist() == [expected]


def test_engine_rounding_decides_filtering():
    ring, point = ENGINE_CASES[0]
    records = [rec("z", "z", ring)]
    gate = ZoneGate(records)
    item = Det((point[0], point[1], 0.0, 0.0))
    expected = records[0]["shapely_polygon"].contains(Point(*point))
    assert len(gate.filter_in_roi([item])) == int(expected)


def test_overflowing_vertices_follow_the_engine(logged):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        records = [rec("wide", "w", [(0, 0), (1e39, 0), (0, 1)])]  # 1e39 is inf in float32
        gate = ZoneGate(records)
    zone = records[0]["shapely_polygon"]
    if not ENGINE_RULES:  # GEOS before 3.13 refuses every point of an infinite zone
        with pytest.raises(shapely.errors.GEOSException):
            zone.contains(Point(0.25, 0.25))
        assert gate.filter_in_roi([Det((0.2, 0.2, 0.1, 0.1))]) == [] and len(logged) == 1
        return
    assert zone.contains(Point(0.25, 0.25))
    assert ids(gate.filter_in_roi([Det((0.2, 0.2, 0.1, 0.1))])) == [["w"]]
    assert logged == []
    # the engine rejects an infinite point inside an infinite box; so does the gate
    with pytest.raises(shapely.errors.GEOSException) as engine:
        zone.contains(Point(math.inf, 0.5))
    assert gate.filter_in_roi([Det((1e308, 0.5, 1e308, 0.0))], anchor_pt=(1, 0)) == []
    ((_, exc),) = logged
    assert type(exc) is type(engine.value) and str(exc) == str(engine.value)
    with pytest.raises(shapely.errors.GEOSException):
        zone_gate._contains_xy(zone, [math.inf], [0.5])


def test_near_degenerate_multi_scale_triangles_equal_shapely():
    rng = np.random.default_rng(11)
    scales = 2.0 ** np.array([0, -20, -60, -72, -100, -149, -200, -500, -1070, 20, 100])
    bases = np.array([0.0, 1.0, -1.0, 0.5, 2.0, 1e10, 1e-300])
    checked = 0
    for _ in range(3000):
        verts = rng.choice(bases, (3, 2)) + rng.choice([0, 1, -1, 3, -2], (3, 2)) * rng.choice(scales, (3, 2))
        zone = Polygon(verts)
        a, b = verts[rng.integers(0, 3, 6)], verts[rng.integers(0, 3, 6)]
        pts = a + rng.uniform(0, 1, (6, 1)) * (b - a)
        pts = np.where(rng.uniform(size=pts.shape) < 0.3, np.nextafter(pts, rng.choice([-np.inf, np.inf])), pts)
        expected = [zone.contains(Point(*p)) for p in pts]
        assert zone_gate._contains_xy(zone, pts[:, 0], pts[:, 1]).tolist() == expected, (verts.tolist(), pts.tolist())
        checked += len(pts)
    assert checked == 18000


# ---------------------------------------------------------------- property: anything thrown at a gate


plain_numbers = st.one_of(
    st.floats(0, 1), st.floats(-0.5, 1.5), st.integers(0, 200), st.sampled_from([0.2, 0.8, 0.5, 0.45, 0.1]),
)
odd_numbers = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.integers(),
    st.decimals(allow_nan=False, places=3, min_value=-2, max_value=2),
    st.floats(-2, 2).map(np.float32),
    st.fractions(max_denominator=20),
    st.booleans(),
    st.text(max_size=2),
    st.none(),
)
numbers = st.one_of(*[plain_numbers] * 6, odd_numbers)
boxes = st.one_of(
    *[st.tuples(plain_numbers, plain_numbers, plain_numbers, plain_numbers)] * 6,
    st.tuples(numbers, numbers, numbers, numbers),
    st.lists(numbers, min_size=0, max_size=6),
    st.lists(st.floats(-2, 200), min_size=4, max_size=4).map(np.array),
    st.lists(st.floats(-2, 200, width=32), min_size=4, max_size=4).map(lambda v: np.array(v, np.float32)),
    st.none(),
)


@st.composite
def items(draw):
    kind = draw(st.sampled_from(["det"] * 6 + ["track"] * 3 + ["track_norect", "bare", "badinfo"]))
    box = draw(boxes)
    if kind == "det":
        return Det(box)
    if kind == "track":
        return Track(draw(boxes), box)
    if kind == "track_norect":
        return Track(box)
    if kind == "badinfo":
        return Det(box, info=draw(st.one_of(st.none(), st.integers(), st.lists(st.integers()))))
    return object()


zone_sets = st.lists(
    st.sampled_from([
        rec("zone1", "id1", SQUARE), rec("zone2", "id2", square(0.85, 0.99)), rec("big", "id3", square(-1, 150)),
        rec("e", "e", square(0.4, 0.6), include=False), rec("all", "idE", []),
        {"include": True, "points": [(0.1, 0.1), (0.9, 0.1), (0.5, 0.9)]},
    ]),
    min_size=1, max_size=4,
)


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(zone_sets, st.lists(items(), max_size=6),
       st.one_of(st.none(), st.none(), st.lists(st.one_of(st.integers(1, 400), st.floats(1, 400)), min_size=2,
                                                max_size=3), st.lists(st.integers(0, 400), max_size=3)),
       st.one_of(*[st.tuples(st.floats(0, 1), st.floats(0, 1))] * 4, st.tuples(numbers, numbers),
                 st.lists(st.floats(0, 1), max_size=3)),
       st.one_of(st.none(), st.none(), st.just([100, 50]), st.just([0, 0])))
def test_any_input_gives_the_reference_list_or_one_logged_error(records, item_list, frame_sz, anchor, frame_field):
    calls = []
    original = zone_gate.exception_traceback
    zone_gate.exception_traceback = lambda logger, exc: calls.append(exc)
    try:
        records = copy.deepcopy(records)
        gate = ZoneGate(records, frame_field)
        with warnings.catch_warnings(), np.errstate(all="ignore"):
            warnings.simplefilter("ignore")
            result = gate.filter_in_roi(item_list, frame_sz, anchor)
            try:
                expected = reference_filter(records, gate.frame_sz, item_list, frame_sz, anchor)
            except Exception:
                expected = None
    finally:
        zone_gate.exception_traceback = original
    event(f"error {type(calls[0]).__name__}" if calls else f"{len(expected or [])} kept")
    if expected is None:
        assert result == [] and len(calls) == 1
        return
    assert calls == []
    got = [("same", None) if any(r is i for i in item_list) else
           ("copy", r.info["roi_id"] if hasattr(r, "info") and isinstance(r.info, dict) else r.roi_id)
           for r in result]
    assert got == expected


# ---------------------------------------------------------------- shortcuts, the GEOS library, shapely versions

SHORTCUTS = {"optional_attr", "type_lookup", "instance_dict", "geos_predicate"}


def run_python(code, env=None, timeout=120):
    """Runs `code` in a fresh interpreter; subprocess.run ends it on a time-out as well."""
    import os
    import subprocess
    import sys

    full_env = dict(os.environ, **(env or {}))
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=timeout,
                         env=full_env)
    assert out.returncode == 0, out.stderr
    return out.stdout


def test_shortcuts_and_the_bound_library_are_listed():
    import os

    from quillo_sdk.constants import PORTABLE

    assert set(zone_gate._shortcuts) == SHORTCUTS
    for name, (enabled, reason) in zone_gate._shortcuts.items():
        assert type(enabled) is bool and (reason is None) == enabled, name
        expected = not PORTABLE and (name != "geos_predicate" or ENGINE_RULES)
        assert enabled == expected, (name, reason)
    library = zone_gate._geos_library
    if zone_gate._shortcuts["geos_predicate"][0]:
        assert os.path.isabs(library) and os.path.basename(library).startswith("libgeos_c")
        assert os.path.dirname(library) != os.path.dirname(shapely.__file__)  # the real file, not a link next to it
    else:
        assert library is None


# What a gate and the containment hook answer on hard inputs, as JSON, in any interpreter.
ANSWERS_SCRIPT = r"""
import json, math, warnings
import numpy as np
import shapely
from shapely.geometry import Polygon
from quillo_sdk.roi import zone_gate
from quillo_sdk.roi.zone_gate import ZoneGate

class Det:
    def __init__(self, tlwh):
        self.tlwh = tlwh

E72 = 2.0 ** -72
rings = [[(0.0, E72), (1.0, 1.0), (0.0, 1.0)], [(0.0, -1e-200), (1e-200, 1e-200), (0.0, 1.0)],
         [(0.0, 0.0), (np.inf, 0.0), (0.0, 1.0)], [(0.2, 0.2), (0.8, 0.2), (0.8, 0.8), (0.2, 0.8)]]
points = [(2 * E72, 3 * E72), (1e-201, 0.0), (0.25, 0.25), (1e300, 0.5), (0.2, 0.5), (0.8, 0.5), (0.5, 0.5)]
rng = np.random.default_rng(3)
answers = {}
with warnings.catch_warnings(), np.errstate(all="ignore"):
    warnings.simplefilter("ignore")
    for k, ring in enumerate(rings):
      try:
        zone = Polygon(ring)
        xs = np.concatenate([[p[0] for p in points], rng.uniform(-0.1, 1.1, 2000), np.nextafter(rng.uniform(0, 1, 500), 2)])
        ys = np.concatenate([[p[1] for p in points], rng.uniform(-0.1, 1.1, 2000), xs[-500:] * ring[1][1]])
        answers[f"zone{k}"] = zone_gate._contains_xy(zone, xs, ys).tolist()
        gate = ZoneGate([{"label": "z", "roi_id": "z", "include": True, "points": ring}])
        kept = gate.filter_in_roi([Det((x, y, 0.0, 0.0)) for x, y in points])
        answers[f"gate{k}"] = [getattr(item, "roi_id", None) for item in kept]
      except shapely.errors.GEOSException as e:
        answers[f"zone{k}"] = str(e)
print(json.dumps({"shortcuts": {k: v[0] for k, v in zone_gate._shortcuts.items()},
                  "library": zone_gate._geos_library, "answers": answers}))
"""


def answers(env=None, prelude=""):
    import json

    return json.loads(run_python(prelude + ANSWERS_SCRIPT, env).splitlines()[-1])


def test_portable_mode_turns_every_shortcut_off_and_answers_the_same():
    fast, portable = answers({"QUILLO_SDK_PORTABLE": "0"}), answers({"QUILLO_SDK_PORTABLE": "1"})
    assert set(portable["shortcuts"]) == SHORTCUTS and not any(portable["shortcuts"].values())
    assert portable["library"] is None
    assert fast["answers"] == portable["answers"]


STAND_IN = r"""
#include <math.h>
static int token;
void *GEOS_init_r(void) { return &token; }
const char *GEOSversion(void) { return VERSION; }
/* Right where plain doubles settle the turn, deliberately wrong where they cannot. */
int GEOSOrientationIndex_r(void *h, double ax, double ay, double bx, double by, double px, double py) {
    (void)h;
    double l = (ax - px) * (by - py), r = (ay - py) * (bx - px), det = l - r;
    if (fabs(det) > 1e-9 * (fabs(l) + fabs(r)))
        return det > 0 ? 1 : -1;
    return -1;
}
"""


@pytest.fixture(scope="module")
def stand_in_libraries(tmp_path_factory):
    import shutil
    import subprocess

    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler to build a stand-in GEOS library")
    import platform

    target = subprocess.run([compiler, "-dumpmachine"], capture_output=True, text=True).stdout.split("-")[0]
    if target != platform.machine():  # an emulated interpreter, with the host's compiler
        pytest.skip("the C compiler builds for %s, this interpreter is %s" % (target, platform.machine()))
    folder = tmp_path_factory.mktemp("stand_in_geos")
    source = folder / "stand_in.c"
    source.write_text(STAND_IN)
    libraries = []
    for soname in ("libgeos_c.so.1", "libgeos_c-0.so.1"):
        target = folder / soname
        subprocess.run([compiler, "-shared", "-fPIC", "-O1", f"-Wl,-soname,{soname}",
                        f'-DVERSION="{shapely.geos_capi_version_string}"', "-o", str(target), str(source), "-lm"],
                       check=True, capture_output=True, timeout=120)
        libraries.append(str(target))
    return libraries


def test_a_stand_in_geos_loaded_first_changes_no_answer(stand_in_libraries):
    # Loaded locally: a global stand-in would also interpose shapely's own GEOS
    # calls, which only a complete GEOS survives; name order still puts it first.
    prelude = ("import ctypes\n"
               + "".join(f"ctypes.CDLL({path!r}, mode=ctypes.RTLD_LOCAL)\n" for path in stand_in_libraries))
    plain, crowded = answers(), answers(prelude=prelude)
    assert crowded["library"] == plain["library"] and crowded["library"] not in stand_in_libraries
    assert crowded["shortcuts"] == plain["shortcuts"]
    assert crowded["answers"] == plain["answers"]


def test_shapely_older_than_2_is_refused_by_name(tmp_path):
    # An installed shapely 1.8 cannot sit beside 2.x in one environment; a package
    # that reports 1.8.5 ahead of it on the path stands in for it.
    fake = tmp_path / "shapely"
    fake.mkdir()
    (fake / "__init__.py").write_text('__version__ = "1.8.5"\n')
    code = (f"import sys; sys.path.insert(0, {str(tmp_path)!r})\n"
            "try:\n    import quillo_sdk.roi.zone_gate\n"
            "except ImportError as e:\n    print('ImportError:', e)\n")
    assert run_python(code).strip() == "ImportError: quillo_sdk needs shapely 2.0 or newer; found 1.8.5"
