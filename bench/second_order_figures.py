"""The README's figures on second-order plans with and without torque limits, measured:
`.venv/bin/python bench/second_order_figures.py` (about three minutes).

On the README tour's 3-axis quintic path, its limits and its torque model (mass * ddq + gravity,
torque limits [20, 25, 10] / [-20, -5, -10]), and on five random 6-axis quintic paths with the
same kind of model, at 100 to 10,000 stations:
- how much faster topp2_ra is than qarn2_socp with a Time objective (best of three calls each);
- what exceed_topp2 returns on topp2_ra's profile (the largest excess of a first- and a
  second-order row, in the units of the row).
"""

import time

import numpy as np

import qarn_py as q

STATIONS = (100, 1000, 10000)


def tour():
    waypoints = np.array([[0.0, 0.0, 0.0], [0.6, -0.4, 0.9], [1.2, 0.3, 0.4], [0.8, 0.9, -0.2]])
    return (waypoints, np.array([2.0, 2.0, 3.0]), np.array([5.0, 5.0, 8.0]), np.array([3.0, 2.0, 1.0]),
            np.array([0.0, 9.81, 2.0]), np.array([20.0, 25.0, 10.0]), np.array([-20.0, -5.0, -10.0]))


def random_robot(seed):
    rng = np.random.default_rng(seed)
    mass, gravity = rng.uniform(1.0, 4.0, 6), rng.uniform(0.0, 10.0, 6)
    peak = mass * 8.0 + gravity  # the torque at the acceleration limit; limits at 60% of it bind
    return (rng.uniform(-1.0, 1.0, (5, 6)), np.full(6, 2.0), np.full(6, 8.0), mass, gravity, 0.6 * peak,
            -0.6 * peak)


def robot_of(case, n, torque):
    waypoints, v, acc, mass, gravity, upper, lower = case
    s = np.linspace(0.0, 1.0, n)
    robot = q.Robot(len(v), capacity=n)
    robot.append_s(s)
    robot.set_q_from_path_3rd(q.Path.from_waypoints(waypoints), 0, n)
    robot.add_velocity_limits(v, -v, start_idx_s=0)
    robot.add_acceleration_limits(acc, -acc, start_idx_s=0)
    if torque:
        robot.set_inverse_dynamics(lambda q_, dq, ddq: mass * ddq + gravity)
        robot.add_torque_limits(upper, lower, start_idx_s=0)
    return robot


def best(call, repeats=3):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    cases = [("tour", tour())] + [(f"random 6-axis path {seed}", random_robot(seed)) for seed in range(5)]
    for torque in (False, True):
        print(f"{'With' if torque else 'Without'} torque limits")
        for n in STATIONS:
            ratios, excess = [], []
            for _, case in cases:
                robot = robot_of(case, n, torque)
                problem = q.Topp2Problem(robot.constraints, (0, n - 1))
                ra = best(lambda: q.topp2_ra(problem))
                socp = best(lambda: q.qarn2_socp(q.Qarn2Problem(robot, [q.Time(1.0)], (0, n - 1))))
                ratios.append(socp / ra)
                excess.append(max(robot.constraints.exceed_topp2(q.topp2_ra(problem))))
            print(f"  {n:6d} stations: qarn2_socp / topp2_ra time {min(ratios):.0f}x-{max(ratios):.0f}x "
                  f"(tour {ratios[0]:.0f}x); largest exceed_topp2 {max(excess):.1e} (tour {excess[0]:.1e})")


if __name__ == "__main__":
    main()
