import copy as copy
import logging
from typing import Any, ClassVar, Iterable, Mapping, MutableMapping, Sequence

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
    ) -> list[Any] | Any: ...
    @staticmethod
    def _is_point_in_polygon(point_shapely: Point, polygon: Mapping[str, Any]) -> bool: ...
    def _is_point_excluded_for_polygon(self, point_shapely: Point, polygon: Mapping[str, Any]) -> bool: ...
    @staticmethod
    def _assign_roi_info(item_copy: Any, matched_polygons: Iterable[Mapping[str, Any]], has_info_attr: bool) -> None: ...

def _contains_xy(geometry: BaseGeometry, xs: npt.ArrayLike, ys: npt.ArrayLike) -> npt.NDArray[np.bool_]: ...
def _anchor_xy(box: Any, anchor_pt: Sequence[Any], frame_sz: Sequence[Any]) -> tuple[float, float]: ...
