"""Objective classes (construction, getters, reprs) and the objective parser, reached through a
private hook that returns the parsed specs as plain tuples."""

import math

import numpy as np
import pytest

from qarn_py import _native as q


class TestTime:
    def test_weight_and_repr(self):
        assert q.Time(1.0).weight == 1.0
        assert repr(q.Time(1.0)) == "Time(weight=1)"
        assert repr(q.Time(0.5)) == "Time(weight=0.5)"
        assert repr(q.Time(1e-10)) == "Time(weight=0.0000000001)"

    def test_values_are_not_checked_at_construction(self):
        assert q.Time(-1.0).weight == -1.0
        assert math.isnan(q.Time(float("nan")).weight)
        assert q.Time(3).weight == 3.0  # an int converts

    def test_argument_errors(self):
        with pytest.raises(TypeError, match="weight"):
            q.Time("x")
        with pytest.raises(TypeError):
            q.Time()
        assert q.Time.__text_signature__ == "(weight)"
        assert q.Time.__doc__.startswith("Time objective.")

    def test_immutable(self):
        with pytest.raises(AttributeError):
            q.Time(1.0).weight = 2.0


class TestLinear:
    def test_getters_copy_and_repr(self):
        linear = q.Linear(1.0, [1, 2, 3], np.array([4, 5], dtype=np.int32))
        assert repr(linear) == "Linear(weight=1, alpha_len=3, beta_len=2)"
        first, second = linear.alpha, linear.alpha
        assert first is not second
        np.testing.assert_array_equal(first, [1.0, 2.0, 3.0])
        assert first.dtype == np.float64
        first[0] = 99.0
        assert linear.alpha[0] == 1.0
        np.testing.assert_array_equal(linear.beta, [4.0, 5.0])

    def test_input_is_copied(self):
        alpha = np.array([1.0, 2.0])
        linear = q.Linear(2.0, alpha, [])
        alpha[0] = -5.0
        assert linear.alpha[0] == 1.0
        assert linear.beta.shape == (0,)

    def test_array_messages_name_the_argument(self):
        with pytest.raises(ValueError, match=r"^`alpha` must be convertible to a one-dimensional float64 NumPy array$"):
            q.Linear(1.0, [[1.0]], [1.0])
        with pytest.raises(ValueError, match=r"^`beta` must be convertible"):
            q.Linear(1.0, [1.0], [[1.0]])

    def test_docstring(self):
        doc = q.Linear.__doc__
        assert doc.startswith("Linear objective over profile variables.")
        assert "s_len - 1" in doc


@pytest.mark.parametrize("cls,name", [(q.ThermalEnergy, "ThermalEnergy"),
                                      (q.TotalVariationTorque, "TotalVariationTorque")])
class TestNormalizedObjectives:
    def test_getters_and_repr(self, cls, name):
        objective = cls(0.25, [1.0, 2.0, 3.0])
        assert objective.weight == 0.25
        np.testing.assert_array_equal(objective.normalize, [1.0, 2.0, 3.0])
        assert objective.normalize is not objective.normalize
        assert repr(objective) == f"{name}(weight=0.25, normalize_len=3)"
        assert cls.__text_signature__ == "(weight, normalize)"

    def test_normalize_message(self, cls, name):
        with pytest.raises(ValueError, match="^`normalize` must be convertible"):
            cls(1.0, np.zeros((2, 2)))


def test_docstrings_of_the_normalized_objectives():
    assert q.ThermalEnergy.__doc__.startswith("Thermal-energy objective.")
    assert q.TotalVariationTorque.__doc__.startswith("Total-variation torque objective.")


class TestParsing:
    """The objective parser, reached through the test hook `_parse_objectives`; objective objects
    come from the test extension, whose classes are its own."""

    @pytest.fixture
    def parse(self, hooks):
        return hooks._parse_objectives

    def test_objects(self, hooks, parse):
        assert parse(hooks.Time(2.0)) == [("time", 2.0)]
        assert parse(hooks.Linear(1.0, [1, 2], [3])) == [("linear", 1.0, [1.0, 2.0], [3.0])]
        assert parse(hooks.ThermalEnergy(0.5, [1])) == [("thermal_energy", 0.5, [1.0])]
        assert parse(hooks.TotalVariationTorque(0.5, [2])) == [("total_variation_torque", 0.5, [2.0])]

    def test_containers_keep_order(self, hooks, parse):
        items = [hooks.Time(1.0), {"kind": "time", "weight": 2}]
        expected = [("time", 1.0), ("time", 2.0)]
        assert parse(items) == expected
        assert parse(tuple(items)) == expected
        assert parse(item for item in items) == expected
        assert parse([]) == []

    def test_dict_kinds(self, parse):
        assert parse({"kind": " Thermal-Energy\t", "weight": 1.0, "normalize": [1.0]}) == [
            ("thermal_energy", 1.0, [1.0])]
        for kind in ("thermal", "thermalenergy", "THERMAL_ENERGY"):
            assert parse({"kind": kind, "weight": 1, "normalize": []})[0][0] == "thermal_energy"
        for kind in ("tvtorque", "tv-torque", "TotalVariationTorque", "total_variation_torque"):
            assert parse({"kind": kind, "weight": 1, "normalize": []})[0][0] == "total_variation_torque"
        assert parse({"kind": "linear", "weight": np.float32(0.5), "alpha": [1], "beta": [2], "extra": 1}) == [
            ("linear", 0.5, [1.0], [2.0])]

    def test_dict_errors(self, parse):
        kind_message = ('objective dict field `kind` must be one of "time", "linear", "thermal_energy", '
                        'or "total_variation_torque"')
        with pytest.raises(ValueError) as info:
            parse({"kind": "TV", "weight": 1.0})
        assert str(info.value) == kind_message
        with pytest.raises(ValueError, match="^objective dict field `kind` must be a string$"):
            parse({"kind": 3, "weight": 1.0})
        with pytest.raises(ValueError, match="^objective dict field `weight` must be a float$"):
            parse({"kind": "time", "weight": "1.0"})
        with pytest.raises(ValueError, match="^objective dict is missing required field `beta`$"):
            parse({"kind": "linear", "weight": 1.0, "alpha": [1.0]})
        with pytest.raises(ValueError, match="^objective dict is missing required field `kind`$"):
            parse({"weight": 1.0})
        with pytest.raises(ValueError, match="^objective dict is missing required field `weight`$"):
            parse({"kind": "time", "weight_": 1.0})
        with pytest.raises(ValueError, match="^`alpha` must be convertible"):
            parse({"kind": "linear", "weight": 1.0, "alpha": [[1.0]], "beta": []})

    def test_container_errors(self, hooks, parse):
        with pytest.raises(ValueError, match="^each objective must be Time, Linear, ThermalEnergy, "
                                             "TotalVariationTorque, or a dict$"):
            parse("time")
        with pytest.raises(ValueError, match="^`objectives` must be an objective object, an objective dict, "
                                             "or an iterable of them$"):
            parse(5)
        with pytest.raises(ValueError, match="^each objective"):
            parse([hooks.Time(1.0), None])

    def test_errors_raised_by_python_propagate(self, hooks, parse):
        def failing():
            yield hooks.Time(1.0)
            raise KeyError("broken generator")

        with pytest.raises(KeyError, match="broken generator"):
            parse(failing())

        class Weight:
            def __float__(self):
                raise ZeroDivisionError

        with pytest.raises(ValueError, match="`weight` must be a float"):
            parse({"kind": "time", "weight": Weight()})
