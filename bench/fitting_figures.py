"""Hand-run measurements of what the tolerance fit (Path.from_waypoints_fitting) does on the waypoints
users give it; the README's figures on fitted paths come from this script. Never part of the test suite.

Run:    make build && .venv/bin/python bench/fitting_figures.py        (about 10 seconds)

1. Dense waypoints of a smooth curve: the spans the fit takes, against the fewest uniform spans of a
   least-squares quintic (SciPy) that stay within half the tolerance of the polyline.
2. Dense noisy waypoints: spans against the tolerance in multiples of the noise.
3. Sparse waypoints at tight tolerances (50 waypoints of a helix): the fit follows the polyline's
   corners, so its |ddq| peaks and the time-optimal traversal takes longer than on the exact helix.
4. Sparse pick-and-place waypoints: the corners become narrow peaks of |ddq|; stations that miss them
   keep the limits at the stations (clean audit) and exceed them between the stations.
"""

import sys
from pathlib import Path

import numpy as np
from scipy.interpolate import make_lsq_spline

import qarn_py as q

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))
from joint_motion import joint_motion  # noqa: E402

TOLERANCE = 1e-3  # the default


def smooth_curve(u):
    return np.c_[np.sin(3 * u), np.cos(2 * u) - 1, 0.5 * u**2]


def polyline(u, w, s):
    return np.column_stack([np.interp(s, u, w[:, j]) for j in range(w.shape[1])])


def fewest_lsq_spans(u, w, tolerance):
    fine = np.linspace(u[0], u[-1], 20001)
    for spans in range(1, 200):
        knots = np.r_[np.full(6, u[0]), np.linspace(u[0], u[-1], spans + 1)[1:-1], np.full(6, u[-1])]
        if np.abs(make_lsq_spline(u, w, knots, k=5)(fine) - polyline(u, w, fine)).max() <= tolerance:
            return spans
    return None


def fit_or_error(w, **keywords):
    try:
        return q.Path.from_waypoints_fitting(w, **keywords)
    except q.PathError as error:
        return str(error).split("path smoothing failed: ")[-1]


def dense_waypoints():
    print("1. Dense waypoints of a smooth 3-axis curve, tolerance 1e-3")
    for n in (100, 1000, 10000):
        u = np.linspace(0.0, 1.0, n)
        w = smooth_curve(u)
        report = q.Path.from_waypoints_fitting(w, tolerance=TOLERANCE).smoothing_report
        print(f"   {n:6d} waypoints: {report.segments:4d} spans, {report.refinements} refinements, largest error "
              f"{max(report.max_errors) / TOLERANCE:.2f} x tolerance; a least-squares quintic needs "
              f"{fewest_lsq_spans(u, w, TOLERANCE / 2)} uniform spans for half the tolerance")


def noisy_waypoints():
    sigma = 1e-3
    ratios = (1, 2, 4, 6, 8, 10)
    print(f"2. Dense waypoints of the same curve plus Gaussian noise (standard deviation sigma): spans at a "
          f"tolerance of {', '.join(str(r) for r in ratios)} sigma")
    for n in (1000, 10000, 100000):
        u = np.linspace(0.0, 1.0, n)
        w = smooth_curve(u) + np.random.default_rng(0).normal(0.0, sigma, (n, 3))
        spans = [fit_or_error(w, tolerance=r * sigma, max_segments=10**8).smoothing_report.segments for r in ratios]
        default = fit_or_error(w, tolerance=2 * sigma)
        outcome = "fits" if isinstance(default, q.Path) else f"fails: {default}"
        print(f"   {n:6d} waypoints: {spans}; at 2 sigma with the default max_segments it {outcome}")


class Helix:
    """q(s) = (cos s, sin s, 0.2 s): |ddq| = 1 everywhere."""

    dim = 3

    def evaluate_up_to_3rd(self, s):
        s = np.asarray(s, float)
        c, n, z = np.cos(s), np.sin(s), np.zeros_like(s)
        return np.c_[c, n, 0.2 * s], np.c_[-n, c, 0.2 + z], np.c_[-c, -n, z], np.c_[n, -c, z]


def time_optimal(path, s, v_max, a_max):
    """topp2_ra's profile and duration on stations s within |dq/dt| <= v_max, |d2q/dt2| <= a_max."""
    robot = q.Robot(path.dim, capacity=len(s))
    robot.append_s(s)
    robot.set_q_from_path_2nd(path, 0, len(s))
    robot.add_velocity_limits(np.full(path.dim, v_max), np.full(path.dim, -v_max), start_idx_s=0)
    robot.add_acceleration_limits(np.full(path.dim, a_max), np.full(path.dim, -a_max), start_idx_s=0)
    a = q.topp2_ra(q.Topp2Problem(robot.constraints, (0, len(s) - 1)))
    return a, q.s_to_t_topp2(s, a)[0], max(robot.constraints.exceed_topp2(a))


def acceleration_between_stations(path, s, a, per_interval=50):
    """Largest |d2q/dt2| of the timed motion, sampled between the stations."""
    x = np.linspace(0.0, 1.0, per_interval, endpoint=False)
    fine = (s[:-1, None] + x * np.diff(s)[:, None]).ravel()
    return np.abs(joint_motion(path, s, a, fine)[2]).max()


def sparse_helix():
    s_max = 4 * np.pi
    waypoint_s = np.linspace(0.0, s_max, 50)
    w = Helix().evaluate_up_to_3rd(waypoint_s)[0]
    exact = q.Path.from_evaluator_3rd(Helix(), 0.0, s_max)
    stations = (1000, 10000, 100000)
    durations = {n: time_optimal(exact, np.linspace(0.0, s_max, n), 1.0, 1.0)[1] for n in stations}
    fine = np.linspace(0.0, s_max, 400001)
    chords = np.abs(polyline(waypoint_s, w, fine) - exact.evaluate_q(fine).q).max()
    print(f"3. 50 waypoints of a helix (|ddq| = 1), whose polyline passes up to {chords:.1e} from it; limits 1 on "
          f"|dq/dt| and |d2q/dt2|; the exact helix takes {durations[100000]:.3f} s")
    for tolerance in (1e-2, 1e-3, 1e-4):
        path = q.Path.from_waypoints_fitting(w, tolerance=tolerance, parameters=waypoint_s)
        peak = np.abs(path.evaluate_up_to_2nd(fine).ddq).max()
        print(f"   tolerance {tolerance:g}: {path.smoothing_report.segments} spans, max |ddq| {peak:.0f}")
        for n in stations:
            s = np.linspace(0.0, s_max, n)
            a, duration, _ = time_optimal(path, s, 1.0, 1.0)
            print(f"      {n:7,} stations: {duration / durations[n] - 1:4.0%} longer than on the exact helix, |d2q/dt2| "
                  f"between stations up to {acceleration_between_stations(path, s, a):,.2f} x the limit")
    interpolated = q.Path.from_waypoints(w, s_min=0.0, s_max=s_max)
    print(f"   the interpolating quintic through the same waypoints: max |ddq| "
          f"{np.abs(interpolated.evaluate_up_to_2nd(fine).ddq).max():.0f} (where it comes to rest at the ends), "
          f"{time_optimal(interpolated, np.linspace(0.0, s_max, 100000), 1.0, 1.0)[1] / durations[100000] - 1:.0%} longer "
          "at 100,000 stations")


def pick_and_place():
    w = np.array([[0.0, 0.0, 0.0], [0.0, 0.0, 0.3], [0.5, 0.2, 0.3], [0.5, 0.2, 0.0], [0.5, 0.2, 0.3],
                  [1.0, -0.3, 0.3], [1.0, -0.3, 0.0]])
    path = q.Path.from_waypoints_fitting(w)
    fine = np.linspace(0.0, 1.0, 2_000_001)
    ddq = np.abs(path.evaluate_up_to_2nd(fine).ddq).max(axis=1)
    peak = ddq.max()
    # The width of the peaks: where |ddq| exceeds a tenth of the peak, around one corner.
    corner = np.argmax(ddq)
    above = ddq > 0.1 * peak
    lo = corner - np.argmin(above[corner::-1])
    hi = corner + np.argmin(above[corner:])
    print(f"4. {len(w)} pick-and-place waypoints, default tolerance: {path.smoothing_report.segments} spans; max |ddq| "
          f"{peak:.0f}, above a tenth of it over {fine[hi] - fine[lo]:.1e} of s at a corner; limits 1 on |dq/dt|, "
          "2 on |d2q/dt2|")
    for n in (1000, 10000, 100000):
        s = np.linspace(0.0, 1.0, n)
        a, duration, audit = time_optimal(path, s, 1.0, 2.0)
        excess = acceleration_between_stations(path, s, a) / 2.0
        print(f"   {n:6,} stations: audit {max(audit, 0.0):.0e}, |d2q/dt2| between stations up to {excess:,.2f} x the "
              f"limit, duration {duration:.3f} s")
    # 100 more stations within 1e-3 of each corner (the fit's corners sit at the waypoints' parameters).
    corners = np.linspace(0.0, 1.0, len(w))[1:-1]
    s = np.unique(np.r_[np.linspace(0.0, 1.0, 1000), (corners[:, None] + np.linspace(-1e-3, 1e-3, 100)).ravel()])
    a, duration, audit = time_optimal(path, s, 1.0, 2.0)
    print(f"   {len(s):6,} stations, 1,000 uniform and 100 within 1e-3 of each corner: |d2q/dt2| between stations up to "
          f"{acceleration_between_stations(path, s, a) / 2.0:,.3f} x the limit, duration {duration:.3f} s")


if __name__ == "__main__":
    dense_waypoints()
    noisy_waypoints()
    sparse_helix()
    pick_and_place()
