"""Fixtures shared by the test modules."""

import asyncio

import pytest

from tavrel.eal import dialogs
from tavrel.eal.dialog_processor import DialogProcessor

# The real servers' fixtures, for every test module.
from servers import login_user, sshd, sshd_server, su_user, telnetd  # noqa: F401


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
