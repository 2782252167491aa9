import copy as copy
import logging
import time as time
from typing import Any, Callable, ClassVar, Hashable, Iterable, Literal, Mapping, MutableMapping, Sequence

import numpy as np
import numpy.typing as npt
from shapely.geometry import Point as Point, Polygon as Polygon
from shapely.geometry.base import BaseGeometry

from quillo_sdk.constants import KEY as KEY
from quillo_sdk.logging import get_logger as get_logger

logger: logging.Logger
_shortcuts: dict[str, tuple[bool, str | None]]
_geos_library: str | None

def exception_traceback(logger: logging.Logger, exc: BaseException) -> None: ...

class RoiData:
    POLYGON_INFO: ClassVar[str]
    ROI_ID_KEY: ClassVar[str]
    ROI_LABEL_KEY: ClassVar[str]
    INCLUDE_KEY: ClassVar[str]
    POINTS_KEY: ClassVar[str]
    POLYGON_EDGE: ClassVar[int]

class ZoneGate:
    polygons: list[MutableMapping[str, Any]] | None
    rois: Sequence[MutableMapping[str, Any]] | None
    frame_sz: list[float]
    _included_rois: list[MutableMapping[str, Any]]
    _empty_polygon: MutableMapping[str, Any] | None
    _exclusion_intersections: dict[int, list[BaseGeometry]]

    def __init__(
        self,
        polygons: Sequence[MutableMapping[str, Any]] | None = None,
        frame_sz: Sequence[float | str] | None = None,
    ) -> None: ...
    def filter_in_roi(
        self,
        det_or_trk: Iterable[Any],
        frame_sz: Sequence[float] | None = None,
        anchor_pt: Sequence[float] = (0.5, 0.5),
        *,
        on_error: Callable[[Exception], object] | None = None,
    ) -> list[Any] | Any: ...
    @staticmethod
    def _is_point_in_polygon(point_shapely: Point, polygon: Mapping[str, Any]) -> bool: ...
    def _is_point_excluded_for_polygon(self, point_shapely: Point, polygon: Mapping[str, Any]) -> bool: ...
    @staticmethod
    def _assign_roi_info(item_copy: Any, matched_polygons: Iterable[Mapping[str, Any]], has_info_attr: bool) -> None: ...

def _contains_xy(geometry: BaseGeometry, xs: npt.ArrayLike, ys: npt.ArrayLike) -> npt.NDArray[np.bool_]: ...
def _anchor_xy(box: Any, anchor_pt: Sequence[Any], frame_sz: Sequence[Any]) -> tuple[float, float]: ...
def _anchor_of(item: Any, anchor_pt: Sequence[Any], frame_sz: Sequence[Any] | None) -> tuple[float, float]: ...

class ZoneEvent:
    __match_args__: ClassVar[tuple[str, ...]]
    @property
    def kind(self) -> Literal["enter", "exit"]: ...
    @property
    def roi_id(self) -> Any: ...
    @property
    def roi_name(self) -> Any: ...
    @property
    def track_id(self) -> Hashable: ...
    @property
    def timestamp(self) -> float: ...
    @property
    def dwell(self) -> float: ...
    def __init__(
        self, kind: Literal["enter", "exit"], roi_id: Any, roi_name: Any, track_id: Hashable, timestamp: float, dwell: float
    ) -> None: ...
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...

class ZoneMonitor:
    @property
    def gate(self) -> ZoneGate: ...
    @property
    def min_frames(self) -> int: ...
    @property
    def lost_after(self) -> float: ...
    def __init__(self, gate: ZoneGate, *, min_frames: int = 1, lost_after: float = 1.0) -> None: ...
    def update(
        self,
        items: Iterable[Any],
        timestamp: float | None = None,
        frame_sz: Sequence[float] | None = None,
        anchor_pt: Sequence[float] = (0.5, 0.5),
    ) -> list[ZoneEvent]: ...
    def occupancy(self) -> dict[Any, int]: ...
    def totals(self) -> dict[Any, dict[str, int]]: ...
    def dwell(self, track_id: Hashable) -> dict[Any, float]: ...
    def reset(self) -> None: ...
