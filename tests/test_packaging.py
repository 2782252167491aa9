"""What the built package ships: stubs that mypy accepts and that match the modules,
and extension modules that export nothing but their init function."""

import importlib
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

COMPILED = ["quillo_sdk.structures.latestq", "quillo_sdk.logging.log_id", "quillo_sdk.roi.zone_gate", "quillo_sdk.model.fetch"]
USAGE = sorted((pathlib.Path(__file__).parent / "typing").glob("usage_*.py"))


@pytest.mark.parametrize("usage", USAGE, ids=lambda p: p.name)
def test_mypy_accepts_usage(usage):
    run = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--python-version", "3.10", str(usage)],
        capture_output=True,
        text=True,
    )
    assert run.returncode == 0, run.stdout + run.stderr


@pytest.mark.parametrize("module", COMPILED)
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


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs binutils' nm")
@pytest.mark.parametrize("module", COMPILED)
def test_each_extension_exports_only_its_init_function(module):
    path = importlib.import_module(module).__file__
    out = subprocess.run(["nm", "-D", "--defined-only", path], capture_output=True, text=True, check=True).stdout
    exported = [line.split()[-1] for line in out.splitlines() if line.split()[1] not in "wWvV"]
    assert exported == ["PyInit_" + module.rsplit(".", 1)[1]]


SOURCE_TREE = pathlib.Path(__file__).parent.parent


@pytest.mark.skipif(not (SOURCE_TREE / "pyproject.toml").is_file(), reason="needs the source tree")
def test_make_install_uses_the_build_requirements_of_pyproject():
    root = SOURCE_TREE
    block = re.search(r"^requires = \[(.*?)\]", (root / "pyproject.toml").read_text(), re.S | re.M).group(1)
    declared = re.findall(r'"([^"]+)"', block)
    makefile = re.search(r"^BUILD_REQUIRES := (.*?)\n\n", (root / "Makefile").read_text(), re.S | re.M).group(1)
    assert re.findall(r'"([^"]+)"', makefile) == declared
    assert any("<2.10; python_version<'3.9'" in r for r in declared)  # the last nanobind for 3.8
