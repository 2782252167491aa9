"""Model fetcher: unpacking and downloading against tar and curl, and the cost of a present model.

Prints wall times, ratios against the peers measured in the same run, and the
peak memory growth of the kit's work (measured in a child process each: the
peak RSS after the call, counted from a reset just before it, less the RSS
then).
"""

from __future__ import annotations

import io
import json
import logging
import os
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from conftest import LoopbackServer, Reply, Resource  # noqa: E402

MIB = 1 << 20

# Runs in a child: one kit call, timed, with the growth of the peak RSS.
CHILD = r"""
import json, os, sys, time
from quillo_sdk.model import fetch

def status(field):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(field + ":"))

action, base, url, out = sys.argv[1:5]
fetch.BASE_MODEL_DIR = base
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # restart the peak (VmHWM) from the current RSS
before = status("VmRSS")
start = time.perf_counter()
if action == "unpack":
    result = fetch.download_url(url)
elif action == "tarfile-r|xz":  # the stdlib's own xz stream reading, for comparison
    import tarfile
    with tarfile.open(url, "r|xz") as tar:
        for member in tar:
            tar.extract(member, base, **({"filter": "data"} if hasattr(tarfile, "data_filter") else {}))
    result = True
else:
    result = fetch.download_file(url, out)
elapsed = time.perf_counter() - start
print(json.dumps({"seconds": elapsed, "growth_kib": status("VmHWM") - before, "result": result}))
"""


def child(action: str, base: str, url: str, out: str = "") -> dict:
    os.sync()
    done = subprocess.run([sys.executable, "-c", CHILD, action, base, url, out], check=True,
                          capture_output=True, text=True)
    return json.loads(done.stdout)


def timed(cmd) -> tuple:
    """Wall seconds and peak RSS (KiB) of a command (and its largest child)."""
    os.sync()
    start = time.perf_counter()
    proc = subprocess.Popen(cmd)
    _, status, usage = os.wait4(proc.pid, 0)
    elapsed = time.perf_counter() - start
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        raise SystemExit("%s failed" % cmd[0])
    return elapsed, usage.ru_maxrss


def make_model_archive(work: str, name: str, size: int, zeros: bool = False) -> str:
    """A model of float32 weights with the low mantissa half zeroed: xz finds
    structure to work on but cannot shrink it to nothing. With `zeros`, one
    zero-filled weight file instead (xz shrinks it about 7000 times)."""
    src = os.path.join(work, "src-" + name)
    os.makedirs(os.path.join(src, name))
    rng = np.random.default_rng(7)
    remaining = size
    while remaining:
        n = min(remaining, 32 * MIB)
        if zeros:
            weights = np.zeros(n // 4, dtype=np.uint32)
        else:
            weights = (rng.standard_normal(n // 4).astype(np.float32) * 0.05).view(np.uint32) & 0xFFFF0000
        with open(os.path.join(src, name, "weights.bin"), "ab") as f:
            f.write(weights.tobytes())
        remaining -= n
    archive = os.path.join(work, name + ".tar.xz")
    with open(archive, "wb") as out:
        tar = subprocess.Popen(["tar", "-C", src, "-cf", "-", name], stdout=subprocess.PIPE)
        subprocess.run(["xz", "-1", "-T1", "-c"], stdin=tar.stdout, stdout=out, check=True)
        tar.wait()
    shutil.rmtree(src)
    return archive


def bench_unpack(work: str, size_mib: int, zeros: bool = False) -> None:
    name = "model%d" % size_mib
    archive = make_model_archive(work, name, size_mib * MIB, zeros)
    compressed = os.path.getsize(archive)

    tars, kits = [], []
    for _ in range(2):
        peer_dir = os.path.join(work, "tar-out")
        os.makedirs(peer_dir)
        tars.append(timed(["tar", "-C", peer_dir, "-xJf", archive]))
        shutil.rmtree(peer_dir)

        base = os.path.join(work, "base")
        os.makedirs(base)
        shutil.copyfile(archive, os.path.join(base, name + ".tar.xz"))
        kits.append(child("unpack", base, "http://127.0.0.1:9/" + name + ".tar.xz"))
        assert kits[-1]["result"] == os.path.join(base, name), kits[-1]
        shutil.rmtree(base)
    os.remove(archive)
    tar_seconds, tar_rss = min(tars)
    kit = min(kits, key=lambda k: k["seconds"])

    print("unpack %3d MiB%s (xz %s): kit %.2f s, tar -xJf %.2f s, ratio %.2f; "
          "kit peak growth %.1f MiB (tar+xz peak %.1f MiB)"
          % (size_mib, " zero-filled" if zeros else "",
             "%.1f MiB" % (compressed / MIB) if compressed >= MIB else "%d KiB" % (compressed // 1024),
             kit["seconds"], tar_seconds,
             kit["seconds"] / tar_seconds, kit["growth_kib"] / 1024, tar_rss / 1024))
    if zeros:
        # tarfile's own "r|xz" inflates each 10 KiB of input whole and copies the
        # rest of it on every read: quadratic, so shown on a smaller model only.
        small = make_model_archive(work, "small", 24 * MIB, zeros=True)
        out = os.path.join(work, "stdlib-out")
        os.makedirs(out)
        stdlib = child("tarfile-r|xz", out, small)
        shutil.rmtree(out)
        base = os.path.join(work, "base")
        os.makedirs(base)
        shutil.copyfile(small, os.path.join(base, "small.tar.xz"))
        kit = child("unpack", base, "http://127.0.0.1:9/small.tar.xz")
        shutil.rmtree(base)
        os.remove(small)
        print("unpack  24 MiB zero-filled: kit %.2f s, peak growth %.1f MiB; tarfile's own 'r|xz' %.2f s, "
              "peak growth %.1f MiB" % (kit["seconds"], kit["growth_kib"] / 1024, stdlib["seconds"],
                                        stdlib["growth_kib"] / 1024))


def bench_download(work: str, server: LoopbackServer, size_mib: int) -> None:
    payload = os.path.join(work, "payload.tar.xz")
    with open(payload, "wb") as f:
        for _ in range(size_mib):
            f.write(os.urandom(MIB))
    url = server.route("/payload.tar.xz", Reply(file=payload))

    # Two rounds, alternating, best of each: the page cache's write-back of one
    # 200 MiB file otherwise slows whichever writer comes next.
    curl_runs, kits = [], []
    for _ in range(2):
        curl_runs.append(timed(["curl", "-s", "-f", "-o", os.path.join(work, "curl.out"), url]))
        os.remove(os.path.join(work, "curl.out"))
        kits.append(child("download", work, url, os.path.join(work, "kit.out")))
        assert kits[-1]["result"] is True
        assert os.path.getsize(os.path.join(work, "kit.out")) == size_mib * MIB
        os.remove(os.path.join(work, "kit.out"))
    os.remove(payload)
    curl_seconds, curl_rss = min(curl_runs)
    kit = min(kits, key=lambda k: k["seconds"])
    print("download %3d MiB: kit %.3f s, curl -o %.3f s, ratio %.2f; kit peak growth %.1f MiB (curl peak %.1f MiB)"
          % (size_mib, kit["seconds"], curl_seconds, kit["seconds"] / curl_seconds, kit["growth_kib"] / 1024,
             curl_rss / 1024))


def bench_resume(work: str, server: LoopbackServer, size_mib: int, cut: float = 0.6) -> None:
    """A download broken at ``cut`` and resumed, against a fresh one of the same file."""
    from quillo_sdk.model import fetch

    logging.getLogger("quillo_sdk").setLevel(logging.WARNING)
    body = os.urandom(size_mib * MIB)
    resource = Resource(body)
    url = server.route("/resume.tar.xz", resource)
    target = os.path.join(work, "resume.out")
    fresh = []
    for _ in range(2):
        sent = resource.sent
        os.sync()
        start = time.perf_counter()
        assert fetch.download_file(url, target)
        fresh.append((time.perf_counter() - start, resource.sent - sent))
        os.remove(target)
    resource.cuts = [None] * resource.requests + [int(len(body) * cut)]
    try:
        fetch.download_file(url, target)
    except Exception:
        pass
    sent = resource.sent
    os.sync()  # the broken run's write-back is not the resumed run's cost
    start = time.perf_counter()
    assert fetch.download_file(url, target)
    resumed_seconds, resumed_bytes = time.perf_counter() - start, resource.sent - sent
    with open(target, "rb") as f:
        assert f.read() == body
    os.remove(target)
    fresh_seconds, fresh_bytes = min(fresh)
    remaining = len(body) - int(len(body) * cut)
    print("resume %3d MiB at %d%%: resumed %d bytes in %.3f s, fresh %d bytes in %.3f s; bytes ratio %.3f "
          "(remaining share %.3f), time ratio %.2f"
          % (size_mib, cut * 100, resumed_bytes, resumed_seconds, fresh_bytes, fresh_seconds,
             resumed_bytes / fresh_bytes, remaining / len(body), resumed_seconds / fresh_seconds))
    assert resumed_bytes == remaining


def bench_present_model(work: str, server: LoopbackServer, calls: int = 300) -> None:
    import requests

    from quillo_sdk import logging as kit_logging
    from quillo_sdk.model import fetch

    base = os.path.join(work, "present")
    os.makedirs(os.path.join(base, "m1"))
    token = os.path.join(work, "token")
    with open(token, "w") as f:
        f.write("secret\n")
    server.route("/api/models/m1/url", Reply(body=json.dumps({"url": server.url("/files/m1.tar.xz?sig=1")}).encode()))

    class TimedRequests:
        """requests with its sessions timed (set up and get), so the kit's own share can be told apart."""

        def __init__(self) -> None:
            self.seconds = 0.0
            self.count = 0
            timing = self

            class Session(requests.Session):
                def __init__(self) -> None:
                    start = time.perf_counter()
                    super().__init__()
                    timing.seconds += time.perf_counter() - start

                def get(self, *args, **kwargs):
                    start = time.perf_counter()
                    try:
                        return super().get(*args, **kwargs)
                    finally:
                        timing.seconds += time.perf_counter() - start
                        timing.count += 1

            self.Session = Session

        def __getattr__(self, name):
            return getattr(requests, name)

    class CountingProbe:
        def __init__(self, real) -> None:
            self.real, self.count = real, 0

        def from_file(self, path):
            self.count += 1
            return self.real.from_file(path)

    timed_requests, probe = TimedRequests(), CountingProbe(fetch.fm)
    saved = {k: getattr(fetch, k) for k in ("requests", "fm", "BASE_MODEL_DIR", "TOKEN_FILE", "MODEL_URL")}
    handler = kit_logging.configure("INFO", io.StringIO())
    try:
        fetch.requests, fetch.fm = timed_requests, probe
        fetch.BASE_MODEL_DIR, fetch.TOKEN_FILE = base, token
        fetch.MODEL_URL = server.url("/api/models/<MODEL_KEY>/url")
        hits_before = len(server.hits())
        start = time.perf_counter()
        for _ in range(calls):
            assert fetch.download_detection_model("m1") == os.path.join(base, "m1")
        total = time.perf_counter() - start
        direct_start = time.perf_counter()
        for _ in range(calls):
            assert fetch.download_detection_model(server.url("/files/m1.tar.xz")) == os.path.join(base, "m1")
        direct = time.perf_counter() - direct_start
    finally:
        for k, v in saved.items():
            setattr(fetch, k, v)
        logging.getLogger(kit_logging.ROOT_NAME).removeHandler(handler)
    requests_seen = len(server.hits()) - hits_before
    own_us = (total - timed_requests.seconds) / calls * 1e6
    print("present model, key: %d calls, %d model-URL requests (%d reached the server), %d probes, "
          "%d downloads; kit's own work %.0f us per call (request %.0f us)"
          % (calls, timed_requests.count, requests_seen, probe.count,
             len(server.hits("/files/m1.tar.xz")), own_us, timed_requests.seconds / calls * 1e6))
    print("present model, direct URL: %d calls, %d requests; %.0f us per call"
          % (calls, len(server.hits()) - hits_before - requests_seen, direct / calls * 1e6))


def bench_slow_peers(work: str, server: LoopbackServer, limit: float = 3) -> None:
    """Seconds past its limit that download_detection_model is held by peers that make no progress."""
    import fcntl

    from conftest import SlowServer
    from quillo_sdk import logging as kit_logging
    from quillo_sdk.model import fetch

    base, token = os.path.join(work, "slow"), os.path.join(work, "slow-token")
    os.makedirs(base)
    with open(token, "w") as f:
        f.write("secret\n")
    head = b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\nX-Pad: " + b"x" * 100 + b"\r\n\r\n{}"
    url_head = b"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n"
    cases = [
        ("archive headers at 1 B/s", dict(answer=head), "archive"),
        ("model-URL headers at 1 B/s", dict(answer=head), "key"),
        ("model-URL body at 1 B/s", dict(answer=b" " * 100, first=url_head), "key"),
        ("model URL never answered", dict(answer=b""), "key"),
        ("model lock held elsewhere", None, "archive"),
    ]
    saved = {k: getattr(fetch, k) for k in ("BASE_MODEL_DIR", "TOKEN_FILE", "MODEL_URL", "DOWNLOAD_MODEL_TIMEOUT")}
    handler = kit_logging.configure("CRITICAL", io.StringIO())
    try:
        fetch.BASE_MODEL_DIR, fetch.TOKEN_FILE = base, token
        for name, peer, target in cases:
            for deadline in (None, limit):
                fetch.DOWNLOAD_MODEL_TIMEOUT = 300 if deadline else limit
                slow = SlowServer(seconds=60, **peer) if peer else None
                lock = None
                if slow is None:
                    lock = open(os.path.join(base, ".m1.tar.xz.lock"), "w")
                    fcntl.flock(lock, fcntl.LOCK_EX)  # another open file: flock excludes it as it would a process
                    model_id = server.route("/files/m1.tar.xz", Reply(404))
                else:
                    model_id = slow.url("/files/m1.tar.xz")
                if target == "key":
                    fetch.MODEL_URL, model_id = slow.url("/api/<MODEL_KEY>"), "m1"
                start = time.monotonic()
                fetch.download_detection_model(model_id, deadline=deadline)
                took = time.monotonic() - start
                if lock:
                    lock.close()
                if slow:
                    slow.close()
                print("%-28s %s %.0f s: returned after %5.1f s, %5.1f s past it"
                      % (name, "deadline" if deadline else "budget  ", limit, took, took - limit))
    finally:
        for k, v in saved.items():
            setattr(fetch, k, v)
        logging.getLogger(kit_logging.ROOT_NAME).removeHandler(handler)


def main() -> None:
    for tool in ("tar", "xz", "curl"):
        if shutil.which(tool) is None:
            raise SystemExit("bench_fetch needs %s on PATH" % tool)
    server = LoopbackServer()
    work = tempfile.mkdtemp(prefix="bench_fetch-")
    try:
        bench_present_model(work, server)
        bench_slow_peers(work, server)
        bench_download(work, server, 200)
        bench_resume(work, server, 200)
        for size in (50, 200):
            bench_unpack(work, size)
        bench_unpack(work, 200, zeros=True)
    finally:
        server.close()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
