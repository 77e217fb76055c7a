// Reference magnitudes of a problem's profile, read from its own stored limits, so that solvers can
// work in units where a and b are near one and compare values relative to the problem's scale.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "qarn/constraints.hpp"

namespace qarn {

// Typical magnitudes of a and b over a window.
struct ProfileScale {
  double a = 1.0;
  double b = 1.0;
};

// References for a = (ds/dt)^2 and b = dds/dt over the stations [idx_s_start, idx_s_start + count):
// per station, the smallest of its finite first-order bound amax and |acc_max / acc_a| over its
// second-order rows gives an a scale; the reference for a is their median (at most 64 evenly spread
// stations are read), the one for b that of a over the window's length in s. Without an a scale
// both are 1. They follow the exact symmetries of the problem: limits of time order j times k^j
// give references times k^2, path and limits times c leave them unchanged.
ProfileScale profile_scale(const Constraints& store, std::uint64_t idx_s_start, std::size_t count);

// The a scale of every station of the window, read as above, for solvers whose a varies over many
// orders along the path (limits of mixed scale): one reference for all would leave the stations of
// small a to the solver's tolerance at the large ones. Near a rest end the path's derivatives vanish
// and the limits bound a only loosely, so each scale is held within 16 times its neighbours' (in
// both directions); `fallback` where no station of the window bounds a.
std::vector<double> station_a_scales(const Constraints& store, std::uint64_t idx_s_start, std::size_t count,
                                     double fallback);

}  // namespace qarn
