"""The pure-Python package: every name at the top (``import qarn_py as qarn``) and, as the native
module's docstring promises, in the topic namespaces qarn.path, qarn.robot, qarn.constraints,
qarn.objective, qarn.interpolation, qarn.clarabel and qarn.solver.*, which re-export the native
objects and add nothing."""

import re
import types

import qarn_py as qarn
from qarn_py import _native

NAMESPACES = {
    "path": {"Path", "PathDerivatives", "SplineConfig", "SmoothingConfig", "SmoothingReport", "MatrixLayout",
             "OutOfRangeMode", "Parametrization", "PathError"},
    "robot": {"Robot", "Constraints", "MatrixLayout"},
    "constraints": {"Constraints", "ConstraintError"},
    "objective": {"Time", "Linear", "ThermalEnergy", "TotalVariationTorque"},
    "interpolation": {"a_to_b_topp2", "s_to_t_topp2", "t_to_s_topp2_uniform", "t_to_s_topp2_samples",
                      "t_to_s_topp2", "s_to_t_topp3", "t_to_s_topp3_uniform", "t_to_s_topp3_samples",
                      "t_to_s_topp3", "Profile3rd"},
    "clarabel": {"ClarabelSettings", "ClarabelOptions", "ClarabelDirectSolveMethod", "ClarabelSolverStatus",
                 "ClarabelLinearSolverInfo", "Qarn2SocpResult", "Qarn3ClarabelResult"},
    "solver": {"topp2", "topp3", "qarn2", "qarn3", "Verbosity"},
    "solver.topp2": {"Topp2Problem", "ReachSet2Options", "ReachSet2", "topp2_ra", "reach_set2_backward",
                     "reach_set2_bidirectional"},
    "solver.topp3": {"Topp3Problem", "topp3_lp", "topp3_lp_expert", "topp3_socp", "topp3_socp_expert",
                     "Profile3rd", "Qarn3ClarabelResult"},
    "solver.qarn2": {"Qarn2Problem", "qarn2_socp", "qarn2_socp_expert", "Qarn2SocpResult"},
    "solver.qarn3": {"Qarn3Problem", "qarn3_socp", "qarn3_socp_expert", "Qarn3ClarabelResult", "Profile3rd"},
}


def namespace(dotted):
    module = qarn
    for part in dotted.split("."):
        module = getattr(module, part)
    assert isinstance(module, types.ModuleType)
    return module


def test_the_docstring_names_only_namespaces_that_exist():
    named = set(re.findall(r"``qarn\.([a-z][a-z_.*]*)``", _native.__doc__))
    assert named == {"path", "robot", "constraints", "objective", "interpolation", "clarabel", "solver.*"}
    for dotted in named:
        namespace(dotted.removesuffix(".*"))
    assert {name for name in NAMESPACES if name.startswith("solver.")} == {
        f"solver.{m}" for m in namespace("solver").__all__ if isinstance(getattr(namespace("solver"), m), types.ModuleType)}


def test_each_namespace_holds_the_native_objects_it_names_and_nothing_else():
    for dotted, names in NAMESPACES.items():
        module = namespace(dotted)
        assert set(module.__all__) == names, dotted
        assert module.__doc__ and all(name in module.__doc__ for name in names), dotted
        own = {n for n, v in vars(module).items() if not n.startswith("_") and not isinstance(v, types.ModuleType)}
        assert own == {n for n in names if hasattr(_native, n)}, dotted
        for name in own:
            assert getattr(module, name) is getattr(_native, name)


def test_every_public_name_has_a_namespace():
    placed = set().union(*NAMESPACES.values())
    assert set(qarn.__all__) - placed == {"QarnError", "version"}  # the package's own top level
    assert all(getattr(qarn, name) is getattr(_native, name) for name in qarn.__all__)
    assert not set(NAMESPACES) & set(qarn.__all__)  # a star import binds no module names


def test_namespaces_work_for_a_small_problem():
    robot = qarn.robot.Robot(1)
    robot.append_s([0.0, 0.5, 1.0])
    robot.set_q([[0.0], [0.5], [1.0]], [[1.0]] * 3, [[0.0]] * 3, 0)
    robot.add_velocity_limits([1.0], [-1.0], start_idx_s=0)
    robot.add_acceleration_limits([1.0], [-1.0], start_idx_s=0)
    a = qarn.solver.topp2.topp2_ra(qarn.solver.topp2.Topp2Problem(robot.constraints, (0, 2)))
    assert a[0] == a[2] == 0.0 and a[1] > 0.0
    assert qarn.interpolation.s_to_t_topp2([0.0, 0.5, 1.0], a)[0] > 0.0
