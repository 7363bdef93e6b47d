"""SuiteSparse:GraphBLAS (Debian's libgraphblas7) through ctypes, for the
two-operand benchmark: the same cases on the same scipy matrices, each
result materialised. It runs on as many OpenMP threads as the process's
affinity mask allows (OMP_NUM_THREADS is set to that before the library
loads). None where the library is missing."""
import ctypes
import os

import numpy as np

FP64 = "GrB_FP64"


class GraphBLAS:
    def __init__(self, threads):
        os.environ.setdefault("OMP_NUM_THREADS", str(threads))
        self.lib = lib = ctypes.CDLL("libgraphblas.so.7")
        self._check(lib.GrB_init(0), "GrB_init")  # non-blocking
        g = lambda name: ctypes.c_void_p.in_dll(lib, name)
        self.fp64 = g(FP64)
        self.semiring = g("GrB_PLUS_TIMES_SEMIRING_FP64")
        self.plus, self.times = g("GrB_PLUS_FP64"), g("GrB_TIMES_FP64")
        self.gt = g("GrB_VALUEGT_FP64")
        self.t0, self.t1 = g("GrB_DESC_T0"), g("GrB_DESC_T1")
        lib.GrB_Matrix_select_FP64.argtypes = [ctypes.c_void_p] * 5 + [ctypes.c_double, ctypes.c_void_p]

    @staticmethod
    def _check(info, what):
        if info != 0:
            raise RuntimeError(f"{what} -> GrB_Info {info}")

    def from_scipy(self, S):
        """A CSR copy of a scipy CSR matrix (f64)."""
        S = S.tocsr()
        ip = np.ascontiguousarray(S.indptr, np.uint64)
        ix = np.ascontiguousarray(S.indices, np.uint64)
        x = np.ascontiguousarray(S.data, np.float64)
        h = ctypes.c_void_p()
        self._check(self.lib.GrB_Matrix_import_FP64(
            ctypes.byref(h), self.fp64, ctypes.c_uint64(S.shape[0]), ctypes.c_uint64(S.shape[1]),
            ip.ctypes.data_as(ctypes.c_void_p), ix.ctypes.data_as(ctypes.c_void_p),
            x.ctypes.data_as(ctypes.c_void_p), ctypes.c_uint64(ip.size), ctypes.c_uint64(ix.size),
            ctypes.c_uint64(x.size), 0), "GrB_Matrix_import_FP64")
        self.wait(h)
        return h

    def wait(self, h):
        self._check(self.lib.GrB_Matrix_wait(h, 1), "GrB_Matrix_wait")

    def new(self, rows, cols):
        h = ctypes.c_void_p()
        self._check(self.lib.GrB_Matrix_new(ctypes.byref(h), self.fp64, ctypes.c_uint64(rows),
                                            ctypes.c_uint64(cols)), "GrB_Matrix_new")
        return h

    def nvals(self, h):
        n = ctypes.c_uint64()
        self._check(self.lib.GrB_Matrix_nvals(ctypes.byref(n), h), "GrB_Matrix_nvals")
        return n.value

    def free(self, h):
        self.lib.GrB_Matrix_free(ctypes.byref(h))

    def _done(self, C):
        self.wait(C)
        n = self.nvals(C)
        self.free(C)
        return n

    def mxm(self, A, B, shape, transpose_a=False):
        """A @ B (A.T @ B with transpose_a), materialised; its entry count."""
        C = self.new(*shape)
        self._check(self.lib.GrB_mxm(C, None, None, self.semiring, A, B,
                                     self.t0 if transpose_a else None), "GrB_mxm")
        return self._done(C)

    def with_transpose(self, G, shape, multiply):
        """G + G.T (or G .* G.T), materialised; its entry count."""
        C = self.new(*shape)
        fn = self.lib.GrB_Matrix_eWiseMult_BinaryOp if multiply else self.lib.GrB_Matrix_eWiseAdd_BinaryOp
        self._check(fn(C, None, None, self.times if multiply else self.plus, G, G, self.t1), "eWise")
        return self._done(C)

    def select_gt(self, G, shape, s):
        """The entries of G above s (a select), materialised; their count."""
        C = self.new(*shape)
        self._check(self.lib.GrB_Matrix_select_FP64(C, None, None, self.gt, G, s, None), "select")
        return self._done(C)


def load(threads):
    try:
        return GraphBLAS(threads)
    except OSError:
        return None
