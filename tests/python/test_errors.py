"""Statuses become exceptions; bad input is refused before it reaches the
library or is reported by it; nothing fails silently."""
import ctypes

import numpy as np
import pytest

import korvex
from korvex import _lib
from strategies import make_scipy

byref = ctypes.byref


def small(fmt="csr", dtype=np.float64):
    shape = (3, 4) if fmt == "csr" else (4, 3)
    A = make_scipy(fmt, shape, [[0, 2], [], [1, 3, 0]], [1, 2, 3, 4, 5], dtype, np.int64)
    return A, korvex.from_scipy(A)


def test_every_status_maps_to_its_exception():
    A, M = small()
    fam, h, out = M._fam, M._h, ctypes.c_void_p()
    buf = np.zeros(64, np.int64)
    p = buf.ctypes.data
    big = np.array([0, 2 ** 61], np.uint64)
    cases = [  # (status from a real call, exception, builtin)
        (fam.slice_rows(h, 0, 1, None), korvex.NullArgumentError, ValueError),
        (fam.slice_rows_mask(h, p, 2, byref(out)), korvex.LengthError, ValueError),
        (fam.from_scipy_copy(3, 4, p, 0, p, 0, p, 3, byref(out)), korvex.IndptrError, ValueError),
        (fam.slice_rows(h, 2, 1, byref(out)), korvex.RangeError, IndexError),
        (fam.slice_cols(h, 0, 5, byref(out)), korvex.RangeError, IndexError),
        (fam.to_coo(h, p, p, p, M.nnz - 1), korvex.CapacityError, ValueError),
        (fam.to_dense(h, p, 11, 0), korvex.CapacityError, ValueError),
        # 2**61 doubles cannot be allocated: refused before any element is read
        (fam.from_scipy_copy(1, 1, p, 2 ** 61, p, 2 ** 61, big.ctypes.data, 2, byref(out)),
         korvex.AllocationError, MemoryError),
        (fam.from_coo(3, 4, np.array([3], np.int64).ctypes.data, p, p, 1, byref(out)),
         korvex.IndexOutOfRangeError, IndexError),
    ]
    for status, exc, builtin in cases:
        with pytest.raises(exc) as info:
            _lib.check_status(status, "op")
        assert isinstance(info.value, builtin) and isinstance(info.value, korvex.KorvexError)
        assert info.value.status == status and str(status) in str(info.value)
        assert "KORVEX_STATUS_" in str(info.value)
    assert out.value is None  # no failing call wrote the slot
    with pytest.raises(korvex.KorvexError, match="unknown"):
        _lib.check_status(-99, "op")
    np.testing.assert_array_equal(buf, 0)  # nothing written on failure


def test_import_refuses_unsupported_input():
    A, _ = small()
    for bad in (A.toarray(), A.tocoo(), A.tolil(), A.todok(), A.tobsr(), A.todia(), [[1.0]]):
        with pytest.raises(TypeError, match="CSR|scipy.sparse"):
            korvex.from_scipy(bad)
    for dt in (np.int64, np.complex128, np.float16, np.dtype(">f8")):
        B = A.copy()
        B.data = B.data.astype(dt)
        with pytest.raises(TypeError, match="float32 or float64"):
            korvex.from_scipy(B)
        if dt == np.complex128:  # never dropped silently, even on request
            with pytest.raises(TypeError, match="real"):
                korvex.from_scipy(B, dtype=np.float64)
        else:
            np.testing.assert_array_equal(korvex.from_scipy(B, dtype=np.float64).toarray(),
                                          A.toarray())
    with pytest.raises(ValueError, match="view"):
        korvex.from_scipy(A, copy=False, dtype=np.float32)
    with pytest.raises(TypeError):
        korvex.from_scipy(A, dtype=np.int32)
    strided = A.copy()
    strided.data = np.repeat(A.data, 2)[::2]
    with pytest.raises(ValueError, match="non-contiguous"):
        korvex.from_scipy(strided, copy=False)
    np.testing.assert_array_equal(korvex.from_scipy(strided).toarray(), A.toarray())


@pytest.mark.parametrize("copy", [True, False])
def test_import_refuses_malformed_arrays(copy):
    A, _ = small()
    for indptr, exc in (([0, 2, 1, 5], korvex.IndptrError),      # decreasing
                        ([1, 2, 2, 5], korvex.IndptrError),      # not starting at 0
                        ([0, 2, 5], korvex.IndptrError),         # wrong length
                        ([0, 2, 2, 9], korvex.LengthError)):     # beyond the arrays
        B = A.copy()
        B.indptr = np.array(indptr, np.int64)
        with pytest.raises(exc):
            korvex.from_scipy(B, copy=copy)
    B = A.copy()
    B.indices = B.indices.astype(np.float64)
    with pytest.raises(TypeError):
        korvex.from_scipy(B, copy=copy)


@pytest.mark.parametrize("copy", [True, False])
def test_out_of_range_indices_are_reported_not_used(copy):
    # Imports do not scan indices (validate() does); every operation that
    # would misplace such an entry refuses instead.
    for rows in ([[0, 7], [1]], [[7, 0], [1]]):  # sorted and unsorted
        A = make_scipy("csr", (2, 3), rows, [1, 2, 3], np.float64, np.int64)
        M = korvex.from_scipy(A, copy=copy)
        assert M.is_valid() and not M.indices_in_bounds() and not M.validate()
        for op in (M.toarray, M.tocsc, M.to_scipy, M.tocoo):
            with pytest.raises(IndexError, match="KORVEX_STATUS_INDEX|outside"):
                op()


def test_from_coo_refuses_bad_input():
    r = np.array([0, 1])
    v = np.array([1.0, 2.0])
    with pytest.raises(korvex.IndexOutOfRangeError, match="KORVEX_STATUS_INDEX"):
        korvex.from_coo([0, 2], [0, 0], v, (2, 2))  # outer index: the library's check
    with pytest.raises(IndexError):
        korvex.from_coo([-1, 0], [0, 0], v, (2, 2))
    with pytest.raises(IndexError, match="column"):
        korvex.from_coo(r, [0, 2], v, (2, 2))        # inner index: checked here
    with pytest.raises(IndexError, match="row"):
        korvex.from_coo(r, [0, 0], v, (1, 2), format="csc")
    with pytest.raises(ValueError, match="length"):
        korvex.from_coo(r, [0], v, (2, 2))
    with pytest.raises(TypeError):
        korvex.from_coo(r.astype(float), r, v, (2, 2))
    with pytest.raises(TypeError, match="float32 or float64"):
        korvex.from_coo(r, r, [1, 2], (2, 2))
    assert korvex.from_coo(r, r, [1, 2], (2, 2), dtype=np.float32).dtype == np.float32
    with pytest.raises(ValueError):
        korvex.from_coo(r, r, v, (2, 2), format="coo")
    with pytest.raises(ValueError):
        korvex.from_coo(r, r, v, (2, -2))
    E = korvex.from_coo([], [], np.zeros(0), (0, 3))
    assert E.shape == (0, 3) and E.nnz == 0


def test_indexing_refuses_what_it_does_not_do():
    A, M = small()
    for key in (np.array([0, 9]), np.array([-9]), np.array([1.0]), 1.5, None, True,
                (0, 0, 0), np.zeros(4, bool), np.zeros((3, 1), bool), 3, -4, (slice(None), 4)):
        with pytest.raises(IndexError):
            M[key]
    # Step slices, positions in any order and integer arrays of any width
    # select as scipy does.
    for key in (slice(0, 3, 2), slice(None, None, -1), (slice(None), slice(0, 4, 2)),
                [1, 0], np.array([2, 2]), Ellipsis, (slice(None), np.ones(3, np.uint8))):
        np.testing.assert_array_equal(M[key].toarray(), A[key].toarray())
    with pytest.raises(ValueError):
        M.transpose((0, 1))


def test_integer_positions_select_like_numpy():
    A, M = small()
    dense = A.toarray()
    for rows, cols in (([0, 2], slice(None)), (np.array([-1]), np.array([0, 3], np.uint16)),
                       (np.arange(0), [1, 2]), (slice(None), np.array([True, False, True, True]))):
        sliced = isinstance(rows, slice) or isinstance(cols, slice)
        key = (rows, cols) if sliced else np.ix_(rows, cols)  # two arrays would pair up
        np.testing.assert_array_equal(M[key].toarray(), dense[rows][:, cols])
    np.testing.assert_array_equal(np.transpose(M, (1, 0)).toarray(), dense.T)


def test_freed_matrices_and_context_manager():
    A, M = small()
    with korvex.from_scipy(A, copy=False) as V:
        S = V[1:]
    assert V.freed and "freed" in repr(V)
    with pytest.raises(ValueError, match="freed"):
        V.nnz
    np.testing.assert_array_equal(S.toarray(), A.toarray()[1:])  # slices outlive it
    M.free()
    M.free()
    for op in (lambda: M.shape, M.toarray, M.copy, lambda: M[0:1], M.sort_indices,
               lambda: korvex.vstack([M])):
        with pytest.raises(ValueError, match="freed"):
            op()


def test_stacking_refuses_mismatches():
    _, M = small()
    _, C = small("csc")
    _, F = small(dtype=np.float32)
    with pytest.raises(ValueError):
        korvex.vstack([])
    # Mixed forms and value types stack, promoting (see test_habits.py).
    assert korvex.vstack([M, C.T.tocsc()]).format == "csr" and korvex.hstack([M, F]).dtype == np.float64
    with pytest.raises(TypeError):
        korvex.hstack([M, M.to_scipy()])
    for stack, other in ((korvex.vstack, M[:, :3]), (korvex.hstack, M[:2])):
        with pytest.raises(korvex.ShapeMismatchError, match="SHAPE_MISMATCH"):
            stack([M, other])
    with pytest.raises(ValueError, match="order"):
        M.toarray(order="K")
