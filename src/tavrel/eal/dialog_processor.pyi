"""Types of tavrel.eal.dialog_processor.

Kept apart from the module while its code carries no annotations; the test
suite runs mypy's stubtest on it, so it cannot drift from the module.
"""

import re
from collections.abc import Mapping, MutableMapping
from typing import Any, Literal, Protocol, type_check_only

from tavrel._engine.clock import Clock
from tavrel.eal.dialogs import Dialog, Statement

__all__ = ["DialogProcessor", "DialogResult", "DEFAULT_TIMEOUT",
           "process_async"]

DEFAULT_TIMEOUT: int

@type_check_only
class _ProcessSpawn(Protocol):
    """What the processor needs of a spawn: a pexpect spawn, or any object
    with these methods (a ``buffer`` attribute is used when present)."""

    def read_nonblocking(self, size: int, timeout: float | None, /) -> str | bytes: ...
    def send(self, s: str, /) -> object: ...
    def sendline(self, s: str, /) -> object: ...

class DialogResult:
    # "match": a statement ended the dialog; "timeout" and "eof": the
    # dialog's timeout or end-of-file statement did.
    kind: Literal["match", "timeout", "eof"]
    statement: Statement
    pattern: str | None
    match: re.Match[str] | None
    output: str
    dropped: int
    def __init__(
        self,
        kind: Literal["match", "timeout", "eof"],
        statement: Statement,
        pattern: str | None = None,
        match: re.Match[str] | None = None,
        output: str = "",
    ) -> None: ...

class DialogProcessor:
    dialog: Dialog
    spawn: _ProcessSpawn
    timeout: float
    context: Mapping[str, Any]
    session: MutableMapping[str, Any]
    clock: Clock
    transcript: Any
    match_max: int | None
    def __init__(
        self,
        dialog: Dialog,
        spawn: _ProcessSpawn,
        timeout: float | None = None,
        context: Mapping[str, Any] | None = None,
        session: MutableMapping[str, Any] | None = None,
        *,
        transcript: Any = None,
        clock: Clock | None = None,
        match_max: int | None = None,
    ) -> None: ...
    def process(self) -> DialogResult: ...
    async def process_async(self) -> DialogResult: ...

async def process_async(
    dialog: Dialog,
    spawn: _ProcessSpawn,
    timeout: float | None = None,
    context: Mapping[str, Any] | None = None,
    session: MutableMapping[str, Any] | None = None,
    *,
    transcript: Any = None,
    clock: Clock | None = None,
    match_max: int | None = None,
) -> DialogResult: ...
