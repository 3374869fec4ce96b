#include "args.hpp"

#include <algorithm>
#include <string>

namespace kelvora::py {
namespace {

bool raise_named(PyObject* type, const char* arg, const char* message) {
  if (arg != nullptr) {
    PyErr_Format(type, "argument '%s': %s", arg, message);
  } else {
    PyErr_SetString(type, message);
  }
  return false;
}

// `o` as an int: itself, or the result of its __index__.
PyObject* as_index(PyObject* o, const char* arg) {
  if (PyLong_Check(o)) return Py_NewRef(o);
  if (!PyIndex_Check(o)) {
    type_error(o, "int", arg);
    return nullptr;
  }
  return PyNumber_Index(o);
}

bool read_unsigned(PyObject* o, unsigned long long max, unsigned long long& out, const char* arg) {
  Ref index(as_index(o, arg));
  if (!index) return false;
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (v == -1 && PyErr_Occurred()) return false;
  if (overflow < 0 || (overflow == 0 && v < 0)) {
    return raise_named(PyExc_OverflowError, arg, "can't convert negative int to unsigned");
  }
  unsigned long long u = static_cast<unsigned long long>(v);
  if (overflow > 0) {
    u = PyLong_AsUnsignedLongLong(index.get());
    if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
      PyErr_Clear();
      return raise_named(PyExc_OverflowError, arg, "int too large to convert");
    }
  }
  if (u > max) return raise_named(PyExc_OverflowError, arg, "int too large to convert");
  out = u;
  return true;
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string quoted_list(const std::vector<const char*>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

}  // namespace

bool type_error(PyObject* o, const char* what, const char* arg) {
  const char* got = Py_TYPE(o)->tp_name;
  if (arg != nullptr) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected %s, got %.200s", arg, what, got);
  } else {
    PyErr_Format(PyExc_TypeError, "expected %s, got %.200s", what, got);
  }
  return false;
}

bool tuple_length_error(std::size_t expected, Py_ssize_t got) {
  PyErr_Format(PyExc_ValueError, "expected tuple of length %zu, but got tuple of length %zd",
               expected, got);
  return false;
}

bool convert(PyObject* o, std::string& out, const char* arg) {
  if (!PyUnicode_Check(o)) return type_error(o, "str", arg);
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(o, &size);
  if (data == nullptr) return false;  // a lone surrogate: the interpreter's error
  out.assign(data, static_cast<std::size_t>(size));
  return true;
}

bool convert(PyObject* o, double& out, const char* arg) {
  if (PyFloat_Check(o)) {
    out = PyFloat_AS_DOUBLE(o);
    return true;
  }
  const double d = PyFloat_AsDouble(o);
  if (d == -1.0 && PyErr_Occurred()) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      return type_error(o, "float", arg);
    }
    if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
      PyErr_Clear();
      return raise_named(PyExc_OverflowError, arg, "int too large to convert to float");
    }
    return false;
  }
  out = d;
  return true;
}

bool convert(PyObject* o, bool& out, const char* arg) {
  if (!PyBool_Check(o)) return type_error(o, "bool", arg);
  out = o == Py_True;
  return true;
}

bool convert(PyObject* o, std::uint32_t& out, const char* arg) {
  unsigned long long v = 0;
  if (!read_unsigned(o, UINT32_MAX, v, arg)) return false;
  out = static_cast<std::uint32_t>(v);
  return true;
}

bool convert(PyObject* o, std::uint64_t& out, const char* arg) {
  unsigned long long v = 0;
  if (!read_unsigned(o, UINT64_MAX, v, arg)) return false;
  out = static_cast<std::uint64_t>(v);
  return true;
}

bool convert(PyObject* o, std::int64_t& out, const char* arg) {
  Ref index(as_index(o, arg));
  if (!index) return false;
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (v == -1 && PyErr_Occurred()) return false;
  if (overflow != 0) return raise_named(PyExc_OverflowError, arg, "int out of range");
  out = static_cast<std::int64_t>(v);
  return true;
}

bool convert(PyObject* o, Object& out, const char*) {
  out.ref = Ref::borrow(o);
  return true;
}

bool convert(PyObject* o, DictArg& out, const char* arg) {
  if (!PyDict_Check(o)) return type_error(o, "dict", arg);
  out.ref = Ref::borrow(o);
  return true;
}

PyObject* sequence_iter(PyObject* o, const char* arg) {
  if (PyUnicode_Check(o)) {
    raise_named(PyExc_TypeError, arg, "can't convert str to a list");
    return nullptr;
  }
  if (!PySequence_Check(o)) {
    type_error(o, "a sequence", arg);
    return nullptr;
  }
  return PyObject_GetIter(o);
}

int dict_item(PyObject* d, const char* key, Ref& out) {
  if (!PyDict_Check(d)) {
    type_error(d, "dict", nullptr);
    return -1;
  }
  Ref k(PyUnicode_FromString(key));
  if (!k) return -1;
  PyObject* v = PyDict_GetItemWithError(d, k.get());
  if (v == nullptr) return PyErr_Occurred() ? -1 : 0;
  // Own it: converting other members may run code that changes the dict.
  out = Ref::borrow(v);
  return 1;
}

// ------------------------------------------------------------------ Args

Args::Args(const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
           std::initializer_list<const char*> names, std::size_t required)
    : fname_(fname),
      names_(names),
      values_(names.size(), nullptr),
      required_(std::min(required, names.size())) {
  nargs = PyVectorcall_NARGS(nargs);
  if (!check_positional(nargs)) return;
  for (Py_ssize_t i = 0; i < nargs; ++i) values_[static_cast<std::size_t>(i)] = args[i];
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t j = 0; j < nkw; ++j) {
      if (!set_keyword(PyTuple_GET_ITEM(kwnames, j), args[nargs + j])) return;
    }
  }
  ok_ = check_missing();
}

Args::Args(const char* fname, PyObject* args, PyObject* kwargs,
           std::initializer_list<const char*> names, std::size_t required)
    : fname_(fname),
      names_(names),
      values_(names.size(), nullptr),
      required_(std::min(required, names.size())) {
  const Py_ssize_t nargs = args != nullptr ? PyTuple_GET_SIZE(args) : 0;
  if (!check_positional(nargs)) return;
  for (Py_ssize_t i = 0; i < nargs; ++i) {
    values_[static_cast<std::size_t>(i)] = PyTuple_GET_ITEM(args, i);
  }
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!set_keyword(key, value)) return;
    }
  }
  ok_ = check_missing();
}

bool Args::check_positional(Py_ssize_t nargs) {
  const std::size_t n = names_.size();
  if (static_cast<std::size_t>(nargs) <= n) return true;
  const char* were = nargs == 1 ? "was" : "were";
  if (required_ == n) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zu positional argument%s but %zd %s given", fname_,
                 n, n == 1 ? "" : "s", nargs, were);
  } else {
    PyErr_Format(PyExc_TypeError,
                 "%s() takes from %zu to %zu positional arguments but %zd %s given", fname_,
                 required_, n, nargs, were);
  }
  return false;
}

bool Args::set_keyword(PyObject* name, PyObject* value) {
  if (!PyUnicode_Check(name)) {
    PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", fname_);
    return false;
  }
  for (std::size_t i = 0; i < names_.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(name, names_[i]) != 0) continue;
    if (values_[i] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", fname_,
                   names_[i]);
      return false;
    }
    values_[i] = value;
    return true;
  }
  PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fname_, name);
  return false;
}

bool Args::check_missing() {
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < required_; ++i) {
    if (values_[i] == nullptr) missing.push_back(names_[i]);
  }
  if (missing.empty()) return true;
  const std::string list = quoted_list(missing);
  PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", fname_,
               missing.size(), missing.size() == 1 ? "" : "s", list.c_str());
  return false;
}

}  // namespace kelvora::py
