"""Exceptions raised by tavrel."""


class StatementValidationError(Exception):
    """A dialog statement was built with arguments that do not fit together."""


class DialogTimeoutError(TimeoutError):
    """No statement ended a dialog before its timeout ran out.

    ``timeout`` is the timeout in seconds and ``tail`` the end of the output
    that no statement matched (credentials masked).
    """

    def __init__(self, message: str, timeout: float | None = None,
                 tail: str = "") -> None:
        super().__init__(message)
        self.timeout = timeout
        self.tail = tail


class DialogEOFError(EOFError):
    """The session ended before a statement ended the dialog.

    ``tail`` is the end of the output that no statement matched (credentials
    masked).
    """

    def __init__(self, message: str, tail: str = "") -> None:
        super().__init__(message)
        self.tail = tail
