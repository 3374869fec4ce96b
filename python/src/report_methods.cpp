// PyKnowledgeState: the analytics reports as dicts. Each method runs one
// analysis of the core over the receiver's state and/or its whole record
// list, then builds the dict; the core call runs no Python code, so the
// records it reads cannot move under it.
#include "report_methods.hpp"

#include <algorithm>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "args.hpp"
#include "kelvora/analysis.hpp"
#include "kelvora/id_index.hpp"
#include "knowledge_state.hpp"
#include "py_util.hpp"

namespace kelvora::python {

namespace {

const PyKnowledgeState& self_of(PyObject* self) { return knowledge_state_of(self); }

// The id of the first Active concept with exactly this term, or nothing
// with ValueError "concept not found: {term}".
std::optional<ConceptId> resolve(const KnowledgeState& state, const std::string& term) {
  auto id = PyKnowledgeState::find_concept_id_by_term(state, term);
  if (!id) py::raise_value_error("concept not found: " + term);
  return id;
}

// ------------------------------------------------------------ concept names

// Finds the concepts of a report by id. Ids that come in ascending order,
// as most report lists hold them, are found by walking the concept map
// forward; a long jump or an id out of order falls back to a lookup.
class ConceptFinder {
 public:
  explicit ConceptFinder(const KnowledgeState& state)
      : concepts_(state.concepts), at_(concepts_.begin()) {}

  // The concept with `id` in the state, whatever its status; null if none.
  const Concept* find(const ConceptId& id) {
    constexpr int kSteps = 8;
    for (int i = 0; i < kSteps && at_ != concepts_.end() && at_->first < id; ++i) ++at_;
    if (at_ != concepts_.end() && at_->first < id) {
      const auto found = concepts_.find(id);
      if (found == concepts_.end()) return nullptr;
      at_ = found;
    }
    if (at_ != concepts_.end() && at_->first == id) return &at_->second.value();
    const auto found = concepts_.find(id);
    return found == concepts_.end() ? nullptr : &found->second.value();
  }

 private:
  const ConceptMap& concepts_;
  ConceptMap::const_iterator at_;
};

// The name of a concept: its term when the state holds it, else its UUID text.
std::string name_text(ConceptFinder& finder, const ConceptId& id) {
  const Concept* c = finder.find(id);
  return c != nullptr ? c->term : id.to_string();
}

PyObject* name_of(ConceptFinder& finder, const ConceptId& id) {
  const Concept* c = finder.find(id);
  return c != nullptr ? py::to_py(c->term) : py::to_py(id.to_string());
}

// A list of the names of `ids`, in their order.
PyObject* names_of(const KnowledgeState& state, const std::vector<ConceptId>& ids) {
  ConceptFinder finder(state);
  py::Ref list(PyList_New(static_cast<Py_ssize_t>(ids.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    PyObject* name = name_of(finder, ids[i]);
    if (name == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), name);
  }
  return list.release();
}

// ------------------------------------------------------------ dict pieces

// A 2-tuple of two new references (either may be null: an error is set).
PyObject* tuple_of(py::Ref first, py::Ref second) {
  if (!first || !second) return nullptr;
  return PyTuple_Pack(2, first.get(), second.get());
}

// dict[key] = value for two new references; false with an exception set on
// failure (a null argument included). A key already present keeps its place
// and takes the new value.
bool set_item(PyObject* dict, py::Ref key, py::Ref value) {
  return key && value && PyDict_SetItem(dict, key.get(), value.get()) == 0;
}

PyObject* arc_step_to_dict(const analysis::ArcStep& step) {
  py::Dict d;
  d.set("record_index", step.record_index)
      .set("operation_type", step.operation_type)
      .set("definition", step.definition);
  return d.release();
}

// The stability dict of one concept.
PyObject* stability_to_dict(const analysis::StabilityMetrics& m) {
  const auto [major, minor] = m.semantic_version;
  py::Dict d;
  d.set("semantic_version", std::vector<std::uint32_t>{major, minor})
      .set("total_transitions", m.total_transitions)
      .set("records_since_last_change", m.records_since_last_change)
      .set("volatility", m.volatility)
      .set("definition_arc", py::Ref(py::list_of(m.definition_arc, arc_step_to_dict)));
  return d.release();
}

// A dict from each entry's name (by `key_name`) to its count, in the
// report's order.
template <class Entries, class KeyName>
PyObject* counts_to_dict(const Entries& entries, KeyName&& key_name) {
  py::Dict d;
  for (const auto& [key, count] : entries) {
    if (!d.set(key_name(key), count).ok()) break;
  }
  return d.release();
}

// ------------------------------------------------------------ reports

PyObject* coherence_dict(const KnowledgeState& state, const analysis::CoherenceReport& report) {
  ConceptFinder finder(state);
  py::List pairs;
  for (const auto& [from, to] : report.unresolved_contradictions) {
    if (!pairs
             .append(
                 py::Ref(tuple_of(py::Ref(name_of(finder, from)), py::Ref(name_of(finder, to)))))
             .ok()) {
      return nullptr;
    }
  }
  // Active concepts in ascending id order; their terms are unique, so each
  // gets its own key.
  py::Ref stability(PyDict_New());
  if (!stability) return nullptr;
  ConceptFinder ascending(state);
  for (const auto& [id, metrics] : report.concept_stability) {
    if (!set_item(stability.get(), py::Ref(name_of(ascending, id)),
                  py::Ref(stability_to_dict(metrics)))) {
      return nullptr;
    }
  }
  py::Dict d;
  d.set("unresolved_contradictions", py::Ref(pairs.release()))
      .set("coherence_score", report.coherence_score)
      .set("is_equilibrium", report.is_equilibrium)
      .set("concept_stability", std::move(stability));
  return d.release();
}

PyObject* direction_dict(const analysis::DirectionReport& report) {
  py::List trend;
  for (const auto& [start, direction] : report.trend) {
    if (!trend.append(std::pair{start, analysis::name(direction)}).ok()) return nullptr;
  }
  py::Dict d;
  d.set("assert_ratio", report.assert_ratio)
      .set("refine_ratio", report.refine_ratio)
      .set("revise_ratio", report.revise_ratio)
      .set("direction", analysis::name(report.direction))
      .set("trend", py::Ref(trend.release()));
  return d.release();
}

PyObject* argumentation_dict(const KnowledgeState& state,
                             const analysis::ArgumentationReport& report) {
  py::Dict d;
  d.set("attacked", py::Ref(names_of(state, report.attacked)))
      .set("defended", py::Ref(names_of(state, report.defended)))
      .set("uncontested", py::Ref(names_of(state, report.uncontested)))
      .set("grounded_extension", py::Ref(names_of(state, report.grounded_extension)));
  return d.release();
}

// Downstream names sorted by their UTF-8 bytes (which is code point order),
// stable: equal names keep ascending id order.
PyObject* downstream_names(const KnowledgeState& state, const std::vector<ConceptId>& ids) {
  ConceptFinder finder(state);
  std::deque<std::string> uuid_texts;  // element addresses stay put
  std::vector<std::string_view> names;
  names.reserve(ids.size());
  for (const ConceptId& id : ids) {
    const Concept* c = finder.find(id);
    names.push_back(c != nullptr ? std::string_view(c->term)
                                 : std::string_view(uuid_texts.emplace_back(id.to_string())));
  }
  std::stable_sort(names.begin(), names.end());
  py::Ref list(PyList_New(static_cast<Py_ssize_t>(names.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < names.size(); ++i) {
    PyObject* name = py::to_py(names[i]);
    if (name == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), name);
  }
  return list.release();
}

PyObject* impact_dict(const KnowledgeState& state, const analysis::ImpactReport& report) {
  py::List titles;
  for (const StructureNodeId& id : report.affected_structure) {
    const auto node = state.structure.find(id);
    if (!titles.append(node->second->title).ok()) return nullptr;
  }
  py::Dict d;
  d.set("downstream_concepts", py::Ref(downstream_names(state, report.downstream_concepts)))
      .set("affected_structure", py::Ref(titles.release()))
      .set("radius", report.radius);
  return d.release();
}

PyObject* relation_dict(const KnowledgeState& state, const analysis::RelationReport& report) {
  // One str per Active concept, made once and shared by the centrality keys
  // and the cluster lists. The centrality list holds every Active concept
  // once, in ascending id order.
  const auto& centrality = report.concept_centrality;
  std::vector<py::Ref> names;
  names.reserve(centrality.size());
  IdIndex<ConceptId> position(centrality.size());
  ConceptFinder finder(state);
  py::Ref centrality_dict(PyDict_New());
  if (!centrality_dict) return nullptr;
  for (const auto& [id, value] : centrality) {
    position.insert(id);
    names.emplace_back(name_of(finder, id));
    if (!set_item(centrality_dict.get(), py::Ref::borrow(names.back().get()),
                  py::Ref(py::to_py(value)))) {
      return nullptr;
    }
  }

  py::Ref clusters(PyList_New(static_cast<Py_ssize_t>(report.clusters.size())));
  if (!clusters) return nullptr;
  for (std::size_t c = 0; c < report.clusters.size(); ++c) {
    const auto& members = report.clusters[c];
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(members.size()));
    if (list == nullptr) return nullptr;
    PyList_SET_ITEM(clusters.get(), static_cast<Py_ssize_t>(c), list);
    for (std::size_t m = 0; m < members.size(); ++m) {
      const std::uint32_t k = position.find(members[m]);
      PyObject* name = k != IdIndex<ConceptId>::kAbsent ? py::Ref::borrow(names[k].get()).release()
                                                        : name_of(finder, members[m]);
      if (name == nullptr) return nullptr;
      PyList_SET_ITEM(list, static_cast<Py_ssize_t>(m), name);
    }
  }

  py::Dict d;
  d.set("type_distribution",
        py::Ref(counts_to_dict(report.type_distribution, [](RelationType t) { return name(t); })))
      .set("concept_centrality", std::move(centrality_dict))
      .set("dead_relations", report.dead_relations.size())
      .set("clusters", std::move(clusters));
  return d.release();
}

PyObject* source_dict(const KnowledgeState& state, const analysis::SourceReport& report) {
  ConceptFinder finder(state);
  py::List latency;
  for (const auto& [id, records_waited] : report.confirmation_latency) {
    if (!latency.append(std::pair{name_text(finder, id), records_waited}).ok()) return nullptr;
  }
  py::Dict d;
  d.set("user_verified_ratio", report.user_verified_ratio)
      .set("override_count", report.override_count)
      .set("confirmation_latency", py::Ref(latency.release()))
      .set("source_distribution",
           py::Ref(counts_to_dict(report.source_distribution,
                                  [](OperationSource s) { return name(s); })))
      .set("reinforce_count", report.reinforce_count);
  return d.release();
}

}  // namespace

// ------------------------------------------------------------ methods

PyObject* coherence_report(PyObject* self, PyObject*) {
  return py::guarded([&]() -> PyObject* {
    const PyKnowledgeState& s = self_of(self);
    return coherence_dict(*s.state, analysis::coherence(*s.state, s.records.view()));
  });
}

PyObject* concept_stability_report(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  return py::guarded([&]() -> PyObject* {
    py::Args a{"concept_stability_report", args, nargs, kwnames, {"term"}};
    std::string term;
    if (!a.get(0, term)) return nullptr;
    const PyKnowledgeState& s = self_of(self);
    const auto id = resolve(*s.state, term);
    if (!id) return nullptr;
    return stability_to_dict(analysis::concept_stability(s.records.view(), *id));
  });
}

PyObject* epistemic_direction_report(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  return py::guarded([&]() -> PyObject* {
    py::Args a{"epistemic_direction_report", args, nargs, kwnames, {"window_size"}, 0};
    std::size_t window_size = 0;
    if (!a.get(0, window_size)) return nullptr;
    return direction_dict(analysis::epistemic_direction(self_of(self).records.view(), window_size));
  });
}

PyObject* argumentation_status_report(PyObject* self, PyObject*) {
  return py::guarded([&]() -> PyObject* {
    const KnowledgeState& state = *self_of(self).state;
    return argumentation_dict(state, analysis::argumentation_status(state));
  });
}

PyObject* impact_radius_report(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return py::guarded([&]() -> PyObject* {
    py::Args a{"impact_radius_report", args, nargs, kwnames, {"term"}};
    std::string term;
    if (!a.get(0, term)) return nullptr;
    const KnowledgeState& state = *self_of(self).state;
    const auto id = resolve(state, term);
    if (!id) return nullptr;
    return impact_dict(state, analysis::impact_radius(state, *id));
  });
}

PyObject* relation_analytics_report(PyObject* self, PyObject*) {
  return py::guarded([&]() -> PyObject* {
    const KnowledgeState& state = *self_of(self).state;
    return relation_dict(state, analysis::relation_analytics(state));
  });
}

PyObject* source_analytics_report(PyObject* self, PyObject*) {
  return py::guarded([&]() -> PyObject* {
    const PyKnowledgeState& s = self_of(self);
    return source_dict(*s.state, analysis::source_analytics(s.records.view()));
  });
}

}  // namespace kelvora::python
