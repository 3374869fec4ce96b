// PyKnowledgeState: the analytics reports as dicts. Each method runs one
// analysis of the core over the receiver's state and/or its whole record
// list, then builds the dict; the core call runs no Python code, so the
// records it reads cannot move under it.
#include "report_methods.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "args.hpp"
#include "kelvora/analysis.hpp"
#include "kelvora/id_index.hpp"
#include "knowledge_state.hpp"
#include "py_util.hpp"

namespace kelvora::py {

namespace {

// ------------------------------------------------------------ fixed texts
// The keys and the fixed values of the report dicts are made once per process
// and kept, as the module is: a report of 100,000 concepts sets about a
// million keys, and making each key afresh would cost more than the report.

template <std::size_t N>
struct Literal {
  char text[N];
  constexpr Literal(const char (&s)[N]) { std::copy_n(s, N, text); }
};

// The interned str of a key; borrowed, null with an exception set on failure.
template <Literal L>
PyObject* key() {
  static PyObject* object = nullptr;
  if (object == nullptr) object = PyUnicode_InternFromString(L.text);
  return object;
}

// A str for each text of a small fixed set (the operation kinds of an arc,
// the names of an enumeration), made on first use; borrowed.
class FixedTexts {
 public:
  PyObject* get(std::string_view text) {
    for (const auto& [known, object] : texts_) {
      if (known == text) return object;
    }
    PyObject* object = py::to_py(text);
    if (object != nullptr) texts_.emplace_back(std::string(text), object);
    return object;
  }

 private:
  std::vector<std::pair<std::string, PyObject*>> texts_;
};

PyObject* fixed_text(std::string_view text) {
  static FixedTexts texts;
  return texts.get(text);
}

// dict[key] = value for a borrowed key and a new reference `value`; false
// with an exception set on failure (a null key or value included). A key
// already present keeps its place and takes the new value.
bool put(PyObject* dict, PyObject* key_object, PyObject* value) {
  py::Ref owned(value);
  return key_object != nullptr && value != nullptr && PyDict_SetItem(dict, key_object, value) == 0;
}

// A dict with room for `count` keys: the large report maps are filled
// without growing. (The sizing call is CPython's own, present in every
// version this module builds for.)
PyObject* dict_for(std::size_t count) {
  return _PyDict_NewPresized(static_cast<Py_ssize_t>(count));
}

PyObject* new_ref(PyObject* borrowed) {
  Py_XINCREF(borrowed);
  return borrowed;
}

// Float objects for the values of a large map, shared where a value repeats:
// a centrality is a degree over one count, so 100,000 of them take a few
// dozen values, and one object per value saves making and freeing the rest.
// Direct-mapped: a value whose slot holds another gets a slot of its own.
class SharedFloats {
 public:
  SharedFloats() = default;
  SharedFloats(const SharedFloats&) = delete;
  SharedFloats& operator=(const SharedFloats&) = delete;
  ~SharedFloats() {
    for (const Slot& slot : slots_) Py_XDECREF(slot.object);
  }

  // A new reference to a float of `value`, or null with an exception set.
  PyObject* get(double value) {
    const auto bits = std::bit_cast<std::uint64_t>(value);
    Slot& slot = slots_[(bits ^ bits >> 32) * 0x9E3779B97F4A7C15u >> (64 - kSlotBits)];
    if (slot.object == nullptr || slot.bits != bits) {
      PyObject* object = PyFloat_FromDouble(value);
      if (object == nullptr) return nullptr;
      Py_XDECREF(slot.object);
      slot = {bits, object};
    }
    return new_ref(slot.object);
  }

 private:
  static constexpr int kSlotBits = 8;
  struct Slot {
    std::uint64_t bits = 0;
    PyObject* object = nullptr;
  };
  std::array<Slot, std::size_t{1} << kSlotBits> slots_{};
};

// ------------------------------------------------------------ concept names

// The concepts of `ids`, given in ascending order, by one forward walk of
// the concept map; null where the state has no such concept.
std::vector<const Concept*> concepts_in_order(const KnowledgeState& state,
                                              std::span<const ConceptId> ids) {
  std::vector<const Concept*> found(ids.size(), nullptr);
  auto at = state.concepts.begin();
  const auto end = state.concepts.end();
  for (std::size_t i = 0; i < ids.size(); ++i) {
    // Equality first: most steps land on the id itself.
    while (at != end && at->first != ids[i] && at->first < ids[i]) ++at;
    if (at != end && at->first == ids[i]) found[i] = &at->second.value();
  }
  return found;
}

// The name of a concept: its term when the state holds it, else its UUID text.
PyObject* name_object(const Concept* c, const ConceptId& id) {
  return c != nullptr ? py::to_py(c->term) : py::to_py(id.to_string());
}

PyObject* name_of(const KnowledgeState& state, const ConceptId& id) {
  const auto it = state.concepts.find(id);
  return name_object(it != state.concepts.end() ? &it->second.value() : nullptr, id);
}

// Asks for the terms of the concepts a few places ahead: first the block
// that holds the term, then the term's characters. Always inlined: a call
// to it would have no effect the compiler can see, and it drops such calls.
[[gnu::always_inline]] inline void prefetch_names(const std::vector<const Concept*>& concepts,
                                                  std::size_t i) {
  if (i + 16 < concepts.size() && concepts[i + 16] != nullptr) {
    __builtin_prefetch(&concepts[i + 16]->term);
  }
  if (i + 8 < concepts.size() && concepts[i + 8] != nullptr) {
    __builtin_prefetch(concepts[i + 8]->term.data());
  }
}

// A new list of the names of `ids` (ascending).
PyObject* names_list(const KnowledgeState& state, const std::vector<ConceptId>& ids) {
  const std::vector<const Concept*> concepts = concepts_in_order(state, ids);
  py::Ref list(PyList_New(static_cast<Py_ssize_t>(ids.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    prefetch_names(concepts, i);
    PyObject* name = name_object(concepts[i], ids[i]);
    if (name == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), name);
  }
  return list.release();
}

// ------------------------------------------------------------ dict pieces

// A 2-tuple of two new references (either may be null: an error is set).
PyObject* tuple_of(PyObject* first, PyObject* second) {
  py::Ref a(first), b(second);
  if (!a || !b) return nullptr;
  return PyTuple_Pack(2, a.get(), b.get());
}

PyObject* arc_step_to_dict(const analysis::ArcStep& step) {
  py::Ref d(PyDict_New());
  if (!d) return nullptr;
  const bool ok =
      put(d.get(), key<"record_index">(), PyLong_FromUnsignedLongLong(step.record_index)) &&
      put(d.get(), key<"operation_type">(), new_ref(fixed_text(step.operation_type))) &&
      put(d.get(), key<"definition">(), py::to_py(step.definition));
  return ok ? d.release() : nullptr;
}

// The stability dict of one concept; the volatility from `floats`.
PyObject* stability_to_dict(const analysis::StabilityMetrics& m, SharedFloats& floats) {
  const auto& arc = m.definition_arc;
  py::Ref arc_list(PyList_New(static_cast<Py_ssize_t>(arc.size())));
  if (!arc_list) return nullptr;
  for (std::size_t i = 0; i < arc.size(); ++i) {
    PyObject* step = arc_step_to_dict(arc[i]);
    if (step == nullptr) return nullptr;
    PyList_SET_ITEM(arc_list.get(), static_cast<Py_ssize_t>(i), step);
  }
  py::Ref version(PyList_New(2));
  if (!version) return nullptr;
  for (Py_ssize_t i = 0; i < 2; ++i) {
    PyObject* part = py::to_py(i == 0 ? m.semantic_version.first : m.semantic_version.second);
    if (part == nullptr) return nullptr;
    PyList_SET_ITEM(version.get(), i, part);
  }
  py::Ref d(PyDict_New());
  if (!d) return nullptr;
  const bool ok =
      put(d.get(), key<"semantic_version">(), version.release()) &&
      put(d.get(), key<"total_transitions">(), py::to_py(m.total_transitions)) &&
      put(d.get(), key<"records_since_last_change">(), py::to_py(m.records_since_last_change)) &&
      put(d.get(), key<"volatility">(), floats.get(m.volatility)) &&
      put(d.get(), key<"definition_arc">(), arc_list.release());
  return ok ? d.release() : nullptr;
}

// A dict from each entry's enumeration name to its count, in the report's
// order.
template <class Entries>
PyObject* counts_to_dict(const Entries& entries) {
  py::Ref d(PyDict_New());
  if (!d) return nullptr;
  for (const auto& [value, count] : entries) {
    if (!put(d.get(), fixed_text(name(value)), py::to_py(count))) return nullptr;
  }
  return d.release();
}

// ------------------------------------------------------------ reports

PyObject* coherence_dict(const KnowledgeState& state, const analysis::CoherenceReport& report) {
  py::Ref pairs(PyList_New(0));
  if (!pairs) return nullptr;
  for (const auto& [from, to] : report.unresolved_contradictions) {
    py::Ref pair(tuple_of(name_of(state, from), name_of(state, to)));
    if (!pair || PyList_Append(pairs.get(), pair.get()) < 0) return nullptr;
  }
  // Active concepts in ascending id order; their terms are unique, so each
  // gets its own key.
  std::vector<ConceptId> ids;
  ids.reserve(report.concept_stability.size());
  for (const auto& entry : report.concept_stability) ids.push_back(entry.first);
  const std::vector<const Concept*> concepts = concepts_in_order(state, ids);
  py::Ref stability(dict_for(ids.size()));
  if (!stability) return nullptr;
  // Volatilities are few distinct ratios of small counts.
  SharedFloats volatilities;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    prefetch_names(concepts, i);
    py::Ref name(name_object(concepts[i], ids[i]));
    if (!name || !put(stability.get(), name.get(),
                      stability_to_dict(report.concept_stability[i].second, volatilities))) {
      return nullptr;
    }
  }
  py::Ref d(PyDict_New());
  if (!d) return nullptr;
  const bool ok = put(d.get(), key<"unresolved_contradictions">(), pairs.release()) &&
                  put(d.get(), key<"coherence_score">(), py::to_py(report.coherence_score)) &&
                  put(d.get(), key<"is_equilibrium">(), py::to_py(report.is_equilibrium)) &&
                  put(d.get(), key<"concept_stability">(), stability.release());
  return ok ? d.release() : nullptr;
}

PyObject* direction_dict(const analysis::DirectionReport& report) {
  py::Ref trend(PyList_New(static_cast<Py_ssize_t>(report.trend.size())));
  if (!trend) return nullptr;
  for (std::size_t i = 0; i < report.trend.size(); ++i) {
    const auto& [start, direction] = report.trend[i];
    PyObject* pair = tuple_of(py::to_py(start), new_ref(fixed_text(analysis::name(direction))));
    if (pair == nullptr) return nullptr;
    PyList_SET_ITEM(trend.get(), static_cast<Py_ssize_t>(i), pair);
  }
  py::Ref d(PyDict_New());
  if (!d) return nullptr;
  const bool ok =
      put(d.get(), key<"assert_ratio">(), py::to_py(report.assert_ratio)) &&
      put(d.get(), key<"refine_ratio">(), py::to_py(report.refine_ratio)) &&
      put(d.get(), key<"revise_ratio">(), py::to_py(report.revise_ratio)) &&
      put(d.get(), key<"direction">(), new_ref(fixed_text(analysis::name(report.direction)))) &&
      put(d.get(), key<"trend">(), trend.release());
  return ok ? d.release() : nullptr;
}

PyObject* argumentation_dict(const KnowledgeState& state,
                             const analysis::ArgumentationReport& report) {
  py::Ref uncontested(names_list(state, report.uncontested));
  if (!uncontested) return nullptr;
  // The grounded extension holds the uncontested concepts (and, were attack
  // not symmetric, the defended ones): share their names when it is the same.
  py::Ref grounded(report.grounded_extension == report.uncontested
                       ? PyList_GetSlice(uncontested.get(), 0, PyList_GET_SIZE(uncontested.get()))
                       : names_list(state, report.grounded_extension));
  if (!grounded) return nullptr;
  py::Ref d(PyDict_New());
  if (!d) return nullptr;
  const bool ok = put(d.get(), key<"attacked">(), names_list(state, report.attacked)) &&
                  put(d.get(), key<"defended">(), names_list(state, report.defended)) &&
                  put(d.get(), key<"uncontested">(), uncontested.release()) &&
                  put(d.get(), key<"grounded_extension">(), grounded.release());
  return ok ? d.release() : nullptr;
}

// Downstream names sorted by their UTF-8 bytes (which is code point order);
// equal names keep ascending id order. The names are copied into one buffer
// first, so the sort compares nearby bytes.
PyObject* downstream_names(const KnowledgeState& state, const std::vector<ConceptId>& ids) {
  const std::vector<const Concept*> concepts = concepts_in_order(state, ids);
  std::string buffer;
  std::vector<std::pair<std::size_t, std::size_t>> spans;  // (offset, length)
  spans.reserve(ids.size());
  for (std::size_t i = 0; i < ids.size(); ++i) {
    prefetch_names(concepts, i);
    const std::size_t offset = buffer.size();
    if (concepts[i] != nullptr) {
      buffer += concepts[i]->term;
    } else {
      buffer += ids[i].to_string();
    }
    spans.emplace_back(offset, buffer.size() - offset);
  }
  const auto text = [&](std::uint32_t i) {
    return std::string_view(buffer).substr(spans[i].first, spans[i].second);
  };
  // Each name's first 16 bytes as two big-endian numbers (zero-padded)
  // decide most comparisons; equal prefixes fall back to the whole names,
  // then to the id order.
  struct Key {
    std::uint64_t high, low;
    std::uint32_t index;
  };
  std::vector<Key> order(ids.size());
  for (std::uint32_t i = 0; i < order.size(); ++i) {
    unsigned char prefix[16] = {};
    const std::string_view name = text(i);
    std::copy_n(name.begin(), std::min<std::size_t>(name.size(), 16), prefix);
    std::uint64_t high = 0, low = 0;
    for (int b = 0; b < 8; ++b) {
      high = high << 8 | prefix[b];
      low = low << 8 | prefix[8 + b];
    }
    order[i] = {high, low, i};
  }
  std::sort(order.begin(), order.end(), [&](const Key& a, const Key& b) {
    if (a.high != b.high) return a.high < b.high;
    if (a.low != b.low) return a.low < b.low;
    const int c = text(a.index).compare(text(b.index));
    return c != 0 ? c < 0 : a.index < b.index;
  });
  py::Ref list(PyList_New(static_cast<Py_ssize_t>(order.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < order.size(); ++i) {
    PyObject* name = py::to_py(text(order[i].index));
    if (name == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), name);
  }
  return list.release();
}

PyObject* impact_dict(const KnowledgeState& state, const analysis::ImpactReport& report) {
  py::Ref titles(PyList_New(static_cast<Py_ssize_t>(report.affected_structure.size())));
  if (!titles) return nullptr;
  for (std::size_t i = 0; i < report.affected_structure.size(); ++i) {
    PyObject* title = py::to_py(state.structure.at(report.affected_structure[i])->title);
    if (title == nullptr) return nullptr;
    PyList_SET_ITEM(titles.get(), static_cast<Py_ssize_t>(i), title);
  }
  py::Ref d(PyDict_New());
  if (!d) return nullptr;
  const bool ok = put(d.get(), key<"downstream_concepts">(),
                      downstream_names(state, report.downstream_concepts)) &&
                  put(d.get(), key<"affected_structure">(), titles.release()) &&
                  put(d.get(), key<"radius">(), py::to_py(report.radius));
  return ok ? d.release() : nullptr;
}

// The position of `key` in the ascending `keys`, searching forward from
// `from` in growing steps: the members of a cluster ascend, so each search
// starts where the last one ended.
std::size_t seek(const std::vector<IdOrder>& keys, std::size_t from, const IdOrder& key) {
  std::size_t low = from, step = 1;
  while (low + step < keys.size() && keys[low + step] < key) {
    low += step;
    step *= 2;
  }
  const auto end =
      keys.begin() + static_cast<std::ptrdiff_t>(std::min(low + step + 1, keys.size()));
  return static_cast<std::size_t>(
      std::lower_bound(keys.begin() + static_cast<std::ptrdiff_t>(low), end, key) - keys.begin());
}

PyObject* relation_dict(const KnowledgeState& state, const analysis::RelationReport& report) {
  // One str per Active concept, made once and shared by the centrality keys
  // and the cluster lists. The centrality list holds every Active concept
  // once, in ascending id order.
  const auto& centrality = report.concept_centrality;
  std::vector<ConceptId> ids;
  std::vector<IdOrder> keys;
  ids.reserve(centrality.size());
  keys.reserve(centrality.size());
  for (const auto& entry : centrality) {
    ids.push_back(entry.first);
    keys.push_back(IdOrder::of(entry.first));
  }
  const std::vector<const Concept*> concepts = concepts_in_order(state, ids);
  std::vector<py::Ref> names;
  names.reserve(ids.size());
  py::Ref centrality_dict(dict_for(ids.size()));
  if (!centrality_dict) return nullptr;
  SharedFloats values;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    prefetch_names(concepts, i);
    names.emplace_back(name_object(concepts[i], ids[i]));
    if (!names.back() ||
        !put(centrality_dict.get(), names.back().get(), values.get(centrality[i].second))) {
      return nullptr;
    }
  }

  py::Ref clusters(PyList_New(static_cast<Py_ssize_t>(report.clusters.size())));
  if (!clusters) return nullptr;
  // Made last to first, so that the largest list (usually most of the
  // concepts) comes last: a collection the smaller lists set off then does
  // not walk it.
  for (std::size_t c = report.clusters.size(); c-- > 0;) {
    const auto& members = report.clusters[c];
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(members.size()));
    if (list == nullptr) return nullptr;
    PyList_SET_ITEM(clusters.get(), static_cast<Py_ssize_t>(c), list);
    std::size_t at = 0;
    for (std::size_t m = 0; m < members.size(); ++m) {
      at = seek(keys, at, IdOrder::of(members[m]));
      PyObject* name = at < ids.size() && ids[at] == members[m] ? new_ref(names[at].get())
                                                                : name_of(state, members[m]);
      if (name == nullptr) return nullptr;
      PyList_SET_ITEM(list, static_cast<Py_ssize_t>(m), name);
    }
  }

  py::Ref d(PyDict_New());
  if (!d) return nullptr;
  const bool ok =
      put(d.get(), key<"type_distribution">(), counts_to_dict(report.type_distribution)) &&
      put(d.get(), key<"concept_centrality">(), centrality_dict.release()) &&
      put(d.get(), key<"dead_relations">(), py::to_py(report.dead_relations.size())) &&
      put(d.get(), key<"clusters">(), clusters.release());
  return ok ? d.release() : nullptr;
}

PyObject* source_dict(const KnowledgeState& state, const analysis::SourceReport& report) {
  const auto& latency = report.confirmation_latency;
  py::Ref latency_list(PyList_New(static_cast<Py_ssize_t>(latency.size())));
  if (!latency_list) return nullptr;
  for (std::size_t i = 0; i < latency.size(); ++i) {
    PyObject* pair = tuple_of(name_of(state, latency[i].first), py::to_py(latency[i].second));
    if (pair == nullptr) return nullptr;
    PyList_SET_ITEM(latency_list.get(), static_cast<Py_ssize_t>(i), pair);
  }
  py::Ref d(PyDict_New());
  if (!d) return nullptr;
  const bool ok =
      put(d.get(), key<"user_verified_ratio">(), py::to_py(report.user_verified_ratio)) &&
      put(d.get(), key<"override_count">(), py::to_py(report.override_count)) &&
      put(d.get(), key<"confirmation_latency">(), latency_list.release()) &&
      put(d.get(), key<"source_distribution">(), counts_to_dict(report.source_distribution)) &&
      put(d.get(), key<"reinforce_count">(), py::to_py(report.reinforce_count));
  return ok ? d.release() : nullptr;
}

}  // namespace

// ------------------------------------------------------------ methods

PyObject* coherence_report(PyObject* self, PyObject*) {
  return py::guarded([&]() -> PyObject* {
    const PyKnowledgeState& s = knowledge_state_of(self);
    return coherence_dict(*s.state, analysis::coherence(*s.state, s.records.view()));
  });
}

PyObject* concept_stability_report(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  return py::guarded([&]() -> PyObject* {
    py::Args a{"concept_stability_report", args, nargs, kwnames, {"term"}};
    std::string term;
    if (!a.get(0, term)) return nullptr;
    const PyKnowledgeState& s = knowledge_state_of(self);
    const auto id = resolve(*s.state, term);
    if (!id) return nullptr;
    SharedFloats floats;
    return stability_to_dict(analysis::concept_stability(s.records.view(), *id), floats);
  });
}

PyObject* epistemic_direction_report(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  return py::guarded([&]() -> PyObject* {
    py::Args a{"epistemic_direction_report", args, nargs, kwnames, {"window_size"}, 0};
    std::size_t window_size = 0;
    if (!a.get(0, window_size)) return nullptr;
    return direction_dict(
        analysis::epistemic_direction(knowledge_state_of(self).records.view(), window_size));
  });
}

PyObject* argumentation_status_report(PyObject* self, PyObject*) {
  return py::guarded([&]() -> PyObject* {
    const KnowledgeState& state = *knowledge_state_of(self).state;
    return argumentation_dict(state, analysis::argumentation_status(state));
  });
}

PyObject* impact_radius_report(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return py::guarded([&]() -> PyObject* {
    py::Args a{"impact_radius_report", args, nargs, kwnames, {"term"}};
    std::string term;
    if (!a.get(0, term)) return nullptr;
    const KnowledgeState& state = *knowledge_state_of(self).state;
    const auto id = resolve(state, term);
    if (!id) return nullptr;
    return impact_dict(state, analysis::impact_radius(state, *id));
  });
}

PyObject* relation_analytics_report(PyObject* self, PyObject*) {
  return py::guarded([&]() -> PyObject* {
    const KnowledgeState& state = *knowledge_state_of(self).state;
    return relation_dict(state, analysis::relation_analytics(state));
  });
}

PyObject* source_analytics_report(PyObject* self, PyObject*) {
  return py::guarded([&]() -> PyObject* {
    const PyKnowledgeState& s = knowledge_state_of(self);
    return source_dict(*s.state, analysis::source_analytics(s.records.view()));
  });
}

}  // namespace kelvora::py
