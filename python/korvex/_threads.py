"""How many threads the library's parallel loops use.

    korvex.set_num_threads(2)          # every later call: at most 2 threads
    with korvex.threads(1):            # inside the block only
        M @ x
    korvex.get_num_threads()

The pool is process-wide (one per process, shared by every Python thread);
it is sized once, at its first use, to the CPUs the process may run on. A
count caps it; a cap above that size leaves the size. threadpoolctl does not
see korvex's pool: use these instead.
"""
from __future__ import annotations

import contextlib
import threading

import numpy as np

from ._lib import check_status, library

__all__ = ["get_num_threads", "set_num_threads", "threads"]

_lock = threading.Lock()
_cap = 0  # the count last set through set_num_threads (0: none)


def _count(n):
    if isinstance(n, (bool, np.bool_)) or not isinstance(n, (int, np.integer)):
        raise TypeError(f"the thread count must be an integer, got {type(n).__name__} {n!r}")
    n = int(n)
    if n < 1 or n >= 2 ** 63:
        raise ValueError(f"the thread count must be between 1 and 2**63 - 1, got {n}")
    return n


def get_num_threads():
    """The threads a parallel loop started now would use (at least 1)."""
    return int(library.korvex_get_num_threads())


def _set(n):
    global _cap
    with _lock:
        check_status(library.korvex_set_num_threads(n), "korvex_set_num_threads")
        _cap = n


def set_num_threads(n):
    """Cap the library's parallel loops at n threads (n >= 1, the calling
    thread included), process-wide, for every later call; a loop running
    now keeps its threads. ValueError for n < 1, TypeError for a
    non-integer."""
    _set(_count(n))


@contextlib.contextmanager
def threads(n):
    """set_num_threads(n) inside the with block; the previous setting
    (possibly none) comes back on leaving it. The setting is process-wide:
    other Python threads calling korvex meanwhile see it too."""
    n = _count(n)
    with _lock:
        before = _cap
    _set(n)
    try:
        yield
    finally:
        _set(before)
