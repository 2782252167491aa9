"""LatestQueue against queue.Queue and collections.deque, measured in one run."""

import collections
import os
import queue
import sys

from _timing import best_of, per_item_ns, row

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


def main():
    print(f"python {sys.version.split()[0]}")
    a = best_of(reference("A"), 3)
    b = best_of(reference("B"), 3)
    print(f"reference ({CYCLES} cycles of drain + {CAPACITY} puts, capacity {CAPACITY}):")
    print(f"  A drain_fast: {a * 1e3:.1f} ms   B get_nowait loop: {b * 1e3:.1f} ms   ratio B/A = {b / a:.2f}")
    if QUICK:
        return

    n = 200_000
    print("put, per item (queue kept full, so every LatestQueue put also drops one):")
    full = LatestQueue(1000)
    puts(full, 1000)()
    latest_ns = per_item_ns(puts(full, n), n)
    plain = queue.Queue()
    queue_ns = per_item_ns(lambda: (puts(plain, n)(), plain.queue.clear()), n)
    bounded_deque = collections.deque(maxlen=1000)
    deque_ns = per_item_ns(puts(bounded_deque, n), n)
    row("LatestQueue.put", latest_ns, "queue.Queue.put", queue_ns)
    row("LatestQueue.put", latest_ns, "deque(maxlen).append", deque_ns)

    print("removing 1000 items, per item:")
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
    row("drain_fast(1000)", drain_ns, "get_nowait loop", loop_ns)

    print("inherited get_nowait (the fields live behind descriptors):")
    def get_loop(make):
        q = make()
        def run():
            q.queue.extend(range(50_000))
            q.unfinished_tasks += 50_000
            nowait_loop(q)
        return run
    mine = per_item_ns(get_loop(lambda: LatestQueue(-1)), 50_000)
    base = per_item_ns(get_loop(queue.Queue), 50_000)
    row("LatestQueue.get_nowait", mine, "queue.Queue.get_nowait", base)


if __name__ == "__main__":
    main()
