"""Objects that misbehave on purpose, shared by the leak and adversarial tests.

Every failure they cause is a ``Hostile`` exception (not an AttributeError,
so that no ``hasattr``-style check may swallow it); ``Hostile.raised`` counts
how many were made, so a test can tell whether one was raised and lost.
"""

import inspect


class Hostile(Exception):
    raised = 0

    def __init__(self, *args):
        Hostile.raised += 1
        super().__init__(*args)


def boom(*args, **kwargs):
    raise Hostile("boom")


def raising_gen(*items):
    """A generator that yields ``items`` and then raises."""
    yield from items
    raise Hostile("midway")


class BoolRaising:
    def __bool__(self):
        raise Hostile("bool")


class StrRaising:
    def __str__(self):
        raise Hostile("str")

    __repr__ = __str__


class EqRaising:
    def __eq__(self, other):
        raise Hostile("eq")

    __ne__ = __eq__
    __hash__ = object.__hash__


class EqRaisingStr(str):
    """A str whose comparisons raise (hashable, so usable as a key)."""

    def __eq__(self, other):
        raise Hostile("eq")

    __ne__ = __eq__
    __hash__ = str.__hash__


class StrRaisingStr(str):
    """A str equal to its text whose ``str()`` raises."""

    def __str__(self):
        raise Hostile("str")

    __hash__ = str.__hash__


class OddBoolStr(str):
    """A str whose comparisons return an object that cannot be truth-tested."""

    def __eq__(self, other):
        return BoolRaising()

    __ne__ = __eq__
    __hash__ = str.__hash__


class IterRaisingList(list):
    def __iter__(self):
        raise Hostile("iter")


class IterRaisingTuple(tuple):
    def __iter__(self):
        raise Hostile("iter")


class ClassRaising:
    """``isinstance`` consults ``__class__``, which raises."""

    @property
    def __class__(self):
        raise Hostile("__class__")


class IndexRaising:
    def __index__(self):
        raise Hostile("index")


class NameRaising:
    """A callable whose ``__name__`` raises (its signature is given, so that
    inspect does not read the name first)."""

    __signature__ = inspect.signature(lambda spawn: None)

    @property
    def __name__(self):
        raise Hostile("__name__")

    def __call__(self, spawn):
        pass


class NamedObject:
    """A callable whose ``__name__`` is any object."""

    def __init__(self, name):
        self.__name__ = name

    def __call__(self, spawn):
        pass


class SignatureRaising:
    """A callable whose ``__signature__`` raises (inspect wraps that)."""

    __name__ = "signature_raising"

    @property
    def __signature__(self):
        raise Hostile("__signature__")

    def __call__(self, spawn):
        pass


class LyingSignature:
    """A callable that claims the parameters ``spawn, user``."""

    __name__ = "lying"
    __signature__ = inspect.signature(lambda spawn, user: None)

    def __call__(self, *anything):
        pass


class ItemsRaisingDict(dict):
    def items(self):
        raise Hostile("items")


class ContainsRaisingDict(dict):
    def __contains__(self, key):
        raise Hostile("contains")


class PatternsRaising:
    """``__patterns__`` raises something other than AttributeError."""

    @property
    def __patterns__(self):
        raise Hostile("__patterns__")
