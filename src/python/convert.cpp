#include "python/convert.hpp"

#include <cstring>
#include <new>
#include <string_view>
#include <utility>

namespace vantrel::py {

nb::str message_text(std::string_view msg) {
  PyObject* text = PyUnicode_DecodeUTF8(msg.data(), static_cast<Py_ssize_t>(msg.size()), "replace");
  if (!text) throw nb::python_error();
  return nb::steal<nb::str>(text);
}

void set_error(PyObject* type, std::string_view msg) {
  PyObject* text = PyUnicode_DecodeUTF8(msg.data(), static_cast<Py_ssize_t>(msg.size()), "replace");
  if (!text) return;  // the decoder's own error (out of memory) stands
  PyErr_SetObject(type, text);
  Py_DECREF(text);
}

namespace {

PyObject* g_panic_type = nullptr;

std::string type_name_of(nb::handle h) {
  PyTypeObject* t = Py_TYPE(h.ptr());
  return t->tp_name ? std::string(t->tp_name).substr(std::string(t->tp_name).rfind('.') + 1)
                    : std::string("object");
}

[[noreturn]] void raise(PyObject* type, const std::string& msg) {
  set_error(type, msg);
  throw nb::python_error();
}

// Runs a conversion; a TypeError it raises comes back as "argument '{name}': {msg}" with the
// original error as its cause. Other errors pass unchanged.
template <class F>
auto converting(const char* name, F&& f) -> decltype(f()) {
  try {
    return f();
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_TypeError)) throw;
    nb::object cause = nb::borrow(e.value());
    std::string msg = std::string("argument '") + name + "': " + nb::str(cause).c_str();
    nb::object err = nb::steal(PyObject_CallFunction(PyExc_TypeError, "s", msg.c_str()));
    if (!err.is_valid()) throw nb::python_error();
    PyException_SetCause(err.ptr(), cause.inc_ref().ptr());
    PyErr_SetObject(PyExc_TypeError, err.ptr());
    throw nb::python_error();
  }
}

[[noreturn]] void cannot_convert(nb::handle h, const char* target) {
  raise(PyExc_TypeError,
        "'" + type_name_of(h) + "' object cannot be converted to '" + target + "'");
}

double real_of(nb::handle h) {
  const double x = PyFloat_AsDouble(h.ptr());
  if (x == -1.0 && PyErr_Occurred()) throw nb::python_error();
  return x;
}

void check_tuple_len(nb::handle h, std::size_t len) {
  if (!PyTuple_Check(h.ptr())) cannot_convert(h, "PyTuple");
  const auto got = static_cast<std::size_t>(PyTuple_GET_SIZE(h.ptr()));
  if (got != len)
    raise(PyExc_ValueError, "expected tuple of length " + std::to_string(len) +
                                ", but got tuple of length " + std::to_string(got));
}

std::string join_names(const std::vector<const char*>& names) {
  std::string s;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) s += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    s += "'";
    s += names[i];
    s += "'";
  }
  return s;
}

template <class T>
nb::object array_result(std::vector<T>&& v, std::initializer_list<std::size_t> shape) {
  auto* owned = new std::vector<T>(std::move(v));
  nb::capsule keeper(owned, [](void* p) noexcept { delete static_cast<std::vector<T>*>(p); });
  std::vector<std::size_t> dims(shape);
  return nb::ndarray<nb::numpy, T>(owned->data(), dims.size(), dims.data(), keeper).cast();
}

}  // namespace

nb::handle panic_exception_type() {
  if (g_panic_type) return g_panic_type;
  // One class per interpreter, shared by every module of ours that raises it (the private
  // testing module too), kept in the interpreter's own state dictionary.
  PyObject* state = PyInterpreterState_GetDict(PyInterpreterState_Get());
  if (!state) throw nb::python_error();
  const char* key = "vantrel.PanicException";
  PyObject* existing = PyDict_GetItemString(state, key);  // borrowed
  if (existing) {
    g_panic_type = existing;
    Py_INCREF(g_panic_type);
    return g_panic_type;
  }
  g_panic_type = PyErr_NewExceptionWithDoc(
      "pyo3_runtime.PanicException",
      "The exception raised when the solver stops on a broken invariant.", PyExc_BaseException,
      nullptr);
  if (!g_panic_type || PyDict_SetItemString(state, key, g_panic_type) != 0)
    throw nb::python_error();
  return g_panic_type;
}

namespace {

void raise_panic(const Panic& e) {
  eprint("vantrel stopped: " + e.message() + "\n");
  PyErr_SetObject(panic_exception_type().ptr(), nb::make_tuple(message_text(e.message())).ptr());
}

}  // namespace

void install_exception_translators() {
  nb::register_exception_translator([](const std::exception_ptr& p, void*) {
    try {
      std::rethrow_exception(p);
    } catch (const Error& e) {
      set_error(PyExc_RuntimeError, e.message());
    } catch (const Panic& e) {
      raise_panic(e);
    }
  });
}

PyObject* fail_with_current_exception() {
  try {
    throw;
  } catch (nb::python_error& e) {
    e.restore();
  } catch (const Error& e) {
    set_error(PyExc_RuntimeError, e.message());
  } catch (const Panic& e) {
    raise_panic(e);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    set_error(PyExc_SystemError, e.what());
  }
  return nullptr;
}

void install_method(nb::handle cls, PyMethodDef* def, bool is_static) {
  nb::object member;
  if (is_static) {
    nb::object fn = nb::steal(PyCFunction_NewEx(def, nullptr, nullptr));
    if (!fn.is_valid()) throw nb::python_error();
    member = nb::steal(PyStaticMethod_New(fn.ptr()));
  } else {
    member = nb::steal(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls.ptr()), def));
  }
  if (!member.is_valid()) throw nb::python_error();
  if (PyObject_SetAttrString(cls.ptr(), def->ml_name, member.ptr()) != 0)
    throw nb::python_error();
}

Call::Call(const char* callable, std::initializer_list<Param> params, const nb::args& args,
           const nb::kwargs& kwargs) {
  const std::size_t n = params.size();
  std::size_t n_required = 0;
  for (const Param& p : params) {
    names_.push_back(p.name);
    if (!p.has_default) ++n_required;
  }
  values_.assign(n, nb::handle());
  const std::size_t n_pos = static_cast<std::size_t>(PyTuple_GET_SIZE(args.ptr()));
  if (n_pos > n) {
    std::string takes = n_required == n
                            ? std::to_string(n)
                            : "from " + std::to_string(n_required) + " to " + std::to_string(n);
    raise(PyExc_TypeError, std::string(callable) + " takes " + takes +
                               " positional arguments but " + std::to_string(n_pos) +
                               (n_pos == 1 ? " was" : " were") + " given");
  }
  for (std::size_t i = 0; i < n_pos; ++i) values_[i] = args[i];
  for (auto [key, value] : kwargs) {
    const nb::str key_text(key);
    Py_ssize_t key_len = 0;
    const char* key_utf8 = PyUnicode_AsUTF8AndSize(key_text.ptr(), &key_len);
    if (!key_utf8) throw nb::python_error();
    const std::string k(key_utf8, static_cast<std::size_t>(key_len));
    std::size_t i = 0;
    while (i < n && k != names_[i]) ++i;
    if (i == n)
      raise(PyExc_TypeError,
            std::string(callable) + " got an unexpected keyword argument '" + k + "'");
    if (values_[i].is_valid())
      raise(PyExc_TypeError,
            std::string(callable) + " got multiple values for argument '" + k + "'");
    values_[i] = value;
  }
  std::vector<const char*> missing;
  std::size_t i = 0;
  for (const Param& p : params) {
    if (!p.has_default && !values_[i].is_valid()) missing.push_back(p.name);
    ++i;
  }
  if (!missing.empty())
    raise(PyExc_TypeError, std::string(callable) + " missing " + std::to_string(missing.size()) +
                               " required positional argument" +
                               (missing.size() == 1 ? "" : "s") + ": " + join_names(missing));
}

u64 arg_index(nb::handle h, const char* name) {
  return converting(name, [&]() -> u64 {
    nb::object i = nb::steal(PyNumber_Index(h.ptr()));
    if (!i.is_valid()) throw nb::python_error();
    const unsigned long long v = PyLong_AsUnsignedLongLong(i.ptr());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw nb::python_error();
    return v;
  });
}

i32 arg_tag(nb::handle h, const char* name) {
  return converting(name, [&]() -> i32 {
    nb::object i = nb::steal(PyNumber_Index(h.ptr()));
    if (!i.is_valid()) throw nb::python_error();
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(i.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow != 0 || v < INT32_MIN || v > INT32_MAX)
      raise(PyExc_OverflowError, "out of range integral type conversion attempted");
    return static_cast<i32>(v);
  });
}

double arg_real(nb::handle h, const char* name) {
  return converting(name, [&] { return real_of(h); });
}

std::string arg_text(nb::handle h, const char* name) {
  return converting(name, [&]() -> std::string {
    if (!PyUnicode_Check(h.ptr())) cannot_convert(h, "PyString");
    Py_ssize_t size = 0;
    const char* s = PyUnicode_AsUTF8AndSize(h.ptr(), &size);
    if (!s) throw nb::python_error();
    return std::string(s, static_cast<std::size_t>(size));
  });
}

std::span<const std::uint8_t> arg_bytes(nb::handle h, const char* name) {
  return converting(name, [&]() -> std::span<const std::uint8_t> {
    if (!PyBytes_Check(h.ptr())) cannot_convert(h, "PyBytes");
    return {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(h.ptr())),
            static_cast<std::size_t>(PyBytes_GET_SIZE(h.ptr()))};
  });
}

Vec3 arg_triple(nb::handle h, const char* name) {
  return converting(name, [&]() -> Vec3 {
    check_tuple_len(h, 3);
    nb::handle t = h;
    return {real_of(PyTuple_GET_ITEM(t.ptr(), 0)), real_of(PyTuple_GET_ITEM(t.ptr(), 1)),
            real_of(PyTuple_GET_ITEM(t.ptr(), 2))};
  });
}

bool arg_flag(nb::handle h, const char* name) {
  return converting(name, [&]() -> bool {
    if (PyBool_Check(h.ptr())) return h.ptr() == Py_True;
    // NumPy's boolean scalar: "bool_" in NumPy 1, "bool" in NumPy 2, both in module numpy.
    PyTypeObject* t = Py_TYPE(h.ptr());
    nb::object mod = nb::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(t), "__module__"));
    if (!mod.is_valid()) PyErr_Clear();
    const std::string_view tname = t->tp_name ? t->tp_name : "";
    const bool numpy_bool = mod.is_valid() && PyUnicode_Check(mod.ptr()) &&
                            std::string_view(nb::str(mod).c_str()) == "numpy" &&
                            (tname == "bool_" || tname == "bool" || tname == "numpy.bool_" ||
                             tname == "numpy.bool");
    if (!numpy_bool) cannot_convert(h, "PyBool");
    const int r = PyObject_IsTrue(h.ptr());
    if (r < 0) {
      PyErr_Clear();
      raise(PyExc_TypeError,
            "object of type '" + type_name_of(h) + "' does not define a '__bool__' conversion");
    }
    return r == 1;
  });
}

VectorArg::VectorArg(nb::handle h, const char* name) {
  converting(name, [&] {
    static nb::object ndarray_type = nb::module_::import_("numpy").attr("ndarray");
    if (!PyObject_IsInstance(h.ptr(), ndarray_type.ptr())) cannot_convert(h, "PyArray<T, D>");
    if (PyObject_GetBuffer(h.ptr(), &view_, PyBUF_STRIDES | PyBUF_FORMAT) != 0) {
      PyErr_Clear();
      cannot_convert(h, "PyArray<T, D>");
    }
    const char* f = view_.format ? view_.format : "B";
    const bool native_double =
        (std::strcmp(f, "d") == 0 || std::strcmp(f, "=d") == 0 || std::strcmp(f, "@d") == 0 ||
         (std::strcmp(f, "<d") == 0 && std::endian::native == std::endian::little));
    if (view_.ndim != 1 || !native_double) {
      PyBuffer_Release(&view_);
      view_.obj = nullptr;
      cannot_convert(h, "PyArray<T, D>");
    }
    size_ = static_cast<std::size_t>(view_.shape[0]);
    contiguous_ = size_ <= 1 || view_.strides[0] == static_cast<Py_ssize_t>(sizeof(double));
    return 0;
  });
}

VectorArg::~VectorArg() {
  if (view_.obj) PyBuffer_Release(&view_);
}

std::span<const double> VectorArg::data() const {
  if (!contiguous_) throw Error("The given array is not contiguous");
  return {static_cast<const double*>(view_.buf), size_};
}

std::vector<nb::tuple> arg_tuple_list(nb::handle h, const char* name, std::size_t len) {
  return converting(name, [&]() -> std::vector<nb::tuple> {
    std::vector<nb::tuple> out;
    if (h.is_none()) return out;
    if (PyUnicode_Check(h.ptr())) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(h.ptr())) cannot_convert(h, "Sequence");
    const Py_ssize_t n = PySequence_Size(h.ptr());
    if (n < 0) throw nb::python_error();
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      nb::object item = nb::steal(PySequence_GetItem(h.ptr(), i));
      if (!item.is_valid()) throw nb::python_error();
      check_tuple_len(item, len);
      out.push_back(nb::borrow<nb::tuple>(item));
    }
    return out;
  });
}

double item_real(const nb::tuple& t, std::size_t i, const char* name) {
  return arg_real(t[i], name);
}
i32 item_tag(const nb::tuple& t, std::size_t i, const char* name) { return arg_tag(t[i], name); }
u64 item_index(const nb::tuple& t, std::size_t i, const char* name) {
  return arg_index(t[i], name);
}
Vec3 item_triple(const nb::tuple& t, std::size_t i, const char* name) {
  return arg_triple(t[i], name);
}
bool item_flag(const nb::tuple& t, std::size_t i, const char* name) { return arg_flag(t[i], name); }
std::optional<Vec3> item_optional_triple(const nb::tuple& t, std::size_t i, const char* name) {
  if (t[i].is_none()) return std::nullopt;
  return arg_triple(t[i], name);
}

void raise_cannot_convert(nb::handle h, const char* target, const char* name) {
  converting(name, [&]() -> int { cannot_convert(h, target); });
  throw nb::python_error();  // unreachable
}

nb::object vector_result(std::vector<double>&& v) {
  const std::size_t n = v.size();
  return array_result(std::move(v), {n});
}
nb::object complex_vector_result(std::vector<cplx>&& v) {
  const std::size_t n = v.size();
  return array_result(std::move(v), {n});
}
nb::object index_vector_result(std::vector<std::int64_t>&& v) {
  const std::size_t n = v.size();
  return array_result(std::move(v), {n});
}
nb::object grid_result(std::vector<double>&& flat, std::size_t rows, std::size_t cols) {
  return array_result(std::move(flat), {rows, cols});
}
nb::object complex_grid_result(std::vector<cplx>&& flat, std::size_t rows, std::size_t cols) {
  return array_result(std::move(flat), {rows, cols});
}

nb::object nodal_result(const std::optional<std::vector<CVec3>>& values) {
  if (!values) return nb::none();
  std::vector<cplx> flat;
  flat.reserve(3 * values->size());
  for (const CVec3& v : *values) flat.insert(flat.end(), v.begin(), v.end());
  return complex_grid_result(std::move(flat), values->size(), 3);
}

void report_unsendable_drop(const char* type_name) {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  const std::string msg = std::string(type_name) + " is unsendable, but is being dropped on another thread";
  PyErr_SetString(PyExc_RuntimeError, msg.c_str());
  PyErr_WriteUnraisable(nullptr);
  PyErr_Restore(type, value, tb);
}

namespace {

PyObject* refuse_new(PyTypeObject* type, PyObject*, PyObject*) {
  PyObject* name = PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__");
  if (!name) return nullptr;
  PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name);
  Py_DECREF(name);
  return nullptr;
}

}  // namespace

PyType_Slot NO_CONSTRUCTOR_SLOTS[] = {{Py_tp_new, reinterpret_cast<void*>(&refuse_new)},
                                      {0, nullptr}};

void add_to_all(nb::module_& m, const char* name) {
  nb::list all = nb::borrow<nb::list>(m.attr("__all__"));
  all.append(nb::str(name));
}

}  // namespace vantrel::py
