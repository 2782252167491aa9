"""Type-checked usage of the zone gate and the model fetcher (checked by mypy in the tests)."""

from typing import Any

from quillo_sdk.constants import MODEL_TYPE
from quillo_sdk.model import fetch
from quillo_sdk.roi import Detection, Track, anchor_of, box_fractions, zone_problems
from quillo_sdk.roi.zone_gate import RoiData, ZoneEvent, ZoneGate, ZoneMonitor

zones: list[dict[str, Any]] = [
    {RoiData.ROI_ID_KEY: "a", RoiData.ROI_LABEL_KEY: "bay", RoiData.INCLUDE_KEY: True,
     RoiData.POINTS_KEY: [[0.2, 0.2], [0.8, 0.2], [0.8, 0.8], [0.2, 0.8]]},
]
gate = ZoneGate(zones, frame_sz=[1280, 720])
kept = gate.filter_in_roi([], frame_sz=[1280, 720], anchor_pt=(0.5, 1.0))
monitor = ZoneMonitor(gate, min_frames=3, lost_after=2.0)
events: list[ZoneEvent] = monitor.update([], timestamp=1.0, anchor_pt=(0.5, 1.0))
stays: dict[Any, float] = monitor.dwell(7)
entered: int = monitor.totals()["a"]["entered"] + monitor.occupancy()["a"]
errors: list[Exception] = []
gate.filter_in_roi([Detection([1, 2, 3, 4], label="person")], on_error=errors.append)
where: tuple[float, float] = anchor_of(Track([0, 0, 1, 1], {"rect": [1, 2, 3, 4]}, track_id=3), (1280, 720), (0.5, 1.0))
box: tuple[float, float, float, float] = box_fractions(Detection([1, 2, 3, 4]))
label: str = Detection([1, 2, 3, 4], label="cart").label
problems: list[str] = [str(p) for p in zone_problems(zones) if p.fatal and p.zone is not None]



def report(failure: fetch.FetchFailure) -> str:
    return "%s %s %s %s" % (failure.kind, failure.status, failure.host, failure.file)


model_dir = fetch.download_detection_model(MODEL_TYPE.INTERNAL, deadline=2.5, on_failure=report)
if model_dir is not None and model_dir != MODEL_TYPE.INTERNAL:
    framework: str | None = fetch.check_model_type(model_dir)
url: str | None = fetch.get_model_url("https://example.invalid/m.tar.xz")
fetch.DOWNLOAD_MODEL_TIMEOUT = 30
