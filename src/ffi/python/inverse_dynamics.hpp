// The inverse-dynamics bridge: which Python objects a robot accepts as its dynamics, and the
// provider that calls one from the torque terms, parking a Python failure in the robot's error slot.
#pragma once

#include <memory>

#include "ffi/python/error.hpp"
#include "robot/robot_core.hpp"

namespace qarn::py {

// The callback object itself when it is callable or has a callable `inverse_dynamics` attribute;
// otherwise ValueError. Errors raised while looking the attribute up propagate.
Ref resolve_inverse_dynamics(PyObject* object);

// A provider around an accepted callback object. A failure stores the Python exception in `slot`
// (which must outlive the provider) and reports "python inverse_dynamics callback failed".
std::shared_ptr<InverseDynamics> python_inverse_dynamics(Ref callback, PyErrSlot& slot);

// The callback object of a provider made by python_inverse_dynamics; null for any other provider.
PyObject* python_callback(const InverseDynamics* provider) noexcept;

}  // namespace qarn::py
