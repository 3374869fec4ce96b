#include "kelvora/provenance.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <functional>
#include <map>
#include <new>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "kelvora/json_text.hpp"
#include "kelvora/knowledge_state.hpp"
#include "kelvora/timestamp_text.hpp"

// The test binary's allocation functions count: when armed with n, n more
// allocations succeed and the one after fails (once). Every plain form is
// replaced, so each pair of allocation and release meets here.
namespace {
thread_local long g_allocations_before_failure = -1;

void* allocate(std::size_t size) noexcept {
  if (g_allocations_before_failure == 0) {
    g_allocations_before_failure = -1;
    return nullptr;
  }
  if (g_allocations_before_failure > 0) --g_allocations_before_failure;
  return std::malloc(size == 0 ? 1 : size);
}

void* allocate_or_throw(std::size_t size) {
  if (void* p = allocate(size)) return p;
  throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t size) { return allocate_or_throw(size); }
void* operator new[](std::size_t size) { return allocate_or_throw(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
// Kept out of line: inlined, the compiler would pair the free() with the
// operator new above and warn of a mismatch.
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { operator delete(p); }
void operator delete(void* p, std::size_t) noexcept { operator delete(p); }
void operator delete[](void* p, std::size_t) noexcept { operator delete(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { operator delete(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { operator delete(p); }

namespace kelvora::provenance {
namespace {

using R = ProvRelationType;

// A history applied by the engine, one second per record.
struct History {
  Timestamp start{1'700'000'000, 1'500'000};  // the time of the first record
  KnowledgeState state;
  std::vector<EvolutionRecord> records;
  std::map<std::string, ConceptId> known;

  History& apply(EvolutionOperation op, OperationSource source = OperationSource::UserExplicit) {
    const Hash prev = records.empty() ? Hash{} : records.back().chain_hash;
    const Timestamp ts{start.seconds + static_cast<std::int64_t>(records.size()), start.nanos};
    auto r = KnowledgeState::apply(state, op, ApplyContext{prev, ts, source});
    if (!r) throw std::runtime_error(r.error().message());
    state = std::move(r->state);
    records.push_back(std::move(r->record));
    for (const auto& [id, c] : state.concepts) known.emplace(c->term, id);
    return *this;
  }
  History& assert_(const char* term) { return apply(op::Assert{Concept::create(term, "d")}); }
  // Every concept of the history by term, retracted ones included.
  ConceptId id(const std::string& term) const { return known.at(term); }
  std::string v(const std::string& term, std::uint32_t n) const {
    return ProvenanceId::concept_version(id(term), n).text();
  }
  ProvenanceGraph graph() const { return ProvenanceGraph::from_records(records); }
};

std::vector<std::string> ids(const std::vector<const ProvEntity*>& nodes) {
  std::vector<std::string> out;
  for (const ProvEntity* e : nodes) out.push_back(e->id.text());
  return out;
}

TEST(ProvenanceBuild, OneAssertGivesTheNodesAndRelationsInOrder) {
  History h;
  h.assert_("a");
  const ProvenanceGraph g = h.graph();
  const EvolutionRecord& r = h.records[0];
  const std::string a = "qel:activity:0:" + r.chain_hash.to_hex().substr(0, 16);
  const std::string prior = "qel:state:" + r.prior_state_hash.to_hex().substr(0, 16);
  const std::string result = "qel:state:" + r.resulting_state_hash.to_hex().substr(0, 16);
  const std::string c = "qel:concept:" + h.id("a").to_string() + ":v1";
  std::vector<std::string> entities{c, prior, result};
  std::sort(entities.begin(), entities.end());
  EXPECT_EQ(ids(g.entities()), entities);
  EXPECT_EQ(*g.entity(prior)->attributes.find("state_hash"), r.prior_state_hash.to_hex());
  EXPECT_EQ(*g.activity(a)->attributes.find("operation_type"), "assert");
  EXPECT_EQ(g.agent("qel:agent:user")->name, "Human user");
  const std::vector<std::tuple<R, std::string, std::string>> expected = {
      {R::WasGeneratedBy, c, a},
      {R::Used, a, prior},
      {R::WasGeneratedBy, result, a},
      {R::WasDerivedFrom, result, prior},
      {R::WasAssociatedWith, a, "qel:agent:user"}};
  ASSERT_EQ(g.relation_count(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const RelationView v = g.relation(i);
    EXPECT_EQ(std::tuple(v.relation_type, std::string(v.from), std::string(v.to)), expected[i]);
  }
  EXPECT_DOUBLE_EQ(g.coverage(), 2.0 / 3.0);
  EXPECT_EQ(ProvenanceGraph::from_records({}).coverage(), 1.0);
}

// Version counters across revisions, merges and splits, and the lineage
// orders they give (repeats included).
TEST(ProvenanceBuild, VersionsAndLineageFollowTheOperations) {
  History h;
  h.assert_("A").assert_("B").assert_("X").assert_("K");
  h.apply(op::Reinforce{h.id("A"), {}});
  h.apply(op::Merge{{h.id("A"), h.id("B")}, "M", "m", {}});
  h.apply(op::Revise{h.id("M"), "m2", {h.id("K")}, {}});
  h.apply(op::Split{h.id("X"), {{"Y", "y"}, {"Z", "z"}}, {}});
  h.apply(op::Merge{{h.id("Y"), h.id("Z")}, "W", "w", {}});
  h.apply(op::Refine{h.id("K"), "k2", {}});
  h.apply(op::Retract{h.id("K"), RetractionReason::UserExplicit});
  const ProvenanceGraph g = h.graph();
  struct Case {
    std::string of;
    std::vector<std::string> lineage;
  };
  const Case cases[] = {
      {h.v("A", 2), {h.v("A", 1)}},
      {h.v("M", 1), {h.v("A", 2), h.v("B", 1), h.v("A", 1)}},
      {h.v("M", 2), {h.v("M", 1), h.v("A", 2), h.v("B", 1), h.v("A", 1)}},
      {h.v("W", 1), {h.v("Y", 1), h.v("Z", 1), h.v("X", 1), h.v("X", 1)}},
      {h.v("K", 2), {h.v("K", 1)}},
      {"qel:nothing", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(ids(g.lineage(c.of)), c.lineage) << c.of;
  EXPECT_EQ(*g.entity(h.v("M", 1))->attributes.find("source_concepts"),
            h.id("A").to_string() + "," + h.id("B").to_string());
  EXPECT_EQ(ids(g.generated_from(h.v("X", 1))), (std::vector{h.v("Y", 1), h.v("Z", 1)}));
  const RelationView retract = g.relation(g.relation_count() - 5);
  EXPECT_EQ(retract.relation_type, R::WasInvalidatedBy);
  EXPECT_EQ(retract.from, h.v("K", 2));
  // The state chain: every record's resulting state back to the first prior.
  const auto last = ProvenanceId::from_state_hash(h.records.back().resulting_state_hash);
  EXPECT_EQ(g.lineage(last.text()).size(), h.records.size());
}

// Records the engine would not make: Assert resetting a counter, a Retract
// of an unknown concept, an empty conflict set, a state that stays the same.
TEST(ProvenanceBuild, SyntheticRecordsKeepTheRules) {
  ConceptId c;
  c.uuid.bytes[15] = 7;
  auto record = [](EvolutionOperation op, std::uint8_t prior, std::uint8_t result,
                   OperationSource source) {
    EvolutionRecord r;
    r.operation = std::move(op);
    r.prior_state_hash.bytes[0] = prior;
    r.resulting_state_hash.bytes[0] = result;
    r.timestamp = Timestamp{prior, 0};
    r.source = source;
    return r;
  };
  Concept concept_value;
  concept_value.id = c;
  const auto S = OperationSource::SystemEnrichment;
  std::vector<EvolutionRecord> records = {
      record(op::Assert{concept_value}, 1, 2, S), record(op::Revise{c, "x", {}, {}}, 2, 3, S),
      record(op::Assert{concept_value}, 3, 3, S), record(op::Refine{c, "y", {}}, 3, 4, S),
      record(op::Retract{ConceptId{}, {}}, 4, 5, OperationSource::UserImplicit)};
  for (int i = 0; i < 6; ++i) records.push_back(record(op::Restructure{}, 5, 5, S));
  const ProvenanceGraph g = ProvenanceGraph::from_records(records);
  const std::string v2 = ProvenanceId::concept_version(c, 2).text();
  EXPECT_EQ(*g.entity(v2)->attributes.find("definition"), "y");  // replaced by the Refine
  EXPECT_EQ(g.entity(ProvenanceId::concept_version(c, 3).text()), nullptr);
  EXPECT_EQ(g.agent_count(), 2u);
  EXPECT_EQ(g.agent("qel:agent:qel-engine")->agent_type, ProvAgentType::System);
  // The state named first by record 1 keeps that record's time stamp.
  const std::string s3 = ProvenanceId::from_state_hash(records[2].prior_state_hash).text();
  EXPECT_EQ(g.entity(s3)->timestamp.seconds, 2);
  EXPECT_EQ(ids(g.derived_from(s3)),
            (std::vector<std::string>{
                ProvenanceId::from_state_hash(records[1].prior_state_hash).text(), s3}));
  EXPECT_EQ(g.relation(g.relation_count() - 6 * 4 - 4 - 1).relation_type, R::WasInvalidatedBy);
  EXPECT_EQ(g.entity(ProvenanceId::concept_version(ConceptId{}, 1).text()), nullptr);
  const auto a4 = ProvenanceId::from_record_position(4, Hash{});
  EXPECT_EQ(g.agents_for_activity(a4.text())[0]->id, ProvenanceId::user_agent());
}

// The Part's description of each query, scanning the relation list.
struct Scan {
  const ProvenanceGraph& g;
  std::vector<std::string> one_step(std::string_view x, R type, bool forward) const {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < g.relation_count(); ++i) {
      const RelationView r = g.relation(i);
      if (r.relation_type != type || (forward ? r.from : r.to) != x) continue;
      const std::string other(forward ? r.to : r.from);
      if (type == R::WasAssociatedWith ? g.agent(other) != nullptr : g.entity(other) != nullptr) {
        out.push_back(other);
      }
    }
    return out;
  }
  std::vector<std::string> lineage(std::string x) const {
    std::vector<std::string> out, stack{x};
    std::set<std::string> visited;
    while (!stack.empty()) {
      std::string c = stack.back();
      stack.pop_back();
      if (!visited.insert(c).second) continue;
      for (const std::string& to : one_step(c, R::WasDerivedFrom, true)) {
        out.push_back(to);
        stack.push_back(to);
      }
    }
    return out;
  }
};

// Random graphs, nodes and relations interleaved: the indexed queries give
// what the scans give.
TEST(ProvenanceQueries, IndexAgreesWithScans) {
  for (unsigned seed = 1; seed <= 40; ++seed) {
    std::mt19937 rng(seed);
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    auto id = [&] { return "n" + std::to_string(pick(10)); };
    ProvenanceGraph g;
    for (int step = 0; step < 60; ++step) {
      switch (pick(5)) {
        case 0:
          g.add_entity(ProvEntity{ProvenanceId(id()), {}, {}, {}});
          break;
        case 1:
          g.add_agent(ProvAgent{ProvenanceId(id()), "x", {}, {}});
          break;
        default:
          g.add_relation(
              ProvRelation{ProvenanceId(id()), ProvenanceId(id()), {}, static_cast<R>(pick(6))});
      }
    }
    const Scan scan{g};
    std::set<std::string> covered;
    for (std::size_t i = 0; i < g.relation_count(); ++i) {
      const RelationView r = g.relation(i);
      const bool origin =
          r.relation_type == R::WasGeneratedBy || r.relation_type == R::WasDerivedFrom;
      if (origin && g.entity(r.from) != nullptr) covered.emplace(r.from);
    }
    EXPECT_DOUBLE_EQ(g.coverage(),
                     g.entity_count() == 0 ? 1.0 : double(covered.size()) / g.entity_count());
    for (int n = 0; n <= 10; ++n) {
      const std::string x = "n" + std::to_string(n);
      EXPECT_EQ(ids(g.derived_from(x)), scan.one_step(x, R::WasDerivedFrom, true));
      EXPECT_EQ(ids(g.generated_from(x)), scan.one_step(x, R::WasDerivedFrom, false));
      std::vector<std::string> agents;
      for (const ProvAgent* a : g.agents_for_activity(x)) agents.push_back(a->id.text());
      EXPECT_EQ(agents, scan.one_step(x, R::WasAssociatedWith, true));
      EXPECT_EQ(ids(g.lineage(x)), scan.lineage(x)) << seed << " " << x;
    }
  }
}

// The PROV-JSON export of `g` read back by the JSON parser. The text must be
// its own printed tree (members in byte order, two-space indentation), and
// the tree must hold each node and relation of the graph with the members it
// is written with: a node's attributes behind "qel:" (an agent's replacing
// its fixed member of the same key), a relation's attributes with its two
// roles replacing attributes of the same key.
exchange::Json read_export(const ProvenanceGraph& g) {
  using exchange::Json;
  const std::string text = g.to_prov_json_text();
  auto parsed = exchange::parse_json(text);
  if (!parsed) {
    ADD_FAILURE() << parsed.error();
    return {};
  }
  EXPECT_EQ(exchange::to_pretty_text(*parsed), text);
  Json& doc = *parsed;
  auto time = [](Timestamp ts) { return serialization::format_timestamp_rfc3339(ts); };
  auto with_attributes = [](Json o, const AttributeMap& attributes, std::string_view prefix) {
    for (const auto& [k, v] : attributes) o[std::string(prefix) + k] = v;
    return o;
  };
  Json entity = Json::object(), activity = Json::object(), agent = Json::object();
  for (const ProvEntity* e : g.entities()) {
    entity[e->id.text()] =
        with_attributes({{"prov:type", "qel:" + std::string(name(e->entity_type))},
                         {"prov:generatedAtTime", time(e->timestamp)}},
                        e->attributes, "qel:");
  }
  for (const ProvActivity* a : g.activities()) {
    activity[a->id.text()] =
        with_attributes({{"prov:type", "qel:" + std::string(name(a->activity_type))},
                         {"prov:startedAtTime", time(a->started_at)},
                         {"prov:endedAtTime", time(a->ended_at)}},
                        a->attributes, "qel:");
  }
  for (const ProvAgent* a : g.agents()) {
    const bool person = a->agent_type == ProvAgentType::User;
    agent[a->id.text()] =
        with_attributes({{"prov:type", person ? "prov:Person" : "prov:SoftwareAgent"},
                         {"prov:label", a->name},
                         {"qel:agentType", name(a->agent_type)}},
                        a->attributes, "qel:");
  }
  EXPECT_EQ(doc["entity"], entity);
  EXPECT_EQ(doc["activity"], activity);
  EXPECT_EQ(doc["agent"], agent);
  EXPECT_EQ(doc["prefix"], (Json{{"prov", "http://www.w3.org/ns/prov#"},
                                 {"qel", "https://w3id.org/kelvora/qel#"},
                                 {"xsd", "http://www.w3.org/2001/XMLSchema#"}}));
  // Per relation kind: its section and the keys of its two roles.
  const std::map<R, std::array<std::string, 3>> kinds = {
      {R::WasGeneratedBy, {"wasGeneratedBy", "prov:entity", "prov:activity"}},
      {R::Used, {"used", "prov:activity", "prov:entity"}},
      {R::WasDerivedFrom, {"wasDerivedFrom", "prov:generatedEntity", "prov:usedEntity"}},
      {R::WasAttributedTo, {"wasAttributedTo", "prov:entity", "prov:agent"}},
      {R::WasAssociatedWith, {"wasAssociatedWith", "prov:activity", "prov:agent"}},
      {R::WasInvalidatedBy, {"wasInvalidatedBy", "prov:entity", "prov:activity"}},
  };
  std::map<std::string, Json> sections;
  for (const auto& [kind, names] : kinds) sections[names[0]] = Json::object();
  for (std::size_t n = 0; n < g.relation_count(); ++n) {
    const RelationView r = g.relation(n);
    const auto& names = kinds.at(r.relation_type);
    Json o = with_attributes(Json::object(), r.attributes, "");
    o[names[1]] = r.from;
    o[names[2]] = r.to;
    sections[names[0]]["_:r" + std::to_string(n)] = std::move(o);
  }
  for (const auto& [section, members] : sections) EXPECT_EQ(doc[section], members) << section;
  EXPECT_EQ(doc.size(), 10u);
  return std::move(*parsed);
}

// The export reads back as the graph and prints as itself, on graphs with
// strange texts, colliding keys and relation counts around powers of ten.
TEST(ProvJson, TextIsThePrintedTree) {
  History h;
  h.assert_("A").assert_("B");
  h.apply(op::Relate{Relation{RelationId::random(),
                              h.id("A"),
                              h.id("B"),
                              RelationType::Supports,
                              {},
                              1.0,
                              std::nullopt,
                              std::nullopt}});
  h.apply(op::Split{h.id("A"), {{"Y\n\"", "y\t\\"}, {"Z\x01", "\xc3\xa9\x7f"}}, {}});
  std::vector<ProvenanceGraph> graphs;
  graphs.push_back(ProvenanceGraph{});
  graphs.push_back(h.graph());
  const std::string odd[] = {
      std::string("a\0b", 3), "\"",     "\\",        "\x1f", "\xe2\x82\xac", "prov",
      "prov:entity",          "prov:z", "agentType", "",     "_:r1",         "qel:x"};
  for (std::size_t count : {1, 9, 10, 11, 99, 100, 101, 1001}) {
    ProvenanceGraph g = h.graph();
    for (std::size_t i = 0; i < count; ++i) {
      const std::string& s = odd[i % std::size(odd)];
      const std::string& t = odd[(i * 7 + 3) % std::size(odd)];
      AttributeMap m;
      m.set(s, t);
      m.set(t, s + "v");
      g.add_relation(ProvRelation{ProvenanceId(t), ProvenanceId(s), m, static_cast<R>(i % 6)});
      if (i % 10 == 0) {
        g.add_agent(ProvAgent{ProvenanceId(s), t, m, static_cast<ProvAgentType>(i % 5)});
        g.add_activity(ProvActivity{ProvenanceId(t), m, Timestamp{-62135596800, 0},
                                    Timestamp{253402300799, 999999999},
                                    static_cast<ProvActivityType>(i % 2)});
        g.add_entity(ProvEntity{ProvenanceId(s + t), m, Timestamp{0, 1}, ProvEntityType::Evidence});
      }
    }
    graphs.push_back(std::move(g));
  }
  for (const ProvenanceGraph& g : graphs) read_export(g);
  exchange::Json doc = read_export(graphs[1]);
  EXPECT_EQ(doc.size(), 10u);
  EXPECT_EQ(doc["prefix"]["qel"], "https://w3id.org/kelvora/qel#");
  const std::string a0 = ProvenanceId::from_record_position(0, h.records[0].chain_hash).text();
  EXPECT_EQ(doc["activity"][a0]["prov:startedAtTime"], "2023-11-14T22:13:20.001500+00:00");
  EXPECT_EQ(doc["agent"]["qel:agent:user"]["prov:type"], "prov:Person");
  EXPECT_EQ(doc["wasGeneratedBy"]["_:r0"]["prov:activity"], a0);
}

// A history whose first record is stamped at the epoch: the export gives
// that instant wherever the record's time is written, not an absent time.
TEST(ProvJson, TimeAtTheEpochIsWritten) {
  History h;
  h.start = Timestamp{0, 0};
  h.assert_("A").assert_("B");
  const ProvenanceGraph g = h.graph();
  const EvolutionRecord& r = h.records[0];
  const std::string a0 = ProvenanceId::from_record_position(0, r.chain_hash).text();
  const std::string prior = ProvenanceId::from_state_hash(r.prior_state_hash).text();
  exchange::Json doc = read_export(g);
  for (const exchange::Json& time :
       {doc["activity"][a0]["prov:startedAtTime"], doc["activity"][a0]["prov:endedAtTime"],
        doc["entity"][prior]["prov:generatedAtTime"],
        doc["entity"][h.v("A", 1)]["prov:generatedAtTime"]}) {
    EXPECT_EQ(time, "1970-01-01T00:00:00+00:00");
  }
}

// Many identifiers that share long prefixes, hold zero and non-ASCII bytes
// and are prefixes of each other: the nodes come in byte order, and the text
// is the printed tree, its size and ASCII flag measured right.
TEST(ProvJson, LargeGraphsKeepByteOrderAndTheTreeText) {
  std::mt19937 rng(7);
  const std::string parts[] = {
      "a", "b", std::string(1, '\0'), "\xc3\xa9", "\"", "qel:concept:", std::string(30, 'x')};
  auto text = [&] {
    std::string t;
    for (std::size_t n = rng() % 6; n > 0; --n) t += parts[rng() % std::size(parts)];
    return t;
  };
  for (const bool ascii : {true, false}) {
    ProvenanceGraph g;
    std::set<std::string> entities, agents;
    for (int i = 0; i < 3000; ++i) {
      std::string id = text();
      if (ascii) std::erase_if(id, [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
      const Timestamp ts{static_cast<std::int64_t>(rng() % 4), static_cast<std::uint32_t>(i)};
      if (i % 3 == 0) {
        g.add_agent(ProvAgent{ProvenanceId(id), "n", {}, ProvAgentType::LlmModel});
        agents.insert(id);
      } else {
        g.add_entity(ProvEntity{ProvenanceId(id), {}, ts, ProvEntityType::Evidence});
        entities.insert(id);
      }
      g.add_relation(ProvRelation{ProvenanceId(id), ProvenanceId("x"), {}, R::Used});
    }
    EXPECT_EQ(ids(g.entities()), std::vector<std::string>(entities.begin(), entities.end()));
    std::vector<std::string> agent_ids;
    for (const ProvAgent* a : g.agents()) agent_ids.push_back(a->id.text());
    EXPECT_EQ(agent_ids, std::vector<std::string>(agents.begin(), agents.end()));
    read_export(g);
    const ProvJsonText measured = g.prov_json_text();
    EXPECT_EQ(measured.size(), g.to_prov_json_text().size());
    EXPECT_EQ(measured.ascii(), ascii);
  }
}

// What a caller can see of a graph: the export, the counts, the coverage and
// the queries of every identifier in `probes`.
std::string picture(const ProvenanceGraph& g, const std::vector<std::string>& probes) {
  std::string out = g.to_prov_json_text();
  for (const std::size_t n :
       {g.entity_count(), g.activity_count(), g.agent_count(), g.relation_count()}) {
    out += ' ' + std::to_string(n);
  }
  out += ' ' + std::to_string(g.coverage());
  for (const std::string& id : probes) {
    for (const auto& list : {g.derived_from(id), g.generated_from(id), g.lineage(id)}) {
      for (const std::string& e : ids(list)) out += ' ' + e;
      out += ';';
    }
    for (const ProvAgent* a : g.agents_for_activity(id)) out += ' ' + a->id.text();
    out += '\n';
  }
  return out;
}

// Each allocation an addition makes fails in turn, on graphs whose lists are
// all full (a copy holds no spare room) and whose identifier table is around
// a growth: the failed addition leaves what a caller sees as it was, and the
// graph then takes the same additions as one that never failed.
TEST(ProvenanceAdd, FailedAllocationLeavesTheGraphUnchanged) {
  History h;
  h.assert_("A").assert_("B");
  h.apply(op::Reinforce{h.id("A"), {}});
  const std::string state = ProvenanceId::from_state_hash(h.records[0].prior_state_hash).text();
  const std::string activity =
      ProvenanceId::from_record_position(0, h.records[0].chain_hash).text();
  const std::string concept_ = h.v("A", 2);
  AttributeMap m;
  m.set("k", "v");
  const Timestamp ts{1, 2};
  using Add = std::function<void(ProvenanceGraph&)>;
  auto entity = [&](std::string id) -> Add {
    return [e = ProvEntity{ProvenanceId(id), m, ts, {}}](ProvenanceGraph& g) mutable {
      g.add_entity(std::move(e));
    };
  };
  auto activity_ = [&](std::string id) -> Add {
    return [a = ProvActivity{ProvenanceId(id), m, ts, ts, {}}](ProvenanceGraph& g) mutable {
      g.add_activity(std::move(a));
    };
  };
  auto agent = [&](std::string id) -> Add {
    return [a = ProvAgent{ProvenanceId(id), "n", m, {}}](ProvenanceGraph& g) mutable {
      g.add_agent(std::move(a));
    };
  };
  auto relation = [&](std::string from, std::string to, AttributeMap attributes, R type) -> Add {
    return [r = ProvRelation{ProvenanceId(from), ProvenanceId(to), attributes, type}](
               ProvenanceGraph& g) mutable { g.add_relation(std::move(r)); };
  };
  struct Case {
    const char* name;
    std::function<Add()> make;  // the argument is built before counting starts
  };
  const Case cases[] = {
      {"new entity", [&] { return entity("x:e"); }},
      {"replaced entity", [&] { return entity(state); }},
      {"entity at a derived end", [&] { return entity("b:0:from"); }},
      {"new activity", [&] { return activity_("x:a"); }},
      {"replaced activity", [&] { return activity_(activity); }},
      {"new agent", [&] { return agent("x:g"); }},
      {"replaced built-in agent", [&] { return agent("qel:agent:user"); }},
      {"derivation of new ends", [&] { return relation("x:f", "x:t", {}, R::WasDerivedFrom); }},
      {"association to itself", [&] { return relation("x:s", "x:s", m, R::WasAssociatedWith); }},
      {"generation of known ends",
       [&] { return relation(concept_, activity, m, R::WasGeneratedBy); }},
  };
  // After the addition: new identifiers again, which must get numbers and
  // node rows of their own.
  auto follow = [&] {
    return std::vector<Add>{relation("y:f", "y:t", {}, R::WasDerivedFrom), entity("y:f"),
                            agent("y:g"), relation("x:a", "y:g", {}, R::WasAssociatedWith)};
  };
  const std::vector<std::string> probes = {state, activity, concept_, "b:0:from", "b:0:to", "x:e",
                                           "x:a", "x:f",    "x:t",    "x:s",      "y:f",    "y:t"};
  ProvenanceGraph grown = h.graph();
  for (int size = 1; size <= 24; ++size) {
    const std::string b = "b:" + std::to_string(size - 1);
    grown.add_relation(
        ProvRelation{ProvenanceId(b + ":from"), ProvenanceId(b + ":to"), {}, R::WasDerivedFrom});
    const ProvenanceGraph base = grown;
    const std::string before = picture(base, probes);
    for (const Case& c : cases) {
      ProvenanceGraph reference = base;
      c.make()(reference);
      for (Add& add : follow()) add(reference);
      const std::string expected = picture(reference, probes);
      for (long n = 0;; ++n) {
        ProvenanceGraph g = base;
        Add add = c.make();
        g_allocations_before_failure = n;
        bool failed = false;
        try {
          add(g);
        } catch (const std::bad_alloc&) {
          failed = true;
        }
        g_allocations_before_failure = -1;
        if (!failed) break;
        SCOPED_TRACE(std::string(c.name) + ", size " + std::to_string(size) + ", allocation " +
                     std::to_string(n));
        ASSERT_EQ(picture(g, probes), before);
        c.make()(g);
        for (Add& next : follow()) next(g);
        ASSERT_EQ(picture(g, probes), expected);
      }
    }
  }
  // A graph built from records that fails is never seen; the build reports
  // the failure and nothing else.
  for (long n = 0;; ++n) {
    g_allocations_before_failure = n;
    try {
      const ProvenanceGraph g = h.graph();
      g_allocations_before_failure = -1;
      EXPECT_EQ(picture(g, probes), picture(h.graph(), probes));
      break;
    } catch (const std::bad_alloc&) {
    }
  }
}

TEST(ProvenanceId, OrdersByUnsignedBytesWithPrefixesFirst) {
  EXPECT_LT(ProvenanceId("ab"), ProvenanceId("abc"));
  EXPECT_LT(ProvenanceId("z"), ProvenanceId("\xc3\xa9"));
  EXPECT_LT(ProvenanceId("_:r10"), ProvenanceId("_:r2"));
}

// Attributes given all at once (a caller's dict) hold what setting each in
// turn holds: keys in byte order, the last value of a repeated key.
TEST(AttributeMap, AssignHoldsWhatSettingEachInTurnHolds) {
  std::mt19937 rng(3);
  for (std::size_t count : {0, 1, 2, 5, 40, 300}) {
    for (int round = 0; round < 5; ++round) {
      std::vector<AttributeMap::Entry> entries;
      for (std::size_t k = 0; k < count; ++k) {
        // Few distinct keys, so that many repeat; bytes above 0x7f order last.
        const char key[] = {static_cast<char>("ab\xff"[rng() % 3]),
                            static_cast<char>('0' + rng() % 4)};
        entries.emplace_back(std::string(key, 1 + rng() % 2), std::to_string(k));
      }
      AttributeMap one_by_one, at_once;
      for (const auto& [key, value] : entries) one_by_one.set(key, value);
      at_once.assign(entries);
      EXPECT_EQ(at_once, one_by_one) << count;
    }
  }
}

}  // namespace
}  // namespace kelvora::provenance
