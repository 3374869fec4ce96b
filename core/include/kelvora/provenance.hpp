// The W3C PROV view of a record list: entities (knowledge states, concept
// versions, concept relations), activities (one per applied operation, plus
// the callers' own), agents and the typed PROV relations between them. Built
// from records, extended by callers, queried, and exported as PROV-JSON.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kelvora/provenance_id_table.hpp"
#include "kelvora/types.hpp"

namespace kelvora::provenance {

// The namespaces of the export's "prefix" section. The "qel" IRI names the
// system's own attribute and type vocabulary; documents already exported
// refer to it, so it never changes.
inline constexpr std::string_view kProvNamespace = "http://www.w3.org/ns/prov#";
inline constexpr std::string_view kQelNamespace = "https://w3id.org/kelvora/qel#";
inline constexpr std::string_view kXsdNamespace = "http://www.w3.org/2001/XMLSchema#";

// The identifier of a node: one text, compared and ordered by its bytes.
class ProvenanceId {
 public:
  ProvenanceId() = default;
  explicit ProvenanceId(std::string text) : text_(std::move(text)) {}

  // "qel:state:" and the first 16 hex digits of the hash.
  static ProvenanceId from_state_hash(const Hash& hash);
  // "qel:activity:{index}:{first 16 hex digits of the chain hash}".
  static ProvenanceId from_record_position(std::uint64_t index, const Hash& chain_hash);
  // "qel:concept:{id}:v{version}".
  static ProvenanceId concept_version(const ConceptId& id, std::uint32_t version);
  // "qel:relation:{id}".
  static ProvenanceId relation(const RelationId& id);
  // The two built-in agents: "qel:agent:user" and "qel:agent:qel-engine".
  static ProvenanceId user_agent();
  static ProvenanceId engine_agent();

  const std::string& text() const { return text_; }

  friend auto operator<=>(const ProvenanceId&, const ProvenanceId&) = default;
  friend bool operator==(const ProvenanceId&, const ProvenanceId&) = default;

 private:
  std::string text_;
};

enum class ProvEntityType : std::uint8_t {
  ConceptDefinition,
  KnowledgeState,
  Evidence,
  ConceptRelation
};
enum class ProvActivityType : std::uint8_t { EvolutionOperation, ClassificationDecision };
enum class ProvAgentType : std::uint8_t {
  User,
  System,
  EmbeddingClassifier,
  NliClassifier,
  LlmModel
};
enum class ProvRelationType : std::uint8_t {
  WasGeneratedBy,
  Used,
  WasDerivedFrom,
  WasAttributedTo,
  WasAssociatedWith,
  WasInvalidatedBy,
};

// The variant names ("ConceptDefinition", "LlmModel", "WasDerivedFrom", ...).
std::string_view name(ProvEntityType v);
std::string_view name(ProvActivityType v);
std::string_view name(ProvAgentType v);
std::string_view name(ProvRelationType v);

// Text-to-text attributes, kept in ascending byte order of the keys.
class AttributeMap {
 public:
  using Entry = std::pair<std::string, std::string>;

  // Stores `value` under `key`, replacing a value stored there before.
  void set(std::string key, std::string value);
  // Holds `entries` alone, as if each were set in turn: a later entry
  // replaces an earlier one of the same key. Entries in any order cost one
  // sort, where setting each in turn would move the ones after it.
  void assign(std::vector<Entry> entries);
  // The value under `key`, or null.
  const std::string* find(std::string_view key) const;

  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  std::vector<Entry>::const_iterator begin() const { return entries_.begin(); }
  std::vector<Entry>::const_iterator end() const { return entries_.end(); }
  void reserve(std::size_t n) { entries_.reserve(n); }

  friend bool operator==(const AttributeMap&, const AttributeMap&) = default;

 private:
  std::vector<Entry> entries_;
};

struct ProvEntity {
  ProvenanceId id;
  AttributeMap attributes;
  Timestamp timestamp;  // exported as the generation time
  ProvEntityType entity_type = ProvEntityType::ConceptDefinition;
};

struct ProvActivity {
  ProvenanceId id;
  AttributeMap attributes;
  Timestamp started_at;
  Timestamp ended_at;
  ProvActivityType activity_type = ProvActivityType::EvolutionOperation;
};

struct ProvAgent {
  ProvenanceId id;
  std::string name;
  AttributeMap attributes;
  ProvAgentType agent_type = ProvAgentType::System;
};

struct ProvRelation {
  ProvenanceId from;
  ProvenanceId to;
  AttributeMap attributes;
  ProvRelationType relation_type = ProvRelationType::WasDerivedFrom;
};

// A relation as stored, its texts viewed in the graph.
struct RelationView {
  std::string_view from;
  std::string_view to;
  const AttributeMap& attributes;
  ProvRelationType relation_type;
};

class ProvenanceGraph;

// The PROV-JSON text of a graph, measured and laid out: written into
// storage of exactly size() bytes that the caller owns (a Python str, say),
// without growing a buffer or copying the text again. Valid while the graph
// is unchanged.
class ProvJsonText {
 public:
  std::size_t size() const { return size_; }
  // Every byte below 0x80, so the UTF-8 text is also its own Latin-1 form.
  bool ascii() const { return ascii_; }
  // Writes the size() bytes at `out`.
  void write(char* out) const;

 private:
  friend class ProvenanceGraph;

  // A node section: its members' storage positions in identifier order.
  struct NodeSection {
    std::vector<std::uint32_t> order;
    std::size_t size = 0;  // members and separators
  };
  // A relation section: its relation positions in the byte order of "_:r{n}".
  struct RelationSection {
    std::vector<std::uint32_t> positions;
    std::size_t size = 0;
  };

  const ProvenanceGraph* graph_ = nullptr;
  std::size_t size_ = 0;
  bool ascii_ = true;
  NodeSection activities_, agents_, entities_;
  std::vector<RelationSection> relations_;  // by ProvRelationType
};

// The graph. It only grows: nodes are inserted or replaced whole, relations
// appended; nothing is removed. A relation's ends need not name stored nodes.
// An addition completes or, when an allocation fails (std::bad_alloc),
// leaves the graph as it was: room is made in every list it will grow
// before anything is written.
//
// Every identifier the graph meets (node or relation end) is kept once in a
// table; relations refer to it by number. For each identifier the graph also
// keeps, in list order, the derivations leaving and entering it and the
// associations leaving it, so the queries read only the relations they
// answer with instead of the whole list.
class ProvenanceGraph {
 public:
  // One activity per record (numbered by list position), the state entities
  // before and after it, the concept versions it makes, their relations and
  // the agent of its source.
  static ProvenanceGraph from_records(std::span<const EvolutionRecord> records);

  // Insert, or replace the node stored under the same identifier.
  void add_entity(ProvEntity entity);
  void add_activity(ProvActivity activity);
  void add_agent(ProvAgent agent);
  // Appends; no check of the ends, no check for duplicates.
  void add_relation(ProvRelation relation);

  std::size_t entity_count() const { return entities_.size(); }
  std::size_t activity_count() const { return activities_.size(); }
  std::size_t agent_count() const { return agents_.size(); }
  std::size_t relation_count() const { return links_.size(); }

  // The node stored under `id`, or null.
  const ProvEntity* entity(std::string_view id) const;
  const ProvActivity* activity(std::string_view id) const;
  const ProvAgent* agent(std::string_view id) const;
  // The nodes of one kind in ascending identifier order.
  std::vector<const ProvEntity*> entities() const;
  std::vector<const ProvActivity*> activities() const;
  std::vector<const ProvAgent*> agents() const;
  // The relation at `position` of the list (position < relation_count()).
  RelationView relation(std::size_t position) const;

  // ---- queries (the results point into the graph) ----
  // The stored entities that `id` was derived from, one per derivation, in
  // list order.
  std::vector<const ProvEntity*> derived_from(std::string_view id) const;
  // The stored entities derived from `id`, one per derivation, in list order.
  std::vector<const ProvEntity*> generated_from(std::string_view id) const;
  // The stored agents `id` is associated with, one per association.
  std::vector<const ProvAgent*> agents_for_activity(std::string_view id) const;
  // Depth-first backwards along derivations: the identifier found last is
  // expanded first, each identifier at most once; an entity is listed once
  // per derivation found from an expanded identifier.
  std::vector<const ProvEntity*> lineage(std::string_view id) const;
  // The share of entities that are generated or derived (1.0 without entities).
  double coverage() const;

  // ---- PROV-JSON ----
  // The document as text: two-space indentation, members in byte order.
  std::string to_prov_json_text() const;
  // That text measured, to be written into the caller's storage.
  ProvJsonText prov_json_text() const;

 private:
  static constexpr std::uint32_t kNone = IdTable::kNone;

  // Relations of one kind at one end of an identifier, in list order,
  // chained through the relations themselves.
  struct Chain {
    std::uint32_t first = kNone;
    std::uint32_t last = kNone;
  };
  struct Node {
    std::uint32_t entity = kNone;  // positions in entities_, activities_, agents_
    std::uint32_t activity = kNone;
    std::uint32_t agent = kNone;
    Chain derivations_out;              // WasDerivedFrom with this `from`
    Chain derivations_in;               // WasDerivedFrom with this `to`
    Chain associations;                 // WasAssociatedWith with this `from`
    bool generated_or_derived = false;  // `from` of WasGeneratedBy or WasDerivedFrom
  };
  struct Link {
    std::uint32_t from;
    std::uint32_t to;
    std::uint32_t next_from = kNone;   // next relation in the chain of `from`
    std::uint32_t next_to = kNone;     // next relation in the chain of `to`
    std::uint32_t attributes = kNone;  // position in link_attributes_, or none
    ProvRelationType type;
  };

  // The number of `id`, added with its node row when new.
  std::uint32_t node_of(std::string_view id);
  // Inserts or replaces the node under its identifier; returns the number.
  template <class T>
  std::uint32_t store(std::vector<T>& nodes, std::uint32_t Node::* slot, T node);
  std::uint32_t store_entity(ProvEntity entity);
  std::uint32_t find_node(std::string_view id) const { return ids_.find(id); }
  void link(std::uint32_t from, std::uint32_t to, ProvRelationType type,
            std::uint32_t attributes = kNone);
  // The storage positions of `nodes` in ascending identifier order.
  template <class T>
  static std::vector<std::uint32_t> id_order(const std::vector<T>& nodes);
  template <class T>
  static std::vector<const T*> in_id_order(const std::vector<T>& nodes);

  friend class ProvJsonText;

  IdTable ids_;
  std::vector<Node> nodes_;  // by identifier number
  std::vector<ProvEntity> entities_;
  std::vector<ProvActivity> activities_;
  std::vector<ProvAgent> agents_;
  std::vector<Link> links_;
  std::vector<AttributeMap> link_attributes_;
  std::size_t covered_entities_ = 0;  // stored entities with generated_or_derived
};

}  // namespace kelvora::provenance
