"""What the commands share: their errors, argument types, help layout and picture targets."""

from __future__ import annotations

import argparse
import json
import math
import os
import sys
import textwrap
from typing import Any, Callable, Optional, Tuple

PROG = "quillo"


class UsageError(Exception):
    """Bad input from the user: reported on one line, exit status 2."""


class JobFailed(Exception):
    """The command's job failed: reported on one line, exit status 1."""


class Interrupted(Exception):
    """Ctrl-C, with what it left behind: reported on one line, exit status 130."""


def note(message: str) -> None:
    print("%s: note: %s" % (PROG, message), file=sys.stderr)


def writable_dir_problem(path: str) -> Optional[str]:
    """Why files cannot be made in directory ``path`` (created on demand), or None."""
    probe = os.path.abspath(path)
    while not os.path.exists(probe):
        probe = os.path.dirname(probe)
    if not os.path.isdir(probe):
        return "%s is not a directory" % probe
    if not os.access(probe, os.W_OK | os.X_OK):
        return "permission denied on %s" % probe
    return None


def load_json(path: str, what: str) -> Any:
    """The JSON document in ``path`` ('-': stdin), or a :class:`UsageError` saying why not."""
    def reject(constant: str) -> Any:
        raise ValueError(constant + " is not allowed")

    try:
        if path == "-":
            text = sys.stdin.read()
        else:
            with open(path, encoding="utf-8-sig") as source:  # editors on Windows write a BOM
                text = source.read()
    except (OSError, UnicodeDecodeError) as exc:
        raise UsageError("cannot read %s %s: %s" % (what, path, getattr(exc, "strerror", None) or exc)) from None
    try:
        return json.loads(text[1:] if text.startswith("\ufeff") else text, parse_constant=reject)
    except ValueError as exc:
        raise UsageError("%s %s is not valid JSON: %s" % (what, path, exc)) from None
    except RecursionError:
        raise UsageError("%s %s is nested too deeply" % (what, path)) from None


# --- argument types ------------------------------------------------------------------------------

def positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("expected a whole number, got %r" % text) from None
    if value <= 0:
        raise argparse.ArgumentTypeError("expected a number above 0, got %r" % text)
    return value


def nonempty(text: str) -> str:
    if not text:
        raise argparse.ArgumentTypeError("must not be empty")
    return text


def port(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = -1
    if not 0 <= value <= 65535:
        raise argparse.ArgumentTypeError("expected a port from 0 to 65535, got %r" % text)
    return value


# --- help ----------------------------------------------------------------------------------------

ENVIRONMENT = """\
configuration (environment variables, read when the kit is imported):
  SERVER_HOST        backend API host, e.g. http://127.0.0.1:8080 (a host without a scheme uses https)
  QUILLO_MODEL_DIR   directory for model archives and unpacked models
  QUILLO_TOKEN_FILE  file holding the device token
"""


def wrap(text: str) -> str:
    return textwrap.fill(text, 100)


def examples(*lines: str, note: str = "") -> str:
    return "examples:\n" + "".join("  " + line + "\n" for line in lines) + ("\n" + note if note else "")


Run = Callable[[argparse.Namespace], int]


def add_command(commands: Any, name: str, run: Run, summary: str, description: str,
                epilog: str) -> argparse.ArgumentParser:
    sub: argparse.ArgumentParser = commands.add_parser(
        name, help=summary, description=description, epilog=epilog, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub.set_defaults(run=run)
    return sub


# --- pictures ------------------------------------------------------------------------------------

def picture_target(out: Optional[str], default_name: str, asked: bool) -> Optional[str]:
    """The picture file for ``out`` (a file or a directory), checked before any work.

    Without Pillow a picture the user ``asked`` for fails the command; one drawn by default is
    skipped with a note.
    """
    if not out:
        return None
    from quillo_sdk.picture import VIZ_HINT, picture_format, picture_path, pillow_available

    path = picture_path(out, default_name)
    try:
        picture_format(path)
    except ValueError as exc:
        raise UsageError(str(exc)) from None
    if not pillow_available():
        if asked:
            raise JobFailed("cannot draw %s: %s" % (path, VIZ_HINT))
        note("no picture: " + VIZ_HINT)
        return None
    problem = writable_dir_problem(os.path.dirname(os.path.abspath(path)))
    if not problem and os.path.exists(path) and not os.access(path, os.W_OK):
        problem = "permission denied on %s" % path
    if problem:
        raise JobFailed("cannot write the picture: " + problem)
    try:
        os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    except OSError as exc:
        raise JobFailed("cannot make the folder of %s: %s" % (path, exc.strerror or exc)) from None
    return path


def frame_image_size(image: Optional[str]) -> Optional[Tuple[int, int]]:
    """The size of the camera frame ``image``; None without one or without Pillow."""
    if not image:
        return None
    if not os.path.isfile(image):
        raise UsageError("no such frame image: %s" % image)
    from quillo_sdk.picture import PillowMissing, frame_size_of

    try:
        return frame_size_of(image)
    except PillowMissing:
        return None
    except ValueError as exc:
        raise UsageError(str(exc)) from None


def finite_pair(text: str, separator: str, what: str, convert: Callable[[str], float]) -> Tuple[float, float]:
    """Two finite numbers written with ``separator`` between them, or an argparse error naming ``what``."""
    first, found, second = text.partition(separator)
    try:
        a, b = convert(first.strip()), convert(second.strip())
    except ValueError:
        found = ""
    if not found or not (math.isfinite(a) and math.isfinite(b)):
        raise argparse.ArgumentTypeError("expected %s, got %r" % (what, text))
    return a, b
