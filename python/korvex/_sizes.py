"""Dimensions, and what the library's bookkeeping needs, checked before a call.

libkorvex reports a failed allocation of entry data as a status, but its
bookkeeping (two 32-byte span descriptors per outer index, per-outer-index
temporaries, sums of stacked dimensions) is allocated with no way back: a
request that cannot fit ends the process. The package therefore sizes every
call that builds a matrix here, before making it, and refuses with
MemoryError a request that could never be met (more than the machine's
memory and swap, or the process's address-space limit), or with
OverflowError a dimension that would pass 2^63.

What each operation allocates per outer index of its result (n) besides the
entries themselves:
  every new matrix        64 B  (a value span and an index span)
  copy import, transpose,
  inner slices and masks,
  stacking across          8 B  (a length per outer index)
  coordinate import and
  CSR/CSC conversion      16 B  (lengths and per-range counts; plus 24 B
                                 per entry for the bucketing temporaries)
  inner masks              1/4 B per inner index (a bit set and its ranks)
  in-place sorting        16 B  per outer index of the matrix (the list of
                                 unsorted rows)
"""
from __future__ import annotations

import operator
import os

import numpy as np

LIMIT = 1 << 63          # dimensions and sums of dimensions stay below this
SPAN_PAIR = 64           # bytes of span descriptors per outer index
LENGTHS = 8              # a 64-bit length per outer index
COUNTING = 16            # lengths and range counts of coordinate bucketing
COUNTING_ENTRY = 24      # bucketing temporaries per entry
SORT_LIST = 16           # unsorted-row lists of the in-place sort

__all__ = ["dim", "shape", "dim_sum", "require", "new_matrix", "available"]


def dim(x, what="dimension"):
    """x as a Python int in [0, 2^63): Python and numpy integers only."""
    if isinstance(x, (bool, np.bool_)) or not isinstance(x, (int, np.integer)):
        raise TypeError(f"{what} must be an integer, got {type(x).__name__} {x!r}")
    v = operator.index(x)
    if v < 0:
        raise ValueError(f"{what} must not be negative, got {v}")
    if v >= LIMIT:
        raise ValueError(f"{what} must be below 2**63, got {v}")
    return v


def shape(s):
    """A (rows, cols) pair of dimensions."""
    if isinstance(s, (str, bytes)) or not hasattr(s, "__len__") or len(s) != 2:
        raise TypeError(f"shape must be a pair (rows, cols), got {s!r}")
    return dim(s[0], "shape[0]"), dim(s[1], "shape[1]")


def dim_sum(dims, what):
    """The sum of stacked dimensions; OverflowError from 2^63 on."""
    total = 0
    for d in dims:
        total += int(d)
    if total >= LIMIT:
        raise OverflowError(f"{what}: the stacked dimensions add up to {total}, past the "
                            f"largest korvex dimension (2**63 - 1)")
    return total


def _machine_bytes():
    """Physical memory plus swap, capped by the address-space limit."""
    total = None
    try:
        total = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    except (ValueError, OSError, AttributeError):
        pass
    swap = 0
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("SwapTotal:"):
                    swap = int(line.split()[1]) * 1024
                    break
    except (OSError, ValueError):
        pass
    if total is None or total <= 0:
        total = LIMIT
    total += swap
    try:
        import resource
        soft, _ = resource.getrlimit(resource.RLIMIT_AS)
        if soft != resource.RLIM_INFINITY and soft > 0:
            total = min(total, soft)
    except (ImportError, ValueError, OSError):
        pass
    return total


_AVAILABLE = None


def available():
    """Bytes the process could ever be given (computed once)."""
    global _AVAILABLE
    if _AVAILABLE is None:
        _AVAILABLE = _machine_bytes()
    return _AVAILABLE


def require(op, nbytes, detail=""):
    """MemoryError unless nbytes of bookkeeping could ever be allocated."""
    if nbytes >= LIMIT:
        raise OverflowError(f"{op}: its bookkeeping would take {nbytes} bytes, past 2**63"
                            + (f" ({detail})" if detail else ""))
    if nbytes > available():
        raise MemoryError(f"{op}: its bookkeeping would take {nbytes} bytes"
                          + (f" ({detail})" if detail else "")
                          + f", more than this machine's memory and swap ({available()} bytes)")


def new_matrix(op, outer, per_outer=0, extra=0):
    """Check a call whose result has `outer` outer indices and that keeps
    per_outer bytes of temporaries per outer index, plus `extra` bytes."""
    require(op, (SPAN_PAIR + per_outer) * outer + extra, f"{outer} outer indices")
