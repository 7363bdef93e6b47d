"""The package-wide guard that serialises what the library leaves to its host.

libkorvex protects nothing: concurrent reads are fine, but a call that sorts
rows in place, frees a handle or fills a matrix's entry-count cache must not
overlap other calls that touch the same rows or the same record. Sorting
rewrites rows that every matrix sharing the storage reads (clones, outer
slices and masks, stacks along the compressed axis), so "the same rows" can
reach far beyond the matrix it was called on. The package therefore uses one
reader/writer lock for the whole process, GUARD:

* every method that reads a handle holds GUARD shared while it reads the
  handle and while the library call on it runs (the ``guarded`` decorator);
* sort_indices() and free() hold it exclusive.

Why this is sound:

* An in-place sort can only run while no other korvex call is in flight in
  any thread, so no reader can see a row half-sorted, and two sorts of
  storage shared by two clones never interleave.
* free() waits until no call is in flight, then clears the handle; a method
  reads the handle under the guard, so it either ran to completion before
  the free or finds the matrix freed and raises ValueError.
* The entry-count cache is filled when a handle record is made (``_core.Record``), before
  any other thread can reach the handle; the package never clears it, so
  every later call only reads it.
* Matrices collected by the garbage collector are released by a
  weakref.finalize callback that takes no lock. That callback can run on any
  thread at any allocation, including inside a guarded region, so taking
  the lock there could deadlock. It does not need to: it runs only for an
  unreachable matrix, on which no call can be in flight (a call keeps its
  matrix reachable), and releasing a handle only drops atomic reference
  counts on buffers that other matrices may share.

The lock is reentrant per thread: a thread that already holds it (in either
mode) passes straight through, so guarded methods may call each other. A
thread holding it shared cannot upgrade: sort_indices() raises
RuntimeError, and free() (which can be reached from a __del__ running in a
guarded region) marks the matrix freed at once and hands the release to the
last shared holder. Writers have priority: once one waits, new readers
wait too, so a stream of readers cannot starve free() or sort_indices().

In a forked child the guard starts afresh (threads of the parent do not
exist there).
"""
from __future__ import annotations

import functools
import os
import threading

__all__ = ["GUARD", "guarded", "exclusive"]


class _Guard:
    """Reader/writer lock, reentrant per thread, writers first.

    ``with GUARD:`` holds it shared, ``with GUARD.exclusive:`` exclusive."""

    def __init__(self):
        self._reset()
        self.exclusive = _Exclusive(self)

    def _reset(self):
        self._mu = threading.RLock()
        self._cond = threading.Condition(self._mu)
        self._readers = 0           # threads holding it shared
        self._writer = False        # a thread holds it exclusive
        self._writers_waiting = 0
        self._deferred = []         # releases handed to the last reader
        # Per thread: depth (holds, 0 or absent when not held) and exclusive.
        # Public as tls for the handle check of _core, which runs on every
        # call and reads it directly.
        self._tls = self.tls = threading.local()

    # -- per thread --------------------------------------------------------

    def held(self):
        """True when the calling thread holds the guard in either mode."""
        return getattr(self._tls, "depth", 0) > 0

    def held_exclusive(self):
        return getattr(self._tls, "exclusive", False)

    # -- shared ------------------------------------------------------------

    def _acquire_shared(self):
        mu = self._mu
        mu.acquire()
        try:
            while self._writer or self._writers_waiting:
                self._cond.wait()
            self._readers += 1
        finally:
            mu.release()

    def _release_shared(self):
        mu = self._mu
        mu.acquire()
        try:
            self._readers -= 1
            run = ()
            if self._readers == 0:
                if self._deferred:
                    run, self._deferred = self._deferred, []
                if self._writers_waiting:
                    self._cond.notify_all()
        finally:
            mu.release()
        for release in run:  # no call can be in flight on these handles now
            release()

    def __enter__(self):
        tls = self._tls
        depth = getattr(tls, "depth", 0)
        if not depth:
            self._acquire_shared()
        tls.depth = depth + 1
        return self

    def __exit__(self, *exc):
        tls = self._tls
        depth = getattr(tls, "depth", 0) - 1
        if depth < 0:  # the guard was reset (a fork) inside the hold
            return False
        tls.depth = depth
        if not depth and not getattr(tls, "exclusive", False):
            self._release_shared()
        return False

    # -- releases from inside a shared hold ---------------------------------

    def release_later(self, release):
        """Run release() once no thread holds the guard shared (now, when the
        calling thread holds it exclusive)."""
        with self._mu:
            if self._readers:
                self._deferred.append(release)
                return
        release()


class _Exclusive:
    def __init__(self, guard):
        self._g = guard

    def __enter__(self):
        g = self._g
        tls = g._tls
        depth = getattr(tls, "depth", 0)
        if depth:
            if not getattr(tls, "exclusive", False):
                raise RuntimeError("korvex: this thread is inside a korvex call (a __del__ or "
                                   "signal handler running in one?); sort_indices() cannot "
                                   "run here")
            tls.depth = depth + 1
            return self
        with g._mu:
            g._writers_waiting += 1
            try:
                while g._writer or g._readers:
                    g._cond.wait()
            except BaseException:  # interrupted: let the readers held back go on
                g._writers_waiting -= 1
                g._cond.notify_all()
                raise
            g._writers_waiting -= 1
            g._writer = True
        tls.depth = 1
        tls.exclusive = True
        return self

    def __exit__(self, *exc):
        g = self._g
        tls = g._tls
        tls.depth -= 1
        if tls.depth:
            return False
        tls.exclusive = False
        with g._mu:
            g._writer = False
            g._cond.notify_all()
        return False


GUARD = _Guard()
exclusive = GUARD.exclusive

if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=GUARD._reset)


def guarded(fn):
    """Run fn holding GUARD shared (a thread that holds it already passes
    straight through). The unguarded body stays reachable as fn.__wrapped__
    (the guard-cost benchmark times both)."""
    g = GUARD

    @functools.wraps(fn)
    def run(*args, **kwargs):
        tls = g._tls
        if getattr(tls, "depth", 0):
            return fn(*args, **kwargs)
        g._acquire_shared()
        tls.depth = 1
        try:
            return fn(*args, **kwargs)
        finally:
            tls.depth = 0
            g._release_shared()

    return run
