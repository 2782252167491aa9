import queue
from logging import Logger
from typing import Any, Callable, Dict, Optional, Tuple, TypeVar, overload

_T = TypeVar("_T")

# queue.ShutDown from Python 3.13 on; the module's own exception class before.
class ShutDown(Exception): ...

# Every interpreter shortcut of the module: name -> (enabled, reason when off).
_shortcuts: Dict[str, Tuple[bool, Optional[str]]]

class LatestQueue(queue.Queue[Any]):
    """thread safe rolling queue"""

    debug: Any
    logger: Logger
    is_shutdown: bool
    @property
    def dropped(self) -> int: ...
    def __init__(
        self, batch_size: int, debug: Any = False, *, on_drop: Callable[[Any], object] | None = None
    ) -> None: ...
    def shutdown(self, immediate: bool = False) -> None: ...
    def put(self, item: Any, block: bool = True, timeout: float | None = None) -> None: ...
    @overload
    def drain_fast(self, max_items: int, *, adjust_unfinished: bool = True) -> list[Any]: ...
    @overload
    def drain_fast(
        self, max_items: int, *, dest_factory: Callable[[list[Any]], _T], adjust_unfinished: bool = True
    ) -> _T: ...
