"""The kit's demo: every part working together the way an application on a device uses them.

1. A development backend starts on loopback; a device token is written; the model fetcher is
   pointed at both and fetches a detection model end to end (signed URL, streamed archive, safe
   unpacking), and ``check_model_type`` names its framework.
2. A synthetic video pipeline runs: a producer thread makes frames of moving detections and
   tracks faster than the consumer handles them, into a ``LatestQueue`` (so old frames are
   dropped, and counted in its ``dropped``), and shuts the queue down when done; the consumer
   drains batches with ``drain_fast`` until it raises ``ShutDown``, filters every frame through a
   ``ZoneGate`` with include and exclusion zones, feeds the tracks to a ``ZoneMonitor`` at the
   frame's own timestamp, and logs each frame's event and each zone entry and exit under a
   ``LogIDGenerator`` identifier.
3. A summary table with the entries, exits and mean dwell per zone, and a picture of the zones
   with the kept and dropped anchor points of the last frames, the boxes of the last one and
   the tracks inside a zone with their time there (with Pillow, the ``viz`` extra).
"""

from __future__ import annotations

import os
import random
import statistics
import tempfile
import threading
import time
from collections import Counter
from dataclasses import dataclass, field
from typing import Any, Dict, Hashable, List, Optional, Sequence, TextIO, Tuple

from quillo_sdk.constants import KEY
from quillo_sdk.logging import get_logger
from quillo_sdk.picture import ItemMark, held_by_include_zone, item_mark
from quillo_sdk.roi import Detection, Track

log = get_logger("demo")

FRAME_SIZE = (1280, 720)
QUEUE_SIZE = 8
BATCH_SIZE = 4
PRODUCE_INTERVAL = 0.002  # a camera far faster than the consumer
INFERENCE_TIME = 0.006  # stands in for the detector's work on each frame
PICTURE_FRAMES = 16
CAMERA_FPS = 30.0  # the scene's clock: frame n is taken at n / CAMERA_FPS seconds
MIN_FRAMES = 2  # processed frames in a row that confirm a zone entry or exit
LOST_AFTER = 1.0  # seconds of the scene's clock after which an unseen track has left
FETCH_BUDGET = 20  # seconds; loopback needs far less than the fetcher's default budget


def demo_zones() -> List[dict]:
    """Region records in frame fractions; fresh dicts each call, as the gate augments them."""
    return [
        {"roi_id": "zone-entrance", "label": "Entrance", "include": True,
         "points": [[0.06, 0.38], [0.40, 0.30], [0.45, 0.88], [0.09, 0.93]]},
        {"roi_id": "zone-bay", "label": "Loading bay", "include": True,
         "points": [[0.36, 0.14], [0.86, 0.10], [0.90, 0.62], [0.44, 0.70]]},
        {"roi_id": "excl-pillar", "label": "Pillar", "include": False,
         "points": [[0.60, 0.30], [0.70, 0.30], [0.70, 0.46], [0.60, 0.46]]},
        {"roi_id": "excl-door", "label": "Staff door", "include": False,
         "points": [[0.0, 0.56], [0.16, 0.56], [0.16, 0.72], [0.0, 0.72]]},
    ]


@dataclass
class Frame:
    index: int
    timestamp: float  # seconds on the scene's clock, not the wall clock: runs replay from their seed
    detections: List[Detection]
    tracks: List[Track]


class Scene:
    """Objects that move across the frame and bounce off its edges, reproducible from ``seed``."""

    KINDS = (("person", 40, 110), ("person", 44, 120), ("forklift", 120, 110), ("cart", 80, 60))

    def __init__(self, seed: int, objects: int = 16) -> None:
        self.rng = random.Random(seed)
        w, h = FRAME_SIZE
        self.objects = []
        for n in range(objects):
            label, bw, bh = self.rng.choice(self.KINDS)
            self.objects.append({
                "id": n + 1, "label": label, "w": bw, "h": bh,
                "x": self.rng.uniform(0, w - bw), "y": self.rng.uniform(0, h - bh),
                "vx": self.rng.uniform(-7, 7), "vy": self.rng.uniform(-5, 5),
            })
        self._next_det = 0

    def step(self, index: int) -> Frame:
        w, h = FRAME_SIZE
        detections, tracks = [], []
        for o in self.objects:
            for axis, speed, limit in (("x", "vx", w - o["w"]), ("y", "vy", h - o["h"])):
                o[axis] += o[speed]
                if not 0 <= o[axis] <= limit:
                    o[speed] = -o[speed]
                    o[axis] = min(max(o[axis], 0), limit)
            box = (round(o["x"], 1), round(o["y"], 1), float(o["w"]), float(o["h"]))
            # A tracker's output: the box the gate reads is info["rect"].
            tracks.append(Track(box, {"rect": box, "track_id": o["id"], "label": o["label"]}))
            if self.rng.random() < 0.95:  # the detector misses now and then
                jitter = [self.rng.gauss(0, 2) for _ in range(4)]
                noisy = (box[0] + jitter[0], box[1] + jitter[1], box[2] + jitter[2], box[3] + jitter[3])
                self._next_det += 1
                detections.append(Detection(noisy, det_id=self._next_det, label=o["label"],
                                            score=round(self.rng.uniform(0.5, 0.99), 2)))
        return Frame(index, index / CAMERA_FPS, detections, tracks)


@dataclass
class ZoneStays:
    """What a ``ZoneMonitor`` saw of one include zone."""

    roi_id: str
    name: str
    entries: int = 0
    exits: int = 0
    inside: int = 0  # tracks inside at the end
    dwell_seconds: List[float] = field(default_factory=list)  # one per exit

    @property
    def mean_dwell(self) -> Optional[float]:
        return statistics.mean(self.dwell_seconds) if self.dwell_seconds else None


@dataclass
class PipelineResult:
    frames_made: int = 0
    frames_processed: int = 0
    frames_dropped: int = 0  # the queue's own count
    queue_shut_down: bool = False  # the consumer ended on ShutDown with the queue empty
    batches: int = 0
    detections_in: int = 0
    detections_kept: int = 0
    tracks_in: int = 0
    tracks_kept: int = 0
    detections_per_zone: Counter = field(default_factory=Counter)
    tracks_per_zone: Counter = field(default_factory=Counter)
    filter_seconds: List[float] = field(default_factory=list)
    stays: List[ZoneStays] = field(default_factory=list)
    zones: List[dict] = field(default_factory=list)
    # The last frames' detections and the last frame's tracks inside a zone, for the picture.
    marks: List[ItemMark] = field(default_factory=list)
    picture_frames: int = 0

    @property
    def zone_entries(self) -> int:
        return sum(s.entries for s in self.stays)

    @property
    def zone_exits(self) -> int:
        return sum(s.exits for s in self.stays)


def track_marks(tracks: Sequence[Track], monitor: Any, zone_order: Sequence[str]) -> List[ItemMark]:
    """Marks for the ``tracks`` that ``monitor`` holds inside a zone, with their time there."""
    marks = []
    for t in tracks:
        dwell = monitor.dwell(t.info["track_id"])
        if dwell:
            marks.append(item_mark(t, FRAME_SIZE, (0.5, 0.5), [z for z in zone_order if z in dwell],
                                   label="%s #%d" % (t.info["label"], t.info["track_id"]),
                                   dwell=max(dwell.values())))
    return marks


def run_pipeline(frames: int, seed: int, inference_time: float = INFERENCE_TIME,
                 produce_interval: float = PRODUCE_INTERVAL) -> PipelineResult:
    from quillo_sdk.logging.log_id import ErrorType, EventType, LogIDGenerator
    from quillo_sdk.roi.zone_gate import ZoneGate, ZoneMonitor
    from quillo_sdk.structures.latestq import LatestQueue, ShutDown

    ids = LogIDGenerator(node_id="demo0001", source_idx=0)
    ids.generate_session_id()
    result = PipelineResult(zones=demo_zones())
    labels = [z["label"] for z in result.zones if z["include"]]
    gate = ZoneGate(result.zones, FRAME_SIZE)
    monitor = ZoneMonitor(gate, min_frames=MIN_FRAMES, lost_after=LOST_AFTER)
    result.stays = [ZoneStays(z["roi_id"], z["label"]) for z in result.zones if z["include"]]
    stays_of = {s.roi_id: s for s in result.stays}
    queue = LatestQueue(QUEUE_SIZE)
    scene = Scene(seed)
    stop = threading.Event()  # set when the consumer ends early (Ctrl-C): the producer quits too
    log.info(ids.format_log_with_id(
        "pipeline start: %d frames, queue of %d, batches of %d, zones %s" % (frames, QUEUE_SIZE, BATCH_SIZE, ", ".join(labels)),
        ids.generate_event_id(EventType.START)))

    def produce() -> None:
        try:
            for index in range(frames):
                if stop.is_set():
                    break
                queue.put(scene.step(index))
                result.frames_made += 1
                time.sleep(produce_interval)
        finally:
            queue.shutdown()  # the consumer takes what is left, then ends on ShutDown

    # A daemon, started inside the try: a Ctrl-C that lands while it starts still stops it, and
    # the process never waits at exit for a producer nobody stopped.
    producer = threading.Thread(target=produce, name="demo-producer", daemon=True)
    recent: List[Tuple[List[Detection], Dict[int, List[str]]]] = []
    last_tracks: List[Track] = []
    label_of_track: Dict[Hashable, str] = {}  # an exit can name a track the frame no longer shows
    try:
        producer.start()
        while True:
            try:
                batch = queue.drain_fast(BATCH_SIZE)
            except ShutDown:
                result.queue_shut_down = queue.empty()
                break
            if not batch:
                time.sleep(0.0005)
                continue
            result.batches += 1
            for frame in batch:
                started = time.perf_counter()
                kept_detections = gate.filter_in_roi(frame.detections)
                kept_tracks = gate.filter_in_roi(frame.tracks)
                result.filter_seconds.append(time.perf_counter() - started)
                time.sleep(inference_time)
                result.frames_processed += 1
                result.detections_in += len(frame.detections)
                result.tracks_in += len(frame.tracks)
                result.detections_kept += len(kept_detections)
                result.tracks_kept += len(kept_tracks)
                for d in kept_detections:
                    result.detections_per_zone.update(d.roi_name)
                for t in kept_tracks:
                    result.tracks_per_zone.update(t.info[KEY.ROI_NAME])
                label_of_track.update((t.info["track_id"], t.info["label"]) for t in frame.tracks)
                for event in monitor.update(frame.tracks, timestamp=frame.timestamp):
                    stays = stays_of[event.roi_id]
                    what = "%s %s" % (label_of_track[event.track_id], event.track_id)
                    if event.kind == "enter":
                        stays.entries += 1
                        text = "%s entered %s" % (what, event.roi_name)
                    else:
                        stays.exits += 1
                        stays.dwell_seconds.append(event.dwell)
                        text = "%s left %s after %.1f s" % (what, event.roi_name, event.dwell)
                    log.info(ids.format_log_with_id("frame %d: %s" % (frame.index, text),
                                                    ids.generate_event_id(EventType.TRACK)))
                last_tracks = frame.tracks
                per_zone = Counter(name for d in kept_detections for name in d.roi_name)
                log.debug(ids.format_log_with_id(
                    "frame %d: %d detections, %d kept (%s); %d tracks, %d kept" % (
                        frame.index, len(frame.detections), len(kept_detections),
                        ", ".join("%s %d" % (z, per_zone[z]) for z in labels),
                        len(frame.tracks), len(kept_tracks)),
                    ids.generate_event_id(EventType.FRAME)))
                recent.append((frame.detections, {d.det_id: list(d.roi_id) for d in kept_detections}))
                del recent[:-PICTURE_FRAMES]
    finally:
        stop.set()
        if producer.is_alive():
            producer.join()
    result.frames_dropped = queue.dropped
    for roi_id, count in monitor.occupancy().items():
        stays_of[roi_id].inside = count
    if result.frames_dropped:
        log.info(ids.format_log_with_id(
            "%d of %d frames dropped by the queue: the consumer is slower than the camera"
            % (result.frames_dropped, result.frames_made), ids.generate_error_id(ErrorType.FRAME_CAPTURE)))
    result.picture_frames = len(recent)
    held = held_by_include_zone(result.zones, FRAME_SIZE, (0.5, 0.5))
    for age, (detections, kept) in enumerate(reversed(recent)):
        for d in detections:
            zones = kept.get(d.det_id, ())
            result.marks.append(item_mark(d, FRAME_SIZE, (0.5, 0.5), zones, kept=d.det_id in kept,
                                          excluded=d.det_id not in kept and held(d), with_box=age == 0,
                                          label=d.label))
    result.marks += track_marks(last_tracks, monitor, [s.roi_id for s in result.stays])
    return result


@dataclass
class FetchResult:
    model: str
    model_dir: Optional[str]
    model_type: Optional[str]
    seconds: float
    kept: bool = True


def fetch_model(model_url: str, token: str, base_dir: str, model: str, budget: int = FETCH_BUDGET) -> FetchResult:
    """Fetch ``model`` through the kit's fetcher pointed at ``model_url`` (with its "<MODEL_KEY>"),
    the device ``token`` and ``base_dir``; the fetcher's settings are restored afterwards."""
    from quillo_sdk.devserver import write_token_file
    from quillo_sdk.model import fetch

    with tempfile.TemporaryDirectory(prefix="quillo-token-") as token_dir:
        token_file = os.path.join(token_dir, "device_token")
        write_token_file(token_file, token)
        settings = {"MODEL_URL": model_url, "TOKEN_FILE": token_file, "BASE_MODEL_DIR": base_dir,
                    "DOWNLOAD_MODEL_TIMEOUT": budget}
        saved = {name: getattr(fetch, name) for name in settings if hasattr(fetch, name)}
        started = time.perf_counter()
        try:
            for name, value in settings.items():
                setattr(fetch, name, value)
            model_dir = fetch.download_detection_model(model)
            model_type = fetch.check_model_type(model_dir) if model_dir and os.path.isdir(model_dir) else None
        finally:
            for name in settings:
                if name in saved:
                    setattr(fetch, name, saved[name])
                else:
                    delattr(fetch, name)
    return FetchResult(model, model_dir, model_type, time.perf_counter() - started)


def _percentile(values: Sequence[float], q: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(q * (len(ordered) - 1))))]


def summary_lines(fetched: Optional[FetchResult], result: PipelineResult, picture: Optional[str],
                  seconds: float) -> List[str]:
    lines = ["", "quillo demo summary"]
    if fetched is not None:
        if fetched.model_dir:
            lines.append("  %-26s %s: %s, fetched in %.2f s into %s" % (
                "model", fetched.model, fetched.model_type or "unknown type", fetched.seconds,
                fetched.model_dir if fetched.kept else "a temporary directory"))
        else:
            lines.append("  %-26s %s: fetch failed" % ("model", fetched.model))
    lines += [
        "  %-26s %7d" % ("frames made", result.frames_made),
        "  %-26s %7d   (LatestQueue.dropped: a queue of %d keeps the newest)" % (
            "frames dropped", result.frames_dropped, QUEUE_SIZE),
        "  %-26s %7d   (%d drains of up to %d)" % ("frames processed", result.frames_processed, result.batches, BATCH_SIZE),
        "",
        "  %-26s %10s %10s" % ("", "detections", "tracks"),
        "  %-26s %10d %10d" % ("in", result.detections_in, result.tracks_in),
        "  %-26s %10d %10d" % ("kept (any zone)", result.detections_kept, result.tracks_kept),
    ]
    for zone in result.zones:
        if zone["include"]:
            name = zone["label"]
            lines.append("  %-26s %10d %10d" % ("kept in " + name, result.detections_per_zone[name],
                                                  result.tracks_per_zone[name]))
    lines.append("  %-26s %10d %10d" % ("dropped (outside/excluded)", result.detections_in - result.detections_kept,
                                        result.tracks_in - result.tracks_kept))
    if result.filter_seconds:
        us = [s * 1e6 for s in result.filter_seconds]
        items = (result.detections_in + result.tracks_in) / max(result.frames_processed, 1)
        lines += ["", "  %-26s median %.0f us, p95 %.0f us, max %.0f us (%.0f items a frame)" % (
            "filter time per frame", statistics.median(us), _percentile(us, 0.95), max(us), items)]
    lines += ["", "  %-26s %10s %10s %10s %10s" % ("zone stays (scene clock)", "entries", "exits", "mean dwell",
                                                     "inside now")]
    for stays in result.stays:
        mean = "-" if stays.mean_dwell is None else "%.1f s" % stays.mean_dwell
        lines.append("  %-26s %10d %10d %10s %10d" % (stays.name, stays.entries, stays.exits, mean, stays.inside))
    lines += ["", "  %-26s %s" % ("queue", "shut down at the end: the consumer ended on ShutDown once it was empty"
                                      if result.queue_shut_down else "stopped before its shutdown")]
    lines.append("  %-26s %d frame events (shown with -v), %d zone entries, %d zone exits" % (
        "events logged", result.frames_processed, result.zone_entries, result.zone_exits))
    if picture:
        lines.append("  %-26s %s" % ("picture", picture))
    lines.append("  %-26s %.1f s" % ("took", seconds))
    return lines


def run_demo(frames: int = 300, seed: int = 7, out: Optional[str] = os.path.join("out", "quillo-demo.png"),
             base_dir: Optional[str] = None, model: Optional[str] = None,
             stdout: Optional[TextIO] = None, image: Optional[str] = None) -> int:
    """Run the whole demo; returns the process exit status (0 when every step worked).

    A few lines say what happens, then the summary; the kit's log lines (every frame's event at
    debug level, each zone entry and exit at info level) go wherever the application's logging
    sends them. ``out`` is the picture to write (.png or .jpg; none when empty or None), ``image``
    a camera frame to draw it over. Without Pillow the picture is skipped with a warning.
    """
    import sys

    from quillo_sdk.devserver import DEFAULT_MODEL, DevServer
    from quillo_sdk.picture import PillowMissing, draw_zones

    stdout = stdout or sys.stdout

    def say(line: str) -> None:
        print(line, file=stdout, flush=True)

    started = time.perf_counter()
    if out:  # fail before the work, not after it
        os.makedirs(os.path.dirname(os.path.abspath(out)), exist_ok=True)
    model = model or DEFAULT_MODEL
    with DevServer() as server, tempfile.TemporaryDirectory(prefix="quillo-models-") as scratch:
        say("development backend on %s; fetching the model %s" % (server.base_url, model))
        fetched = fetch_model(server.model_url, server.token, base_dir or scratch, model)
        fetched.kept = base_dir is not None
        if fetched.model_dir:
            log.info("model %s in %s, type %s" % (model, fetched.model_dir, fetched.model_type or "unknown"))
        else:
            log.warning("model %s could not be fetched" % model)
    say("%d frames through the queue, the zone gate and the zone monitor (-v logs every frame)" % frames)
    result = run_pipeline(frames, seed)
    picture = None
    if out:
        try:
            picture = draw_zones(out, result.zones, result.marks, frame=image,
                                 window="the last %d frames" % result.picture_frames, title=(
                "anchors of the last %d of %d frames processed; boxes and tracks of the last one" % (
                    result.picture_frames, result.frames_processed)))
        except PillowMissing as exc:
            log.warning("no picture: %s" % exc)
    for line in summary_lines(fetched, result, picture, time.perf_counter() - started):
        say(line)
    return 0 if fetched.model_dir and fetched.model_type else 1
