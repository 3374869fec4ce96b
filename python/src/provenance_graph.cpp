// The Python class PyProvenanceGraph: a provenance graph built from the
// records of a PyKnowledgeState, grown in place by the caller's agents,
// activities, associations and derivations, queried and exported.
#include <cstdint>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "args.hpp"
#include "classes.hpp"
#include "kelvora/provenance.hpp"
#include "kelvora/timestamp_text.hpp"
#include "knowledge_state.hpp"
#include "py_util.hpp"

namespace kelvora::py {
namespace {

namespace prov = kelvora::provenance;

// The object: the graph and its borrow count (> 0: that many readers,
// -1: one writer). Calls arrive one at a time under the interpreter lock;
// the count keeps a call that runs Python code (a finaliser, say) from
// reaching a graph another call on the same object is still using.
struct ProvenanceGraphObject {
  PyObject_HEAD prov::ProvenanceGraph graph;
  Py_ssize_t borrows;
};

PyTypeObject* g_type = nullptr;

ProvenanceGraphObject* as_object(PyObject* self) {
  return reinterpret_cast<ProvenanceGraphObject*>(self);
}

// A shared hold on the graph for one reading call.
class Reading {
 public:
  explicit Reading(PyObject* self) : object_(as_object(self)) {
    if (object_->borrows < 0) {
      PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
      object_ = nullptr;
      return;
    }
    ++object_->borrows;
  }
  ~Reading() {
    if (object_ != nullptr) --object_->borrows;
  }
  Reading(const Reading&) = delete;
  Reading& operator=(const Reading&) = delete;

  explicit operator bool() const { return object_ != nullptr; }
  const prov::ProvenanceGraph& graph() const { return object_->graph; }

 private:
  ProvenanceGraphObject* object_;
};

// Runs `change` on the graph under an exclusive hold; None, or RuntimeError
// when another call holds the graph.
template <class Change>
PyObject* change_graph(PyObject* self, Change&& change) {
  ProvenanceGraphObject* object = as_object(self);
  if (object->borrows != 0) {
    PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    return nullptr;
  }
  object->borrows = -1;
  struct Release {
    ProvenanceGraphObject* object;
    ~Release() { object->borrows = 0; }
  } release{object};
  change(object->graph);
  return py::none();
}

PyObject* provenance_graph_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined for PyProvenanceGraph");
  return nullptr;
}

void provenance_graph_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  as_object(self)->graph.~ProvenanceGraph();
  type->tp_free(self);
  Py_DECREF(type);
}

// ------------------------------------------------------------ building

PyObject* from_state(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded([&]() -> PyObject* {
    py::Args a{"from_state", args, nargs, kwnames, {"state"}};
    py::Object state;
    if (!a.get(0, state)) return nullptr;
    PyTypeObject* state_type = knowledge_state_type();
    if (state_type == nullptr || !PyObject_TypeCheck(state.get(), state_type)) {
      py::type_error(state.get(), "PyKnowledgeState", "state");
      return nullptr;
    }
    const RecordHistory records = knowledge_state_of(state.get()).records;
    prov::ProvenanceGraph graph = prov::ProvenanceGraph::from_records(records.view());
    PyObject* object = g_type->tp_alloc(g_type, 0);
    if (object == nullptr) return nullptr;
    new (&as_object(object)->graph) prov::ProvenanceGraph(std::move(graph));
    as_object(object)->borrows = 0;
    return object;
  });
}

// ------------------------------------------------------------ reading

// A method without arguments that reads the graph.
template <class Read>
PyObject* read_graph(PyObject* self, Read&& read) {
  return py::guarded([&]() -> PyObject* {
    const Reading reading(self);
    if (!reading) return nullptr;
    return read(reading.graph());
  });
}

// An ASCII text is written straight into the new str (its compact form holds
// one byte per character); any other is written as UTF-8 and decoded.
PyObject* to_prov_json(PyObject* self, PyObject*) {
  return read_graph(self, [](const prov::ProvenanceGraph& g) -> PyObject* {
    const prov::ProvJsonText text = g.prov_json_text();
    if (!text.ascii()) {
      std::string utf8;
      utf8.resize_and_overwrite(text.size(), [&](char* out, std::size_t size) {
        text.write(out);
        return size;
      });
      return py::to_py(utf8);
    }
    if (text.size() > static_cast<std::size_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127);
    if (str == nullptr) return nullptr;
    text.write(static_cast<char*>(PyUnicode_DATA(str)));
    return str;
  });
}

PyObject* entity_count(PyObject* self, PyObject*) {
  return read_graph(self, [](const auto& g) { return py::to_py(g.entity_count()); });
}

PyObject* activity_count(PyObject* self, PyObject*) {
  return read_graph(self, [](const auto& g) { return py::to_py(g.activity_count()); });
}

PyObject* agent_count(PyObject* self, PyObject*) {
  return read_graph(self, [](const auto& g) { return py::to_py(g.agent_count()); });
}

PyObject* relation_count(PyObject* self, PyObject*) {
  return read_graph(self, [](const auto& g) { return py::to_py(g.relation_count()); });
}

PyObject* coverage(PyObject* self, PyObject*) {
  return read_graph(self, [](const auto& g) { return py::to_py(g.coverage()); });
}

template <class Node>
PyObject* id_list(const std::vector<const Node*>& nodes) {
  return py::list_of(nodes, [](const Node* node) { return py::to_py(node->id.text()); });
}

PyObject* entity_ids(PyObject* self, PyObject*) {
  return read_graph(self, [](const auto& g) { return id_list(g.entities()); });
}

PyObject* activity_ids(PyObject* self, PyObject*) {
  return read_graph(self, [](const auto& g) { return id_list(g.activities()); });
}

PyObject* agent_ids(PyObject* self, PyObject*) {
  return read_graph(self, [](const auto& g) { return id_list(g.agents()); });
}

// A query of one identifier argument, answered by `query(graph, id)`.
template <class Query>
PyObject* query_graph(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                      const char* method, const char* argument, Query&& query) {
  return py::guarded([&]() -> PyObject* {
    py::Args a{method, args, nargs, kwnames, {argument}};
    if (!a.ok()) return nullptr;
    const Reading reading(self);
    if (!reading) return nullptr;
    std::string id;
    if (!a.get(0, id)) return nullptr;
    return id_list(query(reading.graph(), id));
  });
}

PyObject* lineage(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return query_graph(self, args, nargs, kwnames, "lineage", "entity_id",
                     [](const auto& g, const std::string& id) { return g.lineage(id); });
}

PyObject* generated_from(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return query_graph(self, args, nargs, kwnames, "generated_from", "entity_id",
                     [](const auto& g, const std::string& id) { return g.generated_from(id); });
}

PyObject* derived_from(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return query_graph(self, args, nargs, kwnames, "derived_from", "entity_id",
                     [](const auto& g, const std::string& id) { return g.derived_from(id); });
}

PyObject* agents_for_activity(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return query_graph(
      self, args, nargs, kwnames, "agents_for_activity", "activity_id",
      [](const auto& g, const std::string& id) { return g.agents_for_activity(id); });
}

// ------------------------------------------------------------ adding
// Every argument is converted before the graph is held: converting may run
// Python code, which then sees the graph as it was before the call, and a
// failed conversion leaves the graph untouched.

prov::ProvAgentType agent_type_of(std::string_view text) {
  if (text == "user") return prov::ProvAgentType::User;
  if (text == "embedding") return prov::ProvAgentType::EmbeddingClassifier;
  if (text == "nli") return prov::ProvAgentType::NliClassifier;
  if (text == "llm") return prov::ProvAgentType::LlmModel;
  return prov::ProvAgentType::System;
}

PyObject* add_agent(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded([&]() -> PyObject* {
    py::Args a{"add_agent", args, nargs, kwnames, {"agent_id", "agent_type", "name"}};
    std::string id, type, name;
    if (!a.get(0, id) || !a.get(1, type) || !a.get(2, name)) return nullptr;
    prov::ProvAgent agent{
        prov::ProvenanceId(std::move(id)), std::move(name), {}, agent_type_of(type)};
    return change_graph(self, [&](prov::ProvenanceGraph& g) { g.add_agent(std::move(agent)); });
  });
}

// The dict's entries, read from its own storage in its order (a subclass's
// overridden methods are not called), each key and value converted to text.
bool read_attributes(PyObject* dict, prov::AttributeMap& out) {
  std::vector<prov::AttributeMap::Entry> entries;
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    // Held while converting: nothing else keeps them if the dict changes.
    const py::Ref held_key = py::Ref::borrow(key);
    const py::Ref held_value = py::Ref::borrow(value);
    std::string k, v;
    if (!py::convert(key, k, nullptr) || !py::convert(value, v, nullptr)) return false;
    entries.emplace_back(std::move(k), std::move(v));
  }
  out.assign(std::move(entries));
  return true;
}

PyObject* add_activity(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded([&]() -> PyObject* {
    py::Args a{"add_activity",
               args,
               nargs,
               kwnames,
               {"activity_id", "activity_type", "timestamp", "attributes"}};
    std::string id, type, timestamp;
    py::DictArg attributes;
    if (!a.get(0, id) || !a.get(1, type) || !a.get(2, timestamp) || !a.get(3, attributes)) {
      return nullptr;
    }
    const auto time = serialization::parse_rfc3339_relaxed_checked(timestamp);
    if (!time) return py::raise_value_error(time.error());
    prov::ProvActivity activity;
    if (!read_attributes(attributes.get(), activity.attributes)) return nullptr;
    activity.id = prov::ProvenanceId(std::move(id));
    activity.started_at = activity.ended_at = *time;
    activity.activity_type = type == "classification"
                                 ? prov::ProvActivityType::ClassificationDecision
                                 : prov::ProvActivityType::EvolutionOperation;
    return change_graph(self,
                        [&](prov::ProvenanceGraph& g) { g.add_activity(std::move(activity)); });
  });
}

// add_association and add_derivation: one relation between two texts.
PyObject* add_relation(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                       const char* method, const char* from_name, const char* to_name,
                       prov::ProvRelationType type) {
  return py::guarded([&]() -> PyObject* {
    py::Args a{method, args, nargs, kwnames, {from_name, to_name}};
    std::string from, to;
    if (!a.get(0, from) || !a.get(1, to)) return nullptr;
    prov::ProvRelation relation{
        prov::ProvenanceId(std::move(from)), prov::ProvenanceId(std::move(to)), {}, type};
    return change_graph(self,
                        [&](prov::ProvenanceGraph& g) { g.add_relation(std::move(relation)); });
  });
}

PyObject* add_association(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return add_relation(self, args, nargs, kwnames, "add_association", "activity_id", "agent_id",
                      prov::ProvRelationType::WasAssociatedWith);
}

PyObject* add_derivation(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return add_relation(self, args, nargs, kwnames, "add_derivation", "generated_id", "used_id",
                      prov::ProvRelationType::WasDerivedFrom);
}

// ------------------------------------------------------------ type

PyMethodDef g_methods[] = {
    {"from_state", fastcall(from_state), METH_STATIC | kFastcall,
     "from_state(state)\n--\n\n"
     "Build a provenance graph from all evolution records in a state."},
    {"to_prov_json", to_prov_json, METH_NOARGS,
     "to_prov_json($self)\n--\n\nExport the graph as a W3C PROV-JSON string."},
    {"entity_count", entity_count, METH_NOARGS, "entity_count($self)\n--\n\n"},
    {"activity_count", activity_count, METH_NOARGS, "activity_count($self)\n--\n\n"},
    {"agent_count", agent_count, METH_NOARGS, "agent_count($self)\n--\n\n"},
    {"relation_count", relation_count, METH_NOARGS, "relation_count($self)\n--\n\n"},
    {"coverage", coverage, METH_NOARGS,
     "coverage($self)\n--\n\n"
     "Provenance coverage: fraction of entities with WasGeneratedBy or WasDerivedFrom."},
    {"lineage", fastcall(lineage), kFastcall,
     "lineage($self, entity_id)\n--\n\n"
     "Recursive backward traversal: full lineage of an entity.\n"
     "Returns list of entity ID strings."},
    {"generated_from", fastcall(generated_from), kFastcall,
     "generated_from($self, entity_id)\n--\n\n"
     "Forward provenance: entities derived from this entity.\n"
     "Returns list of entity ID strings."},
    {"derived_from", fastcall(derived_from), kFastcall,
     "derived_from($self, entity_id)\n--\n\n"
     "Backward provenance: entities this entity was derived from.\n"
     "Returns list of entity ID strings."},
    {"agents_for_activity", fastcall(agents_for_activity), kFastcall,
     "agents_for_activity($self, activity_id)\n--\n\n"
     "Get agents for a given activity.\n"
     "Returns list of agent ID strings."},
    {"add_agent", fastcall(add_agent), kFastcall,
     "add_agent($self, agent_id, agent_type, name)\n--\n\n"
     "Add a custom agent (e.g., classifier, LLM model)."},
    {"add_activity", fastcall(add_activity), kFastcall,
     "add_activity($self, activity_id, activity_type, timestamp, attributes)\n--\n\n"
     "Add a custom activity (e.g., classification decision)."},
    {"add_association", fastcall(add_association), kFastcall,
     "add_association($self, activity_id, agent_id)\n--\n\n"
     "Add a WasAssociatedWith relation between an activity and an agent."},
    {"add_derivation", fastcall(add_derivation), kFastcall,
     "add_derivation($self, generated_id, used_id)\n--\n\n"
     "Add a WasDerivedFrom relation between two entities."},
    {"entity_ids", entity_ids, METH_NOARGS,
     "entity_ids($self)\n--\n\nList all entity IDs in the graph."},
    {"activity_ids", activity_ids, METH_NOARGS,
     "activity_ids($self)\n--\n\nList all activity IDs in the graph."},
    {"agent_ids", agent_ids, METH_NOARGS,
     "agent_ids($self)\n--\n\nList all agent IDs in the graph."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_provenance_graph_type(PyObject* module) {
  return add_type(module,
                  {"builtins.PyProvenanceGraph", sizeof(ProvenanceGraphObject), nullptr,
                   provenance_graph_new, provenance_graph_dealloc, g_methods},
                  g_type);
}

}  // namespace kelvora::py
