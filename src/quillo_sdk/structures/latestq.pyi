import queue
from logging import Logger
from typing import Any, Callable, Dict, Optional, Tuple, overload

from typing_extensions import TypeVar

_T = TypeVar("_T", default=Any)  # the item type; LatestQueue(8) alone is a LatestQueue[Any]
_R = TypeVar("_R")

# queue.ShutDown from Python 3.13 on; the module's own exception class before.
class ShutDown(Exception): ...

# Every interpreter shortcut of the module: name -> (enabled, reason when off).
_shortcuts: Dict[str, Tuple[bool, Optional[str]]]

class LatestQueue(queue.Queue[_T]):
    """thread safe rolling queue"""

    debug: Any
    logger: Logger
    is_shutdown: bool
    @property
    def dropped(self) -> int: ...
    def __init__(
        self, batch_size: int, debug: Any = False, *, on_drop: Callable[[_T], object] | None = None
    ) -> None: ...
    def shutdown(self, immediate: bool = False) -> None: ...
    def put(self, item: _T, block: bool = True, timeout: float | None = None) -> None: ...
    @overload
    def drain_fast(self, max_items: int, *, adjust_unfinished: bool = True) -> list[_T]: ...
    @overload
    def drain_fast(
        self, max_items: int, *, dest_factory: Callable[[list[_T]], _R], adjust_unfinished: bool = True
    ) -> _R: ...
