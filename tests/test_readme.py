"""The README's Python blocks run as written, against the development backend, and type-check."""

import os
import pathlib
import re
import subprocess
import sys

import pytest

from quillo_sdk.devserver import DevServer, write_token_file

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
BLOCKS = re.findall(r"^```python\n(.*?)^```", README.read_text(encoding="utf-8"), flags=re.S | re.M)


def test_readme_has_python_blocks():
    assert BLOCKS


@pytest.mark.parametrize("block", BLOCKS, ids=lambda b: "block%d" % BLOCKS.index(b))
def test_readme_block_runs_as_written(tmp_path, block):
    pytest.importorskip("quillo_sdk.model.fetch")
    with DevServer() as server:
        write_token_file(str(tmp_path / "token.txt"), server.token)
        env = dict(os.environ, SERVER_HOST=server.base_url, QUILLO_TOKEN_FILE=str(tmp_path / "token.txt"),
                   QUILLO_MODEL_DIR=str(tmp_path / "models"))
        run = subprocess.run([sys.executable, "-c", block], cwd=tmp_path, env=env, capture_output=True, text=True,
                             timeout=120)
    assert run.returncode == 0, run.stderr
    assert "Traceback" not in run.stderr


@pytest.mark.parametrize("block", BLOCKS, ids=lambda b: "block%d" % BLOCKS.index(b))
def test_readme_block_passes_mypy_strict(tmp_path, block):
    example = tmp_path / "readme_example.py"
    example.write_text(block)
    run = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", str(example)],
                         capture_output=True, text=True, cwd=tmp_path)
    assert run.returncode == 0, run.stdout + run.stderr


def test_detection_and_track_items_go_through_the_gate():
    zone_gate = pytest.importorskip("quillo_sdk.roi.zone_gate")
    from quillo_sdk.roi import Detection, Track

    gate = zone_gate.ZoneGate([{"roi_id": "z1", "label": "bay", "include": True,
                                "points": [[0.2, 0.2], [0.8, 0.2], [0.8, 0.8], [0.2, 0.8]]}], [100, 100])
    inside, outside = Detection((45, 45, 10, 10), label="person"), Detection([0, 0, 0.1, 0.1])
    track = Track([0, 0, 0.1, 0.1], {"rect": (0.45, 0.45, 0.1, 0.1), "track_id": 3})
    kept = gate.filter_in_roi([inside, outside, track])
    assert [k.roi_id for k in kept[:1]] == [["z1"]] and kept[0].label == "person" and kept[0].roi_name == ["bay"]
    assert not hasattr(inside, "roi_id")  # the copy carries the annotation
    assert kept[1].info is track.info and track.info["roi_name"] == ["bay"]
    assert len(kept) == 2


@pytest.mark.parametrize("make, error", [
    (lambda D, T: D([1, 2, 3]), ValueError),
    (lambda D, T: D([1, 2, 3, 4], info={}), TypeError),
    (lambda D, T: T([1, 2, 3, 4], {"rect": [1]}), ValueError),
])
def test_items_refuse_shapes_the_gate_would_fail_on_later(make, error):
    from quillo_sdk.roi import Detection, Track

    with pytest.raises(error):
        make(Detection, Track)


def model_type_rows():
    """The Model types table: (order, expected type, folder, files) per row."""
    rows = re.findall(r"^\| (\d) \| .*? \| `(\w+)` \| `([^`]+)/`: (.*?) \|$", README.read_text(encoding="utf-8"), re.M)
    return [(int(order), kind, folder, re.findall(r"`([^`]+)`", files)) for order, kind, folder, files in rows]


def test_model_type_table_lists_every_rule_in_order():
    assert [row[0] for row in model_type_rows()] == list(range(1, 10))


@pytest.mark.parametrize("order, kind, folder, files", model_type_rows(), ids=lambda v: str(v))
def test_model_type_table_examples_give_their_type(tmp_path, order, kind, folder, files):
    fetch = pytest.importorskip("quillo_sdk.model.fetch")
    model = tmp_path / folder
    for name in files:
        (model / name).parent.mkdir(parents=True, exist_ok=True)
        (model / name).write_bytes(b"x")
    assert fetch.check_model_type(str(model)) == kind


@pytest.mark.parametrize("files", [["model.onnx"], ["model.engine"], ["model.pt"]])
def test_what_the_readme_calls_unknown_is_unknown(tmp_path, files):
    fetch = pytest.importorskip("quillo_sdk.model.fetch")
    for name in files:
        (tmp_path / name).write_bytes(b"x")
    assert fetch.check_model_type(str(tmp_path)) is None
