"""Expect abstraction layer: dialogs and their processing."""
