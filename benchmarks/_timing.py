"""Small timing helpers shared by the benchmark scripts."""

import time


def best_of(fn, repeat=5):
    """Fastest of `repeat` runs of fn(), in seconds (least disturbed by other load)."""
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def per_item_ns(fn, items, repeat=5):
    return best_of(fn, repeat) / items * 1e9


def row(label, ns, peer_label=None, peer_ns=None):
    text = f"  {label:<44} {ns:9.1f} ns"
    if peer_ns is not None:
        text += f"   {peer_label}: {peer_ns:9.1f} ns   ratio {peer_ns / ns:6.2f}x"
    print(text)
