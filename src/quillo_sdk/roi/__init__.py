"""Region-of-interest filtering; ``zone_gate`` is compiled beside this file."""
