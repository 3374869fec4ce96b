// Canonical form, hashes, float and time-stamp texts. Golden
// values come from core/tests/golden/gen_serialization_vectors.py (Python's
// repr, datetime and hashlib, independent of this code).
#include <gtest/gtest.h>

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "kelvora/canonical.hpp"
#include "kelvora/float_text.hpp"
#include "kelvora/operations.hpp"
#include "kelvora/sha256.hpp"
#include "kelvora/state_hash.hpp"
#include "kelvora/state_text.hpp"
#include "kelvora/timestamp_text.hpp"
#include "kelvora/types.hpp"

using namespace kelvora;
namespace ser = kelvora::serialization;

namespace {

Uuid U(std::string_view text) { return *Uuid::parse(text); }
ConceptId CId(std::string_view text) { return ConceptId{U(text)}; }

constexpr std::string_view kId1 = "11111111-1111-4111-8111-111111111111";
constexpr std::string_view kId2 = "22222222-2222-4222-8222-222222222222";
constexpr std::string_view kR1 = "33333333-3333-4333-8333-333333333333";
constexpr std::string_view kR2 = "44444444-4444-4444-8444-444444444444";
constexpr std::string_view kN1 = "55555555-5555-4555-8555-555555555555";
constexpr std::string_view kN2 = "66666666-6666-4666-8666-666666666666";

Hash counting_hash() {
  Hash h;
  for (int i = 0; i < 32; ++i) h.bytes[i] = static_cast<std::uint8_t>(i);
  return h;
}

void put(KnowledgeState& s, Concept c) {
  s.concepts.insert_or_assign(c.id, Entry<Concept>(std::move(c)));
}
void put(KnowledgeState& s, Relation r) {
  s.relations.insert_or_assign(r.id, Entry<Relation>(std::move(r)));
}
void put(KnowledgeState& s, StructureNode n) {
  s.structure.insert_or_assign(n.id, Entry<StructureNode>(std::move(n)));
}

Concept concept1(double confidence = -0.0) {
  Concept c;
  c.id = CId(kId1);
  c.term = "Caf\u00e9 \x1f\t\"q\"\\ /\x7f";
  c.definition = std::string("def\nline\r\b\f") + std::string(1, '\0');
  c.confidence = confidence;
  c.status = ConceptStatus::Active;
  c.created_at = Timestamp{1714557600, 120'000'000};
  c.source_evidence = {{3, "ex"}, {4294967295u, "\u03a3"}};
  return c;
}

Concept concept2() {
  Concept c;
  c.id = CId(kId2);
  c.term = std::string(1, 'x');
  c.definition.clear();
  c.confidence = std::numeric_limits<double>::quiet_NaN();
  c.status = ConceptStatus::Superseded;
  c.created_at = Timestamp{0, 5};
  return c;
}

Relation relation1(std::optional<double> cc = -0.0) {
  Relation r;
  r.id = RelationId{U(kR1)};
  r.from_concept = CId(kId1);
  r.to_concept = CId(kId2);
  r.relation_type = RelationType::DerivesFrom;
  r.confidence = 0.5;
  r.classification_confidence = cc;
  return r;
}

Relation relation2() {
  Relation r;
  r.id = RelationId{U(kR2)};
  r.from_concept = CId(kId2);
  r.to_concept = CId(kId1);
  r.relation_type = RelationType::Supports;
  r.evidence = {{1, "e"}};
  r.confidence = 1e16;
  r.source_document = "doc.pdf";
  return r;
}

StructureNode node1() {
  StructureNode n;
  n.id = StructureNodeId{U(kN1)};
  n.title = "Root";
  n.node_type = "section";
  n.position = 0;
  n.content_hash = counting_hash();
  n.concept_refs = {CId(kId1), CId(kId2)};
  return n;
}

StructureNode node2() {
  StructureNode n;
  n.id = StructureNodeId{U(kN2)};
  n.title = "Child";
  n.node_type = "";
  n.parent = StructureNodeId{U(kN1)};
  n.position = 4294967295u;
  return n;
}

KnowledgeState full_state() {
  KnowledgeState s;
  put(s, concept2());
  put(s, concept1());
  put(s, relation2());
  put(s, relation1());
  put(s, node2());
  put(s, node1());
  return s;
}

// Generated text, kept in the generator's line breaks.
// clang-format off
const std::string kFullText =
    "{\"concepts\":{\"11111111-1111-4111-8111-111111111111\":{\"id\":\"11111111-1111-4111-8111-111111111111\",\"te"
    "rm\":\"Caf\303\251 \\u001f\\t\\\"q\\\"\\\\ /\177\",\"definition\":\"def\\nline\\r\\b\\f\\u0000\",\"confidence\":0.0,\"status\":\"Activ"
    "e\",\"created_at\":\"2024-05-01T10:00:00.120Z\",\"source_evidence\":[{\"turn_number\":3,\"text_excerpt\":\"ex\"},"
    "{\"turn_number\":4294967295,\"text_excerpt\":\"\316\243\"}]},\"22222222-2222-4222-8222-222222222222\":{\"id\":\"22222"
    "222-2222-4222-8222-222222222222\",\"term\":\"x\",\"definition\":\"\",\"confidence\":null,\"status\":\"Superseded\","
    "\"created_at\":\"1970-01-01T00:00:00.000000005Z\",\"source_evidence\":[]}},\"relations\":{\"33333333-3333-433"
    "3-8333-333333333333\":{\"id\":\"33333333-3333-4333-8333-333333333333\",\"from_concept\":\"11111111-1111-4111"
    "-8111-111111111111\",\"to_concept\":\"22222222-2222-4222-8222-222222222222\",\"relation_type\":\"DerivesFrom"
    "\",\"evidence\":[],\"confidence\":0.5,\"classification_confidence\":0.0},\"44444444-4444-4444-8444-444444444"
    "444\":{\"id\":\"44444444-4444-4444-8444-444444444444\",\"from_concept\":\"22222222-2222-4222-8222-2222222222"
    "22\",\"to_concept\":\"11111111-1111-4111-8111-111111111111\",\"relation_type\":\"Supports\",\"evidence\":[{\"tur"
    "n_number\":1,\"text_excerpt\":\"e\"}],\"confidence\":1e+16,\"source_document\":\"doc.pdf\"}},\"structure\":{\"5555"
    "5555-5555-4555-8555-555555555555\":{\"id\":\"55555555-5555-4555-8555-555555555555\",\"title\":\"Root\",\"node_"
    "type\":\"section\",\"parent\":null,\"position\":0,\"content_hash\":[0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,"
    "17,18,19,20,21,22,23,24,25,26,27,28,29,30,31],\"concept_refs\":[\"11111111-1111-4111-8111-111111111111\""
    ",\"22222222-2222-4222-8222-222222222222\"]},\"66666666-6666-4666-8666-666666666666\":{\"id\":\"66666666-666"
    "6-4666-8666-666666666666\",\"title\":\"Child\",\"node_type\":\"\",\"parent\":\"55555555-5555-4555-8555-555555555"
    "555\",\"position\":4294967295,\"content_hash\":[0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0"
    ",0,0,0],\"concept_refs\":[]}}}";
// clang-format on

}  // namespace

TEST(CanonicalState, EmptyStateIs45Bytes) {
  KnowledgeState s;
  const std::string text = ser::canonical_serialize(s);
  EXPECT_EQ(text, R"({"concepts":{},"relations":{},"structure":{}})");
  EXPECT_EQ(text.size(), 45u);
  EXPECT_EQ(ser::state_hash(s).to_hex(),
            "01ea42171f2295cbb54a24c017724becb37a712b2fcd5b9f525d1e9ea045650a");
  EXPECT_EQ(s.state_hash(), ser::state_hash(s));
  EXPECT_EQ(ser::compute_hash(text), ser::state_hash(s));
}

TEST(CanonicalState, FullStateGolden) {
  KnowledgeState s = full_state();
  const std::string text = ser::canonical_serialize(s);
  EXPECT_EQ(text.size(), 1828u);
  EXPECT_EQ(text, kFullText);
  EXPECT_EQ(ser::state_hash(s).to_hex(),
            "29acd1b5ae62eee629ccac76c51023df1e3088995bfb1ab5600474f5092588c3");
  EXPECT_EQ(ser::compute_hash(text), ser::state_hash(s));
  EXPECT_EQ(s.state_hash(), ser::state_hash(s));
}

TEST(CanonicalState, StructureHashGolden) {
  KnowledgeState s = full_state();
  EXPECT_EQ(operations::compute_structure_hash(s.structure).to_hex(),
            "017f08419a2a51f1f81172073cc3acf306602c484703dfcef0bae21c6a416d83");
  EXPECT_EQ(s.structure_hash(), operations::compute_structure_hash(s.structure));
  std::string map_text;
  ser::write_structure_map(map_text, s.structure);
  EXPECT_NE(kFullText.find(map_text), std::string::npos);
  // An empty structure map hashes the two bytes "{}".
  EXPECT_EQ(operations::compute_structure_hash({}).to_hex(),
            "44136fa355b3678a1146ad16f7e8649e94fb4fc21fe77e8310c060f61caaff8a");
}

TEST(CanonicalState, NegativeZeroConfidencesHashAsZero) {
  KnowledgeState a, b;
  put(a, concept1(-0.0));
  put(b, concept1(0.0));
  EXPECT_EQ(a.state_hash(), b.state_hash());
  KnowledgeState c, d;
  put(c, relation1(-0.0));
  put(d, relation1(0.0));
  EXPECT_EQ(c.state_hash(), d.state_hash());
  // The concept objects themselves are equal too (0.0 == -0.0).
  EXPECT_EQ(concept1(-0.0), concept1(0.0));
  // Operation payloads keep the sign.
  std::string op_text;
  ser::write_operation(op_text, op::Assert{concept1(-0.0)});
  EXPECT_NE(op_text.find("\"confidence\":-0.0"), std::string::npos);
}

TEST(CanonicalState, AbsentOptionalFieldsLeaveNoKey) {
  KnowledgeState s;
  put(s, relation1(std::nullopt));
  const std::string text = ser::canonical_serialize(s);
  EXPECT_EQ(text.find("classification_confidence"), std::string::npos);
  EXPECT_EQ(text.find("source_document"), std::string::npos);
  KnowledgeState t;
  put(t, relation1(0.25));
  EXPECT_NE(ser::canonical_serialize(t).find(",\"classification_confidence\":0.25}"),
            std::string::npos);
}

TEST(CanonicalState, InsertionOrderDoesNotMatter) {
  KnowledgeState a, b;
  put(a, concept1());
  put(a, concept2());
  put(b, concept2());
  put(b, concept1());
  EXPECT_EQ(a.state_hash(), b.state_hash());
}

TEST(CanonicalState, MapKeyDifferentFromStoredIdUsesTheKey) {
  // A state read from a document takes the map key as authoritative.
  KnowledgeState s;
  Concept c = concept2();
  s.concepts.insert_or_assign(CId(kId1), Entry<Concept>(c));
  const std::string text = ser::canonical_serialize(s);
  EXPECT_TRUE(text.starts_with(std::string("{\"concepts\":{\"") + std::string(kId1) +
                               "\":{\"id\":\"" + std::string(kId2) + "\""))
      << text;
  EXPECT_EQ(ser::compute_hash(text), ser::state_hash(s));
}

TEST(CanonicalState, CachedHashAndCopies) {
  KnowledgeState s = full_state();
  const Hash h = s.state_hash();
  EXPECT_EQ(s.state_hash(), h);
  KnowledgeState copy = s;  // starts without the cache
  copy.concepts.erase(CId(kId2));
  EXPECT_NE(copy.state_hash(), h);
  KnowledgeState moved = std::move(s);
  EXPECT_EQ(moved.state_hash(), h);
}

TEST(CanonicalState, EntryTextIsTheMemberText) {
  Entry<Concept> e(concept1());
  EXPECT_TRUE(e.canonical().starts_with(std::string("\"") + std::string(kId1) + "\":{\"id\":"));
  EXPECT_NE(kFullText.find(e.canonical()), std::string::npos);
  EXPECT_EQ(e.normalized_term(), operations::normalize_term(e->term));
  Entry<Concept> copy = e;
  EXPECT_TRUE(copy.same_node(e));
}

TEST(Writers, StringEscapes) {
  auto w = [](std::string_view s) {
    std::string out;
    ser::write_string(out, s);
    return out;
  };
  EXPECT_EQ(w("a\x1f"
              "b"),
            "\"a\\u001fb\"");
  EXPECT_EQ(w("\t"), "\"\\t\"");
  EXPECT_EQ(w("\b\f\n\r"), "\"\\b\\f\\n\\r\"");
  EXPECT_EQ(w("\x01\x0b\x1a"), "\"\\u0001\\u000b\\u001a\"");
  EXPECT_EQ(w("\x7f"), "\"\x7f\"");
  EXPECT_EQ(w("caf\u00e9 / \u03a3"), "\"caf\u00e9 / \u03a3\"");
  EXPECT_EQ(w("\"\\"), "\"\\\"\\\\\"");
  EXPECT_EQ(w(std::string_view("\0", 1)), "\"\\u0000\"");
}

// The escape scan works on 16-byte chunks with an overlapping last chunk:
// every length and every position of the character to escape.
TEST(Writers, StringEscapesAtEveryPosition) {
  auto naive = [](std::string_view t) {
    std::string out = "\"";
    for (char ch : t) {
      const auto c = static_cast<unsigned char>(ch);
      if (c == '"')
        out += "\\\"";
      else if (c == '\\')
        out += "\\\\";
      else if (c == '\n')
        out += "\\n";
      else if (c < 0x20) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "\\u%04x", c);
        out += buf;
      } else
        out += ch;
    }
    return out + "\"";
  };
  for (std::size_t len = 0; len <= 50; ++len) {
    std::string base;
    for (std::size_t i = 0; i < len; ++i)
      base += static_cast<char>(i % 3 == 0 ? '\xc3' : 'a' + i % 26);
    {
      std::string out;
      ser::write_string(out, base);
      EXPECT_EQ(out, naive(base));
    }
    for (std::size_t pos = 0; pos < len; ++pos) {
      for (char special : {'"', '\\', '\n', '\x01', '\x1f'}) {
        std::string t = base;
        t[pos] = special;
        std::string out = "prefix";
        ser::write_string(out, t);
        ASSERT_EQ(out, "prefix" + naive(t)) << len << " " << pos;
      }
    }
  }
  // Bytes 0x20, 0x7f, 0x80 and 0xff are never escaped.
  std::string out;
  ser::write_string(out, "\x20\x7f\x80\xff\x20\x7f\x80\xff\x20\x7f\x80\xff\x20\x7f\x80\xff\x20");
  EXPECT_EQ(out, "\"\x20\x7f\x80\xff\x20\x7f\x80\xff\x20\x7f\x80\xff\x20\x7f\x80\xff\x20\"");
}

TEST(Writers, Operations) {
  const Hash hc = counting_hash();
  std::string hash_text;
  ser::write_hash(hash_text, hc);
  auto w = [](const EvolutionOperation& op) {
    std::string out;
    ser::write_operation(out, op);
    return out;
  };
  const std::string id1 = std::string(kId1);
  const std::string id2 = std::string(kId2);
  EXPECT_EQ(w(op::Retract{CId(kId1), RetractionReason::Cascade}),
            "{\"Retract\":{\"concept_id\":\"" + id1 + "\",\"reason\":\"Cascade\"}}");
  EXPECT_EQ(w(op::Revise{CId(kId1), "d", {CId(kId2)}, {{2, "t"}}}),
            "{\"Revise\":{\"concept_id\":\"" + id1 +
                "\",\"new_definition\":\"d\",\"conflict_set\":[\"" + id2 +
                "\"],\"evidence\":[{\"turn_number\":2,\"text_excerpt\":\"t\"}]}}");
  EXPECT_EQ(w(op::Refine{CId(kId1), "d", {}}), "{\"Refine\":{\"concept_id\":\"" + id1 +
                                                   "\",\"new_definition\":\"d\",\"evidence\":[]}}");
  EXPECT_EQ(w(op::Reinforce{CId(kId2), {}}),
            "{\"Reinforce\":{\"concept_id\":\"" + id2 + "\",\"evidence\":[]}}");
  EXPECT_EQ(w(op::Merge{{CId(kId1), CId(kId2)}, "m", "md", {}}),
            "{\"Merge\":{\"concept_ids\":[\"" + id1 + "\",\"" + id2 +
                "\"],\"merged_term\":\"m\",\"merged_definition\":\"md\",\"evidence\":[]}}");
  EXPECT_EQ(w(op::Split{CId(kId1), {{"a", "b"}, {"c", "d"}}, {}}),
            "{\"Split\":{\"concept_id\":\"" + id1 +
                "\",\"new_concepts\":[[\"a\",\"b\"],[\"c\",\"d\"]],\"evidence\":[]}}");
  EXPECT_EQ(w(op::Restructure{hc, {}, "why"}),
            "{\"Restructure\":{\"old_structure_hash\":" + hash_text +
                ",\"new_nodes\":[],\"justification\":\"why\"}}");
  std::string rel;
  ser::write_relation(rel, relation2(), false);
  EXPECT_EQ(w(op::Relate{relation2()}), "{\"Relate\":{\"relation\":" + rel + "}}");
  std::string con;
  ser::write_concept(con, concept2(), false);
  EXPECT_EQ(w(op::Assert{concept2()}), "{\"Assert\":{\"concept\":" + con + "}}");
}

TEST(Writers, Justification) {
  OperationJustification j;
  j.agm_type = AgmType::Revision;
  j.minimality_score = 0.5;
  j.structure_delta_score = 1e-7;
  j.evidence_refs = {{7, "x"}};
  std::string out;
  ser::write_justification(out, j);
  EXPECT_EQ(out,
            "{\"agm_type\":\"Revision\",\"minimality_score\":0.5,\"content_shift_score\":null,"
            "\"structure_delta_score\":1e-7,\"evidence_refs\":[{\"turn_number\":7,\"text_excerpt\":"
            "\"x\"}]}");
}

struct FloatCase {
  double value;
  const char* text;
};

TEST(FloatText, GoldenCases) {
  const FloatCase cases[] = {
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {1.0, "1.0"},
      {0.000001, "1e-6"},
      {0.00001, "0.00001"},
      {1e16, "1e+16"},
      {1e15, "1000000000000000.0"},
      {1.5e-7, "1.5e-7"},
      {5e-324, "5e-324"},
      {123456789012345.67, "123456789012345.67"},
      {0.1 + 0.2, "0.30000000000000004"},
      {1.7976931348623157e308, "1.7976931348623157e+308"},
      {std::numeric_limits<double>::infinity(), "null"},
  };
  for (const auto& c : cases) {
    if (std::isfinite(c.value)) {
      EXPECT_EQ(ser::format_f64(c.value), c.text) << c.text;
    }
    std::string out;
    ser::write_f64(out, c.value);
    EXPECT_EQ(out, c.text);
  }
}

namespace {

// The float texts made the plain way: the shortest round-trip digits from
// std::to_chars, placed by the rules of the JSON form (exponent form outside
// decimal exponents -5..15, ".0" on whole numbers) or of the display form.
std::string reference_float_text(double v, bool json) {
  char sci[64];
  const auto r = std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific);
  const std::string text(sci, r.ptr);
  std::string out = std::signbit(v) ? "-" : "";
  const std::size_t e_at = text.find('e');
  std::string digits;
  for (std::size_t i = out.size(); i < e_at; ++i) {
    if (text[i] != '.') digits.push_back(text[i]);
  }
  const int e = std::stoi(text.substr(e_at + 1));
  const int n = static_cast<int>(digits.size());
  if (json && (e < -5 || e > 15)) {
    out += digits.substr(0, 1);
    if (n > 1) out += "." + digits.substr(1);
    return out + (e < 0 ? "e-" : "e+") + std::to_string(std::abs(e));
  }
  if (e >= n - 1) return out + digits + std::string(e - n + 1, '0') + (json ? ".0" : "");
  if (e >= 0) return out + digits.substr(0, e + 1) + "." + digits.substr(e + 1);
  return out + "0." + std::string(-e - 1, '0') + digits;
}

}  // namespace

// Random bit patterns (subnormals among them), short decimals such as the
// usual confidences and their neighbours, and powers of ten around the
// exponents where the notation changes.
TEST(FloatText, AgreesWithShortestDigitsEverywhere) {
  std::mt19937_64 rng(20240501);
  std::vector<double> values;
  for (int i = 0; i < 100'000; ++i) {
    double v;
    const std::uint64_t bits = rng();
    std::memcpy(&v, &bits, sizeof v);
    if (std::isfinite(v)) values.push_back(v);
  }
  const double scales[] = {1.0, 10.0, 100.0, 1e3, 1e4, 1e5, 1e6, 1e7};
  for (int i = 0; i < 150'000; ++i) {
    const double scale = scales[rng() % std::size(scales)];
    const std::uint64_t range = i % 2 == 0 ? 100'000 : (1ULL << 53);
    const double v = static_cast<double>(rng() % range) / scale;
    for (double w : {v, std::nextafter(v, 0.0), std::nextafter(v, 1e300), -v}) {
      values.push_back(w);
    }
  }
  for (int p = -30; p <= 30; ++p) {
    const double ten = std::pow(10.0, p);
    for (double m : {1.0, 1.5, 9.5, 9.999, 0.9999}) {
      const double v = m * ten;
      for (double w : {v, std::nextafter(v, 0.0), std::nextafter(v, 1e300)}) values.push_back(w);
    }
  }
  for (double v : {0x1p50 / 1e4, std::nextafter(0x1p50 / 1e4, 0.0), 1e-4, std::nextafter(1e-4, 0.0),
                   112589990684.2624, 0.0001, 0.9999, 0x1p53, std::nextafter(0x1p53, 0.0),
                   std::nextafter(0x1p53, 1e300), 1e16, 9.0, 10.0}) {
    values.push_back(v);
  }
  for (double v : values) {
    if (v == 0.0) continue;
    ASSERT_EQ(ser::format_f64(v), reference_float_text(v, true)) << std::hexfloat << v;
    // The display text of a huge or tiny value runs to hundreds of digits.
    if (std::fabs(v) > 1e-30 && std::fabs(v) < 1e30) {
      ASSERT_EQ(ser::format_f64_display(v), reference_float_text(v, false)) << std::hexfloat << v;
    }
  }
}

TEST(FloatText, Display) {
  EXPECT_EQ(ser::format_f64_display(1.0), "1");
  EXPECT_EQ(ser::format_f64_display(-0.0), "-0");
  EXPECT_EQ(ser::format_f64_display(0.0), "0");
  EXPECT_EQ(ser::format_f64_display(1e-7), "0.0000001");
  EXPECT_EQ(ser::format_f64_display(std::numeric_limits<double>::quiet_NaN()), "NaN");
  EXPECT_EQ(ser::format_f64_display(std::numeric_limits<double>::infinity()), "inf");
  EXPECT_EQ(ser::format_f64_display(-std::numeric_limits<double>::infinity()), "-inf");
  EXPECT_EQ(ser::format_f64_display(5e-324), "0." + std::string(323, '0') + "5");
  EXPECT_EQ(ser::format_f64_display(1.7976931348623157e308),
            "17976931348623157" + std::string(292, '0'));
}

struct TsCase {
  std::int64_t seconds;
  std::uint32_t nanos;
  const char* z;
};

TEST(TimestampText, GoldenCases) {
  const TsCase cases[] = {
      {1714557600, 120'000'000, "2024-05-01T10:00:00.120Z"},
      {1714557600, 123'456'000, "2024-05-01T10:00:00.123456Z"},
      {-1, 999'999'999, "1969-12-31T23:59:59.999999999Z"},
      {253402300799, 0, "9999-12-31T23:59:59Z"},
      {253402300800, 0, "+10000-01-01T00:00:00Z"},
      {-62135596800 - 366 * 86400, 0, "0000-01-01T00:00:00Z"},
      {-62135596800 - 366 * 86400 - 1, 0, "-0001-12-31T23:59:59Z"},
  };
  for (const auto& c : cases) {
    Timestamp ts{c.seconds, c.nanos};
    EXPECT_EQ(ser::format_timestamp_z(ts), c.z);
    std::string rfc = c.z;
    rfc.pop_back();
    rfc += "+00:00";
    EXPECT_EQ(ser::format_timestamp_rfc3339(ts), rfc);
    // Both parsers read the written form back, but for a signed year.
    const std::optional<Timestamp> read =
        c.seconds >= -62167219200 && c.seconds <= 253402300799 ? std::optional(ts) : std::nullopt;
    EXPECT_EQ(ser::parse_rfc3339_relaxed(c.z), read) << c.z;
    EXPECT_EQ(ser::parse_rfc3339(c.z), read) << c.z;
    EXPECT_EQ(ser::parse_rfc3339(rfc), read) << rfc;
  }
}

TEST(ParseRfc3339, Strict) {
  const Timestamp midnight{1714521600, 0};  // 2024-05-01T00:00:00Z
  EXPECT_EQ(ser::parse_rfc3339("2024-05-01T02:00:00+02:00"), midnight);
  EXPECT_EQ(ser::parse_rfc3339("2024-04-30T22:00:00-02:00"), midnight);
  EXPECT_EQ(ser::parse_rfc3339("2024-04-30T22:00:00\u221202:00"), midnight);
  EXPECT_EQ(ser::parse_rfc3339("2024-05-01t00:00:00z"), midnight);
  EXPECT_EQ(ser::parse_rfc3339("2024-05-01 00:00:00Z"), midnight);
  EXPECT_EQ(ser::parse_rfc3339("2024-05-01T00:00:00.1234567891234Z"),
            (Timestamp{1714521600, 123456789}));
  EXPECT_EQ(ser::parse_rfc3339("2024-05-01T00:00:00.5Z"), (Timestamp{1714521600, 500000000}));
  // A leap second is kept as second 59 with nanos of 10^9 or more and prints
  // back as :60.
  auto leap = ser::parse_rfc3339("2016-12-31T23:59:60.5Z");
  ASSERT_TRUE(leap);
  EXPECT_EQ(leap->nanos, 1'500'000'000u);
  EXPECT_EQ(ser::format_timestamp_z(*leap), "2016-12-31T23:59:60.500Z");

  auto err = [](std::string_view t) { return ser::parse_rfc3339_checked(t).error(); };
  EXPECT_EQ(err(""), "premature end of input");
  EXPECT_EQ(err("2024-05-01T10:00:00"), "premature end of input");
  EXPECT_EQ(err("not a date"), "input contains invalid characters");
  EXPECT_EQ(err("2024-05-01T10:00:00Zx"), "trailing input");
  EXPECT_EQ(err("2024-13-01T10:00:00Z"), "input is out of range");
  EXPECT_EQ(err("2024-02-30T10:00:00Z"), "input is out of range");
  EXPECT_EQ(err("2023-02-29T10:00:00Z"), "input is out of range");
  EXPECT_EQ(err("2024-05-01T24:00:00Z"), "input is out of range");
  EXPECT_EQ(err("2024-05-01T10:00:00+24:00"), "input is out of range");
  EXPECT_EQ(err("2024-05-01T10:00:00+01:60"), "input is out of range");
  EXPECT_EQ(err("2024-05-01T10:00:00+0100"), "input contains invalid characters");
  EXPECT_EQ(err("2024-05-01T10:00:00 Z"), "input contains invalid characters");
  EXPECT_EQ(err("2024-5-01T10:00:00Z"), "input contains invalid characters");
  EXPECT_EQ(err("2024-05-01X10:00:00Z"), "input contains invalid characters");
  EXPECT_EQ(err("2024-05-01T10:00:00.Z"), "input contains invalid characters");
  EXPECT_EQ(err("2024-05-01T10:00:00UTC"), "input contains invalid characters");
  EXPECT_EQ(err("+2024-05-01T10:00:00Z"), "input contains invalid characters");
  EXPECT_EQ(err(" 2024-05-01T10:00:00Z"), "input contains invalid characters");
  EXPECT_EQ(err("2024-05-01T10:00:00Z "), "trailing input");
  // The instant in UTC, not only the text, must lie in the years 0000..9999.
  EXPECT_EQ(err("9999-12-31T23:59:59-23:59"), "input is out of range");
  EXPECT_EQ(err("0000-01-01T00:00:00+00:01"), "input is out of range");
  EXPECT_EQ(ser::parse_rfc3339("9999-12-31T00:00:00-23:59"), (Timestamp{253402300740, 0}));
}

TEST(ParseRfc3339, Relaxed) {
  const Timestamp eight{1714550400, 0};  // 2024-05-01T08:00:00Z
  EXPECT_EQ(ser::parse_rfc3339_relaxed("2024-05-01T10:00:00+02:00"), eight);
  EXPECT_EQ(ser::parse_rfc3339_relaxed("2024-05-01 10:00:00 +02:00"), eight);
  EXPECT_EQ(ser::parse_rfc3339_relaxed("2024-05-01T10:00:00+0200"), eight);
  EXPECT_EQ(ser::parse_rfc3339_relaxed("2024-05-01T10:00:00+02 00"), eight);
  EXPECT_EQ(ser::parse_rfc3339_relaxed("2024-05-01t08:00:00z"), eight);
  EXPECT_EQ(ser::parse_rfc3339_relaxed("2024-05-01T08:00:00 UTC"), eight);
  EXPECT_EQ(ser::parse_rfc3339_relaxed("2024-05-01T08:00:00utc  "), eight);
  EXPECT_EQ(ser::parse_rfc3339_relaxed("  2024 - 5 - 1T 8 : 0 : 0Z"), eight);
  EXPECT_EQ(ser::parse_rfc3339_relaxed("+2024-05-01T08:00:00Z"), eight);
  auto err = [](std::string_view t) { return ser::parse_rfc3339_relaxed_checked(t).error(); };
  EXPECT_EQ(err(""), "premature end of input");
  EXPECT_EQ(err("yesterday"), "input contains invalid characters");
  EXPECT_EQ(err("2024-05-01"), "premature end of input");
  EXPECT_EQ(err("2024-05-01T10:00:00"), "premature end of input");
  EXPECT_EQ(err("2024-05-01T10:00:00Z garbage"), "trailing input");
  EXPECT_EQ(err("2024-05-01T10:00:00+2"), "premature end of input");
  EXPECT_EQ(err("2024-05-01T10:00:00+02"), "premature end of input");
  EXPECT_EQ(err("2024-05-01T10:00:00+02:70"), "input is out of range");
  EXPECT_EQ(err("2024-00-01T10:00:00Z"), "input is out of range");
  EXPECT_EQ(err("99999999999999999999-01-01T00:00:00Z"), "input contains invalid characters");
  EXPECT_EQ(err("+99999999999999999999-01-01T00:00:00Z"), "input is out of range");
  EXPECT_EQ(err("+262143-01-01T00:00:00Z"), "input is out of range");
  // An offset up to 23:59 converts; 24:00 and more are out of range.
  EXPECT_EQ(err("2024-05-01T10:00:00+24:00"), "input is out of range");
  EXPECT_EQ(ser::parse_rfc3339_relaxed("2024-05-01T10:00:00+23:59"),
            (Timestamp{1714557600 - 86340, 0}));
  EXPECT_EQ(err("9999-12-31T23:59:59-23:59"), "input is out of range");
  // A signed year of more digits reads when its instant lies in 0000..9999.
  EXPECT_EQ(ser::parse_rfc3339_relaxed("+10000-01-01T00:00:00+01:00"),
            (Timestamp{253402300800 - 3600, 0}));
  EXPECT_EQ(ser::parse_rfc3339_relaxed("-0000-01-01T00:00:00Z"), (Timestamp{-62167219200, 0}));
}

TEST(DeriveUuid, GoldenVectors) {
  EXPECT_EQ(ser::derive_uuid("", {}).to_string(), "df3f6198-04a9-8fdb-8057-192dc43dd748");
  EXPECT_EQ(ser::derive_uuid("x", {}).to_string(), "e742abc7-c865-8d42-9b9d-6572cba14b1c");
  const Hash h = counting_hash();
  EXPECT_EQ(operations::derive_merged_concept_id(h, {CId(kId1), CId(kId2)}, "Apple", "A fruit")
                .to_string(),
            "5bee4f66-f772-8071-8dd9-7697b4c6dabb");
  EXPECT_EQ(operations::derive_merged_concept_id(h, {CId(kId2), CId(kId1)}, "Apple", "A fruit")
                .to_string(),
            "2dd1c228-7100-8a17-9906-9075c1957dc2");
  EXPECT_EQ(operations::derive_merge_derives_from_id(h, CId(kId1), CId(kId2)).to_string(),
            "dcd4c27c-5c55-8ba5-8c01-37a35e879e34");
  EXPECT_EQ(operations::derive_split_concept_id(h, CId(kId1), 1, "Caf\u00e9", "d").to_string(),
            "4663f1e6-d7b3-8aa1-8539-674a0edaa050");
  EXPECT_EQ(operations::derive_split_derives_from_id(h, CId(kId2), CId(kId1)).to_string(),
            "fd1e6b17-888e-81e9-a942-00dba09e5ba8");
}

// parse_f64 must read every number text exactly as the document reader's JSON
// library (nlohmann::json) does: integers through 64-bit integers, the rest
// correctly rounded, out-of-range floats refused. The one exception is the
// token "-0", which the document reader turns into negative zero.
TEST(ParseF64, AgreesWithNlohmannJson) {
  // clang-format off
  std::vector<std::string> texts = {
      "0", "-0", "0.0", "-0.0", "1", "-1", "1.5", "1e2", "1E-2", "123456789012345678",
      "9007199254740993", "-9007199254740993", "18446744073709551615", "18446744073709551616",
      "-9223372036854775808", "-9223372036854775809", "123456789012345678901234567890",
      "1e308", "1.7976931348623157e308", "1.7976931348623158e308", "1.7976931348623159e308",
      "2e308", "1e-320", "2.4703282292062327e-324", "2.4703282292062328e-324", "1e-400",
      "-1e-400", "0.1", "0.30000000000000004", "1e400", "-1e400", "5e-324", "4.9406564584124654e-324",
      "0.000000000000000000000000000000000000000000000000000000000000000001", "4.9e-324",
      "1E+16", "0.0000000000000000000000000001e-300", "1000000000000000000000e300", "-", "+1", "01",
      "1.", ".5", "1e", "1e+",
      "100000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
      "000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
      "000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
      "000000000000000000000000000000000000000000000000000000000000000000000000000000000000"};
  // clang-format on
  std::mt19937_64 rng(7);
  for (int i = 0; i < 3000; ++i) {
    double v;
    const std::uint64_t bits = rng();
    std::memcpy(&v, &bits, sizeof v);
    if (!std::isfinite(v)) continue;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    texts.emplace_back(buf);
    std::snprintf(buf, sizeof buf, "%.3e", v);
    texts.emplace_back(buf);
    texts.push_back(ser::format_f64(v));
    texts.push_back(std::to_string(static_cast<std::int64_t>(rng())));
    texts.push_back(std::to_string(rng()));
  }
  int compared = 0;
  for (std::string text : texts) {
    // "%.17g" may give "1e+100" (valid JSON) or "inf"; keep JSON numbers only.
    if (text.find_first_not_of("0123456789+-.eE") != std::string::npos) continue;
    std::optional<double> expected;
    try {
      const auto j = nlohmann::json::parse(text);
      if (!j.is_number()) continue;
      expected = text == "-0" ? -0.0 : j.get<double>();
    } catch (const nlohmann::json::parse_error&) {
      EXPECT_FALSE(ser::parse_f64(text)) << text;
      continue;
    } catch (const nlohmann::json::out_of_range&) {
      expected = std::nullopt;
    }
    const auto got = ser::parse_f64(text);
    ASSERT_EQ(got.has_value(), expected.has_value()) << text;
    if (got) {
      EXPECT_EQ(std::memcmp(&*got, &*expected, sizeof(double)), 0)
          << text << " -> " << *got << " vs " << *expected;
    }
    ++compared;
  }
  EXPECT_GT(compared, 10000);
  for (const char* bad : {"", " 1", "1 ", "NaN", "inf", "0x10", "1.5f"}) {
    EXPECT_FALSE(ser::parse_f64(bad)) << bad;
  }
}

namespace {

// No fraction, or one of 3, 6 or 9 digits.
std::uint32_t random_nanos(std::mt19937_64& rng) {
  switch (rng() % 4) {
    case 0:
      return 0;
    case 1:
      return static_cast<std::uint32_t>(rng() % 1000) * 1'000'000;
    case 2:
      return static_cast<std::uint32_t>(rng() % 1'000'000) * 1'000;
    default:
      return static_cast<std::uint32_t>(rng() % 1'000'000'000);
  }
}

}  // namespace

// Every time stamp written in the years 0000 to 9999 reads back through both
// parsers; one written outside them (with a signed year) through neither.
TEST(TimestampText, RandomRoundTrips) {
  std::mt19937_64 rng(11);
  const std::int64_t lo = -8'334'601'228'800;  // -262143-01-01T00:00:00Z
  const std::int64_t hi = 8'210'266'876'799;   // +262142-12-31T23:59:59Z
  for (int i = 0; i < 20000; ++i) {
    Timestamp ts;
    switch (i % 3) {
      case 0:
        ts.seconds =
            lo + static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(hi - lo + 1));
        break;
      case 1:
        ts.seconds = -62167219200 + static_cast<std::int64_t>(rng() % 315537897600ULL);
        break;
      default:
        ts.seconds = static_cast<std::int64_t>(rng() % 4'000'000'000ULL);
    }
    ts.nanos = random_nanos(rng);
    const std::string z = ser::format_timestamp_z(ts);
    const std::string rfc = ser::format_timestamp_rfc3339(ts);
    if (ts.seconds >= -62167219200 && ts.seconds <= 253402300799) {
      ASSERT_EQ(ser::parse_rfc3339(z), ts) << z;
      ASSERT_EQ(ser::parse_rfc3339(rfc), ts) << rfc;
      ASSERT_EQ(ser::parse_rfc3339_relaxed(z), ts) << z;
      ASSERT_EQ(ser::parse_rfc3339_relaxed(rfc), ts) << rfc;
    } else {
      ASSERT_EQ(ser::parse_rfc3339_relaxed_checked(rfc).error(), "input is out of range") << rfc;
      ASSERT_FALSE(ser::parse_rfc3339(z)) << z;
    }
  }
}

namespace {

// The time stamp text made from the calendar of <chrono> (years -32767..32767).
std::string reference_timestamp_text(Timestamp ts) {
  using namespace std::chrono;
  std::int64_t days = ts.seconds / 86400;
  std::int64_t sod = ts.seconds % 86400;
  if (sod < 0) {
    sod += 86400;
    --days;
  }
  const year_month_day date{sys_days{std::chrono::days{days}}};
  const int y = static_cast<int>(date.year());
  char text[96];
  const bool leap = ts.nanos >= 1'000'000'000;
  const std::uint32_t nanos = leap ? ts.nanos - 1'000'000'000 : ts.nanos;
  const char* year_format = y >= 0 && y <= 9999 ? "%04d" : "%+05d";
  int len = std::snprintf(text, sizeof text, year_format, y);
  len += std::snprintf(text + len, sizeof text - len, "-%02u-%02uT%02d:%02d:%02d",
                       static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                       static_cast<int>(sod / 3600), static_cast<int>(sod / 60 % 60),
                       static_cast<int>(sod % 60 + (leap ? 1 : 0)));
  if (nanos % 1'000'000 == 0 && nanos != 0) {
    len += std::snprintf(text + len, sizeof text - len, ".%03u", nanos / 1'000'000);
  } else if (nanos % 1'000 == 0 && nanos != 0) {
    len += std::snprintf(text + len, sizeof text - len, ".%06u", nanos / 1'000);
  } else if (nanos != 0) {
    len += std::snprintf(text + len, sizeof text - len, ".%09u", nanos);
  }
  return std::string(text, static_cast<std::size_t>(len)) + "Z";
}

}  // namespace

// The date of every day of years -1..10000 (the calendar's fast range and
// its edges),
// then random instants of years -32767..32767 with every kind of fraction,
// leap seconds (nanos of 1e9 and more, as the parser stores them) included.
TEST(TimestampText, AgreesWithChronoCalendar) {
  std::mt19937_64 rng(7);
  const std::int64_t first_day = -719'528 - 366;  // -0001-01-01
  const std::int64_t last_day = 2'932'896 + 366;  // 10000-12-31
  for (std::int64_t day = first_day; day <= last_day; ++day) {
    // The date alone (the full reference text is slow under the sanitizers).
    const std::chrono::year_month_day date{std::chrono::sys_days{std::chrono::days{day}}};
    const int y = static_cast<int>(date.year());
    const unsigned m = static_cast<unsigned>(date.month());
    const unsigned d = static_cast<unsigned>(date.day());
    const std::string text = ser::format_timestamp_z(Timestamp{day * 86400 + 86399, 0});
    char expected[16];
    char* p = expected;
    if (y < 0 || y > 9999) *p++ = y < 0 ? '-' : '+';
    const auto year = static_cast<unsigned>(std::abs(y));
    for (unsigned scale = year > 9999 ? 10000 : 1000; scale != 0; scale /= 10) {
      *p++ = static_cast<char>('0' + year / scale % 10);
    }
    for (unsigned part : {m, d}) {
      *p++ = '-';
      *p++ = static_cast<char>('0' + part / 10);
      *p++ = static_cast<char>('0' + part % 10);
    }
    const std::string_view ymd(expected, static_cast<std::size_t>(p - expected));
    ASSERT_EQ(std::string_view(text).substr(0, ymd.size()), ymd) << day;
  }
  const std::int64_t lo = -1'096'193'779'200;  // -32767-01-01T00:00:00Z
  const std::int64_t hi = 971'890'963'199;     // +32767-12-31T23:59:59Z
  for (int i = 0; i < 100'000; ++i) {
    Timestamp ts;
    ts.seconds = lo + static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(hi - lo + 1));
    if (rng() % 5 == 0) {
      ts.seconds += 59 - (ts.seconds % 60 + 60) % 60;  // second 59 shown as 60
      ts.nanos = 1'000'000'000 + static_cast<std::uint32_t>(rng() % 1'000'000'000);
    } else {
      ts.nanos = random_nanos(rng);
    }
    ASSERT_EQ(ser::format_timestamp_z(ts), reference_timestamp_text(ts)) << ts.seconds;
  }
}

namespace {

// A state of several chunks per map, entries keyed 2, 4, 6, ... so that keys
// can go before, between and after them.
KnowledgeState many_chunk_state() {
  KnowledgeState s;
  for (std::uint32_t k = 1; k <= 300; ++k) {
    Concept c;
    c.id.uuid.bytes[0] = 0x20;
    c.id.uuid.bytes[14] = static_cast<std::uint8_t>((2 * k) >> 8);
    c.id.uuid.bytes[15] = static_cast<std::uint8_t>(2 * k);
    c.term = "term " + std::to_string(k);
    c.definition = "definition " + std::to_string(k);
    c.created_at = Timestamp{1704164645 + k, 0};
    Relation r;
    r.id.uuid = c.id.uuid;
    r.from_concept = c.id;
    r.to_concept = c.id;
    r.relation_type = RelationType::Supports;
    s.concepts.emplace(c.id, Entry<Concept>(c));
    s.relations.emplace(r.id, Entry<Relation>(r));
  }
  StructureNode n;
  n.id.uuid.bytes[0] = 0x30;
  n.title = "root";
  n.node_type = "section";
  s.structure.emplace(n.id, Entry<StructureNode>(n));
  return s;
}

ConceptId nth_key(const KnowledgeState& s, std::size_t n) {
  auto it = s.concepts.begin();
  std::advance(it, n);
  return it->first;
}

TEST(StateHashTrail, ResumedHashEqualsTheHashOfTheWholeText) {
  struct Case {
    const char* name;
    void (*edit)(KnowledgeState&);
  };
  const Case cases[] = {
      {"unchanged", [](KnowledgeState&) {}},
      {"first concept replaced",
       [](KnowledgeState& s) {
         Concept c = s.concepts.begin()->second.value();
         c.definition = "changed";
         s.concepts.insert_or_assign(c.id, Entry<Concept>(c));
       }},
      {"last concept erased", [](KnowledgeState& s) { s.concepts.erase(nth_key(s, 299)); }},
      {"concept inserted before all",
       [](KnowledgeState& s) {
         Concept c = s.concepts.begin()->second.value();
         c.id.uuid.bytes[15] = 1;
         c.id.uuid.bytes[14] = 0;
         s.concepts.emplace(c.id, Entry<Concept>(c));
       }},
      {"concept appended after all",
       [](KnowledgeState& s) {
         Concept c = s.concepts.begin()->second.value();
         c.id.uuid.bytes[0] = 0x21;
         s.concepts.emplace(c.id, Entry<Concept>(c));
       }},
      {"middle concepts erased",
       [](KnowledgeState& s) {
         for (int k = 0; k < 70; ++k) s.concepts.erase(nth_key(s, 100));
       }},
      {"all concepts erased", [](KnowledgeState& s) { s.concepts.clear(); }},
      {"last relation erased",
       [](KnowledgeState& s) {
         auto it = s.relations.begin();
         std::advance(it, 299);
         s.relations.erase(it);
       }},
      {"structure emptied", [](KnowledgeState& s) { s.structure.clear(); }},
      {"map key differs from the entry's id",
       [](KnowledgeState& s) {
         Entry<Concept> entry = s.concepts.begin()->second;
         s.concepts.erase(s.concepts.begin());
         ConceptId other = entry->id;
         other.uuid.bytes[15] ^= 1;
         s.concepts.emplace(other, entry);
       }},
  };
  for (const Case& c : cases) {
    const KnowledgeState prior = many_chunk_state();
    prior.state_hash();
    KnowledgeState next = prior;  // shares every chunk until edited
    c.edit(next);
    const Hash whole = ser::compute_hash(ser::canonical_serialize(next));
    EXPECT_EQ(next.state_hash_from(prior), whole) << c.name;
    // A second step resumes from the trail the first one left.
    KnowledgeState after = next;
    Concept extra = prior.concepts.begin()->second.value();
    extra.id.uuid.bytes[0] = 0x22;
    after.concepts.emplace(extra.id, Entry<Concept>(extra));
    EXPECT_EQ(after.state_hash_from(next), ser::compute_hash(ser::canonical_serialize(after)))
        << c.name;
    // And the step back, whose leading chunks may all be shared.
    const KnowledgeState back = prior;
    EXPECT_EQ(back.state_hash_from(after), prior.state_hash()) << c.name;
  }
}

}  // namespace
