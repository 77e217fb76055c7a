// One row of the two-variable linear program, a*x + b*y <= c. The station store produces these
// rows per interval and the reachability passes feed them to the LP solver, so the type sits
// apart from both.
#pragma once

namespace qarn {

struct Lp2dRow {
  double a;
  double b;
  double c;
};

}  // namespace qarn
