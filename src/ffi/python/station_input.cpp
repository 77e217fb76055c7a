// Conversions of per-station array arguments into column-per-station matrices.
#include "ffi/python/station_input.hpp"

#include <limits>
#include <new>

namespace qarn::py {
namespace {

// More values than a vector can ever hold: a repeated limit this large cannot be allocated.
constexpr std::size_t kMaxValues = std::numeric_limits<std::ptrdiff_t>::max() / sizeof(double);

// A converted matrix read in `layout`, its component count checked against `expected_rows`.
StationColumns columns_in_layout(std::string_view name, Matrix input, MatrixLayout layout,
                                 std::optional<std::size_t> expected_rows) {
  StationColumns out;
  if (layout == MatrixLayout::SampleMajor) {
    // Row j of the row-major input is station j: already the column-after-column order.
    out = {input.cols, input.rows, std::move(input.values)};
  } else {
    out = {input.rows, input.cols, std::vector<double>(input.values.size())};
    for (std::size_t i = 0; i < input.rows; ++i) {
      for (std::size_t j = 0; j < input.cols; ++j) out.values[j * out.rows + i] = input.values[i * input.cols + j];
    }
  }
  if (expected_rows && out.rows != *expected_rows) {
    throw Error::value(
        fmt::format("`{}` has {} rows after layout conversion; expected {}", name, out.rows, *expected_rows));
  }
  return out;
}

}  // namespace

StationColumns matrix_with_layout(std::string_view name, PyObject* object, MatrixLayout layout,
                                  std::optional<std::size_t> expected_rows) {
  return columns_in_layout(name, to_contiguous_f64_2d(name, object), layout, expected_rows);
}

// The object is converted once; the vector form is taken when the result is one-dimensional.
StationColumns limit_with_layout(std::string_view name, PyObject* object, std::size_t dim, std::size_t default_count,
                                 std::optional<std::size_t> length, MatrixLayout layout) {
  const Error not_an_array =
      Error::value(fmt::format("`{}` must be convertible to a one- or two-dimensional float64 array", name));
  Ref array;
  std::optional<std::vector<double>> vector;
  try {
    array = ascontiguousarray_f64(object, name);
    vector = read_f64_vector(array.get(), not_an_array);
  } catch (const Error&) {
    throw not_an_array;
  }
  if (vector) {
    if (vector->size() != dim) {
      throw Error::value(fmt::format("`{}` must have length {}; got {}", name, dim, vector->size()));
    }
    const std::size_t count = length.value_or(default_count);
    if (count != 0 && dim > kMaxValues / count) throw std::bad_alloc();  // raised as MemoryError
    StationColumns out{dim, count, {}};
    out.values.reserve(dim * count);
    for (std::size_t j = 0; j < count; ++j) out.values.insert(out.values.end(), vector->begin(), vector->end());
    return out;
  }
  StationColumns matrix;
  try {
    matrix = columns_in_layout(name, read_f64_matrix(name, array.get()), layout, dim);
  } catch (const Error&) {
    throw not_an_array;
  }
  if (length && *length != matrix.cols) {
    throw Error::value(fmt::format("`length` is {}, but `{}` contains {} station samples", *length, name, matrix.cols));
  }
  return matrix;
}

}  // namespace qarn::py
