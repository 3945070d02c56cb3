"""A progress bar on stderr for the searches of select and of many series."""

from __future__ import annotations

import sys
from typing import Any

__all__ = ["Progress"]


class Progress:
    """A progress bar on stderr: tqdm when it is installed, a plain line otherwise."""

    def __init__(
        self,
        enabled: bool,
        name: str = "velk.select",
        unit: str = "fit",
        done: str = "settings scored",
    ) -> None:
        self.done, self.enabled, self.name, self.what = 0, enabled, name, done
        self.bar: Any = None
        if enabled:
            try:
                from tqdm import tqdm  # type: ignore[import-untyped,unused-ignore]
            except ImportError:
                self._line()
            else:
                self.bar = tqdm(desc=name, unit=unit, file=sys.stderr)

    def _line(self) -> None:
        sys.stderr.write(f"\r{self.name}: {self.done} {self.what}")
        sys.stderr.flush()

    def update(self, k: int) -> None:
        self.done += k
        if self.bar is not None:
            self.bar.update(k)
        elif self.enabled:
            self._line()

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
        elif self.enabled:
            sys.stderr.write("\n")
