// PyKnowledgeState methods that check, summarise, save and reload a history:
// chain checks, verified replay, Merkle proofs and the JSON documents.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace kelvora::py {

// METH_NOARGS
PyObject* verify_chain(PyObject* self, PyObject* unused);
PyObject* verify_chain_and_continuity(PyObject* self, PyObject* unused);
PyObject* merkle_root(PyObject* self, PyObject* unused);
PyObject* state_to_json(PyObject* self, PyObject* unused);
PyObject* records_to_json(PyObject* self, PyObject* unused);
PyObject* reconstruct(PyObject* self, PyObject* unused);

// METH_FASTCALL | METH_KEYWORDS
PyObject* merkle_proof(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* verify_merkle_proof(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames);

// METH_STATIC | METH_FASTCALL | METH_KEYWORDS (self is null)
PyObject* from_json(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* from_records_json(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames);

}  // namespace kelvora::py
