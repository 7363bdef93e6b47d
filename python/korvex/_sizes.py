"""Dimensions, and what the library's bookkeeping needs, checked before a call.

libkorvex reports running out of memory as a status (AllocationError, a
MemoryError) wherever it happens. The package still sizes every call that
builds a matrix here first, so that a request that cannot be met is refused
before any work, with a message that says what it would take: more than the
memory this process can still be given (what the address-space limit
leaves above the address space already in use, and the memory and swap the
system has available), or more than 2^63 bytes. A dimension, or a sum of
stacked dimensions, that would pass 2^63 is refused with OverflowError.

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

__all__ = ["dim", "shape", "dim_sum", "require", "dense", "new_matrix", "available"]


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


# Requests up to this size are left to the library (which reports -7 itself
# when even they cannot be met): reading the process's memory figures costs
# more than such calls.
SMALL = 16 << 20


def _proc_kib(path, keys):
    """The named "Key:  N kB" fields of a /proc file, in bytes."""
    found = {}
    try:
        with open(path) as f:
            for line in f:
                key = line.split(":", 1)[0]
                if key in keys:
                    found[key] = int(line.split()[1]) * 1024
    except (OSError, ValueError, IndexError):
        pass
    return found


def _address_space_limit():
    try:
        import resource
        soft, _ = resource.getrlimit(resource.RLIMIT_AS)
    except (ImportError, ValueError, OSError):
        return None
    return None if soft == resource.RLIM_INFINITY or soft <= 0 else soft


def _machine_bytes():
    """Physical memory plus swap (when /proc/meminfo has no MemAvailable)."""
    total = None
    try:
        total = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    except (ValueError, OSError, AttributeError):
        pass
    if total is None or total <= 0:
        total = LIMIT
    return total + _proc_kib("/proc/meminfo", ("SwapTotal",)).get("SwapTotal", 0)


def available():
    """Bytes a new request could be given now: the least of what the
    address-space limit leaves above the address space in use (VmSize) and
    the memory the system has available plus free swap."""
    room = []
    limit = _address_space_limit()
    if limit is not None:
        used = _proc_kib("/proc/self/status", ("VmSize",)).get("VmSize", 0)
        room.append(limit - used)
    mem = _proc_kib("/proc/meminfo", ("MemAvailable", "SwapFree"))
    if "MemAvailable" in mem:
        room.append(mem["MemAvailable"] + mem.get("SwapFree", 0))
    else:
        room.append(_machine_bytes())
    return max(0, min(room))


def require(op, nbytes, detail=""):
    """MemoryError unless nbytes of bookkeeping can be had now."""
    if nbytes <= SMALL:
        return
    where = f" ({detail})" if detail else ""
    if nbytes >= LIMIT:
        raise MemoryError(f"{op}: its bookkeeping would take {nbytes} bytes{where}, past 2**63 "
                          f"bytes: no machine can hold it")
    room = available()
    if nbytes > room:
        raise MemoryError(f"{op}: its bookkeeping would take {nbytes} bytes{where}, more than "
                          f"this process can be given now ({room} bytes: the address-space "
                          f"limit less what is in use, or the memory and swap available)")


def dense(op, rows, cols, itemsize):
    """MemoryError unless a dense rows x cols array can be had now."""
    nbytes = rows * cols * itemsize
    if nbytes <= SMALL:
        return
    what = f"{op}: a dense {rows} x {cols} array would take {nbytes} bytes"
    if nbytes >= LIMIT:
        raise MemoryError(f"{what}, past 2**63 bytes: no machine can hold it")
    room = available()
    if nbytes > room:
        raise MemoryError(f"{what}, more than this process can be given now ({room} bytes)")


def new_matrix(op, outer, per_outer=0, extra=0):
    """Check a call whose result has `outer` outer indices and that keeps
    per_outer bytes of temporaries per outer index, plus `extra` bytes."""
    require(op, (SPAN_PAIR + per_outer) * outer + extra, f"{outer} outer indices")
