"""Row batches of a CSR matrix, in order or shuffled, for training loops.

    for batch in korvex.batches(M, 1024, shuffle=True, seed=0):
        ...                         # a scipy csr matrix of up to 1024 rows

Each batch is an outer take of M: its rows are M's own rows (shared, not
copied, also for a mapped file), then converted as asked. The next batch is
prepared on a background thread while the caller works on the current one.
"""
from __future__ import annotations

import threading
from collections import deque

import numpy as np

from . import _core as core
from ._guard import GUARD

__all__ = ["batches"]

_CONVERSIONS = {
    "scipy": lambda b: b.to_scipy(),
    "korvex": None,
    "dense": lambda b: b.toarray(),
    "torch": lambda b: b.to_torch(),
}


def _batch(M, pos, convert):
    B = core.take_outer(M, pos)  # the rows M[pos], sharing M's spans
    if convert is None:
        return B
    try:
        return convert(B)
    finally:
        core.discard(B)  # seen by no other thread; its rows stay M's


def batches(M, batch_size, *, shuffle=False, seed=None, drop_last=False, to="scipy",
            return_index=False):
    """Yield batches of batch_size rows of the CSR matrix M (in memory or
    mapped), every row exactly once per pass.

    shuffle=True visits the rows in a random order (the same seed gives the
    same order); otherwise in row order. drop_last=True leaves out a last
    batch shorter than batch_size. to picks what each batch is: "scipy" (the
    class to_scipy() gives, int64 indices), "korvex" (a CSRMatrix whose rows
    are M's own), "dense" (a numpy array) or "torch" (batch.to_torch()).
    return_index=True yields (positions, batch) pairs, positions being the
    int64 row numbers of M in the batch's order.

    The next batch is prepared on a background thread while the caller works
    on the current one; the thread ends with the generator (exhausted,
    closed or collected). Freeing M during the pass makes the next batch
    raise ValueError. A matrix without rows yields nothing."""
    if not core.is_matrix(M):
        raise TypeError(f"batches takes a korvex CSRMatrix, got {type(M).__name__}")
    if M.format != "csr":
        raise TypeError("batches takes row batches of a CSR matrix; convert this CSC matrix "
                        "with M.tocsr() first")
    if isinstance(batch_size, (bool, np.bool_)) or not isinstance(batch_size,
                                                                   (int, np.integer)):
        raise TypeError(f"batch_size must be an integer, got {type(batch_size).__name__} "
                        f"{batch_size!r}")
    batch_size = int(batch_size)
    if batch_size <= 0:
        raise ValueError(f"batch_size must be positive, got {batch_size}")
    if not isinstance(to, str) or to not in _CONVERSIONS:
        raise ValueError(f"to must be one of {', '.join(map(repr, _CONVERSIONS))}; got {to!r}")
    n = M.shape[0]  # ValueError for a freed matrix
    if shuffle:
        order = np.random.default_rng(seed).permutation(n).astype(np.uint64)
    else:
        order = None
    stop = n if not drop_last else n - n % batch_size
    return _run(M, order, n, stop, batch_size, _CONVERSIONS[to], return_index)


def _run(M, order, n, stop, size, convert, return_index):
    """The generator behind batches(): a producer thread makes batch k + 1
    once the caller has taken batch k, so exactly one batch is prepared
    ahead."""
    if stop <= 0:
        return
    ready = deque()                 # (positions, batch or exception)
    have = threading.Semaphore(0)   # items in ready
    credit = threading.Semaphore(1)  # batches the producer may make
    quit_ = threading.Event()

    def produce():
        for a in range(0, stop, size):
            credit.acquire()
            if quit_.is_set():
                return
            b = min(a + size, n)
            pos = order[a:b] if order is not None else np.arange(a, b, dtype=np.uint64)
            try:
                item = _batch(M, pos, convert)
            except BaseException as e:  # handed to the caller
                ready.append((None, e))
                have.release()
                return
            ready.append((pos, item))
            have.release()

    worker = threading.Thread(target=produce, name="korvex-batches", daemon=True)
    worker.start()
    try:
        for _ in range(0, stop, size):
            have.acquire()
            pos, item = ready.popleft()
            if pos is None:
                raise item
            credit.release()  # the producer may start on the next batch now
            yield (pos.astype(np.int64), item) if return_index else item
    finally:
        quit_.set()
        credit.release()  # wakes a producer waiting for its next turn
        # Wait for a batch in progress, unless this thread holds the guard
        # (a collection running inside a korvex call): the producer may be
        # waiting for the guard behind a writer that waits for this thread.
        if threading.current_thread() is not worker and not GUARD.held():
            worker.join()
        ready.clear()
