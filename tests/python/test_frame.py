"""The entry frame: argument binding and its TypeError texts, single-argument conversions, faults
raised as PanicException, borrow conflicts and attribute setters."""

import numpy as np
import pytest


class TestArgumentBinding:
    def test_positional_keyword_and_defaults(self, hooks):
        assert hooks._echo_args(1) == (1.0, 1.5, False, None)
        assert hooks._echo_args(1, 2, flag=True, count=3) == (1.0, 2.0, True, 3)
        assert hooks._echo_args(y=4, x=3) == (3.0, 4.0, False, None)
        assert hooks._echo_args(1, count=None) == (1.0, 1.5, False, None)

    def test_missing_argument(self, hooks):
        with pytest.raises(TypeError, match=r"^_echo_args\(\) missing 1 required positional argument: 'x'$"):
            hooks._echo_args()
        with pytest.raises(TypeError, match=r"^_echo_args\(\) missing 1 required positional argument: 'x'$"):
            hooks._echo_args(flag=True)

    def test_missing_arguments_of_a_method_name_the_class(self, hooks):
        probe = hooks._RobotStateProbe(2)
        with pytest.raises(TypeError) as info:
            probe.fault_while_locked()
        assert str(info.value) == "_RobotStateProbe.fault_while_locked() missing 1 required positional argument: 'message'"
        with pytest.raises(TypeError) as info:
            hooks._RobotStateProbe()
        assert str(info.value) == "_RobotStateProbe.__new__() missing 1 required positional argument: 'dim'"

    def test_unexpected_keyword(self, hooks):
        with pytest.raises(TypeError) as info:
            hooks._echo_args(1, opts=2)
        assert str(info.value) == "_echo_args() got an unexpected keyword argument 'opts'"

    def test_multiple_values(self, hooks):
        with pytest.raises(TypeError) as info:
            hooks._echo_args(1, 2, y=3)
        assert str(info.value) == "_echo_args() got multiple values for argument 'y'"

    def test_too_many_positionals(self, hooks):
        with pytest.raises(TypeError) as info:
            hooks._echo_args(1, 2, 3)
        assert str(info.value) == "_echo_args() takes from 1 to 2 positional arguments but 3 were given"
        with pytest.raises(TypeError) as info:
            hooks._to_f64_1d(1, 2)
        assert str(info.value) == "_to_f64_1d() takes 1 positional arguments but 2 were given"
        with pytest.raises(TypeError) as info:
            hooks._RobotStateProbe(2).len(1)  # a method without parameters takes no arguments
        with pytest.raises(TypeError) as info:
            hooks._RobotStateProbe(2, 3)
        assert str(info.value) == "_RobotStateProbe.__new__() takes 1 positional arguments but 2 were given"

    def test_keyword_only_parameter_refuses_positionals(self, hooks):
        with pytest.raises(TypeError, match="takes from 1 to 2 positional arguments but 4 were given"):
            hooks._echo_args(1, 2, True, 3)

    def test_text_signatures(self, hooks):
        assert hooks._echo_args.__text_signature__ == "(x, y=1.5, *, flag=False, count=None)"
        assert hooks._RobotStateProbe.__text_signature__ == "(dim, *, capacity=None)"
        assert hooks._RobotStateProbe.len.__text_signature__ == "($self)"
        assert hooks._RobotStateProbe.__doc__ == "Test probe of a shared robot state."


class TestConversions:
    def test_float_accepts_ints_and_index_objects(self, hooks):
        assert hooks._echo_args(np.int32(3))[0] == 3.0
        assert hooks._echo_args(True)[0] == 1.0
        assert hooks._echo_args(np.float32(0.5))[0] == 0.5

    def test_float_refusal_names_the_argument(self, hooks):
        with pytest.raises(TypeError, match=r"^argument 'y': must be real number, not str$"):
            hooks._echo_args(1, "2")

    def test_bool_is_strict(self, hooks):
        assert hooks._echo_args(1, flag=np.bool_(True))[2] is True
        assert hooks._echo_args(1, flag=np.False_)[2] is False
        with pytest.raises(TypeError, match=r"^argument 'flag': 'int' object cannot be converted to 'bool'$"):
            hooks._echo_args(1, flag=1)
        with pytest.raises(TypeError, match="argument 'flag'"):
            hooks._echo_args(1, flag=None)
        with pytest.raises(TypeError, match=r"^argument 'flag': 'int64' object cannot be converted to 'bool'$"):
            hooks._echo_args(1, flag=np.int64(1))

    def test_unsigned_integers(self, hooks):
        assert hooks._echo_args(1, count=np.uint8(7))[3] == 7
        assert hooks._echo_args(1, count=2**64 - 1)[3] == 2**64 - 1
        with pytest.raises(OverflowError):
            hooks._echo_args(1, count=-1)
        with pytest.raises(OverflowError):
            hooks._echo_args(1, count=2**64)
        with pytest.raises(TypeError, match=r"^argument 'count': 'float' object cannot be interpreted as an integer$"):
            hooks._echo_args(1, count=1.0)

    def test_instance_arguments(self, hooks):
        with pytest.raises(TypeError) as info:
            hooks._call_while_exclusive(None, print)
        assert str(info.value) == "argument 'probe': 'None' is not an instance of '_RobotStateProbe'"
        with pytest.raises(TypeError) as info:
            hooks._call_while_exclusive(5, print)
        assert str(info.value) == "argument 'probe': 'int' object is not an instance of '_RobotStateProbe'"


class TestFaults:
    def test_fault_becomes_panic_exception(self, hooks):
        with pytest.raises(BaseException) as info:
            hooks._fault("the invariant broke")
        panic = info.type
        assert panic.__name__ == "PanicException"
        assert issubclass(panic, BaseException) and not issubclass(panic, Exception)
        assert str(info.value) == "the invariant broke"

    def test_fault_without_a_message(self, hooks):
        with pytest.raises(BaseException) as info:
            hooks._fault(kind="unknown")
        assert info.type.__name__ == "PanicException"
        assert str(info.value)

    def test_allocation_failure_is_memory_error(self, hooks):
        with pytest.raises(MemoryError) as info:
            hooks._fault(kind="alloc")
        assert str(info.value) == "_fault(): not enough memory to complete the call"  # before: empty

    def test_a_result_array_without_memory_for_its_owner_is_memory_error(self, hooks):
        # Before: PanicException. The fault above never allocates the owner; memory pressure fails
        # larger allocations first.
        with pytest.raises(MemoryError, match=r"^_array_with_failing_owner\(\): not enough memory to complete"):
            hooks._array_with_failing_owner([1.0, 2.0])
        assert hooks._to_f64_1d([1.0, 2.0]).tolist() == [1.0, 2.0]

    def test_interpreter_continues_after_a_fault(self, hooks):
        for _ in range(3):
            with pytest.raises(BaseException):
                hooks._fault("again")
        assert hooks.version() == "0.2.3"


class TestAttributesAndBorrows:
    def test_setter_getter_and_deleter(self, hooks):
        probe = hooks._RobotStateProbe(2)
        probe.tag = 2
        assert probe.tag == 2.0
        with pytest.raises(AttributeError, match="^property has no deleter$"):
            del probe.tag
        with pytest.raises(TypeError, match="argument 'tag'"):
            probe.tag = "x"
        assert probe.tag == 2.0

    def test_read_only_attribute(self, hooks):
        probe = hooks._RobotStateProbe(3)
        assert probe.dim == 3
        with pytest.raises(AttributeError):
            probe.dim = 4

    def test_borrow_conflicts_raise_instead_of_waiting(self, hooks):
        probe = hooks._RobotStateProbe(2)

        def touch(p):
            with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
                p.tag
            with pytest.raises(RuntimeError, match="^Already borrowed$"):
                p.tag = 1.0
            return "done"

        assert hooks._call_while_exclusive(probe, touch) == "done"
        probe.tag = 5.0  # released on exit
        assert probe.tag == 5.0

    def test_classes_without_constructor(self, hooks):
        with pytest.raises(TypeError):
            hooks.Verbosity()
        with pytest.raises(TypeError):
            type(hooks.Verbosity.SILENT)()
