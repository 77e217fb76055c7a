// The argument binder: text-signature parsing, binding of positional and keyword arguments with
// the interpreter's TypeError texts, conversions that name their argument, and the entry frame.
#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <vector>

#include "ffi/python/class_def.hpp"
#include "python_test_support.hpp"

namespace qarn::py {
namespace {

using testing::expect_error;
using testing::integer;
using testing::number;
using testing::text;

// Binds positional values and (name, value) keywords through the vectorcall form.
std::vector<PyObject*> bind(const Signature& sig, std::vector<Ref> positional,
                            std::vector<std::pair<const char*, Ref>> keywords = {}) {
  std::vector<PyObject*> args;
  for (const Ref& r : positional) args.push_back(r.get());
  Ref kwnames;
  if (!keywords.empty()) {
    kwnames = new_ref(PyTuple_New(static_cast<Py_ssize_t>(keywords.size())));
    for (std::size_t i = 0; i < keywords.size(); ++i) {
      PyTuple_SET_ITEM(kwnames.get(), static_cast<Py_ssize_t>(i), text(keywords[i].first).release());
      args.push_back(keywords[i].second.get());
    }
  }
  std::vector<PyObject*> out(kMaxParams, nullptr);
  sig.bind(args.data(), static_cast<Py_ssize_t>(positional.size()), kwnames.get(), out.data());
  out.resize(sig.size());
  return out;
}

std::string bind_error(const Signature& sig, std::vector<Ref> positional,
                       std::vector<std::pair<const char*, Ref>> keywords = {}) {
  Error error = expect_error([&] { bind(sig, std::move(positional), std::move(keywords)); });
  EXPECT_TRUE(error.is(PyExc_TypeError));
  return error.message();
}

TEST(SignatureTest, ParsesKindsAndDefaults) {
  const Signature sig("f($self, a, /, b, c=(0.0, 1), *, d='x', e=None, f=1e999, g=True)", "C.f()");
  ASSERT_EQ(sig.size(), 7u);
  EXPECT_EQ(sig.name(), "f");
  EXPECT_EQ(sig.param(0).kind, Signature::Kind::PositionalOnly);
  EXPECT_EQ(sig.param(1).kind, Signature::Kind::PositionalOrKeyword);
  EXPECT_EQ(sig.param(3).kind, Signature::Kind::KeywordOnly);
  EXPECT_FALSE(sig.param(0).default_value);
  PyObject* c = sig.param(2).default_value.get();
  ASSERT_TRUE(PyTuple_Check(c));
  EXPECT_EQ(PyFloat_AsDouble(PyTuple_GET_ITEM(c, 0)), 0.0);
  EXPECT_TRUE(PyLong_Check(PyTuple_GET_ITEM(c, 1)));
  EXPECT_STREQ(PyUnicode_AsUTF8(sig.param(3).default_value.get()), "x");
  EXPECT_EQ(sig.param(4).default_value.get(), Py_None);
  EXPECT_TRUE(std::isinf(PyFloat_AsDouble(sig.param(5).default_value.get())));
  EXPECT_EQ(sig.param(6).default_value.get(), Py_True);
}

TEST(SignatureTest, MalformedTextIsAFault) {
  EXPECT_THROW(Signature("f(a", "f()"), Fault);
  EXPECT_THROW(Signature("f(a=[1])", "f()"), Fault);
  EXPECT_THROW(Signature("f(a, , b)", "f()"), Fault);
}

TEST(SignatureTest, BindsPositionalsKeywordsAndDefaults) {
  const Signature sig("f(a, b=2.5, *, c=None)", "f()");
  Ref a = number(1.0);
  std::vector<PyObject*> out = bind(sig, {a});
  EXPECT_EQ(out[0], a.get());
  EXPECT_EQ(out[1], sig.param(1).default_value.get());
  EXPECT_EQ(out[2], Py_None);

  Ref b = number(3.0), c = text("k");
  out = bind(sig, {}, {{"c", c}, {"a", a}, {"b", b}});
  EXPECT_EQ(out[0], a.get());
  EXPECT_EQ(out[1], b.get());
  EXPECT_EQ(out[2], c.get());
}

TEST(SignatureTest, BindsTheNewForm) {
  const Signature sig("C(dim, *, capacity=None)", "C.__new__()");
  Ref args = new_ref(Py_BuildValue("(i)", 3));
  Ref kwargs = new_ref(Py_BuildValue("{s:i}", "capacity", 9));
  PyObject* out[kMaxParams];
  sig.bind(args.get(), kwargs.get(), out);
  EXPECT_EQ(PyLong_AsLong(out[0]), 3);
  EXPECT_EQ(PyLong_AsLong(out[1]), 9);
  sig.bind(args.get(), nullptr, out);
  EXPECT_EQ(out[1], Py_None);
}

TEST(SignatureTest, MissingArgumentsAreListed) {
  EXPECT_EQ(bind_error(Signature("f(a)", "f()"), {}), "f() missing 1 required positional argument: 'a'");
  EXPECT_EQ(bind_error(Signature("f(a, b)", "f()"), {}),
            "f() missing 2 required positional arguments: 'a' and 'b'");
  EXPECT_EQ(bind_error(Signature("f(a, b, c, d=1)", "C.f()"), {}),
            "C.f() missing 3 required positional arguments: 'a', 'b', and 'c'");
  EXPECT_EQ(bind_error(Signature("f(a, *, k)", "f()"), {number(1)}),
            "f() missing 1 required keyword argument: 'k'");
  // Positional ones are reported before keyword-only ones.
  EXPECT_EQ(bind_error(Signature("f(a, *, k)", "f()"), {}), "f() missing 1 required positional argument: 'a'");
}

TEST(SignatureTest, TooManyPositionals) {
  EXPECT_EQ(bind_error(Signature("f(a, b)", "f()"), {number(1), number(2), number(3)}),
            "f() takes 2 positional arguments but 3 were given");
  EXPECT_EQ(bind_error(Signature("f(*, k=1)", "f()"), {number(1)}),
            "f() takes 0 positional arguments but 1 was given");
  EXPECT_EQ(bind_error(Signature("f(a, b=1, *, k=2)", "f()"), {number(1), number(2), number(3)}),
            "f() takes from 1 to 2 positional arguments but 3 were given");
}

TEST(SignatureTest, KeywordErrors) {
  const Signature sig("f(a, b=1)", "f()");
  EXPECT_EQ(bind_error(sig, {number(1)}, {{"opts", number(2)}}), "f() got an unexpected keyword argument 'opts'");
  EXPECT_EQ(bind_error(sig, {number(1)}, {{"a", number(2)}}), "f() got multiple values for argument 'a'");
  EXPECT_EQ(bind_error(Signature("f(a, b, /)", "f()"), {}, {{"a", number(1)}, {"b", number(2)}}),
            "f() got some positional-only arguments passed as keyword arguments: 'a' and 'b'");
}

TEST(ExtractTest, TypeErrorsNameTheArgument) {
  Error error = expect_error([] { extract<double>(text("x").get(), "weight"); });
  EXPECT_TRUE(error.is(PyExc_TypeError));
  EXPECT_EQ(error.message(), "argument 'weight': must be real number, not str");
  // Errors of other types pass unchanged.
  error = expect_error([] { extract<std::uint32_t>(integer(-1).get(), "max_iter"); });
  EXPECT_TRUE(error.is(PyExc_OverflowError));
  EXPECT_EQ(error.message(), "out of range integral type conversion attempted");
}

TEST(ExtractTest, Scalars) {
  EXPECT_EQ(extract<double>(integer(3).get(), "x"), 3.0);
  EXPECT_EQ(extract<std::uint32_t>(integer(4294967295LL).get(), "x"), 4294967295u);
  EXPECT_THROW(extract<std::uint32_t>(integer(4294967296LL).get(), "x"), Error);
  EXPECT_EQ(extract<std::uint64_t>(integer(7).get(), "x"), 7u);
  EXPECT_TRUE(expect_error([] { extract<std::uint64_t>(integer(-7).get(), "x"); }).is(PyExc_OverflowError));
  EXPECT_EQ(extract<std::optional<double>>(Py_None, "x"), std::nullopt);
  EXPECT_EQ(extract<std::string>(text("abc").get(), "x"), "abc");
  EXPECT_TRUE(extract<bool>(Py_True, "x"));
  EXPECT_TRUE(expect_error([] { extract<bool>(integer(1).get(), "x"); }).is(PyExc_TypeError));

  Ref pair = new_ref(Py_BuildValue("(dd)", 1.0, 2.0));
  EXPECT_EQ((extract<std::pair<double, double>>(pair.get(), "x")), std::make_pair(1.0, 2.0));
  Ref triple = new_ref(Py_BuildValue("(ddd)", 1.0, 2.0, 3.0));
  Error error = expect_error([&] { extract<std::pair<double, double>>(triple.get(), "x"); });
  EXPECT_EQ(error.message(), "expected tuple of length 2, but got tuple of length 3");
}

// ---- the entry frame, driven through a module-function entry ----

double scaled(double x, double factor) { return x * factor; }
double fails(double x) {
  if (x < 0) throw Error::value("x must be non-negative");
  if (x == 0) throw std::logic_error("zero reached the kernel");
  throw std::bad_alloc();
}

template <auto Impl>
PyObject* call_entry(const char* signature, std::vector<Ref> positional) {
  static const Signature sig(signature, std::string(Signature(signature, "").name()) + "()");
  Callable<ModuleFunctions, Impl>::signature = &sig;
  std::vector<PyObject*> args;
  for (const Ref& r : positional) args.push_back(r.get());
  return fastcall_entry<ModuleFunctions, Impl>(nullptr, args.data(), static_cast<Py_ssize_t>(args.size()), nullptr);
}

TEST(FrameTest, ConvertsArgumentsAndResult) {
  Ref result = Ref::steal(call_entry<scaled>("scaled(x, factor=2.0)", {integer(3)}));
  ASSERT_TRUE(result);
  EXPECT_EQ(PyFloat_AsDouble(result.get()), 6.0);
}

TEST(FrameTest, ErrorsBecomeTheCurrentException) {
  EXPECT_EQ(call_entry<scaled>("scaled(x, factor=2.0)", {}), nullptr);
  EXPECT_EQ(testing::take_exception(),
            std::make_pair(std::string("TypeError"), std::string("scaled() missing 1 required positional argument: 'x'")));

  EXPECT_EQ(call_entry<fails>("fails(x)", {number(-1)}), nullptr);
  EXPECT_EQ(testing::take_exception(),
            std::make_pair(std::string("ValueError"), std::string("x must be non-negative")));
}

TEST(FrameTest, FaultsBecomePanicExceptionAndMemoryError) {
  EXPECT_EQ(call_entry<fails>("fails(x)", {number(0)}), nullptr);
  ASSERT_TRUE(PyErr_ExceptionMatches(panic_exception_type()));
  EXPECT_FALSE(PyErr_ExceptionMatches(PyExc_Exception));
  EXPECT_EQ(testing::take_exception().second, "zero reached the kernel");

  EXPECT_EQ(call_entry<fails>("fails(x)", {number(1)}), nullptr);
  EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_MemoryError));
  PyErr_Clear();
}

double twice(double x) { return 2 * x; }

TEST(FrameTest, SignatureAndImplementationMustAgree) {
  EXPECT_THROW(method_def(function_entry<ModuleFunctions, twice>("twice(x, y)", "", false), ""), Fault);
  const PyMethodDef def = method_def(function_entry<ModuleFunctions, twice>("twice(x)", "Double it.", false), "");
  EXPECT_STREQ(def.ml_name, "twice");
  EXPECT_STREQ(def.ml_doc, "twice(x)\n--\n\nDouble it.");
  EXPECT_EQ(def.ml_flags, METH_FASTCALL | METH_KEYWORDS);
}

}  // namespace
}  // namespace qarn::py
