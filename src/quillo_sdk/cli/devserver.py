"""``quillo devserver``: the development backend on loopback until Ctrl-C."""

from __future__ import annotations

import argparse
import errno
import logging
import os
import shlex
from typing import Any

from quillo_sdk.cli._common import JobFailed, UsageError, add_command, examples, port, positive_int
from quillo_sdk.logging import configure


def token(text: str) -> str:
    if not text:
        raise argparse.ArgumentTypeError("must not be empty: a device token of no characters would let any "
                                         "client in; leave --token out for a random one")
    return text


def run(args: argparse.Namespace) -> int:
    from quillo_sdk.devserver import SAMPLE_MODELS, DevServer, write_token_file

    configure(logging.INFO)
    try:
        server = DevServer(port=args.port, token=args.token, url_ttl=args.url_ttl)
    except ValueError as exc:
        raise UsageError("--token: %s" % exc) from None
    except OSError as exc:
        hint = " (another server has it; --port 0 picks a free port)" if exc.errno == errno.EADDRINUSE else ""
        raise JobFailed("cannot listen on 127.0.0.1:%d: %s%s" % (args.port, exc.strerror or exc, hint)) from None
    token_file = args.token_file
    if token_file:
        try:
            write_token_file(token_file, server.token)
        except OSError as exc:
            server.stop()
            raise JobFailed("cannot write the token to %s: %s" % (token_file, exc.strerror or exc)) from None
    lines = [
        "quillo devserver on " + server.base_url,
        "device token: " + server.token,
        "models:",
        *("  %-30s %s" % (m.key, m.description) for m in SAMPLE_MODELS.values()),
        "fetch with:",
        "  export SERVER_HOST=" + server.base_url,
    ]
    if token_file:
        lines.append("  export QUILLO_TOKEN_FILE=" + os.path.abspath(token_file))
    else:
        lines.append("  printf '%%s' %s > token.txt; export QUILLO_TOKEN_FILE=$PWD/token.txt" % shlex.quote(server.token))
    lines += ["  quillo fetch " + next(iter(SAMPLE_MODELS)), "Ctrl-C stops the server."]
    print("\n".join(lines), flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


def add_to(commands: Any) -> None:
    devserver = add_command(
        commands, "devserver", run, "run the development backend on loopback",
        "Serve the model-URL endpoint and signed sample model archives on 127.0.0.1 until Ctrl-C.",
        examples("quillo devserver", "quillo devserver --port 0 --token s3cret --token-file token.txt",
                 note="then, in another terminal:\n"
                      "  SERVER_HOST=http://127.0.0.1:8080 QUILLO_TOKEN_FILE=token.txt quillo fetch yolov4-tiny-demo"))
    devserver.add_argument("--port", type=port, default=8080, help="port (default 8080; 0 picks a free one)")
    devserver.add_argument("--token", type=token, help="device token to accept (default: a random one, printed)")
    devserver.add_argument("--token-file", metavar="FILE", help="also write the token to FILE (mode 600)")
    devserver.add_argument("--url-ttl", type=positive_int, default=600, metavar="SECONDS",
                           help="lifetime of signed download URLs (default 600)")
