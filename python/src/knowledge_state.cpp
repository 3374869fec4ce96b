// The Python class PyKnowledgeState: its type object, constructor, accessors,
// the nine evolution methods and the record methods.
#include "knowledge_state.hpp"

#include <cstdint>
#include <iterator>
#include <new>
#include <string>
#include <utility>

#include "args.hpp"
#include "classes.hpp"
#include "history_methods.hpp"
#include "kelvora/debug_text.hpp"
#include "py_util.hpp"
#include "report_methods.hpp"
#include "verification_methods.hpp"

namespace kelvora::py {

// ------------------------------------------------------------ value helpers

const std::shared_ptr<const KnowledgeState>& shared_empty_state() {
  static const auto empty = std::make_shared<const KnowledgeState>();
  return empty;
}

std::optional<ConceptId> PyKnowledgeState::find_concept_id_by_term(const KnowledgeState& state,
                                                                   std::string_view term) {
  return state.find_concept_by_term(term);
}

std::optional<PyKnowledgeState> PyKnowledgeState::apply_op(EvolutionOperation operation) const {
  ApplyContext context;
  if (const EvolutionRecord* last = records.last()) context.prev_chain_hash = last->chain_hash;
  context.source = OperationSource::UserExplicit;
  auto applied = KnowledgeState::apply(*state, operation, context);
  if (!applied) {
    raise_engine_error(applied.error());
    return std::nullopt;
  }
  auto next_state = std::make_shared<const KnowledgeState>(std::move(applied->state));
  return PyKnowledgeState{records.appended(std::move(applied->record)), std::move(next_state)};
}

// ------------------------------------------------------------ type and objects

namespace {

PyTypeObject* g_type = nullptr;

KnowledgeStateObject* as_object(PyObject* self) {
  return reinterpret_cast<KnowledgeStateObject*>(self);
}

PyObject* construct(PyTypeObject* type, PyKnowledgeState value) {
  PyObject* object = type->tp_alloc(type, 0);
  if (object == nullptr) return nullptr;
  new (&as_object(object)->value) PyKnowledgeState(std::move(value));
  return object;
}

PyObject* knowledge_state_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Args a{"PyKnowledgeState", args, kwargs, {}};
    if (!a.ok()) return nullptr;
    return construct(type, PyKnowledgeState{});
  });
}

void knowledge_state_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  as_object(self)->value.~PyKnowledgeState();
  type->tp_free(self);
  Py_DECREF(type);
}

}  // namespace

PyKnowledgeState::PyKnowledgeState() : state(shared_empty_state()) {}

PyTypeObject* knowledge_state_type() { return g_type; }

PyObject* wrap_knowledge_state(PyKnowledgeState value) {
  if (g_type == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "PyKnowledgeState is not initialised");
    return nullptr;
  }
  return construct(g_type, std::move(value));
}

// ------------------------------------------------------------ term lookup

std::optional<ConceptId> resolve(const KnowledgeState& state, const std::string& term) {
  auto id = PyKnowledgeState::find_concept_id_by_term(state, term);
  if (!id) raise_value_error("concept not found: " + term);
  return id;
}

namespace {

bool resolve_all(const KnowledgeState& state, const std::vector<std::string>& terms,
                 std::vector<ConceptId>& out) {
  out.reserve(terms.size());
  for (const auto& term : terms) {
    auto id = resolve(state, term);
    if (!id) return false;
    out.push_back(*id);
  }
  return true;
}

// Hands a built operation to the common apply path and wraps the result.
PyObject* apply_and_wrap(PyObject* self, EvolutionOperation operation) {
  auto next = knowledge_state_of(self).apply_op(std::move(operation));
  if (!next) return nullptr;
  return wrap_knowledge_state(std::move(*next));
}

// ------------------------------------------------------------ accessors

PyObject* state_hash(PyObject* self, PyObject*) {
  return guarded([&] { return to_py(knowledge_state_of(self).state->state_hash().to_hex()); });
}

PyObject* structure_hash(PyObject* self, PyObject*) {
  return guarded([&] { return to_py(knowledge_state_of(self).state->structure_hash().to_hex()); });
}

PyObject* concept_count(PyObject* self, PyObject*) {
  return to_py(knowledge_state_of(self).state->concepts.size());
}

PyObject* relation_count(PyObject* self, PyObject*) {
  return to_py(knowledge_state_of(self).state->relations.size());
}

PyObject* structure_count(PyObject* self, PyObject*) {
  return to_py(knowledge_state_of(self).state->structure.size());
}

PyObject* is_empty(PyObject* self, PyObject*) {
  return to_py(knowledge_state_of(self).state->empty());
}

PyObject* concept_terms(PyObject* self, PyObject*) {
  return guarded([&] {
    return list_of(knowledge_state_of(self).state->concepts,
                   [](const auto& entry) { return to_py(entry.second->term); });
  });
}

PyObject* get_concept_id(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Args a{"get_concept_id", args, nargs, kwnames, {"term"}};
    std::string term;
    if (!a.get(0, term)) return nullptr;
    auto id = PyKnowledgeState::find_concept_id_by_term(*knowledge_state_of(self).state, term);
    if (!id) return none();
    return to_py(id->to_string());
  });
}

PyObject* get_concept_definition(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Args a{"get_concept_definition", args, nargs, kwnames, {"term"}};
    std::string term;
    if (!a.get(0, term)) return nullptr;
    // Any status: unlike the term lookup, a superseded concept counts here.
    const KnowledgeState& state = *knowledge_state_of(self).state;
    const auto id = state.find_concept_by_term(term, /*any_status=*/true);
    if (!id) return none();
    return to_py(state.concepts.at(*id)->definition);
  });
}

PyObject* concept_statuses(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    Dict out;
    for (const auto& [id, entry] : knowledge_state_of(self).state->concepts) {
      Dict inner;
      inner.set("term", entry->term).set("status", name(entry->status));
      Ref value(inner.release());
      if (!value) return nullptr;
      if (!out.set(id.to_string(), std::move(value)).ok()) return nullptr;
    }
    return out.release();
  });
}

// ------------------------------------------------------------ evolution methods

PyObject* apply_assert(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Args a{"apply_assert", args, nargs, kwnames, {"term", "definition"}};
    std::string term, definition;
    if (!a.get(0, term) || !a.get(1, definition)) return nullptr;
    return apply_and_wrap(self,
                          op::Assert{Concept::create(std::move(term), std::move(definition))});
  });
}

PyObject* apply_retract(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Args a{"apply_retract", args, nargs, kwnames, {"term"}};
    std::string term;
    if (!a.get(0, term)) return nullptr;
    auto id = resolve(*knowledge_state_of(self).state, term);
    if (!id) return nullptr;
    return apply_and_wrap(self, op::Retract{*id, RetractionReason::UserExplicit});
  });
}

constexpr const char* kRelationNames[] = {
    "derives_from", "contradicts",     "exemplifies", "tension",   "subsumes",    "enables",
    "supports",     "explains",        "extends",     "qualifies", "contrasts",   "motivates",
    "necessitates", "operationalizes", "reframes",    "completes", "independent",
};
static_assert(std::size(kRelationNames) == kRelationTypeCount);

// Every accepted name is ASCII, and no other character lower-cases to an
// ASCII letter that occurs in them, so ASCII lower-casing decides a match
// exactly as full Unicode lower-casing would.
std::optional<RelationType> parse_relation_type(std::string_view text) {
  std::string lower;
  lower.reserve(text.size());
  for (char ch : text) {
    if (static_cast<unsigned char>(ch) >= 0x80) return std::nullopt;
    lower += (ch >= 'A' && ch <= 'Z') ? static_cast<char>(ch - 'A' + 'a') : ch;
  }
  if (lower == "derivesfrom") return RelationType::DerivesFrom;
  for (int i = 0; i < kRelationTypeCount; ++i) {
    if (lower == kRelationNames[i]) return static_cast<RelationType>(i);
  }
  return std::nullopt;
}

PyObject* apply_relate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Args a{"apply_relate", args, nargs, kwnames, {"from_term", "to_term", "relation_type"}};
    std::string from_term, to_term, type_text;
    if (!a.get(0, from_term) || !a.get(1, to_term) || !a.get(2, type_text)) return nullptr;
    const KnowledgeState& state = *knowledge_state_of(self).state;
    auto from = resolve(state, from_term);
    if (!from) return nullptr;
    auto to = resolve(state, to_term);
    if (!to) return nullptr;
    auto type = parse_relation_type(type_text);
    if (!type) {
      return raise_value_error(
          "unknown relation type: '" + type_text +
          "'. Valid: derives_from, contradicts, exemplifies, tension, subsumes, enables, "
          "supports, explains, extends, qualifies, contrasts, motivates, necessitates, "
          "operationalizes, reframes, completes, independent");
    }
    Relation relation;
    relation.id = RelationId::random();
    relation.from_concept = *from;
    relation.to_concept = *to;
    relation.relation_type = *type;
    relation.confidence = 1.0;
    return apply_and_wrap(self, op::Relate{std::move(relation)});
  });
}

PyObject* apply_revise(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Args a{"apply_revise", args, nargs, kwnames, {"term", "new_definition", "conflict_terms"}};
    std::string term, new_definition;
    std::vector<std::string> conflict_terms;
    if (!a.get(0, term) || !a.get(1, new_definition) || !a.get(2, conflict_terms)) return nullptr;
    const KnowledgeState& state = *knowledge_state_of(self).state;
    auto id = resolve(state, term);
    if (!id) return nullptr;
    op::Revise revise{*id, std::move(new_definition), {}, {}};
    if (!resolve_all(state, conflict_terms, revise.conflict_set)) return nullptr;
    return apply_and_wrap(self, std::move(revise));
  });
}

PyObject* apply_refine(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Args a{"apply_refine", args, nargs, kwnames, {"term", "new_definition"}};
    std::string term, new_definition;
    if (!a.get(0, term) || !a.get(1, new_definition)) return nullptr;
    auto id = resolve(*knowledge_state_of(self).state, term);
    if (!id) return nullptr;
    return apply_and_wrap(self, op::Refine{*id, std::move(new_definition), {}});
  });
}

// A required member of a node dict; false with an exception set when it is
// absent (ValueError) or does not convert.
template <class T>
bool read_required(PyObject* node, const char* key, T& out) {
  const int r = dict_get(node, key, out);
  if (r == 0) raise_value_error(std::string("node missing '") + key + "'");
  return r > 0;
}

// Builds one node from its dict; ids[i] is the id drawn for list element i.
bool read_node(const KnowledgeState& state, PyObject* dict, const StructureNodeId& id,
               const std::vector<StructureNodeId>& ids, StructureNode& node) {
  node.id = id;
  if (!read_required(dict, "title", node.title) ||
      !read_required(dict, "node_type", node.node_type) ||
      !read_required(dict, "position", node.position)) {
    return false;
  }
  std::uint64_t parent_index = 0;
  const int has_parent = dict_get(dict, "parent_index", parent_index);
  if (has_parent < 0) return false;
  if (has_parent > 0) {
    if (parent_index >= ids.size()) {
      raise_value_error("parent_index " + std::to_string(parent_index) + " out of range");
      return false;
    }
    node.parent = ids[parent_index];
  }
  std::vector<std::string> terms;
  const int has_terms = dict_get(dict, "concept_terms", terms);
  if (has_terms < 0) return false;
  node.concept_refs.reserve(terms.size());
  for (const auto& term : terms) {
    auto concept_id = PyKnowledgeState::find_concept_id_by_term(state, term);
    if (!concept_id) {
      raise_value_error("concept_terms references unknown concept: " +
                        exchange::debug_quoted(term));
      return false;
    }
    node.concept_refs.push_back(*concept_id);
  }
  return true;
}

PyObject* apply_restructure(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Args a{"apply_restructure", args, nargs, kwnames, {"new_nodes", "justification"}};
    // Each dict is held: reading its members may run code that changes the
    // caller's list.
    std::vector<DictArg> dicts;
    std::string justification;
    if (!a.get(0, dicts) || !a.get(1, justification)) return nullptr;
    const KnowledgeState& state = *knowledge_state_of(self).state;
    op::Restructure restructure{state.structure_hash(), {}, std::move(justification)};
    std::vector<StructureNodeId> ids;
    ids.reserve(dicts.size());
    for (std::size_t i = 0; i < dicts.size(); ++i) ids.push_back(StructureNodeId::random());
    restructure.new_nodes.resize(dicts.size());
    for (std::size_t i = 0; i < dicts.size(); ++i) {
      if (!read_node(state, dicts[i].get(), ids[i], ids, restructure.new_nodes[i])) return nullptr;
    }
    return apply_and_wrap(self, std::move(restructure));
  });
}

PyObject* apply_merge(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Args a{"apply_merge", args, nargs, kwnames, {"terms", "merged_term", "merged_definition"}};
    std::vector<std::string> terms;
    std::string merged_term, merged_definition;
    if (!a.get(0, terms) || !a.get(1, merged_term) || !a.get(2, merged_definition)) {
      return nullptr;
    }
    op::Merge merge{{}, std::move(merged_term), std::move(merged_definition), {}};
    if (!resolve_all(*knowledge_state_of(self).state, terms, merge.concept_ids)) return nullptr;
    return apply_and_wrap(self, std::move(merge));
  });
}

PyObject* apply_reinforce(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Args a{"apply_reinforce", args, nargs, kwnames, {"term"}};
    std::string term;
    if (!a.get(0, term)) return nullptr;
    auto id = resolve(*knowledge_state_of(self).state, term);
    if (!id) return nullptr;
    return apply_and_wrap(self, op::Reinforce{*id, {}});
  });
}

PyObject* apply_split(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Args a{"apply_split", args, nargs, kwnames, {"term", "new_concepts"}};
    std::string term;
    std::vector<std::pair<std::string, std::string>> new_concepts;
    if (!a.get(0, term) || !a.get(1, new_concepts)) return nullptr;
    auto id = resolve(*knowledge_state_of(self).state, term);
    if (!id) return nullptr;
    return apply_and_wrap(self, op::Split{*id, std::move(new_concepts), {}});
  });
}

// ------------------------------------------------------------ records

PyObject* last_record(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const RecordPin pin(knowledge_state_of(self).records);
    const EvolutionRecord* last = knowledge_state_of(self).records.last();
    return last ? record_to_dict(*last) : none();
  });
}

PyObject* record_count(PyObject* self, PyObject*) {
  return PyLong_FromSize_t(knowledge_state_of(self).records.size());
}

PyObject* all_records(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    // Building a dict may run arbitrary code (a collection's finalisers):
    // keep our own handle on the history and the records where they are.
    const RecordHistory history = knowledge_state_of(self).records;
    const RecordPin pin(history);
    const std::span<const EvolutionRecord> records = history.view();
    Ref list(PyList_New(static_cast<Py_ssize_t>(records.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < records.size(); ++i) {
      PyObject* d = record_to_dict(records[i]);
      if (d == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), d);
    }
    return list.release();
  });
}

// ------------------------------------------------------------ method table

PyMethodDef g_methods[] = {
    // Accessors.
    {"state_hash", state_hash, METH_NOARGS,
     "state_hash($self)\n--\n\nReturns the SHA-256 hex digest of the current state."},
    {"structure_hash", structure_hash, METH_NOARGS,
     "structure_hash($self)\n--\n\nReturns the SHA-256 hex digest of the current structure."},
    {"concept_count", concept_count, METH_NOARGS,
     "concept_count($self)\n--\n\nReturns the number of concepts in the state."},
    {"relation_count", relation_count, METH_NOARGS,
     "relation_count($self)\n--\n\nReturns the number of relations in the state."},
    {"structure_count", structure_count, METH_NOARGS,
     "structure_count($self)\n--\n\nReturns the number of structure nodes in the state."},
    {"is_empty", is_empty, METH_NOARGS,
     "is_empty($self)\n--\n\nReturns whether the state is empty."},
    {"concept_terms", concept_terms, METH_NOARGS,
     "concept_terms($self)\n--\n\nReturns a list of concept terms in the state."},
    {"get_concept_id", fastcall(get_concept_id), kFastcall,
     "get_concept_id($self, term)\n--\n\n"
     "Returns the concept UUID string for a given term, or None if not found.\n"
     "Only returns active concepts (not retracted)."},
    {"get_concept_definition", fastcall(get_concept_definition), kFastcall,
     "get_concept_definition($self, term)\n--\n\n"
     "Returns a concept's definition by term, or None if not found."},
    // Evolution.
    {"apply_assert", fastcall(apply_assert), kFastcall,
     "apply_assert($self, term, definition)\n--\n\nAssert a new concept. Returns a new state."},
    {"apply_retract", fastcall(apply_retract), kFastcall,
     "apply_retract($self, term)\n--\n\nRetract a concept by term. Returns a new state."},
    {"apply_relate", fastcall(apply_relate), kFastcall,
     "apply_relate($self, from_term, to_term, relation_type)\n--\n\n"
     "Add a relation between two concepts (by term). Returns a new state."},
    {"apply_revise", fastcall(apply_revise), kFastcall,
     "apply_revise($self, term, new_definition, conflict_terms)\n--\n\n"
     "Revise a concept's definition with a conflict set. Returns a new state."},
    {"apply_refine", fastcall(apply_refine), kFastcall,
     "apply_refine($self, term, new_definition)\n--\n\n"
     "Refine a concept's definition (non-conflicting update). Returns a new state."},
    {"apply_restructure", fastcall(apply_restructure), kFastcall,
     "apply_restructure($self, new_nodes, justification)\n--\n\n"
     "Replace the structure with new nodes. Returns a new state."},
    {"apply_merge", fastcall(apply_merge), kFastcall,
     "apply_merge($self, terms, merged_term, merged_definition)\n--\n\n"
     "Merge multiple concepts into one. Takes a list of terms, the merged term, and merged "
     "definition."},
    {"apply_reinforce", fastcall(apply_reinforce), kFastcall,
     "apply_reinforce($self, term)\n--\n\n"
     "Reinforce a concept (confirm without changing). Bumps confidence and adds evidence."},
    {"apply_split", fastcall(apply_split), kFastcall,
     "apply_split($self, term, new_concepts)\n--\n\n"
     "Split a concept into multiple new concepts. Takes the original term and a list of "
     "(term, definition) pairs."},
    // Records.
    {"last_record", last_record, METH_NOARGS,
     "last_record($self)\n--\n\n"
     "Returns the last EvolutionRecord as a dict, or None if no operation has been applied."},
    {"record_count", record_count, METH_NOARGS,
     "record_count($self)\n--\n\nReturns the number of evolution records in the chain."},
    {"all_records", all_records, METH_NOARGS,
     "all_records($self)\n--\n\nReturns all evolution records as a list of dicts."},
    // Verification, Merkle and JSON.
    {"verify_chain", verify_chain, METH_NOARGS,
     "verify_chain($self)\n--\n\n"
     "Verify the chain hash integrity of all accumulated records.\n"
     "Returns True if valid, raises ValueError on failure."},
    {"verify_chain_and_continuity", verify_chain_and_continuity, METH_NOARGS,
     "verify_chain_and_continuity($self)\n--\n\n"
     "Verify both chain integrity and state continuity.\n"
     "Returns True if valid, raises ValueError on failure."},
    {"merkle_root", merkle_root, METH_NOARGS,
     "merkle_root($self)\n--\n\n"
     "Build a Merkle tree from accumulated records and return the root hash."},
    {"merkle_proof", fastcall(merkle_proof), kFastcall,
     "merkle_proof($self, index)\n--\n\n"
     "Generate a Merkle inclusion proof for a record at the given index.\n"
     "Returns a dict with leaf_index, leaf_hash, path (list of [hash, is_left] pairs), and root."},
    {"verify_merkle_proof", fastcall(verify_merkle_proof), kFastcall,
     "verify_merkle_proof($self, proof_dict)\n--\n\n"
     "Verify a Merkle inclusion proof against the current tree root.\n"
     "Takes a proof dict (from merkle_proof()) and returns True if valid."},
    {"state_to_json", state_to_json, METH_NOARGS,
     "state_to_json($self)\n--\n\n"
     "Serialize the current KnowledgeState to a JSON string with hex hashes."},
    {"from_json", fastcall(from_json), METH_STATIC | kFastcall,
     "from_json(json_str)\n--\n\n"
     "Deserialize a KnowledgeState from a JSON string with hex hashes.\n"
     "Returns a new PyKnowledgeState (no records \xe2\x80\x94 use from_records_json for those)."},
    {"records_to_json", records_to_json, METH_NOARGS,
     "records_to_json($self)\n--\n\n"
     "Serialize all evolution records to a JSON string with hex hashes."},
    {"from_records_json", fastcall(from_records_json), METH_STATIC | kFastcall,
     "from_records_json(json_str)\n--\n\n"
     "Deserialize evolution records from a JSON string with hex hashes.\n"
     "Returns a new PyKnowledgeState with the records loaded but state reconstructed."},
    {"reconstruct", reconstruct, METH_NOARGS,
     "reconstruct($self)\n--\n\n"
     "Reconstruct state from all accumulated records and verify chain integrity.\n"
     "Returns True if reconstruction matches current state, raises ValueError on failure."},
    // Classification and diff.
    {"classify_extraction", fastcall(classify_extraction), kFastcall,
     "classify_extraction($self, term, definition, refine_threshold=None)\n--\n\n"
     "Classify an extracted concept against current state using Jaccard similarity.\n"
     "\n"
     "Returns a dict with classification (\"assert\", \"refine\", \"revise\" or "
     "\"reinforce\"),\nconcept_id and similarity (both None for \"assert\")."},
    {"diff", fastcall(diff), kFastcall,
     "diff($self, other)\n--\n\n"
     "Compute the diff between this state and another.\n"
     "\n"
     "Returns a dict with the terms of concepts_added, concepts_removed and\n"
     "concepts_modified, the counts relations_added and relations_removed, and the\n"
     "titles of structure_added, structure_removed and structure_modified."},
    // Reports.
    {"coherence_report", coherence_report, METH_NOARGS, kCoherenceReportDoc},
    {"concept_stability_report", fastcall(concept_stability_report), kFastcall,
     kConceptStabilityReportDoc},
    {"epistemic_direction_report", fastcall(epistemic_direction_report), kFastcall,
     kEpistemicDirectionReportDoc},
    {"argumentation_status_report", argumentation_status_report, METH_NOARGS,
     kArgumentationStatusReportDoc},
    // AGM check.
    {"agm_report", fastcall(agm_report), kFastcall,
     "agm_report($self, before)\n--\n\n"
     "Full AGM compliance report for the operation that produced THIS state,\n"
     "relative to `before` (the predecessor state the operation was applied to).\n"
     "\n"
     "This is the proof-carrying verifier the YRP determinism boundary relies on:\n"
     "the four AGM postulate checks + the minimal-change score, computed by the\n"
     "symbolic engine, never by a learned model.\n"
     "\n"
     "Returns a dict with closure, success, vacuity and consistency (each\n"
     "\"satisfied\", \"violated: <reason>\" or \"not_applicable\"), minimality_score and\n"
     "all_satisfied.\n"
     "Raises ValueError if no operation has been applied to this state."},
    {"concept_statuses", concept_statuses, METH_NOARGS,
     "concept_statuses($self)\n--\n\n"
     "Per-concept status dump: maps each concept's UUID string to\n"
     "{\"term\": str, \"status\": str}, with status e.g. \"Active\" or \"Superseded\".\n"
     "\n"
     "Diff this across before/after to compute the SURRENDERED SET \xe2\x80\x94 the\n"
     "concepts the operator gave up (Active \xe2\x86\x92 Superseded, or Active \xe2\x86\x92 "
     "absent).\n"
     "This is the C2 (minimal-change / entrenchment choice) label."},
    // Reports.
    {"impact_radius_report", fastcall(impact_radius_report), kFastcall, kImpactRadiusReportDoc},
    {"relation_analytics_report", relation_analytics_report, METH_NOARGS,
     kRelationAnalyticsReportDoc},
    {"source_analytics_report", source_analytics_report, METH_NOARGS, kSourceAnalyticsReportDoc},
    // History.
    {"state_at", fastcall(state_at), kFastcall,
     "state_at($self, index)\n--\n\n"
     "Reconstruct the knowledge state at a specific record index.\n"
     "\n"
     "Returns a new PyKnowledgeState representing the state after records[0..=index].\n"
     "This is a lightweight replay (no chain-hash verification)."},
    {"concept_history", fastcall(concept_history), kFastcall,
     "concept_history($self, term)\n--\n\n"
     "Get the full evolution history of a concept by term.\n"
     "\n"
     "Returns a list of dicts (record_index, operation_type, definition, confidence,\n"
     "timestamp), one per record that touched a concept holding the term, in record order."},
    {"range_diff", fastcall(range_diff), kFastcall,
     "range_diff($self, from_index, to_index)\n--\n\n"
     "Compute the diff between two points in the evolution chain.\n"
     "\n"
     "Returns a dict with the terms of concepts_added, concepts_removed and\n"
     "concepts_modified and the counts relations_added and relations_removed."},
    {"convergence_trajectory", fastcall(convergence_trajectory), kFastcall,
     "convergence_trajectory($self, direction_window=0)\n--\n\n"
     "Compute the convergence trajectory over the full evolution history.\n"
     "\n"
     "Returns a list of dicts, one per record (record_index, coherence_score,\n"
     "contradiction_count, concept_count, direction), in record order."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_knowledge_state_type(PyObject* module) {
  return add_type(module,
                  {"builtins.PyKnowledgeState", sizeof(KnowledgeStateObject),
                   "PyKnowledgeState()\n--\n\n"
                   "The Python wrapper around the engine's KnowledgeState.",
                   knowledge_state_new, knowledge_state_dealloc, g_methods},
                  g_type);
}

}  // namespace kelvora::py
