// Third-order t -> s: s(t) at ascending query times, with one cursor over the stations. Every
// free interval is evaluated in a closed form that does not cancel there, in units rescaled to
// the interval, and kept inside the interval; the samples of one call never run backwards.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <variant>

#include "qarn/qarn3/exact_interval.hpp"
#include "qarn/qarn3/interpolation.hpp"

namespace qarn::qarn3 {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// sinh(r)/r (sin for z < 0) and 2 beta u (sinh(r/2)/r)^2 with r = sqrt|z|: the displacement
// factors of s''' = kappa s' over a time u with z = kappa u^2.
double s_factor(double z) {
  if (std::fabs(z) < 1e-3) {
    return std::fma(std::fma(std::fma(0.0001984126984126984, z, 0.008333333333333333), z, 0.16666666666666666), z, 1.0);
  }
  const double r = std::sqrt(std::fabs(z));
  return (z > 0 ? std::sinh(r) : std::sin(r)) / r;
}

double g_term(double beta, double u, double z) {
  if (std::fabs(z) < 1e-3) {
    const double series =
        std::fma(std::fma(std::fma(4.96031746031746e-5, z, 0.002777777777777778), z, 0.08333333333333333), z, 1.0);
    return 0.5 * beta * u * series;
  }
  const double r = std::sqrt(std::fabs(z));
  const double half = (z > 0 ? std::sinh(r / 2) : std::sin(r / 2)) / r;
  return 2 * beta * u * half * half;
}

// Interval data between 2^-200 and 2^200 in magnitude (or zero) keep every intermediate of the
// closed forms, and the exact discriminant, within the range of doubles; beyond, the interval is
// rescaled first.
bool moderate(double v) {
  const double m = std::fabs(v);
  return m == 0 || (m >= 0x1p-200 && m <= 0x1p200);
}

// The exponent of a power of two near v, limited so that 2^e and 2^-e are both normal doubles.
int scale_exponent(double v) { return std::clamp(std::ilogb(v), -1022, 1022); }

double scaled(double v, int e) { return e == 0 ? v : std::ldexp(v, e); }

// One free interval: stations s0 < s1 reached at t0 < t1, with a and b at both nodes.
struct FreeInterval {
  double s0, s1, t0, t1;
  double a0, b0, a1, b1;
};

// s(t) on a free interval of the motion whose b is linear in s (s''' = kappa s'), in the model the
// time integration used: seen from the node it integrated from (the near node), with a = A and
// b = B0 there and b = B1 at the far node, where the model's a(h) stands for the profile's own
// value, so that s stays consistent with the arrival times. Lengths and times are counted in
// powers of two near the interval's length and duration: an exact rescaling that keeps every
// intermediate in range at any magnitude.
//
// From the near node the distance is x = tau (sqrt(A) S(z) + G(B0, tau, z)), and from the far node
// h - x = sigma (sqrt(a(h)) S(z) - G(B1, sigma, z)). A form adds two terms of one sign, and is
// accurate, when the motion speeds up away from its node (B0 >= 0, B1 <= 0) or close to the node
// (|b| u <= sqrt(a), |z| <= 1); each query takes the form of the node it is closer to in time
// when that one is accurate. With a minimum of a inside (B0 < 0 < B1) both cancel in the middle
// where a dips far below its node values, since their terms grow like sinh while s barely moves.
// There the speed is alpha e^(r tau) + beta e^(-r tau) with r = sqrt(kappa), two positive
// exponentials integrated apart, and alpha = Q / (4 beta (B1 - B0)) comes from the exact
// Q = h (A kappa - B0^2), so that it keeps its digits however deep the dip.
class FreeIntervalMotion {
 public:
  FreeIntervalMotion() = default;

  FreeIntervalMotion(const FreeInterval& iv, bool from_end)
      : s0_(iv.s0), s1_(iv.s1), t0_(iv.t0), t1_(iv.t1), s_near_(from_end ? iv.s1 : iv.s0),
        s_far_(from_end ? iv.s0 : iv.s1), t_near_(from_end ? iv.t1 : iv.t0), t_far_(from_end ? iv.t0 : iv.t1) {
    const double h = iv.s1 - iv.s0;
    const double A = from_end ? iv.a1 : iv.a0;
    const double b_near = from_end ? -iv.b1 : iv.b0;
    const double b_far = from_end ? -iv.b0 : iv.b1;
    int eh = 0;
    int et = 0;
    if (!(moderate(h) && moderate(iv.t1 - iv.t0) && moderate(A) && moderate(b_near) && moderate(b_far))) {
      eh = scale_exponent(h);
      et = scale_exponent(iv.t1 - iv.t0);
    }
    length_unit_ = scaled(from_end ? -1.0 : 1.0, eh);
    per_time_unit_ = scaled(from_end ? -1.0 : 1.0, -et);
    const double hs = scaled(h, -eh);
    const double As = scaled(A, 2 * (et - eh));
    b0_ = scaled(b_near, 2 * et - eh);
    b1_ = scaled(b_far, 2 * et - eh);
    kappa_ = (b1_ - b0_) / hs;
    root_near_ = std::sqrt(As);
    // a(h) = A + h B0 + h B1, correctly rounded where the rounded sum cancels.
    const double D1 = std::fma(hs, b0_, As);
    double D2 = std::fma(hs, b1_, D1);
    if (!(std::fabs(D2) >= 0.25 * std::fabs(D1))) D2 = exact_mul_add_pair(hs, As, b0_, b1_).to_double();
    root_far_ = std::sqrt(std::fmax(D2, 0.0));

    if (b0_ < 0 && b1_ > 0) {
      const double Q = exact_three_product_form(hs, As, b0_, b1_).to_double();
      r_ = std::sqrt(kappa_);
      beta_ = 0.5 * (root_near_ - b0_ / r_);
      alpha_ = Q / (4 * beta_ * (b1_ - b0_));
      // Q <= 0: a reaches zero inside and no motion gets across; the node forms stand for it.
      exponential_ = alpha_ > 0 && alpha_ < kInf && beta_ < kInf && r_ < kInf;
    }
  }

  double at(double t) const {
    if (t >= t1_) return s1_;
    if (t <= t0_) return s0_;
    const double tau = (t - t_near_) * per_time_unit_;
    const double sigma = (t_far_ - t) * per_time_unit_;
    if (tau <= sigma ? fits(tau, b0_, root_near_) || !(fits(sigma, -b1_, root_far_) || exponential_)
                     : !fits(sigma, -b1_, root_far_) && (fits(tau, b0_, root_near_) || !exponential_)) {
      const double z = kappa_ * tau * tau;
      return inside(s_near_ + tau * std::fma(root_near_, s_factor(z), g_term(b0_, tau, z)) * length_unit_);
    }
    if (fits(sigma, -b1_, root_far_) || !exponential_) {
      const double z = kappa_ * sigma * sigma;
      return inside(s_far_ - sigma * std::fma(root_far_, s_factor(z), -g_term(b1_, sigma, z)) * length_unit_);
    }
    const double x = r_ * tau;
    // Past e^709 the growing term alone is the distance, taken through its logarithm.
    const double grow = x < 709 ? alpha_ * std::expm1(x) : std::exp(std::log(alpha_) + x);
    return inside(s_near_ + (grow - beta_ * std::expm1(-x)) / r_ * length_unit_);
  }

 private:
  // Whether the form from a node with the speed `root` and the b `push` (positive: speeding up away
  // from the node) adds terms of one sign, or nearly, after the time u.
  bool fits(double u, double push, double root) const {
    return push >= 0 || (-push * u <= root && std::fabs(kappa_ * u * u) <= 1);
  }

  // Rounding, or times that do not fit the profile, must not carry s out of the interval; a NaN
  // (data far outside any motion) gives the start.
  double inside(double s) const { return within(s, s0_, s1_); }

  double s0_ = 0, s1_ = 0, t0_ = 0, t1_ = 0;
  double s_near_ = 0, s_far_ = 0, t_near_ = 0, t_far_ = 0;
  double length_unit_ = 1, per_time_unit_ = 1;  // negative when the near node is the end
  double kappa_ = 0, b0_ = 0, b1_ = 0, root_near_ = 0, root_far_ = 0;
  double alpha_ = 0, beta_ = 0, r_ = 0;  // of the exponential form
  bool exponential_ = false;
};

// A stationary segment next to a rest end: a = a_j x^(4/3) reaches the junction j, at the signed
// distance d from the edge station, T = 3 |d| / sqrt(a_j) after the rest (the time s_to_t_topp3
// gives it), and s = s_edge + d (|t - t_edge| / T)^3; or the shape of a constant-jerk phase that
// ends inside the segment (RestWindowShape), whose crossing takes time_factor |d| / sqrt(a_j). The
// fraction of T stays in range where the coefficient a_j sqrt(a_j) / (27 d^2) of the cube and the
// cube of the time would not.
class StationarySegment {
 public:
  StationarySegment() = default;
  StationarySegment(double s_edge, double t_edge, double s_junction, double a_junction, double b_junction)
      : s_edge_(s_edge), t_edge_(t_edge), d_(s_junction - s_edge),
        shape_(RestWindowShape::of_junction(a_junction, b_junction, d_)),
        duration_(shape_.time_factor() * (std::fabs(d_) / std::sqrt(a_junction))),
        lo_(std::fmin(s_edge, s_junction)), hi_(std::fmax(s_edge, s_junction)) {}

  double at(double t) const {
    const double f = within(std::fabs(t - t_edge_) / duration_, 0.0, 1.0);
    const double x = shape_.share == 1.0 ? f * f * f : shape_.x_at_time(f * shape_.time_factor());
    return within(s_edge_ + d_ * x, lo_, hi_);
  }

 private:
  double s_edge_ = 0, t_edge_ = 0, d_ = 0;
  RestWindowShape shape_;
  double duration_ = kInf, lo_ = 0, hi_ = 0;
};

// Evaluates s(t) for ascending query times with a cursor over the free intervals; a value
// below the one before it (both within rounding of the motion) repeats the one before.
class Topp3Sampler {
 public:
  Topp3Sampler(std::span<const double> s, const Topp3Profile& p, std::span<const double> t_s)
      : s_(s), a_(p.a), b_(p.b), t_s_(t_s), k0_(p.num_stationary.first), k1_(p.num_stationary.second),
        n_(s.size()), last_free_(n_ - 2 - k1_), k_(k0_) {
    if (k0_ > 0) start_ = StationarySegment(s_[0], t_s_[0], s_[k0_], a_[k0_], b_[k0_]);
    if (k1_ > 0) {
      end_ = StationarySegment(s_[n_ - 1], t_s_[n_ - 1], s_[n_ - 1 - k1_], a_[n_ - 1 - k1_], b_[n_ - 1 - k1_]);
    }
  }

  double at(double t) {
    if (!(t >= t_s_[0]) || past_end_) return kNaN;
    const double v = on_profile(t);
    if (std::isnan(v)) return v;
    if (v > latest_) latest_ = v;
    return latest_;
  }

 private:
  double on_profile(double t) {
    if (k0_ > 0 && t <= t_s_[k0_]) return start_.at(t);
    while (k_ < last_free_ && !(t <= t_s_[k_ + 1])) ++k_;
    if (t <= t_s_[k_ + 1]) return motion(k_).at(t);
    if (k1_ > 0 && t <= t_s_[n_ - 1]) return end_.at(t);
    past_end_ = true;
    return kNaN;
  }

  // The motion of free interval k, built when the first query reaches it. Seen from the end node
  // where the time integration is: the start has speed and the end is at rest, or the interval is
  // the last one.
  const FreeIntervalMotion& motion(std::size_t k) {
    if (motion_k_ != k) {
      const bool from_end = a_[k] > 0 && (a_[k + 1] == 0 || k == last_free_);
      motion_ = FreeIntervalMotion({s_[k], s_[k + 1], t_s_[k], t_s_[k + 1], a_[k], b_[k], a_[k + 1], b_[k + 1]},
                                   from_end);
      motion_k_ = k;
    }
    return motion_;
  }

  std::span<const double> s_, a_, b_, t_s_;
  std::size_t k0_, k1_, n_, last_free_, k_;
  StationarySegment start_, end_;
  FreeIntervalMotion motion_;
  std::size_t motion_k_ = std::numeric_limits<std::size_t>::max();
  double latest_ = -kInf;
  bool past_end_ = false;
};

}  // namespace

Result<std::vector<double>> t_to_s_topp3(std::span<const double> s, const Topp3Profile& profile,
                                         std::span<const double> t_s, const TimeSampling& mode) {
  constexpr std::string_view kName = "t_to_s_topp3";
  QARN_TRY(validate_topp3_profile(kName, s, profile.a, profile.b, profile.num_stationary.first,
                                  profile.num_stationary.second));
  QARN_TRY(check_station_times(kName, t_s, s.size()));
  if (const auto* samples = std::get_if<SampleTimes>(&mode)) {
    QARN_TRY(check_sample_times(kName, samples->t_sample));
    return sample_s_at_times_topp3(s, profile, t_s, samples->t_sample);
  }
  const UniformTimes& grid = std::get<UniformTimes>(mode);
  auto count = uniform_sample_count(kName, grid, t_s.back());
  if (!count) return std::move(count).error();
  std::vector<double> out = sample_s_uniform_topp3(s, profile, t_s, grid.t0, grid.dt, *count);
  append_final_station(out, grid, s.back(), t_s.back());
  return out;
}

std::vector<double> sample_s_uniform_topp3(std::span<const double> s, const Topp3Profile& profile,
                                           std::span<const double> t_s, double t0, double dt, std::size_t count) {
  std::vector<double> out;
  out.reserve(count + 1);
  Topp3Sampler sampler(s, profile, t_s);
  // Each time from its integer index, so that rounding does not accumulate along the grid.
  for (std::size_t i = 0; i < count; ++i) out.push_back(sampler.at(t0 + dt * static_cast<double>(i)));
  return out;
}

std::vector<double> sample_s_at_times_topp3(std::span<const double> s, const Topp3Profile& profile,
                                            std::span<const double> t_s, std::span<const double> t_sample) {
  std::vector<double> out;
  out.reserve(t_sample.size() + 1);
  Topp3Sampler sampler(s, profile, t_s);
  for (const double t : t_sample) out.push_back(sampler.at(t));
  return out;
}

}  // namespace qarn::qarn3
