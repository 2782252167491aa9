"""Run the test suite against the wheels in dist/, installed as a device would.

x86_64: for each CPython, a fresh venv gets `pip install --only-binary=:all:
--find-links dist quillo_sdk[test,viz]` (the kit from dist/, the rest from the
package index), and pytest runs a copy of tests/ made outside the source tree,
with no compiler on PATH, then the queue, zone gate and zone monitor tests
again with QUILLO_SDK_PORTABLE=1 (as `make test` does).

aarch64: Debian's arm64 CPython 3.11 runs under qemu-aarch64-static from an
unpacked root (tools/wheels/debian_arm64.py); a venv-like folder whose
bin/python starts it holds the aarch64 wheels that pip fetched for that
platform. Emulation is some 50 times slower, so it runs the compiled
modules' test files (ARM64_TESTS) without the mypy checks.
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time

import debian_arm64
from build import ROOT, WORK, find_interpreter, sid_python

COMPILERS = ["cc", "c++", "gcc", "g++", "clang", "clang++", "zig", "ld"]
# What the suite calls besides Python: binutils' nm (exports check) and a shell.
ALLOWED_TOOLS = ["sh", "nm"]
PORTABLE_TESTS = ["tests/test_latestq.py", "tests/test_zone_gate.py", "tests/test_zone_monitor.py"]
ARM64_TESTS = ["tests/test_latestq.py", "tests/test_zone_gate.py", "tests/test_log_id.py", "tests/test_packaging.py"]


def wheel_for(dist: pathlib.Path, version: str, arch: str) -> pathlib.Path | None:
    found = sorted(dist.glob("quillo_sdk-*-cp%s-*%s.whl" % (version.replace(".", ""), arch)))
    return found[-1] if found else None


def tools_only_path(where: pathlib.Path) -> str:
    """A PATH folder with only ALLOWED_TOOLS in it: no compiler can be found."""
    where.mkdir(parents=True, exist_ok=True)
    for tool in ALLOWED_TOOLS:
        found = shutil.which(tool)
        if found and not (where / tool).exists():
            (where / tool).symlink_to(found)
    return str(where)


def copy_tests(dest: pathlib.Path) -> pathlib.Path:
    """tests/ and the README whose examples they run, outside the source tree."""
    shutil.copytree(ROOT / "tests", dest / "tests", ignore=shutil.ignore_patterns("__pycache__"))
    shutil.copy2(ROOT / "README.md", dest / "README.md")
    return dest


def pytest_runs(python: str, workdir: pathlib.Path, env: dict[str, str], tests: list[str], extra: list[str]) -> list[tuple[str, int]]:
    """The tests, then the portable rerun; (label, exit status) of each."""
    base = [python, "-m", "pytest", "-q", "-p", "no:cacheprovider", *extra]
    results = []
    for label, args, more_env in [("suite", tests, {}), ("portable", PORTABLE_TESTS, {"QUILLO_SDK_PORTABLE": "1"})]:
        print("$ %s%s" % ("".join("%s=%s " % kv for kv in more_env.items()), " ".join(base + args)), flush=True)
        results.append((label, subprocess.run(base + args, cwd=workdir, env={**env, **more_env}).returncode))
    return results


def check_imported_from(python: str, site: pathlib.Path, workdir: pathlib.Path, env: dict[str, str]) -> None:
    code = "import quillo_sdk.roi.zone_gate as m; print(m.__file__)"
    where = subprocess.run([python, "-c", code], cwd=workdir, env=env, capture_output=True, text=True, check=True).stdout.strip()
    if not pathlib.Path(where).resolve().is_relative_to(site.resolve()):
        raise RuntimeError("the kit was imported from %s, not from the installed wheel" % where)
    print("kit imported from " + where, flush=True)


def test_x86_64(version: str, dist: pathlib.Path) -> list[tuple[str, int]]:
    interpreter = find_interpreter(version)
    if interpreter is None:
        raise RuntimeError("no CPython %s on this machine" % version)
    venv = WORK / "test" / ("venv-cp" + version.replace(".", ""))
    shutil.rmtree(venv, ignore_errors=True)
    sid_python.make_venv(interpreter, venv)
    python = str(venv / "bin" / "python")
    subprocess.run([python, "-m", "pip", "install", "-q", "--only-binary=:all:", "--find-links", str(dist), "quillo_sdk[test,viz]"],
                   check=True)
    env = dict(os.environ, PATH=os.pathsep.join([str(venv / "bin"), tools_only_path(WORK / "test" / "bin")]))
    env.pop("PYTHONPATH", None)
    missing = [c for c in COMPILERS if shutil.which(c, path=env["PATH"])]
    if missing:
        raise RuntimeError("compilers on the test PATH: %s" % missing)
    with tempfile.TemporaryDirectory(prefix="quillo-wheel-test-") as tmp:
        workdir = copy_tests(pathlib.Path(tmp))
        site = pathlib.Path(subprocess.run([python, "-c", "import sysconfig; print(sysconfig.get_path('platlib'))"],
                                           capture_output=True, text=True, check=True).stdout.strip())
        check_imported_from(python, site, workdir, env)
        results = pytest_runs(python, workdir, env, ["tests"], [])
        compare_speed(python, version, workdir, env)
        return results


def compare_speed(python: str, version: str, workdir: pathlib.Path, env: dict[str, str]) -> None:
    """The wheel's figures next to the in-place build's (make install's venv) when that is the same CPython."""
    rows = [("wheel", python)]
    in_place = ROOT / ".venv" / "bin" / "python"
    if in_place.exists():
        same = subprocess.run([str(in_place), "-c", "import sys; print('%d.%d' % sys.version_info[:2])"],
                              capture_output=True, text=True).stdout.strip() == version
        if same:
            rows.append(("in place", str(in_place)))
    for label, interpreter in rows:
        run = subprocess.run([interpreter, str(ROOT / "tools" / "wheels" / "speed.py")], cwd=workdir, env=env,
                             capture_output=True, text=True)
        if run.returncode != 0:
            print("speed (%s): not measured: %s" % (label, run.stderr.strip().splitlines()[-1:]), flush=True)
            continue
        figures = json.loads(run.stdout.splitlines()[-1])
        gate = ", ".join("%s %.0f ns/item" % kv for kv in figures["gate_ns"].items())
        print("speed (%s): queue reference ratio %.1f; zone gate %s" % (label, figures["queue_ratio"], gate),
              flush=True)


def arm64_python(version: str, dist: pathlib.Path) -> tuple[pathlib.Path, pathlib.Path]:
    """A venv-like folder for Debian's arm64 CPython under qemu, with the kit's wheel and its dependencies."""
    root = debian_arm64.runtime_root(WORK / "debian-arm64")
    venv = WORK / "test" / ("arm64-cp" + version.replace(".", ""))
    shutil.rmtree(venv, ignore_errors=True)
    site = venv / "lib" / ("python" + version) / "site-packages"
    site.mkdir(parents=True)
    (venv / "bin").mkdir()
    # home is the guest's /usr/bin, which qemu's -L resolves inside the root.
    (venv / "pyvenv.cfg").write_text("home = /usr/bin\ninclude-system-site-packages = false\nversion = %s\n" % version)
    python = venv / "bin" / "python"
    # argv[0] (-0) is this script, so sys.executable starts the emulator again for subprocesses.
    python.write_text('#!/bin/sh\nexec qemu-aarch64-static -L "%s" -0 "$0" "%s/usr/bin/python%s" "$@"\n' % (root, root, version))
    python.chmod(0o755)
    platforms = ["manylinux_2_28_aarch64", "manylinux_2_27_aarch64", "manylinux_2_26_aarch64", "manylinux_2_17_aarch64",
                 "manylinux2014_aarch64"]
    subprocess.run([sys.executable, "-m", "pip", "install", "-q", "--target", str(site), "--only-binary=:all:",
                    *[a for p in platforms for a in ("--platform", p)], "--python-version", version,
                    "--implementation", "cp", "--abi", "cp" + version.replace(".", ""),
                    "--find-links", str(dist), "quillo_sdk[test]"], check=True)
    return python, site


def test_aarch64(version: str, dist: pathlib.Path) -> list[tuple[str, int]]:
    if version != debian_arm64.PYTHON:
        raise RuntimeError("no arm64 CPython %s from Debian to run it (only %s)" % (version, debian_arm64.PYTHON))
    if shutil.which("qemu-aarch64-static") is None:
        raise RuntimeError("needs qemu-aarch64-static (Debian's qemu-user-static)")
    python, site = arm64_python(version, dist)
    env = dict(os.environ, PATH=os.pathsep.join([str(python.parent), os.environ["PATH"]]))
    env.pop("PYTHONPATH", None)
    with tempfile.TemporaryDirectory(prefix="quillo-wheel-test-arm64-") as tmp:
        workdir = copy_tests(pathlib.Path(tmp))
        check_imported_from(str(python), site, workdir, env)
        machine = subprocess.run([str(python), "-c", "import platform; print(platform.machine())"],
                                 capture_output=True, text=True, check=True, env=env).stdout.strip()
        print("emulated interpreter reports machine " + machine, flush=True)
        return pytest_runs(str(python), workdir, env, ARM64_TESTS, ["-k", "not mypy"])


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--pythons", default="3.8,3.9,3.10,3.11,3.12,3.13")
    parser.add_argument("--archs", default="x86_64,aarch64")
    parser.add_argument("--dist", default=str(ROOT / "dist"))
    args = parser.parse_args()
    dist = pathlib.Path(args.dist)
    rows = []
    for arch in args.archs.split(","):
        for version in args.pythons.split(","):
            name = "cp%s-%s" % (version.replace(".", ""), arch)
            if wheel_for(dist, version, arch) is None:
                rows.append((name, "no wheel", 0.0))
                continue
            if arch == "aarch64" and version != debian_arm64.PYTHON:
                rows.append((name, "not run: Debian has no arm64 CPython %s" % version, 0.0))
                continue
            print("\n=== %s: %s" % (name, wheel_for(dist, version, arch).name), flush=True)
            started = time.monotonic()
            try:
                results = (test_x86_64 if arch == "x86_64" else test_aarch64)(version, dist)
                state = ", ".join("%s %s" % (label, "passed" if rc == 0 else "FAILED (%d)" % rc) for label, rc in results)
            except (RuntimeError, subprocess.CalledProcessError) as exc:
                state = "FAILED: %s" % exc
            rows.append((name, state, time.monotonic() - started))
    print("\ninstalled-wheel tests:")
    for name, state, seconds in rows:
        print("  %-14s %6.0f s  %s" % (name, seconds, state))
    return 1 if any("FAILED" in state for _, state, _ in rows) else 0


if __name__ == "__main__":
    sys.exit(main())
