"""Debian's arm64 packages, unpacked without installing them.

The aarch64 wheels need CPython headers whose pyconfig.h was made on that
architecture, and their test needs an arm64 CPython to run under qemu-user.
Both come from Debian's archive: `apt-get download` fetches a package of the
foreign architecture, `dpkg -x` unpacks it into a folder.
"""

from __future__ import annotations

import pathlib
import shutil
import subprocess
import time

# Debian's arm64 CPython: the only version its stable release carries.
PYTHON = "3.11"

HEADER_PACKAGES = ["libpython3.11-dev"]

# What the interpreter, the kit's dependencies' wheels (libstdc++ for shapely's
# GEOS) and python-magic's libmagic load; the rest of libpython3.11-stdlib's
# dependencies serve modules the suite does not import.
RUNTIME_PACKAGES = [
    "python3.11-minimal", "libpython3.11-minimal", "libpython3.11-stdlib",
    "libc6", "libgcc-s1", "libstdc++6", "libssl3", "libffi8", "zlib1g", "libexpat1",
    "libbz2-1.0", "liblzma5", "libsqlite3-0", "libuuid1", "libcrypt1",
    "libncursesw6", "libtinfo6", "libreadline8", "libmagic1", "libmagic-mgc",
]

# x86-only switches of CPython's configure; none of them is read by the
# headers an extension module includes (they select CPython's own float code).
X86_ONLY_MACROS = ["HAVE_GCC_ASM_FOR_X64", "HAVE_GCC_ASM_FOR_X87"]


def _apt(args: list[str]) -> None:
    """apt-get with a few retries while another process holds its lock."""
    for attempt in range(6):
        run = subprocess.run(["apt-get", "-qq", *args], capture_output=True, text=True)
        if run.returncode == 0:
            return
        if "lock" not in run.stderr.lower() or attempt == 5:
            raise RuntimeError("apt-get %s failed:\n%s" % (" ".join(args), run.stderr))
        time.sleep(10)


def _ensure_arm64_lists() -> None:
    foreign = subprocess.run(["dpkg", "--print-foreign-architectures"], capture_output=True, text=True, check=True)
    known = subprocess.run(["apt-cache", "policy", "libc6:arm64"], capture_output=True, text=True).stdout
    if "arm64" in foreign.stdout.split() and "Candidate: (none)" not in known and known.strip():
        return
    subprocess.run(["dpkg", "--add-architecture", "arm64"], check=True)
    _apt(["update"])


def download(packages: list[str], debs: pathlib.Path) -> list[pathlib.Path]:
    """The .deb files of `packages` (arm64) in `debs`, fetched once."""
    debs.mkdir(parents=True, exist_ok=True)
    missing = [p for p in packages if not list(debs.glob(p + "_*_arm64.deb")) and not list(debs.glob(p + "_*_all.deb"))]
    if missing:
        _ensure_arm64_lists()
        for attempt in range(3):
            run = subprocess.run(["apt-get", "-qq", "download", *[p + ":arm64" for p in missing]],
                                 cwd=debs, capture_output=True, text=True)
            if run.returncode == 0:
                break
            if attempt == 2:
                raise RuntimeError("apt-get download failed:\n" + run.stderr)
            time.sleep(10)
    return [next(iter(sorted(debs.glob(p + "_*.deb")))) for p in packages]


def unpack(debs: list[pathlib.Path], root: pathlib.Path) -> pathlib.Path:
    """Unpack the packages into `root` (made afresh when the package set changes)."""
    stamp = root / ".debs"
    wanted = "\n".join(sorted(d.name for d in debs))
    if stamp.is_file() and stamp.read_text() == wanted:
        return root
    shutil.rmtree(root, ignore_errors=True)
    root.mkdir(parents=True)
    for deb in debs:
        subprocess.run(["dpkg", "-x", str(deb), str(root)], check=True)
    stamp.write_text(wanted)
    return root


def debian_headers(cache: pathlib.Path) -> pathlib.Path:
    """Debian's arm64 CPython 3.11 include folder with its own pyconfig.h in place.

    Debian's python3.11/pyconfig.h only includes the multiarch one; the copy
    made here holds the arm64 file itself, so that nothing else of the
    unpacked tree is on the include path.
    """
    root = unpack(download(HEADER_PACKAGES, cache / "debs"), cache / "dev-root")
    source = root / "usr/include/python3.11"
    include = cache / "include" / "python3.11"
    if not (include / "Python.h").is_file():
        shutil.rmtree(include, ignore_errors=True)
        shutil.copytree(source, include)
        shutil.copyfile(root / "usr/include/aarch64-linux-gnu/python3.11/pyconfig.h", include / "pyconfig.h")
    return include


def derived_headers(x86_include: pathlib.Path, dest: pathlib.Path) -> pathlib.Path:
    """A CPython include folder for aarch64 made from the x86_64 one.

    Both are LP64 little-endian Linux with 16-byte long double and the same
    type sizes; the x86_64 pyconfig.h differs from an arm64 one only in
    configure results for CPython's own build (the x86 float switches below,
    libc feature probes), not in anything the public headers lay out.
    """
    if (dest / "Python.h").is_file():
        return dest
    shutil.rmtree(dest, ignore_errors=True)
    shutil.copytree(x86_include, dest)
    config = dest / "pyconfig.h"
    lines = config.read_text().splitlines(keepends=True)
    kept = [line for line in lines if not any(line.startswith("#define " + m) for m in X86_ONLY_MACROS)]
    config.write_text("".join(kept))
    return dest


def runtime_root(cache: pathlib.Path) -> pathlib.Path:
    """An arm64 root with Debian's CPython 3.11 and libmagic, for qemu-aarch64 -L."""
    return unpack(download(RUNTIME_PACKAGES, cache / "debs"), cache / "runtime-root")
