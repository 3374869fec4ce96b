// The document writers against the straightforward path, on random values:
// the same values built into a value tree (whose objects keep their members
// in byte order) and printed by the generic printer must give the same bytes
// as the writers' text.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "kelvora/json_text.hpp"
#include "kelvora/records_document.hpp"
#include "kelvora/state_document.hpp"
#include "kelvora/state_hash.hpp"
#include "kelvora/timestamp_text.hpp"

namespace kelvora::exchange {
namespace {

// Random engine values, rich in what the texts must get right: escapes,
// multi-byte characters, long runs, every float form, optional members,
// empty and long lists, and map keys that differ from their entry's id.
class RandomValues {
 public:
  explicit RandomValues(unsigned seed) : rng_(seed) {}

  std::string text() {
    static const std::string kPieces[] = {"a",
                                          "Z",
                                          " ",
                                          "\"",
                                          "\\",
                                          "\n",
                                          "\t",
                                          "\r",
                                          "\b",
                                          "\f",
                                          "\x01",
                                          "\x1f",
                                          "\x7f",
                                          "/",
                                          "\u00e9",
                                          "\U0001f600",
                                          "\u2028",
                                          std::string("\0", 1),
                                          "0123456789abcdefghijklmnop"};
    std::string out;
    for (std::size_t k = pick(7) == 0 ? 0 : pick(12); k > 0; --k) out += kPieces[pick(19)];
    return out;
  }
  double number() {
    static const double kNumbers[] = {0.0,
                                      -0.0,
                                      1.0,
                                      0.5,
                                      0.1,
                                      1e16,
                                      1e15,
                                      1.5e-7,
                                      1e-5,
                                      1e-4,
                                      5e-324,
                                      std::numeric_limits<double>::max(),
                                      -2.5,
                                      std::numeric_limits<double>::quiet_NaN(),
                                      std::numeric_limits<double>::infinity(),
                                      -std::numeric_limits<double>::infinity()};
    if (pick(3) == 0) return kNumbers[pick(16)];
    const double value = std::ldexp(static_cast<double>(rng_()), -static_cast<int>(pick(80)));
    return pick(2) == 0 ? value : -value;
  }
  std::optional<double> maybe_number() {
    if (pick(3) == 0) return std::nullopt;
    return number();
  }
  Timestamp time() {
    constexpr std::int64_t kFirst = -62135596800;  // 0001-01-01
    constexpr std::int64_t kLast = 253402300799;   // 9999-12-31T23:59:59
    const auto seconds = kFirst + static_cast<std::int64_t>(rng64_() % (kLast - kFirst + 1));
    static const std::uint32_t kNanos[] = {0, 5, 120000000, 123456000, 999999999};
    return Timestamp{seconds, pick(2) == 0 ? kNanos[pick(5)] : pick(1000000000)};
  }
  Uuid uuid() {
    Uuid u;
    for (auto& b : u.bytes) b = static_cast<std::uint8_t>(rng_());
    return u;
  }
  Hash hash() {
    Hash h;
    for (auto& b : h.bytes) b = static_cast<std::uint8_t>(rng_());
    return h;
  }
  template <class Id>
  std::vector<Id> ids() {
    std::vector<Id> out(pick(4));
    for (auto& id : out) id = Id{uuid()};
    return out;
  }
  std::vector<EvidenceRef> evidence() {
    std::vector<EvidenceRef> out(pick(3));
    for (auto& e : out) e = {pick(2) == 0 ? pick(10) : static_cast<std::uint32_t>(rng_()), text()};
    return out;
  }

  Concept concept_value() {
    static const ConceptStatus kStatus[] = {ConceptStatus::Active, ConceptStatus::Superseded,
                                            ConceptStatus::Coexisting};
    return Concept{ConceptId{uuid()}, text(), text(),    number(),
                   kStatus[pick(3)],  time(), evidence()};
  }
  Relation relation() {
    Relation r{RelationId{uuid()},
               ConceptId{uuid()},
               ConceptId{uuid()},
               static_cast<RelationType>(pick(11)),
               evidence(),
               number(),
               {},
               maybe_number()};
    if (pick(2) == 0) r.source_document = text();
    return r;
  }
  StructureNode node() {
    StructureNode n{StructureNodeId{uuid()},
                    text(),
                    text(),
                    std::nullopt,
                    static_cast<std::uint32_t>(rng_()),
                    hash(),
                    ids<ConceptId>()};
    if (pick(2) == 0) n.parent = StructureNodeId{uuid()};
    return n;
  }

  EvolutionOperation operation() {
    switch (pick(9)) {
      case 0:
        return op::Assert{concept_value()};
      case 1:
        return op::Revise{ConceptId{uuid()}, text(), ids<ConceptId>(), evidence()};
      case 2:
        return op::Retract{ConceptId{uuid()}, static_cast<RetractionReason>(pick(3))};
      case 3:
        return op::Relate{relation()};
      case 4: {
        std::vector<StructureNode> nodes(pick(3));
        for (auto& n : nodes) n = node();
        return op::Restructure{hash(), std::move(nodes), text()};
      }
      case 5:
        return op::Refine{ConceptId{uuid()}, text(), evidence()};
      case 6:
        return op::Merge{ids<ConceptId>(), text(), text(), evidence()};
      case 7:
        return op::Reinforce{ConceptId{uuid()}, evidence()};
      default: {
        std::vector<std::pair<std::string, std::string>> pairs(pick(3));
        for (auto& p : pairs) p = {text(), text()};
        return op::Split{ConceptId{uuid()}, std::move(pairs), evidence()};
      }
    }
  }
  EvolutionRecord record() {
    return EvolutionRecord{RecordId{uuid()},
                           operation(),
                           time(),
                           static_cast<OperationSource>(pick(4)),
                           hash(),
                           hash(),
                           hash(),
                           OperationJustification{static_cast<AgmType>(pick(3)), number(),
                                                  maybe_number(), maybe_number(), evidence()}};
  }

  // Mostly keyed by the entry's own id, as the engine keeps them.
  template <class Id>
  Id key_for(const Id& own) {
    return pick(5) == 0 ? Id{uuid()} : own;
  }
  KnowledgeState state() {
    KnowledgeState s;
    for (std::size_t k = pick(6); k > 0; --k) {
      Concept c = concept_value();
      s.concepts.insert_or_assign(key_for(c.id), Entry<Concept>(c));
    }
    for (std::size_t k = pick(6); k > 0; --k) {
      Relation r = relation();
      s.relations.insert_or_assign(key_for(r.id), Entry<Relation>(r));
    }
    for (std::size_t k = pick(4); k > 0; --k) {
      StructureNode n = node();
      s.structure.insert_or_assign(key_for(n.id), Entry<StructureNode>(n));
    }
    return s;
  }

 private:
  std::uint32_t pick(std::uint32_t n) { return rng_() % n; }
  std::mt19937 rng_;
  std::mt19937_64 rng64_{rng_()};
};

// ------------------------------------------------------- the value trees

Json number(double value) { return Json(value); }
Json optional_number(const std::optional<double>& value) {
  return value ? Json(*value) : Json(nullptr);
}
Json time_text(Timestamp ts) { return serialization::format_timestamp_rfc3339(ts); }

Json evidence_tree(const std::vector<EvidenceRef>& evidence) {
  Json out = Json::array();
  for (const auto& e : evidence) {
    out.push_back(Json{{"text_excerpt", e.text_excerpt}, {"turn_number", e.turn_number}});
  }
  return out;
}

template <class Id>
Json ids_tree(const std::vector<Id>& ids) {
  Json out = Json::array();
  for (const auto& id : ids) out.push_back(id.to_string());
  return out;
}

Json concept_tree(const Concept& c) {
  Json out = Json::object();
  out["confidence"] = number(c.confidence);
  out["created_at"] = time_text(c.created_at);
  out["definition"] = c.definition;
  out["id"] = c.id.to_string();
  out["source_evidence"] = evidence_tree(c.source_evidence);
  out["status"] = std::string(name(c.status));
  out["term"] = c.term;
  return out;
}

Json relation_tree(const Relation& r) {
  Json out = Json::object();
  if (r.classification_confidence) {
    out["classification_confidence"] = number(*r.classification_confidence);
  }
  out["confidence"] = number(r.confidence);
  out["evidence"] = evidence_tree(r.evidence);
  out["from_concept"] = r.from_concept.to_string();
  out["id"] = r.id.to_string();
  out["relation_type"] = std::string(name(r.relation_type));
  if (r.source_document) out["source_document"] = *r.source_document;
  out["to_concept"] = r.to_concept.to_string();
  return out;
}

Json node_tree(const StructureNode& n) {
  Json out = Json::object();
  out["concept_refs"] = ids_tree(n.concept_refs);
  out["content_hash"] = n.content_hash.to_hex();
  out["id"] = n.id.to_string();
  out["node_type"] = n.node_type;
  out["parent"] = n.parent ? Json(n.parent->to_string()) : Json(nullptr);
  out["position"] = n.position;
  out["title"] = n.title;
  return out;
}

Json operation_tree(const EvolutionOperation& operation) {
  Json j = Json::object();
  std::visit(
      [&j](const auto& o) {
        using T = std::decay_t<decltype(o)>;
        if constexpr (std::is_same_v<T, op::Assert>) {
          j["concept"] = concept_tree(o.concept_);
        } else if constexpr (std::is_same_v<T, op::Revise>) {
          j["concept_id"] = o.concept_id.to_string();
          j["new_definition"] = o.new_definition;
          j["conflict_set"] = ids_tree(o.conflict_set);
          j["evidence"] = evidence_tree(o.evidence);
        } else if constexpr (std::is_same_v<T, op::Retract>) {
          j["concept_id"] = o.concept_id.to_string();
          j["reason"] = std::string(name(o.reason));
        } else if constexpr (std::is_same_v<T, op::Relate>) {
          j["relation"] = relation_tree(o.relation);
        } else if constexpr (std::is_same_v<T, op::Restructure>) {
          j["old_structure_hash"] = o.old_structure_hash.to_hex();
          j["new_nodes"] = Json::array();
          for (const auto& node : o.new_nodes) j["new_nodes"].push_back(node_tree(node));
          j["justification"] = o.justification;
        } else if constexpr (std::is_same_v<T, op::Refine>) {
          j["concept_id"] = o.concept_id.to_string();
          j["new_definition"] = o.new_definition;
          j["evidence"] = evidence_tree(o.evidence);
        } else if constexpr (std::is_same_v<T, op::Merge>) {
          j["concept_ids"] = ids_tree(o.concept_ids);
          j["merged_term"] = o.merged_term;
          j["merged_definition"] = o.merged_definition;
          j["evidence"] = evidence_tree(o.evidence);
        } else if constexpr (std::is_same_v<T, op::Reinforce>) {
          j["concept_id"] = o.concept_id.to_string();
          j["evidence"] = evidence_tree(o.evidence);
        } else {
          j["concept_id"] = o.concept_id.to_string();
          j["new_concepts"] = Json::array();
          for (const auto& [term, definition] : o.new_concepts) {
            j["new_concepts"].push_back(Json{{"term", term}, {"definition", definition}});
          }
          j["evidence"] = evidence_tree(o.evidence);
        }
      },
      operation);
  j["type"] = std::string(variant_name(operation));
  return j;
}

Json records_tree(const std::vector<EvolutionRecord>& records) {
  Json out = Json::array();
  for (const auto& r : records) {
    const auto& j = r.justification;
    out.push_back(Json{
        {"id", r.id.to_string()},
        {"operation", operation_tree(r.operation)},
        {"timestamp", time_text(r.timestamp)},
        {"source", std::string(name(r.source))},
        {"prior_state_hash", r.prior_state_hash.to_hex()},
        {"resulting_state_hash", r.resulting_state_hash.to_hex()},
        {"chain_hash", r.chain_hash.to_hex()},
        {"justification", Json{{"agm_type", std::string(name(j.agm_type))},
                               {"minimality_score", number(j.minimality_score)},
                               {"content_shift_score", optional_number(j.content_shift_score)},
                               {"structure_delta_score", optional_number(j.structure_delta_score)},
                               {"evidence_refs", evidence_tree(j.evidence_refs)}}}});
  }
  return out;
}

template <class Map, class Tree>
Json map_tree(const Map& map, Tree tree) {
  Json out = Json::object();
  for (const auto& [key, entry] : map) out[key.to_string()] = tree(*entry);
  return out;
}

Json state_tree(const KnowledgeState& s) {
  return Json{{"concepts", map_tree(s.concepts, concept_tree)},
              {"relations", map_tree(s.relations, relation_tree)},
              {"state_hash", serialization::state_hash(s).to_hex()},
              {"structure", map_tree(s.structure, node_tree)}};
}

// Where two texts first differ, for the failure message.
std::string first_difference(const std::string& a, const std::string& b) {
  std::size_t at = 0;
  while (at < a.size() && at < b.size() && a[at] == b[at]) ++at;
  const std::size_t from = at < 40 ? 0 : at - 40;
  return "at byte " + std::to_string(at) + ":\n" + a.substr(from, 80) + "\n---\n" +
         b.substr(from, 80);
}

TEST(DocumentText, RecordsTextIsThePrintedTree) {
  for (unsigned seed = 1; seed <= 40; ++seed) {
    RandomValues values(seed);
    std::vector<EvolutionRecord> records(seed == 1 ? 0 : 1 + seed * 7);
    for (auto& r : records) r = values.record();
    const std::string text = records_to_json_text(records);
    const std::string tree = to_pretty_text(records_tree(records));
    ASSERT_EQ(text, tree) << "seed " << seed << " " << first_difference(text, tree);
  }
}

TEST(DocumentText, StateTextIsThePrintedTree) {
  for (unsigned seed = 1; seed <= 400; ++seed) {
    RandomValues values(seed);
    const KnowledgeState state = values.state();
    const std::string text = state_to_json_text(state);
    const std::string tree = to_pretty_text(state_tree(state));
    ASSERT_EQ(text, tree) << "seed " << seed << " " << first_difference(text, tree);
  }
}

}  // namespace
}  // namespace kelvora::exchange
