"""Data structures of the kit; ``latestq`` is compiled beside this file."""
