import importlib
import logging
import io

import pytest

import quillo_sdk.logging as qlog


def test_get_logger_is_a_propagating_child(caplog):
    a = qlog.get_logger("ZoneGate")
    assert a is qlog.get_logger("ZoneGate") and isinstance(a, logging.Logger)
    assert a.parent is logging.getLogger("quillo_sdk") and a.propagate
    with caplog.at_level(logging.INFO):
        a.info("hello")
    assert [r.getMessage() for r in caplog.records] == ["hello"]


def test_exception_traceback_logs_at_error_with_traceback(caplog):
    log = qlog.get_logger("T")
    try:
        raise ValueError("bad box")
    except ValueError as e:
        qlog.exception_traceback(log, e)
    (record,) = caplog.records
    assert record.levelno == logging.ERROR and "bad box" in record.getMessage()
    assert record.exc_info[1].args == ("bad box",) and record.exc_text is None or "Traceback" in caplog.text


def test_configure_shows_time_level_and_name_once():
    stream = io.StringIO()
    qlog.configure(logging.INFO, stream=stream)
    qlog.configure(logging.INFO, stream=stream)  # replaces, does not add
    qlog.get_logger("MODEL").info("Download model")
    lines = stream.getvalue().splitlines()
    assert len(lines) == 1 and "INFO" in lines[0] and "quillo_sdk.MODEL: Download model" in lines[0]
    logging.getLogger("quillo_sdk").removeHandler(qlog._configured_handler)


@pytest.mark.parametrize(
    "env, url",
    [
        ({}, "http://127.0.0.1:8080/api/v1/models/<MODEL_KEY>/url"),
        ({"SERVER_HOST": "api.example.test"}, "https://api.example.test/api/v1/models/<MODEL_KEY>/url"),
        ({"SERVER_HOST": "http://127.0.0.1:9000/"}, "http://127.0.0.1:9000/api/v1/models/<MODEL_KEY>/url"),
    ],
)
def test_model_url_from_environment(monkeypatch, env, url):
    monkeypatch.delenv("SERVER_HOST", raising=False)
    for k, v in env.items():
        monkeypatch.setenv(k, v)
    import quillo_sdk.constants.variables as variables

    try:
        assert importlib.reload(variables).MODEL_URL == url
    finally:
        monkeypatch.undo()
        importlib.reload(variables)


def test_paths_and_model_types(monkeypatch, tmp_path):
    monkeypatch.setenv("QUILLO_MODEL_DIR", str(tmp_path / "m"))
    monkeypatch.setenv("QUILLO_TOKEN_FILE", str(tmp_path / "t"))
    import quillo_sdk.constants.variables as variables

    try:
        reloaded = importlib.reload(variables)
        assert reloaded.BASE_MODEL_DIR == str(tmp_path / "m") and reloaded.TOKEN_FILE == str(tmp_path / "t")
    finally:
        monkeypatch.undo()
        importlib.reload(variables)
    from quillo_sdk.constants import KEY, MODEL_TYPE

    assert (KEY.ROI_ID, KEY.ROI_NAME) == ("roi_id", "roi_name")
    names = ["TF_YOLO", "OPENVINO", "TF_LITE", "TensorRT", "TF_V2", "TF_V1", "TORCH", "INTERNAL"]
    values = [getattr(MODEL_TYPE, n) for n in names]
    assert all(isinstance(v, str) for v in values) and len(set(values)) == len(values)
