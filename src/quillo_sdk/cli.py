"""The ``quillo`` command (a first demo of the queue and the identifiers)."""

from __future__ import annotations

import argparse
import logging
import threading
from typing import Optional, Sequence

from quillo_sdk.logging import configure, get_logger


def run_demo(frames: int = 200) -> int:
    from quillo_sdk.logging.log_id import EventType, LogIDGenerator
    from quillo_sdk.structures.latestq import LatestQueue

    log = get_logger("demo")
    ids = LogIDGenerator(node_id="demo-node", source_idx=0)
    log.info(ids.format_log_with_session("session " + ids.generate_session_id()))
    frames_queue = LatestQueue(8)
    done = threading.Event()

    def produce() -> None:
        for n in range(frames):
            frames_queue.put(n)
        done.set()

    producer = threading.Thread(target=produce)
    producer.start()
    processed = 0
    while not (done.is_set() and frames_queue.empty()):
        for frame in frames_queue.drain_fast(4):
            processed += 1
            log.info(LogIDGenerator.format_log_with_id("frame %d" % frame, ids.generate_event_id(EventType.FRAME)))
    producer.join()
    log.info("frames made %d, processed %d, dropped %d", frames, processed, frames - processed)
    return 0


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(prog="quillo", description="quillo_sdk command line")
    commands = parser.add_subparsers(dest="command", required=True)
    demo = commands.add_parser("demo", help="run the demo")
    demo.add_argument("--frames", type=int, default=200)
    args = parser.parse_args(argv)
    configure(logging.INFO)
    return run_demo(args.frames)
