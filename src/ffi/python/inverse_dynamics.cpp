// The Python inverse-dynamics provider: fresh float64 arrays in, numpy.ascontiguousarray out, and
// every failure kept as the Python exception in the robot's error slot.
#include "ffi/python/inverse_dynamics.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "ffi/python/array.hpp"
#include "ffi/python/recursion_guard.hpp"

namespace qarn::py {
namespace {

constexpr const char* kCallbackFailed = "python inverse_dynamics callback failed";

class PythonInverseDynamics final : public InverseDynamics {
 public:
  PythonInverseDynamics(Ref callback, PyErrSlot& slot) : callback_(std::move(callback)), slot_(slot) {}

  PyObject* callback() const noexcept { return callback_.get(); }

  std::optional<std::string> call(std::span<const double> q, std::span<const double> qd,
                                  std::span<const double> qdd, std::span<double> tau) override {
    std::optional<Error> failure;
    {
      // The solver or limit builder may or may not hold the interpreter lock; take it if not.
      gil::Attach attach;
      try {
        const RecursionGuard guard(" while calling a Python inverse_dynamics callback");
        const std::vector<double> values = evaluate(q, qd, qdd, tau.size());
        std::copy(values.begin(), values.end(), tau.begin());
      } catch (Error& error) {
        failure = std::move(error);
      }
    }
    if (!failure) return std::nullopt;
    slot_.store(std::move(*failure));
    return std::string(kCallbackFailed);
  }

 private:
  std::vector<double> evaluate(std::span<const double> q, std::span<const double> qd, std::span<const double> qdd,
                               std::size_t dim) {
    // NumPy is imported at the first call and kept: the callback runs four times per station, and
    // the import would cost about as much as the conversions themselves.
    if (!numpy_) numpy_.emplace();
    const NumpyF64& numpy = *numpy_;
    const auto fresh_array = [&](std::span<const double> values) {
      return numpy.array_owning(std::vector<double>(values.begin(), values.end()));
    };
    Ref q_array = fresh_array(q), qd_array = fresh_array(qd), qdd_array = fresh_array(qdd);
    PyObject* args[] = {q_array.get(), qd_array.get(), qdd_array.get()};
    Ref result;
    if (PyCallable_Check(callback_.get())) {
      result = new_ref(PyObject_Vectorcall(callback_.get(), args, 3, nullptr));
    } else {
      Ref method = new_ref(PyObject_GetAttrString(callback_.get(), "inverse_dynamics"));
      result = new_ref(PyObject_Vectorcall(method.get(), args, 3, nullptr));
    }
    NumpyF64::RealArray real = numpy.ascontiguousarray_real(result.get());
    if (real.non_real) {
      throw Error::value(fmt::format("`inverse_dynamics` returned complex values: tau[{}]; torques must be real",
                                     *real.non_real));
    }
    const Ref array = std::move(real.array);
    std::optional<std::vector<double>> values = read_f64_vector(
        "tau", array.get(), Error::value("`inverse_dynamics` must return a contiguous one-dimensional float64 array"));
    if (!values) {
      throw Error::type(
          fmt::format("'{}' object is not an instance of 'ndarray[float64, ndim=1]'", type_name(array.get())));
    }
    if (values->size() != dim) {
      throw Error::value(fmt::format("`inverse_dynamics` returned {} values; expected {}", values->size(), dim));
    }
    return std::move(*values);
  }

  Ref callback_;
  PyErrSlot& slot_;
  std::optional<NumpyF64> numpy_;
};

}  // namespace

Ref resolve_inverse_dynamics(PyObject* object) {
  if (PyCallable_Check(object) || has_callable(object, "inverse_dynamics")) return Ref::borrow(object);
  throw Error::value("`inverse_dynamics` must be a callable or define an `inverse_dynamics(q, dq, ddq)` method");
}

std::shared_ptr<InverseDynamics> python_inverse_dynamics(Ref callback, PyErrSlot& slot) {
  return std::make_shared<PythonInverseDynamics>(std::move(callback), slot);
}

PyObject* python_callback(const InverseDynamics* provider) noexcept {
  const auto* python = dynamic_cast<const PythonInverseDynamics*>(provider);
  return python != nullptr ? python->callback() : nullptr;
}

}  // namespace qarn::py
