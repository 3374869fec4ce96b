// The state and records documents, the referential-integrity check and the
// JSON text forms. Golden hashes and texts were computed independently with
// Python's json and hashlib from the values the documents describe.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "fuzz_entries.hpp"
#include "kelvora/debug_text.hpp"
#include "kelvora/integrity.hpp"
#include "kelvora/json_text.hpp"
#include "kelvora/merkle.hpp"
#include "kelvora/records_document.hpp"
#include "kelvora/state_document.hpp"
#include "kelvora/state_hash.hpp"
#include "kelvora/state_text_reader.hpp"
#include "kelvora/timestamp_text.hpp"

namespace kelvora::exchange {
namespace {

constexpr const char* kA = "11111111-1111-4111-8111-111111111111";
constexpr const char* kB = "22222222-2222-4222-8222-222222222222";
constexpr const char* kR = "33333333-3333-4333-8333-333333333333";
constexpr const char* kN = "44444444-4444-4444-8444-444444444444";

// Non-canonical spellings on purpose: braced, simple and urn:uuid: ids, an
// upper-case hash, a +02:00 offset, an integer confidence, a snake_case
// relation type and a wrong state_hash.
constexpr const char* kGoldenDocument = R"json({
  "concepts": {
    "11111111-1111-4111-8111-111111111111": {"id": "{11111111-1111-4111-8111-111111111111}",
      "term": "Entropy", "definition": "Measure of disorder\n\"quoted\" é\u001f", "confidence": 1,
      "status": "Active", "created_at": "2024-05-01T02:00:00.120+02:00",
      "source_evidence": [{"turn_number": 3, "text_excerpt": "x"}], "extra": [1, 2]},
    "22222222-2222-4222-8222-222222222222": {"id": "22222222222242228222222222222222",
      "term": "entropy", "definition": "old", "confidence": 0.25, "status": "Superseded",
      "created_at": "2024-05-01T00:00:00Z"}
  },
  "relations": {
    "33333333-3333-4333-8333-333333333333": {"id": "33333333-3333-4333-8333-333333333333",
      "from_concept": "urn:uuid:11111111-1111-4111-8111-111111111111",
      "to_concept": "22222222-2222-4222-8222-222222222222", "relation_type": "derives_from",
      "confidence": 0.5, "source_document": "doc.txt", "classification_confidence": 0.75}
  },
  "structure": {
    "44444444-4444-4444-8444-444444444444": {"id": "44444444-4444-4444-8444-444444444444",
      "title": "Root", "node_type": "section", "parent": null, "position": 0,
      "content_hash": "ABABABABABABABABABABABABABABABABABABABABABABABABABABABABABABABAB",
      "concept_refs": ["11111111-1111-4111-8111-111111111111"]},
    "55555555-5555-4555-8555-555555555555": {"id": "55555555-5555-4555-8555-555555555555",
      "title": "Child", "node_type": "para", "parent": "44444444-4444-4444-8444-444444444444",
      "position": 4294967295,
      "content_hash": "0000000000000000000000000000000000000000000000000000000000000000"}
  },
  "state_hash": "not a hash"
})json";

constexpr const char* kGoldenHash =
    "f7c0f20999cc7e5ba92b9b2f7bc66fa1ba8aca4556f919bd2360c7e81f44c728";

// json.dumps(document, indent=2, sort_keys=True, ensure_ascii=False)
constexpr const char* kGoldenPretty = R"json({
  "concepts": {
    "11111111-1111-4111-8111-111111111111": {
      "confidence": 1.0,
      "created_at": "2024-05-01T00:00:00.120+00:00",
      "definition": "Measure of disorder\n\"quoted\" é\u001f",
      "id": "11111111-1111-4111-8111-111111111111",
      "source_evidence": [
        {
          "text_excerpt": "x",
          "turn_number": 3
        }
      ],
      "status": "Active",
      "term": "Entropy"
    },
    "22222222-2222-4222-8222-222222222222": {
      "confidence": 0.25,
      "created_at": "2024-05-01T00:00:00+00:00",
      "definition": "old",
      "id": "22222222-2222-4222-8222-222222222222",
      "source_evidence": [],
      "status": "Superseded",
      "term": "entropy"
    }
  },
  "relations": {
    "33333333-3333-4333-8333-333333333333": {
      "classification_confidence": 0.75,
      "confidence": 0.5,
      "evidence": [],
      "from_concept": "11111111-1111-4111-8111-111111111111",
      "id": "33333333-3333-4333-8333-333333333333",
      "relation_type": "DerivesFrom",
      "source_document": "doc.txt",
      "to_concept": "22222222-2222-4222-8222-222222222222"
    }
  },
  "state_hash": "f7c0f20999cc7e5ba92b9b2f7bc66fa1ba8aca4556f919bd2360c7e81f44c728",
  "structure": {
    "44444444-4444-4444-8444-444444444444": {
      "concept_refs": [
        "11111111-1111-4111-8111-111111111111"
      ],
      "content_hash": "abababababababababababababababababababababababababababababababab",
      "id": "44444444-4444-4444-8444-444444444444",
      "node_type": "section",
      "parent": null,
      "position": 0,
      "title": "Root"
    },
    "55555555-5555-4555-8555-555555555555": {
      "concept_refs": [],
      "content_hash": "0000000000000000000000000000000000000000000000000000000000000000",
      "id": "55555555-5555-4555-8555-555555555555",
      "node_type": "para",
      "parent": "44444444-4444-4444-8444-444444444444",
      "position": 4294967295,
      "title": "Child"
    }
  }
})json";

Json parse_ok(std::string_view text) {
  auto parsed = parse_json(text);
  EXPECT_TRUE(parsed) << parsed.error();
  return parsed ? *parsed : Json();
}

// ------------------------------------------------------------ state document

TEST(StateDocument, GoldenDocumentReadsToIndependentHashAndPrintsCanonically) {
  auto state = state_from_json(parse_ok(kGoldenDocument));
  ASSERT_TRUE(state) << state.error().message();
  EXPECT_EQ(state->state_hash().to_hex(), kGoldenHash);
  EXPECT_EQ(state_to_json_text(*state), kGoldenPretty);
}

TEST(StateDocument, EmptyStateIsThreeEmptyObjectsAndTheEmptyHash) {
  const std::string text = state_to_json_text(KnowledgeState{});
  EXPECT_EQ(text,
            "{\n  \"concepts\": {},\n  \"relations\": {},\n  \"state_hash\": "
            "\"01ea42171f2295cbb54a24c017724becb37a712b2fcd5b9f525d1e9ea045650a\",\n"
            "  \"structure\": {}\n}");
  auto back = state_from_json(parse_ok(text));
  ASSERT_TRUE(back);
  EXPECT_TRUE(back->empty());
}

TEST(StateDocument, MemberNameDecidesTheKeyAndTheHash) {
  // The entry keeps its inner id; the canonical text is keyed by the member name.
  const std::string doc = std::string(R"({"relations":{},"structure":{},"concepts":{)") +
                          R"("cccccccc-cccc-4ccc-8ccc-cccccccccccc":{"id":")" + kA +
                          R"(","term":"entropy","definition":"old","confidence":0.25,)"
                          R"("status":"Superseded","created_at":"2024-05-01T00:00:00Z"}}})";
  auto state = state_from_json(parse_ok(doc));
  ASSERT_TRUE(state) << state.error().message();
  ASSERT_EQ(state->concepts.size(), 1u);
  const auto& [key, entry] = *state->concepts.begin();
  EXPECT_EQ(key.to_string(), "cccccccc-cccc-4ccc-8ccc-cccccccccccc");
  EXPECT_EQ(entry->id.to_string(), kA);
  EXPECT_EQ(state->state_hash().to_hex(),
            "6420b1d70ad45fcf0d4f0921edc58cc23eb6db2cd2e1b9fc1316a227b6f839b3");
}

KnowledgeState state_of(std::vector<Concept> concepts, std::vector<Relation> relations = {},
                        std::vector<StructureNode> nodes = {}) {
  KnowledgeState s;
  for (auto& c : concepts) s.concepts.insert_or_assign(c.id, Entry<Concept>(c));
  for (auto& r : relations) s.relations.insert_or_assign(r.id, Entry<Relation>(r));
  for (auto& n : nodes) s.structure.insert_or_assign(n.id, Entry<StructureNode>(n));
  return s;
}

ConceptId cid(const char* text) { return ConceptId{*Uuid::parse(text)}; }
RelationId rid(const char* text) { return RelationId{*Uuid::parse(text)}; }

Concept concept_with(const char* id, std::string term, double confidence = 1.0,
                     ConceptStatus status = ConceptStatus::Active) {
  Concept c;
  c.id = cid(id);
  c.term = std::move(term);
  c.definition = "d";
  c.confidence = confidence;
  c.status = status;
  c.created_at = Timestamp{1714521600, 0};
  return c;
}

Relation relation_with(const char* id, const char* from, const char* to,
                       RelationType type = RelationType::Supports) {
  Relation r;
  r.id = rid(id);
  r.from_concept = cid(from);
  r.to_concept = cid(to);
  r.relation_type = type;
  r.confidence = 0.5;
  return r;
}

TEST(StateDocument, WrittenStatesReadBackWithTheSameHash) {
  Concept odd = concept_with(kA, " Ünïcode \t\x01\x7f/", 1e-7);
  odd.definition = std::string("nul\0inside", 10);
  odd.created_at = Timestamp{-62135596800, 5};  // 0001-01-01 plus 5 ns
  odd.source_evidence = {{0, ""}, {4294967295u, "last"}};
  Concept tiny = concept_with(kB, "tiny", 5e-324, ConceptStatus::Coexisting);
  tiny.created_at = Timestamp{253402300799, 999999999};  // 9999-12-31T23:59:59.999999999
  Relation plain = relation_with(kR, kA, kB);
  plain.confidence = 1e16;
  Relation full = relation_with("66666666-6666-4666-8666-666666666666", kB, kA);
  full.source_document = "";
  full.classification_confidence = -0.0;
  full.evidence = {{7, "e"}};
  StructureNode root{
      StructureNodeId{*Uuid::parse(kN)}, "T", "", std::nullopt, 7, Hash{}, {cid(kA), cid(kA)}};
  StructureNode dangling{StructureNodeId{*Uuid::parse("77777777-7777-4777-8777-777777777777")},
                         "",
                         "x",
                         StructureNodeId{*Uuid::parse("88888888-8888-4888-8888-888888888888")},
                         0,
                         Hash{},
                         {cid("99999999-9999-4999-8999-999999999999")}};
  dangling.content_hash.bytes.fill(0xfe);

  const std::vector<KnowledgeState> states = {
      KnowledgeState{},
      state_of({odd}),
      state_of({odd, tiny}, {plain, full}),
      state_of({concept_with(kA, "a", -0.0), concept_with(kB, "b", 0.1)}, {}, {root, dangling}),
  };
  for (std::size_t i = 0; i < states.size(); ++i) {
    const Json document = parse_ok(state_to_json_text(states[i]));
    EXPECT_EQ(*document["state_hash"].get_ptr<const std::string*>(),
              serialization::state_hash(states[i]).to_hex());
    auto back = state_from_json(document);
    ASSERT_TRUE(back) << i << ": " << back.error().message();
    EXPECT_EQ(back->state_hash(), states[i].state_hash()) << i;
    EXPECT_TRUE(*back == states[i]) << i;
  }
}

// One edit of a valid document: set the member at `pointer` to the JSON
// text `value`, or erase it when `value` is null.
struct Edit {
  std::string pointer;
  std::optional<std::string> value;
};

Json edited(const char* base, const std::vector<Edit>& edits) {
  Json doc = parse_ok(base);
  for (const auto& e : edits) {
    const Json::json_pointer p(e.pointer);
    if (e.value) {
      doc[p] = parse_ok(*e.value);
    } else {
      doc[p.parent_pointer()].erase(p.back());
    }
  }
  return doc;
}

std::string uuid_error(std::string_view text) { return Uuid::parse_checked(text).error(); }
std::string time_error(std::string_view text) {
  return serialization::parse_rfc3339_checked(text).error();
}
std::string hex_error(std::string_view text) { return Hash::from_hex(text).error(); }

constexpr const char* kBaseState = R"({
  "concepts": {
    "11111111-1111-4111-8111-111111111111": {"id": "11111111-1111-4111-8111-111111111111",
      "term": "a", "definition": "d", "confidence": 0.5, "status": "Active",
      "created_at": "2024-05-01T00:00:00Z", "source_evidence": [{"turn_number": 1, "text_excerpt": "t"}]},
    "22222222-2222-4222-8222-222222222222": {"id": "22222222-2222-4222-8222-222222222222",
      "term": "b", "definition": "d", "confidence": 0.5, "status": "Active",
      "created_at": "2024-05-01T00:00:00Z"}},
  "relations": {
    "33333333-3333-4333-8333-333333333333": {"id": "33333333-3333-4333-8333-333333333333",
      "from_concept": "11111111-1111-4111-8111-111111111111",
      "to_concept": "22222222-2222-4222-8222-222222222222",
      "relation_type": "Supports", "confidence": 0.5, "evidence": []}},
  "structure": {
    "44444444-4444-4444-8444-444444444444": {"id": "44444444-4444-4444-8444-444444444444",
      "title": "t", "node_type": "n", "parent": null, "position": 0,
      "content_hash": "0000000000000000000000000000000000000000000000000000000000000000",
      "concept_refs": []}}
})";

const std::string CP = std::string("/concepts/") + kA;
const std::string RP = std::string("/relations/") + kR;
const std::string NP = std::string("/structure/") + kN;

struct MessageCase {
  std::vector<Edit> edits;
  std::string message;
};

TEST(StateDocument, ReaderRefusesWithTheFirstProblemInReadingOrder) {
  const std::vector<MessageCase> cases = {
      {{{"", "[]"}}, "missing or invalid concepts"},
      {{{"", "\"x\""}}, "missing or invalid concepts"},
      {{{"", "null"}}, "missing or invalid concepts"},
      {{{"/concepts", std::nullopt}}, "missing or invalid concepts"},
      {{{"/concepts", "[]"}}, "missing or invalid concepts"},
      {{{"/relations", std::nullopt}}, "missing or invalid relations"},
      {{{"/structure", "null"}}, "missing or invalid structure"},
      // The member name is checked before its value is read.
      {{{"/concepts/xyz", "5"}}, "invalid concept id: " + uuid_error("xyz")},
      {{{"/relations/not-a-uuid", "5"}}, "invalid relation id: " + uuid_error("not-a-uuid")},
      {{{"/structure/1234", "5"}}, "invalid node id: " + uuid_error("1234")},
      // Concepts.
      {{{CP, "5"}}, "missing concept id"},
      {{{CP + "/id", std::nullopt}}, "missing concept id"},
      {{{CP + "/id", "7"}}, "expected string for concept_id"},
      {{{CP + "/id", "\"nope\""}, {CP + "/status", "\"x\""}},
       "invalid uuid: " + uuid_error("nope")},
      {{{CP + "/status", "\"active\""}, {CP + "/term", std::nullopt}}, "unknown status: active"},
      {{{CP + "/status", std::nullopt}}, "missing or invalid field: status"},
      {{{CP + "/created_at", "\"yesterday\""}}, "invalid timestamp: " + time_error("yesterday")},
      {{{CP + "/created_at", "5"}}, "missing or invalid field: created_at"},
      {{{CP + "/source_evidence", "null"}}, "expected array for evidence_refs"},
      {{{CP + "/source_evidence", "[5]"}}, "missing or invalid field: turn_number"},
      {{{CP + "/source_evidence/0/turn_number", "-1"}}, "missing or invalid field: turn_number"},
      {{{CP + "/source_evidence/0/turn_number", "-0"}}, "missing or invalid field: turn_number"},
      {{{CP + "/source_evidence/0/turn_number", "1.0"}}, "missing or invalid field: turn_number"},
      {{{CP + "/source_evidence/0/turn_number", "4294967296"}},
       "missing or invalid field: turn_number"},
      {{{CP + "/source_evidence/0/text_excerpt", "null"}},
       "missing or invalid field: text_excerpt"},
      {{{CP + "/term", std::nullopt}}, "missing or invalid field: term"},
      {{{CP + "/definition", "1"}}, "missing or invalid field: definition"},
      {{{CP + "/confidence", "null"}}, "missing or invalid field: confidence"},
      {{{CP + "/confidence", "\"0.5\""}}, "missing or invalid field: confidence"},
      // Relations.
      {{{RP, "5"}}, "missing or invalid field: relation_type"},
      {{{RP + "/relation_type", "\"SUPPORTS\""}}, "unknown relation_type: SUPPORTS"},
      {{{RP + "/id", std::nullopt}}, "missing relation id"},
      {{{RP + "/id", "5"}}, "expected string for relation_id"},
      {{{RP + "/id", "\"zz\""}}, "invalid uuid: " + uuid_error("zz")},
      {{{RP + "/from_concept", std::nullopt}, {RP + "/to_concept", std::nullopt}},
       "missing from_concept"},
      {{{RP + "/to_concept", std::nullopt}}, "missing to_concept"},
      {{{RP + "/from_concept", "7"}}, "expected string for concept_id"},
      {{{RP + "/evidence", "\"x\""}}, "expected array for evidence_refs"},
      {{{RP + "/confidence", std::nullopt}}, "missing or invalid field: confidence"},
      // Structure nodes.
      {{{NP, "5"}}, "missing node id"},
      {{{NP + "/parent", "5"}}, "expected string for node_id"},
      {{{NP + "/parent", "\"p\""}, {NP + "/id", std::nullopt}}, "invalid uuid: " + uuid_error("p")},
      {{{NP + "/concept_refs", "[5]"}}, "expected string for concept_id"},
      {{{NP + "/id", std::nullopt}}, "missing node id"},
      {{{NP + "/id", "[]"}}, "expected string for node_id"},
      {{{NP + "/title", std::nullopt}}, "missing or invalid field: title"},
      {{{NP + "/node_type", "null"}}, "missing or invalid field: node_type"},
      {{{NP + "/position", "3.0"}}, "missing or invalid field: position"},
      {{{NP + "/position", "-1"}}, "missing or invalid field: position"},
      {{{NP + "/position", "4294967296"}}, "missing or invalid field: position"},
      {{{NP + "/position", "\"3\""}}, "missing or invalid field: position"},
      {{{NP + "/content_hash", std::nullopt}}, "missing content_hash"},
      {{{NP + "/content_hash", "5"}}, "expected hex string for hash"},
      {{{NP + "/content_hash", "\"abc\""}}, hex_error("abc")},
      {{{NP + "/content_hash", std::string("\"") + std::string(62, '0') + "zz\""}},
       hex_error(std::string(62, '0') + "zz")},
      // The integrity check runs on what was read.
      {{{"/concepts/22222222-2222-4222-8222-222222222222/term", "\" A\\t\""}},
       "two Active concepts share the normalized term \" A\\t\": " + std::string(kA) + " and " +
           kB},
  };
  for (const auto& c : cases) {
    const Json doc = edited(kBaseState, c.edits);
    auto state = state_from_json(doc);
    ASSERT_FALSE(state) << doc.dump();
    EXPECT_EQ(state.error().kind(), ErrorKind::SerializationError);
    EXPECT_EQ(state.error().message(), "serialization error: " + c.message) << doc.dump();
  }
}

struct AcceptCase {
  std::vector<Edit> edits;
  std::function<void(const KnowledgeState&)> check;
};

TEST(StateDocument, ReaderAcceptsTheTolerantForms) {
  const auto concept_a = [](const KnowledgeState& s) { return s.concepts.at(cid(kA)).value(); };
  const auto relation = [](const KnowledgeState& s) { return s.relations.at(rid(kR)).value(); };
  const auto node = [](const KnowledgeState& s) {
    return s.structure.at(StructureNodeId{*Uuid::parse(kN)}).value();
  };
  const std::vector<AcceptCase> cases = {
      {{{CP + "/confidence", "1"}}, [&](auto& s) { EXPECT_EQ(concept_a(s).confidence, 1.0); }},
      {{{CP + "/confidence", "7"}}, [&](auto& s) { EXPECT_EQ(concept_a(s).confidence, 7.0); }},
      {{{CP + "/confidence", "-3"}}, [&](auto& s) { EXPECT_EQ(concept_a(s).confidence, -3.0); }},
      {{{CP + "/confidence", "18446744073709551615"}},
       [&](auto& s) { EXPECT_EQ(concept_a(s).confidence, 18446744073709551616.0); }},
      {{{CP + "/source_evidence", std::nullopt}},
       [&](auto& s) { EXPECT_TRUE(concept_a(s).source_evidence.empty()); }},
      {{{CP + "/source_evidence/0/turn_number", "4294967295"}},
       [&](auto& s) { EXPECT_EQ(concept_a(s).source_evidence[0].turn_number, 4294967295u); }},
      {{{CP + "/created_at", "\"2024-05-01T02:00:00+02:00\""}},
       [&](auto& s) { EXPECT_EQ(concept_a(s).created_at, (Timestamp{1714521600, 0})); }},
      {{{CP + "/id", "\"{11111111-1111-4111-8111-111111111111}\""}},
       [&](auto& s) { EXPECT_EQ(concept_a(s).id, cid(kA)); }},
      {{{CP + "/status", "\"Coexisting\""},
        {"/concepts/22222222-2222-4222-8222-222222222222/term", "\"A\""}},
       [&](auto& s) { EXPECT_EQ(concept_a(s).status, ConceptStatus::Coexisting); }},
      {{{RP + "/relation_type", "\"derives_from\""}},
       [&](auto& s) { EXPECT_EQ(relation(s).relation_type, RelationType::DerivesFrom); }},
      {{{RP + "/source_document", "42"}, {RP + "/classification_confidence", "\"0.5\""}},
       [&](auto& s) {
         EXPECT_FALSE(relation(s).source_document);
         EXPECT_FALSE(relation(s).classification_confidence);
       }},
      {{{RP + "/source_document", "null"}, {RP + "/classification_confidence", "2"}},
       [&](auto& s) {
         EXPECT_FALSE(relation(s).source_document);
         EXPECT_EQ(relation(s).classification_confidence, 2.0);
       }},
      {{{RP + "/evidence", std::nullopt}},
       [&](auto& s) { EXPECT_TRUE(relation(s).evidence.empty()); }},
      {{{NP + "/parent", std::nullopt}, {NP + "/concept_refs", "\"x\""}},
       [&](auto& s) {
         EXPECT_FALSE(node(s).parent);
         EXPECT_TRUE(node(s).concept_refs.empty());
       }},
      {{{NP + "/concept_refs", std::nullopt}, {NP + "/position", "4294967295"}},
       [&](auto& s) { EXPECT_EQ(node(s).position, 4294967295u); }},
      {{{NP + "/content_hash", std::string("\"") + std::string(64, 'F') + "\""}},
       [&](auto& s) { EXPECT_EQ(node(s).content_hash.bytes[31], 0xFF); }},
      {{{"/state_hash", "5"}, {"/unknown", "{}"}},
       [&](auto& s) { EXPECT_EQ(s.concepts.size(), 2u); }},
      // The same id under two spellings: the later name in byte order wins.
      {{{"/concepts/AAAAAAAA-AAAA-4AAA-8AAA-AAAAAAAAAAAA",
         R"({"id":"22222222-2222-4222-8222-222222222222","term":"upper","definition":"d",)"
         R"("confidence":1,"status":"Active","created_at":"2024-05-01T00:00:00Z"})"},
        {"/concepts/aaaaaaaa-aaaa-4aaa-8aaa-aaaaaaaaaaaa",
         R"({"id":"22222222-2222-4222-8222-222222222222","term":"lower","definition":"d",)"
         R"("confidence":1,"status":"Active","created_at":"2024-05-01T00:00:00Z"})"}},
       [&](auto& s) {
         EXPECT_EQ(s.concepts.size(), 3u);
         EXPECT_EQ(s.concepts.at(cid("aaaaaaaa-aaaa-4aaa-8aaa-aaaaaaaaaaaa"))->term, "lower");
       }},
  };
  for (const auto& c : cases) {
    const Json doc = edited(kBaseState, c.edits);
    auto state = state_from_json(doc);
    ASSERT_TRUE(state) << state.error().message() << "\n" << doc.dump();
    c.check(*state);
  }
}

TEST(StateDocument, NonFiniteConfidenceIsWrittenAsNullAndRefusedOnRead) {
  for (double bad : {std::nan(""), std::numeric_limits<double>::infinity()}) {
    const KnowledgeState s = state_of({concept_with(kA, "a", bad)});
    const std::string text = state_to_json_text(s);
    EXPECT_NE(text.find("\"confidence\": null"), std::string::npos);
    auto back = state_from_json(parse_ok(text));
    ASSERT_FALSE(back);
    EXPECT_EQ(back.error().message(), "serialization error: missing or invalid field: confidence");
  }
}

// ------------------------------------------------------ referential integrity

// ------------------------------------------------------------ text reader

// The document without the white space between tokens.
std::string compact(std::string_view text) {
  std::string out;
  bool in_string = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      out += c;
      if (c == '\\') {
        out += text[++i];
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
      out += c;
    } else if (c != ' ' && c != '\n') {
      out += c;
    }
  }
  return out;
}

TEST(StateText, ReadsEveryWrittenDocumentAsTheTreeReaderDoes) {
  Concept odd = concept_with(kA,
                             " \xC3\x9Cn\xC3\xAF"
                             "code \t\x01\x7f/",
                             1e-7);
  odd.definition = std::string("nul\0inside \xF0\x9F\x98\x80", 15);
  odd.created_at = Timestamp{-62135596800, 5};
  odd.source_evidence = {{0, ""}, {4294967295u, "last \"quoted\" \\"}};
  Concept tiny = concept_with(kB, "tiny", 5e-324, ConceptStatus::Coexisting);
  Relation full = relation_with(kR, kB, kA, RelationType::DerivesFrom);
  full.source_document = "";
  full.classification_confidence = -0.0;
  full.evidence = {{7, "e"}};
  Relation plain = relation_with("66666666-6666-4666-8666-666666666666", kA, kB);
  plain.confidence = 1e16;
  StructureNode root{
      StructureNodeId{*Uuid::parse(kN)}, "T", "", std::nullopt, 7, Hash{}, {cid(kA), cid(kB)}};
  StructureNode child{StructureNodeId{*Uuid::parse("77777777-7777-4777-8777-777777777777")},
                      "",
                      "x",
                      StructureNodeId{*Uuid::parse(kN)},
                      4294967295u,
                      Hash{},
                      {cid("99999999-9999-4999-8999-999999999999")}};
  child.content_hash.bytes.fill(0xfe);

  // And one state as the engine leaves it: a merge supersedes its sources
  // and links them to the merged concept.
  KnowledgeState engine;
  std::vector<ConceptId> merged;
  for (const char* term : {"alpha", "beta", "gamma"}) {
    Concept c = Concept::create(term, std::string("about ") + term);
    merged.push_back(c.id);
    engine = KnowledgeState::apply(engine, op::Assert{std::move(c)}, {})->state;
  }
  merged.pop_back();
  engine =
      KnowledgeState::apply(engine, op::Merge{merged, "alphabet", "both", {{2, "ab"}}}, {})->state;

  const std::vector<KnowledgeState> states = {
      KnowledgeState{},
      state_of({odd}),
      state_of({odd, tiny}, {full, plain}, {root, child}),
      state_of({concept_with(kA, "a", -0.0), concept_with(kB, "b", 0.1)}, {}, {child}),
      engine,
  };
  for (std::size_t i = 0; i < states.size(); ++i) {
    const std::string pretty = state_to_json_text(states[i]);
    for (const std::string& text : {pretty, compact(pretty)}) {
      const auto read = try_read_state_text(text);
      ASSERT_TRUE(read) << i << ": " << text;
      EXPECT_EQ(fuzz::state_difference(*read, states[i]), "") << i;
      EXPECT_EQ(fuzz::text_reader_agrees(text), "") << i;
    }
  }
}

TEST(StateText, GivesUpOrAgreesOnEveryVariant) {
  struct Case {
    const char* from;  // a text of the golden document ...
    std::string to;    // ... replaced by this
    bool read;         // whether the text reader reads the result
  };
  const std::string hash_line =
      "\"state_hash\": \"f7c0f20999cc7e5ba92b9b2f7bc66fa1ba8aca4556f919bd2360c7e81f44c728\",";
  const Case cases[] = {
      {"\"term\": \"Entropy\"", "\"term\": \"Entrop\\u00e9\"", true},
      {"\"term\": \"Entropy\"", "\"term\": \"\\u00C9ntropy\\ud83d\\ude00\"", true},
      {"\"term\": \"Entropy\"", "\"term\": \"Entropy\\ud83d\"", false},
      {"\"term\": \"Entropy\"", "\"term\": \"Entropy\\ud83d\\Ude00\"", false},
      {"\"term\": \"Entropy\"", "\"term\": \"Entropy\\ud83dxude00\"", false},
      {"\"term\": \"Entropy\"", "\"term\": \"Entropy\\ude00\"", false},
      {"\"term\": \"Entropy\"", "\"term\": \"Entropy\\x\"", false},
      {"\"definition\": \"old\"", "\"definition\": \"o\\/l\\b\\f\\n\\r\\t\\\"\\\\d\\u0000\"", true},
      {"\"definition\": \"old\"", "\"definition\": \"o\xE2\x82\xAC\xF4\x8F\xBF\xBF\"", true},
      {"\"definition\": \"old\"", "\"definition\": \"o\xC3(\"", false},
      {"\"definition\": \"old\"", "\"definition\": \"o\xED\xA0\x80\"", false},
      {"\"definition\": \"old\"", "\"definition\": \"o\xF4\x90\x80\x80\"", false},
      {"\"definition\": \"old\"", "\"definition\": \"o\xE0\x80\xAF\"", false},
      {"\"definition\": \"old\"", "\"definition\": \"o\x01\"", false},
      {"\"confidence\": 0.25", "\"confidence\": 1", true},
      {"\"confidence\": 0.25", "\"confidence\": 1.0", true},
      {"\"confidence\": 0.25", "\"confidence\": 1e0", true},
      {"\"confidence\": 0.25", "\"confidence\": 1E+2", true},
      {"\"confidence\": 0.25", "\"confidence\": 2.5e-1", true},
      {"\"confidence\": 0.25", "\"confidence\": -0", true},
      {"\"confidence\": 0.25", "\"confidence\": -0.0", true},
      {"\"confidence\": 0.25", "\"confidence\": -7", true},
      {"\"confidence\": 0.25", "\"confidence\": 9007199254740993", true},
      {"\"confidence\": 0.25", "\"confidence\": 18446744073709551615", true},
      {"\"confidence\": 0.25", "\"confidence\": 18446744073709551616", false},
      {"\"confidence\": 0.25", "\"confidence\": -9223372036854775809", false},
      {"\"confidence\": 0.25", "\"confidence\": 1e400", false},
      {"\"confidence\": 0.25", "\"confidence\": 1e-400", false},
      {"\"confidence\": 0.25", "\"confidence\": 01", false},
      {"\"confidence\": 0.25", "\"confidence\": .5", false},
      {"\"confidence\": 0.25", "\"confidence\": null", false},
      {"\"confidence\": 0.25", "\"confidence\": \"0.25\"", false},
      {"\"position\": 0", "\"position\": 1.0", false},
      {"\"position\": 0", "\"position\": -0", false},
      {"\"position\": 0", "\"position\": 1e2", false},
      {"\"position\": 0", "\"position\": 4294967296", false},
      {"\"turn_number\": 3", "\"turn_number\": 3.0", false},
      {"\"text_excerpt\": \"x\",", "", false},
      {",\n          \"turn_number\": 3", "", false},
      {"\"content_hash\": \"abab", "\"id_\": 1, \"content_hash\": \"abab", false},
      {"\"status\": \"Superseded\",\n      \"term\": \"entropy\"",
       "\"term\": \"entropy\",\n      \"status\": \"Superseded\"", true},
      {"\"term\": \"entropy\"", "\"term\": \"entropy\",\n      \"term\": \"other\"", false},
      {"\"title\": \"Child\"", "\"title\": \"Child\",\n      \"zz\": 1", false},
      {"\"id\": \"22222222-2222-4222-8222-222222222222\"",
       "\"id\": \"{22222222-2222-4222-8222-222222222222}\"", false},
      {"\"22222222-2222-4222-8222-222222222222\": {", "\"22222222-2222-4222-8222-22222222222A\": {",
       false},
      {"\"44444444-4444-4444-8444-444444444444\": {", "\"66666666-6666-4666-8666-666666666666\": {",
       true},  // keys out of order
      {"\"55555555-5555-4555-8555-555555555555\": {", "\"44444444-4444-4444-8444-444444444444\": {",
       false},  // a key repeated
      {"{\n  \"concepts\"", "{\n  \"structure\": {},\n  \"concepts\"", false},
      {hash_line.c_str(), "", true},
      {hash_line.c_str(), "\"state_hash\": 5,", false},
      {"\"parent\": null,", "", true},
      {"\"source_document\": \"doc.txt\"", "\"source_document\": null", true},
      {"\"source_document\": \"doc.txt\"", "\"source_document\": 42", false},
      {"\"classification_confidence\": 0.75", "\"classification_confidence\": null", true},
      {"\"content_hash\": \"abab", "\"content_hash\": \"ABab", true},
      {"2024-05-01T00:00:00.120+00:00", "2024-05-01T02:00:00.12+02:00", true},
      {"2024-05-01T00:00:00.120+00:00", "2024-05-01", false},
      {"2024-05-01T00:00:00+00:00\"", "2024-05-01T00:00:00+00:00\t", false},
      {"\"status\": \"Superseded\"", "\"status\": \"Active\"", false},  // duplicate term
      {"\"status\": \"Superseded\"", "\"status\": \"superseded\"", false},
      {"\"relation_type\": \"DerivesFrom\"", "\"relation_type\": \"derives_from\"", true},
      {"\"to_concept\": \"22222222-2222-4222-8222-222222222222\"",
       "\"to_concept\": \"55555555-5555-4555-8555-555555555555\"", false},  // dangling
      {"{\n  \"concepts\"", "\xEF\xBB\xBF{\n  \"concepts\"", false},
      {"\n    }\n  }\n}", "\n    }\n  }\n} \r\n\t", true},
      {"\n    }\n  }\n}", "\n    }\n  }\n}x", false},
      {"\n    }\n  }\n}", "\n    }\n  }\n}{}", false},
  };
  const std::string golden = kGoldenPretty;
  for (const Case& c : cases) {
    const std::size_t at = golden.find(c.from);
    ASSERT_NE(at, std::string::npos) << c.from;
    std::string text = golden;
    text.replace(at, std::strlen(c.from), c.to);
    for (const std::string& variant : {text, compact(text)}) {
      EXPECT_EQ(try_read_state_text(variant).has_value(), c.read) << c.to;
      EXPECT_EQ(fuzz::text_reader_agrees(variant), "") << c.to;
    }
  }
}

// Members rewritten in another order at every level of the document.
void reorder(nlohmann::ordered_json& value, std::mt19937& rng, int how) {
  if (value.is_array()) {
    for (auto& item : value) reorder(item, rng, how);
    return;
  }
  if (!value.is_object()) return;
  std::vector<std::pair<std::string, nlohmann::ordered_json>> members;
  for (auto it = value.begin(); it != value.end(); ++it) members.emplace_back(it.key(), *it);
  if (how == 0) std::reverse(members.begin(), members.end());
  if (how == 1 && !members.empty())
    std::rotate(members.begin(), members.begin() + 1, members.end());
  if (how == 2) std::shuffle(members.begin(), members.end(), rng);
  value = nlohmann::ordered_json::object();
  for (auto& [key, item] : members) {
    reorder(item, rng, how);
    value[key] = std::move(item);
  }
}

// A document whose members come in any order reads without a tree, to the
// state of the same document in the writers' order.
TEST(StateText, ReadsMembersInAnyOrder) {
  KnowledgeState large;  // several chunks of each map
  std::vector<ConceptId> ids;
  for (int i = 0; i < 300; ++i) {
    Concept c = Concept::create("term " + std::to_string(i), "about " + std::to_string(i));
    c.status = i % 3 == 0 ? ConceptStatus::Superseded : ConceptStatus::Active;
    c.source_evidence = {{static_cast<std::uint32_t>(i), "seen"}};
    ids.push_back(c.id);
    large.concepts.insert_or_assign(c.id, Entry<Concept>(std::move(c)));
  }
  for (int i = 0; i < 200; ++i) {
    Relation r;
    r.id = RelationId::random();
    r.from_concept = ids[static_cast<std::size_t>(i)];
    r.to_concept = ids[static_cast<std::size_t>(i + 1)];
    r.relation_type = RelationType::Supports;
    r.source_document = "doc";
    large.relations.insert_or_assign(r.id, Entry<Relation>(std::move(r)));
  }
  for (std::uint32_t i = 0; i < 100; ++i) {
    StructureNode n;
    n.id = StructureNodeId::random();
    n.title = "node";
    n.node_type = "section";
    n.position = i;
    n.concept_refs = {ids[i], ids[i + 1]};
    large.structure.insert_or_assign(n.id, Entry<StructureNode>(std::move(n)));
  }
  auto golden = state_from_json(parse_ok(kGoldenPretty));
  ASSERT_TRUE(golden);
  std::mt19937 rng(5);
  for (const KnowledgeState* state : {&*golden, &large}) {
    for (int how = 0; how < 3; ++how) {
      auto document = nlohmann::ordered_json::parse(state_to_json_text(*state));
      reorder(document, rng, how);
      for (const std::string& text : {document.dump(2), document.dump()}) {
        const auto read = try_read_state_text(text);
        ASSERT_TRUE(read) << how << ": " << text.substr(0, 400);
        EXPECT_EQ(fuzz::state_difference(*read, *state), "") << how;
        EXPECT_EQ(fuzz::text_reader_agrees(text), "") << how;
      }
    }
  }
}

// Every document one byte away from a written one (that byte deleted or
// replaced): most are refused or left to the tree reader, and the text
// reader must agree on the rest.
TEST(StateText, EveryOneByteEditGivesUpOrAgrees) {
  const std::string written = compact(kGoldenPretty);
  std::size_t read = 0;
  for (std::size_t i = 0; i < written.size(); ++i) {
    for (const char* edit : {"", "0", "\"", "E", "-", "\xC3", "\t", "\\"}) {
      std::string text = written;
      text.replace(i, 1, edit);
      if (try_read_state_text(text)) ++read;
      EXPECT_EQ(fuzz::text_reader_agrees(text), "") << text;
    }
  }
  EXPECT_GT(read, 0u);
}

TEST(StateText, AgreesWithTheTreeReaderOnTheFuzzCorpus) {
  const std::filesystem::path corpus =
      std::filesystem::path(__FILE__).parent_path().parent_path().parent_path() / "fuzz" / "corpus";
  std::size_t documents = 0;
  for (const auto& dir : std::filesystem::directory_iterator(corpus)) {
    if (!dir.path().filename().string().starts_with("state")) continue;
    for (const auto& file : std::filesystem::directory_iterator(dir.path())) {
      std::ifstream in(file.path(), std::ios::binary);
      const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
      EXPECT_EQ(fuzz::text_reader_agrees(bytes), "") << file.path();
      ++documents;
    }
  }
  EXPECT_GT(documents, 0u);
}

TEST(ReferentialIntegrity, ReportsTheFirstFindingInCheckOrder) {
  constexpr const char* kC = "cccccccc-cccc-4ccc-8ccc-cccccccccccc";
  constexpr const char* kD = "dddddddd-dddd-4ddd-8ddd-dddddddddddd";
  constexpr const char* kX = "eeeeeeee-eeee-4eee-8eee-eeeeeeeeeeee";
  constexpr const char* kR2 = "34444444-4444-4444-8444-444444444444";
  constexpr const char* kR3 = "35555555-5555-4555-8555-555555555555";
  constexpr const char* kR4 = "36666666-6666-4666-8666-666666666666";
  const auto df = RelationType::DerivesFrom;
  const auto sup = ConceptStatus::Superseded;
  struct Case {
    const char* name;
    KnowledgeState state;
    std::string message;  // empty: passes
  };
  const std::vector<Case> cases = {
      {"empty", KnowledgeState{}, ""},
      {"both ends missing", state_of({concept_with(kA, "a")}, {relation_with(kR, kX, kD)}),
       std::string("relation ") + kR + " has a dangling from_concept: " + kX},
      {"to end missing", state_of({concept_with(kA, "a")}, {relation_with(kR, kA, kD)}),
       std::string("relation ") + kR + " has a dangling to_concept: " + kD},
      {"smaller relation id first",
       state_of({concept_with(kA, "a")}, {relation_with(kR2, kA, kX), relation_with(kR, kD, kA)}),
       std::string("relation ") + kR + " has a dangling from_concept: " + kD},
      {"dangling before duplicate term",
       state_of({concept_with(kA, "a"), concept_with(kB, "A")}, {relation_with(kR, kA, kX)}),
       std::string("relation ") + kR + " has a dangling to_concept: " + kX},
      {"case and white space", state_of({concept_with(kB, "Term\n"), concept_with(kA, " term")}),
       std::string("two Active concepts share the normalized term \"Term\\n\": ") + kA + " and " +
           kB},
      {"composition", state_of({concept_with(kA, "Caf\u00e9"), concept_with(kB, "cafe\u0301")}),
       std::string("two Active concepts share the normalized term \"cafe\\u{301}\": ") + kA +
           " and " + kB},
      {"first repeat in identifier order, with the concept it repeats",
       state_of({concept_with(kA, "p"), concept_with(kB, "q"), concept_with(kC, "r"),
                 concept_with(kD, "Q"), concept_with(kX, "P")}),
       std::string("two Active concepts share the normalized term \"Q\": ") + kB + " and " + kD},
      {"active and superseded share a term",
       state_of({concept_with(kA, "t"), concept_with(kB, "t", 1.0, sup)}), ""},
      {"self reference",
       state_of({concept_with(kA, "a"), concept_with(kB, "b")},
                {relation_with(kR, kA, kB, df), relation_with(kR2, kA, kA, df)}),
       std::string("self-referential DerivesFrom on concept ") + kA},
      {"two-cycle",
       state_of({concept_with(kA, "a"), concept_with(kB, "b")},
                {relation_with(kR, kA, kB, df), relation_with(kR2, kB, kA, df)}),
       std::string("DerivesFrom cycle reachable from concept ") + kA},
      // From A the search reaches C, then B, whose successor C is on the path.
      {"cycle met later",
       state_of({concept_with(kA, "a"), concept_with(kB, "b"), concept_with(kC, "c")},
                {relation_with(kR, kA, kC, df), relation_with(kR2, kC, kB, df),
                 relation_with(kR3, kB, kC, df)}),
       std::string("DerivesFrom cycle reachable from concept ") + kC},
      {"diamond",
       state_of({concept_with(kA, "a"), concept_with(kB, "b"), concept_with(kC, "c"),
                 concept_with(kD, "d")},
                {relation_with(kR, kA, kB, df), relation_with(kR2, kA, kC, df),
                 relation_with(kR3, kB, kD, df), relation_with(kR4, kC, kD, df)}),
       ""},
      {"cycle of other relation types passes",
       state_of({concept_with(kA, "a"), concept_with(kB, "b")},
                {relation_with(kR, kA, kB), relation_with(kR2, kB, kA, RelationType::Contradicts)}),
       ""},
      {"superseded concepts take part",
       state_of({concept_with(kA, "x", 1.0, sup), concept_with(kB, "x", 1.0, sup)},
                {relation_with(kR, kB, kA, df), relation_with(kR2, kA, kB, df)}),
       std::string("DerivesFrom cycle reachable from concept ") + kA},
      {"structure is not examined",
       state_of({}, {},
                {StructureNode{StructureNodeId{*Uuid::parse(kN)},
                               "t",
                               "n",
                               StructureNodeId{*Uuid::parse(kX)},
                               0,
                               Hash{},
                               {cid(kX)}}}),
       ""},
  };
  for (const auto& c : cases) {
    auto result = validate_referential_integrity(c.state);
    if (c.message.empty()) {
      EXPECT_TRUE(result) << c.name << ": " << result.error().message();
    } else {
      ASSERT_FALSE(result) << c.name;
      EXPECT_EQ(result.error().kind(), ErrorKind::SerializationError) << c.name;
      EXPECT_EQ(result.error().message(), "serialization error: " + c.message) << c.name;
    }
  }
}

TEST(ReferentialIntegrity, LongDerivesFromChainNeedsNoDeepStack) {
  constexpr std::size_t kLength = 30'000;
  std::vector<Concept> concepts;
  std::vector<Relation> relations;
  auto id_text = [](std::size_t i, char tag) {
    char buf[37];
    std::snprintf(buf, sizeof buf, "%08zx-0000-4000-8000-%c00000000000", i, tag);
    return std::string(buf);
  };
  for (std::size_t i = 0; i < kLength; ++i) {
    concepts.push_back(concept_with(id_text(i, '0').c_str(), "t" + std::to_string(i)));
    if (i + 1 < kLength) {
      relations.push_back(relation_with(id_text(i, '1').c_str(), id_text(i, '0').c_str(),
                                        id_text(i + 1, '0').c_str(), RelationType::DerivesFrom));
    }
  }
  KnowledgeState chain = state_of(concepts, relations);
  EXPECT_TRUE(validate_referential_integrity(chain));

  // Closing the chain into a ring is found at its first concept.
  Relation back = relation_with(id_text(kLength, '1').c_str(), id_text(kLength - 1, '0').c_str(),
                                id_text(0, '0').c_str(), RelationType::DerivesFrom);
  chain.relations.insert_or_assign(back.id, Entry<Relation>(back));
  auto ring = validate_referential_integrity(chain);
  ASSERT_FALSE(ring);
  EXPECT_EQ(ring.error().message(),
            "serialization error: DerivesFrom cycle reachable from concept " + id_text(0, '0'));
}

TEST(ReferentialIntegrity, DebugFormOfTerms) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"plain", "\"plain\""},
      {"q\"b\\", "\"q\\\"b\\\\\""},
      {"a\nb\rc\td", "\"a\\nb\\rc\\td\""},
      {std::string("n\0l", 3), "\"n\\0l\""},
      {"\x01\x1f\x7f", "\"\\u{1}\\u{1f}\\u{7f}\""},
      {"é ü 漢 😀 '", "\"é ü 漢 😀 '\""},
      {"nb\u00a0sp zw\u200bsp ls\u2028", "\"nb\\u{a0}sp zw\\u{200b}sp ls\\u{2028}\""},
      {"pu\ue000", "\"pu\\u{e000}\""},
      {"cafe\u0301 \u0915\u094d", "\"cafe\\u{301} \u0915\\u{94d}\""},
      {"bad\xff\xc3", "\"bad\ufffd\ufffd\""},
  };
  for (const auto& [term, expected] : cases) EXPECT_EQ(debug_quoted(term), expected) << term;
}

// ---------------------------------------------------------- records document

constexpr const char* kBaseRecords = R"([
  {"id": "66666666-6666-4666-8666-666666666666",
   "operation": {"type": "Reinforce", "concept_id": "11111111-1111-4111-8111-111111111111", "evidence": []},
   "timestamp": "2024-05-01T00:00:00Z", "source": "UserExplicit",
   "prior_state_hash": "0000000000000000000000000000000000000000000000000000000000000000",
   "resulting_state_hash": "1111111111111111111111111111111111111111111111111111111111111111",
   "chain_hash": "2222222222222222222222222222222222222222222222222222222222222222",
   "justification": {"agm_type": "Expansion", "minimality_score": 0.5, "content_shift_score": null,
                     "structure_delta_score": null, "evidence_refs": []}},
  {"id": "77777777-7777-4777-8777-777777777777",
   "operation": {"type": "Retract", "concept_id": "11111111-1111-4111-8111-111111111111", "reason": "Cascade"},
   "timestamp": "2024-05-01T00:00:01.5+00:00", "source": "SystemEnrichment",
   "prior_state_hash": "1111111111111111111111111111111111111111111111111111111111111111",
   "resulting_state_hash": "3333333333333333333333333333333333333333333333333333333333333333",
   "chain_hash": "4444444444444444444444444444444444444444444444444444444444444444",
   "justification": {"agm_type": "Contraction", "minimality_score": 1}}
])";

TEST(RecordsDocument, ReaderRefusesWithTheFirstProblemInReadingOrder) {
  const std::string op = "/0/operation";
  const std::string a = std::string("\"") + kA + "\"";
  const auto with_op = [&](std::string text) { return std::vector<Edit>{{op, std::move(text)}}; };
  const std::vector<MessageCase> cases = {
      {{{"", "{}"}}, "expected JSON array for records"},
      {{{"", "null"}}, "expected JSON array for records"},
      {{{"/1/operation", std::nullopt}}, "missing operation"},
      {{{"/0/source", "\"Bad\""}, {"/0/id", "5"}}, "unknown source: Bad"},
      {{{"/0/source", std::nullopt}}, "missing or invalid field: source"},
      {{{"/0/timestamp", "\"2024-13-01T00:00:00Z\""}, {op, std::nullopt}},
       "invalid timestamp: " + time_error("2024-13-01T00:00:00Z")},
      {{{"/0/timestamp", "0"}}, "missing or invalid field: timestamp"},
      {{{"/0/id", std::nullopt}}, "missing record id"},
      {{{"/0/id", "5"}}, "expected string for record_id"},
      {{{"/0/id", "\"r\""}}, "invalid uuid: " + uuid_error("r")},
      {{{"/0/prior_state_hash", std::nullopt}}, "missing prior_state_hash"},
      {{{"/0/resulting_state_hash", std::nullopt}}, "missing resulting_state_hash"},
      {{{"/0/chain_hash", std::nullopt}}, "missing chain_hash"},
      {{{"/0/chain_hash", "null"}}, "expected hex string for hash"},
      {{{"/0/chain_hash", "\"00\""}}, hex_error("00")},
      {{{"/0/justification", std::nullopt}}, "missing justification"},
      {{{"/0/justification/agm_type", "\"expansion\""}}, "unknown agm_type: expansion"},
      {{{"/0/justification/agm_type", std::nullopt}}, "missing or invalid field: agm_type"},
      {{{"/0/justification/minimality_score", "null"}},
       "missing or invalid field: minimality_score"},
      {{{"/0/justification/minimality_score", "\"0.5\""}},
       "missing or invalid field: minimality_score"},
      {{{"/0/justification/evidence_refs", "null"}}, "expected array for evidence_refs"},
      // Operations.
      {with_op("5"), "missing or invalid field: type"},
      {with_op(R"({"type":"assert"})"), "unknown operation type: assert"},
      {with_op(R"({"type":"Assert"})"), "missing concept"},
      {with_op(R"({"type":"Assert","concept":null})"), "missing concept id"},
      {with_op(R"({"type":"Revise"})"), "missing conflict_set"},
      {with_op(R"({"type":"Revise","conflict_set":null})"), "missing conflict_set"},
      {with_op(R"({"type":"Revise","conflict_set":[5]})"), "expected string for concept_id"},
      {with_op(R"({"type":"Revise","conflict_set":[]})"), "missing concept_id"},
      {with_op(R"({"type":"Revise","conflict_set":[],"concept_id":)" + a + "}"),
       "missing or invalid field: new_definition"},
      {with_op(R"({"type":"Revise","conflict_set":[],"concept_id":)" + a +
               R"(,"new_definition":"n","evidence":5})"),
       "expected array for evidence_refs"},
      {with_op(R"({"type":"Retract","reason":"bad"})"), "unknown retraction reason: bad"},
      {with_op(R"({"type":"Retract"})"), "missing or invalid field: reason"},
      {with_op(R"({"type":"Retract","reason":"Cascade"})"), "missing concept_id"},
      {with_op(R"({"type":"Relate"})"), "missing relation"},
      {with_op(R"({"type":"Relate","relation":{}})"), "missing or invalid field: relation_type"},
      {with_op(R"({"type":"Restructure"})"), "missing new_nodes"},
      {with_op(R"({"type":"Restructure","new_nodes":[5]})"), "missing node id"},
      {with_op(R"({"type":"Restructure","new_nodes":[]})"), "missing old_structure_hash"},
      {with_op(R"({"type":"Restructure","new_nodes":[],"old_structure_hash":"zz"})"),
       hex_error("zz")},
      {with_op(R"({"type":"Restructure","new_nodes":[],"old_structure_hash":")" +
               std::string(64, '0') + R"(","justification":{}})"),
       "missing or invalid field: justification"},
      {with_op(R"({"type":"Refine"})"), "missing concept_id"},
      {with_op(R"({"type":"Refine","concept_id":)" + a + "}"),
       "missing or invalid field: new_definition"},
      {with_op(R"({"type":"Merge","concept_ids":{}})"), "missing concept_ids"},
      {with_op(R"({"type":"Merge","concept_ids":[]})"), "missing or invalid field: merged_term"},
      {with_op(R"({"type":"Merge","concept_ids":[],"merged_term":"m"})"),
       "missing or invalid field: merged_definition"},
      {with_op(R"({"type":"Reinforce"})"), "missing concept_id"},
      {with_op(R"({"type":"Reinforce","concept_id":)" + a + R"(,"evidence":null})"),
       "expected array for evidence_refs"},
      {with_op(R"({"type":"Split"})"), "missing new_concepts"},
      {with_op(R"({"type":"Split","new_concepts":[5]})"), "missing term in new_concepts"},
      {with_op(R"({"type":"Split","new_concepts":[{"term":"a"}]})"),
       "missing definition in new_concepts"},
      {with_op(R"({"type":"Split","new_concepts":[{"term":"a","definition":1}]})"),
       "missing definition in new_concepts"},
      {with_op(R"({"type":"Split","new_concepts":[]})"), "missing concept_id"},
  };
  for (const auto& c : cases) {
    const Json doc = edited(kBaseRecords, c.edits);
    auto records = records_from_json(doc);
    ASSERT_FALSE(records) << doc.dump();
    EXPECT_EQ(records.error().kind(), ErrorKind::SerializationError);
    EXPECT_EQ(records.error().message(), "serialization error: " + c.message) << doc.dump();
  }
}

TEST(RecordsDocument, ReaderAcceptsTheTolerantForms) {
  auto records = records_from_json(
      edited(kBaseRecords, {{"/0/chain_hash", std::string("\"") + std::string(64, 'A') + "\""},
                            {"/0/justification/content_shift_score", "\"0.5\""},
                            {"/0/justification/structure_delta_score", "1"},
                            {"/0/extra", "[]"},
                            {"/0/operation/extra", "{}"}}));
  ASSERT_TRUE(records) << records.error().message();
  ASSERT_EQ(records->size(), 2u);
  const auto& r0 = (*records)[0];
  EXPECT_EQ(r0.chain_hash.bytes[0], 0xAA);
  EXPECT_FALSE(r0.justification.content_shift_score);
  EXPECT_EQ(r0.justification.structure_delta_score, 1.0);
  const auto& r1 = (*records)[1];
  EXPECT_EQ(r1.timestamp, (Timestamp{1714521601, 500000000}));
  EXPECT_EQ(r1.source, OperationSource::SystemEnrichment);
  EXPECT_EQ(r1.operation, EvolutionOperation(op::Retract{cid(kA), RetractionReason::Cascade}));
  EXPECT_EQ(r1.justification.minimality_score, 1.0);
  EXPECT_FALSE(r1.justification.content_shift_score);
  EXPECT_TRUE(r1.justification.evidence_refs.empty());

  auto empty = records_from_json(parse_ok("[]"));
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->empty());
  EXPECT_EQ(records_to_json_text({}), "[]");
}

void expect_same_record(const EvolutionRecord& a, const EvolutionRecord& b) {
  EXPECT_EQ(a.id, b.id);
  EXPECT_EQ(a.operation, b.operation);
  EXPECT_EQ(a.timestamp, b.timestamp);
  EXPECT_EQ(a.source, b.source);
  EXPECT_EQ(a.prior_state_hash, b.prior_state_hash);
  EXPECT_EQ(a.resulting_state_hash, b.resulting_state_hash);
  EXPECT_EQ(a.chain_hash, b.chain_hash);
  EXPECT_EQ(a.justification.agm_type, b.justification.agm_type);
  EXPECT_EQ(a.justification.minimality_score, b.justification.minimality_score);
  EXPECT_EQ(a.justification.content_shift_score, b.justification.content_shift_score);
  EXPECT_EQ(a.justification.structure_delta_score, b.justification.structure_delta_score);
  EXPECT_EQ(a.justification.evidence_refs, b.justification.evidence_refs);
}

TEST(RecordsDocument, EngineHistoryRoundTripsAndReplays) {
  KnowledgeState state;
  std::vector<EvolutionRecord> records;
  std::int64_t clock = 1714521600;
  auto step = [&](EvolutionOperation operation) {
    const Hash prev = records.empty() ? Hash::zero() : records.back().chain_hash;
    auto applied = KnowledgeState::apply(
        state, operation,
        ApplyContext{prev, Timestamp{clock++, 123456789}, OperationSource::UserImplicit});
    ASSERT_TRUE(applied) << applied.error().message();
    state = std::move(applied->state);
    records.push_back(std::move(applied->record));
  };
  const EvidenceRef ev{4, "turn \"four\"\n"};
  Concept a = Concept::create("Alpha", "first letter");
  a.source_evidence = {ev};
  Concept b = Concept::create("Beta", "second");
  Concept c = Concept::create("Gamma", "third");
  c.confidence = 0.1;
  step(op::Assert{a});
  step(op::Assert{b});
  step(op::Assert{c});
  Relation rel;
  rel.id = RelationId::random();
  rel.from_concept = a.id;
  rel.to_concept = b.id;
  rel.relation_type = RelationType::Supports;
  rel.confidence = 0.7;
  rel.classification_confidence = 0.3;
  rel.source_document = "paper.pdf";
  step(op::Relate{rel});
  step(op::Refine{a.id, "first letter, refined", {ev}});
  step(op::Reinforce{b.id, {ev, {5, ""}}});
  step(op::Revise{c.id, "third, revised", {b.id}, {}});
  StructureNode node{
      StructureNodeId::random(), "Intro", "section", std::nullopt, 0, Hash{}, {a.id}};
  step(op::Restructure{state.structure_hash(), {node}, "first outline"});
  step(op::Merge{{a.id, b.id}, "AlphaBeta", "merged", {ev}});
  step(op::Split{c.id, {{"Gamma one", "g1"}, {"Gamma two", "g2"}}, {}});
  ConceptId split_child;
  for (const auto& [id, entry] : state.concepts) {
    if (entry->term == "Gamma one") split_child = id;
  }
  step(op::Retract{split_child, RetractionReason::Contradiction});
  ASSERT_EQ(records.size(), 11u);

  const std::string text = records_to_json_text(records);
  auto back = records_from_json(parse_ok(text));
  ASSERT_TRUE(back) << back.error().message();
  ASSERT_EQ(back->size(), records.size());
  for (std::size_t i = 0; i < records.size(); ++i) expect_same_record((*back)[i], records[i]);

  auto rebuilt = merkle::reconstruct_state(KnowledgeState{}, *back, Hash::zero());
  ASSERT_TRUE(rebuilt) << rebuilt.error().message();
  EXPECT_EQ(rebuilt->state_hash(), state.state_hash());

  auto state_back = state_from_json(parse_ok(state_to_json_text(state)));
  ASSERT_TRUE(state_back) << state_back.error().message();
  EXPECT_EQ(state_back->state_hash(), state.state_hash());
}

// ------------------------------------------------------------------ JSON text

TEST(JsonText, PrinterLayoutAndNumbers) {
  struct Case {
    Json value;
    std::string text;
  };
  const std::vector<Case> cases = {
      {Json::object(), "{}"},
      {Json::array(), "[]"},
      {Json("x"), "\"x\""},
      {Json(nullptr), "null"},
      {Json{{"b", Json::array({1, Json::object()})}, {"a", Json::array()}},
       "{\n  \"a\": [],\n  \"b\": [\n    1,\n    {}\n  ]\n}"},
      {Json::array({Json::array({Json::array()})}), "[\n  [\n    []\n  ]\n]"},
      {Json::array({true, false, -3, std::uint64_t{18446744073709551615u}}),
       "[\n  true,\n  false,\n  -3,\n  18446744073709551615\n]"},
      {Json::array({1.0, 0.1, 1e15, 1e16, 1e-5, 1e-6, 1.5e-7, -0.0, 5e-324, 12.5}),
       "[\n  1.0,\n  0.1,\n  1000000000000000.0,\n  1e+16,\n  0.00001,\n  1e-6,\n  1.5e-7,\n"
       "  -0.0,\n  5e-324,\n  12.5\n]"},
      {Json::array({std::nan(""), -std::numeric_limits<double>::infinity()}),
       "[\n  null,\n  null\n]"},
      {Json{{"k\"\n", "é\x01/\x7f"}}, "{\n  \"k\\\"\\n\": \"é\\u0001/\x7f\"\n}"},
      {Json{{"b", 1}, {"B", 2}, {"a", 3}, {"é", 4}},
       "{\n  \"B\": 2,\n  \"a\": 3,\n  \"b\": 1,\n  \"é\": 4\n}"},
  };
  for (const auto& c : cases) EXPECT_EQ(to_pretty_text(c.value), c.text) << c.text;
}

TEST(JsonText, ParserKeepsNumberKindsAndLaterDuplicates) {
  const Json v =
      parse_ok(R"({"u": 5, "i": -5, "f": 5.0, "z": -0, "e": 1e2, "big": 18446744073709551616,
                              "d": 1, "d": 2, "s": "\u00e9\ud83d\ude00\u0000"})");
  EXPECT_TRUE(v["u"].is_number_unsigned());
  EXPECT_TRUE(v["i"].is_number_integer() && !v["i"].is_number_unsigned());
  EXPECT_TRUE(v["f"].is_number_float());
  ASSERT_TRUE(v["z"].is_number_float());
  EXPECT_TRUE(std::signbit(*v["z"].get_ptr<const double*>()));
  EXPECT_TRUE(v["e"].is_number_float());
  EXPECT_TRUE(v["big"].is_number_float());
  EXPECT_EQ(v["d"], 2);
  EXPECT_EQ(*v["s"].get_ptr<const std::string*>(), std::string("é😀\0", 7));
  const Json nested = parse_ok("[-0, [-0.0, 0, -1], {\"a\": -0}]");
  EXPECT_TRUE(nested[0].is_number_float());
  EXPECT_TRUE(nested[1][1].is_number_unsigned());
  EXPECT_TRUE(nested[1][2].is_number_integer());
  EXPECT_TRUE(nested[2]["a"].is_number_float());
}

TEST(JsonText, ParserRefusesWithLineAndColumn) {
  struct Case {
    std::string text;
    std::string prefix;  // the message starts with this
  };
  std::vector<Case> cases = {
      {"", "invalid JSON: parse error at line 1, column 1"},
      {"{\n  \"a\": x}", "invalid JSON: parse error at line 2, column 8"},
      {"[1,]", "invalid JSON: parse error at line 1, column 4"},
      {"[1] 2", "invalid JSON: parse error at line 1, column 5"},
      {"{\"a\" 1}", "invalid JSON: parse error at line 1, column 6"},
      {"[NaN]", "invalid JSON: parse error at line 1, column 2"},
      {"[1e400]", "invalid JSON: number overflow parsing '1e400' at line 1, column"},
      {"\"\x01\"", "invalid JSON: parse error at line 1, column 2"},
      {"\"\xff\"", "invalid JSON: parse error at line 1, column 2"},
      {"[\"\\ud800\"]", "invalid JSON: parse error at line 1, column"},
      {"// c\n1", "invalid JSON: parse error at line 1, column 1"},
      {"\xEF\xBB\xBF{}", "invalid JSON: parse error at line 1, column 1"},
      {"é", "invalid JSON: parse error at line 1, column 1"},
      // A NUL is refused where it stands, outside a string too (not taken for the end).
      {std::string("[1]\n\0 x", 6), "invalid JSON: parse error at line 2, column 1"},
      {std::string("[\"\0\"]", 5), "invalid JSON: parse error at line 1, column 3"},
  };
  // Long tokens are cut to their end in the message.
  cases.push_back({"[\"" + std::string(100'000, 'a') + "\x01\"]",
                   "invalid JSON: parse error at line 1, column 100003"});
  cases.push_back({"[1" + std::string(100'000, '0') + "]",
                   "invalid JSON: number overflow parsing '..." + std::string(40, '0') + "'"});
  for (const auto& c : cases) {
    auto parsed = parse_json(c.text);
    ASSERT_FALSE(parsed) << c.text;
    EXPECT_LT(parsed.error().size(), 300u);
    EXPECT_TRUE(parsed.error().starts_with(c.prefix)) << parsed.error().substr(0, 400);
    // The message must be valid UTF-8 text whatever the input bytes were.
    EXPECT_TRUE(parse_json(Json(parsed.error()).dump())) << parsed.error();
  }
}

TEST(JsonText, NestingIsBounded) {
  auto nested = [](std::size_t depth, const char* open, const char* close) {
    std::string s;
    for (std::size_t i = 0; i < depth; ++i) s += open;
    if (open[0] == '{') s += "0";
    for (std::size_t i = 0; i < depth; ++i) s += close;
    return s;
  };
  EXPECT_TRUE(parse_json(nested(kMaxNesting, "[", "]")));
  EXPECT_TRUE(parse_json(nested(kMaxNesting, "{\"a\":", "}")));
  const std::string refused =
      "invalid JSON: parse error at line 1, column 128: nesting deeper than 127 levels";
  EXPECT_EQ(parse_json(nested(kMaxNesting + 1, "[", "]")).error(), refused);
  EXPECT_EQ(parse_json(std::string(2'000'000, '[')).error(), refused);
  EXPECT_TRUE(parse_json(nested(1'000'000, "{\"a\":", "}"))
                  .error()
                  .starts_with("invalid JSON: parse error at line 1, column 636: nesting deeper"));
  // Brackets inside strings do not count; a syntax error before the limit wins.
  EXPECT_TRUE(parse_json("[\"" + std::string(500, '[') + "\"]"));
  EXPECT_TRUE(parse_json("[x" + std::string(500, '['))
                  .error()
                  .starts_with("invalid JSON: parse error at line 1, column 2"));
  // A deep document is refused as text before any reader sees it.
  EXPECT_FALSE(parse_json(R"({"concepts":{},"relations":{},"structure":{},"x":)" +
                          nested(200, "[", "]") + "}"));
}

}  // namespace
}  // namespace kelvora::exchange
