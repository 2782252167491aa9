import queue
from logging import Logger
from typing import Any, Callable, TypeVar, overload

_T = TypeVar("_T")

class LatestQueue(queue.Queue[Any]):
    """thread safe rolling queue"""

    debug: Any
    logger: Logger
    def __init__(self, batch_size: int, debug: Any = False) -> None: ...
    def put(self, item: Any, block: bool = True, timeout: float | None = None) -> None: ...
    @overload
    def drain_fast(self, max_items: int, *, adjust_unfinished: bool = True) -> list[Any]: ...
    @overload
    def drain_fast(
        self, max_items: int, *, dest_factory: Callable[[list[Any]], _T], adjust_unfinished: bool = True
    ) -> _T: ...
