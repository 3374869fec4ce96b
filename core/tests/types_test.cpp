// The value types: identifiers, hashes, enum names, operations.
#include "kelvora/types.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <set>
#include <string>
#include <vector>

using namespace kelvora;

TEST(Uuid, ParsesEveryForm) {
  const std::string canonical = "67e55044-10b1-426f-9247-bb680e5fe0c8";
  for (const char* text :
       {"67e55044-10b1-426f-9247-bb680e5fe0c8", "67E55044-10B1-426F-9247-BB680E5FE0C8",
        "67e5504410b1426f9247bb680e5fe0c8", "67E5504410B1426F9247BB680E5FE0C8",
        "{67e55044-10b1-426f-9247-bb680e5fe0c8}", "{67E55044-10b1-426F-9247-bb680e5fe0c8}",
        "urn:uuid:67e55044-10b1-426f-9247-bb680e5fe0c8",
        "urn:uuid:67E55044-10B1-426F-9247-BB680E5FE0C8"}) {
    auto u = Uuid::parse(text);
    ASSERT_TRUE(u) << text;
    EXPECT_EQ(u->to_string(), canonical);
    EXPECT_EQ(Uuid::parse_checked(text).value(), *u);
  }
}

TEST(Uuid, RefusesOtherForms) {
  for (const char* text :
       {"", "67e55044", "67e55044-10b1-426f-9247-bb680e5fe0c",
        "67e55044-10b1-426f-9247-bb680e5fe0c8a", "67e5504410b1-426f-9247-bb680e5fe0c8-",
        "{67e5504410b1426f9247bb680e5fe0c8}", "URN:UUID:67e55044-10b1-426f-9247-bb680e5fe0c8",
        "67e55044-10b1-426f-9247-bb680e5fe0cg", "67e55044_10b1_426f_9247_bb680e5fe0c8",
        " 67e55044-10b1-426f-9247-bb680e5fe0c8", "{67e55044-10b1-426f-9247-bb680e5fe0c8",
        "67e5504410b1426f9247bb680e5fe0c+"}) {
    EXPECT_FALSE(Uuid::parse(text)) << text;
    EXPECT_FALSE(Uuid::parse_checked(text)) << text;
  }
}

TEST(Uuid, ErrorTexts) {
  auto err = [](std::string_view t) { return Uuid::parse_checked(t).error(); };
  EXPECT_EQ(err(""), "invalid length: expected length 32 for simple format, found 0");
  EXPECT_EQ(err("abc"), "invalid length: expected length 32 for simple format, found 3");
  EXPECT_EQ(err("not-a-uuid"),
            "invalid character: expected an optional prefix of `urn:uuid:` followed by "
            "[0-9a-fA-F-], found `n` at 1");
  EXPECT_EQ(err("67e55044-10b1-426f-9247"), "invalid group count: expected 5, found 4");
  EXPECT_EQ(err("67e55044-10b1-426f-9247-bb680e5fe0c"),
            "invalid group length in group 4: expected 12, found 11");
  EXPECT_EQ(err("67e5504-410b1-426f-9247-bb680e5fe0c8"),
            "invalid group length in group 0: expected 8, found 7");
  EXPECT_EQ(err("{67e5504410b1426f9247bb680e5fe0c8}"), "invalid group count: expected 5, found 1");
  EXPECT_EQ(err("67e55044-10b1-426f-9247-bb680e5fe0c\u00e9"),
            "invalid character: expected an optional prefix of `urn:uuid:` followed by "
            "[0-9a-fA-F-], found `\u00e9` at 36");
  EXPECT_EQ(err("urn:uuid:67e55044-10b1-426f-9247-bb680e5fe0cx"),
            "invalid character: expected an optional prefix of `urn:uuid:` followed by "
            "[0-9a-fA-F-], found `x` at 45");
}

TEST(Uuid, RandomV4) {
  std::set<Uuid> seen;
  for (int i = 0; i < 100; ++i) {
    Uuid u = Uuid::random_v4();
    EXPECT_EQ(u.bytes[6] >> 4, 4);
    EXPECT_EQ(u.bytes[8] & 0xC0, 0x80);
    seen.insert(u);
  }
  EXPECT_EQ(seen.size(), 100u);
  EXPECT_NE(ConceptId::random(), ConceptId::random());
}

TEST(Uuid, TextOrderEqualsIdentifierOrder) {
  std::vector<Uuid> ids;
  for (int i = 0; i < 200; ++i) ids.push_back(Uuid::random_v4());
  Uuid hi;
  hi.bytes.fill(0xff);
  ids.push_back(hi);
  ids.push_back(Uuid{});
  std::vector<Uuid> by_id = ids;
  std::sort(by_id.begin(), by_id.end());
  std::vector<Uuid> by_text = ids;
  std::sort(by_text.begin(), by_text.end(),
            [](const Uuid& a, const Uuid& b) { return a.to_string() < b.to_string(); });
  EXPECT_EQ(by_id, by_text);
  EXPECT_EQ(Uuid{}.to_string(), "00000000-0000-0000-0000-000000000000");
}

TEST(DebugString, StructureNodeId) {
  const StructureNodeId id{*Uuid::parse("67e55044-10b1-426f-9247-bb680e5fe0c8")};
  EXPECT_EQ(debug_string(id), "StructureNodeId(67e55044-10b1-426f-9247-bb680e5fe0c8)");
  EXPECT_EQ(debug_string(std::optional<StructureNodeId>(id)),
            "Some(StructureNodeId(67e55044-10b1-426f-9247-bb680e5fe0c8))");
  EXPECT_EQ(debug_string(std::optional<StructureNodeId>()), "None");
}

TEST(Hash, HexRoundTrip) {
  Hash h;
  for (int i = 0; i < 32; ++i) h.bytes[i] = static_cast<std::uint8_t>(i * 8 + 7);
  const std::string hex = h.to_hex();
  EXPECT_EQ(hex.size(), 64u);
  EXPECT_EQ(hex.substr(0, 8), "070f171f");
  EXPECT_EQ(Hash::from_hex(hex).value(), h);
  std::string upper = hex;
  std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
  EXPECT_EQ(Hash::from_hex(upper).value(), h);
  EXPECT_EQ(Hash::from_hex(upper)->to_hex(), hex);
  EXPECT_EQ(Hash::zero().to_hex(), std::string(64, '0'));
}

struct FromHexCase {
  std::string text;
  std::string error;  // empty: success
};

TEST(Hash, FromHexTable) {
  const std::string ok(64, 'a');
  const std::string bad_pos = "invalid hex at position ";
  const std::string digit = ": invalid digit found in string";
  const std::vector<FromHexCase> cases = {
      {ok, ""},
      {std::string(63, 'a'), "expected 64 hex chars, got 63"},
      {std::string(65, 'a'), "expected 64 hex chars, got 65"},
      {"", "expected 64 hex chars, got 0"},
      {"zz" + std::string(62, 'a'), bad_pos + "0" + digit},
      {std::string(62, 'a') + "zz", bad_pos + "62" + digit},
      {std::string(62, 'a') + "a ", bad_pos + "62" + digit},
      {std::string(10, 'a') + "-1" + std::string(52, 'a'), bad_pos + "10" + digit},
      {std::string(10, 'a') + "++" + std::string(52, 'a'), bad_pos + "10" + digit},
      {std::string(10, 'a') + "1+" + std::string(52, 'a'), bad_pos + "10" + digit},
      {std::string(10, 'a') + "+f" + std::string(52, 'a'), ""},
      {std::string(10, 'a') + "0x" + std::string(52, 'a'), bad_pos + "10" + digit},
      // A two-byte character across the pair boundary at bytes 3..4: the
      // pair (2,3) holds its first byte.
      {std::string(3, 'a') + "\u00e9" + std::string(59, 'a'), bad_pos + "2" + digit},
      // A two-byte character filling a pair.
      {"\u00e9" + std::string(62, 'a'), bad_pos + "0" + digit},
      // 32 two-byte characters: 64 bytes, fails at the first pair.
      {[] {
         std::string s;
         for (int i = 0; i < 32; ++i) s += "\u00e9";
         return s;
       }(),
       bad_pos + "0" + digit},
      // "expected 64 hex chars" counts bytes, not characters.
      {"\u00e9" + std::string(63, 'a'), "expected 64 hex chars, got 65"},
  };
  for (const auto& c : cases) {
    auto r = Hash::from_hex(c.text);
    if (c.error.empty()) {
      EXPECT_TRUE(r) << c.text;
    } else {
      ASSERT_FALSE(r) << c.text;
      EXPECT_EQ(r.error(), c.error) << c.text;
    }
  }
  Hash plus = Hash::from_hex(std::string(10, 'a') + "+f" + std::string(52, 'a')).value();
  EXPECT_EQ(plus.bytes[5], 0x0f);
  EXPECT_EQ(plus.bytes[4], 0xaa);
}

TEST(Enums, Names) {
  EXPECT_EQ(name(ConceptStatus::Active), "Active");
  EXPECT_EQ(name(ConceptStatus::Superseded), "Superseded");
  EXPECT_EQ(name(ConceptStatus::Coexisting), "Coexisting");
  EXPECT_EQ(name(AgmType::Expansion), "Expansion");
  EXPECT_EQ(name(AgmType::Revision), "Revision");
  EXPECT_EQ(name(AgmType::Contraction), "Contraction");
  EXPECT_EQ(name(OperationSource::UserExplicit), "UserExplicit");
  EXPECT_EQ(name(OperationSource::UserImplicit), "UserImplicit");
  EXPECT_EQ(name(OperationSource::SystemEnrichment), "SystemEnrichment");
  EXPECT_EQ(name(OperationSource::SystemRestructure), "SystemRestructure");
  EXPECT_EQ(name(RetractionReason::UserExplicit), "UserExplicit");
  EXPECT_EQ(name(RetractionReason::Contradiction), "Contradiction");
  EXPECT_EQ(name(RetractionReason::Cascade), "Cascade");
}

TEST(RelationTypes, NamesAndWireForms) {
  const std::vector<std::pair<std::string, std::string>> table = {
      {"DerivesFrom", "derives_from"},  {"Contradicts", "contradicts"},
      {"Exemplifies", "exemplifies"},   {"Tension", "tension"},
      {"Subsumes", "subsumes"},         {"Enables", "enables"},
      {"Supports", "supports"},         {"Explains", "explains"},
      {"Extends", "extends"},           {"Qualifies", "qualifies"},
      {"Contrasts", "contrasts"},       {"Motivates", "motivates"},
      {"Necessitates", "necessitates"}, {"Operationalizes", "operationalizes"},
      {"Reframes", "reframes"},         {"Completes", "completes"},
      {"Independent", "independent"}};
  ASSERT_EQ(table.size(), static_cast<std::size_t>(kRelationTypeCount));
  for (int i = 0; i < kRelationTypeCount; ++i) {
    const auto t = static_cast<RelationType>(i);
    EXPECT_EQ(name(t), table[i].first);
    EXPECT_EQ(relation_type::canonical_str(t), table[i].second);
    EXPECT_EQ(relation_type::from_wire_str(table[i].first), t);
    EXPECT_EQ(relation_type::from_wire_str(table[i].second), t);
  }
  for (const char* bad :
       {"derivesfrom", "DERIVES_FROM", "Derives_From", "Derives_from", "", " supports", "supports ",
        "support", "Independent_", "derives-from", "INDEPENDENT"}) {
    EXPECT_FALSE(relation_type::from_wire_str(bad)) << bad;
  }
}

TEST(RelationTypes, DetectorIndex) {
  const RelationType expected[] = {
      RelationType::Supports,     RelationType::Explains,        RelationType::Extends,
      RelationType::Qualifies,    RelationType::Contrasts,       RelationType::Motivates,
      RelationType::Necessitates, RelationType::Operationalizes, RelationType::Reframes,
      RelationType::Completes,    RelationType::Independent};
  for (int i = 0; i <= 10; ++i) EXPECT_EQ(relation_type::from_detector_index(i), expected[i]);
  for (std::int64_t bad :
       {std::int64_t{-1}, std::int64_t{11}, std::int64_t{17},
        std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max()}) {
    EXPECT_FALSE(relation_type::from_detector_index(bad)) << bad;
  }
}

TEST(Operations, NamesAndAgmClasses) {
  const std::vector<EvolutionOperation> ops = {op::Assert{}, op::Revise{},      op::Retract{},
                                               op::Relate{}, op::Restructure{}, op::Refine{},
                                               op::Merge{},  op::Reinforce{},   op::Split{}};
  const char* variants[] = {"Assert", "Revise", "Retract",   "Relate", "Restructure",
                            "Refine", "Merge",  "Reinforce", "Split"};
  const char* kinds[] = {"assert", "revise", "retract",   "relate", "restructure",
                         "refine", "merge",  "reinforce", "split"};
  const AgmType agm[] = {AgmType::Expansion, AgmType::Revision,  AgmType::Contraction,
                         AgmType::Expansion, AgmType::Revision,  AgmType::Expansion,
                         AgmType::Revision,  AgmType::Expansion, AgmType::Revision};
  for (std::size_t i = 0; i < ops.size(); ++i) {
    EXPECT_EQ(variant_name(ops[i]), variants[i]);
    EXPECT_EQ(kind_name(ops[i]), kinds[i]);
    EXPECT_EQ(agm_type_of(ops[i]), agm[i]);
  }
}

TEST(Concept, CreateAndEquality) {
  const Timestamp before = Timestamp::now();
  Concept c = Concept::create("Apple", "A fruit");
  const Timestamp after = Timestamp::now();
  EXPECT_EQ(c.term, "Apple");
  EXPECT_EQ(c.definition, "A fruit");
  EXPECT_EQ(c.confidence, 1.0);
  EXPECT_EQ(c.status, ConceptStatus::Active);
  EXPECT_TRUE(c.source_evidence.empty());
  EXPECT_LE(before, c.created_at);
  EXPECT_LE(c.created_at, after);
  EXPECT_LT(c.created_at.nanos, 1'000'000'000u);
  EXPECT_EQ(c.id.uuid.bytes[6] >> 4, 4);

  Concept a = c, b = c;
  a.confidence = 0.0;
  b.confidence = -0.0;
  EXPECT_EQ(a, b);
  a.confidence = std::numeric_limits<double>::quiet_NaN();
  b.confidence = a.confidence;
  EXPECT_NE(a, b);  // NaN equals nothing
  EXPECT_NE(Concept::create("Apple", "A fruit").id, c.id);
}
