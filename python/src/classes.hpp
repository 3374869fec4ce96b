// The module's classes, each in its own source file. module.cpp calls these in
// this order while it builds the module.
//
// Each creates its type (once per process), adds it to `module` and returns 0,
// or returns -1 with a Python exception set.
//
// stubs_pending.cpp stands in for a class whose file does not exist yet: when
// adding the real definition, delete that stub from stubs_pending.cpp (and the
// file once it is empty).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

int kelvora_add_knowledge_state_type(PyObject* module);
int kelvora_add_provenance_graph_type(PyObject* module);
