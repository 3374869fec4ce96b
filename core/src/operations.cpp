// Helpers of the evolution operations (Part 1.103): term normal form, structure
// hash, float normalisation and derived identifiers.
#include "kelvora/operations.hpp"

#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <array>
#include <cmath>
#include <string>

#include "kelvora/serialization.hpp"

namespace kelvora::operations {

namespace {

bool is_ascii(std::string_view s) {
  for (char c : s) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

bool is_ascii_white_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

std::string_view bytes_of(const Hash& h) {
  return {reinterpret_cast<const char*>(h.bytes.data()), h.bytes.size()};
}

template <class Tag>
std::string_view bytes_of(const Id<Tag>& id) {
  return {reinterpret_cast<const char*>(id.uuid.bytes.data()), id.uuid.bytes.size()};
}

}  // namespace

std::string normalize_term(std::string_view term) {
  if (is_ascii(term)) {
    // ASCII text: the White_Space characters are \t..\r and the space, NFC
    // changes nothing and the lower-case mapping is A-Z to a-z.
    std::size_t b = 0;
    std::size_t e = term.size();
    while (b < e && is_ascii_white_space(term[b])) ++b;
    while (e > b && is_ascii_white_space(term[e - 1])) --e;
    std::string out(term.substr(b, e - b));
    for (char& c : out) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
  }

  icu::UnicodeString text =
      icu::UnicodeString::fromUTF8(icu::StringPiece(term.data(), static_cast<int32_t>(term.size())));
  // 1. Trim Unicode White_Space at both ends.
  int32_t start = 0;
  int32_t limit = text.length();
  while (start < limit) {
    UChar32 c = text.char32At(start);
    if (!u_isUWhiteSpace(c)) break;
    start = text.moveIndex32(start, 1);
  }
  while (limit > start) {
    int32_t prev = text.moveIndex32(limit, -1);
    UChar32 c = text.char32At(prev);
    if (!u_isUWhiteSpace(c)) break;
    limit = prev;
  }
  icu::UnicodeString trimmed(text, start, limit - start);
  // 2. NFC.
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
  if (U_FAILURE(status)) internal_fault("NFC normaliser unavailable");
  icu::UnicodeString composed = nfc->normalize(trimmed, status);
  if (U_FAILURE(status)) internal_fault("NFC normalisation failed");
  // 3. Full lower case of the whole text (root locale: final sigma applies).
  composed.toLower(icu::Locale::getRoot());
  std::string out;
  composed.toUTF8String(out);
  return out;
}

Hash compute_structure_hash(const StructureMap& structure) {
  std::string text;
  text.reserve(128);
  serialization::write_structure_map(text, structure);
  return serialization::compute_hash(text);
}

double normalize_f64_for_json(double value) {
  if (!std::isfinite(value)) internal_fault("f64 deserialization should never fail");
  auto parsed = serialization::parse_f64(serialization::format_f64(value));
  if (!parsed) internal_fault("f64 deserialization should never fail");
  return *parsed;
}

ConceptId derive_merged_concept_id(const Hash& prior_state_hash,
                                   const std::vector<ConceptId>& concept_ids,
                                   std::string_view merged_term,
                                   std::string_view merged_definition) {
  std::vector<std::string_view> parts;
  parts.reserve(3 + concept_ids.size());
  parts.push_back(bytes_of(prior_state_hash));
  parts.push_back(merged_term);
  parts.push_back(merged_definition);
  for (const ConceptId& id : concept_ids) parts.push_back(bytes_of(id));
  return ConceptId{serialization::derive_uuid("kelvora.op.merge.concept.v1", parts)};
}

RelationId derive_merge_derives_from_id(const Hash& prior_state_hash, const ConceptId& merged_id,
                                        const ConceptId& source_id) {
  const std::array<std::string_view, 3> parts = {bytes_of(prior_state_hash), bytes_of(merged_id),
                                                 bytes_of(source_id)};
  return RelationId{serialization::derive_uuid("kelvora.op.merge.derivesfrom.v1", parts)};
}

ConceptId derive_split_concept_id(const Hash& prior_state_hash, const ConceptId& source_id,
                                  std::uint32_t k, std::string_view term,
                                  std::string_view definition) {
  const char k_bytes[4] = {static_cast<char>(k >> 24), static_cast<char>(k >> 16),
                           static_cast<char>(k >> 8), static_cast<char>(k)};
  const std::array<std::string_view, 5> parts = {bytes_of(prior_state_hash), bytes_of(source_id),
                                                 std::string_view(k_bytes, 4), term, definition};
  return ConceptId{serialization::derive_uuid("kelvora.op.split.concept.v1", parts)};
}

RelationId derive_split_derives_from_id(const Hash& prior_state_hash, const ConceptId& new_id,
                                        const ConceptId& source_id) {
  const std::array<std::string_view, 3> parts = {bytes_of(prior_state_hash), bytes_of(new_id),
                                                 bytes_of(source_id)};
  return RelationId{serialization::derive_uuid("kelvora.op.split.derivesfrom.v1", parts)};
}

// ---- justifications, records and the chain hash ----
}  // namespace kelvora::operations
