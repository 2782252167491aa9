"""``quillo demo``: every part of the kit together, against an embedded development backend."""

from __future__ import annotations

import argparse
import logging
import os
from typing import Any

from quillo_sdk.cli._common import (
    JobFailed,
    UsageError,
    add_command,
    examples,
    frame_image_size,
    nonempty,
    picture_target,
    positive_int,
    writable_dir_problem,
    wrap,
)
from quillo_sdk.logging import configure

DEFAULT_PICTURE = "quillo-demo.png"


def run(args: argparse.Namespace) -> int:
    from quillo_sdk.demo import run_demo

    # Found out before the run, not after it.
    asked = args.out is not None
    picture = picture_target(os.path.join("out", DEFAULT_PICTURE) if args.out is None else args.out,
                             DEFAULT_PICTURE, asked=asked)
    if picture:
        frame_image_size(args.image)
    elif args.image and asked:
        raise UsageError("--image needs a picture to draw: drop --out ''")
    if args.base_dir:
        problem = writable_dir_problem(args.base_dir)
        if problem:
            raise JobFailed("cannot store models in %s: %s" % (args.base_dir, problem))
    # The kit's log lines only with -v: every frame's event, each zone entry and exit, the fetch.
    configure(logging.DEBUG if args.verbose else logging.WARNING)
    try:
        status = run_demo(frames=args.frames, seed=args.seed, out=picture, base_dir=args.base_dir, model=args.model,
                          image=args.image)
    except OSError as exc:  # an unwritable --out or --base-dir
        raise JobFailed("%s: %s" % (exc.filename or "demo", exc.strerror or exc)) from None
    if status:
        raise JobFailed("the model %s was not fetched or not recognised; run with -v to see why" % args.model)
    return 0


def add_to(commands: Any) -> None:
    from quillo_sdk.devserver import DEFAULT_MODEL, SAMPLE_MODELS

    demo = add_command(
        commands, "demo", run, "run every part together against an embedded development backend",
        wrap("Start a development backend, fetch a detection model end to end, run a synthetic video pipeline "
             "(producer faster than consumer, drop-oldest queue, batch drains, zone gate, zone monitor, log "
             "identifiers), then print a summary and draw a picture of the zones and the last frames' items "
             "(with Pillow, the viz extra). No account needed; -v shows the kit's log lines."),
        examples("quillo demo", "quillo demo --frames 100 --seed 3 --out /tmp/zones.jpg",
                 "quillo demo --image frame.jpg --out pictures/",
                 "quillo demo --base-dir ./models --model person-detection-openvino -v",
                 note="The scene is reproducible from --seed; which frames the queue drops depends on timing.\n"
                      "Pictures need Pillow: pip install \"Pillow>=10.1\" (the kit's viz extra). Without it the\n"
                      "default picture is skipped with a note; an --out asked for fails the command.\n"))
    demo.add_argument("--frames", type=positive_int, default=300, help="frames to produce (default 300)")
    demo.add_argument("--seed", type=int, default=7, help="seed of the synthetic scene (default 7)")
    demo.add_argument("--out", metavar="PICTURE",
                      help="picture to write, .png or .jpg, or a directory (made if need be) for quillo-demo.png "
                           "in it; '' for none (default out/quillo-demo.png)")
    demo.add_argument("--image", metavar="FRAME", help="draw the picture over this camera frame (.png, .jpg)")
    demo.add_argument("--base-dir", type=nonempty, help="keep fetched models here (default: a temporary directory)")
    demo.add_argument("--model", default=DEFAULT_MODEL, choices=sorted(SAMPLE_MODELS), metavar="KEY",
                      help="sample model to fetch: %s (default %s)" % (", ".join(SAMPLE_MODELS), DEFAULT_MODEL))
    demo.add_argument("-v", "--verbose", action="store_true",
                      help="also show the kit's log lines: the fetch, every frame's event, each zone entry and exit")
