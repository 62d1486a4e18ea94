"""What a run tells: a progress bar on a terminal, results as JSON lines
written as hosts finish, and a report with a summary table at the end."""

from __future__ import annotations

import importlib
import json
import os
import sys
from collections import Counter
from dataclasses import dataclass, field
from pathlib import Path
from typing import IO, Any

from tavrel.fleet._runner import HostResult

__all__ = ["FleetReport", "Progress", "ResultsFile"]


@dataclass
class FleetReport:
    """The outcome of a run: every finished host's :class:`HostResult`
    in the order they finished, ``total`` hosts asked, ``interrupted``
    when the run was stopped (Ctrl-C) before all finished, ``wall`` seconds
    and, where results were written, the ``output`` folder."""

    results: list[HostResult] = field(default_factory=list)
    total: int = 0
    interrupted: bool = False
    wall: float = 0.0
    output: Path | None = None

    @property
    def ok(self) -> int:
        """How many hosts succeeded."""
        return sum(1 for r in self.results if r.ok)

    @property
    def failed(self) -> int:
        """How many hosts failed."""
        return sum(1 for r in self.results if not r.ok)

    @property
    def unfinished(self) -> int:
        """How many hosts were not run to the end (an interrupted run)."""
        return self.total - len(self.results)

    def failures(self) -> Counter[str]:
        """Failed hosts by error type."""
        return Counter(r.error_type or "Error" for r in self.results
                       if not r.ok)

    def slowest(self, count: int = 5) -> list[HostResult]:
        """The ``count`` hosts that took longest."""
        return sorted(self.results, key=lambda r: -r.elapsed)[:count]

    def __getitem__(self, host: str) -> HostResult:
        for result in self.results:
            if result.host == host:
                return result
        raise KeyError(host)

    def to_json(self) -> dict[str, Any]:
        """The summary as a JSON-able mapping (``summary.json``)."""
        return {"hosts": self.total, "finished": len(self.results),
                "ok": self.ok, "failed": self.failed,
                "failed_by_error": dict(self.failures().most_common()),
                "interrupted": self.interrupted,
                "wall": round(self.wall, 3),
                "slowest": [{"host": r.host, "elapsed": round(r.elapsed, 3),
                             "ok": r.ok} for r in self.slowest()]}

    def table(self) -> str:
        """The summary table, as printed at the end of a run."""
        rows = [("hosts", str(self.total)), ("ok", str(self.ok)),
                ("failed", str(self.failed))]
        for kind, count in self.failures().most_common():
            rows.append(("  " + kind, str(count)))
        if self.interrupted:
            rows.append(("not finished", "%d (interrupted)"
                         % self.unfinished))
        rows.append(("wall time", "%.1f s" % self.wall))
        slowest = self.slowest(3)
        for n, result in enumerate(slowest):
            rows.append(("slowest" if n == 0 else "", "%s  %.2f s%s" % (
                result.host, result.elapsed, "" if result.ok
                else "  " + (result.error_type or "failed"))))
        width = max(len(label) for label, _ in rows)
        return "\n".join("%-*s  %s" % (width, label, value)
                         for label, value in rows)

    def __str__(self) -> str:
        return self.table()


class ResultsFile:
    """``results.jsonl`` in ``folder``: one JSON line per host, written
    and flushed as each finishes, so that a run stopped halfway leaves
    whole lines for the hosts that finished."""

    def __init__(self, folder: str | os.PathLike[str]) -> None:
        self.folder = Path(folder)
        self.folder.mkdir(parents=True, exist_ok=True)
        self.path = self.folder / "results.jsonl"
        self._file: IO[str] | None = open(self.path, "w", encoding="utf-8")

    def write(self, result: HostResult) -> None:
        if self._file is None:
            return
        # One write of the whole line: a line is there whole or not at all.
        self._file.write(json.dumps(result.to_json(), ensure_ascii=False)
                         + "\n")
        self._file.flush()

    def finish(self, report: FleetReport) -> None:
        """Close the lines and write ``summary.json``."""
        if self._file is not None:
            self._file.close()
            self._file = None
        summary = self.folder / "summary.json"
        summary.write_text(json.dumps(report.to_json(), indent=2) + "\n",
                           encoding="utf-8")


class Progress:
    """A progress bar on stderr, where stderr is a terminal and tqdm is
    installed (``progress=True`` asks for it anyway, if tqdm is there;
    ``False`` never shows it); otherwise nothing."""

    def __init__(self, total: int, enabled: bool | None = None) -> None:
        self._bar: Any = None
        if enabled is False or (enabled is None
                                and not _is_terminal(sys.stderr)):
            return
        try:
            tqdm: Any = importlib.import_module("tqdm").tqdm
        except ImportError:
            return
        self._bar = tqdm(total=total, unit="host", file=sys.stderr,
                         dynamic_ncols=True, leave=True)
        self._failed = 0

    def update(self, result: HostResult) -> None:
        if self._bar is None:
            return
        if not result.ok:
            self._failed += 1
            self._bar.set_postfix_str("failed %d" % self._failed,
                                      refresh=False)
        self._bar.update(1)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()
            self._bar = None


def _is_terminal(stream: Any) -> bool:
    try:
        return bool(stream.isatty())
    except (AttributeError, ValueError):
        return False
