"""A walk through korvex from Python, every result checked against scipy.

Run with `make demo` (or KORVEX_LIBRARY=build/libkorvex.so PYTHONPATH=python
python3 examples/demo.py).
"""
import os
import sys

import numpy as np
import scipy.sparse as sp

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "python"))
import korvex  # noqa: E402

failures = 0


def check(label, ok, detail=""):
    global failures
    failures += not ok
    print(f"  [{'ok' if ok else 'MISMATCH'}] {label}{': ' + detail if detail else ''}")


def same(M, ref):
    return M.shape == ref.shape and np.array_equal(M.toarray(), ref.toarray())


print(f"korvex {korvex.__version__} from {korvex.library_path}")

# A scipy CSR matrix with 64-bit indices.
A = sp.random(2000, 1500, density=0.01, format="csr", random_state=42, dtype=np.float64)
A.indices, A.indptr = A.indices.astype(np.int64), A.indptr.astype(np.int64)
print(f"\nscipy: {A.shape} CSR, nnz={A.nnz}, index type {A.indices.dtype}")

print("\n1. The typical road: copy import, validate, slice columns, export, free")
M = korvex.from_scipy(A)  # copies into korvex storage
print("  ", M)
check("nnz after import", M.nnz == A.nnz, f"{M.nnz}")
check("validate (shape, bounds, sorted rows)", M.validate())
S = M[:, 300:700]
ref = A[:, 300:700]
check("columns 300:700", same(S, ref), f"{S.shape}, nnz={S.nnz} (scipy {ref.nnz})")
C = S.tocoo()
rc = ref.tocoo()
check("coordinate export", np.array_equal(C.row, rc.row) and np.array_equal(C.col, rc.col)
      and np.array_equal(C.data, rc.data), f"{len(C.data)} triples, int64 coordinates")
back = S.to_scipy()
check("back to scipy", (back != ref).nnz == 0 and back.indices.dtype == np.int64,
      f"{type(back).__name__}, indices {back.indices.dtype}")
S.free()
M.free()
check("freed", M.freed and S.freed, repr(M))

print("\n2. Zero-copy: a view of scipy's arrays")
V = korvex.from_scipy(A, copy=False)
print("  ", V)
first = int(np.flatnonzero(np.diff(A.indptr))[0])  # first non-empty row
vspan, ispan = V.spans(first)
check("row spans point into A.data / A.indices",
      vspan.address == A.data.ctypes.data + 8 * A.indptr[first]
      and ispan.address == A.indices.ctypes.data + 8 * A.indptr[first]
      and vspan.view and not vspan.mutable, f"row {first}: {vspan}")
check("view equals scipy", same(V, A))

R = V[first:first + 50]  # rows along the compressed axis: span descriptors only
check("rows first:first+50 share the view's spans",
      R.spans(0)[0].address == vspan.address and same(R, A[first:first + 50]), repr(R))
mask = np.arange(A.shape[0]) % 7 == 0
check("row mask", same(V[mask], A[mask]), f"{V[mask].shape}")
W = korvex.vstack([V[:100], V[1500:]])
check("vstack of row slices (zero-copy)", same(W, sp.vstack([A[:100], A[1500:]]))
      and W.spans(first)[0].address == vspan.address, repr(W))
H = korvex.hstack([V[:, :10], V[:, -10:]])
check("hstack (copies across the compressed axis)",
      same(H, sp.hstack([A[:, :10], A[:, -10:]])), repr(H))

print("\n3. Clones, rows, and the lifetime of a view")
K = V.clone()  # shares every span, host arrays included
V.free()
# A's arrays stay alive and unmoved for as long as K (or any sharer) lives.
idx, val = K.outer(first)
lo, hi = A.indptr[first], A.indptr[first + 1]
check(f"row {first} read from a clone", np.array_equal(idx, A.indices[lo:hi])
      and np.array_equal(val, A.data[lo:hi]), f"indices {idx.tolist()[:5]}...")
check("row lengths", np.array_equal(K.outer_lengths(), np.diff(A.indptr)))
A.data[lo] = 1234.5  # writes to the host arrays show through every view
check("host write visible through the clone", K.outer(first)[1][0] == 1234.5)
D = K.copy()  # storage of its own, as in scipy
A.data[lo] = -1.0
check("a copy no longer follows the host arrays", D.outer(first)[1][0] == 1234.5
      and not D.is_view)
T = K.T
check("transpose", same(T, A.T), repr(T))
check("CSR -> CSC", same(K.tocsc(), A.tocsc()))
for X in (R, W, H, K, D, T):
    X.free()

print(f"\n{'all checks passed' if not failures else f'{failures} check(s) FAILED'}")
sys.exit(1 if failures else 0)
