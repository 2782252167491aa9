"""Zone monitor update against filter_in_roi on the same frame, and its memory over many updates.

Peer: ZoneGate.filter_in_roi on the same 100 tracks and 6 zones (the monitor's budget is 1.5x it).
Memory: 10**6 updates with tracks coming and going; RSS and the tracemalloc total at start and end.
Run: python benchmarks/bench_zone_monitor.py
"""

from __future__ import annotations

import gc
import resource
import sys

import numpy as np

from bench_zone_gate import Track, make_boxes, make_records
from _timing import best_of

from quillo_sdk.roi.zone_gate import ZoneGate, ZoneMonitor


def rss_kib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def speed(gate, frame, rounds=200):
    monitor = ZoneMonitor(gate)
    clock = [0.0]

    def update():
        for _ in range(rounds):
            clock[0] += 0.04
            monitor.update(frame, timestamp=clock[0])

    def filtered():
        for _ in range(rounds):
            gate.filter_in_roi(frame)

    update()  # the tracks are known from here on
    mon = best_of(update) / rounds * 1e6
    flt = best_of(filtered) / rounds * 1e6
    print(f"  update, 100 tracks x 6 zones      {mon:8.2f} us")
    print(f"  filter_in_roi, same frame         {flt:8.2f} us   ratio update/filter {mon / flt:5.2f}x (budget 1.50x)")


def memory(gate, boxes, updates):
    monitor = ZoneMonitor(gate, min_frames=2, lost_after=0.2)
    tracks = [Track(b, 0) for b in boxes[:20]]

    def run(start, stop):
        for i in range(start, stop):
            for k, t in enumerate(tracks):
                t.track_id = i // 50 * 20 + k  # all 20 ids change every 50 updates
            monitor.update(tracks, timestamp=i * 0.04)

    run(0, 10_000)
    gc.collect()
    start = rss_kib()
    run(10_000, 10_000 + updates)
    gc.collect()
    end = rss_kib()
    totals = monitor.totals()
    entered = sum(t["entered"] for t in totals.values())
    print(f"  {updates} updates, {updates // 50 * 20} track ids: RSS start {start} KiB, end {end} KiB"
          f" (+{end - start} KiB); entries {entered}")


def main():
    rng = np.random.default_rng(7)
    gate = ZoneGate(make_records(rng))
    boxes = make_boxes(rng, 100, gate)
    frame = [Track(b, k) for k, b in enumerate(boxes)]
    print("zone monitor")
    speed(gate, frame)
    memory(gate, boxes, 10**6 if "--quick" not in sys.argv else 10**5)


if __name__ == "__main__":
    main()
