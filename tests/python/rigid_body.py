"""A six-axis rigid-body model (a UR5-like chain: standard DH table, link masses, centres of mass and
inertias) by recursive Newton-Euler in world coordinates: tau = M(q) ddq + c(q, dq) + g(q)."""

import numpy as np

DH = [(0.089159, 0.0, np.pi / 2), (0.0, -0.425, 0.0), (0.0, -0.39225, 0.0), (0.10915, 0.0, np.pi / 2),
      (0.09465, 0.0, -np.pi / 2), (0.0823, 0.0, 0.0)]  # d, a, alpha
MASS = [3.7, 8.393, 2.275, 1.219, 1.219, 0.1879]
COM = np.array([[0, -0.02561, 0.00193], [0.2125, 0, 0.11336], [0.15, 0, 0.0265], [0, -0.0018, 0.01634],
                [0, 0.0018, 0.01634], [0, 0, -0.001159]])
INERTIA = np.array([[0.0067, 0.0064, 0.0067], [0.0149, 0.3564, 0.3553], [0.0025, 0.0551, 0.0546],
                    [0.0012, 0.0012, 0.0009], [0.0012, 0.0012, 0.0009], [0.0001, 0.0001, 0.0001]])


def torque(q, dq, ddq, gravity=9.81):
    rot, origin = np.eye(3), np.zeros(3)
    w, dw, acc = np.zeros(3), np.zeros(3), np.array([0.0, 0.0, gravity])  # gravity as a base acceleration
    links = []
    for i, (d, a, alpha) in enumerate(DH):
        z, (ct, st), (ca, sa) = rot[:, 2], (np.cos(q[i]), np.sin(q[i])), (np.cos(alpha), np.sin(alpha))
        nxt = origin + rot @ [a * ct, a * st, d]
        rot = rot @ [[ct, -st * ca, st * sa], [st, ct * ca, -ct * sa], [0, sa, ca]]
        dw = dw + z * ddq[i] + np.cross(w, z * dq[i])
        w = w + z * dq[i]
        arm = lambda r: np.cross(dw, r) + np.cross(w, np.cross(w, r))  # noqa: E731
        acc, com = acc + arm(nxt - origin), nxt + rot @ COM[i]
        inertia = rot @ np.diag(INERTIA[i]) @ rot.T
        links.append((z, origin, nxt, com, MASS[i] * (acc + arm(com - nxt)), inertia @ dw + np.cross(w, inertia @ w)))
        origin = nxt
    tau, force, moment = np.zeros(len(DH)), np.zeros(3), np.zeros(3)  # from the next link, about its joint
    for i in reversed(range(len(DH))):
        z, joint, nxt, com, f, n = links[i]
        moment = n + np.cross(com - joint, f) + moment + np.cross(nxt - joint, force)
        force = f + force
        tau[i] = z @ moment
    return tau
