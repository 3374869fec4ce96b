#include "py_util.hpp"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <new>

#include "kelvora/sha256.hpp"

namespace kelvora::py {
namespace {

// Strong reference kept for the life of the process, like the module itself.
PyObject* g_panic_type = nullptr;

PyObject* text(std::string_view s) {
  // Replace rather than fail: the exception must get through.
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
}

}  // namespace

void prepare_thread() {
  thread_local bool ready = false;  // its first use makes this library's block
  if (ready) return;
  try {
    throw std::bad_alloc();  // the runtime makes the thread's exception data
  } catch (const std::bad_alloc&) {
  }
  (void)serialization::compute_hash({});
  ready = true;
}

PyObject* panic_exception_type() {
  if (g_panic_type == nullptr) {
    g_panic_type = PyErr_NewExceptionWithDoc(
        "pyo3_runtime.PanicException",
        "Raised when the engine hits an internal fault.\n\n"
        "Derived from BaseException, like SystemExit, so that `except Exception`\n"
        "does not swallow it.",
        PyExc_BaseException, nullptr);
  }
  return g_panic_type;
}

PyObject* raise_panic(const char* message) {
  std::fprintf(stderr, "kelvora: internal fault: %s\n", message);
  std::fflush(stderr);
  PyObject* type = panic_exception_type();
  if (type == nullptr) return nullptr;  // creating the type raised already
  Ref msg(text(message));
  if (msg) PyErr_SetObject(type, msg.get());
  return nullptr;
}

PyObject* raise_value_error(std::string_view message) {
  Ref msg(text(message));
  if (msg) PyErr_SetObject(PyExc_ValueError, msg.get());
  return nullptr;
}

PyObject* raise_engine_error(const EngineError& error) {
  return raise_value_error(error.message());
}

int add_type(PyObject* module, const ClassDef& def, PyTypeObject*& type) {
  if (type == nullptr) {
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(def.make)},
        {Py_tp_dealloc, reinterpret_cast<void*>(def.dealloc)},
        {Py_tp_methods, def.methods},
        {Py_tp_doc, const_cast<char*>(def.doc)},
        {0, nullptr},
    };
    if (def.doc == nullptr) slots[3] = {0, nullptr};
    PyType_Spec spec = {def.qualified_name, static_cast<int>(def.object_size), 0,
                        Py_TPFLAGS_DEFAULT, slots};
    PyObject* made = PyType_FromSpec(&spec);
    if (made == nullptr) return -1;
    type = reinterpret_cast<PyTypeObject*>(made);
  }
  Py_INCREF(type);
  const char* dot = std::strrchr(def.qualified_name, '.');
  const char* name = dot != nullptr ? dot + 1 : def.qualified_name;
  if (PyModule_AddObject(module, name, reinterpret_cast<PyObject*>(type)) < 0) {
    Py_DECREF(type);
    return -1;
  }
  return 0;
}

}  // namespace kelvora::py
