// Placeholders for classes whose sources are not written yet; each adds
// nothing. Delete a stub when its class's file defines the real function.
#include "classes.hpp"

int kelvora_add_provenance_graph_type(PyObject*) { return 0; }
