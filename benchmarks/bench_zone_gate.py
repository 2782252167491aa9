"""Zone gate against the same rules written with shapely, measured in one run.

Peers:
  python     the rules in plain Python: one shapely Point and `contains` calls per item
  vectorised boxes gathered into numpy arrays, prepared zones, shapely.contains_xy per zone,
             then the same copies and annotations
The kit is measured twice: on its shortcuts (fast) and, in a subprocess with
QUILLO_SDK_PORTABLE=1, on their documented-API twins (portable). Then the kit's own item classes
(quillo_sdk.roi.Detection and Track) against plain classes with the same attributes.
Run: python benchmarks/bench_zone_gate.py
"""

from __future__ import annotations

import copy
import json
import os
import subprocess
import sys
import timeit

import numpy as np
import shapely
from shapely.geometry import Point

from quillo_sdk import roi
from quillo_sdk.constants import KEY
from quillo_sdk.roi.zone_gate import ZoneGate, _contains_xy


class Det:
    def __init__(self, tlwh, score=0.9, cls=0):
        self.tlwh = tlwh
        self.score = score
        self.cls = cls


class Track:
    def __init__(self, tlwh, track_id):
        self.tlwh = tlwh
        self.track_id = track_id
        self.info = {"rect": tlwh, "age": 3}


def star(rng, n, cx, cy, r0, r1):
    angles = np.sort(rng.uniform(0, 2 * np.pi, n))
    radii = rng.uniform(r0, r1, n)
    return np.stack([cx + radii * np.cos(angles), cy + radii * np.sin(angles)], 1).tolist()


def make_records(rng):
    def ngon(n, cx, cy, r):
        a = np.linspace(0, 2 * np.pi, n, endpoint=False)
        return np.stack([cx + r * np.cos(a), cy + r * np.sin(a)], 1).tolist()

    return [
        {"label": "dock", "roi_id": "z1", "include": True, "points": star(rng, 40, 0.5, 0.5, 0.15, 0.45)},
        {"label": "gate", "roi_id": "z2", "include": True, "points": ngon(8, 0.25, 0.3, 0.2)},
        {"label": "yard", "roi_id": "z3", "include": True, "points": ngon(20, 0.7, 0.7, 0.25)},
        {"label": "lane", "roi_id": "z4", "include": True,
         "points": [(0.05, 0.8), (0.95, 0.8), (0.95, 0.95), (0.5, 0.88), (0.05, 0.95), (0.1, 0.9), (0.04, 0.87),
                    (0.08, 0.84)]},
        {"label": "office", "roi_id": "x1", "include": False, "points": star(rng, 12, 0.5, 0.5, 0.05, 0.15)},
        {"label": "pole", "roi_id": "x2", "include": False, "points": [(0.6, 0.6), (0.75, 0.6), (0.7, 0.75)]},
    ]


def make_boxes(rng, n, gate):
    """A mix of boxes with anchors inside, outside and exactly on zone outlines."""
    outline = np.concatenate([shapely.get_coordinates(r["shapely_polygon"]) for r in gate._included_rois])
    boxes = []
    for k in range(n):
        w, h = rng.uniform(0.02, 0.1, 2)
        if k % 5 == 0:  # anchor on a vertex of a zone
            cx, cy = outline[rng.integers(len(outline))]
        else:
            cx, cy = rng.uniform(0, 1, 2)
        boxes.append((float(cx - w / 2), float(cy - h / 2), float(w), float(h)))
    return boxes


# ---------------------------------------------------------------- peers


class PythonGate:
    """The filtering rules written plainly over shapely."""

    def __init__(self, records):
        self.included = [r for r in records if len(r["points"]) and r["include"]]
        self.empty = next((r for r in reversed(records) if not len(r["points"])), None)
        excl = [r for r in records if not r["include"]]
        self.intersections = {}
        for r in self.included:
            parts = [r["shapely_polygon"].intersection(e["shapely_polygon"]) for e in excl]
            self.intersections[id(r)] = [g for g in parts if not g.is_empty]

    def filter_in_roi(self, det_or_trk, frame_sz=(1.0, 1.0), anchor_pt=(0.5, 0.5)):
        fx, fy = frame_sz[0], frame_sz[1]
        ax, ay = anchor_pt
        out = []
        for obj in det_or_trk:
            try:
                info = obj.info
                has_info = True
            except Exception:
                has_info = False
            box = info.get("rect", obj.tlwh) if has_info else obj.tlwh
            x, y, w, h = box
            rx, ry = x + w * ax, y + h * ay
            if w > 1.0 and h > 1.0:
                rx, ry = rx / fx, ry / fy
            p = Point(rx, ry)
            matched = [r for r in self.included if r["shapely_polygon"].contains(p)
                       and not any(g.contains(p) for g in self.intersections[id(r)])]
            if matched:
                out.append(assign(obj, matched, has_info))
            elif self.empty is not None:
                out.append(obj)
        return out


def assign(obj, matched, has_info):
    c = copy.copy(obj)
    ids = [r.get("roi_id", "") for r in matched]
    names = [r.get("label", "") for r in matched]
    if has_info:
        c.info[KEY.ROI_ID] = ids
        c.info[KEY.ROI_NAME] = names
    else:
        c.roi_id = ids
        c.roi_name = names
    return c


class VectorisedGate(PythonGate):
    """Anchors computed on numpy arrays, zones tested with prepared shapely.contains_xy."""

    def __init__(self, records):
        super().__init__(records)
        self.zones = [r["shapely_polygon"] for r in self.included]
        self.parts = [self.intersections[id(r)] for r in self.included]
        for g in self.zones + [g for ps in self.parts for g in ps]:
            shapely.prepare(g)

    def filter_in_roi(self, det_or_trk, frame_sz=(1.0, 1.0), anchor_pt=(0.5, 0.5)):
        items = list(det_or_trk)
        has_info = [hasattr(o, "info") for o in items]
        b = np.array([o.info.get("rect", o.tlwh) if hi else o.tlwh for o, hi in zip(items, has_info)], dtype=float)
        rx = b[:, 0] + b[:, 2] * anchor_pt[0]
        ry = b[:, 1] + b[:, 3] * anchor_pt[1]
        pixel = (b[:, 2] > 1.0) & (b[:, 3] > 1.0)
        rx = np.where(pixel, rx / frame_sz[0], rx)
        ry = np.where(pixel, ry / frame_sz[1], ry)
        hits = np.empty((len(self.zones), len(items)), dtype=bool)
        for z, (zone, parts) in enumerate(zip(self.zones, self.parts)):
            inside = shapely.contains_xy(zone, rx, ry)
            for g in parts:
                inside &= ~shapely.contains_xy(g, rx, ry)
            hits[z] = inside
        out = []
        for k in range(len(items)):
            zs = np.flatnonzero(hits[:, k])
            if len(zs):
                out.append(assign(items[k], [self.included[z] for z in zs], has_info[k]))
            elif self.empty is not None:
                out.append(items[k])
        return out


# ---------------------------------------------------------------- measuring


def best(fn, min_time=0.2):
    timer = timeit.Timer(fn)
    number, _ = timer.autorange()
    number = max(1, int(number * min_time / 0.2))
    return min(timer.repeat(repeat=5, number=number)) / number


def describe(result):
    return [(getattr(r, "roi_id", None) or r.info.get("roi_id"), id(r)) for r in result]


def make_frames(rng, gate):
    frames = {}
    for n in (10, 100, 1000):
        frames[f"{n} detections"] = [Det(b) for b in make_boxes(rng, n, gate)]
    frames["1000 tracks"] = [Track(b, k) for k, b in enumerate(make_boxes(rng, 1000, gate))]
    return frames


def kit_times():
    """Seconds per filter_in_roi call for each frame, printed as JSON (run under QUILLO_SDK_PORTABLE=1)."""
    rng = np.random.default_rng(42)
    gate = ZoneGate(make_records(rng))
    frames = make_frames(rng, gate)
    print(json.dumps({name: best(lambda items=items: gate.filter_in_roi(items)) for name, items in frames.items()}))


def portable_times():
    env = dict(os.environ, QUILLO_SDK_PORTABLE="1")
    out = subprocess.run([sys.executable, __file__, "--kit-times"], capture_output=True, text=True, env=env,
                         timeout=600, check=True)
    return json.loads(out.stdout.splitlines()[-1])


def main():
    rng = np.random.default_rng(42)
    records = make_records(rng)
    gate = ZoneGate(records)
    python_gate = PythonGate(records)
    vector_gate = VectorisedGate(records)
    portable = portable_times()
    n_zones = len(gate._included_rois)
    vertex_counts = [len(r["points"]) for r in gate._included_rois]
    print(f"zone gate benchmark: {n_zones} include zones ({vertex_counts} vertices), "
          f"{len(records) - n_zones} exclusion zones; Python {sys.version.split()[0]}, "
          f"shapely {shapely.__version__}, GEOS {shapely.geos_version_string}")

    frames = make_frames(rng, gate)

    header = (f"{'frame':<16}{'kit':>10}{'python':>11}{'vector':>11}{'x python':>10}{'x vector':>10}{'ns/item':>9}"
              f"{'/zone':>7}{'portable':>10}{'x python':>10}")
    print(header)
    print("-" * len(header))
    for name, items in frames.items():
        want = [r.roi_id if not hasattr(r, "info") else r.info["roi_id"] for r in python_gate.filter_in_roi(items)]
        for peer in (gate, vector_gate):
            got = [r.roi_id if not hasattr(r, "info") else r.info["roi_id"] for r in peer.filter_in_roi(items)]
            assert got == want, f"{type(peer).__name__} disagrees on {name}"
        t_kit = best(lambda: gate.filter_in_roi(items))
        t_py = best(lambda: python_gate.filter_in_roi(items))
        t_vec = best(lambda: vector_gate.filter_in_roi(items))
        print(f"{name:<16}{t_kit * 1e6:>8.1f}us{t_py * 1e6:>9.1f}us{t_vec * 1e6:>9.1f}us"
              f"{t_py / t_kit:>9.1f}x{t_vec / t_kit:>9.1f}x{t_kit / len(items) * 1e9:>9.0f}"
              f"{t_kit / len(items) / n_zones * 1e9:>7.0f}{portable[name] / len(items) * 1e9:>10.0f}"
              f"{t_py / portable[name]:>9.1f}x")
        print(f"{'':<16}kept {len(want)} of {len(items)}")

    # The kit's item classes against plain ones: 1000 items, 4 zones without exclusions.
    square_zones = ZoneGate([{"roi_id": "q%d" % i, "label": "q", "include": True,
                              "points": [[x, y], [x + 0.3, y], [x + 0.3, y + 0.3], [x, y + 0.3]]}
                             for i, (x, y) in enumerate([(0, 0), (0.5, 0), (0, 0.5), (0.5, 0.5)])])
    boxes = [tuple(float(v) for v in b) for b in rng.uniform(0, 0.9, (1000, 4)) * [1, 1, 0.1, 0.1]]
    pairs = [("detection", [Det(b) for b in boxes], [roi.Detection(b, score=0.9, cls=0) for b in boxes]),
             ("track", [Track(b, k) for k, b in enumerate(boxes)],
              [roi.Track(b, {"rect": b, "age": 3}, track_id=k) for k, b in enumerate(boxes)])]
    for kind, plain, kit_items in pairs:
        t_plain = best(lambda: square_zones.filter_in_roi(plain))
        t_items = best(lambda: square_zones.filter_in_roi(kit_items))
        print(f"roi.{kind.capitalize():<10} {t_items / len(boxes) * 1e9:6.0f} ns per item, plain {kind} class "
              f"{t_plain / len(boxes) * 1e9:6.0f} ns ({t_items / t_plain:.2f}x; 1000 items, 4 zones)")

    # Containment alone: the anchors of a large frame against each include zone, kit vs prepared shapely.
    n = 100_000
    xs, ys = rng.uniform(-0.05, 1.05, n), rng.uniform(-0.05, 1.05, n)
    zones = [r["shapely_polygon"] for r in gate._included_rois]
    t_kit = sum(best(lambda z=z: _contains_xy(z, xs, ys)) for z in zones)
    t_shp = sum(best(lambda z=z: shapely.contains_xy(z, xs, ys)) for z in vector_gate.zones)
    print(f"containment only ({n} points x {len(zones)} zones): kit {t_kit / (n * len(zones)) * 1e9:.1f} ns "
          f"per item per zone, prepared shapely.contains_xy {t_shp / (n * len(zones)) * 1e9:.1f} ns "
          f"({t_shp / t_kit:.1f}x)")


if __name__ == "__main__":
    if sys.argv[1:] == ["--kit-times"]:
        kit_times()
    else:
        main()
