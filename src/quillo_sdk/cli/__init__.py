"""The ``quillo`` command: the kit's demo, and its tools against your own backend and zones.

One module per command (``demo``, ``fetch``, ``model_type``, ``zones``, ``info``, ``devserver``),
each with its ``run(args)`` and ``add_to(commands)``, over the kit's APIs; ``_common`` holds what
they share. Exit status: 0 success; 1 the job failed; 2 bad usage or input; 130 interrupted.
"""

from __future__ import annotations

import argparse
import os
import sys
from typing import List, NoReturn, Optional, Sequence

from quillo_sdk import __version__
from quillo_sdk.cli import demo, devserver, fetch, info, model_type, zones
from quillo_sdk.cli._common import ENVIRONMENT, PROG, Interrupted, JobFailed, UsageError, examples

COMMANDS = (demo, fetch, model_type, zones, info, devserver)


class Parser(argparse.ArgumentParser):
    """Bad usage on one line, with where to read more."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, "%s: error: %s (%s --help shows the usage)\n" % (self.prog, message, self.prog))


def build_parser() -> argparse.ArgumentParser:
    parser = Parser(
        prog=PROG, formatter_class=argparse.RawDescriptionHelpFormatter,
        description="quillo_sdk: rolling frame queue, zone gate, model fetcher and log identifiers.",
        epilog=examples("quillo demo", "quillo devserver --port 8080", "quillo fetch yolov4-tiny-demo",
                        "quillo model-type ~/.cache/quillo/models/yolov4-tiny-demo",
                        "quillo zones zones.json detections.json --frame 1280x720 --out zones.png",
                        "quillo zones --check zones.json", "quillo info", note=ENVIRONMENT))
    parser.add_argument("--version", action="version", version="%(prog)s " + __version__)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for command in COMMANDS:
        command.add_to(commands)
    return parser


def _causes(exc: BaseException) -> List[BaseException]:
    chain: List[BaseException] = []
    while exc is not None and exc not in chain and len(chain) < 20:
        chain.append(exc)
        exc = exc.__cause__ or exc.__context__  # type: ignore[assignment]
    return chain


def import_problem(exc: ImportError) -> str:
    """What a failed import means for the user, and what to install."""
    from quillo_sdk.picture import PillowMissing

    if isinstance(exc, PillowMissing):
        return str(exc)
    text = " ".join(str(e) for e in _causes(exc))
    if "libmagic" in text or getattr(exc, "name", None) == "magic" or "magic" in text.split():
        return ("libmagic is missing (the model fetcher needs it): install the libmagic1 package "
                "(Debian, Ubuntu, Raspberry Pi OS: sudo apt-get install libmagic1; Fedora: file-libs; "
                "macOS: brew install libmagic)")
    return "a part of the kit failed to load: %s (reinstall the kit; quillo info shows what loads)" % (
        str(exc) or type(exc).__name__)


def fail(message: str, status: int) -> int:
    print("%s: error: %s" % (PROG, " ".join(message.split())), file=sys.stderr)
    return status


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        return int(args.run(args))
    except UsageError as exc:
        return fail(str(exc), 2)
    except JobFailed as exc:
        return fail(str(exc), 1)
    except Interrupted as exc:
        return fail(str(exc), 130)
    except ImportError as exc:
        if any(isinstance(cause, KeyboardInterrupt) for cause in _causes(exc)):  # Ctrl-C while a module loaded
            return fail("interrupted", 130)
        return fail(import_problem(exc), 1)
    except KeyboardInterrupt:
        return fail("interrupted", 130)
    except BrokenPipeError:  # the reader went away (| head): nothing more to say
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
