"""generate_event_id against a pure-Python generator and uuid.uuid4(), in one run."""

import threading
import uuid

from _timing import per_item_ns, row

from quillo_sdk.logging.log_id import EventType, LogIDGenerator


class PyGenerator:
    def __init__(self, node_id, source_idx):
        self._lock = threading.Lock()
        self._events = 0
        self._tail = f"-{node_id[:8]}-{source_idx}-"

    def generate_event_id(self, event_type=EventType.EVENT):
        with self._lock:
            self._events += 1
            n = self._events
        return f"EVT-{event_type.value}{self._tail}{n}"


def loop(fn, n):
    def run():
        for _ in range(n):
            fn()
    return run


def main():
    n = 200_000
    kit = LogIDGenerator(node_id="abcdef1234567890", source_idx=2)
    py = PyGenerator("abcdef1234567890", 2)
    kit_ns = per_item_ns(loop(kit.generate_event_id, n), n)
    row("generate_event_id()", kit_ns, "pure Python", per_item_ns(loop(py.generate_event_id, n), n))
    row("generate_event_id()", kit_ns, "uuid.uuid4()", per_item_ns(loop(uuid.uuid4, n), n))
    typed = lambda: kit.generate_event_id(EventType.START)  # noqa: E731
    py_typed = lambda: py.generate_event_id(EventType.START)  # noqa: E731
    row("generate_event_id(EventType.START)", per_item_ns(loop(typed, n), n), "pure Python",
        per_item_ns(loop(py_typed, n), n))


if __name__ == "__main__":
    main()
