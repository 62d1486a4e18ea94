"""Small helpers shared across tavrel."""

from typing import NoReturn

__all__ = ["SecretText", "to_plaintext"]


class SecretText:
    """A text that must never be shown: its ``str()`` and ``repr()`` are masked.

    The real text is available, on purpose only, as ``plaintext``.
    """

    __slots__ = ("_text",)

    def __init__(self, text: str) -> None:
        if not isinstance(text, str):
            raise TypeError(
                f"SecretText needs a str, not {type(text).__name__}")
        self._text = text

    @property
    def plaintext(self) -> str:
        return self._text

    def __str__(self) -> str:
        return "********"

    def __repr__(self) -> str:
        return "SecretText('********')"

    def __eq__(self, other: object) -> bool:
        if isinstance(other, SecretText):
            return self._text == other._text
        return NotImplemented

    def __hash__(self) -> int:
        return hash((SecretText, self._text))

    def __reduce__(self) -> NoReturn:
        # Pickling would write the secret out; refuse rather than leak it.
        raise TypeError("SecretText cannot be pickled")


def to_plaintext(value: object) -> str:
    """Return the text to send for a credential value.

    A ``str`` is returned unchanged; an object with a ``plaintext`` attribute
    (such as :class:`SecretText`) gives that text; anything else its ``str()``.
    """
    if isinstance(value, str):
        return value
    try:
        plaintext: str = value.plaintext  # type: ignore[attr-defined]
    except AttributeError:
        return str(value)
    return plaintext
