import logging
import queue
import random
import threading
import time

import pytest

from quillo_sdk.structures.latestq import LatestQueue


def drain_all(q):
    out = []
    while True:
        try:
            out.append(q.get_nowait())
        except queue.Empty:
            return out


def filled(capacity, items, **kwargs):
    q = LatestQueue(capacity, **kwargs)
    for item in items:
        q.put(item)
    return q


@pytest.mark.parametrize(
    "capacity, items, expected",
    [
        (5, [42], [42]),
        (5, [1, 2, 3], [1, 2, 3]),
        (3, [1, 2, 3, 4], [2, 3, 4]),
        (4, range(10), [6, 7, 8, 9]),
        (1, range(5), [4]),
        (5, range(5), [0, 1, 2, 3, 4]),
        (3, [], []),
    ],
)
def test_keeps_the_newest_items_in_order(capacity, items, expected):
    q = filled(capacity, items)
    assert q.qsize() == len(expected)
    assert drain_all(q) == expected


def test_is_a_real_queue_subclass_sharing_its_state():
    q = LatestQueue(4)
    assert isinstance(q, queue.Queue) and q.empty()
    q.put_nowait("a")  # the base forwards to put
    q.put("b", block=False, timeout=0.1)
    with q.mutex:  # the inherited lock is the one put takes
        assert list(q.queue) == ["a", "b"]
    assert q.get() == "a" and q.get(timeout=0.1) == "b"
    assert q.maxsize == 4 and q.unfinished_tasks == 2


def test_class_documentation_and_text_annotations():
    assert LatestQueue.__doc__.splitlines()[1] == "thread safe rolling queue"
    assert LatestQueue.put.__annotations__ == {
        "item": "Any", "block": "bool", "timeout": "float | None", "return": "None",
    }
    assert LatestQueue.__init__.__annotations__ == {"batch_size": "int", "return": "None"}
    assert LatestQueue.drain_fast.__annotations__ == {"max_items": "int"}
    doc = LatestQueue.drain_fast.__doc__
    assert "mutex" in doc and "get_nowait" in doc and "join" in doc
    LatestQueue.drain_fast.__doc__ = doc  # settable, as on a Python function
    import inspect

    sig = inspect.signature(LatestQueue(1).drain_fast)
    assert str(sig) == "(max_items: 'int', *, dest_factory=<class 'list'>, adjust_unfinished=True)"
    assert str(inspect.signature(LatestQueue.put)) == "(self, /, item, block=True, timeout=None)"


@pytest.mark.parametrize(
    "stored, max_items, expected, left",
    [
        ([10, 20, 30], 10, [10, 20, 30], 0),
        ([1, 2, 3, 4, 5], 3, [1, 2, 3], 2),
        ([], 10, [], 0),
        ([1, 2, 3], 0, [], 3),
        ([1, 2, 3], -5, [], 3),
        ([1, 2, 3], 2**100, [1, 2, 3], 0),
        ([1, 2, 3], -(2**100), [], 3),
    ],
)
def test_drain_fast_takes_the_oldest(stored, max_items, expected, left):
    q = filled(5, stored)
    result = q.drain_fast(max_items)
    assert type(result) is list and result == expected
    assert q.qsize() == left
    assert q.unfinished_tasks == left  # never below zero, unchanged for a negative request


def test_drain_fast_matches_get_nowait_on_overflow():
    numbers = [random.randint(0, 1000) for _ in range(20)]
    a, b = filled(10, numbers), filled(10, numbers)
    assert a.drain_fast(10) == drain_all(b) == numbers[-10:]


def test_dest_factory_receives_the_list():
    q = filled(5, [1, 2, 3])
    assert q.drain_fast(3, dest_factory=tuple) == (1, 2, 3)

    class MyList(list):
        pass

    q = filled(5, [1, 2])
    got = q.drain_fast(2, dest_factory=MyList)
    assert type(got) is MyList and got == [1, 2]


def test_failing_dest_factory_loses_nothing():
    q = filled(5, [1, 2, 3, 4])

    def explode(items):
        raise RuntimeError("no")

    with pytest.raises(RuntimeError):
        q.drain_fast(2, dest_factory=explode)
    assert q.unfinished_tasks == 4
    assert drain_all(q) == [1, 2, 3, 4]
    q.put(5)  # the lock was released


def test_task_counts():
    q = filled(5, [1, 2, 3])
    assert q.unfinished_tasks == 3
    q.drain_fast(2)
    assert q.unfinished_tasks == 1
    q.drain_fast(10, adjust_unfinished=False)
    assert q.unfinished_tasks == 1
    q = filled(5, [1, 2])
    q.task_done()
    q.task_done()
    q.put(3)
    q.drain_fast(10)  # count would go below zero
    assert q.unfinished_tasks == 0


def test_overflow_keeps_join_usable():
    q = filled(3, range(10))
    assert q.unfinished_tasks == 3  # dropped items are counted out
    for _ in range(3):
        q.get()
        q.task_done()
    q.join()  # returns at once


def test_drain_wakes_join():
    q = filled(5, [1, 2, 3])
    joined = threading.Event()
    t = threading.Thread(target=lambda: (q.join(), joined.set()))
    t.start()
    time.sleep(0.05)
    assert not joined.is_set()
    q.drain_fast(2)
    time.sleep(0.05)
    assert not joined.is_set()
    q.drain_fast(5)
    t.join(5)
    assert joined.is_set()


def test_put_wakes_a_waiting_get():
    q = LatestQueue(2)
    got = []
    t = threading.Thread(target=lambda: got.append(q.get(timeout=5)))
    t.start()
    time.sleep(0.05)
    q.put("x")
    t.join(5)
    assert got == ["x"]


def test_debug_logs_one_warning_per_drop(caplog):
    caplog.set_level(logging.WARNING)
    q = filled(2, [1, 2], debug=True)
    assert q.logger.name.endswith("RQ: ")
    assert caplog.records == []
    q.put(3)
    q.put(4)
    assert [(r.levelno, r.getMessage(), r.name) for r in caplog.records] == [
        (logging.WARNING, "Throwing away element", q.logger.name)
    ] * 2
    caplog.clear()
    quiet = filled(1, [1, 2, 3])
    assert caplog.records == [] and not hasattr(quiet, "logger") and quiet.debug is False


def test_failing_logger_changes_nothing():
    q = filled(2, [1, 2], debug=True)

    class Broken:
        def warning(self, message):
            raise OSError("disk full")

    q.logger = Broken()
    with pytest.raises(OSError):
        q.put(3)
    assert list(q.queue) == [1, 2] and q.unfinished_tasks == 2
    q.debug = False  # read afresh at every drop
    q.put(3)
    assert list(q.queue) == [2, 3]


def test_capacity_zero_refuses_every_put():
    q = LatestQueue(0)
    for item in range(3):
        with pytest.raises(IndexError):
            q.put(item)
    assert q.empty() and q.unfinished_tasks == 0
    q.put_nowait  # noqa: B018 - the lock was released each time
    assert q.mutex.acquire(blocking=False)
    q.mutex.release()


def test_negative_capacity_never_drops():
    q = filled(-1, range(50))
    assert q.qsize() == 50


def test_maxsize_is_read_afresh():
    q = filled(5, range(5))
    q.maxsize = 2.0 + 3  # any number that compares equal
    q.put(5)
    assert list(q.queue) == [1, 2, 3, 4, 5]


@pytest.mark.parametrize("bad", [True, 1.0, None, "3", type("MyInt", (int,), {})(3)])
def test_wrong_types_raise_the_standard_message(bad):
    with pytest.raises(TypeError) as info:
        LatestQueue(bad)
    assert str(info.value) == (
        f"Argument 'batch_size' has incorrect type (expected int, got {type(bad).__name__})"
    )
    q = filled(5, [1, 2])
    with pytest.raises(TypeError) as info:
        q.drain_fast(bad)
    assert str(info.value).startswith("Argument 'max_items' has incorrect type (expected int, got ")
    assert list(q.queue) == [1, 2]


@pytest.mark.parametrize(
    "call",
    [
        lambda q: q.put(),
        lambda q: q.put(1, True, None, 4),
        lambda q: q.put(1, colour="red"),
        lambda q: q.put(1, item=2),
        lambda q: q.drain_fast(),
        lambda q: q.drain_fast(1, list),
        lambda q: q.drain_fast(1, True, dest_factory=list),
        lambda q: q.drain_fast(1, dest=list),
        lambda q: LatestQueue(),
        lambda q: LatestQueue(1, False, 3),
        lambda q: LatestQueue(size=3),
        lambda q: LatestQueue.put(object(), 1),
        lambda q: LatestQueue.drain_fast(object(), 1),
        lambda q: LatestQueue.__init__(object(), 1),
    ],
)
def test_bad_calls_raise_type_error_and_change_nothing(call):
    q = filled(5, [1, 2])
    with pytest.raises(TypeError):
        call(q)
    assert list(q.queue) == [1, 2] and q.unfinished_tasks == 2


def test_uninitialised_instance_is_an_error_not_a_crash():
    q = LatestQueue.__new__(LatestQueue)
    with pytest.raises(AttributeError):
        q.put(1)
    with pytest.raises(AttributeError):
        q.drain_fast(1)


def test_subclass_hooks_are_used():
    class Recording(LatestQueue):
        def _put(self, item):
            super()._put(item * 10)

    q = Recording(2)
    for i in range(1, 4):
        q.put(i)
    assert q.drain_fast(5) == [20, 30]


def test_many_producers_and_consumers_lose_nothing():
    q = LatestQueue(100)
    producers, per_producer = 4, 3000
    done = threading.Event()
    received = {"drain": [], "get": [], "nowait": []}

    def produce(base):
        for i in range(per_producer):
            q.put((base, i))
            if i % 100 == 0:
                time.sleep(0)

    def consume(kind):
        mine = received[kind]
        while True:
            if kind == "drain":
                batch = q.drain_fast(7)
            else:
                try:
                    batch = [q.get(timeout=0.01) if kind == "get" else q.get_nowait()]
                    q.task_done()
                except queue.Empty:
                    batch = []
            mine.extend(batch)
            if not batch and done.is_set() and q.empty():
                return

    threads = [threading.Thread(target=produce, args=(p,)) for p in range(producers)]
    consumers = [threading.Thread(target=consume, args=(k,)) for k in received]
    for t in threads + consumers:
        t.start()
    for t in threads:
        t.join(30)
    done.set()
    for t in consumers:
        t.join(30)
    assert not any(t.is_alive() for t in threads + consumers)
    everything = [item for items in received.values() for item in items]
    assert len(everything) == len(set(everything))  # nothing received twice
    for items in received.values():  # each consumer sees every producer's items in order
        for p in range(producers):
            seq = [i for base, i in items if base == p]
            assert seq == sorted(seq)
    assert 0 < len(everything) <= producers * per_producer
    q.join()  # every received item was marked done: join returns after overflows
    assert q.unfinished_tasks == 0


def test_single_producer_batch_consumer_sees_increasing_items():
    q = LatestQueue(50)
    collected, lock = [], threading.Lock()
    finished = threading.Event()

    def produce():
        for i in range(500):
            q.put(i)
            time.sleep(0)
        finished.set()

    def consume():
        while not (finished.is_set() and q.empty()):
            batch = q.drain_fast(10)
            with lock:
                collected.extend(batch)
            time.sleep(0)

    threads = [threading.Thread(target=produce), threading.Thread(target=consume)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    assert collected == sorted(set(collected)) and collected[-1] == 499
    assert all(isinstance(i, int) and 0 <= i < 500 for i in collected)


def test_four_threads_fill_exactly_to_capacity():
    q = LatestQueue(100)
    threads = [threading.Thread(target=lambda b=b: [q.put(i) for i in range(b, b + 50)]) for b in range(0, 200, 50)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert q.qsize() == 100


# ---------------------------------------------------------------- shortcuts and their twins

from quillo_sdk.structures import latestq  # noqa: E402

QUEUE_SHORTCUTS = {"thread_lock_layout", "lock_semaphore", "deque_c_functions", "condition_waiters", "state_slot_offset"}


def test_every_shortcut_has_a_verdict_and_a_reason_when_off():
    assert set(latestq._shortcuts) == QUEUE_SHORTCUTS
    for name, (enabled, reason) in latestq._shortcuts.items():
        assert type(enabled) is bool, name
        assert (reason is None) if enabled else (isinstance(reason, str) and reason), name


def test_portable_setting_turns_every_shortcut_off():
    import os
    import subprocess
    import sys

    code = "from quillo_sdk.structures import latestq; print(repr(latestq._shortcuts))"
    env = dict(os.environ, QUILLO_SDK_PORTABLE="1")
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    verdicts = eval(out.stdout)  # a dict of tuples of bools and texts
    assert set(verdicts) == QUEUE_SHORTCUTS
    assert all(enabled is False and reason for enabled, reason in verdicts.values())


# ---------------------------------------------------------------- foreign code outside the lock

def run_bounded(fn, seconds=5):
    """Runs fn in a daemon thread; a deadlock fails the test instead of hanging it."""
    finished = []
    t = threading.Thread(target=lambda: (fn(), finished.append(True)), daemon=True)
    t.start()
    t.join(seconds)
    assert not t.is_alive(), "deadlocked"
    assert finished == [True]


class TouchesQueueOnDelete:
    def __init__(self, q, seen):
        self.q, self.seen = q, seen

    def __del__(self):
        self.seen.append(self.q.qsize())


def test_dropped_items_are_released_after_the_lock():
    seen = []
    q = LatestQueue(2)

    def three_puts():
        for _ in range(3):
            q.put(TouchesQueueOnDelete(q, seen))

    run_bounded(three_puts)
    assert seen == [2] and q.dropped == 1


@pytest.mark.parametrize("factory", [len, lambda items: None])
def test_drained_items_the_factory_keeps_none_of_are_released_after_the_lock(factory):
    seen = []
    q = LatestQueue(5)
    run_bounded(lambda: [q.put(TouchesQueueOnDelete(q, seen)) for _ in range(3)] and None)
    run_bounded(lambda: q.drain_fast(2, dest_factory=factory) and None)
    assert seen == [1, 1]


def test_a_deque_subclass_store_keeps_its_methods():
    import collections

    calls = []

    class Counting(collections.deque):
        def append(self, item):
            calls.append("append")
            super().append(item)

        def popleft(self):
            calls.append("popleft")
            return super().popleft()

    class Queue(LatestQueue):
        def _init(self, maxsize):
            self.queue = Counting()

    for q in (Queue(2), LatestQueue(2)):
        if type(q) is LatestQueue:
            q.queue = Counting()
        calls.clear()
        for i in range(3):
            q.put(i)
        assert q.drain_fast(1) == [1] and q.get() == 2
        assert calls == ["append", "append", "popleft", "append", "popleft", "popleft"]


# ---------------------------------------------------------------- dropped and on_drop

def test_dropped_counts_every_drop_and_is_read_only():
    q = filled(3, range(10))
    assert q.dropped == 7
    q.drain_fast(10)
    assert q.dropped == 7
    with pytest.raises(AttributeError):
        q.dropped = 0
    assert LatestQueue(1).dropped == 0


@pytest.mark.parametrize("bad", [3, "print"])
def test_on_drop_must_be_callable(bad):
    with pytest.raises(TypeError):
        LatestQueue(2, on_drop=bad)
    with pytest.raises(TypeError):
        LatestQueue(2, False, print)  # keyword only


def test_on_drop_gets_each_dropped_item_outside_the_lock():
    got = []
    q = LatestQueue(2, on_drop=lambda item: got.append((item, q.qsize())))
    run_bounded(lambda: [q.put(i) for i in range(5)] and None)
    assert got == [(0, 2), (1, 2), (2, 2)] and list(q.queue) == [3, 4]


def test_on_drop_error_reaches_put_with_the_new_item_stored():
    def refuse(item):
        raise RuntimeError(f"no room for {item}")

    q = filled(2, [1, 2], on_drop=refuse)
    with pytest.raises(RuntimeError, match="no room for 1"):
        q.put(3)
    assert list(q.queue) == [2, 3] and q.unfinished_tasks == 2 and q.dropped == 1
    q.put_nowait  # noqa: B018
    assert q.mutex.acquire(blocking=False)
    q.mutex.release()


def test_on_drop_recycles_buffers_under_concurrency():
    pool, pool_lock = list(range(200)), threading.Lock()
    put_count = [0]
    received = []

    def recycle(buffer):
        with pool_lock:
            pool.append(buffer)

    q = LatestQueue(8, on_drop=recycle)
    done = threading.Event()

    def produce():
        for _ in range(2000):
            with pool_lock:
                buffer = pool.pop() if pool else None
                if buffer is not None:
                    put_count[0] += 1
            if buffer is not None:
                q.put(buffer)
            time.sleep(0)

    def consume():
        while not (done.is_set() and q.empty()):
            for buffer in q.drain_fast(3):
                received.append(buffer)
                recycle(buffer)
            time.sleep(0)

    producers = [threading.Thread(target=produce) for _ in range(3)]
    consumer = threading.Thread(target=consume)
    for t in producers + [consumer]:
        t.start()
    for t in producers:
        t.join(30)
    done.set()
    consumer.join(30)
    assert not any(t.is_alive() for t in producers + [consumer])
    assert sorted(pool) == list(range(200))  # every buffer came back exactly once
    assert put_count[0] == len(received) + q.dropped


# ---------------------------------------------------------------- shutdown

def test_shutdown_error_is_the_interpreters_where_it_has_one():
    assert latestq.ShutDown is getattr(queue, "ShutDown", latestq.ShutDown)
    assert issubclass(latestq.ShutDown, Exception)


def test_shutdown_lets_getters_empty_the_queue_first():
    q = filled(5, [1, 2, 3])
    q.shutdown()
    assert q.is_shutdown is True
    with pytest.raises(latestq.ShutDown):
        q.put(4)
    assert q.get() == 1 and q.drain_fast(1) == [2] and q.get_nowait() == 3
    for take in (q.get, q.get_nowait, lambda: q.drain_fast(5), lambda: q.get(timeout=0.1)):
        with pytest.raises(latestq.ShutDown):
            take()
    assert q.unfinished_tasks == 2  # drain_fast counted its item done, get does not


def test_immediate_shutdown_empties_counts_out_and_releases_join():
    seen = []
    q = LatestQueue(5)
    for _ in range(3):
        q.put(TouchesQueueOnDelete(q, seen))
    q.task_done()
    joined = threading.Event()
    t = threading.Thread(target=lambda: (q.join(), joined.set()))
    t.start()
    run_bounded(lambda: q.shutdown(immediate=True))
    t.join(5)
    assert joined.is_set() and q.unfinished_tasks == 0 and q.qsize() == 0
    assert seen == [0, 0, 0]  # removed items released after the lock
    with pytest.raises(latestq.ShutDown):
        q.get_nowait()


def test_shutdown_wakes_every_blocked_getter():
    q = LatestQueue(4)
    outcomes = []

    def wait_for_item(timeout):
        try:
            outcomes.append(q.get(timeout=timeout))
        except latestq.ShutDown:
            outcomes.append("shut down")

    getters = [threading.Thread(target=wait_for_item, args=(t,)) for t in (None, None, 30)]
    for t in getters:
        t.start()
    while len(q.not_empty._waiters) < len(getters):
        time.sleep(0.001)
    q.put("one")
    q.shutdown()
    for t in getters:
        t.join(10)
    assert not any(t.is_alive() for t in getters)
    assert sorted(outcomes) == ["one", "shut down", "shut down"]


def test_subclass_hooks_are_used_by_immediate_shutdown():
    class Recording(LatestQueue):
        def _get(self):
            item = super()._get()
            taken.append(item)
            return item

    taken = []
    q = Recording(5)
    q.put(1)
    q.put(2)
    q.shutdown(True)
    assert taken == [1, 2] and q.unfinished_tasks == 0
