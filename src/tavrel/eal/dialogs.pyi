"""Types of the native dialog module.

The module itself is C++; this file is what type checkers and editors read.
Keep it in step with the module: the test suite runs mypy's stubtest on it.
"""

import re as re
from collections.abc import Callable, Collection, Iterator, Mapping, MutableMapping
from copy import copy as copy
from inspect import getfullargspec as getfullargspec
from inspect import getmembers as getmembers
from typing import Any, ClassVar, ParamSpec, Protocol, SupportsIndex, TypeVar, overload, type_check_only

from typing_extensions import Never, Self, TypeAlias, Unpack

from tavrel.core.errors import StatementValidationError as StatementValidationError
from tavrel.eal.dialog_processor import DialogProcessor as DialogProcessor
from tavrel.eal.dialog_processor import DialogResult
from tavrel.utils import to_plaintext as to_plaintext

# What a statement looks for: one regular expression, or several of which
# any may match.  The special texts "__timeout__" and "__eof__" make the
# statement the dialog's timeout or end-of-file handler.
_Pattern: TypeAlias = str | list[str] | tuple[str, ...]

# An action as given to Statement: a callable, an action text such as
# "sendline(admin)" (translated at construction), or None for no action.
_Action: TypeAlias = Callable[..., object]
_ActionArg: TypeAlias = _Action | str | None

# Values for the action's own parameters, by parameter name.
_Args: TypeAlias = dict[str, Any]

# Statement arguments in positional order, as a Dialog accepts them in place
# of a Statement: a list or tuple whose first item is the pattern.  The other
# items may be of any of the parameters' types, so they go unchecked here;
# Statement checks them when the dialog is built.
_StatementTuple: TypeAlias = tuple[_Pattern, Unpack[tuple[Any, ...]]]
_StatementItem: TypeAlias = Statement | list[Any] | _StatementTuple
_StatementItemT = TypeVar("_StatementItemT", bound=_StatementItem)

# The record statement_decorator leaves in a function's __patterns__: one
# (positional arguments, keyword arguments) pair per decoration, the keyword
# arguments holding the function itself under "action".
_PatternRecord: TypeAlias = list[tuple[tuple[Any, ...], dict[str, Any]]]

_P = ParamSpec("_P")
_R_co = TypeVar("_R_co", covariant=True)
_R = TypeVar("_R")

@type_check_only
class _Spawn(Protocol):
    """What the sender callables use of a spawn."""

    def send(self, s: str, /) -> object: ...
    def sendline(self, s: str, /) -> object: ...

@type_check_only
class _ProcessSpawn(_Spawn, Protocol):
    """What Dialog.process needs of a spawn: a pexpect spawn, or any object
    with these methods (the processor also uses a ``buffer`` attribute when
    there is one)."""

    def read_nonblocking(self, size: int, timeout: float | None, /) -> str | bytes: ...

@type_check_only
class _Sender(Protocol):
    """send(...) and sendline(...): send ``key`` itself."""

    def __call__(self, spawn: _Spawn, key: str) -> None: ...

@type_check_only
class _ContextSender(Protocol):
    """send_ctx, sendline_ctx, sendline_cred_user and sendline_cred_pass:
    send ``context[key]``, or the credential ``key`` of
    ``context["credentials"]``."""

    def __call__(self, spawn: _Spawn, context: Mapping[str, Any], key: str) -> None: ...

@type_check_only
class _SessionSender(Protocol):
    """send_session and sendline_session: send ``runtime[key]``."""

    def __call__(self, spawn: _Spawn, runtime: Mapping[str, Any], key: str) -> None: ...

@type_check_only
class _StatementFunction(Protocol[_P, _R_co]):
    """A function decorated with statement_decorator: called as before, and
    carrying the statement arguments that DialogMaker collects."""

    __patterns__: _PatternRecord
    def __call__(self, *args: _P.args, **kwargs: _P.kwargs) -> _R_co: ...

# Names of action parameters whose values the dialog processor supplies.
DI_LIST: list[str]
# What a Statement takes when matched_retries / matched_retry_sleep is None;
# read at each construction, so rebinding them changes later statements.
STATEMENT_MATCHED_RETRIES: int
STATEMENT_MATCHED_RETRY_SLEEP: float

def statement_action_helper(action: str) -> tuple[_Sender | _ContextSender | _SessionSender, str]: ...

class Statement:
    pattern: _Pattern
    # Action texts are replaced by their sender callable during validation.
    action: _Action | None
    _action: None
    args: _Args | None
    loop_continue: bool
    continue_timer: bool
    match: list[Any]
    trim_buffer: bool
    matched_retries: int
    matched_retry_sleep: float
    di_params: Collection[str]
    debug_statement: bool
    # Statements compare by pattern and action and cannot be hashed.
    __hash__: ClassVar[None]  # type: ignore[assignment]

    def __init__(
        self,
        pattern: _Pattern,
        action: _ActionArg = None,
        args: _Args | None = None,
        loop_continue: bool = False,
        continue_timer: bool = False,
        trim_buffer: bool = True,
        matched_retries: int | None = None,
        matched_retry_sleep: float | None = None,
        di_params: Collection[str] = ...,
        debug_statement: bool = False,
    ) -> None: ...
    def __eq__(self, other: object) -> bool: ...
    def validate(self) -> None: ...
    def validate_pattern(self) -> None: ...
    def validate_action(self) -> None: ...
    def validate_loop_continue(self) -> None: ...
    def validate_debug_statement(self) -> None: ...
    def validate_continue_timer(self) -> None: ...
    def validate_trim_buffer(self) -> None: ...

class Dialog:
    # The caller's list or tuple, as given; read by the ``in`` test only.
    statement_list: list[Any] | tuple[Any, ...]
    # The statements every other operation works on.
    statements: list[Statement]
    timeout_statement: Statement | None
    eof_statement: Statement | None

    # A literal is checked element by element (first form); a list variable
    # of one kind of element, such as list[Statement], is accepted through
    # the type variable (second form).  Either way the container has to be a
    # list or a tuple.
    @overload
    def __init__(self, statement_list: list[_StatementItem] | tuple[_StatementItem, ...] = ...) -> None: ...
    @overload
    def __init__(self, statement_list: list[_StatementItemT] | tuple[_StatementItemT, ...]) -> None: ...
    def __bool__(self) -> bool: ...
    def __contains__(self, item: object) -> bool: ...
    def validate(self) -> None: ...
    def extract_statements(self) -> list[Statement]: ...
    def append(self, statement: _StatementItem) -> None: ...
    def remove(self, statement: _StatementItem) -> None: ...
    def insert(self, index: SupportsIndex, statement: _StatementItem) -> None: ...
    def get_pattern_list(self) -> list[_Pattern]: ...
    # Runs DialogProcessor(self, spawn, ...).process().
    def process(
        self,
        spawn: _ProcessSpawn,
        timeout: float | None = None,
        context: Mapping[str, Any] | None = None,
        session: MutableMapping[str, Any] | None = None,
    ) -> DialogResult: ...
    def __iter__(self) -> Iterator[Statement]: ...
    # Always a new, plain Dialog; neither operand changes (also for +=).
    def __add__(self, dialog: Dialog) -> Dialog: ...
    def __iadd__(self, dialog: Dialog) -> Dialog: ...

def statement_decorator(
    pattern: _Pattern,
    *,
    args: _Args | None = None,
    loop_continue: bool = False,
    continue_timer: bool = False,
    trim_buffer: bool = True,
    matched_retries: int | None = None,
    matched_retry_sleep: float | None = None,
    di_params: Collection[str] = ...,
    debug_statement: bool = False,
) -> Callable[[Callable[_P, _R]], _StatementFunction[_P, _R]]: ...

class DialogMaker:
    # Set on the subclass each time it is instantiated: the statements of its
    # decorated functions, in source order.
    dialog: ClassVar[Dialog]

    # The arguments are passed on to object.__new__, which refuses any: the
    # Never types make a call with arguments a type error while keeping the
    # parameters the module has (whose first one is named self).
    def __new__(self, *args: Never, **kwargs: Never) -> Self: ...
    def add_statement(self, statement: _StatementItem, pos: SupportsIndex = -1) -> None: ...
