"""quillo_sdk: building blocks for vision applications on edge devices.

Import the parts you need; nothing here starts a thread or a service:

- ``quillo_sdk.structures.latestq``: ``LatestQueue``, a drop-oldest queue with a batch drain;
- ``quillo_sdk.roi.zone_gate``: ``ZoneGate``, polygon include/exclusion zones for detections and tracks;
- ``quillo_sdk.model.fetch``: model download, safe unpacking and framework detection;
- ``quillo_sdk.logging``: logger facade and ``log_id`` correlation identifiers;
- ``quillo_sdk.constants``: settings read from the environment.
"""

__version__ = "0.1.0"
