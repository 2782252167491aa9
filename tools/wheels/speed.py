"""The installed kit's speed, as one JSON line: the queue's reference ratio and
the zone gate's cost per item, from the benchmarks' own frames.

Run with the interpreter whose kit is measured; tools/wheels/test.py runs it
for the wheel's venv and the in-place build's, one after the other.
"""

import json
import os
import pathlib
import subprocess
import sys
import timeit

BENCHMARKS = pathlib.Path(__file__).resolve().parents[2] / "benchmarks"
sys.path.insert(0, str(BENCHMARKS))

import numpy as np  # noqa: E402
from bench_zone_gate import ZoneGate, make_frames, make_records  # noqa: E402


def gate_ns_per_item() -> dict:
    rng = np.random.default_rng(42)
    gate = ZoneGate(make_records(rng))
    frames = make_frames(rng, gate)
    result = {}
    for name in ("100 detections", "1000 tracks"):
        items = frames[name]
        timer = timeit.Timer(lambda: gate.filter_in_roi(items))
        number, _ = timer.autorange()
        result[name] = min(timer.repeat(5, number)) / number / len(items) * 1e9
    return result


def queue_ratio() -> float:
    run = subprocess.run([sys.executable, str(BENCHMARKS / "bench_latestq.py")], capture_output=True, text=True,
                         check=True, env=dict(os.environ, QUILLO_BENCH_QUICK="1"))
    return float(run.stdout.rsplit("ratio B/A = ", 1)[1].split()[0])


if __name__ == "__main__":
    import quillo_sdk.roi.zone_gate as module

    print(json.dumps({"module": module.__file__, "queue_ratio": queue_ratio(), "gate_ns": gate_ns_per_item()}))
