"""Small helpers shared across tavrel."""

__all__ = ["SecretText", "to_plaintext"]


class SecretText:
    """A text that must never be shown: its ``str()`` and ``repr()`` are masked.

    The real text is available, on purpose only, as ``plaintext``.
    """

    __slots__ = ("_text",)

    def __init__(self, text):
        if not isinstance(text, str):
            raise TypeError(
                f"SecretText needs a str, not {type(text).__name__}")
        self._text = text

    @property
    def plaintext(self):
        return self._text

    def __str__(self):
        return "********"

    def __repr__(self):
        return "SecretText('********')"

    def __eq__(self, other):
        if isinstance(other, SecretText):
            return self._text == other._text
        return NotImplemented

    def __hash__(self):
        return hash((SecretText, self._text))

    def __reduce__(self):
        # Pickling would write the secret out; refuse rather than leak it.
        raise TypeError("SecretText cannot be pickled")


def to_plaintext(value):
    """Return the text to send for a credential value.

    A ``str`` is returned unchanged; an object with a ``plaintext`` attribute
    (such as :class:`SecretText`) gives that text; anything else its ``str()``.
    """
    if isinstance(value, str):
        return value
    try:
        plaintext = value.plaintext
    except AttributeError:
        return str(value)
    return plaintext
