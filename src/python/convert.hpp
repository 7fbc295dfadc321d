#pragma once
// Argument binding, argument kinds, result kinds and failure translation shared by every member.
//
// A member is defined as a function of (self, nb::args, nb::kwargs). It binds the call with
// `Call`, converts each argument in parameter order with the converters below, calls one service
// and converts its result. Conversion TypeErrors are raised again as "argument '{}': {}".

#include <complex>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include "core/support.hpp"

namespace vantrel::py {

namespace nb = nanobind;

void install_exception_translators();

// A message as Python text: the whole of it (NULs included), invalid UTF-8 replaced by U+FFFD,
// since messages quote the caller's input.
nb::str message_text(std::string_view msg);
// Sets the Python error `type` with that text.
void set_error(PyObject* type, std::string_view msg);

// The PanicException type (a BaseException subclass named pyo3_runtime.PanicException).
nb::handle panic_exception_type();

// ---- argument binding ---------------------------------------------------------------------------
struct Param {
  const char* name;
  bool has_default = false;
};

// Binds positional and keyword arguments to a parameter list, raising the TypeErrors of a normal
// Python call. `callable` is written as "Class.method()".
class Call {
 public:
  Call(const char* callable, std::initializer_list<Param> params, const nb::args& args,
       const nb::kwargs& kwargs);
  // The bound object of parameter i, or an empty handle when it was omitted (has a default).
  nb::handle operator[](std::size_t i) const { return values_[i]; }
  bool given(std::size_t i) const { return values_[i].is_valid(); }
  const char* name(std::size_t i) const { return names_[i]; }

 private:
  std::vector<const char*> names_;
  std::vector<nb::handle> values_;
};

// ---- argument kinds -----------------------------------------------------------------------------
// Each converter takes the parameter name for the "argument '{}': {}" prefix of its TypeErrors.
u64 arg_index(nb::handle h, const char* name);
i32 arg_tag(nb::handle h, const char* name);
double arg_real(nb::handle h, const char* name);
std::string arg_text(nb::handle h, const char* name);
// Read in place: valid while the argument object lives (the duration of the call).
std::span<const std::uint8_t> arg_bytes(nb::handle h, const char* name);
Vec3 arg_triple(nb::handle h, const char* name);
bool arg_flag(nb::handle h, const char* name);

// A 1-D float64 array read in place. Construction checks the kind (TypeError); data() checks
// contiguity ("The given array is not contiguous", RuntimeError) when the call takes the data.
class VectorArg {
 public:
  VectorArg(nb::handle h, const char* name);
  ~VectorArg();
  VectorArg(const VectorArg&) = delete;
  VectorArg& operator=(const VectorArg&) = delete;
  std::span<const double> data() const;
  std::size_t size() const { return size_; }

 private:
  Py_buffer view_{};
  std::size_t size_ = 0;
  bool contiguous_ = false;
};

// A sequence of tuples, each of exactly `len` items: None gives an empty list.
std::vector<nb::tuple> arg_tuple_list(nb::handle h, const char* name, std::size_t len);
// Converters for the items of a tuple taken from arg_tuple_list (TypeErrors carry `name`).
double item_real(const nb::tuple& t, std::size_t i, const char* name);
i32 item_tag(const nb::tuple& t, std::size_t i, const char* name);
u64 item_index(const nb::tuple& t, std::size_t i, const char* name);
Vec3 item_triple(const nb::tuple& t, std::size_t i, const char* name);
bool item_flag(const nb::tuple& t, std::size_t i, const char* name);
// None, or a triple.
std::optional<Vec3> item_optional_triple(const nb::tuple& t, std::size_t i, const char* name);

// Raises TypeError "'{type}' object cannot be converted to '{target}'" for argument `name`.
[[noreturn]] void raise_cannot_convert(nb::handle h, const char* target, const char* name);

// ---- result kinds -------------------------------------------------------------------------------
// Fresh, C-contiguous, writeable arrays that take over the buffer without another copy.
nb::object vector_result(std::vector<double>&& v);
nb::object complex_vector_result(std::vector<cplx>&& v);
nb::object index_vector_result(std::vector<std::int64_t>&& v);
nb::object grid_result(std::vector<double>&& flat, std::size_t rows, std::size_t cols);
nb::object complex_grid_result(std::vector<cplx>&& flat, std::size_t rows, std::size_t cols);
// (n_nodes, 3) complex128 array of nodal values, or None.
nb::object nodal_result(const std::optional<std::vector<CVec3>>& values);

// ---- thread-bound records -----------------------------------------------------------------------
// Records of Simulation, Eigenmode and RadiationPattern may be used and dropped only on the
// thread that created them. `type_name` is e.g. "vantrel::PySimulation".
template <class Record>
class ThreadBound {
 public:
  ThreadBound(Record* rec, const char* type_name)
      : rec_(rec), type_name_(type_name), owner_(std::this_thread::get_id()) {}
  ThreadBound(const ThreadBound&) = delete;
  ThreadBound& operator=(const ThreadBound&) = delete;
  ~ThreadBound() {
    if (std::this_thread::get_id() != owner_) {
      report_dropped_elsewhere(type_name_);
      return;  // the record is left allocated, as it cannot be freed safely here
    }
    delete rec_;
  }
  Record& get() const {
    check_thread();
    return *rec_;
  }
  void check_thread() const {
    if (std::this_thread::get_id() != owner_)
      throw Panic(std::string(type_name_) + " is unsendable, but sent to another thread!");
  }

 private:
  static void report_dropped_elsewhere(const char* type_name);
  Record* rec_;
  const char* type_name_;
  std::thread::id owner_;
};

void report_unsendable_drop(const char* type_name);

template <class Record>
void ThreadBound<Record>::report_dropped_elsewhere(const char* type_name) {
  report_unsendable_drop(type_name);
}

// ---- borrows ------------------------------------------------------------------------------------
// Borrow state of a record that some members change: the number of shared borrows held, or -1
// while a member holds it exclusively. Python code run while a member converts its arguments
// (an argument's __index__ or __float__) can call back into the same object; a call whose borrow
// conflicts with the one held is refused instead of changing the record under the first.
class BorrowFlag {
  friend class Borrow;
  long state_ = 0;
};

// Holds a borrow for its scope: RuntimeError "Already borrowed" when an exclusive borrow meets
// any other, "Already mutably borrowed" when a shared borrow meets an exclusive one.
class Borrow {
 public:
  enum Kind { shared, exclusive };
  Borrow(BorrowFlag& flag, Kind kind) : flag_(flag), kind_(kind) {
    if (kind == exclusive) {
      if (flag.state_ != 0) throw Error("Already borrowed");
      flag.state_ = -1;
    } else {
      if (flag.state_ < 0) throw Error("Already mutably borrowed");
      ++flag.state_;
    }
  }
  ~Borrow() { flag_.state_ = kind_ == exclusive ? 0 : flag_.state_ - 1; }
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;

 private:
  BorrowFlag& flag_;
  Kind kind_;
};

// ---- methods with interpreter text signatures -----------------------------------------------------
// Members are plain CPython method descriptors whose C docstring carries the text signature
// ("name($self, y)\n--\n\nDescription"; static methods without $self), so that
// __text_signature__ and inspect.signature show the real parameters.

using MethodFn = nb::object (*)(nb::handle self, const nb::args& args, const nb::kwargs& kwargs);

// Sets the Python error for the exception being handled (Error -> RuntimeError, Panic ->
// PanicException, ...) and returns nullptr. Call only inside a catch block.
PyObject* fail_with_current_exception();

template <MethodFn F>
PyObject* method_trampoline(PyObject* self, PyObject* args, PyObject* kwargs) {
  try {
    const nb::args a = nb::borrow<nb::args>(args);
    const nb::kwargs k = kwargs ? nb::borrow<nb::kwargs>(kwargs) : nb::kwargs();
    return F(self, a, k).release().ptr();
  } catch (...) {
    return fail_with_current_exception();
  }
}

template <MethodFn F>
PyObject* noargs_trampoline(PyObject* self, PyObject*) {
  try {
    return F(self, nb::args(), nb::kwargs()).release().ptr();
  } catch (...) {
    return fail_with_current_exception();
  }
}

// Installs a method table entry on the class (static: a staticmethod, self is null).
void install_method(nb::handle cls, PyMethodDef* def, bool is_static);

// Adds `name` to the class as a method descriptor; `noargs` methods take no arguments at all.
template <MethodFn F>
void def_method(nb::handle cls, const char* name, const char* doc, bool noargs = false) {
  auto* def = new PyMethodDef{};  // lives as long as the type object: once per process
  def->ml_name = name;
  def->ml_doc = doc;
  if (noargs) {
    def->ml_meth = reinterpret_cast<PyCFunction>(&noargs_trampoline<F>);
    def->ml_flags = METH_NOARGS;
  } else {
    def->ml_meth =
        reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&method_trampoline<F>));
    def->ml_flags = METH_VARARGS | METH_KEYWORDS;
  }
  install_method(cls, def, false);
}

// Adds `name` as a static method (called on the class); F receives a null self.
template <MethodFn F>
void def_static_method(nb::handle cls, const char* name, const char* doc) {
  auto* def = new PyMethodDef{};  // lives as long as the type object: once per process
  def->ml_name = name;
  def->ml_doc = doc;
  def->ml_meth =
      reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&method_trampoline<F>));
  def->ml_flags = METH_VARARGS | METH_KEYWORDS;
  install_method(cls, def, true);
}

// The record of an instance; RuntimeError when the object was never initialised (made with
// __new__ alone).
template <class T>
T& record_of(nb::handle self, const char* class_name) {
  if (!nb::inst_ready(self)) throw Error(std::string(class_name) + " object is not initialised");
  return *nb::inst_ptr<T>(self);
}

// Type slots of a class without a constructor: its tp_new raises TypeError "No constructor
// defined for {name}" for Class() and Class.__new__(Class) alike, so that no instance without a
// record can be made from Python.
// Instances the module hands out are allocated without tp_new. Pass as
// nb::class_<T>(m, name, doc, nb::type_slots(NO_CONSTRUCTOR_SLOTS)).
extern PyType_Slot NO_CONSTRUCTOR_SLOTS[];

// Appends a class name to the module's __all__.
void add_to_all(nb::module_& m, const char* name);

}  // namespace vantrel::py
