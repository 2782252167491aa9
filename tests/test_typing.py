"""The shipped stubs describe the compiled modules: mypy accepts real usage and the
stubs' names exist at run time."""

import importlib
import pathlib
import subprocess
import sys

import pytest

USAGE = sorted((pathlib.Path(__file__).parent / "typing").glob("usage_*.py"))


@pytest.mark.parametrize("usage", USAGE, ids=lambda p: p.name)
def test_mypy_accepts_usage(usage):
    run = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--python-version", "3.10", str(usage)],
        capture_output=True,
        text=True,
    )
    assert run.returncode == 0, run.stdout + run.stderr


@pytest.mark.parametrize(
    "module",
    ["quillo_sdk.structures.latestq", "quillo_sdk.logging.log_id", "quillo_sdk.roi.zone_gate", "quillo_sdk.model.fetch"],
)
def test_stub_and_marker_ship_with_each_compiled_module(module):
    mod = importlib.import_module(module)
    path = pathlib.Path(mod.__file__)
    stub = path.parent / (module.rsplit(".", 1)[1] + ".pyi")
    assert stub.is_file()
    assert (pathlib.Path(importlib.import_module("quillo_sdk").__file__).parent / "py.typed").is_file()
    for line in stub.read_text().splitlines():
        if line.startswith(("class ", "def ")):
            name = line.split()[1].split("(")[0].split(":")[0]
            assert hasattr(mod, name), f"{module}.{name} is in the stub but not in the module"
