"""Type-checked usage of the compiled modules (checked by mypy in the tests)."""

from quillo_sdk.logging import configure, get_logger
from quillo_sdk.logging.log_id import ErrorType, EventType, LogIDGenerator
from quillo_sdk.structures.latestq import LatestQueue

configure()
log = get_logger("usage")
q = LatestQueue(8, debug=True)
q.put({"frame": 1})
batch: list[object] = q.drain_fast(4)
as_tuple: tuple[object, ...] = q.drain_fast(4, dest_factory=tuple, adjust_unfinished=False)
ids = LogIDGenerator(node_id="node", source_idx=0)
event: str = ids.generate_event_id(EventType.START)
error: str = ids.generate_error_id(ErrorType.FRAME_CAPTURE)
session: str | None = ids.get_session_id()
log.info(LogIDGenerator.format_log_with_id("ready", event))
