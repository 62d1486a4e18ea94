"""Fixtures shared by the test modules."""

import asyncio
import os
import threading
import time

import pytest

from tavrel.eal import dialogs
from tavrel.eal.dialog_processor import DialogProcessor

# The real servers' fixtures, for every test module.
from servers import login_user, sshd, sshd_server, su_user, telnetd  # noqa: F401


# Under AddressSanitizer, a fork while another thread is still being torn
# down (Python has joined it, the system has not ended it yet) can leave the
# child stuck on the sanitizer's allocator lock before it runs anything.
_SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


@pytest.fixture(autouse=True)
def _joined_threads_gone():
    """Under the sanitizer, each test starts once the threads of the tests
    before it are gone from the system too: its forks cannot hang."""
    if _SANITIZED:
        deadline = time.monotonic() + 2
        while (len(os.listdir("/proc/self/task")) > threading.active_count()
               and time.monotonic() < deadline):
            time.sleep(0.001)
    yield


class AsyncDriven(DialogProcessor):
    """DialogProcessor whose process() runs the asyncio driver, each run in
    an event loop of its own: dialog.process() then tests that driver."""

    def process(self):
        return asyncio.run(self.process_async())


@pytest.fixture(params=["sync", "async"])
def driver(request, monkeypatch):
    """Runs the test through each driver: Dialog.process and the processor
    class the fixture gives are the blocking one or the asyncio one."""
    if request.param == "async":
        monkeypatch.setattr(dialogs, "DialogProcessor", AsyncDriven)
        return AsyncDriven
    return DialogProcessor


def pytest_configure(config):
    # The plugin is registered by the installed package's entry point; a
    # run against the source tree registers it here.
    if not config.pluginmanager.has_plugin("tavrel"):
        config.pluginmanager.import_plugin("tavrel._pytest_plugin")
