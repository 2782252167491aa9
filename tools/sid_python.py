"""CPython releases newer than the host's distribution carries, from Debian's unstable suite.

    python3 tools/sid_python.py 3.14 3.15     # prints one interpreter path per version

Each interpreter is unpacked with `dpkg -x` into build/sid/<version>/root together with the C
library and the other libraries it was built against, and is run through that C library's own
loader by a small launcher (root/usr/bin/run-python<version>), so nothing is installed on the host
and the host's apt sources and state stay untouched: apt-get reads a sources list and keeps its
lists in build/sid/apt, pointing at the suite "sid" of the archive the host already uses.

The launcher passes its own name on as argv[0], so venvs made from it find their packages;
`make_venv` makes one with pip. The headers
(libpython<version>-dev) come along, with the multiarch pyconfig.h folded into the include folder,
so the kit builds against them like against any installed CPython.
"""

from __future__ import annotations

import argparse
import pathlib
import re
import shutil
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
SID = ROOT / "build" / "sid"
SUITE = "sid"
MULTIARCH = "x86_64-linux-gnu"

# The interpreter, its standard library and headers, pip's wheel, and the libraries their
# extension modules and the kit's dependencies load. libmagic is left to the host: python-magic
# finds it through the host's loader cache, together with the host's magic database.
PYTHON_PACKAGES = ["python{v}-minimal", "libpython{v}-minimal", "libpython{v}-stdlib", "libpython{v}",
                   "libpython{v}-dev"]
LIBRARY_PACKAGES = [
    "python3-pip-whl", "libc6", "libgcc-s1", "libstdc++6", "libexpat1", "zlib1g", "libzstd1",
    "libffi8", "liblzma5", "libbz2-1.0", "libsqlite3-0", "libuuid1", "libncursesw6", "libtinfo6",
    "libreadline8t64", "libssl3t64", "libmpdec4", "libcrypt1",
]


def _host_archive() -> str:
    """The URI of the Debian archive the host's own sources name."""
    for sources in sorted(pathlib.Path("/etc/apt/sources.list.d").glob("*.sources")):
        match = re.search(r"^URIs:\s*(\S+)", sources.read_text(), re.M)
        if match:
            return match.group(1)
    listing = pathlib.Path("/etc/apt/sources.list")
    match = re.search(r"^deb\s+(?:\[[^\]]*\]\s+)?(\S+)", listing.read_text() if listing.exists() else "", re.M)
    if not match:
        raise RuntimeError("no Debian archive found in the host's apt sources")
    return match.group(1)


def _apt_options() -> list[str]:
    apt = SID / "apt"
    return ["-o", "Dir::State=%s" % (apt / "state"), "-o", "Dir::Cache=%s" % (apt / "cache"),
            "-o", "Dir::Etc::SourceList=/dev/null", "-o", "Dir::Etc::SourceParts=%s" % (apt / "sources"),
            "-o", "Dir::State::status=/dev/null", "-o", "APT::Sandbox::User=root"]


def _apt(tool: str, *args: str, cwd: pathlib.Path | None = None) -> str:
    run = subprocess.run([tool, "-qq", *_apt_options(), *args], cwd=cwd, capture_output=True, text=True)
    if run.returncode != 0:
        raise RuntimeError("%s %s failed:\n%s" % (tool, " ".join(args), run.stderr))
    return run.stdout


def _update_lists() -> None:
    apt = SID / "apt"
    for folder in ("state/lists/partial", "cache/archives/partial", "sources"):
        (apt / folder).mkdir(parents=True, exist_ok=True)
    (apt / "sources" / "sid.sources").write_text(
        "Types: deb\nURIs: %s\nSuites: %s\nComponents: main\n"
        "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg\n" % (_host_archive(), SUITE))
    _apt("apt-get", "update")


def _download(packages: list[str], debs: pathlib.Path) -> list[pathlib.Path]:
    """The .deb files of `packages`, fetched into `debs` at the suite's current versions."""
    debs.mkdir(parents=True, exist_ok=True)
    _update_lists()
    shown = _apt("apt-cache", "show", "--no-all-versions", *packages)
    versions = dict(re.findall(r"^Package: (\S+)\n(?:.+\n)*?Version: (\S+)", shown, re.M))
    wanted = {p: "%s_%s_*.deb" % (p, versions[p].replace(":", "%3a")) for p in packages if p in versions}
    if len(wanted) < len(packages):
        raise RuntimeError("not in the %s lists: %s" % (SUITE, ", ".join(sorted(set(packages) - set(wanted)))))
    missing = [p for p, pattern in wanted.items() if not list(debs.glob(pattern))]
    if missing:
        _apt("apt-get", "download", *missing, cwd=debs)
    return [next(iter(sorted(debs.glob(wanted[p])))) for p in packages]


def _launcher(root: pathlib.Path, version: str) -> pathlib.Path:
    libs = root / "usr/lib" / MULTIARCH
    launcher = root / "usr/bin" / ("run-python" + version)
    launcher.write_text(
        '#!/bin/sh\n'
        '# Debian\'s CPython %s with the C library it was built for (see tools/sid_python.py).\n'
        'exec "%s" --library-path "%s" --argv0 "$0" "%s" "$@"\n'
        % (version, libs / "ld-linux-x86-64.so.2", libs, root / "usr/bin" / ("python" + version)))
    launcher.chmod(0o755)
    return launcher


def interpreter(version: str) -> pathlib.Path:
    """The launcher of Debian sid's CPython `version`, unpacked on first use."""
    if not re.fullmatch(r"3\.\d+", version):
        raise ValueError("a CPython version such as 3.14 is expected, not %r" % version)
    home = SID / version
    launcher = home / "root/usr/bin" / ("run-python" + version)
    if launcher.exists():
        return launcher
    packages = [p.format(v=version) for p in PYTHON_PACKAGES] + LIBRARY_PACKAGES
    debs = _download(packages, SID / "debs")
    staging = home / "root.new"
    shutil.rmtree(staging, ignore_errors=True)
    staging.mkdir(parents=True)
    for deb in debs:
        subprocess.run(["dpkg", "-x", str(deb), str(staging)], check=True)
    include = staging / "usr/include" / ("python" + version)
    shutil.copyfile(staging / "usr/include" / MULTIARCH / ("python" + version) / "pyconfig.h", include / "pyconfig.h")
    shutil.rmtree(home / "root", ignore_errors=True)
    staging.rename(home / "root")
    _launcher(home / "root", version)
    check = subprocess.run([str(launcher), "-c", "import ssl, sqlite3, lzma, ctypes, decimal"],
                           capture_output=True, text=True)
    if check.returncode != 0:
        raise RuntimeError("CPython %s from %s does not start:\n%s" % (version, SUITE, check.stderr))
    return launcher


def make_venv(interpreter: str | pathlib.Path, venv: pathlib.Path) -> pathlib.Path:
    """A venv with pip from any interpreter, launchers made here included; returns its python.

    A launcher's venv takes pip from the wheel unpacked beside the interpreter (its
    ensurepip would take the host's older wheel from /usr/share/python-wheels).
    """
    interpreter = pathlib.Path(interpreter)
    launched = interpreter.name.startswith("run-python") and SID in interpreter.resolve().parents
    command = [str(interpreter), "-m", "venv", str(venv)]
    subprocess.run(command + ["--without-pip"] if launched else command, check=True, capture_output=True)
    python = venv / "bin" / "python"
    if launched:
        base = pathlib.Path(subprocess.run([str(python), "-c", "import sys; print(sys.base_prefix)"],
                                           capture_output=True, text=True, check=True).stdout.strip())
        wheel = next(iter(sorted((base / "share/python-wheels").glob("pip-*.whl"))))
        subprocess.run([str(python), str(wheel / "pip"), "install", "-q", "--no-index", str(wheel)],
                       check=True, capture_output=True)
    return python


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("versions", nargs="+", metavar="VERSION", help="e.g. 3.14")
    args = parser.parse_args()
    for version in args.versions:
        print(interpreter(version))
    return 0


if __name__ == "__main__":
    sys.exit(main())
