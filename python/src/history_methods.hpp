// PyKnowledgeState methods that compare states, look into the history of the
// record list, advise the extraction pipeline and judge the last operation.
// The replaying ones start from the empty state whatever the object was made
// from; none changes the receiver or its arguments.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>

#include "kelvora/agm.hpp"

namespace kelvora::py {

// "satisfied", "violated: {reason}" or "not_applicable".
std::string postulate_str(const agm::PostulateResult& result);

// METH_FASTCALL | METH_KEYWORDS
PyObject* classify_extraction(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames);
PyObject* diff(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* agm_report(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* state_at(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* concept_history(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);
PyObject* range_diff(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* convergence_trajectory(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames);

}  // namespace kelvora::py
