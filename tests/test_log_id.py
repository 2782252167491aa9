import re
import threading

import pytest

from quillo_sdk.logging.log_id import ErrorType, EventType, LogIDGenerator


@pytest.fixture
def gen():
    return LogIDGenerator(node_id="abcdef1234567890", source_idx=2)


def counter(identifier):
    return int(identifier.rsplit("-", 1)[1])


def test_session_id_form_and_cache(gen):
    assert gen.get_session_id() is None
    assert gen.format_log_with_session("hello") == "hello"
    sid = gen.generate_session_id()
    assert re.fullmatch(r"SES-[a-z0-9]{8}-\d+-[a-f0-9\-]{8}", sid)
    assert sid.split("-")[1] == "abcdef12" and "-2-" in sid
    assert gen.generate_session_id() == sid == gen.get_session_id()
    assert gen.format_log_with_session("hello") == f"[{sid}] hello"
    new = gen.generate_session_id(force=True)
    assert new != sid and gen.get_session_id() == new
    assert gen.format_log_with_session("hello") == f"[{new}] hello"


@pytest.mark.parametrize(
    "make, pattern",
    [
        (lambda g: g.generate_event_id(), r"EVT-EVT-[a-z0-9]{8}-\d+-\d+"),
        (lambda g: g.generate_event_id(EventType.START), r"EVT-START-abcdef12-2-1"),
        (lambda g: g.generate_error_id(), r"ERR-GEN-[a-z0-9]{8}-\d+-\d+"),
        (lambda g: g.generate_error_id(ErrorType.FRAME_CAPTURE), r"ERR-FRAME-abcdef12-2-1"),
        (lambda g: g.generate_event_id(event_type=None), r"EVT-EVT-abcdef12-2-1"),
    ],
)
def test_identifier_forms(gen, make, pattern):
    assert re.fullmatch(pattern, make(gen))


def test_counters_are_independent(gen):
    assert [counter(gen.generate_event_id()) for _ in range(5)] == [1, 2, 3, 4, 5]
    assert [counter(gen.generate_error_id()) for _ in range(5)] == [1, 2, 3, 4, 5]
    other = LogIDGenerator(node_id="n", source_idx=0)
    other.generate_error_id()
    other.generate_error_id()
    assert other.generate_event_id().endswith("-1")
    assert other.get_session_id() is None


@pytest.mark.parametrize("node, source, expected", [("abc", 0, "abc"), ("xyz", 1, "xyz"), ("ñodeñodeñ", 3, "ñodeñode")])
def test_short_and_unicode_node_ids(node, source, expected):
    g = LogIDGenerator(node_id=node, source_idx=source)
    assert g.generate_session_id().split("-")[1] == expected
    assert g.generate_error_id() == f"ERR-GEN-{expected}-{source}-1"


def test_format_log_with_id_is_static():
    assert LogIDGenerator.format_log_with_id("hello", "ERR-GEN-abc-0-1") == "[ERR-GEN-abc-0-1] hello"


@pytest.mark.parametrize("method", ["generate_event_id", "generate_error_id"])
def test_fifty_threads_get_each_counter_once(gen, method):
    barrier = threading.Barrier(50)
    results = []

    def work():
        barrier.wait()
        results.append(counter(getattr(gen, method)()))

    threads = [threading.Thread(target=work) for _ in range(50)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert sorted(results) == list(range(1, 51))


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: LogIDGenerator(node_id=5, source_idx=0), "Argument 'node_id' has incorrect type (expected str, got int)"),
        (lambda: LogIDGenerator(node_id="a", source_idx=True), "Argument 'source_idx' has incorrect type (expected int, got bool)"),
        (lambda: LogIDGenerator.format_log_with_id(b"x", "id"), "Argument 'message' has incorrect type (expected str, got bytes)"),
        (lambda: LogIDGenerator("a", 0).generate_event_id(ErrorType.GENERIC), "Argument 'event_type' has incorrect type (expected EventType, got ErrorType)"),
        (lambda: LogIDGenerator("a", 0).generate_error_id("GEN"), "Argument 'error_type' has incorrect type (expected ErrorType, got str)"),
    ],
)
def test_wrong_types(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_negative_source_index_is_refused():
    with pytest.raises(ValueError):
        LogIDGenerator(node_id="a", source_idx=-1)


def test_default_node_is_the_host_name():
    import socket

    g = LogIDGenerator()
    assert g.node_id == socket.gethostname() and g.source_idx == 0
