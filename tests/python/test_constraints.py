"""The Constraints class: construction, station export, windowing from both ends, clearing, raw
constraint rows in both layouts, first-order bounds and the second-order profile audit."""

import math

import numpy as np
import pytest

from qarn_py import _native as q

PREFIX = "Some error occurred in the Constraint struct: "


@pytest.fixture
def store():
    constraints = q.Constraints(2)
    constraints.append_s([0.0, 0.5, 1.0])
    return constraints


class TestConstruction:
    def test_defaults_and_repr(self):
        constraints = q.Constraints(2)
        assert (constraints.dim, constraints.len, constraints.capacity) == (2, 0, 1000)
        assert constraints.idx_s_range == (0, 0) and constraints.is_empty
        assert repr(constraints) == "Constraints(dim=2, len=0, capacity=1000)"
        assert repr(q.Constraints(1, capacity=3)) == "Constraints(dim=1, len=0, capacity=3)"
        with pytest.raises(TypeError):
            len(constraints)

    def test_errors(self):
        with pytest.raises(ValueError, match="^`dim` must be a positive integer$"):
            q.Constraints(0)
        with pytest.raises(ValueError, match="^`capacity` must be a positive integer or None$"):
            q.Constraints(2, capacity=0)
        with pytest.raises(OverflowError):
            q.Constraints(2, capacity=-3)
        with pytest.raises(TypeError):
            q.Constraints(2, inverse_dynamics=len)

    def test_standalone_stores_share_nothing(self, store):
        assert q.Constraints(2).len == 0
        assert store.len == 3
        assert q.Constraints.__text_signature__ == "(dim, *, capacity=None)"


class TestExport:
    def test_s_values(self, store):
        np.testing.assert_array_equal(store.s_values(), [0.0, 0.5, 1.0])
        np.testing.assert_array_equal(store.s_values(1), [0.5, 1.0])
        np.testing.assert_array_equal(store.s_values(0, 1), [0.0])
        np.testing.assert_array_equal(store.s_values(idx_s_to=2), [0.0, 0.5])
        assert store.s_values() is not store.s_values()
        with pytest.raises(q.ConstraintError, match=rf"^{PREFIX}Requested interval is empty: 2 <= idx_s < 2\.$"):
            store.s_values(2, 2)
        with pytest.raises(q.ConstraintError,
                           match=rf"^{PREFIX}Requested station interval is out of bounds: idx_s=0, len=4\.$"):
            store.s_values(0, 4)

    def test_empty_store(self):
        with pytest.raises(q.ConstraintError, match="empty"):
            q.Constraints(1).s_values()
        with pytest.raises(q.ConstraintError, match="empty"):
            q.Constraints(1).amax_values()

    def test_amax_values_and_substitute(self, store):
        np.testing.assert_array_equal(store.amax_values(), [math.inf] * 3)
        store.amax_substitute([2.0, -1.0], 1)  # no sign check
        np.testing.assert_array_equal(store.amax_values(), [math.inf, 2.0, -1.0])
        with pytest.raises(ValueError, match=r"^`amax` must not be NaN \(an infinite bound leaves its row "
                                             r"inactive\); amax\[1\] = NaN$"):
            store.amax_substitute([1.0, math.nan], 1)  # nothing written
        store.amax_substitute([math.inf], 1)  # no bound
        np.testing.assert_array_equal(store.amax_values(), [math.inf, math.inf, -1.0])
        with pytest.raises(q.ConstraintError, match=r"out of bounds: idx_s=2, len=2\.$"):
            store.amax_substitute([1.0, 1.0], 2)
        with pytest.raises(ValueError, match="^`amax` must be convertible to a one-dimensional float64 array$"):
            store.amax_substitute([[1.0]], 0)


class TestWindowing:
    def test_pops(self, store):
        store.pop_front_n(1)
        assert store.idx_s_range == (1, 3)
        np.testing.assert_array_equal(store.s_values(), [0.5, 1.0])
        store.pop_front_until(0)
        assert store.idx_s_range == (1, 3)
        store.pop_back_until(2)
        assert store.idx_s_range == (1, 2)
        np.testing.assert_array_equal(store.s_values(), [0.5])
        store.pop_back_n(10)
        assert store.is_empty and store.idx_s_range == (1, 1)

    def test_emptying_pops_keep_the_start_id(self, store):
        store.pop_front_n(1)
        store.pop_front_until(7)  # removes everything; the window keeps its start id
        assert store.idx_s_range == (1, 1)
        store.append_s([2.0])
        assert store.idx_s_range == (1, 2)
        store.pop_back_until(0)
        assert store.idx_s_range == (1, 1)

    def test_clear(self, store):
        store.pop_front_n(1)
        store.clear()
        assert store.idx_s_range == (0, 0)
        store.append_s([0.0, 1.0])
        store.pop_front_n(1)
        store.clear(keep_idx_s=True)
        assert store.idx_s_range == (1, 1)
        store.append_s([5.0])
        assert store.idx_s_range == (1, 2)
        with pytest.raises(TypeError):
            store.clear(True)  # keyword-only
        with pytest.raises(TypeError, match="keep_idx_s"):
            store.clear(keep_idx_s=1)

    def test_integer_arguments(self, store):
        with pytest.raises(OverflowError):
            store.pop_front_n(-1)
        with pytest.raises(TypeError, match="n_cols"):
            store.pop_front_n(1.0)


class TestRawRows:
    def test_first_order_tightens_in_both_layouts(self, store):
        store.add_constraint_1st([[4.0], [2.0]], 1)
        np.testing.assert_array_equal(store.amax_values(), [math.inf, 4.0, 2.0])
        store.add_constraint_1st([[3.0, 5.0]], 1, layout="dim_major")
        np.testing.assert_array_equal(store.amax_values(), [math.inf, 3.0, 2.0])
        with pytest.raises(q.ConstraintError, match="positivity"):
            store.add_constraint_1st([[0.0]], 0)
        with pytest.raises(ValueError, match="^`amax` must be convertible to a two-dimensional float64 array$"):
            store.add_constraint_1st([1.0], 0)

    def test_second_order_rows_are_measured(self, store):
        # One row per station: 1 * a + 0 * b <= 2, and its negated twin a >= 0.5 (is_negative).
        ones, zeros = np.ones((3, 1)), np.zeros((3, 1))
        store.add_constraint_2nd(ones, zeros, 2.0 * ones, 0)
        store.add_constraint_2nd(ones.T, zeros.T, 0.5 * ones.T, 0, is_negative=True, layout="dim_major")
        assert store.exceed_topp2([1.0, 1.0, 1.0]) == (0.0, 0.0)
        assert store.exceed_topp2([1.0, 3.0, 1.0]) == (0.0, 1.0)
        assert store.exceed_topp2([1.0, 0.25, 1.0]) == (0.0, 0.25)

    def test_second_order_shape_errors(self, store):
        with pytest.raises(q.ConstraintError, match="Input dimensions do not match"):
            store.add_constraint_2nd(np.ones((3, 1)), np.ones((3, 2)), np.ones((3, 1)), 0)
        store.add_constraint_2nd(np.zeros((0, 2)), np.zeros((0, 2)), np.zeros((0, 2)), 0)  # no change
        assert store.exceed_topp2([5.0, 5.0, 5.0]) == (0.0, 0.0)
        with pytest.raises(ValueError, match="^`acc_max` must be convertible"):
            store.add_constraint_2nd(np.ones((3, 1)), np.ones((3, 1)), [1.0], 0)
        with pytest.raises(TypeError, match="is_negative"):
            store.add_constraint_2nd(np.ones((3, 1)), np.ones((3, 1)), np.ones((3, 1)), 0, is_negative=0)

    def test_third_order_rows(self, store):
        row = np.ones((3, 1))
        store.add_constraint_3rd(row, row, row, row, row, 0, is_negative=True)
        with pytest.raises(q.ConstraintError, match="Input dimensions do not match"):
            store.add_constraint_3rd(row, row, row, row, np.ones((2, 1)), 0)
        with pytest.raises(ValueError, match="^`jerk_c` must be convertible"):
            store.add_constraint_3rd(row, row, [1.0], row, row, 0)
        with pytest.raises(q.ConstraintError, match="out of bounds"):
            store.add_constraint_3rd(row, row, row, row, row, 1)


class TestExceed:
    def test_bounds_and_invalid_profiles(self, store):
        store.amax_substitute([1.0, 1.0, 1.0], 0)
        assert store.exceed_topp2([0.5, 1.5, 0.5]) == (0.5, 0.0)
        assert store.exceed_topp2([0.5, 0.5], idx_s_start=1) == (0.0, 0.0)
        for bad in ([1.0], [1.0, math.nan, 1.0], [1.0] * 4):
            assert all(math.isnan(v) for v in store.exceed_topp2(bad))
        with pytest.raises(ValueError, match="^`a` must be convertible"):
            store.exceed_topp2([[1.0]])

    def test_idx_s_start_is_converted_first(self, store):
        with pytest.raises(OverflowError):
            store.exceed_topp2([[1.0]], idx_s_start=-1)
