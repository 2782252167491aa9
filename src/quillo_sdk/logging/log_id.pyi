import enum

class EventType(enum.Enum):
    EVENT = "EVT"
    START = "START"
    STOP = "STOP"
    FRAME = "FRAME"
    DETECTION = "DET"
    TRACK = "TRK"
    MODEL = "MODEL"

class ErrorType(enum.Enum):
    GENERIC = "GEN"
    FRAME_CAPTURE = "FRAME"
    MODEL_LOAD = "MODEL"
    INFERENCE = "INFER"
    NETWORK = "NET"
    CONFIG = "CFG"

class LogIDGenerator:
    def __init__(self, node_id: str | None = None, source_idx: int | None = None) -> None: ...
    @property
    def node_id(self) -> str: ...
    @property
    def source_idx(self) -> int: ...
    def generate_session_id(self, force: bool = False) -> str: ...
    def get_session_id(self) -> str | None: ...
    def generate_event_id(self, event_type: EventType | None = None) -> str: ...
    def generate_error_id(self, error_type: ErrorType | None = None) -> str: ...
    @staticmethod
    def format_log_with_id(message: str, log_id: str) -> str: ...
    def format_log_with_session(self, message: str) -> str: ...
