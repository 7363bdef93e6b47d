"""The core's contract that the mixins and the modules above rely on: what a
derived result shares, keeps and is, and what the handle record refuses."""
import numpy as np
import pytest
import scipy.sparse as sp

import korvex
from korvex import _core as core
from korvex._guard import GUARD


def view(fmt, sparray):
    A = sp.random(6, 5, density=0.5, format=fmt, random_state=2)
    A.indices = A.indices.astype(np.int64)  # int64 indices: a view reads them in place
    cls = {("csr", True): sp.csr_array, ("csc", True): sp.csc_array}.get((fmt, sparray))
    return korvex.from_scipy(cls(A) if cls else A, copy=False)


# name: (result of M, same storage as M, expected form given M's)
RESULTS = {
    "take_outer": (lambda M: core.take_outer(M, np.array([3, 0, 3], np.int64)), True, None),
    "take_outer none": (lambda M: core.take_outer(M, np.zeros(0, np.int64)), True, None),
    "derive clone": (lambda M: core.derive(M, core.call(M, "clone"), shares=True), True, None),
    "derive transpose": (lambda M: core.derive(
        M, core.new(M, "transpose_shared_from_other",
                    fam=korvex._lib.family(core.other_form(M.format), M.dtype.name)),
        form=core.other_form(M.format), shares=True), True, "other"),
    "owned": (lambda M: core.owned(M, *core.export(M)[:3]), False, None),
}


@pytest.mark.parametrize("name", list(RESULTS))
@pytest.mark.parametrize("fmt", ["csr", "csc"])
@pytest.mark.parametrize("sparray", [False, True])
def test_derived_results(name, fmt, sparray):
    M = view(fmt, sparray)
    make, shares, form = RESULTS[name]
    R = make(M)
    want_form = core.other_form(fmt) if form == "other" else fmt
    assert R.format == want_form and core.is_matrix(R) and R.dtype == M.dtype
    assert core.record(R).sparray == sparray
    assert R.is_view == shares  # keeps M's host arrays exactly when it shares them
    M.free()  # the result lives on without M
    assert R.validate()
    core.discard(R)
    assert R.freed


def test_swap_and_the_record_refusals():
    assert core.swap("csr", ("r", "c")) == ("r", "c")
    assert core.swap("csc", ("r", "c")) == ("c", "r")
    M = korvex.from_scipy(sp.random(4, 3, density=0.5, format="csr", random_state=1))
    rec = core.record(M)
    with pytest.raises(RuntimeError, match="guard"):
        rec.handle()
    with GUARD:
        assert rec.handle() == rec.h
    assert core.rows_sorted(M) and rec.sorted_known  # owned storage is remembered sorted
    with korvex._guard.exclusive:
        rec.replace(core.import_copy(rec.fam, 4, 3, *core.export(M)[:3]))
    assert not rec.sorted_known  # new storage: known again only once checked
    core.run_exclusive(M, "ensure_sorted")
    with GUARD, pytest.raises(RuntimeError, match="cannot run here"):
        core.run_exclusive(M, "ensure_sorted")  # an edit cannot start inside a read
    M.free()
    with pytest.raises(ValueError, match="freed"), GUARD:
        rec.handle()
    assert core.is_matrix(M) and not core.is_matrix(sp.eye(3)) and not core.is_matrix(np.eye(3))
