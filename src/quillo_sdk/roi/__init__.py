"""Region-of-interest filtering; ``zone_gate`` is compiled beside this file.

``ZoneGate.filter_in_roi`` takes any objects with a ``tlwh`` attribute (left, top, width, height;
frame fractions, or pixels when width and height are both above 1); an object that also has an
``info`` mapping is a track, whose ``info["rect"]``, when present, is its box. :class:`Detection` and
:class:`Track` are such objects for applications without item classes of their own.
"""

from __future__ import annotations

from typing import Any, Dict, List, Optional, Sequence, Tuple

import shapely as _shapely

# The compiled gate uses shapely 2's vectorised API; an older shapely would only
# fail inside the extension's initialisation, with a less helpful message.
if int(str(_shapely.__version__).split(".")[0]) < 2:
    raise ImportError(f"quillo_sdk needs shapely 2.0 or newer; found {_shapely.__version__}")

__all__ = ["Detection", "Track"]

Box = Tuple[float, float, float, float]


def _box(tlwh: Sequence[float]) -> Box:
    values = tuple(tlwh)
    if len(values) != 4:
        raise ValueError("tlwh needs 4 numbers (left, top, width, height), got %d" % len(values))
    return values  # type: ignore[return-value]


class Detection:
    """A detection: the box ``tlwh`` and any fields of your own (``label``, ``score``, ...) as attributes.

    A kept detection comes back from ``filter_in_roi`` as a copy with ``roi_id`` and ``roi_name``,
    the ids and names of the zones that matched it; the detection passed in is left as it was.
    """

    roi_id: List[str]
    roi_name: List[str]

    def __init__(self, tlwh: Sequence[float], **fields: Any) -> None:
        if "info" in fields:
            raise TypeError("a Detection has no info mapping; an item with one is a Track")
        self.tlwh: Box = _box(tlwh)
        self.__dict__.update(fields)

    def __getattr__(self, name: str) -> Any:  # fields given as keywords; typed as Any
        raise AttributeError("%r object has no attribute %r" % (type(self).__name__, name))

    def __repr__(self) -> str:
        fields = ", ".join("%s=%r" % kv for kv in vars(self).items() if kv[0] != "tlwh")
        return "Detection(%r%s)" % (self.tlwh, ", " + fields if fields else "")


class Track:
    """A track: the fallback box ``tlwh`` and the ``info`` mapping (``info["rect"]``, when present,
    is the box the gate reads).

    A kept track comes back as a copy that shares ``info`` with the track passed in; the gate writes
    the matched zones' ids and names into it under ``"roi_id"`` and ``"roi_name"``.
    """

    def __init__(self, tlwh: Sequence[float], info: Optional[Dict[str, Any]] = None) -> None:
        self.tlwh: Box = _box(tlwh)
        self.info: Dict[str, Any] = {} if info is None else info
        if "rect" in self.info:
            _box(self.info["rect"])

    def __repr__(self) -> str:
        return "Track(%r, %r)" % (self.tlwh, self.info)
