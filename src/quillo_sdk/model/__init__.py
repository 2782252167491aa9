"""Model fetching; ``fetch`` is compiled beside this file."""
