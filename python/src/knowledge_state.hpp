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
#include <string_view>
#include <utility>
#include <vector>

#include "kelvora/types.hpp"

namespace kelvora::python {

// An append-only list of records shared between the objects of one history.
// Every object sees the first size() entries of one shared vector. Appending
// at the end of that vector extends it in place (no record is copied);
// appending to a shorter view, whose vector another object has already
// extended, starts a new vector with a copy of the view's records.
class RecordHistory {
  struct Storage {
    std::vector<EvolutionRecord> records;
    std::size_t pins = 0;
  };

 public:
  RecordHistory() = default;
  explicit RecordHistory(std::vector<EvolutionRecord> records);

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  // Contiguous, record 0 first. An append to a history sharing this vector may
  // move the records: hold a Pin to keep a span or a reference across a call
  // into Python (which may run arbitrary code, including other appends).
  std::span<const EvolutionRecord> view() const;
  const EvolutionRecord& operator[](std::size_t index) const { return storage_->records[index]; }
  // Null when empty.
  const EvolutionRecord* last() const;

  // The first `count` records (count <= size()), sharing this history's vector.
  RecordHistory prefix(std::size_t count) const;
  // This history with `record` added at the end; may throw std::bad_alloc, in
  // which case nothing has changed.
  RecordHistory appended(EvolutionRecord record) const;

  // While a Pin lives, the records of its history stay where they are: an
  // append that would have to move them starts a new vector instead.
  class Pin {
   public:
    explicit Pin(const RecordHistory& history);
    ~Pin();
    Pin(const Pin&) = delete;
    Pin& operator=(const Pin&) = delete;

   private:
    std::shared_ptr<Storage> storage_;
  };

 private:
  std::shared_ptr<Storage> storage_;
  std::size_t size_ = 0;
};

// The value a PyKnowledgeState object holds. Neither part changes once the
// object is made; a new object shares both with the one it was made from.
struct PyKnowledgeState {
  RecordHistory records;
  std::shared_ptr<const KnowledgeState> state;

  // No records and the empty state.
  PyKnowledgeState();
  PyKnowledgeState(RecordHistory records_, std::shared_ptr<const KnowledgeState> state_)
      : records(std::move(records_)), state(std::move(state_)) {}

  // The first Active concept, in id order, whose term is byte for byte `term`.
  static std::optional<ConceptId> find_concept_id_by_term(const KnowledgeState& state,
                                                          std::string_view term);

  // Applies `operation` on top of this object's state and last record. Returns
  // the new value, or nothing with a Python exception set (ValueError with the
  // engine's message, MemoryError, or PanicException for an internal fault).
  std::optional<PyKnowledgeState> apply_op(EvolutionOperation operation) const;
};

// The Python object: the header and the value, placement-constructed.
struct KnowledgeStateObject {
  PyObject_HEAD
  PyKnowledgeState value;
};

// The class object, once kelvora_add_knowledge_state_type has run.
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

}  // namespace kelvora::python
