"""Argument kinds, result kinds, failures and thread binding of the binding layer.

The private module vantrel._testing exposes one probe per argument kind, bound and converted by
the same helpers as every public member; the worker pool's size is checked here too.
"""
import os
import threading

import numpy as np
import pytest

from vantrel._testing import BoundProbe, Probe
from other_thread import raised_on_other_thread
from workers import run_with_workers


def panic_type():
    try:
        Probe.stop("x")
    except BaseException as e:  # noqa: B036 - the panic type is a BaseException on purpose
        return type(e)


class TestBinding:
    def test_too_many_positional(self):
        with pytest.raises(TypeError, match=r"^Probe\.index\(\) takes from 1 to 2 positional arguments but 3 were given$"):
            Probe.index(1, 2, 3)
        with pytest.raises(TypeError, match=r"^Probe\.tag\(\) takes 1 positional arguments but 2 were given$"):
            Probe.tag(1, 2)

    def test_missing_unexpected_and_duplicate(self):
        with pytest.raises(TypeError, match=r"^Probe\.index\(\) missing 1 required positional argument: 'freq_idx'$"):
            Probe.index()
        with pytest.raises(TypeError, match=r"^Probe\.index\(\) got an unexpected keyword argument 'bogus'$"):
            Probe.index(1, bogus=2)
        with pytest.raises(TypeError, match=r"^Probe\.index\(\) got multiple values for argument 'freq_idx'$"):
            Probe.index(1, freq_idx=2)

    def test_keywords_and_defaults(self):
        assert Probe.index(port_idx=4, freq_idx=3) == [3, 4]
        assert Probe.index(3) == [3]
        assert Probe.tuple_list_len() == 0


class TestArgumentKinds:
    @pytest.mark.parametrize("value, expected", [(2, 2), (np.int64(2), 2), (True, 1), (2**64 - 1, 2**64 - 1)],
                             ids=["int", "numpy-int64", "bool", "u64-max"])
    def test_index_accepted(self, value, expected):
        assert Probe.index(value) == [expected]

    def test_index_refused(self):
        with pytest.raises(TypeError, match=r"^argument 'freq_idx': ") as info:
            Probe.index(1.0)
        assert isinstance(info.value.__cause__, TypeError)
        with pytest.raises(OverflowError) as info:
            Probe.index(-1)
        assert not str(info.value).startswith("argument")
        with pytest.raises(OverflowError):
            Probe.index(2**64)
        with pytest.raises(TypeError, match="argument 'freq_idx'"):
            Probe.index(None)

    def test_tag(self):
        assert Probe.tag(-5) == -5
        assert Probe.tag(2**31 - 1) == 2**31 - 1
        with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
            Probe.tag(2**31)
        with pytest.raises(TypeError, match="^argument 'tag': "):
            Probe.tag("3")

    def test_real(self):
        assert Probe.real(3) == 3.0
        assert Probe.real(np.float32(0.5)) == 0.5
        with pytest.raises(TypeError, match="^argument 'h': "):
            Probe.real("0.1")

    def test_text_and_bytes(self):
        assert Probe.text("é") == "é"
        with pytest.raises(TypeError, match="^argument 'config_toml': 'bytes' object cannot be converted to 'PyString'$"):
            Probe.text(b"x")
        with pytest.raises(UnicodeEncodeError):
            Probe.text("\ud800")
        assert Probe.bytes_len(b"abc") == 3
        for bad in (bytearray(b"abc"), memoryview(b"abc"), "abc"):
            with pytest.raises(TypeError, match="cannot be converted to 'PyBytes'"):
                Probe.bytes_len(bad)

    def test_vector(self):
        a = np.arange(5.0)
        assert Probe.vector_sum(a) == 10.0
        ro = a.copy()
        ro.setflags(write=False)
        assert Probe.vector_sum(ro) == 10.0
        assert Probe.vector_sum(np.zeros(0)) == 0.0
        for bad in (np.arange(5, dtype=np.float32), np.zeros((2, 2)), [1.0, 2.0],
                    np.arange(3.0).astype(">f8")):
            with pytest.raises(TypeError, match=r"cannot be converted to 'PyArray<T, D>'"):
                Probe.vector_sum(bad)
        with pytest.raises(RuntimeError, match="^The given array is not contiguous$"):
            Probe.vector_sum(a[::2])
        with pytest.raises(RuntimeError, match="^The given array is not contiguous$"):
            Probe.vector_sum(a[::-1])

    def test_triple(self):
        assert Probe.triple((1, 2.5, 3)) == (1.0, 2.5, 3.0)
        with pytest.raises(TypeError, match="^argument 'point': 'list' object cannot be converted to 'PyTuple'$"):
            Probe.triple([1.0, 2.0, 3.0])
        with pytest.raises(ValueError, match=r"^expected tuple of length 3, but got tuple of length 2$"):
            Probe.triple((1.0, 2.0))

    def test_flag(self):
        assert Probe.flag(True) is True
        assert Probe.flag(np.bool_(False)) is False  # NumPy 2 names it numpy.bool
        for bad in (1, 0, None):
            with pytest.raises(TypeError, match="cannot be converted to 'PyBool'"):
                Probe.flag(bad)

    def test_tuple_list(self):
        assert Probe.tuple_list_len(None) == 0
        assert Probe.tuple_list_len([(1, 2, 3), (4, 5, 6)]) == 2
        assert Probe.tuple_list_len(((1, 2, 3),)) == 1
        with pytest.raises(TypeError, match="^argument 'absorbers': Can't extract `str` to `Vec`$"):
            Probe.tuple_list_len("abc")
        with pytest.raises(TypeError, match="'dict' object cannot be converted to 'Sequence'"):
            Probe.tuple_list_len({1: 2})
        with pytest.raises(ValueError, match="expected tuple of length 3, but got tuple of length 2"):
            Probe.tuple_list_len([(1, 2)])


class TestResults:
    def test_fresh_owning_arrays(self):
        a, b = Probe.vector(4), Probe.vector(4)
        assert a is not b and not np.shares_memory(a, b)
        assert a.dtype == np.float64 and a.flags.c_contiguous and a.flags.writeable and a.flags.owndata is False
        a[0] = 42.0
        assert Probe.vector(4)[0] == 0.0
        g = Probe.complex_grid(2, 3)
        assert g.shape == (2, 3) and g.dtype == np.complex128 and g.flags.c_contiguous
        assert g[1, 0] == 3 + 1j
        iv = Probe.index_vector(3)
        assert iv.dtype == np.int64 and list(iv) == [-1, -1, -1]

    def test_array_outlives_nothing_else(self):
        arrays = [Probe.vector(1000) for _ in range(50)]
        del arrays  # the keeper frees each buffer; nothing to observe but no crash


class TestFailures:
    def test_error_value_is_runtime_error(self):
        with pytest.raises(RuntimeError, match="^No tetrahedra found in mesh$"):
            Probe.error("No tetrahedra found in mesh")

    def test_stop_is_panic_exception(self, capfd):
        exc = panic_type()
        assert exc.__name__ == "PanicException" and exc.__module__ == "pyo3_runtime"
        assert issubclass(exc, BaseException) and not issubclass(exc, Exception)
        with pytest.raises(exc) as info:
            Probe.stop("matinv3: singular 3x3 material tensor (|det| = 0.000e0)")
        assert info.value.args == ("matinv3: singular 3x3 material tensor (|det| = 0.000e0)",)
        assert "matinv3" in capfd.readouterr().err

    def test_stop_inside_parallel_loop(self):
        with pytest.raises(panic_type(), match="index out of bounds: the len is 3 but the index is 10"):
            Probe.stop_in_pool()


class TestThreadBinding:
    def test_use_on_other_thread_is_refused(self):
        obj = BoundProbe()
        assert obj.touch() == 7
        err = raised_on_other_thread(obj.touch)
        assert type(err) is panic_type()
        assert "vantrel::PyProbe is unsendable, but sent to another thread" in str(err)
        assert obj.touch() == 7

    def test_drop_on_other_thread_reports_unraisable(self, monkeypatch):
        import sys
        seen = []
        monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append(u))
        holder = [BoundProbe()]
        t = threading.Thread(target=holder.clear)
        t.start()
        t.join()
        assert seen and "vantrel::PyProbe is unsendable, but is being dropped on another thread" in str(seen[0].exc_value)


def test_one_panic_class_for_every_module():
    from vantrel._native import TdOperator
    op = TdOperator(1, 1, 1, 1.0, 1.0, 1.0, 1)
    with pytest.raises(BaseException) as info:  # noqa: B017 - the class itself is under test
        op.apply(np.zeros(3))  # too short a state: an index stop
    assert type(info.value) is panic_type()


class TestWorkerPool:
    @pytest.mark.parametrize("extra", [None, 0, 3])
    def test_pool_runs_as_many_workers_as_asked(self, extra):
        # RAYON_NUM_THREADS may ask for more threads than the machine has (extra above the
        # hardware); the pool then has them all, and no library line reaches standard error.
        hardware = os.cpu_count() or 1
        workers = 1 if extra is None else hardware + extra
        code = "from vantrel._testing import Probe\nprint(*Probe.pool_peak(60.0))"
        run = run_with_workers(code, workers, timeout=300)
        assert run.stdout.split() == [str(workers), str(workers)]
        assert run.stderr == ""
