// The engine's value types: identifiers, hashes, time stamps and enum names.
#include "kelvora/types.hpp"

#include <openssl/rand.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "kelvora/utf8.hpp"

namespace kelvora {

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

int hex_value(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool is_hex(unsigned char c) { return hex_value(c) >= 0; }

// Parses exactly 32 hex digits (the simple form).
std::optional<Uuid> parse_simple(std::string_view s) {
  Uuid u;
  for (std::size_t i = 0; i < 16; ++i) {
    int hi = hex_value(static_cast<unsigned char>(s[2 * i]));
    int lo = hex_value(static_cast<unsigned char>(s[2 * i + 1]));
    if (hi < 0 || lo < 0) return std::nullopt;
    u.bytes[i] = static_cast<std::uint8_t>(hi * 16 + lo);
  }
  return u;
}

// Parses exactly 36 characters in the 8-4-4-4-12 form.
std::optional<Uuid> parse_hyphenated(std::string_view s) {
  if (s[8] != '-' || s[13] != '-' || s[18] != '-' || s[23] != '-') return std::nullopt;
  static constexpr std::array<int, 16> kPos = {0,  2,  4,  6,  9,  11, 14, 16,
                                               19, 21, 24, 26, 28, 30, 32, 34};
  Uuid u;
  for (std::size_t i = 0; i < 16; ++i) {
    int hi = hex_value(static_cast<unsigned char>(s[kPos[i]]));
    int lo = hex_value(static_cast<unsigned char>(s[kPos[i] + 1]));
    if (hi < 0 || lo < 0) return std::nullopt;
    u.bytes[i] = static_cast<std::uint8_t>(hi * 16 + lo);
  }
  return u;
}

// Why `input` is no identifier: not UTF-8; else the first character that is
// neither a hex digit nor a hyphen (by its 1-based byte position, counting a
// "{" or "urn:uuid:" prefix); else the length of a plain text, the number of
// groups or the first group of the wrong length.
std::string uuid_error_text(std::string_view input) {
  for (std::size_t i = 0; i < input.size();) {
    const utf8::Decoded d = utf8::decode(input, i);
    if (!d.valid) return "non-UTF8 input";
    i += d.length;
  }
  std::string_view body = input;
  std::size_t offset = 0;
  bool simple = false;
  if (input.size() >= 2 && input.front() == '{' && input.back() == '}') {
    body = input.substr(1, input.size() - 2);
    offset = 1;
  } else if (input.starts_with("urn:uuid:")) {
    body = input.substr(9);
    offset = 9;
  } else {
    simple = true;
  }
  std::size_t hyphens = 0;
  std::array<std::size_t, 4> bounds{};
  for (std::size_t i = 0; i < body.size();) {
    const utf8::Decoded d = utf8::decode(body, i);  // the input is valid UTF-8 here
    if (!d.valid) return "non-UTF8 input";
    const char32_t cp = d.code_point;
    const std::size_t n = d.length;
    if (n > 1 || !(cp == '-' || is_hex(static_cast<unsigned char>(cp)))) {
      std::string found;
      utf8::append(found, cp);
      return "invalid character: expected an optional prefix of `urn:uuid:` followed by "
             "[0-9a-fA-F-], found `" +
             found + "` at " + std::to_string(i + offset + 1);
    }
    if (cp == '-') {
      if (hyphens < 4) bounds[hyphens] = i;
      ++hyphens;
    }
    i += n;
  }
  if (hyphens == 0 && simple) {
    return "invalid length: expected length 32 for simple format, found " +
           std::to_string(input.size());
  }
  if (hyphens != 4) {
    return "invalid group count: expected 5, found " + std::to_string(hyphens + 1);
  }
  static constexpr std::array<std::size_t, 5> kStarts = {0, 9, 14, 19, 24};
  static constexpr std::array<std::size_t, 5> kLens = {8, 4, 4, 4, 12};
  for (std::size_t g = 0; g < 4; ++g) {
    if (bounds[g] != kStarts[g + 1] - 1) {
      return "invalid group length in group " + std::to_string(g) + ": expected " +
             std::to_string(kLens[g]) + ", found " + std::to_string(bounds[g] - kStarts[g]);
    }
  }
  return "invalid group length in group 4: expected 12, found " +
         std::to_string(input.size() - kStarts[4]);
}

}  // namespace

// ---------------------------------------------------------------- identifiers

Uuid Uuid::random_v4() {
  Uuid u;
  if (RAND_bytes(u.bytes.data(), static_cast<int>(u.bytes.size())) != 1) {
    internal_fault("random source failed");
  }
  u.bytes[6] = static_cast<std::uint8_t>((u.bytes[6] & 0x0F) | 0x40);
  u.bytes[8] = static_cast<std::uint8_t>((u.bytes[8] & 0x3F) | 0x80);
  return u;
}

std::optional<Uuid> Uuid::parse(std::string_view s) {
  switch (s.size()) {
    case 32:
      return parse_simple(s);
    case 36:
      return parse_hyphenated(s);
    case 38:
      if (s.front() == '{' && s.back() == '}') return parse_hyphenated(s.substr(1, 36));
      return std::nullopt;
    case 45:
      if (s.starts_with("urn:uuid:")) return parse_hyphenated(s.substr(9));
      return std::nullopt;
    default:
      return std::nullopt;
  }
}

std::expected<Uuid, std::string> Uuid::parse_checked(std::string_view text) {
  if (auto u = parse(text)) return *u;
  return std::unexpected(uuid_error_text(text));
}

std::string Uuid::to_string() const {
  std::string out(36, '-');
  std::size_t p = 0;
  for (std::size_t i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) ++p;
    out[p++] = kHexDigits[bytes[i] >> 4];
    out[p++] = kHexDigits[bytes[i] & 0x0F];
  }
  return out;
}

std::string debug_string(const StructureNodeId& id) {
  return "StructureNodeId(" + id.to_string() + ")";
}

std::string debug_string(const std::optional<StructureNodeId>& id) {
  if (!id) return "None";
  return "Some(" + debug_string(*id) + ")";
}

// ----------------------------------------------------------------------- hash

std::string Hash::to_hex() const {
  std::string out(64, '0');
  for (std::size_t i = 0; i < 32; ++i) {
    out[2 * i] = kHexDigits[bytes[i] >> 4];
    out[2 * i + 1] = kHexDigits[bytes[i] & 0x0F];
  }
  return out;
}

std::expected<Hash, std::string> Hash::from_hex(std::string_view text) {
  if (text.size() != 64) {
    return std::unexpected("expected 64 hex chars, got " + std::to_string(text.size()));
  }
  Hash h;
  for (std::size_t p = 0; p < 32; ++p) {
    auto a = static_cast<unsigned char>(text[2 * p]);
    auto b = static_cast<unsigned char>(text[2 * p + 1]);
    int value;
    // A pair is read as a number in base 16: an optional leading "+" (never a
    // lone one), then digits. A byte of a multi-byte character is never a
    // digit, so such a pair fails here instead of splitting the character.
    if (a == '+' && is_hex(b)) {
      value = hex_value(b);
    } else if (is_hex(a) && is_hex(b)) {
      value = hex_value(a) * 16 + hex_value(b);
    } else {
      return std::unexpected("invalid hex at position " + std::to_string(2 * p) +
                             ": invalid digit found in string");
    }
    h.bytes[p] = static_cast<std::uint8_t>(value);
  }
  return h;
}

// ----------------------------------------------------------------- time stamp

Timestamp Timestamp::now() {
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                std::chrono::system_clock::now().time_since_epoch())
                .count();
  std::int64_t secs = ns / 1'000'000'000;
  std::int64_t rem = ns % 1'000'000'000;
  if (rem < 0) {
    rem += 1'000'000'000;
    --secs;
  }
  return Timestamp{secs, static_cast<std::uint32_t>(rem)};
}

// -------------------------------------------------------------- enumerations

namespace {
constexpr std::array<std::string_view, 3> kConceptStatusNames = {"Active", "Superseded",
                                                                 "Coexisting"};
constexpr std::array<std::string_view, kRelationTypeCount> kRelationPascal = {
    "DerivesFrom",  "Contradicts",     "Exemplifies", "Tension",   "Subsumes",   "Enables",
    "Supports",     "Explains",        "Extends",     "Qualifies", "Contrasts",  "Motivates",
    "Necessitates", "Operationalizes", "Reframes",    "Completes", "Independent"};
constexpr std::array<std::string_view, kRelationTypeCount> kRelationSnake = {
    "derives_from", "contradicts",     "exemplifies", "tension",   "subsumes",   "enables",
    "supports",     "explains",        "extends",     "qualifies", "contrasts",  "motivates",
    "necessitates", "operationalizes", "reframes",    "completes", "independent"};
constexpr std::array<std::string_view, 3> kAgmNames = {"Expansion", "Revision", "Contraction"};
constexpr std::array<std::string_view, 4> kSourceNames = {"UserExplicit", "UserImplicit",
                                                          "SystemEnrichment", "SystemRestructure"};
constexpr std::array<std::string_view, 3> kReasonNames = {"UserExplicit", "Contradiction",
                                                          "Cascade"};
constexpr std::array<std::string_view, 9> kVariantNames = {"Assert", "Revise",      "Retract",
                                                           "Relate", "Restructure", "Refine",
                                                           "Merge",  "Reinforce",   "Split"};
constexpr std::array<std::string_view, 9> kKindNames = {"assert", "revise",      "retract",
                                                        "relate", "restructure", "refine",
                                                        "merge",  "reinforce",   "split"};
constexpr std::array<AgmType, 9> kAgmOf = {
    AgmType::Expansion, AgmType::Revision,  AgmType::Contraction,
    AgmType::Expansion, AgmType::Revision,  AgmType::Expansion,
    AgmType::Revision,  AgmType::Expansion, AgmType::Revision};

template <std::size_t N>
std::string_view lookup(const std::array<std::string_view, N>& names, std::size_t index) {
  if (index >= N) internal_fault("enumeration value out of range");
  return names[index];
}
}  // namespace

std::string_view name(ConceptStatus v) {
  return lookup(kConceptStatusNames, static_cast<std::size_t>(v));
}
std::string_view name(RelationType v) {
  return lookup(kRelationPascal, static_cast<std::size_t>(v));
}
std::string_view name(AgmType v) { return lookup(kAgmNames, static_cast<std::size_t>(v)); }
std::string_view name(OperationSource v) {
  return lookup(kSourceNames, static_cast<std::size_t>(v));
}
std::string_view name(RetractionReason v) {
  return lookup(kReasonNames, static_cast<std::size_t>(v));
}

namespace relation_type {

std::optional<RelationType> from_wire_str(std::string_view text) {
  for (std::size_t i = 0; i < kRelationTypeCount; ++i) {
    if (text == kRelationPascal[i] || text == kRelationSnake[i]) {
      return static_cast<RelationType>(i);
    }
  }
  return std::nullopt;
}

std::string_view canonical_str(RelationType v) {
  return lookup(kRelationSnake, static_cast<std::size_t>(v));
}

std::optional<RelationType> from_detector_index(std::int64_t index) {
  if (index < 0 || index > 10) return std::nullopt;
  return static_cast<RelationType>(static_cast<int>(RelationType::Supports) + index);
}

}  // namespace relation_type

// ------------------------------------------------------------------- entries

Concept Concept::create(std::string term, std::string definition) {
  Concept c;
  c.id = ConceptId::random();  // drawn first
  c.term = std::move(term);
  c.definition = std::move(definition);
  c.confidence = 1.0;
  c.status = ConceptStatus::Active;
  c.created_at = Timestamp::now();  // read after the identifier
  return c;
}

// ---------------------------------------------------------------- operations

std::string_view variant_name(const EvolutionOperation& operation) {
  return kVariantNames[operation.index()];
}

std::string_view kind_name(const EvolutionOperation& operation) {
  return kKindNames[operation.index()];
}

AgmType agm_type_of(const EvolutionOperation& operation) { return kAgmOf[operation.index()]; }

}  // namespace kelvora
