"""The ``quillo`` command, run as a real subprocess, and the demo's parts."""

import contextlib
import importlib
import io
import json
import os
import select
import signal
import socket
import subprocess
import sys
import time

import numpy as np
import pytest
import requests

from quillo_sdk.cli import build_parser
from quillo_sdk.cli.fetch import Backend, ProgressBar, explain
from quillo_sdk.devserver import DevServer


def has(module, name):
    try:
        return hasattr(importlib.import_module(module), name)
    except ImportError:
        return False


needs_gate = pytest.mark.skipif(not has("quillo_sdk.roi.zone_gate", "ZoneGate"), reason="zone gate not built yet")
needs_fetch = pytest.mark.skipif(not has("quillo_sdk.model.fetch", "download_detection_model"),
                                 reason="model fetcher not built yet")


def quillo(*args, env=None, timeout=60, cwd=None):
    full_env = dict(os.environ)
    full_env.update(env or {})
    return subprocess.run([sys.executable, "-m", "quillo_sdk", *map(str, args)], capture_output=True, text=True,
                          env=full_env, timeout=timeout, cwd=cwd)


def assert_one_line_error(run, status):
    assert run.returncode == status, run.stderr
    lines = run.stderr.strip().splitlines()
    assert lines and lines[-1].startswith("quillo: error: ")
    assert "Traceback" not in run.stderr


@contextlib.contextmanager
def started(*args, **popen):
    """``quillo ARGS`` as a running child, ended (killed if need be) and reaped however the test goes."""
    popen = dict(dict(stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True), **popen)
    proc = subprocess.Popen([sys.executable, "-m", "quillo_sdk", *map(str, args)], **popen)
    try:
        yield proc
    finally:
        if proc.poll() is None:
            proc.kill()
        proc.communicate()


def picture_of(path, kind="PNG"):
    """The picture at ``path`` as an RGB array, after checking its format by its bytes."""
    image_module = pytest.importorskip("PIL.Image")
    data = open(path, "rb").read()
    assert data.startswith({"PNG": b"\x89PNG\r\n\x1a\n", "JPEG": b"\xff\xd8\xff"}[kind])
    with image_module.open(path) as image:
        assert image.format == kind
        return np.asarray(image.convert("RGB"))


def png_size(path):
    height, width, _ = picture_of(path).shape
    return width, height


needs_pillow = pytest.mark.skipif(not has("PIL", "__version__"), reason="pictures need Pillow (the viz extra)")


# --- help and usage ------------------------------------------------------------------------------

@pytest.mark.parametrize("command", [[], ["demo"], ["fetch"], ["model-type"], ["zones"], ["devserver"]])
def test_every_command_has_help_with_examples(command, capsys):
    with pytest.raises(SystemExit) as stop:
        build_parser().parse_args(command + ["--help"])
    assert stop.value.code == 0
    assert "examples:" in capsys.readouterr().out


@pytest.mark.parametrize("args, reason", [
    ([], "required: COMMAND"), (["nope"], "invalid choice"), (["demo", "--frames", "0"], "above 0"),
    (["zones", "--frame", "12x0", "a", "b"], "above 0"), (["zones", "--frame", "12x", "a", "b"], "WIDTHxHEIGHT"),
    (["zones", "--frame", "axb", "a", "b"], "WIDTHxHEIGHT"), (["zones", "--frame", "1280*720", "a", "b"], "WIDTHxHEIGHT"),
    (["zones", "--anchor", "nan,1", "a", "b"], "AX,AY"), (["zones", "--anchor", "2,0.5", "a", "b"], "from 0 to 1"),
    (["zones", "--anchor", "0.5,-0.1", "a", "b"], "from 0 to 1"), (["zones", "--anchor", "0.5", "a", "b"], "AX,AY"),
    (["devserver", "--port", "70000"], "0 to 65535"), (["fetch", ""], "must not be empty"),
    (["fetch", "m", "--base-dir", ""], "must not be empty"), (["demo", "--base-dir", ""], "must not be empty"),
    (["devserver", "--port", "0", "--token", ""], "must not be empty"),
    (["devserver", "--port", "0", "--token", "two\nlines"], "line breaks"),
], ids=lambda v: " ".join(v) if isinstance(v, list) else None)
def test_bad_usage_exits_2_on_one_line(args, reason):
    run = quillo(*args, timeout=30)
    assert run.returncode == 2
    lines = run.stderr.strip().splitlines()
    assert len(lines) == 1 and " error: " in lines[0] and reason in lines[0], run.stderr


# --- zones ---------------------------------------------------------------------------------------

SQUARE = {"roi_id": "abc123", "label": "zone1", "include": True,
          "points": [[0.2, 0.2], [0.8, 0.2], [0.8, 0.8], [0.2, 0.8]]}
HOLE = {"roi_id": "excl1", "label": "excl", "include": False,
        "points": [[0.4, 0.4], [0.6, 0.4], [0.6, 0.6], [0.4, 0.6]]}


def write_json(path, value):
    path.write_text(value if isinstance(value, str) else json.dumps(value))
    return path


@pytest.mark.parametrize("zones, detections, reason", [
    ("[{", [], "not valid JSON"),
    ([SQUARE], "[NaN]", "NaN is not allowed"),
    ({"zones": [SQUARE]}, [], "expected a list of region records"),
    ([dict(SQUARE, include="false")], [], '"include" is "false", not true or false'),
    ([{k: v for k, v in SQUARE.items() if k != "include"}], [], '"include" is missing, not true or false'),
    ([dict(SQUARE, points=[[0.1, 0.1], [0.5, 0.5]])], [], "needs at least 3"),
    ([dict(SQUARE, points=[[0, 0], [1, 1], [1, 0], [0, 1]])], [], "crosses itself"),
    ([dict(SQUARE, points=[[0, 0], [1, "x"], [1, 0]])], [], "zone 0 (zone1): vertex 1: expected a number"),
    ('[{"include": true, "points": [[0, 0], [1e400, 1], [1, 0]]}]', [], "out of range"),
    ([dict(SQUARE, roi_id=7)], [], '"roi_id" is not text'),
    ([SQUARE], [{"box": [1, 2, 3, 4]}], '"tlwh": expected a list of 4 numbers'),
    ([SQUARE], [{"tlwh": [1, 2, 3]}], '"tlwh": expected a list of 4 numbers'),
    ([SQUARE], [{"tlwh": [1, 2, True, 4]}], "expected a number"),
    ([SQUARE], [{"tlwh": [0, 0, 1, 1], "info": []}], '"info" must be an object'),
    ([SQUARE], [{"tlwh": [0, 0, 1, 1], "info": {"rect": [0, 0]}}], '"info.rect"'),
    ([SQUARE], [7], "expected an object"),
    ("[" * 100000 + "]" * 100000, [], "nested too deeply"),
    ([SQUARE], '[{"tlwh": [0, 0, 1, 1], "info": %s}]' % ("[" * 100000 + "]" * 100000), "nested too deeply"),
    ([dict(SQUARE, points=[[0, 0], [1e39, 0], [1, 1]])], [], "out of range"),  # beyond single precision
], ids=lambda value: value if isinstance(value, str) and len(value) < 40 else type(value).__name__)
def test_zones_rejects_bad_input_on_one_line(tmp_path, zones, detections, reason):
    # (The ids are short: older pytest puts the test id into the environment, and execve refuses
    # 200,000-character variables.)
    run = quillo("zones", write_json(tmp_path / "z.json", zones), write_json(tmp_path / "d.json", detections))
    assert_one_line_error(run, 2)
    assert reason in run.stderr
    assert run.stdout == ""


def test_zones_reports_an_unreadable_file(tmp_path):
    run = quillo("zones", tmp_path / "missing.json", write_json(tmp_path / "d.json", []))
    assert_one_line_error(run, 2)
    assert "missing.json" in run.stderr


@needs_gate
def test_zones_prints_kept_items_with_their_zones(tmp_path):
    detections = [
        {"tlwh": [0.25, 0.25, 0.1, 0.1], "label": "person"},  # kept
        {"tlwh": [0.45, 0.45, 0.1, 0.1]},  # in the exclusion
        {"tlwh": [0.0, 0.0, 0.1, 0.1]},  # outside
        {"tlwh": [0, 0, 0.1, 0.1], "info": {"rect": [0.65, 0.65, 0.1, 0.1], "track_id": 4}},  # track, rect wins
    ]
    run = quillo("zones", write_json(tmp_path / "z.json", [SQUARE, HOLE]), write_json(tmp_path / "d.json", detections))
    assert run.returncode == 0, run.stderr
    kept = json.loads(run.stdout)
    assert [k["index"] for k in kept] == [0, 3]
    assert kept[0] == {"index": 0, "roi_id": ["abc123"], "roi_name": ["zone1"], "item": detections[0]}
    assert kept[1]["roi_id"] == ["abc123"] and kept[1]["item"]["info"]["roi_name"] == ["zone1"]


@needs_gate
@pytest.mark.parametrize("zones, kept_ids", [
    ([], [[], []]),  # no zones: everything passes, unannotated
    ([SQUARE, dict(SQUARE, roi_id="all", label="everywhere", points=[])], [["abc123"], []]),
])
def test_zones_without_outlines_let_items_through(tmp_path, zones, kept_ids):
    detections = json.dumps([{"tlwh": [0.45, 0.45, 0.1, 0.1]}, {"tlwh": [0, 0, 0.1, 0.1]}])
    run = subprocess.run([sys.executable, "-m", "quillo_sdk", "zones", str(write_json(tmp_path / "z.json", zones)), "-"],
                         input=detections, capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    assert [k["roi_id"] for k in json.loads(run.stdout)] == kept_ids


@needs_gate
def test_zones_files_with_a_byte_order_mark_are_read(tmp_path):
    zones, detections = tmp_path / "z.json", tmp_path / "d.json"
    zones.write_bytes(b"\xef\xbb\xbf" + json.dumps([SQUARE]).encode())
    detections.write_bytes(b"\xef\xbb\xbf" + json.dumps([{"tlwh": [0.3, 0.3, 0.1, 0.1]}]).encode())
    run = quillo("zones", zones, detections)
    assert run.returncode == 0, run.stderr
    assert [k["roi_id"] for k in json.loads(run.stdout)] == [["abc123"]]


@needs_gate
def test_zones_pixel_boxes_anchor_and_picture(tmp_path):
    detections = [{"tlwh": [600, 220, 80, 80]}, {"tlwh": [600, 100, 80, 60]}]  # centres above the zone
    zones = write_json(tmp_path / "z.json", [dict(SQUARE, points=[[0.2, 0.4], [0.8, 0.4], [0.8, 0.8], [0.2, 0.8]])])
    dets = write_json(tmp_path / "d.json", detections)
    centre = quillo("zones", zones, dets, "--frame", "1280x720")
    feet = quillo("zones", zones, dets, "--frame", "1280x720", "--anchor", "0.5,1", "--png", tmp_path / "z.png")
    no_frame = quillo("zones", zones, dets)
    assert [k["index"] for k in json.loads(centre.stdout)] == []
    assert [k["index"] for k in json.loads(feet.stdout)] == [0]
    assert json.loads(no_frame.stdout) == [] and "--frame" in no_frame.stderr
    width, height = png_size(tmp_path / "z.png")
    assert width == 960 and 540 < height < 700  # the frame's shape, and a legend below


@needs_gate
def test_zones_picture_of_an_extreme_frame_stays_small(tmp_path):
    # The picture keeps the frame's shape only within limits: a 1x100000 frame is no 257 GB image.
    zones = write_json(tmp_path / "z.json", [dict(SQUARE, points=[[100, 100], [500, 100], [500, 400]])])
    run = quillo("zones", zones, write_json(tmp_path / "d.json", [{"tlwh": [0, 0, 5, 5]}]),
                 "--frame", "1x100000", "--png", tmp_path / "z.png")
    assert run.returncode == 0, run.stderr
    width, height = png_size(tmp_path / "z.png")
    assert width == 960 and 1920 < height < 2100
    assert "frame fractions, not pixels" in run.stderr  # the vertices look like pixels


# --- model-type ----------------------------------------------------------------------------------

@needs_fetch
@pytest.mark.parametrize("files, output, status", [
    (["detect.tflite", "labels.txt"], "tflite", 0),
    (["m.xml", "m.bin"], "openvino", 0),
    (["notes.txt"], "unknown", 1),
    ([], "unknown", 1),
])
def test_model_type_names_the_framework(tmp_path, files, output, status):
    for name in files:
        (tmp_path / name).write_bytes(b"x")
    run = quillo("model-type", tmp_path)
    assert (run.returncode, run.stdout.strip()) == (status, output)


@pytest.mark.parametrize("make", [lambda p: p / "missing", lambda p: write_json(p / "file", [])])
def test_model_type_of_a_non_directory_is_a_usage_error(tmp_path, make):
    assert_one_line_error(quillo("model-type", make(tmp_path)), 2)


# --- fetch and devserver -------------------------------------------------------------------------

@pytest.fixture(scope="module")
def backend():
    with DevServer(token="fetch-token") as server:
        yield server


def fetch_env(tmp_path, server, token):
    (tmp_path / "token").write_text(token + "\n")
    return {"SERVER_HOST": server.base_url, "QUILLO_TOKEN_FILE": str(tmp_path / "token"),
            "QUILLO_MODEL_DIR": str(tmp_path / "models")}


@needs_fetch
def test_fetch_downloads_unpacks_and_names_the_model(tmp_path, backend):
    env = fetch_env(tmp_path, backend, "fetch-token")
    run = quillo("fetch", "yolov4-tiny-demo", "--timeout", 20, env=env)
    assert run.returncode == 0, run.stderr
    model_dir = str(tmp_path / "models" / "yolov4-tiny-demo")
    assert run.stdout.splitlines() == ["model dir:  " + model_dir, "model type: tf_yolo"]
    assert "Downloading... 100%" in run.stderr  # not a terminal: the log lines themselves
    assert not any(name.endswith(".tar.xz") for name in os.listdir(tmp_path / "models"))  # archive removed
    other = quillo("fetch", "ssd-mobilenet-tflite", "--base-dir", tmp_path / "elsewhere", env=env)
    assert other.returncode == 0 and other.stdout.endswith("model type: tflite\n")


@needs_fetch
@pytest.mark.parametrize("model, token, reason", [
    ("yolov4-tiny-demo", "wrong-token", "could not fetch yolov4-tiny-demo: the backend at 127.0.0.1:{port} refused "
                                        "the device token (HTTP 401); check the token file at {token}."),
    ("no-such-model", "fetch-token", "could not fetch no-such-model: the backend at 127.0.0.1:{port} has no model "
                                     "with key no-such-model (HTTP 404)."),
    ("yolov4-tiny-demo", None, "could not fetch yolov4-tiny-demo: no device token file at {token}; set "
                               "QUILLO_TOKEN_FILE to the device token file."),
    ("http://127.0.0.1:9/m.tar.xz", None, "could not fetch http://127.0.0.1:9/m.tar.xz within 1 s: cannot reach "
                                          "127.0.0.1:9 (connection refused)."),
])
def test_fetch_failure_ends_with_one_sentence(tmp_path, backend, model, token, reason):
    env = fetch_env(tmp_path, backend, token or "")
    if token is None:
        os.remove(env["QUILLO_TOKEN_FILE"])
    started = time.monotonic()
    run = quillo("fetch", model, "--timeout", 1, env=env)
    assert_one_line_error(run, 1)
    expected = reason.format(port=backend.address[1], token=env["QUILLO_TOKEN_FILE"])
    assert run.stderr.splitlines()[-1] == "quillo: error: " + expected
    assert time.monotonic() - started < 20


@needs_fetch
@pytest.mark.parametrize("model, setup, reason", [
    ("yolov4-tiny-demo", "no token", "no device token file at "),
    ("yolov4-tiny-demo", "token is a directory", "cannot read the device token file "),
    ("http://127.0.0.1:9/m.tar.xz", "base dir under a file", "file is not a directory"),
])
def test_fetch_reports_local_setup_faults_at_once(tmp_path, backend, model, setup, reason):
    # Without --timeout the fetcher would retry for 300 s; these faults do not heal by waiting.
    env = fetch_env(tmp_path, backend, "fetch-token")
    os.remove(env["QUILLO_TOKEN_FILE"])
    if setup == "token is a directory":
        os.mkdir(env["QUILLO_TOKEN_FILE"])
    if setup == "base dir under a file":
        (tmp_path / "file").write_text("")
        env["QUILLO_MODEL_DIR"] = str(tmp_path / "file" / "models")
    run = quillo("fetch", model, env=env, timeout=30)
    assert_one_line_error(run, 1)
    assert reason in run.stderr.splitlines()[-1]


@pytest.fixture
def silent_server():
    """A loopback server that accepts connections and never answers."""
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen(16)
        yield listener.getsockname()[1]


@needs_fetch
def test_fetch_timeout_bounds_the_command_whatever_the_server_does(tmp_path, backend, silent_server):
    env = fetch_env(tmp_path, backend, "fetch-token")
    env["SERVER_HOST"] = "http://127.0.0.1:%d" % silent_server
    started = time.monotonic()
    run = quillo("fetch", "yolov4-tiny-demo", "--timeout", 3, env=env, timeout=60)
    took = time.monotonic() - started
    assert_one_line_error(run, 1)
    assert "within 3 s" in run.stderr.splitlines()[-1]
    assert took < 3 + 2 + 8  # the deadline, its 2 s, and the interpreter's start on a loaded machine


def refused_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]  # closed again: nothing listens there


@needs_fetch
def test_fetch_shows_each_failed_attempt_as_it_happens(tmp_path, backend):
    env = dict(os.environ, **fetch_env(tmp_path, backend, "fetch-token"))
    port = refused_port()
    lines = []
    with started("fetch", "http://127.0.0.1:%d/m.tar.xz" % port, "--timeout", 60, env=env) as proc:
        began = time.monotonic()
        for line in proc.stderr:
            if " attempt " in line:
                lines.append((time.monotonic() - began, line.strip()))
            if len(lines) == 2:
                break
        proc.send_signal(signal.SIGINT)
    assert lines[0][0] < 15  # the first, not the end of the 60 s
    assert lines[0][1].endswith("attempt 1: cannot reach 127.0.0.1:%d (connection refused); retrying until %s"
                                % (port, lines[0][1].rsplit(" ", 1)[1]))
    assert " WARNING " in lines[0][1] and "attempt 2: " in lines[1][1]  # log lines, one per attempt


@needs_fetch
def test_fetch_on_a_terminal_redraws_one_status_line(tmp_path, backend):
    import fcntl
    import pty
    import struct
    import termios

    env = dict(os.environ, **fetch_env(tmp_path, backend, "fetch-token"))
    port = refused_port()
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 200, 0, 0))  # room for the whole line
    seen = b""
    try:
        with started("fetch", "http://127.0.0.1:%d/m.tar.xz" % port, "--timeout", 60, env=env, stderr=slave) as proc:
            deadline = time.monotonic() + 30
            while b"attempt 2:" not in seen and time.monotonic() < deadline and proc.poll() is None:
                if select.select([master], [], [], 0.2)[0]:
                    seen += os.read(master, 4096)
            proc.send_signal(signal.SIGINT)
    finally:
        os.close(master)
        os.close(slave)
    text = seen.decode()
    assert "\r\x1b[Kattempt 1: cannot reach 127.0.0.1:%d (connection refused); retrying until " % port in text
    assert ", Ctrl-C to stop" in text and "\r\x1b[Kattempt 2: " in text
    assert "WARNING" not in text  # no log lines on a terminal


@needs_fetch
def test_fetch_interrupted_during_a_download_says_running_it_again_resumes(tmp_path, http_server):
    from conftest import Reply

    body = b"\xfd7zXZ\x00" + b"\x00" * (1 << 20)
    http_server.route("/m.tar.xz", Reply(200, body, piece=1 << 12, stall=0.05))
    models = tmp_path / "models"

    def received():  # bytes in the model directory's files: the partial download
        return sum(p.stat().st_size for p in models.rglob("*") if p.is_file()) if models.is_dir() else 0

    with started("fetch", http_server.url("/m.tar.xz"), "--timeout", 120,
                 env=dict(os.environ, QUILLO_MODEL_DIR=str(models))) as proc:
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline and received() < 1 << 14:
            time.sleep(0.02)
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=30)
    assert proc.returncode == 130, err
    assert err.strip().splitlines()[-1] == ("quillo: error: interrupted during the download of %s; running the same "
                                            "command again resumes it" % http_server.url("/m.tar.xz"))


@needs_fetch
@pytest.mark.parametrize("form, reason", [
    ("127.0.0.1:{port}", "TLS failed with 127.0.0.1:{port}: is the server plain http? SERVER_HOST has no scheme, "
                         "so https is used; set SERVER_HOST=http://127.0.0.1:{port}."),
    ("http://127.0.0.1:{port}/api", "SERVER_HOST http://127.0.0.1:{port}/api ends in a path (/api), but it names "
                                    "the host alone"),
])
def test_fetch_explains_a_wrong_server_host(tmp_path, backend, form, reason):
    env = fetch_env(tmp_path, backend, "fetch-token")
    port = backend.address[1]
    env["SERVER_HOST"] = form.format(port=port)
    run = quillo("fetch", "yolov4-tiny-demo", "--timeout", 2, env=env)
    assert_one_line_error(run, 1)
    assert reason.format(port=port) in run.stderr.splitlines()[-1]
    assert "no model with key" not in run.stderr.splitlines()[-1]


def failure(kind, status=None, reason=None, host="api.example.com:443", file=None, message=None):
    """The fields of a FetchFailure, in its order."""
    return (kind, status, message, host, file, reason)


@needs_fetch
@pytest.mark.parametrize("made, server_host, expected", [
    (failure("unreachable", 503), "api.example.com", "cannot reach api.example.com:443 (the server answered HTTP 503)"),
    (failure("unreachable", None, "name lookup failed"), "api.example.com",
     "cannot reach api.example.com:443 (name lookup failed)"),
    (failure("unreachable", None, message="Connection refused"), "api.example.com",
     "cannot reach api.example.com:443"),  # the message is for people; the reason is the interface
    (failure("unreachable", None, "TLS failed"), "https://api.example.com",
     "cannot reach api.example.com:443 (TLS failed)"),  # the scheme was asked for: no hint
    (failure("timeout"), "api.example.com", "api.example.com:443 did not answer in time"),
    (failure("lock_busy", file="/m/.m1.lock"), "h", "another process holds the lock on this model (/m/.m1.lock)"),
    (failure("deadline"), "h", "the time ran out during the download; the part downloaded is kept and running the "
                               "command again resumes it"),
    (failure("bad_archive", host="cdn.example.com"), "h", "the download from cdn.example.com is not an "
                                                          "xz-compressed tar archive"),
    (failure("failed", message="Something odd.\n  happened."), "h", "the attempt failed: Something odd. happened"),
], ids=lambda v: v[0] if isinstance(v, tuple) else None)
def test_each_failure_reads_as_a_sentence(made, server_host, expected):
    from quillo_sdk.constants.variables import MODEL_URL_PATH, server_base_url
    from quillo_sdk.model.fetch import FetchFailure

    backend = Backend(server_host, server_base_url(server_host) + MODEL_URL_PATH)
    assert explain(FetchFailure(*made), "m1", backend, "/etc/quillo/token") == expected


def test_devserver_command_serves_until_interrupted(tmp_path):
    token_file = tmp_path / "token.txt"
    with started("devserver", "--port", "0", "--token", "tok", "--token-file", token_file) as proc:
        first = proc.stdout.readline()
        assert first.startswith("quillo devserver on http://127.0.0.1:")
        base = first.split()[-1]
        assert token_file.read_text() == "tok\n" and (token_file.stat().st_mode & 0o777) == 0o600
        url = base + "/api/v1/models/ssd-mobilenet-tflite/url"
        assert requests.get(url, timeout=5).status_code == 401
        assert requests.get(url, headers={"x-device-token": "Bearer tok"}, timeout=5).status_code == 200
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=10)
    assert proc.returncode == 0, err
    assert "Traceback" not in err


def test_devserver_on_a_busy_port_fails_on_one_line(backend):
    run = quillo("devserver", "--port", backend.address[1])
    assert_one_line_error(run, 1)
    assert "--port 0" in run.stderr


class FakeClock:
    def __init__(self):
        self.now = 100.0

    def __call__(self):
        return self.now


@pytest.mark.parametrize("width", [80, 40, 20])
def test_progress_bar_draws_bytes_speed_and_eta_on_one_line(width):
    out, clock = io.StringIO(), FakeClock()
    bar = ProgressBar(out, width=width, clock=clock)
    bar(1 << 20, 4 << 20)
    clock.now += 1
    bar(2 << 20, 4 << 20)
    drawn = out.getvalue().split("\r")[1:]
    assert all(len(line) < width and "\n" not in line for line in drawn)
    if width >= 60:
        assert "50% 2.0 MiB / 4.0 MiB 1.0 MiB/s ETA 0:02" in drawn[-1]
    clock.now += 2
    bar(4 << 20, 4 << 20)
    assert out.getvalue().endswith("\n") and not bar.active


def test_progress_bar_without_a_length_and_after_a_restart():
    out, clock = io.StringIO(), FakeClock()
    bar = ProgressBar(out, width=60, clock=clock)
    bar(3000, None)
    clock.now += 1
    bar(5000, None)
    assert out.getvalue().split("\r")[-1] == "4.9 KiB 2.0 KiB/s"
    bar(100, None)  # the download started over: speed counted afresh
    bar.close()
    assert out.getvalue().endswith("\n")


# --- demo ----------------------------------------------------------------------------------------

@needs_gate
@needs_fetch
def test_demo_runs_end_to_end(tmp_path):
    started = time.monotonic()
    run = quillo("demo", "--frames", 150, "--seed", 3, "--out", tmp_path / "pic" / "demo.png", cwd=tmp_path)
    took = time.monotonic() - started
    assert run.returncode == 0, run.stderr
    # Two lines while it runs, the summary, and nothing on stderr: the kit's log lines wait for -v.
    assert run.stdout.index("quillo demo summary") < 200 and run.stderr == ""
    summary = {line[:28].strip(): line[28:].split() for line in run.stdout.splitlines() if line.startswith("  ")}
    made, dropped, processed = (int(summary[k][0]) for k in ("frames made", "frames dropped", "frames processed"))
    assert made == 150 and dropped + processed == 150 and processed > 0 and dropped > 0
    assert summary["frames dropped"][1] == "(LatestQueue.dropped:"  # the queue's own count
    assert " ".join(summary["queue"]).startswith("shut down at the end")
    assert summary["zone stays (scene clock)"] == ["entries", "exits", "mean", "dwell", "inside", "now"]
    all_exits = 0
    for zone in ("Entrance", "Loading bay"):
        entries, exits, *mean, inside = summary[zone]
        entries, exits, inside = int(entries), int(exits), int(inside)
        assert entries - exits == inside >= 0
        if exits:  # entry and exit are confirmed two processed frames apart at least; the scene lasts 5 s
            assert mean[1] == "s" and 0.1 <= float(mean[0]) <= 5
        else:
            assert mean == ["-"]
        all_exits += exits
    assert all_exits > 0  # 150 frames of 16 moving objects see some leave
    events = summary["events logged"]
    assert int(events[events.index("entries,") - 2]) == sum(int(summary[z][0]) for z in ("Entrance", "Loading bay"))
    assert summary["model"][:2] == ["yolov4-tiny-demo:", "tf_yolo,"]
    if has("PIL", "__version__"):
        assert summary["picture"] == [str(tmp_path / "pic" / "demo.png")]
        width, height = png_size(tmp_path / "pic" / "demo.png")
        assert width == 960 and 540 < height < 700
    assert float(summary["took"][0]) < took  # the demo's own time, within the command's
    assert took < 30


@needs_gate
@needs_fetch
def test_demo_verbose_shows_the_kits_log_lines(tmp_path):
    run = quillo("demo", "--frames", 60, "--out", "", "-v", cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    assert "[EVT-START-" in run.stderr and "Finished the downloading" in run.stderr
    assert " entered " in run.stderr and "[EVT-FRAME-" in run.stderr


@needs_gate
@needs_fetch
@pytest.mark.parametrize("out, status", [(["--out", "x.png"], 1), ([], 0)])
def test_demo_without_pillow_fails_only_for_a_picture_asked_for(tmp_path, out, status):
    hide = tmp_path / "no-pillow" / "PIL"
    hide.mkdir(parents=True)
    (hide / "__init__.py").write_text("raise ImportError('No module named PIL')\n")
    run = quillo("demo", "--frames", 5, *out, env={"PYTHONPATH": str(hide.parent)}, cwd=tmp_path)
    assert run.returncode == status, run.stderr
    assert 'pip install "Pillow>=10.1"' in run.stderr and "viz extra" in run.stderr
    if status:
        assert_one_line_error(run, 1)
        assert "quillo demo summary" not in run.stdout  # found out before the run
    else:
        assert "quillo: note: no picture: " in run.stderr and "quillo demo summary" in run.stdout
    assert not list(tmp_path.glob("**/*.png"))


def test_demo_with_an_unwritable_picture_fails_on_one_line(tmp_path):
    (tmp_path / "file").write_text("")
    run = quillo("demo", "--frames", 5, "--out", tmp_path / "file" / "demo.png")
    assert_one_line_error(run, 1)
    assert "demo.png" in run.stderr.splitlines()[-1] or "file" in run.stderr.splitlines()[-1]


@pytest.mark.parametrize("args, reason, status", [
    (["--base-dir", "{tmp}/file/models"], "file is not a directory", 1),
    (["--out", "{tmp}/file/demo.png"], "file is not a directory", 1),
    (["--out", "{tmp}/demo.gif"], "must end in .png, .jpg or .jpeg", 2),
    (["--image", "{tmp}/no-frame.jpg"], "no such frame image", 2),
    (["--image", "{tmp}/file"], "cannot read the frame", 2),
])
def test_demo_checks_its_paths_before_the_run(tmp_path, args, reason, status):
    (tmp_path / "file").write_text("")
    if "--image" in args and not has("PIL", "__version__"):
        pytest.skip("reading a frame needs Pillow")
    run = quillo("demo", *[a.format(tmp=tmp_path) for a in args], cwd=tmp_path)
    assert_one_line_error(run, status)
    assert reason in run.stderr and "Download model" not in run.stderr


@needs_gate
@needs_fetch
def test_demo_stops_at_once_on_ctrl_c(tmp_path):
    # 100000 frames take minutes; Ctrl-C must not wait for the producer to make them all.
    with started("demo", "--frames", "100000", "--out", "", cwd=tmp_path) as proc:
        for line in proc.stdout:
            if "frames through the queue" in line:
                break
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=20)
    assert proc.returncode == 130
    assert err.strip().splitlines()[-1] == "quillo: error: interrupted"


@needs_gate
def test_pipeline_drops_frames_when_the_consumer_is_slow():
    from quillo_sdk.demo import run_pipeline

    result = run_pipeline(60, seed=1, inference_time=0.01, produce_interval=0)
    assert result.frames_made == 60
    assert result.frames_dropped > 0 and result.frames_processed + result.frames_dropped == 60
    assert result.detections_kept <= result.detections_in
    assert sum(result.detections_per_zone.values()) >= result.detections_kept
    assert result.marks and {m.kept for m in result.marks} == {True, False}
    zone_ids = {z["roi_id"] for z in result.zones if z["include"]}
    assert all(set(m.zones) <= zone_ids and bool(m.zones) == m.kept for m in result.marks)
    assert any(m.box for m in result.marks)  # the last frame's boxes
    assert result.queue_shut_down
    for stays in result.stays:
        assert stays.entries - stays.exits == stays.inside >= 0
        assert len(stays.dwell_seconds) == stays.exits
        assert all(0 < d <= 60 / 30 for d in stays.dwell_seconds)  # the scene's clock, not the wall clock
    tracks = [m for m in result.marks if m.dwell is not None]
    assert sum(len(m.zones) for m in tracks) == sum(s.inside for s in result.stays)  # one mark per track
    assert all(m.zones and m.track and m.box and 0 <= m.dwell <= 2 and " #" in m.label for m in tracks)
    detections = [m for m in result.marks if m.dwell is None]
    assert not any(m.track for m in detections) and all(m.label in ("person", "forklift", "cart") for m in detections)
    dropped = [m for m in detections if not m.kept]
    # Dropped inside an exclusion or outside every zone, told apart by the gate's own rule.
    from quillo_sdk.picture import held_by_include_zone
    from quillo_sdk.roi import Detection

    held = held_by_include_zone(result.zones, (1, 1), (0.5, 0.5))
    assert all(m.excluded == held(Detection([m.anchor[0], m.anchor[1], 0, 0])) for m in dropped)


def test_scene_is_reproducible_from_its_seed():
    from quillo_sdk.demo import Scene

    def boxes(seed):
        scene = Scene(seed)
        return [[d.tlwh for d in scene.step(i).detections] for i in range(20)]

    assert boxes(5) == boxes(5) != boxes(6)


# --- picture -------------------------------------------------------------------------------------

@needs_pillow
def test_zones_far_outside_the_frame_draw_without_error_or_bleeding(tmp_path):
    from quillo_sdk.picture import LEGEND_COLOR, ItemMark, draw_zones

    zones = [{"include": True, "label": "tall", "points": [[0, 0], [1, 0], [1, 2], [0, 2]]},
             {"include": False, "points": [[0, 0], [1e300, 0], [1e300, 1e300]]},
             {"include": True, "points": [[0, 0], [float("nan"), 0], [1, 1]]}]
    items = [ItemMark((float("inf"), float("nan")), True, ["x"], box=(0, 0, float("inf"), 1)),
             ItemMark((-1e308, 0.5), False)]
    draw_zones(str(tmp_path / "z.png"), zones, items, size=(960, 540))
    pixels = picture_of(tmp_path / "z.png")
    assert pixels.shape[1] == 960 and pixels.shape[0] > 540
    assert tuple(pixels[-3, -3]) == LEGEND_COLOR  # the legend is not painted over by the tall zone


@needs_pillow
def test_shapes_land_where_drawn(tmp_path):
    from quillo_sdk.picture import CANVAS_COLOR, DROPPED_COLOR, ZONE_COLORS, ItemMark, draw_zones

    square = dict(SQUARE, points=[[0.25, 0.25], [0.75, 0.25], [0.75, 0.75], [0.25, 0.75]])
    items = [ItemMark((0.5, 0.6), True, ["abc123"]), ItemMark((0.9, 0.9), False)]
    draw_zones(str(tmp_path / "z.png"), [square], items, size=(400, 200))
    pixels = picture_of(tmp_path / "z.png").astype(int)
    assert tuple(pixels[5, 5]) == CANVAS_COLOR  # outside everything
    inside = pixels[140, 140]  # in the zone, away from its label: the canvas tinted with the zone colour
    assert np.abs(inside - CANVAS_COLOR).sum() > 30 and inside.argmin() == np.argmin(ZONE_COLORS[0])
    assert np.abs(pixels[120, 200] - ZONE_COLORS[0]).sum() < 60  # the kept anchor, in its zone's colour
    assert np.abs(pixels[180, 360] - DROPPED_COLOR).sum() < 90  # the dropped one's cross


def test_labels_stay_on_the_canvas_and_off_the_neighbours():
    pytest.importorskip("shapely")
    from shapely.geometry import box

    from quillo_sdk.picture import _place_labels

    right, neighbour = box(700, 100, 950, 300), box(400, 100, 690, 300)
    corners = _place_labels([(right, "Loading bay", (200, 20)), (neighbour, "Entrance", (90, 20))],
                            [right, neighbour], 960, 540)
    for (x, y), (shape, (w, h)) in zip(corners, [(right, (200, 20)), (neighbour, (90, 20))]):
        assert 0 <= x and x + w <= 960 and 0 <= y and y + h <= 540
        label = box(x, y, x + w, y + h)
        assert label.intersects(shape)
        assert not label.intersects(neighbour if shape is right else right)
    first, second = (box(x, y, x + w, y + h) for (x, y), w, h in zip(corners, (200, 90), (20, 20)))
    assert not first.intersects(second)


def frame_image(path, width=320, height=180):
    image_module = pytest.importorskip("PIL.Image")
    # Smooth, as a camera frame is (JPEG keeps it close), with structure in every channel.
    y, x = np.mgrid[0:height, 0:width]
    pixels = np.stack([x * 255 // width, y * 255 // height, 128 + 90 * np.sin(x / 5.0) * np.cos(y / 7.0)],
                      axis=-1).astype(np.uint8)
    image_module.fromarray(pixels).save(path)
    return pixels


@needs_gate
@needs_pillow
@pytest.mark.parametrize("out, kind", [("over.png", "PNG"), ("over.JPG", "JPEG"), ("pictures/", "PNG")])
def test_zones_draw_over_a_real_frame(tmp_path, out, kind):
    frame = frame_image(tmp_path / "frame.png")
    (tmp_path / "pictures").mkdir()
    zones = write_json(tmp_path / "z.json", [dict(SQUARE, label="Caf\u00e9 \u00c6r\u00f8"), HOLE])
    dets = write_json(tmp_path / "d.json", [{"tlwh": [90, 60, 40, 40]}, {"tlwh": [5, 5, 20, 20]}])
    run = quillo("zones", zones, dets, "--image", tmp_path / "frame.png", "--out", tmp_path / out)
    assert run.returncode == 0, run.stderr
    assert [k["index"] for k in json.loads(run.stdout)] == [0]  # pixel boxes divided by the frame's size
    path = tmp_path / ("pictures/quillo-zones.png" if out.endswith("/") else out)
    pixels = picture_of(path, kind).astype(int)
    assert pixels.shape[1] == 320 and pixels.shape[0] > 180  # the frame's size, and the legend below
    top = pixels[:180]
    untouched = np.abs(top - frame).sum(axis=2) <= (24 if kind == "JPEG" else 0)
    outside = np.ones((180, 320), bool)
    outside[30:150, 60:260] = False  # the zone, its outline and label; the items lie inside or at the corner
    outside[:40, :40] = False
    assert untouched[outside].mean() > 0.9  # the frame shows unchanged where nothing is drawn
    inside = (slice(60, 70), slice(180, 190))  # in the zone, off the exclusion and the items
    tint = top[inside] - frame[inside]
    assert np.abs(tint).mean() > 5  # tinted by the zone...
    assert np.corrcoef(top[inside].ravel(), frame[inside].ravel())[0, 1] > 0.8  # ...over the frame's own pixels


@needs_gate
def test_a_picture_asked_for_without_pillow_fails_before_the_work(tmp_path):
    hide = tmp_path / "no-pillow" / "PIL"
    hide.mkdir(parents=True)
    (hide / "__init__.py").write_text("raise ImportError('No module named PIL')\n")
    env = {"PYTHONPATH": str(hide.parent)}
    zones = write_json(tmp_path / "z.json", [SQUARE])
    detections = write_json(tmp_path / "d.json", [{"tlwh": [0.3, 0.3, 0.1, 0.1]}])
    run = quillo("zones", zones, detections, "--out", tmp_path / "z.png", env=env)
    assert_one_line_error(run, 1)
    assert 'pip install "Pillow>=10.1"' in run.stderr and not (tmp_path / "z.png").exists()
    plain = quillo("zones", zones, detections, env=env)  # no picture asked for: Pillow is not needed
    assert plain.returncode == 0 and [k["roi_id"] for k in json.loads(plain.stdout)] == [["abc123"]]


@needs_gate
@needs_pillow
@pytest.mark.parametrize("out", ["new/", "new/deeper/z.png"])
def test_zones_out_makes_the_folder(tmp_path, out):
    zones = write_json(tmp_path / "z.json", [SQUARE])
    run = quillo("zones", zones, write_json(tmp_path / "d.json", [{"tlwh": [0.3, 0.3, 0.1, 0.1]}]), "--out", out,
                 cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    path = tmp_path / (out + "quillo-zones.png" if out.endswith("/") else out)
    assert png_size(path)[0] == 960


# --- zones --check -------------------------------------------------------------------------------

@pytest.mark.parametrize("zones, found", [
    ([dict(HOLE, points=[])], "an exclusion with no points lets every item through"),
    ([dict(SQUARE, points=[])], "a zone with no points lets every item through"),
    ([{k: v for k, v in SQUARE.items() if k != "roi_id"}], 'no "roi_id": kept items get "" as its id'),
    ([{k: v for k, v in SQUARE.items() if k != "label"}], 'no "label": kept items get "" as its name'),
    ([dict(SQUARE, points=[[0, 0], [640, 0], [640, 480]])], "vertices 1, 2 lie outside 0 to 1"),
    ([dict(SQUARE, points=[[0, 0], [1, 1], [1, 0], [0, 1]])], "crosses itself"),
    ([dict(SQUARE, points=[[0, 0], [0.5, 0.5], [1, 1]])], "zero area"),
    ([dict(SQUARE, points=[[0, 0], [1, 1]])], "2 vertices make no area"),
    ([SQUARE, dict(HOLE, roi_id="abc123")], 'the same "roi_id" as zone 0'),
    ([dict(SQUARE, include="yes")], '"include" is "yes", not true or false'),
    ([SQUARE, 7], "zone 1: not an object"),
    ([], "no zones at all: every item passes"),
    ([HOLE], "no include zone with an outline: every item is dropped"),
], ids=lambda value: None)
def test_zones_check_finds_records_that_change_meaning(tmp_path, zones, found):
    run = quillo("zones", "--check", write_json(tmp_path / "z.json", zones))
    assert run.returncode == 1, run.stdout + run.stderr
    assert found in run.stdout
    assert "Traceback" not in run.stderr and "problem" in run.stderr


@pytest.mark.parametrize("zones, status", [([SQUARE, HOLE], 0), ("[{", 2), ({"a": 1}, 2)])
def test_zones_check_of_a_sound_or_unreadable_file(tmp_path, zones, status):
    run = quillo("zones", "--check", write_json(tmp_path / "z.json", zones))
    assert run.returncode == status, run.stdout + run.stderr
    if status == 0:
        assert run.stdout.strip().endswith("no problems found")
    else:
        assert_one_line_error(run, 2)


# --- info and errors -----------------------------------------------------------------------------

@pytest.mark.parametrize("portable", ["0", "1"])
def test_info_reports_versions_libraries_and_fast_paths(portable):
    run = quillo("info", "--json", env={"QUILLO_SDK_PORTABLE": portable})
    assert run.returncode == 0, run.stderr
    info = json.loads(run.stdout)
    assert {"version", "python", "platform", "geos", "fast_paths", "libmagic", "modules"} <= set(info)
    assert set(info["geos"]) == {"version", "library"}
    import shapely

    assert info["geos"]["version"] == shapely.geos_version_string
    assert info["portable"] is (portable == "1")
    if portable == "1":
        assert not any(info["fast_paths"].values())
    for name, verdict in info["shortcuts"].items():
        assert info["fast_paths"][name] is verdict["enabled"] and (verdict["enabled"] or verdict["reason"])
    text = quillo("info", env={"QUILLO_SDK_PORTABLE": portable})
    assert text.returncode == 0 and text.stdout.startswith("quillo_sdk ")
    assert "GEOS" in text.stdout and "libmagic" in text.stdout
    for name, enabled in info["fast_paths"].items():
        assert ("%s " % name) in text.stdout and ("true" if enabled else "false (") in text.stdout


@needs_fetch
@pytest.mark.parametrize("raised, status, reason", [
    # python-magic's error on a system without libmagic1
    ("ImportError('failed to find libmagic.  Check your installation')", 1, "libmagic1"),
    # Ctrl-C while an extension module initialises reaches the caller as an ImportError
    ("ImportError('Encountered an error while initializing the extension.') from KeyboardInterrupt()", 130,
     "interrupted"),
])
def test_a_module_that_fails_to_load_is_explained(tmp_path, raised, status, reason):
    stand_in = tmp_path / "stand-in" / "magic"
    stand_in.mkdir(parents=True)
    (stand_in / "__init__.py").write_text("raise %s\n" % raised)
    run = quillo("model-type", tmp_path, env={"PYTHONPATH": str(stand_in.parent)})
    assert_one_line_error(run, status)
    assert reason in run.stderr.splitlines()[-1]


@needs_fetch
def test_model_type_reads_the_absolute_path(tmp_path):
    model = tmp_path / "yolo-models" / "m1"
    model.mkdir(parents=True)
    (model / "graph.pb").write_bytes(b"x")
    relative = quillo("model-type", ".", cwd=model)
    absolute = quillo("model-type", model)
    assert (relative.stdout, absolute.stdout) == ("tf_yolo\n", "tf_yolo\n")


# --- what the pictures say -----------------------------------------------------------------------

@pytest.fixture
def drawn_texts(monkeypatch):
    """Every text a picture writes (box labels, zone names, legend), by recording the drawing calls."""
    from quillo_sdk import picture

    texts = []
    original = picture._Picture.text

    def text(self, at, words, *args, **kwargs):
        texts.append(words)
        return original(self, at, words, *args, **kwargs)

    monkeypatch.setattr(picture._Picture, "text", text)
    return texts


ALL_MARKS = ["kept anchor, in its zone's colour", "dropped: outside every zone", "dropped: inside an exclusion",
             "track in a zone, by time there: 0 s to 4.0 s", "box of a kept item", "grey box: a dropped item",
             "dashed box: a track, solid: a detection", "exclusion"]


@needs_gate
@needs_pillow
def test_every_mark_drawn_is_in_the_legend_and_only_those(tmp_path, drawn_texts):
    from quillo_sdk.picture import ItemMark, draw_zones

    marks = [ItemMark((0.5, 0.3), True, ["abc123"], (0.45, 0.25, 0.1, 0.1), label="person"),
             ItemMark((0.05, 0.05), False, (), (0, 0, 0.1, 0.1), label="#2"),
             ItemMark((0.5, 0.5), False, (), excluded=True),
             ItemMark((0.3, 0.7), True, ["abc123"], (0.25, 0.6, 0.1, 0.2), label="cart #4", track=True, dwell=4.0),
             ItemMark((0.7, 0.7), True, ["abc123"], label="cart #5", track=True, dwell=1.0)]
    draw_zones(str(tmp_path / "z.png"), [SQUARE, HOLE], marks, window="the last 16 frames")
    assert png_size(tmp_path / "z.png") > (959, 541)
    assert set(ALL_MARKS) <= set(drawn_texts)
    assert "zone1: 3 kept in the last 16 frames" in drawn_texts  # what the counts cover
    assert {"person", "#2", "cart #4", "4.0 s", "cart #5 1.0 s"} <= set(drawn_texts)  # boxes and tracks labelled

    drawn_texts.clear()
    draw_zones(str(tmp_path / "few.png"), [SQUARE], marks[:1])
    assert [t for t in ALL_MARKS if t in drawn_texts] == ["kept anchor, in its zone's colour", "box of a kept item"]
    assert "zone1: 1 kept" in drawn_texts


@needs_gate
@needs_pillow
def test_zones_picture_labels_items_and_tells_why_they_were_dropped(tmp_path, drawn_texts, monkeypatch):
    from quillo_sdk import picture
    from quillo_sdk.cli import main

    detections = [{"tlwh": [0.25, 0.25, 0.1, 0.1], "label": "person"}, {"tlwh": [0.45, 0.45, 0.1, 0.1]},
                  {"tlwh": [0.0, 0.0, 0.1, 0.1], "class": "cart"},
                  {"tlwh": [0, 0, 0.1, 0.1], "info": {"rect": [0.65, 0.65, 0.1, 0.1], "track_id": 4}}]
    marks = []
    monkeypatch.setattr(picture, "draw_zones", lambda path, zones, items, **kw: marks.extend(items))
    zones, dets = write_json(tmp_path / "z.json", [SQUARE, HOLE]), write_json(tmp_path / "d.json", detections)
    assert main(["zones", str(zones), str(dets), "--out", str(tmp_path / "z.png")]) == 0
    assert [(m.label, m.kept, m.excluded, m.track) for m in marks] == [
        ("person", True, False, False), ("#1", False, True, False), ("cart", False, False, False),
        ("#4", True, False, True)]
    assert marks[3].anchor == pytest.approx((0.7, 0.7)) and marks[3].box == pytest.approx((0.65, 0.65, 0.1, 0.1))


@needs_gate
@needs_pillow
def test_dropped_boxes_stay_visible_over_a_real_frame(tmp_path):
    from quillo_sdk.picture import DROPPED_BOX_COLOR, HALO_COLOR, ItemMark, draw_zones

    image_module = pytest.importorskip("PIL.Image")
    for shade in (20, 235):  # a dark frame and a bright one
        image_module.new("RGB", (400, 200), (shade, shade, shade)).save(tmp_path / "frame.png")
        draw_zones(str(tmp_path / "z.png"), [], [ItemMark((0.5, 0.5), False, (), (0.25, 0.25, 0.5, 0.5))],
                   frame=str(tmp_path / "frame.png"))
        column = picture_of(tmp_path / "z.png").astype(int)[30:70, 200]  # across the box's top edge at y=50
        assert np.abs(column - DROPPED_BOX_COLOR).sum(axis=1).min() < 60  # the light line...
        assert np.abs(column - HALO_COLOR).sum(axis=1).min() < 60  # ...and its dark edge
