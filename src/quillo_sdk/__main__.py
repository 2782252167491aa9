"""``python -m quillo_sdk``: the ``quillo`` command."""

from quillo_sdk.cli import main

raise SystemExit(main())
