// Array conversion at the boundary. Inputs go through numpy.ascontiguousarray(x, float64) (NumPy
// imported when needed, so the module itself imports without it) and are read through the buffer
// protocol into owned vectors and row-major matrices: one copy, and no Python object referenced
// after the call. Outputs hand their buffer to a NumPy array without copying.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

#include "ffi/python/convert.hpp"

namespace qarn::py {

// An owned row-major float64 matrix: element (i, j) at i * cols + j.
struct Matrix {
  std::size_t rows = 0;
  std::size_t cols = 0;
  std::vector<double> values;
};

// numpy.ascontiguousarray(x, numpy.float64); a missing NumPy is a ValueError naming the argument.
Ref numpy_ascontiguousarray_f64(std::string_view name, PyObject* x);
// The same call where a failed NumPy import propagates unchanged.
Ref call_ascontiguousarray_f64(PyObject* x);

// The values of `array` when it exports a one-dimensional float64 buffer, else none; a non-empty
// buffer that is not aligned and contiguous throws `layout_error`.
std::optional<std::vector<double>> read_f64_vector(PyObject* array, const Error& layout_error);

std::vector<double> to_contiguous_f64_1d(std::string_view name, PyObject* x);
Matrix to_contiguous_f64_2d(std::string_view name, PyObject* x);

// The 1-D conversion used for objective arrays, with its own messages.
std::vector<double> extract_f64_array(std::string_view name, PyObject* x);
Error build_contiguous_1d_error(std::string_view name);

// obj.item(): a NumPy scalar (or 0-d array) as a Python number.
Ref call_item(PyObject* object);

// A new 1-D float64 array owning `values` (no copy).
Ref vector_to_numpy(std::vector<double> values);
// A new C-contiguous rows x cols float64 array owning the row-major `values` (no copy).
Ref matrix_to_numpy(std::size_t rows, std::size_t cols, std::vector<double> values);

template <>
struct FromPy<std::vector<double>> {
  static std::vector<double> convert(PyObject* object, std::string_view name) {
    return to_contiguous_f64_1d(name, object);
  }
};

template <>
struct FromPy<Matrix> {
  static Matrix convert(PyObject* object, std::string_view name) { return to_contiguous_f64_2d(name, object); }
};

template <>
struct ToPy<std::vector<double>> {
  static Ref convert(std::vector<double> values) { return vector_to_numpy(std::move(values)); }
};

template <>
struct ToPy<Matrix> {
  static Ref convert(Matrix m) { return matrix_to_numpy(m.rows, m.cols, std::move(m.values)); }
};

}  // namespace qarn::py
