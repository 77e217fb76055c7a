// Array conversion at the boundary. Inputs go through numpy.ascontiguousarray(x, float64) (NumPy
// imported when needed, so the module itself imports without it) and are read through the buffer
// protocol into owned vectors and row-major matrices: one copy, and no Python object referenced
// after the call; a large 1-D input that is only read during the call can be viewed in place
// instead. Outputs hand their buffer to a NumPy array without copying.
#pragma once

#include <concepts>
#include <cstddef>
#include <memory>
#include <optional>
#include <span>
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

// numpy.ascontiguousarray(x, numpy.float64) for the argument `name`, under the rule of every float
// input (NumpyF64::real). A failed NumPy import becomes a ValueError that names the argument.
Ref ascontiguousarray_f64(std::string_view name, PyObject* x);

class BufferView;  // a buffer exported by a Python object, released with its owner

// A one-dimensional float64 array read in place: it holds the array's buffer export (and so a
// reference to the array) for as long as it lives. NumPy can still resize an array when told to
// skip its reference check, which takes Python code, so the values are to be read before any
// Python code runs again.
class F64VectorView {
 public:
  // `array`'s values when it exports a one-dimensional float64 buffer, else none; a non-empty
  // buffer that is not aligned and contiguous throws `layout_error`.
  static std::optional<F64VectorView> of(PyObject* array, const Error& layout_error);
  // numpy.ascontiguousarray(x, numpy.float64) read in place, with the rules and messages of
  // to_contiguous_f64_1d.
  static F64VectorView convert(std::string_view name, PyObject* x);

  F64VectorView(F64VectorView&&) noexcept;
  F64VectorView& operator=(F64VectorView&&) noexcept;
  ~F64VectorView();

  std::span<const double> values() const noexcept { return values_; }

 private:
  F64VectorView(std::unique_ptr<BufferView> view, std::span<const double> values);

  std::unique_ptr<BufferView> view_;
  std::span<const double> values_;
};

// A two-dimensional float64 array read in place, row-major, with the rules and messages of
// to_contiguous_f64_2d; like F64VectorView, its values are to be read before Python code runs again.
class F64MatrixView {
 public:
  // `array` is what ascontiguousarray_f64 made of the argument named `name`.
  static F64MatrixView of(std::string_view name, PyObject* array);

  F64MatrixView(F64MatrixView&&) noexcept;
  F64MatrixView& operator=(F64MatrixView&&) noexcept;
  ~F64MatrixView();

  std::size_t rows() const noexcept { return rows_; }
  std::size_t cols() const noexcept { return cols_; }
  std::span<const double> values() const noexcept { return values_; }  // element (i, j) at i * cols + j

 private:
  F64MatrixView(std::unique_ptr<BufferView> view, std::size_t rows, std::size_t cols, std::span<const double> values);

  std::unique_ptr<BufferView> view_;
  std::size_t rows_ = 0;
  std::size_t cols_ = 0;
  std::span<const double> values_;
};

// The values of the array `name` (an argument, or what a callback returned) copied, under the rules
// of F64VectorView::of. Memory that runs out for the copy is OutOfMemory naming `name` and its size,
// as in every copy of an array below.
std::optional<std::vector<double>> read_f64_vector(std::string_view name, PyObject* array, const Error& layout_error);

std::vector<double> to_contiguous_f64_1d(std::string_view name, PyObject* x);
Matrix to_contiguous_f64_2d(std::string_view name, PyObject* x);
// The second step of to_contiguous_f64_2d: the values of an array that ascontiguousarray_f64 made.
Matrix read_f64_matrix(std::string_view name, PyObject* array);

// The 1-D conversion used for objective arrays, with its own messages.
std::vector<double> extract_f64_array(std::string_view name, PyObject* x);

// Storage an output array can take over: movable, its float64 values contiguous at data()
// (std::vector<double>, path::SampleBuffer).
template <class Storage>
concept F64Storage = std::movable<Storage> && requires(Storage& storage) {
  { storage.data() } -> std::same_as<double*>;
  { storage.size() } -> std::convertible_to<std::size_t>;
};

// The values of any F64Storage with the storage itself as their owner, which the array keeps
// alive: the one form in which output values reach NumPy.
class OwnedValues {
 public:
  template <F64Storage Storage>
    requires(!std::same_as<Storage, OwnedValues>)
  OwnedValues(Storage storage)  // implicit: every storage converts
      : owner_(new Storage(std::move(storage)), [](void* owner) { delete static_cast<Storage*>(owner); }) {
    Storage& owned = *static_cast<Storage*>(owner_.get());
    data_ = owned.data();
    size_ = owned.size();
  }

  double* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }

 private:
  std::unique_ptr<void, void (*)(void*)> owner_;
  double* data_ = nullptr;
  std::size_t size_ = 0;
};

// A new 1-D float64 array owning `values` (no copy).
Ref vector_to_numpy(OwnedValues values);

// A new C-contiguous rows x cols float64 array owning the row-major `values` (no copy).
Ref matrix_to_numpy(std::size_t rows, std::size_t cols, OwnedValues values);

// The type of the small objects that own the buffers of output arrays (not a module name).
PyTypeObject* owned_buffer_type();

// NumPy and its float64 type looked up once for several conversions (a Python callback's arguments
// and result): the import is the costly part of a small conversion. The import rules are those of
// ascontiguousarray_f64.
class NumpyF64 {
 public:
  explicit NumpyF64(std::optional<std::string_view> argument = std::nullopt);
  Ref ascontiguousarray(PyObject* x) const;
  Ref asarray(PyObject* x) const;  // numpy.asarray(x, numpy.float64)

  // The one rule of every float input, arguments and callback results alike: the values are read
  // in their own dtype first, because a float64 conversion would silently cut complex ones to their
  // real parts. `array` is numpy.asarray(x), or its real parts when it has a complex dtype; then
  // `non_real` is the flat C-order index of its first entry whose imaginary part is not zero (0
  // when none is, or when it is empty): a complex dtype is refused, naming that entry.
  struct RealArray {
    Ref array;
    std::optional<std::size_t> non_real;
  };
  RealArray real(PyObject* x) const;
  // real(x) for the argument `name`: the array in its own dtype, a complex one refused with
  // ValueError "`name` must be real; name[i, j] is complex".
  Ref real_argument(std::string_view name, PyObject* x) const;
  // real(x) made C-contiguous float64, for callback results that name their own entries.
  RealArray ascontiguousarray_real(PyObject* x) const;
  // A new 1-D float64 array owning `values` (no copy), as vector_to_numpy.
  Ref array_owning(OwnedValues values) const;

 private:
  Ref numpy_, float64_;
};

template <>
struct FromPy<std::vector<double>> {
  static std::vector<double> convert(PyObject* object, std::string_view name) {
    return to_contiguous_f64_1d(name, object);
  }
};

template <>
struct FromPy<F64VectorView> {
  static F64VectorView convert(PyObject* object, std::string_view name) {
    return F64VectorView::convert(name, object);
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
