// `ClarabelOptions`: the options object of every conic solver function (diagnostic level, the
// statuses accepted besides Solved, and a private copy of the settings), and its extraction into
// the record the solver cores read.
#pragma once

#include <optional>

#include "ffi/python/class_def.hpp"
#include "ffi/python/solver/clarabel_settings.hpp"
#include "qarn/conic/options.hpp"

namespace qarn::py {

struct PyClarabelOptions {
  Verbosity verbosity = Verbosity::Silent;
  bool allow_almost_solved = true;
  bool allow_max_iterations = false;
  bool allow_max_time = false;
  bool allow_callback_terminated = false;
  bool allow_insufficient_progress = false;
  PyClarabelSettings settings = default_clarabel_settings();
};

void define(ClassDef<PyClarabelOptions>& c);

// The solver-side record of a call's `options` argument (none: the defaults). It owns its data,
// so the solve may run without the interpreter lock while the object changes or goes away; the
// borrow of the object ends here.
ClarabelOptions extract_clarabel_options(std::optional<Shared<PyClarabelOptions>> options);

}  // namespace qarn::py
