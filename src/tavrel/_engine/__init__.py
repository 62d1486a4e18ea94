"""The dialog engine: how a dialog runs against a session.

The core knows nothing of spawns, threads or event loops:

- ``events``: what a driver and the core say to each other (immutable
  events both ways), and the result of a run;
- ``core``: the run as a state machine, fed events on plain floats;
- ``search``: the unconsumed output and the searches over it, linear in
  its size;
- ``plan``: the checks and compiled patterns of a dialog before it runs;
- ``texts``: error texts and log lines;
- ``secrets``: which texts are secrets, and masking them everywhere;
- ``senders``: what tells the dialog module's senders apart.

Around it, the I/O: ``clock`` (the time source), ``channel`` (a spawn's
reads, buffer and transcript), ``run`` (a run set up and tidied up), and
the drivers ``sync_driver`` and ``async_driver``.  The public face is
:mod:`tavrel.eal.dialog_processor`.
"""
