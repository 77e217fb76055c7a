// Conversions of per-station array arguments into column-per-station matrices, and the check of
// the values a raw constraint row may hold.
#include "ffi/python/station_input.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <span>
#include <string>

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

// The first value of `values` that a `part` of a raw row may not hold, with the rule it breaks.
struct RowValueFault {
  std::size_t at;
  std::string rule;
};

std::optional<RowValueFault> first_bad_row_value(std::span<const double> values, RowPart part) {
  // The infinity a bound may take is the one every value holds.
  constexpr double kInf = std::numeric_limits<double>::infinity();
  const double no_bound = part == RowPart::LowerBound ? -kInf : kInf;
  const auto bad = std::find_if(values.begin(), values.end(), [&](double v) {
    return part == RowPart::Coefficient ? !std::isfinite(v) : std::isnan(v) || v == -no_bound;
  });
  if (bad == values.end()) return std::nullopt;
  const auto infinity = [](double v) { return v > 0.0 ? "+inf" : "-inf"; };
  std::string rule = part == RowPart::Coefficient ? "must be finite"
                     : std::isnan(*bad)           ? "must not be NaN (an infinite bound leaves its row inactive)"
                                                  : fmt::format("must not be {}, which no value holds ({} leaves its "
                                                                "row inactive)",
                                                                infinity(*bad), infinity(no_bound));
  return RowValueFault{static_cast<std::size_t>(bad - values.begin()), std::move(rule)};
}

}  // namespace

StationColumns matrix_with_layout(std::string_view name, PyObject* object, MatrixLayout layout,
                                  std::optional<std::size_t> expected_rows) {
  return columns_in_layout(name, to_contiguous_f64_2d(name, object), layout, expected_rows);
}

void require_row_values(std::string_view name, const StationColumns& m, MatrixLayout layout, RowPart part) {
  const std::optional<RowValueFault> fault = first_bad_row_value(m.values, part);
  if (!fault) return;
  const std::size_t station = fault->at / m.rows, component = fault->at % m.rows;
  const bool sample_major = layout == MatrixLayout::SampleMajor;
  throw Error::value(fmt::format("`{}` {}; {}[{}, {}] = {}", name, fault->rule, name,
                                 sample_major ? station : component, sample_major ? component : station,
                                 m.values[fault->at]));
}

void require_upper_bounds(std::string_view name, std::span<const double> values) {
  const std::optional<RowValueFault> fault = first_bad_row_value(values, RowPart::UpperBound);
  if (!fault) return;
  throw Error::value(fmt::format("`{}` {}; {}[{}] = {}", name, fault->rule, name, fault->at, values[fault->at]));
}

// The object is converted once; the vector form is taken when the result is one-dimensional.
LimitInput LimitInput::read(std::string_view name, PyObject* object, std::size_t dim,
                            std::optional<std::size_t> length, MatrixLayout layout) {
  const Error not_an_array =
      Error::value(fmt::format("`{}` must be convertible to a one- or two-dimensional float64 array", name));
  Ref array;
  LimitInput out;
  out.length_ = length;
  try {
    array = ascontiguousarray_f64(name, object);
    out.vector_ = read_f64_vector(name, array.get(), not_an_array);
  } catch (const ComplexRefused&) {
    throw;
  } catch (const Error&) {
    throw not_an_array;
  }
  if (out.vector_) {
    if (out.vector_->size() != dim) {
      throw Error::value(fmt::format("`{}` must have length {}; got {}", name, dim, out.vector_->size()));
    }
    return out;
  }
  try {
    out.matrix_ = columns_in_layout(name, read_f64_matrix(name, array.get()), layout, dim);
  } catch (const Error&) {
    throw not_an_array;
  }
  if (length && *length != out.matrix_.cols) {
    throw Error::value(
        fmt::format("`length` is {}, but `{}` contains {} station samples", *length, name, out.matrix_.cols));
  }
  return out;
}

std::size_t LimitInput::stations(std::size_t default_count) const {
  return vector_ ? length_.value_or(default_count) : matrix_.cols;
}

StationColumns LimitInput::columns(std::size_t default_count) && {
  if (!vector_) return std::move(matrix_);
  const std::size_t dim = vector_->size();
  const std::size_t count = stations(default_count);
  if (count != 0 && dim > kMaxValues / count) throw std::bad_alloc();  // raised as MemoryError
  StationColumns out{dim, count, {}};
  out.values.reserve(dim * count);
  for (std::size_t j = 0; j < count; ++j) out.values.insert(out.values.end(), vector_->begin(), vector_->end());
  return out;
}

}  // namespace qarn::py
