// NumPy conversions through the buffer protocol, and the buffer owner behind output arrays.
#include "ffi/python/array.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "diag/out_of_memory.hpp"

namespace qarn::py {

// A buffer view of a converted array, released with the scope (the interpreter lock is taken for
// the release where this thread does not hold it).
class BufferView {
 public:
  BufferView() = default;
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;

  // False when the object exports no strided buffer.
  bool acquire(PyObject* object) {
    if (PyObject_GetBuffer(object, &view_, PyBUF_RECORDS_RO) != 0) {
      PyErr_Clear();
      return false;
    }
    acquired_ = true;
    return true;
  }
  ~BufferView() {
    if (!acquired_) return;
    gil::Attach attach;
    PyBuffer_Release(&view_);
  }
  const Py_buffer& operator*() const { return view_; }
  const Py_buffer* operator->() const { return &view_; }

  bool is_f64() const {
    if (view_.itemsize != sizeof(double) || view_.format == nullptr) return false;
    const char* f = view_.format;
    if (*f == '@' || *f == '=' || (*f == '<' && std::endian::native == std::endian::little)) ++f;
    return std::strcmp(f, "d") == 0;
  }
  // Aligned, contiguous in either order, with data.
  bool readable_in_place() const {
    return view_.buf != nullptr && reinterpret_cast<std::uintptr_t>(view_.buf) % alignof(double) == 0 &&
           PyBuffer_IsContiguous(&view_, 'A') != 0;
  }
  std::size_t extent(int axis) const { return static_cast<std::size_t>(view_.shape[axis]); }
  // Stride of an axis in elements, by magnitude.
  std::size_t element_stride(int axis) const {
    return static_cast<std::size_t>(std::llabs(view_.strides[axis])) / sizeof(double);
  }
  std::span<const double> values(std::size_t count) const { return {static_cast<const double*>(view_.buf), count}; }

 private:
  Py_buffer view_{};
  bool acquired_ = false;
};

namespace {

// A float64 buffer owned by a small Python object, handed to numpy.frombuffer so that the array
// keeps the owner (and with it the memory) alive without a copy.
struct OwnedBuffer {
  PyObject_HEAD
  OwnedValues values;
};

int owned_buffer_get(PyObject* self, Py_buffer* view, int flags) {
  static double empty = 0.0;  // a valid address for an empty buffer
  const OwnedValues& values = reinterpret_cast<OwnedBuffer*>(self)->values;
  void* data = values.size() == 0 ? &empty : values.data();
  return PyBuffer_FillInfo(view, self, data, static_cast<Py_ssize_t>(values.size() * sizeof(double)), 0, flags);
}

void owned_buffer_dealloc(PyObject* self) {
  gil::Hold hold;
  PyTypeObject* type = Py_TYPE(self);
  std::destroy_at(&reinterpret_cast<OwnedBuffer*>(self)->values);
  type->tp_free(self);
  Py_DECREF(type);
}

// Only a NumPy that cannot be imported is reported as missing; any other failure of the import
// (a RecursionError, a MemoryError) propagates unchanged.
Ref import_numpy(std::optional<std::string_view> argument) {
  PyObject* numpy = PyImport_ImportModule("numpy");
  if (numpy == nullptr && argument && PyErr_ExceptionMatches(PyExc_ImportError)) {
    const std::string reason = Error::fetch().message();
    throw Error::value(fmt::format("`{}` requires NumPy for ArrayLike conversion: {}", *argument, reason));
  }
  return new_ref(numpy);
}

// numpy.<function>(x, numpy.float64), the dtype passed positionally.
Ref call_with_float64(PyObject* numpy, PyObject* float64, const char* function, PyObject* x) {
  Ref callable = new_ref(PyObject_GetAttrString(numpy, function));
  return new_ref(PyObject_CallFunctionObjArgs(callable.get(), x, float64, nullptr));
}

}  // namespace

PyTypeObject* owned_buffer_type() {
  // Created by the module's execution (the first call), kept for the process.
  static PyTypeObject* type = nullptr;
  if (type == nullptr) {
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(owned_buffer_dealloc)},
        {Py_bf_getbuffer, reinterpret_cast<void*>(owned_buffer_get)},
        {0, nullptr},
    };
    static PyType_Spec spec = {
        "qarn_py._native._OwnedBuffer", sizeof(OwnedBuffer), 0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE, slots};
    type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    if (type == nullptr) {
      PyErr_Clear();
      throw Fault("Failed to create slice container");
    }
  }
  return type;
}

NumpyF64::NumpyF64(std::optional<std::string_view> argument)
    : numpy_(import_numpy(argument)), float64_(new_ref(PyObject_GetAttrString(numpy_.get(), "float64"))) {}

Ref NumpyF64::ascontiguousarray(PyObject* x) const {
  return call_with_float64(numpy_.get(), float64_.get(), "ascontiguousarray", x);
}

Ref NumpyF64::asarray(PyObject* x) const { return call_with_float64(numpy_.get(), float64_.get(), "asarray", x); }

NumpyF64::RealArray NumpyF64::real(PyObject* x) const {
  const Ref asarray = new_ref(PyObject_GetAttrString(numpy_.get(), "asarray"));
  Ref array = new_ref(PyObject_CallOneArg(asarray.get(), x));
  if (!is_complex(array.get())) return {std::move(array), {}};
  const Ref imag = this->ascontiguousarray(new_ref(PyObject_GetAttrString(array.get(), "imag")).get());
  const Ref flat = new_ref(PyObject_CallMethod(imag.get(), "ravel", nullptr));
  const std::optional<F64VectorView> parts =
      F64VectorView::of(flat.get(), Error::runtime("the imaginary parts of a complex array are not contiguous"));
  if (!parts) throw Fault("the imaginary parts of a complex array are not a float64 vector");
  const std::span<const double> im = parts->values();
  const auto non_real = std::find_if(im.begin(), im.end(), [](double v) { return v != 0.0; });
  return {new_ref(PyObject_GetAttrString(array.get(), "real")),
          non_real == im.end() ? 0 : static_cast<std::size_t>(non_real - im.begin())};
}

Ref NumpyF64::real_argument(std::string_view name, PyObject* x) const {
  RealArray real = this->real(x);
  if (!real.non_real) return std::move(real.array);
  // The entry's index in the argument's own shape: "" for a 0-d array, "[i]", "[i, j]", ...
  const Ref shape = new_ref(PyObject_GetAttrString(real.array.get(), "shape"));
  const Py_ssize_t ndim = PyTuple_Size(shape.get());
  std::string entry;
  std::size_t flat = *real.non_real;
  for (Py_ssize_t axis = ndim - 1; axis >= 0; --axis) {
    const std::size_t extent = std::max<std::size_t>(index_to_u64(PyTuple_GET_ITEM(shape.get(), axis)), 1);
    entry.insert(0, fmt::format(axis == ndim - 1 ? "{}" : "{}, ", flat % extent));
    flat /= extent;
  }
  throw ComplexRefused(name, ndim > 0 ? fmt::format("[{}]", entry) : entry);
}

NumpyF64::RealArray NumpyF64::ascontiguousarray_real(PyObject* x) const {
  RealArray real = this->real(x);
  return {this->ascontiguousarray(real.array.get()), real.non_real};
}

Ref NumpyF64::array_owning(OwnedValues values) const {
  PyTypeObject* type = owned_buffer_type();
  PyObject* owner = type->tp_alloc(type, 0);
  if (owner == nullptr) Error::throw_allocation_failure();
  new (&reinterpret_cast<OwnedBuffer*>(owner)->values) OwnedValues(std::move(values));
  Ref buffer = Ref::steal(owner);
  return call_with_float64(numpy_.get(), float64_.get(), "frombuffer", buffer.get());
}

std::optional<F64VectorView> F64VectorView::of(PyObject* array, const Error& layout_error) {
  auto view = std::make_unique<BufferView>();
  if (!view->acquire(array) || (*view)->ndim != 1 || !view->is_f64()) return std::nullopt;
  const std::size_t n = view->extent(0);
  if (n == 0) return F64VectorView(std::move(view), {});
  if (!view->readable_in_place()) throw layout_error;
  const std::span<const double> values = view->values(n);
  return F64VectorView(std::move(view), values);
}

F64VectorView F64VectorView::convert(std::string_view name, PyObject* x) {
  Ref array = ascontiguousarray_f64(name, x);
  std::optional<F64VectorView> view = of(
      array.get(), Error::value(fmt::format("`{}` must be convertible to a contiguous one-dimensional float64 array",
                                            name)));
  if (!view) throw Error::value(fmt::format("`{}` must be convertible to a one-dimensional float64 array", name));
  return std::move(*view);
}

F64VectorView::F64VectorView(std::unique_ptr<BufferView> view, std::span<const double> values)
    : view_(std::move(view)), values_(values) {}
F64VectorView::F64VectorView(F64VectorView&&) noexcept = default;
F64VectorView& F64VectorView::operator=(F64VectorView&&) noexcept = default;
F64VectorView::~F64VectorView() = default;

namespace {

std::vector<double> copy_values(std::string_view name, std::span<const double> values) {
  return naming_memory_failure(
      [&] {
        return not_enough_memory(fmt::format("`{}`", name), "to copy the array", values.size() * sizeof(double),
                                 fmt::format("its {} values", values.size()));
      },
      [&] { return std::vector<double>(values.begin(), values.end()); });
}

}  // namespace

std::optional<std::vector<double>> read_f64_vector(std::string_view name, PyObject* array, const Error& layout_error) {
  std::optional<F64VectorView> view = F64VectorView::of(array, layout_error);
  if (!view) return std::nullopt;
  return copy_values(name, view->values());
}

Ref ascontiguousarray_f64(std::string_view name, PyObject* x) {
  const NumpyF64 numpy(name);
  return numpy.ascontiguousarray(numpy.real_argument(name, x).get());
}

std::vector<double> to_contiguous_f64_1d(std::string_view name, PyObject* x) {
  const F64VectorView view = F64VectorView::convert(name, x);
  return copy_values(name, view.values());
}

Matrix to_contiguous_f64_2d(std::string_view name, PyObject* x) {
  return read_f64_matrix(name, ascontiguousarray_f64(name, x).get());
}

F64MatrixView F64MatrixView::of(std::string_view name, PyObject* array) {
  auto view = std::make_unique<BufferView>();
  if (!view->acquire(array) || (*view)->ndim != 2 || !view->is_f64()) {
    throw Error::value(fmt::format("`{}` must be convertible to a two-dimensional float64 array", name));
  }
  const std::size_t rows = view->extent(0), cols = view->extent(1);
  if (rows == 0 || cols == 0) return F64MatrixView(std::move(view), rows, cols, {});
  const bool row_major = (cols == 1 || view->element_stride(1) == 1) &&
                         (rows == 1 || view->element_stride(0) == cols);
  if (!row_major || !view->readable_in_place()) {
    throw Error::value(
        fmt::format("`{}` must be convertible to a C-contiguous two-dimensional float64 array", name));
  }
  const std::span<const double> values = view->values(rows * cols);
  return F64MatrixView(std::move(view), rows, cols, values);
}

F64MatrixView::F64MatrixView(std::unique_ptr<BufferView> view, std::size_t rows, std::size_t cols,
                             std::span<const double> values)
    : view_(std::move(view)), rows_(rows), cols_(cols), values_(values) {}
F64MatrixView::F64MatrixView(F64MatrixView&&) noexcept = default;
F64MatrixView& F64MatrixView::operator=(F64MatrixView&&) noexcept = default;
F64MatrixView::~F64MatrixView() = default;

Matrix read_f64_matrix(std::string_view name, PyObject* array) {
  const F64MatrixView view = F64MatrixView::of(name, array);
  return {view.rows(), view.cols(), copy_values(name, view.values())};
}

std::vector<double> extract_f64_array(std::string_view name, PyObject* x) {
  const NumpyF64 numpy;  // a failed import propagates unchanged
  Ref array = numpy.ascontiguousarray(numpy.real_argument(name, x).get());
  std::optional<std::vector<double>> values = read_f64_vector(
      name, array.get(), Error::value(fmt::format("`{}` must be a contiguous one-dimensional float64 array", name)));
  if (!values) {
    throw Error::value(fmt::format("`{}` must be convertible to a one-dimensional float64 NumPy array", name));
  }
  return std::move(*values);
}

Ref vector_to_numpy(OwnedValues values) { return NumpyF64().array_owning(std::move(values)); }

Ref matrix_to_numpy(std::size_t rows, std::size_t cols, OwnedValues values) {
  if (cols != 0 ? values.size() / cols != rows || values.size() % cols != 0 : values.size() != 0) {
    throw Fault(fmt::format("a {} x {} matrix cannot hold {} values", rows, cols, values.size()));
  }
  Ref flat = vector_to_numpy(std::move(values));
  return new_ref(PyObject_CallMethod(flat.get(), "reshape", "nn", static_cast<Py_ssize_t>(rows),
                                     static_cast<Py_ssize_t>(cols)));
}

}  // namespace qarn::py
