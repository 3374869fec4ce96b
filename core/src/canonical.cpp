#include "kelvora/canonical.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <type_traits>
#include <variant>

#include "kelvora/float_text.hpp"
#include "kelvora/timestamp_text.hpp"

namespace kelvora::serialization {

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

// The 36 characters of the 8-4-4-4-12 form at `out`. Every entry text holds
// two of them (key and id), so this is one of the writer's hot spots: the 32
// digits are made 16 at a time, then placed around the hyphens.
void put_uuid(char* out, const Uuid& id) {
  char hex[32];
#if defined(__SSE2__)
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(id.bytes.data()));
  const __m128i low_nibble = _mm_set1_epi8(0x0F);
  const __m128i hi = _mm_and_si128(_mm_srli_epi16(v, 4), low_nibble);
  const __m128i lo = _mm_and_si128(v, low_nibble);
  // A nibble x becomes '0' + x, plus the gap up to 'a' when x > 9.
  auto digits = [](__m128i x) {
    const __m128i letter = _mm_cmpgt_epi8(x, _mm_set1_epi8(9));
    return _mm_add_epi8(_mm_add_epi8(x, _mm_set1_epi8('0')),
                        _mm_and_si128(letter, _mm_set1_epi8('a' - '0' - 10)));
  };
  _mm_storeu_si128(reinterpret_cast<__m128i*>(hex), digits(_mm_unpacklo_epi8(hi, lo)));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(hex + 16), digits(_mm_unpackhi_epi8(hi, lo)));
#else
  for (std::size_t i = 0; i < 16; ++i) {
    hex[2 * i] = kHexDigits[id.bytes[i] >> 4];
    hex[2 * i + 1] = kHexDigits[id.bytes[i] & 0x0F];
  }
#endif
  std::memcpy(out, hex, 8);
  out[8] = '-';
  std::memcpy(out + 9, hex + 8, 4);
  out[13] = '-';
  std::memcpy(out + 14, hex + 12, 4);
  out[18] = '-';
  std::memcpy(out + 19, hex + 16, 4);
  out[23] = '-';
  std::memcpy(out + 24, hex + 20, 12);
}

void append_uuid(std::string& out, const Uuid& id) {
  const std::size_t at = out.size();
  out.resize(at + 36);
  put_uuid(out.data() + at, id);
}

void write_uuid(std::string& out, const Uuid& id) {
  out.push_back('"');
  append_uuid(out, id);
  out.push_back('"');
}

template <class U>
void write_uint(std::string& out, U value) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, r.ptr);
}

void write_name(std::string& out, std::string_view name) {
  out.push_back('"');
  out.append(name);
  out.push_back('"');
}

template <class IdT>
void write_id_list(std::string& out, const std::vector<IdT>& ids) {
  out.push_back('[');
  bool first = true;
  for (const auto& id : ids) {
    if (!first) out.push_back(',');
    first = false;
    write_uuid(out, id.uuid);
  }
  out.push_back(']');
}

// The entry writers run twice over the same emitter code: a Counter finds
// the exact length, the output grows once, and a Putter writes through a raw
// pointer. Floats and time stamps are formatted once, before both passes.

// Used by the portable escape scan only (no SSE2).
[[maybe_unused]] inline bool chunk_needs_escape(std::uint64_t w) {
  // True when one of the 8 bytes is below 0x20, a quotation mark or a
  // backslash (exact as a whole; the byte positions it marks are not used).
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
  const std::uint64_t below_space = (w - kOnes * 0x20) & ~w & kHigh;
  const std::uint64_t q = w ^ (kOnes * 0x22);
  const std::uint64_t quote = (q - kOnes) & ~q & kHigh;
  const std::uint64_t b = w ^ (kOnes * 0x5C);
  const std::uint64_t backslash = (b - kOnes) & ~b & kHigh;
  return (below_space | quote | backslash) != 0;
}

inline bool byte_needs_escape(unsigned char c) { return c < 0x20 || c == '"' || c == '\\'; }

// Extra bytes the escapes of `c` add (1 for the two-character escapes, 5 for \u00XX).
inline std::size_t escape_extra(unsigned char c) {
  switch (c) {
    case '"':
    case '\\':
    case '\b':
    case '\t':
    case '\n':
    case '\f':
    case '\r':
      return 1;
    default:
      return 5;
  }
}

#if defined(__SSE2__)
// Bit i set when byte i of the 16 needs an escape.
inline unsigned escape_mask16(const char* p) {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i space_minus_one = _mm_set1_epi8(0x1F);
  // v <= 0x1F (unsigned) exactly when max(v, 0x1F) == 0x1F.
  const __m128i control = _mm_cmpeq_epi8(_mm_max_epu8(v, space_minus_one), space_minus_one);
  const __m128i quote = _mm_cmpeq_epi8(v, _mm_set1_epi8('"'));
  const __m128i backslash = _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'));
  return static_cast<unsigned>(
      _mm_movemask_epi8(_mm_or_si128(control, _mm_or_si128(quote, backslash))));
}
#endif

// Offset of the first byte that needs an escape, or text.size().
std::size_t first_escape(std::string_view text) {
  const std::size_t n = text.size();
  const char* const begin = text.data();
#if defined(__SSE2__)
  if (n < 16) {
    char chunk[16];
    std::memset(chunk, 'a', sizeof chunk);
    if (n != 0) std::memcpy(chunk, begin, n);
    const unsigned mask = escape_mask16(chunk);
    return mask != 0 ? static_cast<std::size_t>(__builtin_ctz(mask)) : n;
  }
  std::size_t at = 0;
  for (; at + 16 <= n; at += 16) {
    const unsigned mask = escape_mask16(begin + at);
    if (mask != 0) return at + static_cast<std::size_t>(__builtin_ctz(mask));
  }
  if (at == n) return n;
  // The last 16 bytes, overlapping the bytes already checked.
  const unsigned mask = escape_mask16(begin + n - 16) >> (16 - (n - at));
  return mask != 0 ? at + static_cast<std::size_t>(__builtin_ctz(mask)) : n;
#else
  const char* p = begin;
  const char* const end = p + n;
  while (end - p >= 8) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    if (chunk_needs_escape(w)) break;
    p += 8;
  }
  for (; p != end; ++p) {
    if (byte_needs_escape(static_cast<unsigned char>(*p))) break;
  }
  return static_cast<std::size_t>(p - begin);
#endif
}

char* put_escaped_tail(char* out, std::string_view text) {
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (!byte_needs_escape(c)) {
      *out++ = ch;
      continue;
    }
    *out++ = '\\';
    switch (c) {
      case '"':
        *out++ = '"';
        break;
      case '\\':
        *out++ = '\\';
        break;
      case '\b':
        *out++ = 'b';
        break;
      case '\t':
        *out++ = 't';
        break;
      case '\n':
        *out++ = 'n';
        break;
      case '\f':
        *out++ = 'f';
        break;
      case '\r':
        *out++ = 'r';
        break;
      default:
        *out++ = 'u';
        *out++ = '0';
        *out++ = '0';
        *out++ = kHexDigits[c >> 4];
        *out++ = kHexDigits[c & 0x0F];
    }
  }
  return out;
}

// A float or time stamp text made before the two passes.
struct Piece {
  char buf[64];
  std::size_t len = 0;
  std::string_view view() const { return {buf, len}; }
};

Piece f64_piece(double value, bool normalize_zero) {
  Piece piece;
  if (normalize_zero && value == 0.0) value = 0.0;
  if (!std::isfinite(value)) {
    std::memcpy(piece.buf, "null", 4);
    piece.len = 4;
  } else {
    piece.len = put_f64_json(piece.buf, value);
  }
  return piece;
}

Piece timestamp_piece(Timestamp ts) {
  Piece piece;
  piece.buf[0] = '"';
  piece.len = 1 + put_timestamp(piece.buf + 1, ts, /*zulu=*/true);
  piece.buf[piece.len++] = '"';
  return piece;
}

// The scan results of the first kScanCache strings, kept by the counting pass
// for the writing pass (both see the strings in the same order).
constexpr std::size_t kScanCache = 8;

struct Counter {
  std::size_t n = 0;
  std::size_t scans[kScanCache];
  std::size_t strings = 0;
  template <std::size_t N>
  void lit(const char (&)[N]) {
    n += N - 1;
  }
  void raw(std::string_view text) { n += text.size(); }
  void ch(char) { ++n; }
  void str(std::string_view text) {
    n += text.size() + 2;
    std::size_t at = first_escape(text);
    if (strings < kScanCache) scans[strings] = at;
    ++strings;
    for (; at < text.size(); ++at) {
      const auto c = static_cast<unsigned char>(text[at]);
      if (byte_needs_escape(c)) n += escape_extra(c);
    }
  }
  void uuid(const Uuid&) { n += 38; }
  void uint(std::uint64_t v) {
    char buf[24];
    n += static_cast<std::size_t>(std::to_chars(buf, buf + sizeof buf, v).ptr - buf);
  }
};

struct Putter {
  char* p;
  const std::size_t* scans = nullptr;  // the Counter's, or none
  std::size_t strings = 0;
  const Uuid* last_uuid = nullptr;  // the identifier last written, and its text
  const char* last_text = nullptr;
  template <std::size_t N>
  void lit(const char (&text)[N]) {
    std::memcpy(p, text, N - 1);
    p += N - 1;
  }
  void raw(std::string_view text) {
    std::memcpy(p, text.data(), text.size());
    p += text.size();
  }
  void ch(char c) { *p++ = c; }
  void str(std::string_view text) {
    *p++ = '"';
    const std::size_t at =
        scans != nullptr && strings < kScanCache ? scans[strings] : first_escape(text);
    ++strings;
    std::memcpy(p, text.data(), at);
    p += at;
    if (at < text.size()) p = put_escaped_tail(p, text.substr(at));
    *p++ = '"';
  }
  void uuid(const Uuid& id) {
    *p++ = '"';
    // An entry's key is its own id in nearly every state: its text is copied.
    if (last_uuid != nullptr && *last_uuid == id) {
      std::memcpy(p, last_text, 36);
    } else {
      put_uuid(p, id);
      last_uuid = &id;
      last_text = p;
    }
    p += 36;
    *p++ = '"';
  }
  void uint(std::uint64_t v) { p = std::to_chars(p, p + 24, v).ptr; }
};

template <class E>
void emit_evidence(E& e, const std::vector<EvidenceRef>& evidence) {
  e.ch('[');
  bool first = true;
  for (const EvidenceRef& ref : evidence) {
    if (!first) e.ch(',');
    first = false;
    e.lit("{\"turn_number\":");
    e.uint(ref.turn_number);
    e.lit(",\"text_excerpt\":");
    e.str(ref.text_excerpt);
    e.ch('}');
  }
  e.ch(']');
}

template <class E>
void emit_hash(E& e, const Hash& hash) {
  e.ch('[');
  for (std::size_t i = 0; i < hash.bytes.size(); ++i) {
    if (i != 0) e.ch(',');
    e.uint(hash.bytes[i]);
  }
  e.ch(']');
}

template <class E, class IdT>
void emit_id_list(E& e, const std::vector<IdT>& ids) {
  e.ch('[');
  bool first = true;
  for (const auto& id : ids) {
    if (!first) e.ch(',');
    first = false;
    e.uuid(id.uuid);
  }
  e.ch(']');
}

template <class E>
void emit_name(E& e, std::string_view name) {
  e.ch('"');
  e.raw(name);
  e.ch('"');
}

template <class E>
void emit_concept(E& e, const Concept& c, const Piece& confidence, const Piece& created_at) {
  e.lit("{\"id\":");
  e.uuid(c.id.uuid);
  e.lit(",\"term\":");
  e.str(c.term);
  e.lit(",\"definition\":");
  e.str(c.definition);
  e.lit(",\"confidence\":");
  e.raw(confidence.view());
  e.lit(",\"status\":");
  emit_name(e, name(c.status));
  e.lit(",\"created_at\":");
  e.raw(created_at.view());
  e.lit(",\"source_evidence\":");
  emit_evidence(e, c.source_evidence);
  e.ch('}');
}

template <class E>
void emit_relation(E& e, const Relation& r, const Piece& confidence,
                   const std::optional<Piece>& classification) {
  e.lit("{\"id\":");
  e.uuid(r.id.uuid);
  e.lit(",\"from_concept\":");
  e.uuid(r.from_concept.uuid);
  e.lit(",\"to_concept\":");
  e.uuid(r.to_concept.uuid);
  e.lit(",\"relation_type\":");
  emit_name(e, name(r.relation_type));
  e.lit(",\"evidence\":");
  emit_evidence(e, r.evidence);
  e.lit(",\"confidence\":");
  e.raw(confidence.view());
  if (r.source_document) {
    e.lit(",\"source_document\":");
    e.str(*r.source_document);
  }
  if (classification) {
    e.lit(",\"classification_confidence\":");
    e.raw(classification->view());
  }
  e.ch('}');
}

template <class E>
void emit_structure_node(E& e, const StructureNode& n) {
  e.lit("{\"id\":");
  e.uuid(n.id.uuid);
  e.lit(",\"title\":");
  e.str(n.title);
  e.lit(",\"node_type\":");
  e.str(n.node_type);
  e.lit(",\"parent\":");
  if (n.parent) {
    e.uuid(n.parent->uuid);
  } else {
    e.lit("null");
  }
  e.lit(",\"position\":");
  e.uint(n.position);
  e.lit(",\"content_hash\":");
  emit_hash(e, n.content_hash);
  e.lit(",\"concept_refs\":");
  emit_id_list(e, n.concept_refs);
  e.ch('}');
}

// Runs `emit` once to count and once to write into the storage that
// `place(size)` gives for the exact size.
template <class Place, class F>
void emit_placed(Place&& place, F&& emit) {
  Counter counter;
  emit(counter);
  char* out = place(counter.n);
  Putter putter{out, counter.scans};
  emit(putter);
  if (putter.p != out + counter.n) internal_fault("canonical writer size mismatch");
}

// Runs `emit` once to count and once to write into `out`, grown once.
template <class F>
void emit_sized(std::string& out, F&& emit) {
  emit_placed(
      [&out](std::size_t n) {
        const std::size_t old = out.size();
        out.resize(old + n);
        return out.data() + old;
      },
      emit);
}

}  // namespace

void write_string(std::string& out, std::string_view text) {
  emit_sized(out, [&](auto& e) { e.str(text); });
}

void write_f64(std::string& out, double value) {
  if (!std::isfinite(value)) {
    out.append("null", 4);
    return;
  }
  char buf[kF64JsonTextSize];
  out.append(buf, put_f64_json(buf, value));
}

void write_hash(std::string& out, const Hash& hash) {
  emit_sized(out, [&](auto& e) { emit_hash(e, hash); });
}

void write_timestamp(std::string& out, Timestamp ts) {
  char buf[kTimestampTextSize];
  out.push_back('"');
  out.append(buf, put_timestamp(buf, ts, /*zulu=*/true));
  out.push_back('"');
}

void write_evidence(std::string& out, const std::vector<EvidenceRef>& evidence) {
  emit_sized(out, [&](auto& e) { emit_evidence(e, evidence); });
}

void write_concept(std::string& out, const Concept& c, bool normalize_zero) {
  const Piece confidence = f64_piece(c.confidence, normalize_zero);
  const Piece created_at = timestamp_piece(c.created_at);
  emit_sized(out, [&](auto& e) { emit_concept(e, c, confidence, created_at); });
}

void write_relation(std::string& out, const Relation& r, bool normalize_zero) {
  const Piece confidence = f64_piece(r.confidence, normalize_zero);
  std::optional<Piece> classification;
  if (r.classification_confidence) {
    classification = f64_piece(*r.classification_confidence, normalize_zero);
  }
  emit_sized(out, [&](auto& e) { emit_relation(e, r, confidence, classification); });
}

void write_structure_node(std::string& out, const StructureNode& n) {
  emit_sized(out, [&](auto& e) { emit_structure_node(e, n); });
}

namespace {
// `"<key>":` and the object `body` emits, placed by `place`.
template <class Body>
void emit_member(const Uuid& key, PlaceText place, void* context, Body&& body) {
  emit_placed([&](std::size_t n) { return place(context, n); },
              [&](auto& e) {
                e.uuid(key);
                e.ch(':');
                body(e);
              });
}
}  // namespace

void write_member(const Uuid& key, const Concept& c, PlaceText place, void* context) {
  const Piece confidence = f64_piece(c.confidence, /*normalize_zero=*/true);
  const Piece created_at = timestamp_piece(c.created_at);
  emit_member(key, place, context, [&](auto& e) { emit_concept(e, c, confidence, created_at); });
}

void write_member(const Uuid& key, const Relation& r, PlaceText place, void* context) {
  const Piece confidence = f64_piece(r.confidence, /*normalize_zero=*/true);
  std::optional<Piece> classification;
  if (r.classification_confidence) {
    classification = f64_piece(*r.classification_confidence, /*normalize_zero=*/true);
  }
  emit_member(key, place, context,
              [&](auto& e) { emit_relation(e, r, confidence, classification); });
}

void write_member(const Uuid& key, const StructureNode& n, PlaceText place, void* context) {
  emit_member(key, place, context, [&](auto& e) { emit_structure_node(e, n); });
}

void write_operation(std::string& out, const EvolutionOperation& operation) {
  out.append("{\"");
  out.append(variant_name(operation));
  out.append("\":");
  std::visit(
      [&out](const auto& op) {
        using T = std::decay_t<decltype(op)>;
        if constexpr (std::is_same_v<T, op::Assert>) {
          out.append("{\"concept\":");
          write_concept(out, op.concept_, false);
        } else if constexpr (std::is_same_v<T, op::Revise>) {
          out.append("{\"concept_id\":");
          write_uuid(out, op.concept_id.uuid);
          out.append(",\"new_definition\":");
          write_string(out, op.new_definition);
          out.append(",\"conflict_set\":");
          write_id_list(out, op.conflict_set);
          out.append(",\"evidence\":");
          write_evidence(out, op.evidence);
        } else if constexpr (std::is_same_v<T, op::Retract>) {
          out.append("{\"concept_id\":");
          write_uuid(out, op.concept_id.uuid);
          out.append(",\"reason\":");
          write_name(out, name(op.reason));
        } else if constexpr (std::is_same_v<T, op::Relate>) {
          out.append("{\"relation\":");
          write_relation(out, op.relation, false);
        } else if constexpr (std::is_same_v<T, op::Restructure>) {
          out.append("{\"old_structure_hash\":");
          write_hash(out, op.old_structure_hash);
          out.append(",\"new_nodes\":[");
          bool first = true;
          for (const StructureNode& n : op.new_nodes) {
            if (!first) out.push_back(',');
            first = false;
            write_structure_node(out, n);
          }
          out.append("],\"justification\":");
          write_string(out, op.justification);
        } else if constexpr (std::is_same_v<T, op::Refine>) {
          out.append("{\"concept_id\":");
          write_uuid(out, op.concept_id.uuid);
          out.append(",\"new_definition\":");
          write_string(out, op.new_definition);
          out.append(",\"evidence\":");
          write_evidence(out, op.evidence);
        } else if constexpr (std::is_same_v<T, op::Merge>) {
          out.append("{\"concept_ids\":");
          write_id_list(out, op.concept_ids);
          out.append(",\"merged_term\":");
          write_string(out, op.merged_term);
          out.append(",\"merged_definition\":");
          write_string(out, op.merged_definition);
          out.append(",\"evidence\":");
          write_evidence(out, op.evidence);
        } else if constexpr (std::is_same_v<T, op::Reinforce>) {
          out.append("{\"concept_id\":");
          write_uuid(out, op.concept_id.uuid);
          out.append(",\"evidence\":");
          write_evidence(out, op.evidence);
        } else {
          static_assert(std::is_same_v<T, op::Split>);
          out.append("{\"concept_id\":");
          write_uuid(out, op.concept_id.uuid);
          out.append(",\"new_concepts\":[");
          bool first = true;
          for (const auto& [term, definition] : op.new_concepts) {
            if (!first) out.push_back(',');
            first = false;
            out.push_back('[');
            write_string(out, term);
            out.push_back(',');
            write_string(out, definition);
            out.push_back(']');
          }
          out.append("],\"evidence\":");
          write_evidence(out, op.evidence);
        }
      },
      operation);
  out.append("}}");
}

void write_justification(std::string& out, const OperationJustification& j) {
  out.append("{\"agm_type\":");
  write_name(out, name(j.agm_type));
  out.append(",\"minimality_score\":");
  write_f64(out, j.minimality_score);
  out.append(",\"content_shift_score\":");
  if (j.content_shift_score) {
    write_f64(out, *j.content_shift_score);
  } else {
    out.append("null", 4);
  }
  out.append(",\"structure_delta_score\":");
  if (j.structure_delta_score) {
    write_f64(out, *j.structure_delta_score);
  } else {
    out.append("null", 4);
  }
  out.append(",\"evidence_refs\":");
  write_evidence(out, j.evidence_refs);
  out.push_back('}');
}

}  // namespace kelvora::serialization
