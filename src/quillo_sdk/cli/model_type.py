"""``quillo model-type``: name the framework of an unpacked model directory."""

from __future__ import annotations

import argparse
import os
import sys
from typing import Any

from quillo_sdk.cli._common import PROG, UsageError, add_command, examples, wrap

RULES = """\
rules, in the order tried (the first that matches decides; "files" are the extensions, lower-cased,
of the regular files directly in DIR; "path" is DIR's absolute path, parent directories included):
  1. .weights files, and "yolov" or "yolo_" in the path (exact case)  tf_yolo
  2. .xml and .bin files                                               openvino
  3. .tflite files                                                     tflite
  4. .trt files                                                        tensorrt
  5. "yolo" in the path (any case), and .pb files or a saved_model/    tf_yolo
  6. a saved_model/ folder holding .pb files                           tf_v2
     (a saved_model/ folder without them skips rule 7)
  7. .pb files                                                         tf_v1
  8. .weights files                                                    tf_v2
  9. .cfg and .pt files                                                torch
  none: "unknown", exit status 1 (e.g. .onnx, .engine, or .pt alone)
"""


def run(args: argparse.Namespace) -> int:
    from quillo_sdk.model import fetch

    if not os.path.isdir(args.dir):
        raise UsageError(("not a directory: " if os.path.exists(args.dir) else "no such directory: ") + args.dir)
    try:
        # The rules read the whole path, so the answer must not depend on where the command runs:
        # the absolute path, as download_detection_model gives it.
        model_type = fetch.check_model_type(os.path.abspath(args.dir))
    except OSError as exc:
        raise UsageError("cannot read %s: %s" % (args.dir, exc.strerror or exc)) from None
    if model_type is None:
        print("unknown")
        print("%s: no rule matched the files in %s (quillo model-type --help lists the rules)" % (PROG, args.dir),
              file=sys.stderr)
        return 1
    print(model_type)
    return 0


def add_to(commands: Any) -> None:
    model_type = add_command(
        commands, "model-type", run, "name the framework of an unpacked model directory",
        wrap("Print the framework of the model in DIR (tf_yolo, openvino, tflite, tensorrt, tf_v2, tf_v1, "
             "torch), or \"unknown\" with exit status 1, by the rules download_detection_model's callers "
             "use.") + "\n\n" + RULES,
        examples("quillo model-type ~/.cache/quillo/models/yolov4-tiny-demo",
                 "quillo model-type ./models/efficientdet-d0-saved-model || echo 'not a model'"))
    model_type.add_argument("dir", metavar="DIR", help="model directory")
