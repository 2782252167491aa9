"""Runs the test suite on every supported CPython found here, built with the oldest
C++ compiler found, against the oldest and the newest shapely each Python can get.

    python3 tools/test_matrix.py            # everything found
    PYTHONS="3.8 3.13" SHAPELY=oldest ...   # restrict (SHAPELY: oldest, newest or a version)
    CXX=clang++-14 ...                      # a given compiler instead of the oldest found

CPython 3.14 and 3.15, when no interpreter of theirs is found here, come from Debian's unstable
suite through tools/sid_python.py (unpacked under build/sid/, nothing installed).

Everything lives under build/matrix/ and is reused: one build venv and one CMake build
directory per (Python, compiler), so a re-run rebuilds only what changed, and one test
venv per (Python, shapely). Prints what it skipped and why, then a summary table; exits
non-zero when a cell failed.
"""

from __future__ import annotations

import glob
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import sid_python

ROOT = Path(__file__).resolve().parent.parent
MATRIX = ROOT / "build" / "matrix"
SUPPORTED = [(3, minor) for minor in range(8, 16)]
FROM_SID = [(3, 14), (3, 15)]
# The oldest shapely each Python can install from a wheel (2.0.7, the kit's oldest, has none past 3.13).
OLDEST_SHAPELY = {(3, 14): "2.1.2", (3, 15): "2.2.0"}
OLDEST_SHAPELY_DEFAULT = "2.0.7"
BUILD_REQUIRES = {  # as pyproject.toml's [build-system]
    "old": ["scikit-build-core>=0.10,<1.1", "nanobind>=2.4,<2.10"],
    "new": ["scikit-build-core>=0.10", "nanobind>=2.4"],
}
QUIET = {"PIP_DISABLE_PIP_VERSION_CHECK": "1", "PYTHONWARNINGS": "ignore"}


def run(cmd, log=None, env=None, check=True):
    full_env = dict(os.environ, **QUIET, **(env or {}))
    out = subprocess.run([str(c) for c in cmd], cwd=ROOT, env=full_env, stdout=subprocess.PIPE,
                         stderr=subprocess.STDOUT, text=True)
    if log:
        with open(log, "a") as f:
            f.write("$ " + " ".join(map(str, cmd)) + "\n" + out.stdout)
    if check and out.returncode != 0:
        raise RuntimeError("%s failed (see %s)" % (" ".join(map(str, cmd[:4])), log or "output"))
    return out


def interpreter_version(path):
    try:
        out = subprocess.run([path, "-c", "import sys; print('%d.%d.%d' % sys.version_info[:3])"],
                             capture_output=True, text=True, timeout=30)
    except (OSError, subprocess.TimeoutExpired):
        return None
    return out.stdout.strip() if out.returncode == 0 else None


def find_pythons(skipped):
    """One interpreter per supported minor version: pyenv's first, then PATH's."""
    candidates = sorted(glob.glob("/root/.pyenv/versions/*/bin/python3")) + sorted(glob.glob(
        os.path.expanduser("~/.pyenv/versions/*/bin/python3")))
    for minor in range(6, 16):
        found = shutil.which("python3.%d" % minor)
        if found and "/shims/" not in found:
            candidates.append(found)
    chosen = {}
    for path in dict.fromkeys(os.path.realpath(c) for c in candidates):
        version = interpreter_version(path)
        if not version:
            continue
        key = tuple(int(p) for p in version.split(".")[:2])
        if key not in SUPPORTED:
            skipped.append("python %s (%s): not supported (3.8 to 3.15)" % (version, path))
        elif key not in chosen:
            chosen[key] = (version, path)
    wanted = os.environ.get("PYTHONS", "").split()
    for key in FROM_SID:
        name = "%d.%d" % key
        if key in chosen or (wanted and name not in wanted):
            continue
        try:
            path = str(sid_python.interpreter(name))
        except (RuntimeError, OSError, subprocess.CalledProcessError) as exc:
            skipped.append("python %s: not found, and Debian's unstable suite did not give it (%s)" % (name, exc))
            continue
        chosen[key] = (interpreter_version(path) or name, path)
    if wanted:
        for key in list(chosen):
            if "%d.%d" % key not in wanted:
                skipped.append("python %s: not in PYTHONS" % chosen.pop(key)[0])
        for name in wanted:
            if tuple(int(p) for p in name.split(".")[:2]) not in chosen:
                skipped.append("python %s: asked for in PYTHONS, not found" % name)
    for key in SUPPORTED:
        if key not in chosen and not wanted:
            skipped.append("python %d.%d: not found" % key)
    return [chosen[k] for k in sorted(chosen)]


def find_compiler():
    """CXX when set, else the oldest GCC found (then the oldest Clang)."""
    if os.environ.get("CXX"):
        return os.environ["CXX"]
    for family in ("g++", "clang++"):
        versions = []
        for path in glob.glob("/usr/bin/%s-*" % family):
            suffix = path.rsplit("-", 1)[1]
            if suffix.isdigit():
                versions.append(int(suffix))
        if versions:
            return "%s-%d" % (family, min(versions))
    return shutil.which("c++") or "c++"


def venv(path, python, log):
    if not (path / "bin" / "python").exists():
        sid_python.make_venv(python, path)
        run([path / "bin" / "python", "-m", "pip", "install", "-q", "--upgrade", "pip"], log)
    return path / "bin" / "python"


def build_wheel(version, python, cxx, log):
    """Builds the kit's wheel incrementally; returns its path."""
    tag = "py%s-%s" % (version, cxx)
    py = venv(MATRIX / ("build-venv-py" + version), python, log)
    requires = BUILD_REQUIRES["old" if version == "3.8" else "new"]
    run([py, "-m", "pip", "install", "-q"] + requires, log)
    wheels = MATRIX / "wheels" / tag
    shutil.rmtree(wheels, ignore_errors=True)
    run([py, "-m", "pip", "wheel", "-q", "--no-deps", "--no-build-isolation", "-w", wheels,
         "-Cbuild-dir=%s" % (MATRIX / ("build-" + tag)), "."], log, env={"CXX": cxx, "CMAKE_BUILD_PARALLEL_LEVEL": "2"})
    return next(wheels.glob("*.whl"))


def shapely_versions(version, py, log):
    """(oldest, newest) shapely releases this interpreter can install."""
    out = run([py, "-m", "pip", "index", "versions", "shapely"], log, check=False).stdout
    match = re.search(r"^shapely \(([^)]+)\)", out, re.M)
    oldest = OLDEST_SHAPELY.get(tuple(int(p) for p in version.split(".")), OLDEST_SHAPELY_DEFAULT)
    return oldest, match.group(1) if match else None


def wanted_shapely(oldest, newest):
    choice = os.environ.get("SHAPELY", "").split()
    picks = [v for v in dict.fromkeys([oldest, newest]) if v]
    if not choice:
        return picks
    named = {"oldest": oldest, "newest": newest}
    return list(dict.fromkeys(named.get(c, c) for c in choice))


def test_cell(version, wheel, shapely, log):
    py = venv(MATRIX / ("py%s-shapely%s" % (version, shapely)), PYTHON_OF[version], log)
    run([py, "-m", "pip", "install", "-q", "--force-reinstall", "--no-deps", wheel], log)
    run([py, "-m", "pip", "install", "-q", "%s[test,viz]" % wheel, "shapely==%s" % shapely], log)
    geos = run([py, "-c", "import shapely; print(shapely.geos_version_string)"], log).stdout.strip()
    tests = run([py, "-m", "pytest", "-q", "-p", "no:cacheprovider"], log, check=False).stdout
    counts = {k: 0 for k in ("passed", "failed", "error", "skipped")}
    for number, kind in re.findall(r"(\d+) (passed|failed|errors?|skipped)", tests.strip().splitlines()[-1]):
        counts[kind.rstrip("s") if kind.startswith("error") else kind] += int(number)
    bench = run([py, "benchmarks/bench_latestq.py"], log, env={"QUILLO_BENCH_QUICK": "1"}, check=False).stdout
    ratio = re.search(r"ratio B/A = ([0-9.]+)", bench)
    return geos, counts, ratio.group(1) if ratio else "-"


PYTHON_OF = {}


def main():
    MATRIX.mkdir(parents=True, exist_ok=True)
    (MATRIX / "logs").mkdir(exist_ok=True)
    skipped, rows, failed_cells = [], [], 0
    pythons = find_pythons(skipped)
    cxx = find_compiler()
    print("compiler: %s" % cxx)
    for full, path in pythons:
        version = ".".join(full.split(".")[:2])
        PYTHON_OF[version] = path
        log = MATRIX / "logs" / ("py%s-%s.log" % (version, cxx))
        log.write_text("")
        print("python %s (%s): building ..." % (full, path), flush=True)
        try:
            wheel = build_wheel(version, path, cxx, log)
        except RuntimeError as exc:
            rows.append((full, cxx, "-", "-", "build failed: %s" % exc, "-"))
            failed_cells += 1
            continue
        oldest, newest = shapely_versions(version, venv(MATRIX / ("build-venv-py" + version), path, log), log)
        if newest is None:
            skipped.append("python %s: could not learn the newest shapely; testing %s only" % (full, oldest))
        for shapely in wanted_shapely(oldest, newest):
            print("python %s, shapely %s: testing ..." % (full, shapely), flush=True)
            try:
                geos, counts, ratio = test_cell(version, wheel, shapely, log)
            except RuntimeError as exc:
                rows.append((full, cxx, shapely, "-", "set-up failed: %s" % exc, "-"))
                failed_cells += 1
                continue
            bad = counts["failed"] + counts["error"]
            failed_cells += bool(bad) or not counts["passed"]
            result = "%d passed, %d failed" % (counts["passed"], bad)
            if counts["skipped"]:
                result += ", %d skipped" % counts["skipped"]
            rows.append((full, cxx, shapely, geos, result, ratio))
    for reason in skipped:
        print("skipped: " + reason)
    header = ("python", "compiler", "shapely", "GEOS", "result", "queue ratio B/A")
    widths = [max(len(str(r[i])) for r in rows + [header]) for i in range(len(header))]
    print()
    for row in [header, tuple("-" * w for w in widths)] + rows:
        print("  ".join(str(c).ljust(w) for c, w in zip(row, widths)).rstrip())
    print("\nlogs: %s" % (MATRIX / "logs"))
    return 1 if failed_cells or not rows else 0


if __name__ == "__main__":
    sys.exit(main())
