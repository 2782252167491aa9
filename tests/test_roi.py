"""The item helpers of quillo_sdk.roi: anchors as the gate places them, zone record checks, on_error."""

from __future__ import annotations

import json

import numpy as np
import pytest
from conftest import reference_anchor

from quillo_sdk.roi import Detection, Track, anchor_of, box_fractions, zone_problems
from quillo_sdk.roi.zone_gate import ZoneGate

SQUARE = {"roi_id": "z1", "label": "bay", "include": True, "points": [[0.2, 0.2], [0.8, 0.2], [0.8, 0.8], [0.2, 0.8]]}


def zone(**changes):
    """A fresh record (the gate adds to the records it is given)."""
    return json.loads(json.dumps(dict(SQUARE, **changes)))


@pytest.mark.parametrize("item, frame, anchor, box", [
    (Detection([0.2, 0.3, 0.1, 0.1]), None, (0.5, 0.5), (0.2, 0.3, 0.1, 0.1)),
    (Detection([600, 300, 80, 160]), [1280, 720], (0.5, 1.0), (600, 300, 80, 160)),
    (Detection(np.array([20, 40, 10, 30], dtype=np.float32)), [100, 100], (0.5, 0.5), (20, 40, 10, 30)),
    (Detection([45, 45, 1.0, 10]), [100, 100], (0.5, 0.5), (45, 45, 1.0, 10)),  # width 1.0: not pixels
    (Track([0, 0, 0.1, 0.1], {"rect": (0.45, 0.45, 0.1, 0.1)}), None, (0, 0), (0.45, 0.45, 0.1, 0.1)),
    (Track([610, 310, 80, 150], {"track_id": 7}), (1280, 720), (0.5, 1.0), (610, 310, 80, 150)),
])
def test_anchor_of_is_the_gates_anchor(item, frame, anchor, box):
    own_box = item.info.get("rect", item.tlwh) if hasattr(item, "info") else item.tlwh
    assert own_box == pytest.approx(box)
    expected = reference_anchor(own_box, anchor, frame or [1.0, 1.0])
    assert anchor_of(item, frame, anchor) == expected
    # The gate decides on that very point: a zone (kept in single precision) whose right edge lies
    # just past it keeps the item, one whose edge lies just short of it drops it.
    x, y = expected
    past, short = np.float32(x), np.float32(x)
    past = past if past > x else np.nextafter(past, np.float32(np.inf))
    short = short if short < x else np.nextafter(short, np.float32(-np.inf))

    def gate_with_edge_at(edge):
        return ZoneGate([zone(points=[[x - 1, y - 1], [float(edge), y - 1], [float(edge), y + 1], [x - 1, y + 1]])],
                        frame)

    assert len(gate_with_edge_at(past).filter_in_roi([item], anchor_pt=anchor)) == 1
    assert gate_with_edge_at(short).filter_in_roi([item], anchor_pt=anchor) == []


def test_anchor_of_defaults_and_errors():
    assert anchor_of(Detection([0.2, 0.2, 0.2, 0.4])) == pytest.approx((0.3, 0.4))
    assert anchor_of(Detection([20, 20, 20, 40])) == (30.0, 40.0)  # pixels, divided by the default [1, 1]
    with pytest.raises(AttributeError):
        anchor_of(object())
    with pytest.raises(ZeroDivisionError):
        anchor_of(Detection([20, 20, 20, 40]), [0, 100])


def test_box_fractions_scales_pixel_boxes_only():
    assert box_fractions(Detection([640, 360, 128, 72]), (1280, 720)) == pytest.approx((0.5, 0.5, 0.1, 0.1))
    assert box_fractions(Detection([0.5, 0.5, 0.1, 0.1]), (1280, 720)) == pytest.approx((0.5, 0.5, 0.1, 0.1))
    assert box_fractions(Track([0, 0, 1, 1], {"rect": [64, 36, 128, 72]}), (1280, 720)) == pytest.approx(
        (0.05, 0.05, 0.1, 0.1))


def test_items_have_no_python_attribute_hook():
    # A Python __getattr__ would run for every optional attribute the gate probes (ten times the
    # cost of filtering); the fields' typing lives in the class body for type checkers only.
    assert "__getattr__" not in vars(Detection) and "__getattr__" not in vars(Track)
    with pytest.raises(AttributeError, match="label"):
        Detection([0, 0, 1, 1]).label  # noqa: B018
    assert Detection([0, 0, 1, 1], label="cart").label == "cart"
    assert Track([0, 0, 1, 1], {}, track_id=3).track_id == 3


# ---------------------------------------------------------------- on_error


def test_on_error_takes_the_exception_instead_of_the_log(logged):
    gate = ZoneGate([zone()])
    errors = []
    assert gate.filter_in_roi([Detection([0.3, 0.3, 0.1, 0.1]), object()], on_error=errors.append) == []
    assert [type(e) for e in errors] == [AttributeError] and logged == []
    assert gate.filter_in_roi([object()]) == [] and len(logged) == 1  # the default: logged, as before
    assert gate.filter_in_roi([object()], on_error=None) == [] and len(logged) == 2
    assert len(gate.filter_in_roi([Detection([0.3, 0.3, 0.1, 0.1])], on_error=errors.append)) == 1
    assert len(errors) == 1  # not called when nothing fails


def test_on_error_is_keyword_only_and_its_own_errors_reach_the_caller():
    gate = ZoneGate([zone()])
    with pytest.raises(TypeError):
        gate.filter_in_roi([], None, (0.5, 0.5), print)

    def handler(exc):
        raise RuntimeError("handler failed") from exc

    with pytest.raises(RuntimeError, match="handler failed"):
        gate.filter_in_roi(None, on_error=handler)


# ---------------------------------------------------------------- zone records


def problems_of(records):
    return [(p.zone, p.fatal, str(p)) for p in zone_problems(json.loads(json.dumps(records)))]


def test_sound_records_have_no_problems():
    assert problems_of([SQUARE, dict(SQUARE, roi_id="x", include=False)]) == []


@pytest.mark.parametrize("records, zone, fatal, text", [
    ({"zones": []}, None, True, "expected a list of region records"),
    ([7], 0, True, "zone 0: not an object; the gate cannot take it"),
    ([dict(SQUARE, include=1)], 0, True, 'zone 0 (bay): "include" is 1, not true or false'),
    ([dict(SQUARE, points=[[0, 0], [1, 1], [1, 0], [0, 1]])], 0, True, "crosses itself"),
    ([dict(SQUARE, points=[[0, 0], [0.5, 0.5], [1, 1]])], 0, True, "zero area"),
    ([dict(SQUARE, points=[[0, 0], [1, 1e39], [1, 0]])], 0, True, "vertex 1: number out of range"),
    ([dict(SQUARE, points=[])], 0, False, "a zone with no points lets every item through"),
    ([SQUARE, dict(SQUARE, label="other")], 1, False, 'the same "roi_id" as zone 0'),
    ([dict(SQUARE, points=[[0, 0], [640, 0], [640, 480]])], 0, False, "frame fractions, not pixels"),
    ([], None, False, "no zones at all: every item passes, unannotated"),
    ([dict(SQUARE, include=False)], None, False, "no include zone with an outline: every item is dropped"),
])
def test_each_problem_is_found_once_with_its_weight(records, zone, fatal, text):
    found = [p for p in problems_of(records) if text in p[2]]
    assert [(z, f) for z, f, _ in found] == [(zone, fatal)]


@pytest.mark.parametrize("records, passes", [([], True), ([dict(SQUARE, include=False)], False)])
def test_what_the_whole_file_problems_say_is_what_the_gate_does(records, passes):
    item = Detection([0.45, 0.45, 0.1, 0.1])
    assert len(ZoneGate(records).filter_in_roi([item])) == passes
