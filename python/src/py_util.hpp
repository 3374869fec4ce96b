// Owning references, the boundary guard that turns C++ failures into Python
// exceptions, and builders for the values handed back to Python.
//
// Every C entry point (method, tp_new, module init) runs its body through
// `guarded`, so no C++ exception ever crosses into the interpreter:
//
//   static PyObject* state_hash(PyObject* self, PyObject*) {
//     return py::guarded([&]() -> PyObject* {
//       return py::to_py(as_state(self).state.state_hash().to_hex());
//     });
//   }
//
// Results: `to_py` converts one value (str, int, float, bool, None, optional,
// vector, pair) into a new reference; `Dict` and `List` collect entries and
// remember the first failure, so a builder chain needs one check at the end:
//
//   py::Dict d;
//   d.set("term", c.term).set("status", kelvora::name(c.status));
//   return d.release();  // nullptr with the exception set if any step failed
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "kelvora/error.hpp"

namespace kelvora::py {

// A strong reference, released on scope exit; moves, never copies.
class Ref {
 public:
  Ref() noexcept = default;
  // Takes over `owned` (a new reference, or nullptr).
  explicit Ref(PyObject* owned) noexcept : p_(owned) {}
  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : p_(other.release()) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  // Hands the reference to the caller.
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  void reset(PyObject* owned = nullptr) noexcept { Py_XDECREF(std::exchange(p_, owned)); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// ------------------------------------------------------------------ failures

// The type `pyo3_runtime.PanicException` (a BaseException subclass, so that
// `except Exception` does not swallow it). Created on first use; the module
// creates it at import. Borrowed; nullptr with an exception set on failure.
PyObject* panic_exception_type();

// Writes `message` to standard error and raises PanicException with it.
// Always returns nullptr.
PyObject* raise_panic(const char* message);

// Raises ValueError with the error's display text. Always returns nullptr.
PyObject* raise_engine_error(const EngineError& error);

// Raises ValueError with `message`. Always returns nullptr.
PyObject* raise_value_error(std::string_view message);

// Sets up, once per thread, what the runtime otherwise sets up on the
// thread's first exception or first use of thread-local data: the exception
// data of the thread, this library's thread-local block and the digest's
// context. Each is made by an allocation whose failure ends the process, so
// it is made here, at a call's entry, before the call needs any memory of
// its own; a bad_alloc later in the thread then becomes MemoryError. Throws
// bad_alloc when the digest's context cannot be made (it is tried again).
void prepare_thread();

// Runs `body`, mapping a C++ exception that escapes it to a Python exception;
// the entry point then returns its failure value (nullptr for objects, -1 for
// int slots).
template <class F>
auto guarded(F&& body) noexcept -> std::invoke_result_t<F&> {
  using R = std::invoke_result_t<F&>;
  try {
    prepare_thread();
    return body();
  } catch (const InternalFault& e) {
    raise_panic(e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    // Anything else is a fault of ours too; never let it unwind into C.
    raise_panic(e.what());
  } catch (...) {
    raise_panic("unknown C++ exception");
  }
  if constexpr (std::is_pointer_v<R>) {
    return nullptr;
  } else {
    return R(-1);
  }
}

// ------------------------------------------------------------------- classes

// The flags of a method that takes its arguments as a vector plus keyword names.
constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

// Such a method as a method table holds it. The table has one function type;
// the interpreter calls the entry by its flags, so the entry is cast to that
// type through a pointer to a function of no arguments (the cast the compiler
// does not warn about).
using FastcallFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
inline PyCFunction fastcall(FastcallFunction fn) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

// A class of the module. It has no module of its own: a name "builtins.X"
// only keeps the interpreter from warning about a missing __module__ (which
// reads "builtins"); __name__ stays "X". It cannot be subclassed and has no
// dict or weak-reference slot.
struct ClassDef {
  const char* qualified_name;
  std::size_t object_size;
  const char* doc;  // nullptr: none
  newfunc make;
  destructor dealloc;
  PyMethodDef* methods;  // kept by the class
};

// Creates the class on the first call (kept in `type` for the life of the
// process, like the module) and adds it to `module` under the part of its
// name after the last dot. Returns 0, or -1 with a Python exception set.
int add_type(PyObject* module, const ClassDef& def, PyTypeObject*& type);

// ------------------------------------------------------------------- results
// Each returns a new reference, or nullptr with an exception set.

inline PyObject* none() { Py_RETURN_NONE; }
inline PyObject* to_py(std::nullopt_t) { return none(); }
inline PyObject* to_py(std::nullptr_t) { return none(); }
// Texts are UTF-8; bytes that are not raise UnicodeDecodeError.
inline PyObject* to_py(std::string_view s) {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr);
}
inline PyObject* to_py(const std::string& s) { return to_py(std::string_view(s)); }
inline PyObject* to_py(const char* s) { return to_py(std::string_view(s)); }
inline PyObject* to_py(bool b) { return PyBool_FromLong(b ? 1 : 0); }
inline PyObject* to_py(double d) { return PyFloat_FromDouble(d); }
template <std::signed_integral T>
PyObject* to_py(T v) {
  return PyLong_FromLongLong(static_cast<long long>(v));
}
template <std::unsigned_integral T>
  requires(!std::same_as<T, bool>)
PyObject* to_py(T v) {
  return PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(v));
}
// An object already built: the reference is taken over.
inline PyObject* to_py(Ref&& r) { return r.release(); }

template <class T>
PyObject* to_py(const std::optional<T>& v) {
  return v ? to_py(*v) : none();
}
template <class A, class B>
PyObject* to_py(const std::pair<A, B>& p) {
  Ref a(to_py(p.first));
  if (!a) return nullptr;
  Ref b(to_py(p.second));
  if (!b) return nullptr;
  return PyTuple_Pack(2, a.get(), b.get());
}
template <class T>
PyObject* to_py(const std::vector<T>& items);

// A list built element by element; the first failure sticks.
class List {
 public:
  List() : list_(PyList_New(0)) {}
  template <class T>
  List& append(T&& value) {
    if (!list_) return *this;
    Ref item(to_py(std::forward<T>(value)));
    if (!item || PyList_Append(list_.get(), item.get()) < 0) list_.reset();
    return *this;
  }
  bool ok() const { return static_cast<bool>(list_); }
  PyObject* release() { return list_.release(); }

 private:
  Ref list_;
};

// A dict whose keys keep the order in which they were set.
class Dict {
 public:
  Dict() : dict_(PyDict_New()) {}
  template <class T>
  Dict& set(const char* key, T&& value) {
    if (!dict_) return *this;
    Ref item(to_py(std::forward<T>(value)));
    if (!item || PyDict_SetItemString(dict_.get(), key, item.get()) < 0) dict_.reset();
    return *this;
  }
  template <class T>
  Dict& set(std::string_view key, T&& value) {
    if (!dict_) return *this;
    Ref k(to_py(key));
    Ref item(k ? to_py(std::forward<T>(value)) : nullptr);
    if (!item || PyDict_SetItem(dict_.get(), k.get(), item.get()) < 0) dict_.reset();
    return *this;
  }
  bool ok() const { return static_cast<bool>(dict_); }
  PyObject* release() { return dict_.release(); }

 private:
  Ref dict_;
};

template <class T>
PyObject* to_py(const std::vector<T>& items) {
  List list;
  for (const auto& item : items) {
    if (!list.append(item).ok()) break;
  }
  return list.release();
}

// A list of `fn(item)` for each item; `fn` returns a new reference or nullptr.
template <class Range, class Fn>
PyObject* list_of(const Range& items, Fn&& fn) {
  List list;
  for (const auto& item : items) {
    Ref r(fn(item));
    if (!r) return nullptr;
    if (!list.append(std::move(r)).ok()) break;
  }
  return list.release();
}

}  // namespace kelvora::py
