"""Stand-ins shared by the tests."""

import pexpect


class Spawn:
    """A spawn that records what is sent through it.

    ``calls`` lists ``(method, value)`` for each send or sendline (the value
    as passed when it is one positional argument, else ``(args, kwargs)``),
    ``sent`` the values alone.  Each send returns ``result``; with
    ``fails`` (an exception class) each send raises it instead, with
    "send failed".  ``read_nonblocking`` is recorded as ``("read", size)``
    and times out at once.
    """

    timeout = None
    buffer = ""

    def __init__(self, result=None, fails=None):
        self.calls = []
        self.result = result
        self.fails = fails

    @property
    def sent(self):
        return [value for method, value in self.calls if method != "read"]

    def send(self, *args, **kwargs):
        return self._record("send", args, kwargs)

    def sendline(self, *args, **kwargs):
        return self._record("sendline", args, kwargs)

    def _record(self, method, args, kwargs):
        if self.fails is not None:
            raise self.fails("send failed")
        self.calls.append((method, args[0] if len(args) == 1 and not kwargs
                           else (args, kwargs)))
        return self.result

    def read_nonblocking(self, size, timeout):
        self.calls.append(("read", size))
        raise pexpect.TIMEOUT("Timeout exceeded.")
