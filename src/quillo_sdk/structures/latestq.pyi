import queue
from logging import Logger
from typing import Any, Callable, overload

from typing_extensions import TypeVar

_T = TypeVar("_T", default=Any)  # the item type; LatestQueue(8) alone is a LatestQueue[Any]
_R = TypeVar("_R")

class LatestQueue(queue.Queue[_T]):
    """thread safe rolling queue"""

    debug: Any
    logger: Logger
    def __init__(self, batch_size: int, debug: Any = False) -> None: ...
    def put(self, item: _T, block: bool = True, timeout: float | None = None) -> None: ...
    @overload
    def drain_fast(self, max_items: int, *, adjust_unfinished: bool = True) -> list[_T]: ...
    @overload
    def drain_fast(
        self, max_items: int, *, dest_factory: Callable[[list[_T]], _R], adjust_unfinished: bool = True
    ) -> _R: ...
