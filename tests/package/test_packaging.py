"""The suite tests the installed package, and that package carries its
typing files and metadata true to it."""

import sys
from importlib.metadata import metadata
from pathlib import Path

from packaging.specifiers import SpecifierSet

import tavrel
from tavrel.eal import dialogs

SRC = Path(__file__).resolve().parents[2] / "src"


def test_the_installed_package_is_under_test():
    # Were src/ on sys.path, the tests would pass without the built module
    # ever being installed.
    for module in (tavrel, dialogs):
        assert SRC not in Path(module.__file__).resolve().parents, module


def test_typing_files_are_installed():
    package = Path(tavrel.__file__).parent
    assert (package / "py.typed").is_file()
    for stub in ("dialogs.pyi", "dialog_processor.pyi"):
        assert (package / "eal" / stub).is_file(), stub


def test_metadata_matches_the_package_and_this_interpreter():
    # The version is written once, in tavrel/__init__.py; the build reads it
    # from there. Every interpreter the suite runs on must be one the
    # package claims.
    meta = metadata("tavrel")
    assert meta["Version"] == tavrel.__version__
    running = "%d.%d" % sys.version_info[:2]
    assert running in SpecifierSet(meta["Requires-Python"])
    assert f"Programming Language :: Python :: {running}" in \
        meta.get_all("Classifier")
