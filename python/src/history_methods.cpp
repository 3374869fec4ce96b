// PyKnowledgeState: diffs, history queries, extraction classification and
// the AGM report.
#include "history_methods.hpp"

#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "args.hpp"
#include "kelvora/classification.hpp"
#include "kelvora/diff.hpp"
#include "kelvora/float_text.hpp"
#include "kelvora/temporal.hpp"
#include "kelvora/timestamp_text.hpp"
#include "knowledge_state.hpp"
#include "py_util.hpp"

namespace kelvora::py {

namespace {

constexpr double kReinforceThreshold = 0.95;
constexpr double kDefaultRefineThreshold = 0.3;

// An object's records are a verified chain: each was made by apply on the
// object's line of states, or checked hash by hash when loaded, and a
// state_at object holds a prefix with the state its replay made. Only a
// history whose first record started from a loaded state differs: replayed
// from the empty state it makes other states (and a state_at object of it
// holds one of those). The replays start from the empty state and so use the
// recorded hashes only when the first record starts from the empty state.
constexpr auto kOwnChain = temporal::RecordChain::Verified;

// Parameter `i` as a PyKnowledgeState object, held.
bool get_state(const py::Args& a, std::size_t i, const char* name, py::Object& out) {
  if (!a.get(i, out)) return false;
  if (PyObject_TypeCheck(out.get(), knowledge_state_type())) return true;
  return py::type_error(out.get(), "PyKnowledgeState", name);
}

template <class Tag>
const Id<Tag>& key_of(const Id<Tag>& id) {
  return id;
}
template <class Tag, class Changes>
const Id<Tag>& key_of(const std::pair<Id<Tag>, Changes>& modified) {
  return modified.first;
}

// The text `text_of` gives for each listed id that `map` holds, in list
// order; ids the map lacks are left out.
template <class Items, class Map, class TextOf>
PyObject* names_in(const Items& items, const Map& map, TextOf text_of) {
  py::List list;
  for (const auto& item : items) {
    const auto it = map.find(key_of(item));
    if (it == map.end()) continue;
    if (!list.append(text_of(*it->second)).ok()) break;
  }
  return list.release();
}

const std::string& term_of(const Concept& c) { return c.term; }
const std::string& title_of(const StructureNode& n) { return n.title; }

// The concept part of a diff dict: terms of added concepts looked up in
// `after`, of removed and modified ones in `before`; relation counts.
bool set_concept_keys(py::Dict& out, const StateDiff& d, const KnowledgeState& before,
                      const KnowledgeState& after) {
  py::Ref added(names_in(d.concepts_added, after.concepts, term_of));
  if (!added) return false;
  py::Ref removed(names_in(d.concepts_removed, before.concepts, term_of));
  if (!removed) return false;
  py::Ref modified(names_in(d.concepts_modified, before.concepts, term_of));
  if (!modified) return false;
  out.set("concepts_added", std::move(added))
      .set("concepts_removed", std::move(removed))
      .set("concepts_modified", std::move(modified))
      .set("relations_added", d.relations_added.size())
      .set("relations_removed", d.relations_removed.size());
  return out.ok();
}

std::string_view classification_name(classification::ClassificationKind kind) {
  static constexpr std::string_view kNames[] = {"assert", "refine", "revise", "reinforce"};
  return kNames[static_cast<std::size_t>(kind)];
}

// The refine threshold as given, or the default; nothing with ValueError
// when it is not finite or lies outside [0, 1] (-0.0 passes).
std::optional<double> refine_threshold(const std::optional<double>& given) {
  if (!given) return kDefaultRefineThreshold;
  const double value = *given;
  if (!std::isfinite(value)) {
    py::raise_value_error("refine_threshold must be finite, got " +
                          serialization::format_f64_display(value));
    return std::nullopt;
  }
  if (value < 0.0 || value > 1.0) {
    py::raise_value_error("refine_threshold must be within [0, 1], got " +
                          serialization::format_f64_display(value));
    return std::nullopt;
  }
  return value;
}

PyObject* snapshot_dict(const temporal::ConceptSnapshot& s) {
  py::Dict d;
  d.set("record_index", s.record_index)
      .set("operation_type", s.operation_type)
      .set("definition", s.definition)
      .set("confidence", s.confidence)
      .set("timestamp", serialization::format_timestamp_rfc3339(s.timestamp));
  return d.release();
}

PyObject* point_dict(const temporal::CoherenceSnapshot& p) {
  py::Dict d;
  d.set("record_index", p.record_index)
      .set("coherence_score", p.coherence_score)
      .set("contradiction_count", p.contradiction_count)
      .set("concept_count", p.concept_count)
      .set("direction", analysis::name(p.direction));
  return d.release();
}

}  // namespace

std::string postulate_str(const agm::PostulateResult& result) {
  if (const auto* violated = std::get_if<agm::postulate::Violated>(&result)) {
    return "violated: " + violated->reason;
  }
  return std::holds_alternative<agm::postulate::Satisfied>(result) ? "satisfied" : "not_applicable";
}

PyObject* classify_extraction(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return py::guarded([&]() -> PyObject* {
    py::Args a{
        "classify_extraction", args, nargs, kwnames, {"term", "definition", "refine_threshold"}, 2};
    std::string term, definition;
    std::optional<double> given;
    if (!a.get(0, term) || !a.get(1, definition) || !a.get(2, given)) return nullptr;
    const auto refine = refine_threshold(given);
    if (!refine) return nullptr;
    const auto result = classification::classify_extraction(
        *knowledge_state_of(self).state, term, definition,
        classification::ClassificationThresholds{*refine, kReinforceThreshold});
    std::optional<std::string> concept_id;
    if (result.concept_id) concept_id = result.concept_id->to_string();
    py::Dict d;
    d.set("classification", classification_name(result.kind))
        .set("concept_id", concept_id)
        .set("similarity", result.similarity);
    return d.release();
  });
}

PyObject* diff(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded([&]() -> PyObject* {
    py::Args a{"diff", args, nargs, kwnames, {"other"}};
    py::Object other;
    if (!get_state(a, 0, "other", other)) return nullptr;
    const KnowledgeState& before = *knowledge_state_of(self).state;
    const KnowledgeState& after = *knowledge_state_of(other.get()).state;
    const StateDiff d = diff::diff(before, after);
    py::Dict out;
    if (!set_concept_keys(out, d, before, after)) return nullptr;
    py::Ref added(names_in(d.structure_added, after.structure, title_of));
    if (!added) return nullptr;
    py::Ref removed(names_in(d.structure_removed, before.structure, title_of));
    if (!removed) return nullptr;
    py::Ref modified(names_in(d.structure_modified, before.structure, title_of));
    if (!modified) return nullptr;
    out.set("structure_added", std::move(added))
        .set("structure_removed", std::move(removed))
        .set("structure_modified", std::move(modified));
    return out.release();
  });
}

PyObject* agm_report(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded([&]() -> PyObject* {
    py::Args a{"agm_report", args, nargs, kwnames, {"before"}};
    py::Object before;
    if (!get_state(a, 0, "before", before)) return nullptr;
    const PyKnowledgeState& value = knowledge_state_of(self);
    const EvolutionRecord* last = value.records.last();
    if (last == nullptr)
      return py::raise_value_error("no operation has been applied to this state");
    const agm::AgmReport report = agm::check_agm_compliance(*knowledge_state_of(before.get()).state,
                                                            last->operation, *value.state);
    const bool all_satisfied =
        !std::holds_alternative<agm::postulate::Violated>(report.closure) &&
        !std::holds_alternative<agm::postulate::Violated>(report.success) &&
        !std::holds_alternative<agm::postulate::Violated>(report.vacuity) &&
        !std::holds_alternative<agm::postulate::Violated>(report.consistency);
    py::Dict d;
    d.set("closure", postulate_str(report.closure))
        .set("success", postulate_str(report.success))
        .set("vacuity", postulate_str(report.vacuity))
        .set("consistency", postulate_str(report.consistency))
        .set("minimality_score", report.minimality_score)
        .set("all_satisfied", all_satisfied);
    return d.release();
  });
}

PyObject* state_at(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded([&]() -> PyObject* {
    py::Args a{"state_at", args, nargs, kwnames, {"index"}};
    std::uint64_t index = 0;
    if (!a.get(0, index)) return nullptr;
    const RecordHistory& records = knowledge_state_of(self).records;
    auto state = temporal::state_at(empty_state(), records.view(), index, kOwnChain);
    if (!state) return py::raise_engine_error(state.error());
    return wrap_knowledge_state(PyKnowledgeState{
        records.prefix(index + 1), std::make_shared<const KnowledgeState>(std::move(*state))});
  });
}

PyObject* concept_history(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return py::guarded([&]() -> PyObject* {
    py::Args a{"concept_history", args, nargs, kwnames, {"term"}};
    std::string term;
    if (!a.get(0, term)) return nullptr;
    const auto history =
        temporal::concept_history_by_term(knowledge_state_of(self).records.view(), term);
    return py::list_of(history, snapshot_dict);
  });
}

PyObject* range_diff(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded([&]() -> PyObject* {
    py::Args a{"range_diff", args, nargs, kwnames, {"from_index", "to_index"}};
    std::uint64_t from_index = 0, to_index = 0;
    if (!a.get(0, from_index) || !a.get(1, to_index)) return nullptr;
    // One replay gives both states; the diff's terms are looked up in them.
    const auto states = temporal::range_states(
        empty_state(), knowledge_state_of(self).records.view(), from_index, to_index, kOwnChain);
    if (!states) return py::raise_engine_error(states.error());
    const StateDiff d = diff::diff(states->from_state, states->to_state);
    py::Dict out;
    if (!set_concept_keys(out, d, states->from_state, states->to_state)) return nullptr;
    return out.release();
  });
}

PyObject* convergence_trajectory(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return py::guarded([&]() -> PyObject* {
    py::Args a{"convergence_trajectory", args, nargs, kwnames, {"direction_window"}, 0};
    std::uint64_t window = 0;
    if (!a.get(0, window)) return nullptr;
    const auto points = temporal::convergence_trajectory(
        empty_state(), knowledge_state_of(self).records.view(), window, kOwnChain);
    if (!points) return py::raise_engine_error(points.error());
    return py::list_of(*points, point_dict);
  });
}

}  // namespace kelvora::py
