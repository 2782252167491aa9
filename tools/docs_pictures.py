"""Draws the README's pictures into docs/ with the kit's own commands.

docs/quillo-demo.png: `quillo demo --seed 3`. docs/quillo-zones.png: `quillo zones` over a synthetic
camera frame, with detections and tracks kept, dropped outside every zone and dropped in an exclusion.
Run: .venv/bin/python tools/docs_pictures.py
"""

from __future__ import annotations

import json
import pathlib
import subprocess
import sys
import tempfile

import numpy as np
from PIL import Image

DOCS = pathlib.Path(__file__).resolve().parent.parent / "docs"

ZONES = [
    {"roi_id": "terrace", "label": "Caf\u00e9 terrasse \u2014 \u00c6r\u00f8", "include": True,
     "points": [[0.05, 0.1], [0.5, 0.1], [0.5, 0.9], [0.05, 0.9]]},
    {"roi_id": "pillar", "label": "S\u00e4ule", "include": False,
     "points": [[0.2, 0.3], [0.35, 0.3], [0.35, 0.5], [0.2, 0.5]]},
    {"roi_id": "lane", "label": "Very long zone name that runs along the right edge", "include": True,
     "points": [[0.55, 0.05], [0.99, 0.05], [0.99, 0.6], [0.55, 0.6]]},
]
ITEMS = [  # pixel boxes on an 800x450 frame
    {"tlwh": [100, 90, 60, 110], "label": "person", "score": 0.91},
    {"tlwh": [205, 160, 45, 90], "label": "person", "score": 0.62},  # in the pillar's exclusion
    {"tlwh": [450, 255, 36, 55], "class": "cart"},  # outside every zone
    {"tlwh": [690, 345, 55, 72]},  # outside, no class: labelled by its index
    {"tlwh": [0, 0, 1, 1], "info": {"rect": [562, 125, 62, 48], "track_id": 12, "label": "forklift"}},
    {"tlwh": [0, 0, 1, 1], "info": {"rect": [60, 310, 190, 95], "track_id": 3, "label": "van"}},
]


def frame(path: pathlib.Path, width: int = 800, height: int = 450) -> None:
    """A smooth synthetic frame with soft shapes, as a camera's would be."""
    y, x = np.mgrid[0:height, 0:width].astype(float)
    pixels = np.stack([60 + 150 * x / width, 90 + 120 * y / height, 140 + 60 * np.sin(x / 90) * np.cos(y / 70)], -1)
    for cx, cy, r, color in ((560, 125, 62, (170, 190, 60)), (150, 360, 90, (80, 80, 85))):
        inside = (x - cx) ** 2 + (y - cy) ** 2 < r * r
        pixels[inside] = color
    Image.fromarray(pixels.clip(0, 255).astype(np.uint8)).save(path)


def quillo(*args: str) -> None:
    subprocess.run([sys.executable, "-m", "quillo_sdk", *args], check=True)


def main() -> None:
    with tempfile.TemporaryDirectory() as work:
        folder = pathlib.Path(work)
        frame(folder / "frame.png")
        (folder / "zones.json").write_text(json.dumps(ZONES, ensure_ascii=False))
        (folder / "detections.json").write_text(json.dumps(ITEMS))
        quillo("zones", str(folder / "zones.json"), str(folder / "detections.json"), "--image",
               str(folder / "frame.png"), "--out", str(DOCS) + "/")
    quillo("demo", "--seed", "3", "--out", str(DOCS / "quillo-demo.png"))


if __name__ == "__main__":
    main()
