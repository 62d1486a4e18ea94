"""The suite tests the installed package, and that package carries its
typing files."""

from pathlib import Path

import tavrel
from tavrel.eal import dialogs

SRC = Path(__file__).resolve().parent.parent / "src"


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
