// Argument parsing and conversion for METH_FASTCALL | METH_KEYWORDS methods.
//
// A method declares its parameter names once; every parameter may then be
// given by position or by keyword. The first `required` names must be given
// (all of them by default); the rest keep the value the caller initialised
// them with when absent.
//
//   static PyObject* apply_assert(PyObject* self, PyObject* const* args,
//                                 Py_ssize_t nargs, PyObject* kwnames) {
//     return py::guarded([&]() -> PyObject* {
//       py::Args a{"apply_assert", args, nargs, kwnames, {"term", "definition"}};
//       std::string term, definition;
//       if (!a.get(0, term) || !a.get(1, definition)) return nullptr;
//       ...
//     });
//   }
//
//   // classify_extraction(term, definition, refine_threshold=None)
//   py::Args a{"classify_extraction", args, nargs, kwnames,
//              {"term", "definition", "refine_threshold"}, 2};
//   std::optional<double> threshold;          // None or absent -> nullopt
//   // epistemic_direction_report(window_size=0): an explicit None is a TypeError
//   std::size_t window = 0;
//
// `get` returns false with a Python exception set when parsing failed (missing,
// surplus, unknown or repeated arguments: TypeError) or when the value does not
// convert; a method without parameters checks `a.ok()` instead. Conversion
// errors name the argument: "argument 'term': expected str, got int"
// (TypeError), "argument 'idx': can't convert negative int to unsigned"
// (OverflowError). A str that cannot be encoded as UTF-8 passes on the
// interpreter's own error.
//
// Supported targets of `get` and `convert`:
//   std::string                  str (or subclass), as UTF-8
//   double                       float, or anything float() takes without
//                                parsing text (int, __float__, __index__)
//   bool                         bool only
//   std::uint32_t, std::uint64_t (= std::size_t), std::int64_t
//                                int or __index__; out of range: OverflowError
//   std::optional<T>             None -> nullopt, else T
//   std::vector<T>               a sequence that is not a str (list, tuple, ...)
//   std::pair<A, B>              a tuple (or subclass) of exactly two items;
//                                another length is ValueError "expected tuple
//                                of length 2, but got tuple of length 3"
//   py::DictArg                  a dict (or subclass), held
//   py::Object                   any object, held
//   py::Instance<&SomeType>      an instance of that type (or subclass), held
//
// The three object targets hold a strong reference (`get()` reads it): an
// element of a sequence may live no longer than the conversion that read it
// (a custom __getitem__ can make a fresh one per call), and code run by a
// later conversion may drop the caller's own references.
//
// Dict members are read with `dict_get`, which tells absent from present:
//
//   std::string title;
//   int r = py::dict_get(node.get(), "title", title);
//   if (r < 0) return nullptr;                         // exception set
//   if (r == 0) return py::raise_value_error("node missing 'title'");
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "py_util.hpp"

namespace kelvora::py {

// A converted object, held by a strong reference; moves, never copies.
struct Held {
  PyObject* get() const noexcept { return ref.get(); }
  Ref ref;
};

// Any object.
struct Object : Held {};

// A dict (or a dict subclass).
struct DictArg : Held {};

// An instance of `*Type` (or of a subclass). For a type made at run time,
// `Type` names a `PyTypeObject*` variable holding it.
template <PyTypeObject** Type>
struct Instance : Held {};

// ------------------------------------------------------------- conversions
// Each converts `o` into `out` and returns true, or raises and returns false.
// `arg` names the argument in the message; nullptr gives the bare message.

bool convert(PyObject* o, std::string& out, const char* arg);
bool convert(PyObject* o, double& out, const char* arg);
bool convert(PyObject* o, bool& out, const char* arg);
bool convert(PyObject* o, std::uint32_t& out, const char* arg);
bool convert(PyObject* o, std::uint64_t& out, const char* arg);
bool convert(PyObject* o, std::int64_t& out, const char* arg);
bool convert(PyObject* o, Object& out, const char* arg);
bool convert(PyObject* o, DictArg& out, const char* arg);

// Raises TypeError "[argument 'x': ]expected {what}, got {type of o}".
bool type_error(PyObject* o, const char* what, const char* arg);

template <PyTypeObject** Type>
bool convert(PyObject* o, Instance<Type>& out, const char* arg) {
  if (*Type == nullptr || !PyObject_TypeCheck(o, *Type)) {
    const char* name = *Type ? (*Type)->tp_name : "object";
    // Heap types keep the dotted path in tp_name; the last part reads best.
    if (const char* dot = std::strrchr(name, '.')) name = dot + 1;
    return type_error(o, name, arg);
  }
  out.ref = Ref::borrow(o);
  return true;
}

template <class T>
bool convert(PyObject* o, std::optional<T>& out, const char* arg) {
  if (o == Py_None) {
    out.reset();
    return true;
  }
  T value{};
  if (!convert(o, value, arg)) return false;
  out = std::move(value);
  return true;
}

// Raises ValueError "expected tuple of length {expected}, but got tuple of length {got}".
bool tuple_length_error(std::size_t expected, Py_ssize_t got);

template <class A, class B>
bool convert(PyObject* o, std::pair<A, B>& out, const char* arg) {
  if (!PyTuple_Check(o)) return type_error(o, "tuple", arg);
  if (PyTuple_GET_SIZE(o) != 2) return tuple_length_error(2, PyTuple_GET_SIZE(o));
  return convert(PyTuple_GET_ITEM(o, 0), out.first, arg) &&
         convert(PyTuple_GET_ITEM(o, 1), out.second, arg);
}

// An iterator over `o`, which must be a sequence that is not a str; nullptr
// with an exception set otherwise.
PyObject* sequence_iter(PyObject* o, const char* arg);

// Items are taken one at a time from the sequence's iterator and each is held
// while it converts: a conversion may run Python code (__index__, __float__)
// that changes the caller's list, and a list being changed is read safely
// only through its iterator.
template <class T>
bool convert(PyObject* o, std::vector<T>& out, const char* arg) {
  Ref it(sequence_iter(o, arg));
  if (!it) return false;
  std::vector<T> items;
  if (PyList_Check(o) || PyTuple_Check(o)) items.reserve(static_cast<std::size_t>(Py_SIZE(o)));
  while (Ref item{PyIter_Next(it.get())}) {
    T value{};
    if (!convert(item.get(), value, arg)) return false;
    items.push_back(std::move(value));
  }
  if (PyErr_Occurred()) return false;
  out = std::move(items);
  return true;
}

// --------------------------------------------------------------- dict access

// Looks up `key` in dict `d`: 1 with `out` holding a new reference, 0 when
// the key is absent, -1 with an exception set.
int dict_item(PyObject* d, const char* key, Ref& out);

// Looks up and converts `key` (errors carry no argument name): 1 converted,
// 0 absent (`out` untouched), -1 with an exception set.
template <class T>
int dict_get(PyObject* d, const char* key, T& out) {
  Ref item;
  const int r = dict_item(d, key, item);
  if (r <= 0) return r;
  return convert(item.get(), out, nullptr) ? 1 : -1;
}

// ------------------------------------------------------------------- parsing

class Args {
 public:
  static constexpr std::size_t kAll = static_cast<std::size_t>(-1);

  // Vectorcall arguments: `args[0..nargs)` positional, then one value per
  // name in `kwnames`. `fname` is used in messages ("fname() missing ...").
  Args(const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
       std::initializer_list<const char*> names, std::size_t required = kAll);
  // tp_new/tp_init style arguments: a tuple and a dict (either may be null).
  Args(const char* fname, PyObject* args, PyObject* kwargs,
       std::initializer_list<const char*> names, std::size_t required = kAll);

  // False when parsing failed; the TypeError is set.
  bool ok() const { return ok_; }
  explicit operator bool() const { return ok_; }

  // Whether parameter `i` was given (None counts as given).
  bool given(std::size_t i) const { return ok_ && values_.at(i) != nullptr; }
  // The object given for parameter `i`, borrowed; nullptr when absent.
  PyObject* raw(std::size_t i) const { return ok_ ? values_.at(i) : nullptr; }

  // Converts parameter `i` into `out`; an absent optional parameter leaves
  // `out` as it is.
  template <class T>
  bool get(std::size_t i, T& out) const {
    if (!ok_) return false;
    PyObject* v = values_.at(i);
    return v == nullptr || convert(v, out, names_.at(i));
  }

 private:
  bool set_keyword(PyObject* name, PyObject* value);
  bool check_positional(Py_ssize_t nargs);
  bool check_missing();

  const char* fname_;
  std::vector<const char*> names_;
  std::vector<PyObject*> values_;
  std::size_t required_;
  bool ok_ = false;
};

}  // namespace kelvora::py
