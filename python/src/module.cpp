// The extension module `kelvora`: its entry point and its one function.
#include <cstddef>
#include <cstdint>

#include "args.hpp"
#include "classes.hpp"
#include "kelvora/types.hpp"
#include "py_util.hpp"

namespace kelvora::py {
namespace {

constexpr std::size_t kMaxDetectorIndex = 10;

PyObject* relation_from_detector_index(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Args a{"relation_from_detector_index", args, nargs, kwnames, {"idx"}};
    std::size_t idx = 0;
    if (!a.get(0, idx)) return nullptr;
    if (idx > kMaxDetectorIndex) return none();
    const auto type = relation_type::from_detector_index(static_cast<std::int64_t>(idx));
    if (!type) return none();
    return to_py(relation_type::canonical_str(*type));
  });
}

PyMethodDef module_functions[] = {
    {"relation_from_detector_index", fastcall(relation_from_detector_index), kFastcall,
     "relation_from_detector_index(idx)\n--\n\n"
     "Map an 11-class relation-detector index to the canonical operator relation\n"
     "string (the one `apply_relate` / `parse_relation_type` accept), or `None` for\n"
     "an out-of-range index. This is the single source of truth for the\n"
     "detector\u2192operator bridge: it goes through `RelationType::from_detector_index`\n"
     "+ `canonical_str` so the Python detector layer never hard-codes the table and\n"
     "can never drift from the engine's enum order. Calibrated abstention (neutral /\n"
     "low-confidence \u2192 no relation) lives in the Python caller; this is the pure map."},
    {nullptr, nullptr, 0, nullptr},
};

// m_size 0 (not -1): a repeated initialisation calls the entry point again,
// which hands back the one module object instead of a copy.
PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "kelvora",
    "kelvora Python module \u2014 bindings to the knowledge-state QEL engine.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The module and the interpreter it belongs to; both live for the process.
PyObject* g_module = nullptr;
std::int64_t g_interpreter = -1;

PyObject* make_module() {
  const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interpreter < 0) return nullptr;
  if (g_interpreter >= 0 && g_interpreter != interpreter) {
    PyErr_SetString(PyExc_ImportError,
                    "kelvora can be imported by one interpreter per process only");
    return nullptr;
  }
  if (g_module != nullptr) return Py_NewRef(g_module);

  if (panic_exception_type() == nullptr) return nullptr;
  Ref module(PyModule_Create(&module_def));
  if (!module) return nullptr;
  if (add_knowledge_state_type(module.get()) < 0) return nullptr;
  if (add_provenance_graph_type(module.get()) < 0) return nullptr;
  if (PyModule_AddFunctions(module.get(), module_functions) < 0) return nullptr;

  g_interpreter = interpreter;
  g_module = Py_NewRef(module.get());
  return module.release();
}

}  // namespace
}  // namespace kelvora::py

// `guarded` prepares the importing thread (see prepare_thread) before the
// module is made, so that thread has its exception data from the start.
PyMODINIT_FUNC PyInit_kelvora() { return kelvora::py::guarded(kelvora::py::make_module); }
