"""LatestQueue against queue.Queue and collections.deque, measured in one run."""

import collections
import json
import os
import queue
import subprocess
import sys

from _timing import best_of, per_item_ns

from quillo_sdk.structures.latestq import LatestQueue

# QUILLO_BENCH_QUICK=1: the reference ratio alone, on a short run (the test matrix uses it).
QUICK = os.environ.get("QUILLO_BENCH_QUICK") == "1"
CAPACITY, CYCLES = 1000, 100 if QUICK else 500


def reference(variant):
    """Fill to capacity, then CYCLES times: remove everything, put CAPACITY items back."""
    q = LatestQueue(CAPACITY)
    for i in range(CAPACITY):
        q.put(i)
    put, drain, get_nowait, Empty = q.put, q.drain_fast, q.get_nowait, queue.Empty

    def run():
        for _ in range(CYCLES):
            if variant == "A":
                drain(CAPACITY)
            else:
                try:
                    while True:
                        get_nowait()
                except Empty:
                    pass
            for i in range(CAPACITY):
                put(i)

    return run


def puts(q, n):
    put = q.put if not isinstance(q, collections.deque) else q.append

    def run():
        for i in range(n):
            put(i)

    return run


def measure():
    """The kit's figures and their peers, as a list of (label, ns, peer label, peer ns)."""
    a = best_of(reference("A"), 3)
    b = best_of(reference("B"), 3)
    rows = [(f"reference A drain_fast ({CYCLES} cycles, ms)", a * 1e3, "B get_nowait loop", b * 1e3)]
    if QUICK:
        return rows

    n = 200_000
    full = LatestQueue(1000)
    puts(full, 1000)()
    latest_ns = per_item_ns(puts(full, n), n)
    plain = queue.Queue()
    queue_ns = per_item_ns(lambda: (puts(plain, n)(), plain.queue.clear()), n)
    bounded_deque = collections.deque(maxlen=1000)
    deque_ns = per_item_ns(puts(bounded_deque, n), n)
    rows.append(("LatestQueue.put (full: drops one)", latest_ns, "queue.Queue.put", queue_ns))
    rows.append(("LatestQueue.put (full: drops one)", latest_ns, "deque(maxlen).append", deque_ns))

    def drained(take):
        q = LatestQueue(1000)

        def run():
            for _ in range(50):
                q.queue.extend(range(1000))
                q.unfinished_tasks += 1000
                take(q)

        return run

    def nowait_loop(q):
        try:
            while True:
                q.get_nowait()
        except queue.Empty:
            pass

    drain_ns = per_item_ns(drained(lambda q: q.drain_fast(1000)), 50_000)
    loop_ns = per_item_ns(drained(nowait_loop), 50_000)
    rows.append(("drain_fast(1000), per item", drain_ns, "get_nowait loop", loop_ns))

    def get_loop(make):
        q = make()

        def run():
            q.queue.extend(range(50_000))
            q.unfinished_tasks += 50_000
            nowait_loop(q)

        return run

    mine = per_item_ns(get_loop(lambda: LatestQueue(-1)), 50_000)
    base = per_item_ns(get_loop(queue.Queue), 50_000)
    rows.append(("LatestQueue.get_nowait (inherited)", mine, "queue.Queue.get_nowait", base))
    return rows


def portable_rows():
    """The same figures on the documented twins, measured in a child process."""
    env = dict(os.environ, QUILLO_SDK_PORTABLE="1")
    child = subprocess.run([sys.executable, __file__, "--rows"], env=env, capture_output=True, text=True,
                           timeout=600, check=True)
    return json.loads(child.stdout)


def main():
    if "--rows" in sys.argv:
        print(json.dumps(measure()))
        return
    if QUICK:
        _, a, _, b = measure()[0]
        print(f"python {sys.version.split()[0]}: A drain_fast {a:.1f} ms, B get_nowait loop {b:.1f} ms, ratio B/A = {b / a:.2f}")
        return
    print(f"python {sys.version.split()[0]}; each row: fast shortcuts | documented twins (QUILLO_SDK_PORTABLE=1)")
    for fast, portable in zip(measure(), portable_rows()):
        label, ns, peer, peer_ns = fast
        cells = [f"{value:9.1f} (peer {peer_value:9.1f}, ratio {peer_value / value:6.2f}x)"
                 for value, peer_value in ((ns, peer_ns), (portable[1], portable[3]))]
        print(f"  {label:<42} vs {peer:<22} {cells[0]} | {cells[1]}")
    print("  (ms for the reference row, ns per item otherwise; the reference's ratio is ratio B/A)")


if __name__ == "__main__":
    main()
