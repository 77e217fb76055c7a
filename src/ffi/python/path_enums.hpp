// The enum classes of paths: MatrixLayout (orientation of matrices passed in and out),
// OutOfRangeMode and Parametrization (mirrors of the path core's own enums).
#pragma once

#include "ffi/python/enum_class.hpp"
#include "path/query_range.hpp"
#include "path/spline.hpp"

namespace qarn::py {

// Rows are samples (SampleMajor) or dimensions (DimMajor) of the matrices exchanged with Python.
enum class MatrixLayout : std::uint8_t { SampleMajor = 0, DimMajor = 1 };

struct MatrixLayoutEnum {
  using Value = MatrixLayout;
  static constexpr const char* name = "MatrixLayout";
  static constexpr const char* doc = "Matrix layout contract used by Python path inputs and outputs.";
  static constexpr std::array<EnumMember, 2> members{{{"SAMPLE_MAJOR", "SampleMajor"}, {"DIM_MAJOR", "DimMajor"}}};
  static constexpr std::array<EnumSpelling, 4> spellings{
      {{"sample_major", 0}, {"samplemajor", 0}, {"dim_major", 1}, {"dimmajor", 1}}};
  static constexpr const char* not_a_value = "`layout` must be a MatrixLayout value or a string";
  static constexpr const char* no_match =
      "`layout` must be MatrixLayout.SAMPLE_MAJOR, MatrixLayout.DIM_MAJOR, \"sample_major\", or \"dim_major\"";
};

struct OutOfRangeModeEnum {
  using Value = path::OutOfRangeMode;
  static constexpr const char* name = "OutOfRangeMode";
  static constexpr const char* doc = "Mirror of the core out-of-range mode: what a path does with a query "
                                     "outside its parameter range.";
  static constexpr std::array<EnumMember, 2> members{{{"ERROR", "Error"}, {"CLAMP", "Clamp"}}};
  static constexpr std::array<EnumSpelling, 2> spellings{{{"error", 0}, {"clamp", 1}}};
  static constexpr const char* not_a_value = "`out_of_range` must be an OutOfRangeMode value or a string";
  static constexpr const char* no_match =
      "`out_of_range` must be OutOfRangeMode.ERROR, OutOfRangeMode.CLAMP, \"error\", or \"clamp\"";
};

struct ParametrizationEnum {
  using Value = path::Parametrization;
  static constexpr const char* name = "Parametrization";
  static constexpr const char* doc = "Mirror of the core waypoint parametrization: how waypoints are placed "
                                     "along the path parameter.";
  static constexpr std::array<EnumMember, 1> members{{{"UNIFORM", "Uniform"}}};
  static constexpr std::array<EnumSpelling, 1> spellings{{{"uniform", 0}}};
  static constexpr const char* not_a_value = "`parametrization` must be a Parametrization value or a string";
  static constexpr const char* no_match = "`parametrization` must be Parametrization.UNIFORM or \"uniform\"";
};

using PyMatrixLayout = Enum<MatrixLayoutEnum>;
using PyOutOfRangeMode = Enum<OutOfRangeModeEnum>;
using PyParametrization = Enum<ParametrizationEnum>;

}  // namespace qarn::py
