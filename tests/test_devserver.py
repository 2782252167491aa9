"""The development backend: token and signature rules, and the sample archives it streams."""

import hashlib
import io
import logging
import socket
import struct
import tarfile
import threading
import time
from urllib.parse import urlsplit

import pytest
import requests

from quillo_sdk.devserver import SAMPLE_MODELS, DevServer, sample_archive, verify_signed, write_token_file

TOKEN = "t0ken-for-tests"


@pytest.fixture(scope="module")
def server():
    with DevServer(token=TOKEN) as srv:
        yield srv


def url_endpoint(server, key):
    return server.model_url.replace("<MODEL_KEY>", key)


@pytest.mark.parametrize("headers", [
    {},
    {"x-device-token": TOKEN},
    {"x-device-token": "Bearer wrong"},
    {"x-device-token": "bearer " + TOKEN},
    {"x-device-token": "Bearer " + TOKEN + " "},
    {"Authorization": "Bearer " + TOKEN},
])
def test_model_url_refuses_missing_or_wrong_token(server, headers):
    answer = requests.get(url_endpoint(server, "yolov4-tiny-demo"), headers=headers, timeout=5)
    assert answer.status_code == 401
    assert "url" not in answer.json()


def test_model_url_answers_a_signed_archive_url(server):
    answer = requests.get(url_endpoint(server, "yolov4-tiny-demo"), headers={"x-device-token": "Bearer " + TOKEN}, timeout=5)
    assert answer.status_code == 200
    url = urlsplit(answer.json()["url"])
    assert url.path == "/archives/yolov4-tiny-demo.tar.xz"
    assert url.netloc == "%s:%d" % server.address
    assert set(dict(p.split("=") for p in url.query.split("&"))) == {"expires", "signature"}
    archive = requests.get(answer.json()["url"], timeout=30).content
    assert answer.json()["sha256"] == hashlib.sha256(archive).hexdigest()


def test_unknown_model_and_route_are_404(server):
    headers = {"x-device-token": "Bearer " + TOKEN}
    assert requests.get(url_endpoint(server, "no-such-model"), headers=headers, timeout=5).status_code == 404
    assert requests.get(server.base_url + "/nothing", timeout=5).status_code == 404
    listing = requests.get(server.base_url + "/api/v1/models", headers=headers, timeout=5).json()
    assert {m["key"] for m in listing["models"]} == set(SAMPLE_MODELS)


def tamper(url, old, new):
    assert old in url
    return url.replace(old, new)


@pytest.mark.parametrize("mangle", [
    lambda s, u: u.split("?")[0],  # no signature at all
    lambda s, u: u[:-1] + ("0" if u[-1] != "0" else "1"),  # signature changed
    lambda s, u: tamper(u, "expires=", "expires=9"),  # expiry pushed out
    lambda s, u: tamper(u, "yolov4-tiny-demo", "ssd-mobilenet-tflite"),  # signature of another archive
    lambda s, u: u + "&expires=1",  # a second expiry
    lambda s, u: s.signed_url("yolov4-tiny-demo", expires=int(time.time()) - 1),  # expired
])
def test_archive_refuses_bad_or_expired_signatures(server, mangle):
    url = mangle(server, server.signed_url("yolov4-tiny-demo"))
    answer = requests.get(url, timeout=5)
    assert answer.status_code == 403
    assert answer.json() == {"error": "bad or expired signature"}


def test_signature_is_checked_against_the_clock():
    server = DevServer(token="x")
    try:
        url = urlsplit(server.signed_url("m", expires=1000))
        secret = server._httpd.secret
        assert verify_signed(secret, url.path, url.query, now=999)
        assert verify_signed(secret, url.path, url.query, now=1000)
        assert not verify_signed(secret, url.path, url.query, now=1001)
        assert not verify_signed(secret, "/archives/n.tar.xz", url.query, now=999)
        assert not verify_signed(b"other", url.path, url.query, now=999)
        assert not verify_signed(secret, url.path, url.query.replace("1000", "-1000"), now=-2000)
    finally:
        server.stop()


def members_of(data):
    with tarfile.open(fileobj=io.BytesIO(data), mode="r|xz") as tar:
        return [(m.name, m.type, m.size) for m in tar]


@pytest.mark.parametrize("key", sorted(SAMPLE_MODELS))
def test_archives_stream_with_length_and_one_top_directory(server, key):
    answer = requests.get(server.signed_url(key), timeout=30)
    assert answer.status_code == 200
    assert int(answer.headers["Content-Length"]) == len(answer.content)
    assert answer.content == sample_archive(key)
    names = [name for name, _, _ in members_of(answer.content)]
    assert names[0] == key
    assert all(n == key or n.startswith(key + "/") for n in names)
    assert not any(".." in n.split("/") or n.startswith("/") for n in names)


def test_yolo_archive_moves_in_whole_progress_steps():
    # 1 MiB chunks of an archive just under 5 MiB give 20, 40, ..., 100 percent.
    size = len(sample_archive("yolov4-tiny-demo"))
    assert 4.9 * 2 ** 20 < size < 5 * 2 ** 20
    assert [int(k * 2 ** 20 * 100 / size) for k in range(1, 5)] == [20, 40, 60, 80]


@pytest.mark.parametrize("key", sorted(SAMPLE_MODELS))
def test_unpacked_sample_has_its_framework(tmp_path, key):
    fetch = pytest.importorskip("quillo_sdk.model.fetch")
    if not hasattr(fetch, "check_model_type"):
        pytest.skip("model fetcher not built yet")
    with tarfile.open(fileobj=io.BytesIO(sample_archive(key)), mode="r|xz") as tar:
        tar.extractall(tmp_path, **({"filter": "data"} if hasattr(tarfile, "data_filter") else {}))
    assert fetch.check_model_type(str(tmp_path / key)) == SAMPLE_MODELS[key].framework


def test_parallel_clients_get_the_same_archive(server):
    urls = [server.signed_url(key) for key in ("ssd-mobilenet-tflite", "person-detection-openvino")] * 3
    bodies = [None] * len(urls)

    def get(i):
        bodies[i] = requests.get(urls[i], timeout=30).content

    threads = [threading.Thread(target=get, args=(i,)) for i in range(len(urls))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert bodies[0::2] == [bodies[0]] * 3 and bodies[1::2] == [bodies[1]] * 3
    assert bodies[0] != bodies[1]


def test_stop_releases_the_port():
    with DevServer(token="x") as srv:
        host, port = srv.address
        assert requests.get(srv.base_url + "/nothing", timeout=5).status_code == 404
    with pytest.raises(requests.ConnectionError):
        requests.get("http://%s:%d/nothing" % (host, port), timeout=5)
    DevServer(port=port, token="x").stop()  # the port can be bound again


def test_token_file_is_private_even_when_it_existed(tmp_path):
    path = tmp_path / "token"
    path.write_text("old token, longer than the new one\n")
    path.chmod(0o644)
    write_token_file(str(path), "new")
    assert path.read_text() == "new\n"
    assert path.stat().st_mode & 0o777 == 0o600


def test_a_client_hanging_up_mid_download_is_one_log_line(server, caplog, capsys):
    # A fetch stopped with Ctrl-C must not fill the server's terminal with a traceback.
    caplog.set_level(logging.INFO, logger="quillo_sdk.devserver")
    url = urlsplit(server.signed_url("yolov4-tiny-demo"))
    client = socket.create_connection(server.address)
    client.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    client.sendall(("GET %s?%s HTTP/1.1\r\nHost: x\r\n\r\n" % (url.path, url.query)).encode())
    client.recv(100)
    client.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))  # reset, not a clean close
    client.close()
    deadline = time.monotonic() + 10
    while not any("went away" in r.getMessage() for r in caplog.records) and time.monotonic() < deadline:
        time.sleep(0.02)
    assert any("went away" in r.getMessage() for r in caplog.records)
    assert "Traceback" not in capsys.readouterr().err


@pytest.mark.parametrize("token", ["two\nlines", "cr\r", "nul\x00"])
def test_tokens_that_cannot_travel_in_a_header_are_refused(token):
    with pytest.raises(ValueError, match="control characters"):
        DevServer(token=token)


@pytest.mark.parametrize("expires", ["5" * 5000, "1" * 13, "\u0661\u0662\u0663", "", "+1", " 1"])
def test_archive_refuses_absurd_expiries_with_403(server, caplog, expires):
    # 5,000 digits are beyond int()'s limit on 3.11+: refused as a bad signature, not a dropped connection.
    caplog.set_level(logging.INFO, logger="quillo_sdk.devserver")
    url = server.signed_url("yolov4-tiny-demo").split("?")[0] + "?expires=%s&signature=00" % expires
    answer = requests.get(url, timeout=10)
    assert answer.status_code == 403
    assert answer.json() == {"error": "bad or expired signature"}
    assert not any(r.exc_info for r in caplog.records)


def test_half_sent_requests_do_not_hold_the_server():
    # Clients that send part of a request and then stay silent are cut off after the request
    # time-out; each holds a thread only until then, and the server keeps answering others.
    with DevServer(token="x", request_timeout=0.5) as srv:
        silent = [socket.create_connection(srv.address, timeout=30) for _ in range(20)]
        try:
            for i, client in enumerate(silent):
                client.sendall(b"GET /nothing HTTP/1.1\r\nHost: x\r\n" if i % 2 else b"GET /noth")
            assert requests.get(srv.base_url + "/nothing", timeout=10).status_code == 404
            for client in silent:
                assert client.recv(4096) == b""  # closed by the server, without an answer
        finally:
            for client in silent:
                client.close()
