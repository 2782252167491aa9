"""``quillo info``: versions, libraries and the fast paths of the compiled modules."""

from __future__ import annotations

import argparse
import json
import platform
from typing import Any, Dict, Optional

from quillo_sdk import __version__
from quillo_sdk.cli._common import add_command, examples, wrap


COMPILED_MODULES = ("quillo_sdk.structures.latestq", "quillo_sdk.roi.zone_gate", "quillo_sdk.model.fetch",
                    "quillo_sdk.logging.log_id")


def _libmagic_version() -> Optional[str]:
    try:
        import magic

        number = magic.version()
    except Exception:  # no binding, no library, or a library without magic_version
        number = None
    if not number:
        import ctypes
        import ctypes.util

        name = ctypes.util.find_library("magic")
        try:
            number = ctypes.CDLL(name or "libmagic.so.1").magic_version()
        except (OSError, AttributeError):
            return None
    return "%d.%02d" % divmod(int(number), 100)


NOT_REPORTED = object()  # a zone gate built before it told which GEOS library it bound


def collect_info() -> Dict[str, Any]:
    """What ``quillo info`` reports, as a JSON-ready mapping."""
    import importlib

    from quillo_sdk.constants import PORTABLE

    info: Dict[str, Any] = {
        "version": __version__,
        "python": "%s %s" % (platform.python_implementation(), platform.python_version()),
        "platform": platform.platform(),
        "portable": PORTABLE,
    }
    versions: Dict[str, Optional[str]] = {}
    for name in ("numpy", "shapely", "requests", "PIL"):
        try:
            versions["Pillow" if name == "PIL" else name] = importlib.import_module(name).__version__
        except Exception:
            versions["Pillow" if name == "PIL" else name] = None
    info["libraries"] = versions
    try:
        import shapely

        geos_version: Optional[str] = shapely.geos_version_string
    except Exception:
        geos_version = None
    info["libmagic"] = _libmagic_version()
    modules: Dict[str, str] = {}
    shortcuts: Dict[str, Dict[str, Any]] = {}
    geos_library: Any = None
    for module_name in COMPILED_MODULES:
        try:
            module = importlib.import_module(module_name)
        except Exception as exc:
            modules[module_name] = "failed to load: " + (" ".join(str(exc).split()) or type(exc).__name__)
            continue
        modules[module_name] = "ok"
        short = module_name.rsplit(".", 1)[1]
        for name, verdict in sorted(dict(getattr(module, "_shortcuts", None) or {}).items()):
            enabled, reason = verdict
            shortcuts["%s.%s" % (short, name)] = {"enabled": bool(enabled), "reason": reason}
        if short == "zone_gate":
            geos_library = getattr(module, "_geos_library", NOT_REPORTED)
    info["geos"] = {"version": geos_version, "library": None if geos_library is NOT_REPORTED else geos_library}
    info["geos_library_reported"] = geos_library is not NOT_REPORTED
    info["modules"] = modules
    info["fast_paths"] = {name: v["enabled"] for name, v in shortcuts.items()}
    info["shortcuts"] = shortcuts
    return info


def run(args: argparse.Namespace) -> int:
    info = collect_info()
    if args.json:
        print(json.dumps(info, indent=2))
        return 0
    libraries = info["libraries"]
    geos = info["geos"]
    gate_loaded = info["modules"].get("quillo_sdk.roi.zone_gate") == "ok"
    lines = [
        "quillo_sdk %s" % info["version"],
        "  %-10s %s" % ("python", info["python"]),
        "  %-10s %s" % ("platform", info["platform"]),
        "  %-10s %s" % ("numpy", libraries["numpy"] or "not installed"),
        "  %-10s %s" % ("shapely", libraries["shapely"] or "not installed"),
        "  %-10s %s" % ("GEOS", geos["version"] or "unknown"),
        "  %-10s %s" % ("GEOS lib", geos["library"] if geos["library"] else
                        "zone gate not loaded" if not gate_loaded else
                        "not reported by this build" if not info["geos_library_reported"] else
                        "none bound: the zone gate asks shapely for the hard cases"),
        "  %-10s %s" % ("libmagic", info["libmagic"] or "not found (Debian/Ubuntu: apt-get install libmagic1)"),
        "  %-10s %s" % ("Pillow", libraries["Pillow"] or 'not installed (pictures: pip install "Pillow>=10.1")'),
        "modules:",
    ]
    lines += ["  %-32s %s" % (name, state) for name, state in info["modules"].items()]
    lines.append("fast paths%s:" % (" (QUILLO_SDK_PORTABLE=1: all off)" if info["portable"] else ""))
    if not info["shortcuts"]:
        lines.append("  none")
    for name, verdict in info["shortcuts"].items():
        lines.append("  %-32s %s" % (name, "true" if verdict["enabled"] else
                                     "false (%s)" % (verdict["reason"] or "no reason given")))
    print("\n".join(lines))
    return 0


def add_to(commands: Any) -> None:
    info = add_command(
        commands, "info", run, "show versions, libraries and the fast paths in use",
        wrap("Print the kit's version, Python and platform, the numpy, shapely, GEOS and libmagic versions, "
             "the GEOS library the zone gate bound, and every fast path of the compiled modules with whether it "
             "is on and, when off, why. QUILLO_SDK_PORTABLE=1 turns every fast path off."),
        examples("quillo info", "quillo info --json | jq .fast_paths", "QUILLO_SDK_PORTABLE=1 quillo info"))
    info.add_argument("--json", action="store_true", help="print one JSON object")
