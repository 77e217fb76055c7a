"""Array conversion: ArrayLike inputs copied into contiguous float64 buffers, outputs handed to
NumPy without a copy."""

import subprocess
import sys

import numpy as np
import pytest


class TestVectorInput:
    def test_lists_tuples_and_integer_arrays(self, hooks):
        np.testing.assert_array_equal(hooks._to_f64_1d([1, 2.5, 3]), [1.0, 2.5, 3.0])
        np.testing.assert_array_equal(hooks._to_f64_1d((4, 5)), [4.0, 5.0])
        out = hooks._to_f64_1d(np.arange(4, dtype=np.int16))
        assert out.dtype == np.float64
        np.testing.assert_array_equal(out, [0.0, 1.0, 2.0, 3.0])

    def test_scalar_becomes_one_element(self, hooks):
        np.testing.assert_array_equal(hooks._to_f64_1d(2.0), [2.0])
        np.testing.assert_array_equal(hooks._to_f64_1d(np.float32(0.5)), [0.5])

    def test_empty(self, hooks):
        out = hooks._to_f64_1d([])
        assert out.shape == (0,) and out.dtype == np.float64

    def test_non_contiguous_and_negative_strides_are_copied_in_order(self, hooks):
        base = np.arange(10.0)
        np.testing.assert_array_equal(hooks._to_f64_1d(base[::2]), [0.0, 2.0, 4.0, 6.0, 8.0])
        np.testing.assert_array_equal(hooks._to_f64_1d(base[::-3]), [9.0, 6.0, 3.0, 0.0])

    def test_wrong_dimensionality(self, hooks):
        with pytest.raises(ValueError) as info:
            hooks._to_f64_1d([[1.0, 2.0], [3.0, 4.0]])
        assert str(info.value) == "`x` must be convertible to a one-dimensional float64 array"

    def test_numpy_errors_propagate(self, hooks):
        with pytest.raises(ValueError, match="inhomogeneous"):
            hooks._to_f64_1d([[1.0], [2.0, 3.0]])
        with pytest.raises(TypeError):
            hooks._to_f64_1d({"a": 1})

    def test_input_is_copied(self, hooks):
        values = np.array([1.0, 2.0, 3.0])
        out = hooks._to_f64_1d(values)
        values[0] = 100.0
        assert out[0] == 1.0
        assert not np.shares_memory(out, values)

    def test_defensive_contiguity_check(self, hooks, monkeypatch):
        monkeypatch.setattr(np, "ascontiguousarray", lambda x, dtype: np.asarray(x, dtype)[::2])
        with pytest.raises(ValueError) as info:
            hooks._to_f64_1d([1.0, 2.0, 3.0, 4.0])
        assert str(info.value) == "`x` must be convertible to a contiguous one-dimensional float64 array"


class TestMatrixInput:
    def test_row_major_copy(self, hooks):
        out = hooks._to_f64_2d([[1, 2, 3], [4, 5, 6]])
        np.testing.assert_array_equal(out, [[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]])
        assert out.flags.c_contiguous

    def test_fortran_order_and_strided_views(self, hooks):
        a = np.asfortranarray(np.arange(12.0).reshape(3, 4))
        np.testing.assert_array_equal(hooks._to_f64_2d(a), a)
        np.testing.assert_array_equal(hooks._to_f64_2d(a[:, ::-2]), a[:, ::-2])
        np.testing.assert_array_equal(hooks._to_f64_2d(a.T), a.T)

    def test_empty_shapes(self, hooks):
        assert hooks._to_f64_2d(np.zeros((0, 3))).shape == (0, 3)
        assert hooks._to_f64_2d(np.zeros((2, 0))).shape == (2, 0)

    def test_wrong_dimensionality(self, hooks):
        for value in ([1.0, 2.0], 3.0, np.zeros((2, 2, 2))):
            with pytest.raises(ValueError) as info:
                hooks._to_f64_2d(value)
            assert str(info.value) == "`x` must be convertible to a two-dimensional float64 array"

    def test_defensive_layout_check(self, hooks, monkeypatch):
        monkeypatch.setattr(np, "ascontiguousarray", lambda x, dtype: np.asfortranarray(np.asarray(x, dtype)))
        with pytest.raises(ValueError) as info:
            hooks._to_f64_2d([[1.0, 2.0], [3.0, 4.0]])
        assert str(info.value) == "`x` must be convertible to a C-contiguous two-dimensional float64 array"
        # A single row or column is row-major in either order.
        np.testing.assert_array_equal(hooks._to_f64_2d([[1.0, 2.0]]), [[1.0, 2.0]])


class TestObjectiveArrays:
    def test_conversion_and_messages(self, hooks):
        np.testing.assert_array_equal(hooks._extract_f64_array([1, 2]), [1.0, 2.0])
        assert hooks._extract_f64_array([]).shape == (0,)
        with pytest.raises(ValueError) as info:
            hooks._extract_f64_array([[1.0]])
        assert str(info.value) == "`alpha` must be convertible to a one-dimensional float64 NumPy array"

    def test_missing_numpy_is_raised_unchanged(self, hooks, monkeypatch):
        monkeypatch.setitem(sys.modules, "numpy", None)
        with pytest.raises(ImportError):
            hooks._extract_f64_array([1.0])


class TestOutput:
    def test_array_owns_the_result_buffer(self, hooks):
        out = hooks._to_f64_1d([1.0, 2.0])
        assert out.dtype == np.float64 and out.flags.writeable and not out.flags.owndata
        assert type(out.base).__name__ == "_OwnedBuffer"
        out[1] = 7.0  # writable, and nothing else shares it
        assert out[1] == 7.0

    def test_matrix_output_is_c_contiguous(self, hooks):
        out = hooks._to_f64_2d(np.ones((3, 2)))
        assert out.shape == (3, 2) and out.flags.c_contiguous and out.flags.writeable

    def test_buffer_lives_as_long_as_the_array(self, hooks):
        out = hooks._to_f64_1d(list(range(1000)))
        view = out[10:20]
        del out
        np.testing.assert_array_equal(view, np.arange(10.0, 20.0))


class TestWithoutNumpy:
    def test_missing_numpy_names_the_argument(self, hooks, monkeypatch):
        monkeypatch.setitem(sys.modules, "numpy", None)
        with pytest.raises(ValueError) as info:
            hooks._to_f64_1d([1.0])
        assert str(info.value).startswith("`x` requires NumPy for ArrayLike conversion: ")
        assert "numpy" in str(info.value)

    def test_module_imports_without_numpy(self):
        code = (
            "import sys; sys.modules['numpy'] = None\n"
            "import qarn_py\n"
            "assert qarn_py.version() == '0.2.3'\n"
            "assert repr(qarn_py.Verbosity.DEBUG) == 'Verbosity.DEBUG'\n"
            "assert 'numpy' not in [m for m in sys.modules if sys.modules[m] is not None]\n"
        )
        subprocess.run([sys.executable, "-c", code], check=True)
