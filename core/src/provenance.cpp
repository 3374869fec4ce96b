// The provenance graph: identifiers, the graph built from records, the add
// operations, and the queries over the per-identifier relation chains.
#include "kelvora/provenance.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstring>
#include <iterator>
#include <new>
#include <type_traits>

#include "kelvora/id_index.hpp"
#include "kelvora/operations.hpp"
#include "list_room.hpp"

namespace kelvora::provenance {

namespace {

constexpr std::string_view kEntityTypeNames[] = {"ConceptDefinition", "KnowledgeState", "Evidence",
                                                 "ConceptRelation"};
constexpr std::string_view kActivityTypeNames[] = {"EvolutionOperation", "ClassificationDecision"};
constexpr std::string_view kAgentTypeNames[] = {"User", "System", "EmbeddingClassifier",
                                                "NliClassifier", "LlmModel"};
constexpr std::string_view kRelationTypeNames[] = {"WasGeneratedBy",    "Used",
                                                   "WasDerivedFrom",    "WasAttributedTo",
                                                   "WasAssociatedWith", "WasInvalidatedBy"};

constexpr std::string_view kUserAgent = "qel:agent:user";
constexpr std::string_view kEngineAgent = "qel:agent:qel-engine";

// Identifier texts are built in place: the graph makes several per record.

// Two lower-case hex digits per byte (count <= 16).
void append_hex(std::string& out, const std::uint8_t* bytes, std::size_t count) {
  static constexpr char kHex[] = "0123456789abcdef";
  char digits[32];
  for (std::size_t i = 0; i < count; ++i) {
    digits[2 * i] = kHex[bytes[i] >> 4];
    digits[2 * i + 1] = kHex[bytes[i] & 0x0F];
  }
  out.append(digits, 2 * count);
}

void append_decimal(std::string& out, std::uint64_t value) {
  char buf[24];
  out.append(buf, std::to_chars(buf, buf + sizeof buf, value).ptr);
}

// The 36-character text form (8-4-4-4-12 lower-case hex digits).
void append_uuid(std::string& out, const Uuid& id) {
  static constexpr char kHex[] = "0123456789abcdef";
  char text[36];
  char* p = text;
  for (std::size_t i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) *p++ = '-';
    *p++ = kHex[id.bytes[i] >> 4];
    *p++ = kHex[id.bytes[i] & 0x0F];
  }
  out.append(text, sizeof text);
}

// Identifier texts joined with "," and nothing else.
std::string joined(const std::vector<ConceptId>& ids) {
  std::string out;
  out.reserve(ids.size() * 37);
  for (const ConceptId& id : ids) {
    if (!out.empty()) out += ',';
    append_uuid(out, id.uuid);
  }
  return out;
}

std::string uuid_text(const Uuid& id) {
  std::string out;
  out.reserve(36);
  append_uuid(out, id);
  return out;
}

const AttributeMap kNoAttributes;

}  // namespace

std::string_view name(ProvEntityType v) { return kEntityTypeNames[static_cast<int>(v)]; }
std::string_view name(ProvActivityType v) { return kActivityTypeNames[static_cast<int>(v)]; }
std::string_view name(ProvAgentType v) { return kAgentTypeNames[static_cast<int>(v)]; }
std::string_view name(ProvRelationType v) { return kRelationTypeNames[static_cast<int>(v)]; }

// ------------------------------------------------------------- identifiers

ProvenanceId ProvenanceId::from_state_hash(const Hash& hash) {
  std::string text;
  text.reserve(26);
  text += "qel:state:";
  append_hex(text, hash.bytes.data(), 8);
  return ProvenanceId(std::move(text));
}

ProvenanceId ProvenanceId::from_record_position(std::uint64_t index, const Hash& chain_hash) {
  std::string text;
  text.reserve(50);
  text += "qel:activity:";
  append_decimal(text, index);
  text += ':';
  append_hex(text, chain_hash.bytes.data(), 8);
  return ProvenanceId(std::move(text));
}

ProvenanceId ProvenanceId::concept_version(const ConceptId& id, std::uint32_t version) {
  std::string text;
  text.reserve(60);
  text += "qel:concept:";
  append_uuid(text, id.uuid);
  text += ":v";
  append_decimal(text, version);
  return ProvenanceId(std::move(text));
}

ProvenanceId ProvenanceId::relation(const RelationId& id) {
  std::string text;
  text.reserve(49);
  text += "qel:relation:";
  append_uuid(text, id.uuid);
  return ProvenanceId(std::move(text));
}

ProvenanceId ProvenanceId::user_agent() { return ProvenanceId(std::string(kUserAgent)); }
ProvenanceId ProvenanceId::engine_agent() { return ProvenanceId(std::string(kEngineAgent)); }

// ------------------------------------------------------------- attributes

void AttributeMap::set(std::string key, std::string value) {
  // Keys usually arrive in order: appending is the common case.
  if (entries_.empty() || entries_.back().first < key) {
    entries_.emplace_back(std::move(key), std::move(value));
    return;
  }
  auto at = std::lower_bound(entries_.begin(), entries_.end(), key,
                             [](const Entry& e, const std::string& k) { return e.first < k; });
  if (at != entries_.end() && at->first == key) {
    at->second = std::move(value);
  } else {
    entries_.emplace(at, std::move(key), std::move(value));
  }
}

void AttributeMap::assign(std::vector<Entry> entries) {
  // Sorted once, equal keys in their given order; the last of each run wins.
  std::stable_sort(entries.begin(), entries.end(),
                   [](const Entry& a, const Entry& b) { return a.first < b.first; });
  std::size_t kept = 0;
  for (std::size_t k = 0; k < entries.size(); ++k) {
    if (k + 1 < entries.size() && entries[k + 1].first == entries[k].first) continue;
    if (kept != k) entries[kept] = std::move(entries[k]);
    ++kept;
  }
  entries.resize(kept);
  entries_ = std::move(entries);
}

const std::string* AttributeMap::find(std::string_view key) const {
  auto at = std::lower_bound(entries_.begin(), entries_.end(), key,
                             [](const Entry& e, std::string_view k) { return e.first < k; });
  return at != entries_.end() && at->first == key ? &at->second : nullptr;
}

// ------------------------------------------------------------- adding
// Each addition first makes room in every list it grows (and checks the
// 32-bit numbering), then writes with moves and stores that cannot fail.

std::uint32_t ProvenanceGraph::node_of(std::string_view id) {
  reserve_more(nodes_, 1);
  const std::uint32_t number = ids_.intern(id);
  if (number == nodes_.size()) nodes_.emplace_back();
  return number;
}

template <class T>
std::uint32_t ProvenanceGraph::store(std::vector<T>& nodes, std::uint32_t Node::* slot, T node) {
  static_assert(std::is_nothrow_move_constructible_v<T> && std::is_nothrow_move_assignable_v<T>);
  // Only a node that is added needs room in a full list: a replaced one
  // never grows it.
  if (nodes.size() >= nodes.capacity() || nodes.size() >= kNone) {
    const std::uint32_t known = ids_.find(node.id.text());
    if (known == kNone || nodes_[known].*slot == kNone) {
      check_room(nodes.size(), 1);
      reserve_more(nodes, 1);
    }
  }
  const std::uint32_t number = node_of(node.id.text());
  std::uint32_t& at = nodes_[number].*slot;
  if (at != kNone) {
    nodes[at] = std::move(node);
  } else {
    at = static_cast<std::uint32_t>(nodes.size());
    nodes.push_back(std::move(node));
  }
  return number;
}

std::uint32_t ProvenanceGraph::store_entity(ProvEntity entity) {
  const std::size_t before = entities_.size();
  const std::uint32_t number = store(entities_, &Node::entity, std::move(entity));
  if (entities_.size() != before && nodes_[number].generated_or_derived) ++covered_entities_;
  return number;
}

void ProvenanceGraph::add_entity(ProvEntity entity) { store_entity(std::move(entity)); }

void ProvenanceGraph::add_activity(ProvActivity activity) {
  store(activities_, &Node::activity, std::move(activity));
}

void ProvenanceGraph::add_agent(ProvAgent agent) { store(agents_, &Node::agent, std::move(agent)); }

void ProvenanceGraph::add_relation(ProvRelation relation) {
  const std::string_view from = relation.from.text();
  const std::string_view to = relation.to.text();
  std::size_t new_ids = 0;
  std::size_t new_chars = 0;
  for (const std::string_view end : {from, to}) {
    if (ids_.find(end) == kNone) {
      ++new_ids;
      new_chars += end.size();
    }
  }
  ids_.reserve(new_ids, new_chars);
  reserve_more(nodes_, new_ids);
  check_room(links_.size(), 1);
  reserve_more(links_, 1);
  std::uint32_t attributes = kNone;
  if (!relation.attributes.empty()) {
    check_room(link_attributes_.size(), 1);
    reserve_more(link_attributes_, 1);
    attributes = static_cast<std::uint32_t>(link_attributes_.size());
  }
  const std::uint32_t f = node_of(from);
  const std::uint32_t t = node_of(to);
  if (attributes != kNone) link_attributes_.push_back(std::move(relation.attributes));
  link(f, t, relation.relation_type, attributes);
}

void ProvenanceGraph::link(std::uint32_t from, std::uint32_t to, ProvRelationType type,
                           std::uint32_t attributes) {
  check_room(links_.size(), 1);
  reserve_more(links_, 1);
  const auto position = static_cast<std::uint32_t>(links_.size());
  links_.push_back(Link{from, to, kNone, kNone, attributes, type});
  // Appends `position` to a chain whose relations continue through `next`.
  auto append = [&](Chain& chain, std::uint32_t Link::* next) {
    if (chain.last == kNone) {
      chain.first = position;
    } else {
      links_[chain.last].*next = position;
    }
    chain.last = position;
  };
  switch (type) {
    case ProvRelationType::WasDerivedFrom:
      append(nodes_[from].derivations_out, &Link::next_from);
      append(nodes_[to].derivations_in, &Link::next_to);
      [[fallthrough]];
    case ProvRelationType::WasGeneratedBy: {
      Node& subject = nodes_[from];
      if (!subject.generated_or_derived) {
        subject.generated_or_derived = true;
        if (subject.entity != kNone) ++covered_entities_;
      }
      break;
    }
    case ProvRelationType::WasAssociatedWith:
      append(nodes_[from].associations, &Link::next_from);
      break;
    case ProvRelationType::Used:
    case ProvRelationType::WasAttributedTo:
    case ProvRelationType::WasInvalidatedBy:
      break;
  }
}

// ------------------------------------------------------------- from records

namespace {

// The version each concept has reached while the records are read; a
// concept without an entry is at version 1. The identifiers come from
// records a caller may have written, so they are numbered in the seeded
// identifier table.
class VersionTable {
 public:
  std::uint32_t of(const ConceptId& id) const {
    const std::uint32_t number = numbers_.find(id);
    return number == IdIndex<ConceptId>::kAbsent ? 1 : versions_[number];
  }
  void set(const ConceptId& id, std::uint32_t version) {
    const auto [number, added] = numbers_.insert(id);
    if (added) versions_.push_back(version);
    versions_[number] = version;
  }
  // Stores and returns version + 1 (wrapping like the 32-bit counter it is).
  std::uint32_t bump(const ConceptId& id) {
    const std::uint32_t next = of(id) + 1;
    set(id, next);
    return next;
  }

 private:
  IdIndex<ConceptId> numbers_;
  std::vector<std::uint32_t> versions_;  // by number
};

// A concept version entity with room for `attributes` attributes.
ProvEntity concept_entity(const ConceptId& id, std::uint32_t version, Timestamp timestamp,
                          std::size_t attributes) {
  ProvEntity e;
  e.attributes.reserve(attributes);
  e.id = ProvenanceId::concept_version(id, version);
  e.timestamp = timestamp;
  e.entity_type = ProvEntityType::ConceptDefinition;
  return e;
}

}  // namespace

// A graph built aside is handed over by a move that cannot fail.
static_assert(std::is_nothrow_move_constructible_v<ProvenanceGraph>);

ProvenanceGraph ProvenanceGraph::from_records(std::span<const EvolutionRecord> records) {
  ProvenanceGraph graph;
  VersionTable versions;
  graph.links_.reserve(records.size() * 6);
  graph.activities_.reserve(records.size());
  std::uint32_t last_resulting = kNone;
  std::string scratch;
  for (std::size_t i = 0; i < records.size(); ++i) {
    const EvolutionRecord& record = records[i];
    const Timestamp ts = record.timestamp;

    ProvActivity activity;
    activity.id = ProvenanceId::from_record_position(i, record.chain_hash);
    activity.attributes.reserve(1);
    activity.attributes.set("operation_type", std::string(kind_name(record.operation)));
    activity.started_at = ts;
    activity.ended_at = ts;
    activity.activity_type = ProvActivityType::EvolutionOperation;
    const std::uint32_t a = graph.store(graph.activities_, &Node::activity, std::move(activity));

    // A state entity keeps the time stamp of the first record naming it.
    auto state = [&](const Hash& hash) {
      ProvenanceId id = ProvenanceId::from_state_hash(hash);
      const std::uint32_t number = graph.node_of(id.text());
      if (graph.nodes_[number].entity == kNone) {
        ProvEntity e;
        e.id = std::move(id);
        e.attributes.reserve(1);
        e.attributes.set("state_hash", hash.to_hex());
        e.timestamp = ts;
        e.entity_type = ProvEntityType::KnowledgeState;
        graph.store_entity(std::move(e));
      }
      return number;
    };
    // In a chained history the prior state is the state the record before
    // resulted in.
    const bool chained = i > 0 && records[i - 1].resulting_state_hash == record.prior_state_hash;
    const std::uint32_t prior = chained ? last_resulting : state(record.prior_state_hash);
    const std::uint32_t resulting = state(record.resulting_state_hash);
    last_resulting = resulting;

    auto store = [&](ProvEntity e) { return graph.store_entity(std::move(e)); };
    // The node of a version that may have no entity: its identifier is
    // looked up, or added, without being kept as a ProvenanceId.
    auto version_node = [&](const ConceptId& id, std::uint32_t version) {
      scratch.clear();
      scratch += "qel:concept:";
      append_uuid(scratch, id.uuid);
      scratch += ":v";
      append_decimal(scratch, version);
      return graph.node_of(scratch);
    };
    // Revise, Refine and Reinforce: a new version derived from the one before.
    auto next_version = [&](const ConceptId& id, std::size_t attributes, auto&& fill) {
      const std::uint32_t v = versions.bump(id);
      ProvEntity e = concept_entity(id, v, ts, attributes);
      fill(e.attributes);
      const std::uint32_t made = store(std::move(e));
      graph.link(made, version_node(id, v - 1), ProvRelationType::WasDerivedFrom);
      graph.link(made, a, ProvRelationType::WasGeneratedBy);
    };

    std::visit(
        [&](const auto& op) {
          using Op = std::decay_t<decltype(op)>;
          if constexpr (std::is_same_v<Op, op::Assert>) {
            const Concept& c = op.concept_;
            versions.set(c.id, 1);
            ProvEntity e = concept_entity(c.id, 1, ts, 2);
            e.attributes.set("definition", c.definition);
            e.attributes.set("term", c.term);
            graph.link(store(std::move(e)), a, ProvRelationType::WasGeneratedBy);
          } else if constexpr (std::is_same_v<Op, op::Revise>) {
            next_version(op.concept_id, 3, [&](AttributeMap& m) {
              m.set("change_type", "revise");
              m.set("conflict_set", joined(op.conflict_set));
              m.set("definition", op.new_definition);
            });
          } else if constexpr (std::is_same_v<Op, op::Retract>) {
            graph.link(version_node(op.concept_id, versions.of(op.concept_id)), a,
                       ProvRelationType::WasInvalidatedBy);
          } else if constexpr (std::is_same_v<Op, op::Relate>) {
            const Relation& r = op.relation;
            ProvEntity e;
            e.id = ProvenanceId::relation(r.id);
            e.attributes.reserve(3);
            e.attributes.set("from_concept", uuid_text(r.from_concept.uuid));
            e.attributes.set("relation_type", std::string(kelvora::name(r.relation_type)));
            e.attributes.set("to_concept", uuid_text(r.to_concept.uuid));
            e.timestamp = ts;
            e.entity_type = ProvEntityType::ConceptRelation;
            graph.link(store(std::move(e)), a, ProvRelationType::WasGeneratedBy);
          } else if constexpr (std::is_same_v<Op, op::Restructure>) {
            // Only the activity and the states.
          } else if constexpr (std::is_same_v<Op, op::Refine>) {
            next_version(op.concept_id, 2, [&](AttributeMap& m) {
              m.set("change_type", "refine");
              m.set("definition", op.new_definition);
            });
          } else if constexpr (std::is_same_v<Op, op::Merge>) {
            const ConceptId merged = operations::derive_merged_concept_id(
                record.prior_state_hash, op.concept_ids, op.merged_term, op.merged_definition);
            ProvEntity e = concept_entity(merged, 1, ts, 4);
            e.attributes.set("change_type", "merge");
            e.attributes.set("definition", op.merged_definition);
            e.attributes.set("source_concepts", joined(op.concept_ids));
            e.attributes.set("term", op.merged_term);
            const std::uint32_t made = store(std::move(e));
            graph.link(made, a, ProvRelationType::WasGeneratedBy);
            for (const ConceptId& source : op.concept_ids) {
              graph.link(made, version_node(source, versions.of(source)),
                         ProvRelationType::WasDerivedFrom);
            }
          } else if constexpr (std::is_same_v<Op, op::Reinforce>) {
            next_version(op.concept_id, 1,
                         [&](AttributeMap& m) { m.set("change_type", "reinforce"); });
          } else if constexpr (std::is_same_v<Op, op::Split>) {
            const std::uint32_t source = version_node(op.concept_id, versions.of(op.concept_id));
            const std::string source_text = uuid_text(op.concept_id.uuid);
            for (std::size_t k = 0; k < op.new_concepts.size(); ++k) {
              const auto& [term, definition] = op.new_concepts[k];
              const ConceptId made_id = operations::derive_split_concept_id(
                  record.prior_state_hash, op.concept_id, static_cast<std::uint32_t>(k), term,
                  definition);
              ProvEntity e = concept_entity(made_id, 1, ts, 4);
              e.attributes.set("change_type", "split");
              e.attributes.set("definition", definition);
              e.attributes.set("source_concept", source_text);
              e.attributes.set("term", term);
              const std::uint32_t made = store(std::move(e));
              graph.link(made, source, ProvRelationType::WasDerivedFrom);
              graph.link(made, a, ProvRelationType::WasGeneratedBy);
            }
          }
        },
        record.operation);

    graph.link(a, prior, ProvRelationType::Used);
    graph.link(resulting, a, ProvRelationType::WasGeneratedBy);
    graph.link(resulting, prior, ProvRelationType::WasDerivedFrom);

    const bool by_user = record.source == OperationSource::UserExplicit ||
                         record.source == OperationSource::UserImplicit;
    const std::uint32_t g = graph.node_of(by_user ? kUserAgent : kEngineAgent);
    if (graph.nodes_[g].agent == kNone) {
      ProvAgent agent;
      agent.id = by_user ? ProvenanceId::user_agent() : ProvenanceId::engine_agent();
      agent.name = by_user ? "Human user" : "QEL engine";
      agent.agent_type = by_user ? ProvAgentType::User : ProvAgentType::System;
      graph.store(graph.agents_, &Node::agent, std::move(agent));
    }
    graph.link(a, g, ProvRelationType::WasAssociatedWith);
  }
  return graph;
}

// ------------------------------------------------------------- reading

const ProvEntity* ProvenanceGraph::entity(std::string_view id) const {
  const std::uint32_t n = find_node(id);
  return n == kNone || nodes_[n].entity == kNone ? nullptr : &entities_[nodes_[n].entity];
}

const ProvActivity* ProvenanceGraph::activity(std::string_view id) const {
  const std::uint32_t n = find_node(id);
  return n == kNone || nodes_[n].activity == kNone ? nullptr : &activities_[nodes_[n].activity];
}

const ProvAgent* ProvenanceGraph::agent(std::string_view id) const {
  const std::uint32_t n = find_node(id);
  return n == kNone || nodes_[n].agent == kNone ? nullptr : &agents_[nodes_[n].agent];
}

namespace {

// The first 24 bytes of an identifier as three big-endian numbers (zeros
// past its end): comparing these compares the texts, up to a tie.
struct SortKey {
  std::array<std::uint64_t, 3> head;
  std::uint32_t position;
};

SortKey sort_key(std::string_view text, std::uint32_t position) {
  unsigned char bytes[24] = {};
  std::memcpy(bytes, text.data(), std::min(text.size(), sizeof bytes));
  SortKey key{{}, position};
  for (std::size_t word = 0; word < 3; ++word) {
    std::uint64_t w;
    std::memcpy(&w, bytes + 8 * word, 8);
    if constexpr (std::endian::native == std::endian::little) w = std::byteswap(w);
    key.head[word] = w;
  }
  return key;
}

bool head_less(const SortKey& x, const SortKey& y) {
  if (x.head[0] != y.head[0]) return x.head[0] < y.head[0];
  if (x.head[1] != y.head[1]) return x.head[1] < y.head[1];
  return x.head[2] < y.head[2];
}

bool head_equal(const SortKey& x, const SortKey& y) {
  return x.head[0] == y.head[0] && x.head[1] == y.head[1] && x.head[2] == y.head[2];
}

unsigned head_byte(const SortKey& key, unsigned at) {
  return static_cast<unsigned>(key.head[at / 8] >> (56 - 8 * (at % 8))) & 0xFFu;
}

// The first byte at which two different heads differ.
unsigned first_difference(const SortKey& x, const SortKey& y) {
  unsigned word = 0;
  while (x.head[word] == y.head[word]) ++word;
  return 8 * word + static_cast<unsigned>(std::countl_zero(x.head[word] ^ y.head[word])) / 8;
}

// Sorts keys[0, n) by their texts: by byte, most significant first, from
// the first byte at which the range's keys differ, so the identifiers'
// common prefixes ("qel:concept:", say) cost one pass each, not one per
// byte; the cost grows with the count, not with count * log(count). Small
// ranges, and heads that tie, are left to comparisons.
template <class Less>
void radix_sort(SortKey* keys, SortKey* scratch, std::size_t n, const Less& less) {
  if (n <= 32) {
    std::sort(keys, keys + n, less);
    return;
  }
  const SortKey* low = keys;
  const SortKey* high = keys;
  for (std::size_t i = 1; i < n; ++i) {
    if (head_less(keys[i], *low)) low = &keys[i];
    if (head_less(*high, keys[i])) high = &keys[i];
  }
  if (head_equal(*low, *high)) {
    std::sort(keys, keys + n, less);
    return;
  }
  const unsigned at = first_difference(*low, *high);
  std::array<std::size_t, 257> start{};
  for (std::size_t i = 0; i < n; ++i) ++start[head_byte(keys[i], at) + 1];
  for (std::size_t b = 1; b < start.size(); ++b) start[b] += start[b - 1];
  std::array<std::size_t, 256> next;
  std::copy(start.begin(), start.end() - 1, next.begin());
  for (std::size_t i = 0; i < n; ++i) scratch[next[head_byte(keys[i], at)]++] = keys[i];
  std::copy(scratch, scratch + n, keys);
  for (std::size_t b = 0; b < 256; ++b) {
    const std::size_t count = start[b + 1] - start[b];
    if (count > 1) radix_sort(keys + start[b], scratch + start[b], count, less);
  }
}

}  // namespace

template <class T>
std::vector<std::uint32_t> ProvenanceGraph::id_order(const std::vector<T>& nodes) {
  std::vector<SortKey> keys;
  keys.reserve(nodes.size());
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    keys.push_back(sort_key(nodes[i].id.text(), static_cast<std::uint32_t>(i)));
  }
  std::vector<SortKey> scratch(nodes.size());
  radix_sort(keys.data(), scratch.data(), keys.size(), [&](const SortKey& x, const SortKey& y) {
    if (!head_equal(x, y)) return head_less(x, y);
    return std::string_view(nodes[x.position].id.text()) <
           std::string_view(nodes[y.position].id.text());
  });
  std::vector<std::uint32_t> order;
  order.reserve(keys.size());
  for (const SortKey& key : keys) order.push_back(key.position);
  return order;
}

template std::vector<std::uint32_t> ProvenanceGraph::id_order(const std::vector<ProvEntity>&);
template std::vector<std::uint32_t> ProvenanceGraph::id_order(const std::vector<ProvActivity>&);
template std::vector<std::uint32_t> ProvenanceGraph::id_order(const std::vector<ProvAgent>&);

template <class T>
std::vector<const T*> ProvenanceGraph::in_id_order(const std::vector<T>& nodes) {
  std::vector<const T*> out;
  out.reserve(nodes.size());
  for (const std::uint32_t position : id_order(nodes)) out.push_back(&nodes[position]);
  return out;
}

std::vector<const ProvEntity*> ProvenanceGraph::entities() const { return in_id_order(entities_); }
std::vector<const ProvActivity*> ProvenanceGraph::activities() const {
  return in_id_order(activities_);
}
std::vector<const ProvAgent*> ProvenanceGraph::agents() const { return in_id_order(agents_); }

RelationView ProvenanceGraph::relation(std::size_t position) const {
  const Link& l = links_.at(position);
  return RelationView{ids_.text(l.from), ids_.text(l.to),
                      l.attributes == kNone ? kNoAttributes : link_attributes_[l.attributes],
                      l.type};
}

// ------------------------------------------------------------- queries

std::vector<const ProvEntity*> ProvenanceGraph::derived_from(std::string_view id) const {
  std::vector<const ProvEntity*> out;
  const std::uint32_t n = find_node(id);
  if (n == kNone) return out;
  for (std::uint32_t p = nodes_[n].derivations_out.first; p != kNone; p = links_[p].next_from) {
    const std::uint32_t e = nodes_[links_[p].to].entity;
    if (e != kNone) out.push_back(&entities_[e]);
  }
  return out;
}

std::vector<const ProvEntity*> ProvenanceGraph::generated_from(std::string_view id) const {
  std::vector<const ProvEntity*> out;
  const std::uint32_t n = find_node(id);
  if (n == kNone) return out;
  for (std::uint32_t p = nodes_[n].derivations_in.first; p != kNone; p = links_[p].next_to) {
    const std::uint32_t e = nodes_[links_[p].from].entity;
    if (e != kNone) out.push_back(&entities_[e]);
  }
  return out;
}

std::vector<const ProvAgent*> ProvenanceGraph::agents_for_activity(std::string_view id) const {
  std::vector<const ProvAgent*> out;
  const std::uint32_t n = find_node(id);
  if (n == kNone) return out;
  for (std::uint32_t p = nodes_[n].associations.first; p != kNone; p = links_[p].next_from) {
    const std::uint32_t g = nodes_[links_[p].to].agent;
    if (g != kNone) out.push_back(&agents_[g]);
  }
  return out;
}

std::vector<const ProvEntity*> ProvenanceGraph::lineage(std::string_view id) const {
  std::vector<const ProvEntity*> out;
  const std::uint32_t start = find_node(id);
  if (start == kNone) return out;
  std::vector<bool> visited(nodes_.size(), false);
  std::vector<std::uint32_t> stack{start};
  while (!stack.empty()) {
    const std::uint32_t c = stack.back();
    stack.pop_back();
    if (visited[c]) continue;
    visited[c] = true;
    for (std::uint32_t p = nodes_[c].derivations_out.first; p != kNone; p = links_[p].next_from) {
      const std::uint32_t to = links_[p].to;
      const std::uint32_t e = nodes_[to].entity;
      if (e == kNone) continue;
      out.push_back(&entities_[e]);
      stack.push_back(to);
    }
  }
  return out;
}

double ProvenanceGraph::coverage() const {
  if (entities_.empty()) return 1.0;
  return static_cast<double>(covered_entities_) / static_cast<double>(entities_.size());
}

}  // namespace kelvora::provenance
