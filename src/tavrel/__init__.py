"""tavrel: automation of interactive command-line sessions."""

__version__ = "0.1.0"
