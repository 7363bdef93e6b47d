"""korvex: compressed sparse matrices (CSR/CSC, float32/float64, int64
indices) held by libkorvex, exchanged with scipy.sparse.

    import korvex
    M = korvex.from_scipy(A)            # copy of a scipy CSR/CSC matrix
    V = korvex.from_scipy(A, copy=False)  # zero-copy view of A's arrays
    S = M[:, 2:5]; S.nnz; S.to_scipy(); S.free()
    korvex.save("m.kvx", M); F = korvex.load("m.kvx")  # mapped: opens in O(rows)

Every failing library call raises a KorvexError subclass that is also the
matching builtin (ValueError, IndexError, MemoryError) and names the status.

Threads: the library's loops run on one process-wide oneTBB pool created on
first use and sized to the CPUs in the process's affinity mask at that time
(taskset, or os.sched_setaffinity before the first korvex call);
korvex.set_num_threads(n) and ``with korvex.threads(n):`` cap it. Any Python
thread may call any method: one package-wide reader/writer lock (_guard.py)
lets reading calls run in parallel and makes sort_indices() and free() wait
for them, and them for it.
"""
from ._lib import (AllocationError, CapacityError, FamilyError, IndexOutOfRangeError, IndptrError,
                   KorvexError, LengthError, NullArgumentError, RangeError, ShapeMismatchError,
                   library_path)
from ._threads import get_num_threads, set_num_threads, threads
from ._entries import NonzeroPattern
from ._matrix import CSCMatrix, CSRMatrix, SpanDesc, from_coo, from_scipy, hstack, vstack
from .storage import FileFormatError, load, load_npz, save, save_npz
from .batches import batches
from .h5ad import load_h5ad
from .tensors import from_torch

__version__ = "1.0.0"

__all__ = [
    "from_scipy", "from_coo", "hstack", "vstack", "CSRMatrix", "CSCMatrix", "SpanDesc",
    "NonzeroPattern",
    "KorvexError", "NullArgumentError", "ShapeMismatchError", "LengthError", "IndptrError",
    "RangeError", "CapacityError", "AllocationError", "IndexOutOfRangeError", "FamilyError",
    "library_path",
    "save", "load", "save_npz", "load_npz", "FileFormatError", "batches",
    "load_h5ad", "from_torch", "get_num_threads", "set_num_threads", "threads",
]

# A process that already uses Dask (every Dask worker does) gets korvex's Dask
# registrations -- concatenation, sizeof, the distributed serializer -- as soon
# as it meets a korvex matrix, without importing korvex.dask itself. A Dask
# installation without dask.array leaves korvex usable without them.
import sys as _sys

if "dask" in _sys.modules:
    try:
        from . import dask as _dask_registrations  # noqa: F401
    except ImportError:
        pass
del _sys
