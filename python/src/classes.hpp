// The module's classes, each in its own source file. module.cpp calls these in
// this order while it builds the module.
//
// Each creates its type (once per process), adds it to `module` and returns 0,
// or returns -1 with a Python exception set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace kelvora::py {

int add_knowledge_state_type(PyObject* module);
int add_provenance_graph_type(PyObject* module);

}  // namespace kelvora::py
