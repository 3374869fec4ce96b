// The Python class PyKnowledgeState: what an object holds, how a new one is
// made, and the pieces the methods in other files share (term lookup, the
// common apply path, record dicts).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kelvora/knowledge_state.hpp"
#include "kelvora/types.hpp"
#include "record_history.hpp"

namespace kelvora::py {

// The value a PyKnowledgeState object holds. Neither part changes once the
// object is made; a new object shares both with the one it was made from.
struct PyKnowledgeState {
  RecordHistory records;
  std::shared_ptr<const KnowledgeState> state;

  // No records and the empty state.
  PyKnowledgeState();
  PyKnowledgeState(RecordHistory records_, std::shared_ptr<const KnowledgeState> state_)
      : records(std::move(records_)), state(std::move(state_)) {}

  // The first Active concept, in id order, whose term is byte for byte `term`
  // (found through the state's index of terms).
  static std::optional<ConceptId> find_concept_id_by_term(const KnowledgeState& state,
                                                          std::string_view term);

  // Applies `operation` on top of this object's state and last record. Returns
  // the new value, or nothing with a Python exception set (ValueError with the
  // engine's message, MemoryError, or PanicException for an internal fault).
  std::optional<PyKnowledgeState> apply_op(EvolutionOperation operation) const;
};

// The empty state, made once per process and shared by every value that
// holds it; a replay of a history starts from it.
const std::shared_ptr<const KnowledgeState>& shared_empty_state();
inline const KnowledgeState& empty_state() { return *shared_empty_state(); }

// The id of the first Active concept with exactly this term, or nothing
// with ValueError "concept not found: {term}".
std::optional<ConceptId> resolve(const KnowledgeState& state, const std::string& term);

// The Python object: the header and the value, placement-constructed.
struct KnowledgeStateObject {
  PyObject_HEAD PyKnowledgeState value;
};

// The class object, once add_knowledge_state_type has run.
PyTypeObject* knowledge_state_type();

// The value inside a PyKnowledgeState object (the caller has checked the type).
inline const PyKnowledgeState& knowledge_state_of(PyObject* object) {
  return reinterpret_cast<KnowledgeStateObject*>(object)->value;
}

// A new PyKnowledgeState object holding `value`, or null with an exception set.
PyObject* wrap_knowledge_state(PyKnowledgeState value);

// The record as a new dict (keys in their documented order), or null with an
// exception set.
PyObject* record_to_dict(const EvolutionRecord& record);

}  // namespace kelvora::py
