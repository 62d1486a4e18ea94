"""Core services shared by the tavrel packages."""
