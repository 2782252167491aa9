"""A small RGB rasteriser and PNG writer (numpy + zlib), enough to picture zones and anchor points.

The kit's tools draw a handful of polygons, points and labels; an imaging library would be a heavy
dependency for that.
"""

from __future__ import annotations

import struct
import zlib
from typing import Iterable, Mapping, Optional, Sequence, Tuple

import numpy as np

Color = Tuple[int, int, int]
Point = Tuple[float, float]

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"

# 5x7 glyphs, one byte per column, bit 0 at the top.
_FONT = {
    " ": "0000000000", "!": "00005f0000", "%": "2313086462", "'": "0005030000", "(": "001c224100",
    ")": "0041221c00", "+": "08083e0808", ",": "0050300000", "-": "0808080808", ".": "0060600000",
    "/": "2010080402", ":": "0036360000", "=": "1414141414", "?": "0201510906", "_": "4040404040",
    "#": "147f147f14", "<": "0814224100", ">": "0041221408", "*": "142a7f2a14", "|": "00007f0000",
    "0": "3e5149453e", "1": "00427f4000", "2": "4261514946", "3": "2141454b31", "4": "1814127f10",
    "5": "2745454539", "6": "3c4a494930", "7": "0171090503", "8": "3649494936", "9": "064949291e",
    "A": "7c1211127c", "B": "7f49494936", "C": "3e41414122", "D": "7f4141221c", "E": "7f49494941",
    "F": "7f09090901", "G": "3e4149497a", "H": "7f0808087f", "I": "00417f4100", "J": "2040413f01",
    "K": "7f08142241", "L": "7f40404040", "M": "7f020c027f", "N": "7f0408107f", "O": "3e4141413e",
    "P": "7f09090906", "Q": "3e4151215e", "R": "7f09192946", "S": "4649494931", "T": "01017f0101",
    "U": "3f4040403f", "V": "1f2040201f", "W": "3f4038403f", "X": "6314081463", "Y": "0708700807",
    "Z": "6151494543",
}
GLYPH_W, GLYPH_H = 6, 8  # cell size including spacing
# Coordinates are clamped to this many pixels: far off any canvas, yet small enough that the edge
# arithmetic neither overflows nor loses the canvas-sized differences.
COORD_LIMIT = 1e6


def _clamp(value: float) -> float:
    if value != value:  # NaN: nowhere near the canvas
        return -COORD_LIMIT
    return min(max(float(value), -COORD_LIMIT), COORD_LIMIT)


def _point(p: Sequence[float]) -> Point:
    return _clamp(p[0]), _clamp(p[1])


def write_png(path: str, rgb: np.ndarray) -> None:
    """Write an H×W×3 ``uint8`` array as an 8-bit RGB PNG."""
    height, width, _ = rgb.shape
    rows = np.empty((height, 1 + width * 3), dtype=np.uint8)
    rows[:, 0] = 0  # filter type "none" on every row
    rows[:, 1:] = rgb.reshape(height, width * 3)

    def chunk(kind: bytes, data: bytes) -> bytes:
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    with open(path, "wb") as out:
        out.write(PNG_SIGNATURE + chunk(b"IHDR", header)
                  + chunk(b"IDAT", zlib.compress(rows.tobytes(), 6)) + chunk(b"IEND", b""))


class Canvas:
    """An RGB image with pixel coordinates (x to the right, y down); shapes are clipped to it."""

    def __init__(self, width: int, height: int, background: Color = (255, 255, 255)) -> None:
        self.width, self.height = width, height
        self.pixels = np.empty((height, width, 3), dtype=np.uint8)
        self.pixels[:] = background

    def _window(self, xs: Sequence[float], ys: Sequence[float], pad: float = 0.0):
        x0 = max(int(np.floor(min(xs) - pad)), 0)
        x1 = min(int(np.ceil(max(xs) + pad)) + 1, self.width)
        y0 = max(int(np.floor(min(ys) - pad)), 0)
        y1 = min(int(np.ceil(max(ys) + pad)) + 1, self.height)
        if x0 >= x1 or y0 >= y1:
            return None
        gy, gx = np.mgrid[y0:y1, x0:x1]
        return (slice(y0, y1), slice(x0, x1)), gx + 0.5, gy + 0.5

    def _paint(self, where, mask: np.ndarray, color: Color, alpha: float) -> None:
        region = self.pixels[where]
        if alpha >= 1.0:
            region[mask] = color
        else:
            blended = region[mask] * (1.0 - alpha) + np.asarray(color, dtype=float) * alpha
            region[mask] = blended.round().astype(np.uint8)

    def polygon(self, points: Sequence[Point], color: Color, alpha: float = 1.0,
                hatch: int = 0) -> None:
        """Fill a polygon (even-odd rule, pixel centres); ``hatch`` > 0 fills diagonal stripes only."""
        if len(points) < 3:
            return
        points = [_point(p) for p in points]
        xs, ys = [p[0] for p in points], [p[1] for p in points]
        window = self._window(xs, ys)
        if window is None:
            return
        where, gx, gy = window
        inside = np.zeros(gx.shape, dtype=bool)
        for (xa, ya), (xb, yb) in zip(points, list(points[1:]) + [points[0]]):
            if ya == yb:
                continue
            crosses = (ya > gy) != (yb > gy)
            x_at = xa + (gy - ya) * (xb - xa) / (yb - ya)
            inside ^= crosses & (gx < x_at)
        if hatch > 0:
            inside &= ((gx + gy) // hatch).astype(int) % 2 == 0
        self._paint(where, inside, color, alpha)

    def line(self, a: Point, b: Point, color: Color, width: float = 1.0) -> None:
        a, b = _point(a), _point(b)
        half = width / 2.0
        window = self._window((a[0], b[0]), (a[1], b[1]), pad=half + 1)
        if window is None:
            return
        where, gx, gy = window
        dx, dy = b[0] - a[0], b[1] - a[1]
        length2 = dx * dx + dy * dy
        t = np.zeros(gx.shape) if length2 == 0 else np.clip(((gx - a[0]) * dx + (gy - a[1]) * dy) / length2, 0, 1)
        dist2 = (gx - (a[0] + t * dx)) ** 2 + (gy - (a[1] + t * dy)) ** 2
        self._paint(where, dist2 <= half * half, color, 1.0)

    def outline(self, points: Sequence[Point], color: Color, width: float = 2.0) -> None:
        for a, b in zip(points, list(points[1:]) + [points[0]]):
            self.line(a, b, color, width)

    def dot(self, center: Point, radius: float, color: Color, ring: Optional[Color] = None) -> None:
        cx, cy = _point(center)
        window = self._window((cx,), (cy,), pad=radius + 1)
        if window is None:
            return
        where, gx, gy = window
        dist2 = (gx - cx) ** 2 + (gy - cy) ** 2
        self._paint(where, dist2 <= radius * radius, color, 1.0)
        if ring is not None:
            self._paint(where, (dist2 <= radius * radius) & (dist2 >= (radius - 1.2) ** 2), ring, 1.0)

    def cross(self, center: Point, radius: float, color: Color, width: float = 2.0) -> None:
        cx, cy = center
        self.line((cx - radius, cy - radius), (cx + radius, cy + radius), color, width)
        self.line((cx - radius, cy + radius), (cx + radius, cy - radius), color, width)

    def rect(self, x: float, y: float, w: float, h: float, color: Color, alpha: float = 1.0) -> None:
        self.polygon([(x, y), (x + w, y), (x + w, y + h), (x, y + h)], color, alpha)

    @staticmethod
    def text_size(text: str, scale: int = 2) -> Tuple[int, int]:
        return len(text) * GLYPH_W * scale, GLYPH_H * scale

    def text(self, x: int, y: int, text: str, color: Color, scale: int = 2,
             background: Optional[Color] = None) -> None:
        """Draw ``text`` in upper-case 5x7 glyphs with its top-left corner at (x, y)."""
        text = text.upper()
        if background is not None:
            w, h = self.text_size(text, scale)
            self.rect(x - scale, y - scale, w + scale, h + scale, background, 0.85)
        for i, ch in enumerate(text):
            columns = bytes.fromhex(_FONT.get(ch, _FONT["?"]))
            for cx, bits in enumerate(columns):
                for cy in range(7):
                    if bits >> cy & 1:
                        px, py = x + (i * GLYPH_W + cx) * scale, y + cy * scale
                        if 0 <= px < self.width - scale + 1 and 0 <= py < self.height - scale + 1:
                            self.pixels[py: py + scale, px: px + scale] = color

    def save(self, path: str) -> None:
        write_png(path, self.pixels)


# --- zones and anchor points ---------------------------------------------------------------------

ZONE_COLORS: Sequence[Color] = ((31, 119, 180), (44, 160, 44), (148, 103, 189), (23, 190, 207),
                                (188, 189, 34), (140, 86, 75))
EXCLUSION_COLOR: Color = (214, 39, 40)
KEPT_COLOR: Color = (0, 150, 60)
DROPPED_COLOR: Color = (190, 0, 0)
INK: Color = (40, 40, 40)


def draw_zones(path: str, zones: Iterable[Mapping], kept: Iterable[Point], dropped: Iterable[Point],
               size: Tuple[int, int] = (960, 540), title: str = "") -> None:
    """Picture region records (vertices in frame fractions) and anchor points (frame fractions):
    include zones filled in colour, exclusion zones hatched in red, kept anchors as green dots,
    dropped anchors as red crosses, with a legend below."""
    width, height = size
    legend_h = 56
    # Zones and points are drawn on the frame alone, so that shapes reaching past it stay off the legend.
    frame = Canvas(width, height, background=(236, 238, 241))
    for gx in range(1, 10):  # a tenth grid, to read positions off the picture
        frame.line((gx * width / 10, 0), (gx * width / 10, height), (222, 224, 228), 1)
        frame.line((0, gx * height / 10), (width, gx * height / 10), (222, 224, 228), 1)

    def px(p: Sequence[float]) -> Point:
        return _clamp(float(p[0]) * width), _clamp(float(p[1]) * height)

    zones = list(zones)
    labels = []
    include_index = 0
    for zone in zones:
        points = [px(p) for p in zone.get("points", [])]
        if len(points) < 3:
            continue
        if zone.get("include"):
            color = ZONE_COLORS[include_index % len(ZONE_COLORS)]
            include_index += 1
            frame.polygon(points, color, alpha=0.22)
            frame.outline(points, color, 3)
        else:
            color = EXCLUSION_COLOR
            frame.polygon(points, color, alpha=0.45, hatch=8)
            frame.outline(points, color, 2)
        label = str(zone.get("label", "") or zone.get("roi_id", ""))
        if label:
            if not zone.get("include"):
                label = "EXCLUDE " + label
            top = min(points, key=lambda p: (p[1], p[0]))
            labels.append((int(top[0]) + 4, int(top[1]) + 6, label, color))
    for x, y in dropped:
        frame.cross(px((x, y)), 4.5, DROPPED_COLOR, 2.5)
    for x, y in kept:
        frame.dot(px((x, y)), 5, KEPT_COLOR, ring=(255, 255, 255))
    for x, y, label, color in labels:
        w, h = Canvas.text_size(label)
        x = min(max(x, 2), width - w - 2)
        y = min(max(y, 2), height - h - 2)
        frame.text(x, y, label, color, background=(255, 255, 255))

    canvas = Canvas(width, height + legend_h, background=(250, 250, 250))
    canvas.pixels[:height] = frame.pixels
    base = height + 12
    canvas.dot((18, base + 8), 5, KEPT_COLOR, ring=(255, 255, 255))
    canvas.text(30, base + 1, "kept anchor", INK)
    canvas.cross((210, base + 8), 5, DROPPED_COLOR, 2)
    canvas.text(222, base + 1, "dropped anchor", INK)
    canvas.polygon([(410, base), (432, base), (432, base + 16), (410, base + 16)], EXCLUSION_COLOR,
                   alpha=0.6, hatch=6)
    canvas.text(440, base + 1, "exclusion", INK)
    if title:
        w, _ = Canvas.text_size(title)
        canvas.text(max(width - w - 10, 600), base + 1, title, INK)
    canvas.save(path)
