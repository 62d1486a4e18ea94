"""The user's guide: its examples run, type-check under mypy --strict, match
the README, and the stubs match the built module."""

import importlib.util
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
EXAMPLES = sorted((ROOT / "examples").glob("*.py"))
README = ROOT / "README.md"

# Modules whose types are checked against the running code.
STUBBED = ["tavrel.eal.dialogs", "tavrel.eal.dialog_processor",
           "tavrel.utils", "tavrel.core.errors", "tavrel.testing"]

requires_mypy = pytest.mark.skipif(
    importlib.util.find_spec("mypy") is None,
    reason="mypy is not installed (it comes with requirements-dev.txt)")


def run(args, cwd, timeout=300):
    # Run outside the source tree so that nothing but the installed package
    # can be imported, by the examples and by mypy alike.
    env = {k: v for k, v in os.environ.items()
           if k not in ("PYTHONPATH", "MYPYPATH")}
    return subprocess.run([sys.executable, *args], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=timeout)


@pytest.mark.parametrize("path", EXAMPLES, ids=lambda p: p.name)
def test_example_runs(path, tmp_path):
    done = run([str(path)], tmp_path, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr


def readme_examples():
    """The README's python blocks that stand for an example file, by the
    file's name given in their first line."""
    blocks = re.findall(r"^```python\n(.*?)^```$", README.read_text(),
                        re.S | re.M)
    found = {}
    for block in blocks:
        first = re.match(r"# (examples/[\w.]+\.py)\b", block)
        if first:
            found[first.group(1)] = block
    return found


def test_readme_shows_each_example_as_it_is():
    shown = readme_examples()
    names = {"examples/" + p.name for p in EXAMPLES}
    assert set(shown) == names
    for name, block in shown.items():
        assert block == (ROOT / name).read_text(), name


@pytest.fixture(scope="module")
def mypy_cache(tmp_path_factory):
    return str(tmp_path_factory.mktemp("mypy-cache"))


@requires_mypy
def test_examples_type_check_strictly(mypy_cache, tmp_path):
    done = run(["-m", "mypy", "--strict", "--cache-dir", mypy_cache,
                str(ROOT / "examples")], tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr


@requires_mypy
def test_stubs_and_annotated_modules_type_check_strictly(mypy_cache, tmp_path):
    args = ["-m", "mypy", "--strict", "--cache-dir", mypy_cache]
    for module in STUBBED:
        args += ["-m", module]
    done = run(args, tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr


@requires_mypy
def test_stubs_match_the_runtime(tmp_path):
    allowlist = ROOT / "tests" / "stubtest-allowlist.txt"
    args = ["-m", "mypy.stubtest", *STUBBED]
    if allowlist.exists():
        args += ["--allowlist", str(allowlist)]
    done = run(args, tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr
