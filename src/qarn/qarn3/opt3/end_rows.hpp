// The boundary values of a third-order window against the limit rows of its end stations. a and b
// are fixed there, so every first- and second-order row of an end station is a plain number that
// holds or not, and so is a jerk row without a db/ds term; the jerk rows with one leave db/ds an
// interval, which must not be empty. An end value that breaks one of them is refused before the
// solve, with the row that it breaks; whatever else the ends need (the next station's values) is
// left to the program, which holds every row of the end stations.
#pragma once

#include <string_view>

#include "diag/result.hpp"
#include "qarn/qarn3/formulation.hpp"

namespace qarn::qarn3 {

// Infeasible from `component` for the first row an end value breaks, the start before the end:
// the first-order bound by reachability analysis' own rule (qarn2::end_state_excess), then a
// second-order row or a jerk row (the true rows, not their linearization) by more than 1e-8 of the
// row's size.
Status check_end_rows3(std::string_view component, const Topp3Problem& problem);

}  // namespace qarn::qarn3
