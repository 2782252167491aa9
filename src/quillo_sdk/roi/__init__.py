"""Region-of-interest filtering; ``zone_gate`` is compiled beside this file."""

from __future__ import annotations

import shapely as _shapely

# The compiled gate uses shapely 2's vectorised API; an older shapely would only
# fail inside the extension's initialisation, with a less helpful message.
if int(str(_shapely.__version__).split(".")[0]) < 2:
    raise ImportError(f"quillo_sdk needs shapely 2.0 or newer; found {_shapely.__version__}")
