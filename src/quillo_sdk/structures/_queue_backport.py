"""Shutdown for LatestQueue on interpreters whose queue.Queue has none (before 3.13).

``get`` is queue.Queue.get of Python 3.13: it raises ``ShutDown`` once a shut-down
queue is empty, and a getter blocked on ``not_empty`` checks again when woken.
"""

from __future__ import annotations

import queue
from time import monotonic as time

try:
    ShutDown = queue.ShutDown
except AttributeError:

    class ShutDown(Exception):
        """Raised when put/get with shut-down queue."""

    ShutDown.__module__ = "quillo_sdk.structures.latestq"


def get(self, block=True, timeout=None):
    """Remove and return an item from the queue.

    If optional args 'block' is true and 'timeout' is None (the default),
    block if necessary until an item is available. If 'timeout' is
    a non-negative number, it blocks at most 'timeout' seconds and raises
    the Empty exception if no item was available within that time.
    Otherwise ('block' is false), return an item if one is immediately
    available, else raise the Empty exception ('timeout' is ignored
    in that case).

    Raises ShutDown if the queue has been shut down and is empty,
    or if the queue has been shut down immediately.
    """
    with self.not_empty:
        if self.is_shutdown and not self._qsize():
            raise ShutDown
        if not block:
            if not self._qsize():
                raise queue.Empty
        elif timeout is None:
            while not self._qsize():
                self.not_empty.wait()
                if self.is_shutdown and not self._qsize():
                    raise ShutDown
        elif timeout < 0:
            raise ValueError("'timeout' must be a non-negative number")
        else:
            endtime = time() + timeout
            while not self._qsize():
                remaining = endtime - time()
                if remaining <= 0.0:
                    raise queue.Empty
                self.not_empty.wait(remaining)
                if self.is_shutdown and not self._qsize():
                    raise ShutDown
        item = self._get()
        self.not_full.notify()
        return item


get.__qualname__ = "LatestQueue.get"
