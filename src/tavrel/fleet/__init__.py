"""Fleets: one task over many devices.

Placeholder of the distributed branch: the runner's public names come with
the core's __init__ when the branches meet.
"""
