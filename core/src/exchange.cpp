#include "kelvora/exchange.hpp"

#include <unicode/uchar.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <type_traits>
#include <unordered_map>
#include <utility>

#include "kelvora/operations.hpp"
#include "kelvora/canonical.hpp"
#include "kelvora/state_hash.hpp"
#include "kelvora/timestamp_text.hpp"
#include "kelvora/utf8.hpp"

namespace kelvora::exchange {
namespace {

// ================================================================ helpers

std::unexpected<EngineError> refuse(std::string message) {
  return fail(EngineError::serialization_error(std::move(message)));
}

std::unexpected<EngineError> refuse_field(std::string_view key) {
  return refuse("missing or invalid field: " + std::string(key));
}

// The member named `key`, or null when `object` is not an object or lacks it.
const Json* member(const Json& object, std::string_view key) {
  const auto* members = object.get_ptr<const Json::object_t*>();
  if (members == nullptr) return nullptr;
  const auto it = members->find(key);
  return it == members->end() ? nullptr : &it->second;
}

// Any JSON number as the nearest float.
std::optional<double> number_value(const Json& value) {
  if (const auto* u = value.get_ptr<const Json::number_unsigned_t*>())
    return static_cast<double>(*u);
  if (const auto* i = value.get_ptr<const Json::number_integer_t*>())
    return static_cast<double>(*i);
  if (const auto* f = value.get_ptr<const Json::number_float_t*>()) return *f;
  return std::nullopt;
}

// A non-negative JSON integer that fits 32 bits; larger values are refused
// rather than cut to their low bits.
Result<std::uint32_t> u32_field(const Json& object, std::string_view key) {
  const Json* value = member(object, key);
  if (value != nullptr) {
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint32_t>::max();
    if (const auto* u = value->get_ptr<const Json::number_unsigned_t*>(); u && *u <= kMax) {
      return static_cast<std::uint32_t>(*u);
    }
    // Trees built in code hold small integers as signed.
    if (const auto* i = value->get_ptr<const Json::number_integer_t*>();
        i && *i >= 0 && static_cast<std::uint64_t>(*i) <= kMax) {
      return static_cast<std::uint32_t>(*i);
    }
  }
  return refuse_field(key);
}

// Adds a member. The writers add members in ascending key order, which makes
// each insertion constant time; another order would only be slower.
template <class V>
void append(Json& object, std::string_view key, V&& value) {
  auto& members = *object.get_ptr<Json::object_t*>();
  members.emplace_hint(members.end(), key, Json(std::forward<V>(value)));
}

// An identifier-keyed map as an object; identifier order is key order.
template <class Map, class Write>
Json map_object(const Map& map, Write write) {
  Json out = Json::object();
  for (const auto& [id, entry] : map) append(out, id.to_string(), write(*entry));
  return out;
}

Json optional_float(const std::optional<double>& value) {
  return value ? Json(*value) : Json(nullptr);
}

Json evidence_array(const std::vector<EvidenceRef>& evidence) {
  Json out = Json::array();
  auto& items = *out.get_ptr<Json::array_t*>();
  items.reserve(evidence.size());
  for (const auto& e : evidence) items.push_back(evidence_ref_to_json(e));
  return out;
}

template <class Id>
Json id_array(const std::vector<Id>& ids) {
  Json out = Json::array();
  auto& items = *out.get_ptr<Json::array_t*>();
  items.reserve(ids.size());
  for (const auto& id : ids) items.emplace_back(id.to_string());
  return out;
}

Result<Uuid> parse_uuid(std::string_view text, std::string_view context) {
  auto parsed = Uuid::parse_checked(text);
  if (!parsed) return refuse(std::string(context) + parsed.error());
  return *parsed;
}

// An optional evidence member: absent gives an empty list; present (null
// included) must be an array.
Result<std::vector<EvidenceRef>> optional_evidence(const Json& object, std::string_view key) {
  const Json* value = member(object, key);
  if (value == nullptr) return std::vector<EvidenceRef>{};
  return evidence_refs_from_json(*value);
}

// A required concept id member: absent gives `missing`.
Result<ConceptId> required_concept_id(const Json& object, std::string_view key,
                                      std::string_view missing) {
  const Json* value = member(object, key);
  if (value == nullptr) return refuse(std::string(missing));
  return concept_id_from_json(*value);
}

// A required array member whose elements are read in order by `read`.
template <class T, class Read>
Result<std::vector<T>> required_array(const Json& object, std::string_view key,
                                      std::string_view missing, Read read) {
  const Json* value = member(object, key);
  const auto* items = value ? value->get_ptr<const Json::array_t*>() : nullptr;
  if (items == nullptr) return refuse(std::string(missing));
  std::vector<T> out;
  out.reserve(items->size());
  for (const Json& item : *items) {
    auto element = read(item);
    if (!element) return std::unexpected(std::move(element.error()));
    out.push_back(std::move(*element));
  }
  return out;
}

Result<Hash> required_hash(const Json& object, std::string_view key, std::string_view missing) {
  const Json* value = member(object, key);
  if (value == nullptr) return refuse(std::string(missing));
  return hash_from_value(*value);
}

Result<Timestamp> timestamp_field(const Json& object, std::string_view key) {
  auto text = str_field(object, key);
  if (!text) return std::unexpected(std::move(text.error()));
  auto parsed = serialization::parse_rfc3339_checked(*text);
  if (!parsed) return refuse("invalid timestamp: " + parsed.error());
  return *parsed;
}

// The enumeration value whose name is `text`, exact case.
template <class E, std::size_t N>
std::optional<E> enum_from_name(std::string_view text, const E (&values)[N]) {
  for (E v : values) {
    if (name(v) == text) return v;
  }
  return std::nullopt;
}

constexpr ConceptStatus kStatuses[] = {ConceptStatus::Active, ConceptStatus::Superseded,
                                       ConceptStatus::Coexisting};
constexpr AgmType kAgmTypes[] = {AgmType::Expansion, AgmType::Revision, AgmType::Contraction};
constexpr OperationSource kSources[] = {
    OperationSource::UserExplicit, OperationSource::UserImplicit, OperationSource::SystemEnrichment,
    OperationSource::SystemRestructure};
constexpr RetractionReason kReasons[] = {
    RetractionReason::UserExplicit, RetractionReason::Contradiction, RetractionReason::Cascade};

template <class E, std::size_t N>
Result<E> enum_field(const Json& object, std::string_view key, const E (&values)[N],
                     std::string_view unknown) {
  auto text = str_field(object, key);
  if (!text) return std::unexpected(std::move(text.error()));
  if (auto v = enum_from_name(*text, values)) return *v;
  return refuse(std::string(unknown) + *text);
}


// ============================================================ operations

Result<EvolutionOperation> read_assert(const Json& v) {
  const Json* concept_value = member(v, "concept");
  if (concept_value == nullptr) return refuse("missing concept");
  KELVORA_TRY(c, concept_from_json(*concept_value));
  return op::Assert{std::move(c)};
}

Result<EvolutionOperation> read_revise(const Json& v) {
  KELVORA_TRY(conflict_set, required_array<ConceptId>(v, "conflict_set", "missing conflict_set",
                                                  concept_id_from_json));
  KELVORA_TRY(id, required_concept_id(v, "concept_id", "missing concept_id"));
  KELVORA_TRY(definition, str_field(v, "new_definition"));
  KELVORA_TRY(evidence, optional_evidence(v, "evidence"));
  return op::Revise{id, std::move(definition), std::move(conflict_set), std::move(evidence)};
}

Result<EvolutionOperation> read_retract(const Json& v) {
  KELVORA_TRY(reason, enum_field(v, "reason", kReasons, "unknown retraction reason: "));
  KELVORA_TRY(id, required_concept_id(v, "concept_id", "missing concept_id"));
  return op::Retract{id, reason};
}

Result<EvolutionOperation> read_relate(const Json& v) {
  const Json* relation = member(v, "relation");
  if (relation == nullptr) return refuse("missing relation");
  KELVORA_TRY(r, relation_from_json(*relation));
  return op::Relate{std::move(r)};
}

Result<EvolutionOperation> read_restructure(const Json& v) {
  KELVORA_TRY(nodes, required_array<StructureNode>(v, "new_nodes", "missing new_nodes",
                                               structure_node_from_json));
  KELVORA_TRY(old_hash, required_hash(v, "old_structure_hash", "missing old_structure_hash"));
  KELVORA_TRY(justification, str_field(v, "justification"));
  return op::Restructure{old_hash, std::move(nodes), std::move(justification)};
}

Result<EvolutionOperation> read_refine(const Json& v) {
  KELVORA_TRY(id, required_concept_id(v, "concept_id", "missing concept_id"));
  KELVORA_TRY(definition, str_field(v, "new_definition"));
  KELVORA_TRY(evidence, optional_evidence(v, "evidence"));
  return op::Refine{id, std::move(definition), std::move(evidence)};
}

Result<EvolutionOperation> read_merge(const Json& v) {
  KELVORA_TRY(ids,
          required_array<ConceptId>(v, "concept_ids", "missing concept_ids", concept_id_from_json));
  KELVORA_TRY(term, str_field(v, "merged_term"));
  KELVORA_TRY(definition, str_field(v, "merged_definition"));
  KELVORA_TRY(evidence, optional_evidence(v, "evidence"));
  return op::Merge{std::move(ids), std::move(term), std::move(definition), std::move(evidence)};
}

Result<EvolutionOperation> read_reinforce(const Json& v) {
  KELVORA_TRY(id, required_concept_id(v, "concept_id", "missing concept_id"));
  KELVORA_TRY(evidence, optional_evidence(v, "evidence"));
  return op::Reinforce{id, std::move(evidence)};
}

Result<std::pair<std::string, std::string>> read_split_pair(const Json& item) {
  const Json* term = member(item, "term");
  if (term == nullptr || !term->is_string()) return refuse("missing term in new_concepts");
  const Json* definition = member(item, "definition");
  if (definition == nullptr || !definition->is_string()) {
    return refuse("missing definition in new_concepts");
  }
  return std::pair{*term->get_ptr<const std::string*>(),
                   *definition->get_ptr<const std::string*>()};
}

Result<EvolutionOperation> read_split(const Json& v) {
  KELVORA_TRY(pairs, (required_array<std::pair<std::string, std::string>>(
                     v, "new_concepts", "missing new_concepts", read_split_pair)));
  KELVORA_TRY(id, required_concept_id(v, "concept_id", "missing concept_id"));
  KELVORA_TRY(evidence, optional_evidence(v, "evidence"));
  return op::Split{id, std::move(pairs), std::move(evidence)};
}

using OperationReader = Result<EvolutionOperation> (*)(const Json&);

struct OperationKind {
  std::string_view name;
  OperationReader read;
};

constexpr OperationKind kOperationKinds[] = {
    {"Assert", read_assert}, {"Revise", read_revise},           {"Retract", read_retract},
    {"Relate", read_relate}, {"Restructure", read_restructure}, {"Refine", read_refine},
    {"Merge", read_merge},   {"Reinforce", read_reinforce},     {"Split", read_split},
};

// ========================================================== debug form

// The next code point at `i`; an ill-formed sequence reads as U+FFFD, so
// every byte string has a printable form.
char32_t next_code_point(std::string_view s, std::size_t& i) {
  const utf8::Decoded d = utf8::decode(s, i);
  i += d.length;
  return d.code_point;
}

// Shown as it is in a debug form: not a control, format, surrogate,
// private-use or unassigned code point, not a separator other than the plain
// space, and not a combining mark that would attach to the character before.
bool printable(char32_t cp) {
  if (cp == U' ') return true;
  if (u_hasBinaryProperty(static_cast<UChar32>(cp), UCHAR_GRAPHEME_EXTEND)) return false;
  switch (u_charType(static_cast<UChar32>(cp))) {
    case U_CONTROL_CHAR:
    case U_FORMAT_CHAR:
    case U_SURROGATE:
    case U_PRIVATE_USE_CHAR:
    case U_UNASSIGNED:
    case U_SPACE_SEPARATOR:
    case U_LINE_SEPARATOR:
    case U_PARAGRAPH_SEPARATOR:
      return false;
    default:
      return true;
  }
}

// ===================================================== reachability check

// Depth-first search over DerivesFrom edges with an explicit stack, so a
// chain of any length is searched in constant call depth.
Result<void> check_derives_from_cycles(const KnowledgeState& state) {
  std::map<ConceptId, std::vector<ConceptId>> successors;
  for (const auto& [key, relation] : state.relations) {
    if (relation->relation_type == RelationType::DerivesFrom) {
      successors[relation->from_concept].push_back(relation->to_concept);
    }
  }
  if (successors.empty()) return {};

  enum Mark : std::uint8_t { kNone = 0, kOnPath = 1, kDone = 2 };
  std::map<ConceptId, std::uint8_t> marks;
  std::vector<std::pair<ConceptId, bool>> stack;  // (concept, exiting)
  const std::vector<ConceptId> none;
  for (const auto& [start, entry] : state.concepts) {
    if (marks[start] != kNone) continue;
    stack.emplace_back(start, false);
    while (!stack.empty()) {
      const auto [n, exiting] = stack.back();
      stack.pop_back();
      std::uint8_t& mark = marks[n];
      if (exiting) {
        mark = kDone;
        continue;
      }
      if (mark == kDone) continue;
      if (mark == kOnPath)
        return refuse("DerivesFrom cycle reachable from concept " + n.to_string());
      mark = kOnPath;
      stack.emplace_back(n, true);
      const auto found = successors.find(n);
      for (const ConceptId& s : found == successors.end() ? none : found->second) {
        if (s == n) return refuse("self-referential DerivesFrom on concept " + n.to_string());
        if (marks[s] == kDone) continue;
        stack.emplace_back(s, false);
      }
    }
  }
  return {};
}

// ============================================================ JSON text

// Walks the text once without recursion: finds the first container opened
// beyond the nesting limit and the number tokens spelled "-0", which the
// tree must hold as a negative-zero float.
struct TextScan {
  std::optional<std::size_t> too_deep_at;  // byte offset of the bracket
  std::vector<std::size_t> minus_zero;     // ordinals among number tokens
};

TextScan scan_text(std::string_view text) {
  TextScan scan;
  std::size_t depth = 0;
  std::size_t numbers = 0;
  bool in_string = false;
  bool escaped = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxNesting) {
        scan.too_deep_at = i;
        return scan;
      }
    } else if (c == ']' || c == '}') {
      if (depth > 0) --depth;
    } else if (c == '-' || (c >= '0' && c <= '9')) {
      std::size_t end = i + 1;
      while (end < text.size() &&
             std::string_view("0123456789+-.eE").find(text[end]) != std::string_view::npos) {
        ++end;
      }
      if (text.substr(i, end - i) == "-0") scan.minus_zero.push_back(numbers);
      ++numbers;
      i = end - 1;
    }
  }
  return scan;
}

// Line and column (both from 1, the column in bytes) of the byte at `offset`.
std::pair<std::size_t, std::size_t> line_and_column(std::string_view text, std::size_t offset) {
  offset = std::min(offset, text.size());
  std::size_t line = 1;
  std::size_t line_start = 0;
  for (std::size_t i = 0; i < offset; ++i) {
    if (text[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  return {line, offset - line_start + 1};
}

std::string at_position(std::string_view text, std::size_t offset) {
  const auto [line, column] = line_and_column(text, offset);
  return " at line " + std::to_string(line) + ", column " + std::to_string(column);
}

// Replaces ill-formed UTF-8 (for example the first byte of a character that
// the parser stopped at) so that the message is always valid text.
std::string valid_utf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) utf8::append(out, next_code_point(text, i));
  return out;
}

// Builds the tree from parser events. Refuses a container beyond the nesting
// limit and turns the "-0" integers found by the scan into negative zero.
class TreeBuilder {
 public:
  using number_integer_t = Json::number_integer_t;
  using number_unsigned_t = Json::number_unsigned_t;
  using number_float_t = Json::number_float_t;
  using string_t = Json::string_t;
  using binary_t = Json::binary_t;

  TreeBuilder(Json& root, const std::vector<std::size_t>& minus_zero)
      : root_(root), minus_zero_(minus_zero) {}

  bool null() { return put(Json(nullptr)); }
  bool boolean(bool v) { return put(Json(v)); }
  bool number_integer(number_integer_t v) {
    if (next_number_is_minus_zero()) return put(Json(-0.0));
    return put(Json(v));
  }
  bool number_unsigned(number_unsigned_t v) {
    next_number_is_minus_zero();
    return put(Json(v));
  }
  bool number_float(number_float_t v, const string_t& /*text*/) {
    next_number_is_minus_zero();
    return put(Json(v));
  }
  bool string(string_t& v) { return put(Json(std::move(v))); }
  bool binary(binary_t& /*v*/) { return false; }  // not produced by the text parser

  bool start_object(std::size_t /*size*/) { return open(Json::object()); }
  bool key(string_t& k) {
    auto* members = stack_.back()->get_ptr<Json::object_t*>();
    // A repeated key keeps the later value.
    slot_ = &(*members)[std::move(k)];
    *slot_ = Json();
    return true;
  }
  bool end_object() {
    stack_.pop_back();
    return true;
  }
  bool start_array(std::size_t /*size*/) { return open(Json::array()); }
  bool end_array() {
    stack_.pop_back();
    return true;
  }

  bool parse_error(std::size_t position, const std::string& /*last_token*/,
                   const nlohmann::detail::exception& error) {
    error_ = error.what();
    error_position_ = position;
    failed_ = true;
    return false;
  }

  bool too_deep() const { return too_deep_; }
  bool failed() const { return failed_; }
  const std::string& error() const { return error_; }
  std::size_t error_position() const { return error_position_; }

 private:
  bool next_number_is_minus_zero() {
    const std::size_t ordinal = numbers_++;
    if (next_minus_zero_ < minus_zero_.size() && minus_zero_[next_minus_zero_] == ordinal) {
      ++next_minus_zero_;
      return true;
    }
    return false;
  }

  // Places a value where the parser is: the root, the next array element or
  // the slot of the last key. Returns the stored value.
  Json* place(Json&& value) {
    if (stack_.empty()) {
      root_ = std::move(value);
      return &root_;
    }
    if (auto* items = stack_.back()->get_ptr<Json::array_t*>()) {
      items->push_back(std::move(value));
      return &items->back();
    }
    *slot_ = std::move(value);
    return slot_;
  }

  bool put(Json&& value) {
    place(std::move(value));
    return true;
  }

  bool open(Json&& container) {
    if (stack_.size() >= kMaxNesting) {
      too_deep_ = true;
      return false;
    }
    stack_.push_back(place(std::move(container)));
    return true;
  }

  Json& root_;
  const std::vector<std::size_t>& minus_zero_;
  std::vector<Json*> stack_;
  Json* slot_ = nullptr;
  std::size_t numbers_ = 0;
  std::size_t next_minus_zero_ = 0;
  bool too_deep_ = false;
  bool failed_ = false;
  std::string error_;
  std::size_t error_position_ = 0;
};

// "[json.exception.parse_error.101] parse error at line 1, column 2: ..." loses
// its library tag; messages without a position get one.
std::string parser_message(std::string_view text, std::string_view what, std::size_t byte) {
  if (!what.empty() && what.front() == '[') {
    const auto close = what.find("] ");
    if (close != std::string_view::npos) what.remove_prefix(close + 2);
  }
  // The quoted token the parser shows can be a whole megabyte-long string or
  // number; its end, where the parser stopped, is what helps.
  std::string shortened;
  const auto open = what.find('\'');
  const auto close = what.rfind('\'');
  constexpr std::size_t kTokenTail = 40;
  if (open != std::string_view::npos && close > open + 1 + kTokenTail) {
    std::size_t cut = close - kTokenTail;
    while (cut < close && (static_cast<unsigned char>(what[cut]) & 0xC0) == 0x80) ++cut;
    shortened.append(what.substr(0, open + 1)).append("...").append(what.substr(cut));
    what = shortened;
  }
  std::string message = valid_utf8(what);
  if (!message.starts_with("parse error at line")) {
    // `byte` counts the characters read, so the last one read is at byte - 1.
    message += at_position(text, byte == 0 ? 0 : byte - 1);
  }
  return message;
}

// ============================================================== printing

void print(std::string& out, const Json& value, std::size_t indent) {
  switch (value.type()) {
    case Json::value_t::object: {
      const auto& members = *value.get_ptr<const Json::object_t*>();
      if (members.empty()) {
        out += "{}";
        return;
      }
      out += '{';
      bool first = true;
      for (const auto& [key, item] : members) {
        out += first ? "\n" : ",\n";
        first = false;
        out.append(indent + 2, ' ');
        serialization::write_string(out, key);
        out += ": ";
        print(out, item, indent + 2);
      }
      out += '\n';
      out.append(indent, ' ');
      out += '}';
      return;
    }
    case Json::value_t::array: {
      const auto& items = *value.get_ptr<const Json::array_t*>();
      if (items.empty()) {
        out += "[]";
        return;
      }
      out += '[';
      bool first = true;
      for (const auto& item : items) {
        out += first ? "\n" : ",\n";
        first = false;
        out.append(indent + 2, ' ');
        print(out, item, indent + 2);
      }
      out += '\n';
      out.append(indent, ' ');
      out += ']';
      return;
    }
    case Json::value_t::string:
      serialization::write_string(out, *value.get_ptr<const std::string*>());
      return;
    case Json::value_t::boolean:
      out += *value.get_ptr<const bool*>() ? "true" : "false";
      return;
    case Json::value_t::number_integer:
      out += std::to_string(*value.get_ptr<const Json::number_integer_t*>());
      return;
    case Json::value_t::number_unsigned:
      out += std::to_string(*value.get_ptr<const Json::number_unsigned_t*>());
      return;
    case Json::value_t::number_float:
      serialization::write_f64(out, *value.get_ptr<const Json::number_float_t*>());
      return;
    case Json::value_t::null:
    case Json::value_t::binary:  // never built by the writers or the parser
    case Json::value_t::discarded:
      out += "null";
      return;
  }
  out += "null";
}

}  // namespace

// ================================================================ writers

Json evidence_ref_to_json(const EvidenceRef& evidence) {
  Json out = Json::object();
  append(out, "text_excerpt", evidence.text_excerpt);
  append(out, "turn_number", evidence.turn_number);
  return out;
}

Json concept_to_json(const Concept& c) {
  Json out = Json::object();
  append(out, "confidence", c.confidence);
  append(out, "created_at", serialization::format_timestamp_rfc3339(c.created_at));
  append(out, "definition", c.definition);
  append(out, "id", c.id.to_string());
  append(out, "source_evidence", evidence_array(c.source_evidence));
  append(out, "status", name(c.status));
  append(out, "term", c.term);
  return out;
}

Json relation_to_json(const Relation& r) {
  Json out = Json::object();
  if (r.classification_confidence) {
    append(out, "classification_confidence", *r.classification_confidence);
  }
  append(out, "confidence", r.confidence);
  append(out, "evidence", evidence_array(r.evidence));
  append(out, "from_concept", r.from_concept.to_string());
  append(out, "id", r.id.to_string());
  append(out, "relation_type", name(r.relation_type));
  if (r.source_document) append(out, "source_document", *r.source_document);
  append(out, "to_concept", r.to_concept.to_string());
  return out;
}

Json structure_node_to_json(const StructureNode& node) {
  Json out = Json::object();
  append(out, "concept_refs", id_array(node.concept_refs));
  append(out, "content_hash", node.content_hash.to_hex());
  append(out, "id", node.id.to_string());
  append(out, "node_type", node.node_type);
  append(out, "parent", node.parent ? Json(node.parent->to_string()) : Json(nullptr));
  append(out, "position", node.position);
  append(out, "title", node.title);
  return out;
}

Json state_to_json(const KnowledgeState& state) {
  Json out = Json::object();
  append(out, "concepts", map_object(state.concepts, concept_to_json));
  append(out, "relations", map_object(state.relations, relation_to_json));
  append(out, "state_hash", serialization::state_hash(state).to_hex());
  append(out, "structure", map_object(state.structure, structure_node_to_json));
  return out;
}

Json operation_to_json(const EvolutionOperation& operation) {
  Json out = std::visit(
      [](const auto& o) -> Json {
        using T = std::decay_t<decltype(o)>;
        Json j = Json::object();
        if constexpr (std::is_same_v<T, op::Assert>) {
          j["concept"] = concept_to_json(o.concept_);
        } else if constexpr (std::is_same_v<T, op::Revise>) {
          j["concept_id"] = o.concept_id.to_string();
          j["new_definition"] = o.new_definition;
          j["conflict_set"] = id_array(o.conflict_set);
          j["evidence"] = evidence_array(o.evidence);
        } else if constexpr (std::is_same_v<T, op::Retract>) {
          j["concept_id"] = o.concept_id.to_string();
          j["reason"] = std::string(name(o.reason));
        } else if constexpr (std::is_same_v<T, op::Relate>) {
          j["relation"] = relation_to_json(o.relation);
        } else if constexpr (std::is_same_v<T, op::Restructure>) {
          j["old_structure_hash"] = o.old_structure_hash.to_hex();
          Json nodes = Json::array();
          for (const auto& node : o.new_nodes) nodes.push_back(structure_node_to_json(node));
          j["new_nodes"] = std::move(nodes);
          j["justification"] = o.justification;
        } else if constexpr (std::is_same_v<T, op::Refine>) {
          j["concept_id"] = o.concept_id.to_string();
          j["new_definition"] = o.new_definition;
          j["evidence"] = evidence_array(o.evidence);
        } else if constexpr (std::is_same_v<T, op::Merge>) {
          j["concept_ids"] = id_array(o.concept_ids);
          j["merged_term"] = o.merged_term;
          j["merged_definition"] = o.merged_definition;
          j["evidence"] = evidence_array(o.evidence);
        } else if constexpr (std::is_same_v<T, op::Reinforce>) {
          j["concept_id"] = o.concept_id.to_string();
          j["evidence"] = evidence_array(o.evidence);
        } else {
          static_assert(std::is_same_v<T, op::Split>);
          j["concept_id"] = o.concept_id.to_string();
          Json pairs = Json::array();
          for (const auto& [term, definition] : o.new_concepts) {
            pairs.push_back(Json{{"term", term}, {"definition", definition}});
          }
          j["new_concepts"] = std::move(pairs);
          j["evidence"] = evidence_array(o.evidence);
        }
        return j;
      },
      operation);
  out["type"] = std::string(variant_name(operation));
  return out;
}

Json record_to_json(const EvolutionRecord& record) {
  const auto& j = record.justification;
  Json justification = Json::object();
  justification["agm_type"] = std::string(name(j.agm_type));
  justification["minimality_score"] = j.minimality_score;
  justification["content_shift_score"] = optional_float(j.content_shift_score);
  justification["structure_delta_score"] = optional_float(j.structure_delta_score);
  justification["evidence_refs"] = evidence_array(j.evidence_refs);

  Json out = Json::object();
  out["id"] = record.id.to_string();
  out["operation"] = operation_to_json(record.operation);
  out["timestamp"] = serialization::format_timestamp_rfc3339(record.timestamp);
  out["source"] = std::string(name(record.source));
  out["prior_state_hash"] = record.prior_state_hash.to_hex();
  out["resulting_state_hash"] = record.resulting_state_hash.to_hex();
  out["chain_hash"] = record.chain_hash.to_hex();
  out["justification"] = std::move(justification);
  return out;
}

Json records_to_json(std::span<const EvolutionRecord> records) {
  Json out = Json::array();
  auto& items = *out.get_ptr<Json::array_t*>();
  items.reserve(records.size());
  for (const auto& record : records) items.push_back(record_to_json(record));
  return out;
}

// ========================================================== field readers

Result<std::string> str_field(const Json& object, std::string_view key) {
  const Json* value = member(object, key);
  const auto* text = value ? value->get_ptr<const std::string*>() : nullptr;
  if (text == nullptr) return refuse_field(key);
  return *text;
}

Result<double> f64_field(const Json& object) {
  const Json* value = member(object, "confidence");
  if (value != nullptr) {
    if (auto number = number_value(*value)) return *number;
  }
  return refuse_field("confidence");
}

Result<ConceptId> concept_id_from_json(const Json& value) {
  const auto* text = value.get_ptr<const std::string*>();
  if (text == nullptr) return refuse("expected string for concept_id");
  KELVORA_TRY(uuid, parse_uuid(*text, "invalid uuid: "));
  return ConceptId{uuid};
}

Result<StructureNodeId> structure_node_id_from_json(const Json& value) {
  const auto* text = value.get_ptr<const std::string*>();
  if (text == nullptr) return refuse("expected string for node_id");
  KELVORA_TRY(uuid, parse_uuid(*text, "invalid uuid: "));
  return StructureNodeId{uuid};
}

Result<Hash> hash_from_value(const Json& value) {
  const auto* text = value.get_ptr<const std::string*>();
  if (text == nullptr) return refuse("expected hex string for hash");
  auto hash = Hash::from_hex(*text);
  if (!hash) return refuse(std::move(hash.error()));
  return *hash;
}

Result<std::vector<EvidenceRef>> evidence_refs_from_json(const Json& value) {
  const auto* items = value.get_ptr<const Json::array_t*>();
  if (items == nullptr) return refuse("expected array for evidence_refs");
  std::vector<EvidenceRef> out;
  out.reserve(items->size());
  for (const Json& item : *items) {
    KELVORA_TRY(turn, u32_field(item, "turn_number"));
    KELVORA_TRY(excerpt, str_field(item, "text_excerpt"));
    out.push_back(EvidenceRef{turn, std::move(excerpt)});
  }
  return out;
}

// ========================================================== entry readers

Result<Concept> concept_from_json(const Json& value) {
  Concept c;
  const Json* id = member(value, "id");
  if (id == nullptr) return refuse("missing concept id");
  KELVORA_TRY(concept_id, concept_id_from_json(*id));
  c.id = concept_id;
  KELVORA_TRY(status, enum_field(value, "status", kStatuses, "unknown status: "));
  c.status = status;
  KELVORA_TRY(created_at, timestamp_field(value, "created_at"));
  c.created_at = created_at;
  KELVORA_TRY(evidence, optional_evidence(value, "source_evidence"));
  c.source_evidence = std::move(evidence);
  KELVORA_TRY(term, str_field(value, "term"));
  c.term = std::move(term);
  KELVORA_TRY(definition, str_field(value, "definition"));
  c.definition = std::move(definition);
  KELVORA_TRY(confidence, f64_field(value));
  c.confidence = confidence;
  return c;
}

Result<Relation> relation_from_json(const Json& value) {
  Relation r;
  KELVORA_TRY(type_text, str_field(value, "relation_type"));
  const auto type = relation_type::from_wire_str(type_text);
  if (!type) return refuse("unknown relation_type: " + type_text);
  r.relation_type = *type;

  const Json* id = member(value, "id");
  if (id == nullptr) return refuse("missing relation id");
  const auto* id_text = id->get_ptr<const std::string*>();
  if (id_text == nullptr) return refuse("expected string for relation_id");
  KELVORA_TRY(uuid, parse_uuid(*id_text, "invalid uuid: "));
  r.id = RelationId{uuid};

  KELVORA_TRY(from, required_concept_id(value, "from_concept", "missing from_concept"));
  r.from_concept = from;
  KELVORA_TRY(to, required_concept_id(value, "to_concept", "missing to_concept"));
  r.to_concept = to;
  KELVORA_TRY(evidence, optional_evidence(value, "evidence"));
  r.evidence = std::move(evidence);
  KELVORA_TRY(confidence, f64_field(value));
  r.confidence = confidence;
  // Both optional members fall back to absent for any other type.
  if (const Json* doc = member(value, "source_document")) {
    if (const auto* text = doc->get_ptr<const std::string*>()) r.source_document = *text;
  }
  if (const Json* cc = member(value, "classification_confidence")) {
    r.classification_confidence = number_value(*cc);
  }
  return r;
}

Result<StructureNode> structure_node_from_json(const Json& value) {
  StructureNode node;
  if (const Json* parent = member(value, "parent"); parent != nullptr && !parent->is_null()) {
    KELVORA_TRY(parent_id, structure_node_id_from_json(*parent));
    node.parent = parent_id;
  }
  if (const Json* refs = member(value, "concept_refs")) {
    if (const auto* items = refs->get_ptr<const Json::array_t*>()) {
      node.concept_refs.reserve(items->size());
      for (const Json& item : *items) {
        KELVORA_TRY(ref, concept_id_from_json(item));
        node.concept_refs.push_back(ref);
      }
    }
  }
  const Json* id = member(value, "id");
  if (id == nullptr) return refuse("missing node id");
  KELVORA_TRY(node_id, structure_node_id_from_json(*id));
  node.id = node_id;
  KELVORA_TRY(title, str_field(value, "title"));
  node.title = std::move(title);
  KELVORA_TRY(node_type, str_field(value, "node_type"));
  node.node_type = std::move(node_type);
  KELVORA_TRY(position, u32_field(value, "position"));
  node.position = position;
  KELVORA_TRY(content_hash, required_hash(value, "content_hash", "missing content_hash"));
  node.content_hash = content_hash;
  return node;
}

namespace {

// Reads one map member of the state document: the member name is the key
// the entry is stored under; a later name for the same id replaces it.
template <class Id, class T, class Map, class Read>
Result<void> read_map(const Json& document, std::string_view key, std::string_view missing,
                      std::string_view bad_key, Read read, Map& out) {
  const Json* value = member(document, key);
  const auto* members = value ? value->get_ptr<const Json::object_t*>() : nullptr;
  if (members == nullptr) return refuse(std::string(missing));
  for (const auto& [name_text, item] : *members) {
    KELVORA_TRY(uuid, parse_uuid(name_text, bad_key));
    KELVORA_TRY(entry, read(item));
    out.insert_or_assign(Id{uuid}, Entry<T>(std::move(entry)));
  }
  return {};
}

}  // namespace

Result<KnowledgeState> state_from_json(const Json& value) {
  KnowledgeState state;
  if (auto r =
          read_map<ConceptId, Concept>(value, "concepts", "missing or invalid concepts",
                                       "invalid concept id: ", concept_from_json, state.concepts);
      !r) {
    return std::unexpected(std::move(r.error()));
  }
  if (auto r = read_map<RelationId, Relation>(value, "relations", "missing or invalid relations",
                                              "invalid relation id: ", relation_from_json,
                                              state.relations);
      !r) {
    return std::unexpected(std::move(r.error()));
  }
  if (auto r = read_map<StructureNodeId, StructureNode>(
          value, "structure", "missing or invalid structure",
          "invalid node id: ", structure_node_from_json, state.structure);
      !r) {
    return std::unexpected(std::move(r.error()));
  }
  if (auto r = validate_referential_integrity(state); !r) {
    return std::unexpected(std::move(r.error()));
  }
  (void)state.state_hash();  // computed once here and kept with the state
  return state;
}

// ===================================================== state text reader

namespace {

// The state document read straight from its text. It follows the JSON
// grammar exactly where it accepts anything, and gives up (false) wherever
// the text leaves the writers' shape or the tree reader would refuse it.
class StateText {
 public:
  explicit StateText(std::string_view text) : p_(text.data()), end_(text.data() + text.size()) {}

  bool read(KnowledgeState& state) {
    static constexpr std::string_view kNames[] = {"concepts", "relations", "state_hash",
                                                  "structure"};
    const bool ok = members(kNames, 0b1011, [&](int at) {
      switch (at) {
        case 0:
          return map<ConceptId, Concept>(state.concepts,
                                         [&](Concept& c) { return concept_value(c); });
        case 1:
          return map<RelationId, Relation>(state.relations,
                                           [&](Relation& r) { return relation_value(r); });
        case 2: {
          std::string ignored;
          return text(ignored);  // never read, but it must be a proper string
        }
        default:
          return map<StructureNodeId, StructureNode>(
              state.structure, [&](StructureNode& n) { return node_value(n); });
      }
    });
    if (!ok) return false;
    skip_space();
    return p_ == end_;
  }

 private:
  // An object whose members are among `names` (sorted), each at most once
  // and in that order, with every member of `required` (a bit per name)
  // present; `member` reads the value of names[i].
  template <std::size_t N, class Member>
  bool members(const std::string_view (&names)[N], unsigned required, Member member) {
    int last = -1;
    unsigned seen = 0;
    const bool ok = object([&](std::string_view key) {
      const auto found = std::find(names, names + N, key);
      const auto at = static_cast<int>(found - names);
      if (at == static_cast<int>(N) || at <= last) return false;
      last = at;
      seen |= 1u << at;
      return member(at);
    });
    return ok && (seen & required) == required;
  }

  void skip_space() {
    while (p_ != end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
  }

  bool eat(char c) {
    skip_space();
    if (p_ == end_ || *p_ != c) return false;
    ++p_;
    return true;
  }

  bool null() {
    skip_space();
    if (end_ - p_ < 4 || std::string_view(p_, 4) != "null") return false;
    p_ += 4;
    return true;
  }

  bool at_null() {
    skip_space();
    return p_ != end_ && *p_ == 'n';
  }

  // Members in text order; `member` reads the value after the colon.
  template <class Member>
  bool object(Member member) {
    if (!eat('{')) return false;
    if (eat('}')) return true;
    do {
      std::string_view key;
      if (!plain(key) || !eat(':') || !member(key)) return false;
    } while (eat(','));
    return eat('}');
  }

  template <class Element>
  bool array(Element element) {
    if (!eat('[')) return false;
    if (eat(']')) return true;
    do {
      if (!element()) return false;
    } while (eat(','));
    return eat(']');
  }

  // A string of printable ASCII without escapes (names, identifiers, hashes,
  // time stamps, enumeration names).
  bool plain(std::string_view& out) {
    if (!eat('"')) return false;
    const char* start = p_;
    for (; p_ != end_; ++p_) {
      const auto c = static_cast<unsigned char>(*p_);
      if (c == '"') {
        out = std::string_view(start, static_cast<std::size_t>(p_ - start));
        ++p_;
        return true;
      }
      if (c < 0x20 || c >= 0x7F || c == '\\') return false;
    }
    return false;
  }

  static int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  // Four hex digits after "\u".
  bool code_unit(std::uint32_t& out) {
    if (end_ - p_ < 4) return false;
    out = 0;
    for (int i = 0; i < 4; ++i) {
      const int d = hex_digit(*p_++);
      if (d < 0) return false;
      out = out << 4 | static_cast<std::uint32_t>(d);
    }
    return true;
  }

  // One escape after the backslash, appended as UTF-8. A lone surrogate is
  // refused, as the JSON parser refuses it.
  bool escape(std::string& out) {
    if (p_ == end_) return false;
    switch (*p_++) {
      case '"':
        out += '"';
        return true;
      case '\\':
        out += '\\';
        return true;
      case '/':
        out += '/';
        return true;
      case 'b':
        out += '\b';
        return true;
      case 'f':
        out += '\f';
        return true;
      case 'n':
        out += '\n';
        return true;
      case 'r':
        out += '\r';
        return true;
      case 't':
        out += '\t';
        return true;
      case 'u':
        break;
      default:
        return false;
    }
    std::uint32_t cp = 0;
    if (!code_unit(cp)) return false;
    if (cp >= 0xDC00 && cp <= 0xDFFF) return false;
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      std::uint32_t low = 0;
      if (end_ - p_ < 2 || p_[0] != '\\' || p_[1] != 'u') return false;
      p_ += 2;
      if (!code_unit(low) || low < 0xDC00 || low > 0xDFFF) return false;
      cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
    }
    utf8::append(out, static_cast<char32_t>(cp));
    return true;
  }

  // Any JSON string, escapes decoded; its bytes must be well-formed UTF-8.
  bool text(std::string& out) {
    if (!eat('"')) return false;
    const char* run = p_;
    bool copied = false;  // `out` holds the text before `run`
    while (p_ != end_) {
      const auto c = static_cast<unsigned char>(*p_);
      if (c == '"') {
        const auto tail = std::string_view(run, static_cast<std::size_t>(p_ - run));
        if (copied) {
          out.append(tail);
        } else {
          out.assign(tail);
        }
        ++p_;
        return true;
      }
      if (c == '\\') {
        const auto before = std::string_view(run, static_cast<std::size_t>(p_ - run));
        if (copied) {
          out.append(before);
        } else {
          out.assign(before);
          copied = true;
        }
        ++p_;
        if (!escape(out)) return false;
        run = p_;
      } else if (c < 0x20) {
        return false;
      } else if (c < 0x80) {
        ++p_;
      } else {
        const utf8::Decoded d = utf8::decode(std::string_view(p_, static_cast<std::size_t>(end_ - p_)), 0);
        if (!d.valid) return false;
        p_ += d.length;
      }
    }
    return false;
  }

  // The token of a JSON number, checked against the grammar.
  bool number_token(std::string_view& out) {
    skip_space();
    const char* start = p_;
    auto digit = [&] { return p_ != end_ && *p_ >= '0' && *p_ <= '9'; };
    if (p_ != end_ && *p_ == '-') ++p_;
    if (!digit()) return false;
    if (*p_ == '0') {
      ++p_;
    } else {
      while (digit()) ++p_;
    }
    if (p_ != end_ && *p_ == '.') {
      ++p_;
      if (!digit()) return false;
      while (digit()) ++p_;
    }
    if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
      ++p_;
      if (p_ != end_ && (*p_ == '+' || *p_ == '-')) ++p_;
      if (!digit()) return false;
      while (digit()) ++p_;
    }
    out = std::string_view(start, static_cast<std::size_t>(p_ - start));
    return true;
  }

  // A number as the tree reader converts it: integers of 64 bits through
  // the integer, "-0" as negative zero, other forms correctly rounded. A
  // result that is not finite, or an integer beyond 64 bits, gives up.
  bool f64(double& out) {
    std::string_view token;
    if (!number_token(token)) return false;
    const char* first = token.data();
    const char* last = first + token.size();
    if (token.find_first_of(".eE") == std::string_view::npos) {
      if (token == "-0") {
        out = -0.0;
        return true;
      }
      if (token.front() == '-') {
        std::int64_t v = 0;
        const auto r = std::from_chars(first, last, v);
        if (r.ec != std::errc() || r.ptr != last) return false;
        out = static_cast<double>(v);
      } else {
        std::uint64_t v = 0;
        const auto r = std::from_chars(first, last, v);
        if (r.ec != std::errc() || r.ptr != last) return false;
        out = static_cast<double>(v);
      }
      return true;
    }
    const auto r = std::from_chars(first, last, out, std::chars_format::general);
    return r.ec == std::errc() && r.ptr == last && std::isfinite(out);
  }

  // A non-negative integer of at most 32 bits, plain digits only.
  bool u32(std::uint32_t& out) {
    std::string_view token;
    if (!number_token(token)) return false;
    if (token.find_first_not_of("0123456789") != std::string_view::npos) return false;
    std::uint64_t v = 0;
    const auto r = std::from_chars(token.data(), token.data() + token.size(), v);
    if (r.ec != std::errc() || v > std::numeric_limits<std::uint32_t>::max()) return false;
    out = static_cast<std::uint32_t>(v);
    return true;
  }

  // The 36-character lower-case hyphenated form only.
  static bool uuid_text(std::string_view s, Uuid& out) {
    if (s.size() != 36) return false;
    std::size_t at = 0;
    for (std::size_t i = 0; i < 16; ++i) {
      if (at == 8 || at == 13 || at == 18 || at == 23) {
        if (s[at] != '-') return false;
        ++at;
      }
      const char hi = s[at];
      const char lo = s[at + 1];
      if (hi >= 'A' && hi <= 'F') return false;
      if (lo >= 'A' && lo <= 'F') return false;
      const int h = hex_digit(hi);
      const int l = hex_digit(lo);
      if (h < 0 || l < 0) return false;
      out.bytes[i] = static_cast<std::uint8_t>(h << 4 | l);
      at += 2;
    }
    return true;
  }

  template <class Id>
  bool id(Id& out) {
    std::string_view s;
    return plain(s) && uuid_text(s, out.uuid);
  }

  // An identifier-keyed map, keys strictly ascending, so every entry is
  // appended and no key repeats.
  template <class Id, class T, class Map, class Read>
  bool map(Map& out, Read read) {
    bool first = true;
    Uuid previous;
    return object([&](std::string_view key) {
      Id key_id;
      if (!uuid_text(key, key_id.uuid)) return false;
      if (!first && !(previous < key_id.uuid)) return false;
      first = false;
      previous = key_id.uuid;
      T value;
      if (!read(value)) return false;
      out.insert_or_assign(key_id, Entry<T>(std::move(value)));
      return true;
    });
  }

  bool evidence(std::vector<EvidenceRef>& out) {
    return array([&] {
      EvidenceRef e;
      static constexpr std::string_view kNames[] = {"text_excerpt", "turn_number"};
      if (!members(kNames, 0b11,
                   [&](int at) { return at == 0 ? text(e.text_excerpt) : u32(e.turn_number); })) {
        return false;
      }
      out.push_back(std::move(e));
      return true;
    });
  }

  bool concept_value(Concept& c) {
    static constexpr std::string_view kNames[] = {
        "confidence", "created_at", "definition", "id", "source_evidence", "status", "term"};
    // All but source_evidence required.
    return members(kNames, 0b1101111, [&](int at) {
      std::string_view s;
      switch (at) {
        case 0:
          return f64(c.confidence);
        case 1: {
          if (!plain(s)) return false;
          auto parsed = serialization::parse_rfc3339_checked(s);
          if (!parsed) return false;
          c.created_at = *parsed;
          return true;
        }
        case 2:
          return text(c.definition);
        case 3:
          return id(c.id);
        case 4:
          return evidence(c.source_evidence);
        case 5: {
          if (!plain(s)) return false;
          const auto status = enum_from_name(s, kStatuses);
          if (!status) return false;
          c.status = *status;
          return true;
        }
        default:
          return text(c.term);
      }
    });
  }

  bool relation_value(Relation& r) {
    static constexpr std::string_view kNames[] = {"classification_confidence",
                                                  "confidence",
                                                  "evidence",
                                                  "from_concept",
                                                  "id",
                                                  "relation_type",
                                                  "source_document",
                                                  "to_concept"};
    // Required: confidence, from_concept, id, relation_type, to_concept.
    return members(kNames, 0b10111010, [&](int at) {
      switch (at) {
        case 0: {
          if (at_null()) return null();
          double v = 0;
          if (!f64(v)) return false;
          r.classification_confidence = v;
          return true;
        }
        case 1:
          return f64(r.confidence);
        case 2:
          return evidence(r.evidence);
        case 3:
          return id(r.from_concept);
        case 4:
          return id(r.id);
        case 5: {
          std::string_view s;
          if (!plain(s)) return false;
          const auto type = relation_type::from_wire_str(s);
          if (!type) return false;
          r.relation_type = *type;
          return true;
        }
        case 6: {
          if (at_null()) return null();
          std::string doc;
          if (!text(doc)) return false;
          r.source_document = std::move(doc);
          return true;
        }
        default:
          return id(r.to_concept);
      }
    });
  }

  bool node_value(StructureNode& n) {
    static constexpr std::string_view kNames[] = {
        "concept_refs", "content_hash", "id", "node_type", "parent", "position", "title"};
    // Required: content_hash, id, node_type, position, title.
    return members(kNames, 0b1101110, [&](int at) {
      switch (at) {
        case 0:
          return array([&] {
            ConceptId ref;
            if (!id(ref)) return false;
            n.concept_refs.push_back(ref);
            return true;
          });
        case 1: {
          std::string_view s;
          if (!plain(s)) return false;
          auto hash = Hash::from_hex(s);
          if (!hash) return false;
          n.content_hash = *hash;
          return true;
        }
        case 2:
          return id(n.id);
        case 3:
          return text(n.node_type);
        case 4: {
          if (at_null()) return null();
          StructureNodeId parent;
          if (!id(parent)) return false;
          n.parent = parent;
          return true;
        }
        case 5:
          return u32(n.position);
        default:
          return text(n.title);
      }
    });
  }

  const char* p_;
  const char* end_;
};

}  // namespace

std::optional<KnowledgeState> try_read_state_text(std::string_view text) {
  KnowledgeState state;
  if (!StateText(text).read(state)) return std::nullopt;
  // A finding is left to the usual reader, which reports it in its words.
  if (!validate_referential_integrity(state)) return std::nullopt;
  (void)state.state_hash();
  return state;
}

// ========================================================= record readers

Result<OperationJustification> justification_from_json(const Json& value) {
  OperationJustification j;
  KELVORA_TRY(agm_type, enum_field(value, "agm_type", kAgmTypes, "unknown agm_type: "));
  j.agm_type = agm_type;
  const Json* minimality = member(value, "minimality_score");
  const auto score = minimality ? number_value(*minimality) : std::nullopt;
  if (!score) return refuse_field("minimality_score");
  j.minimality_score = *score;
  if (const Json* s = member(value, "content_shift_score"))
    j.content_shift_score = number_value(*s);
  if (const Json* s = member(value, "structure_delta_score")) {
    j.structure_delta_score = number_value(*s);
  }
  KELVORA_TRY(evidence, optional_evidence(value, "evidence_refs"));
  j.evidence_refs = std::move(evidence);
  return j;
}

Result<EvolutionOperation> operation_from_json(const Json& value) {
  KELVORA_TRY(type, str_field(value, "type"));
  for (const auto& kind : kOperationKinds) {
    if (kind.name == type) return kind.read(value);
  }
  return refuse("unknown operation type: " + type);
}

Result<EvolutionRecord> record_from_json(const Json& value) {
  EvolutionRecord record;
  KELVORA_TRY(source, enum_field(value, "source", kSources, "unknown source: "));
  record.source = source;
  KELVORA_TRY(timestamp, timestamp_field(value, "timestamp"));
  record.timestamp = timestamp;

  const Json* id = member(value, "id");
  if (id == nullptr) return refuse("missing record id");
  const auto* id_text = id->get_ptr<const std::string*>();
  if (id_text == nullptr) return refuse("expected string for record_id");
  KELVORA_TRY(uuid, parse_uuid(*id_text, "invalid uuid: "));
  record.id = RecordId{uuid};

  const Json* operation = member(value, "operation");
  if (operation == nullptr) return refuse("missing operation");
  KELVORA_TRY(op, operation_from_json(*operation));
  record.operation = std::move(op);

  KELVORA_TRY(prior, required_hash(value, "prior_state_hash", "missing prior_state_hash"));
  record.prior_state_hash = prior;
  KELVORA_TRY(resulting, required_hash(value, "resulting_state_hash", "missing resulting_state_hash"));
  record.resulting_state_hash = resulting;
  KELVORA_TRY(chain, required_hash(value, "chain_hash", "missing chain_hash"));
  record.chain_hash = chain;

  const Json* justification = member(value, "justification");
  if (justification == nullptr) return refuse("missing justification");
  KELVORA_TRY(j, justification_from_json(*justification));
  record.justification = std::move(j);
  return record;
}

Result<std::vector<EvolutionRecord>> records_from_json(const Json& value) {
  const auto* items = value.get_ptr<const Json::array_t*>();
  if (items == nullptr) return refuse("expected JSON array for records");
  std::vector<EvolutionRecord> records;
  records.reserve(items->size());
  for (const Json& item : *items) {
    KELVORA_TRY(record, record_from_json(item));
    records.push_back(std::move(record));
  }
  return records;
}

// ==================================================== referential integrity

std::string debug_quoted(std::string_view text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    const char32_t cp = next_code_point(text, i);
    switch (cp) {
      case U'"':
        out += "\\\"";
        break;
      case U'\\':
        out += "\\\\";
        break;
      case U'\n':
        out += "\\n";
        break;
      case U'\r':
        out += "\\r";
        break;
      case U'\t':
        out += "\\t";
        break;
      case U'\0':
        out += "\\0";
        break;
      default:
        if (printable(cp)) {
          utf8::append(out, cp);
        } else {
          char hex[8];
          const auto end = std::to_chars(hex, hex + sizeof hex, static_cast<std::uint32_t>(cp), 16);
          out += "\\u{";
          out.append(hex, end.ptr);
          out += '}';
        }
    }
  }
  out += '"';
  return out;
}

Result<void> validate_referential_integrity(const KnowledgeState& state) {
  for (const auto& [key, relation] : state.relations) {
    if (!state.concepts.contains(relation->from_concept)) {
      return refuse("relation " + key.to_string() +
                    " has a dangling from_concept: " + relation->from_concept.to_string());
    }
    if (!state.concepts.contains(relation->to_concept)) {
      return refuse("relation " + key.to_string() +
                    " has a dangling to_concept: " + relation->to_concept.to_string());
    }
  }

  // Hashed: only the first repeat in identifier order matters, and the
  // walk meets it in that order whatever the container.
  std::unordered_map<std::string_view, ConceptId> active_terms;
  active_terms.reserve(state.concepts.size());
  for (const auto& [key, entry] : state.concepts) {
    if (entry->status != ConceptStatus::Active) continue;
    const auto [it, inserted] = active_terms.try_emplace(entry.normalized_term(), key);
    if (!inserted) {
      return refuse("two Active concepts share the normalized term " + debug_quoted(entry->term) +
                    ": " + it->second.to_string() + " and " + key.to_string());
    }
  }

  return check_derives_from_cycles(state);
}

// ================================================================== text

std::expected<Json, std::string> parse_json(std::string_view text) {
  constexpr std::string_view kPrefix = "invalid JSON: ";
  if (text.starts_with("\xEF\xBB\xBF")) {
    return std::unexpected(std::string(kPrefix) +
                           "parse error at line 1, column 1: byte order mark is not allowed");
  }
  const TextScan scan = scan_text(text);
  Json root;
  TreeBuilder builder(root, scan.minus_zero);
  try {
    const bool ok = Json::sax_parse(text, &builder, Json::input_format_t::json,
                                    /*strict=*/true, /*ignore_comments=*/false);
    if (ok && !builder.failed() && !builder.too_deep()) return root;
  } catch (const Json::exception& e) {
    return std::unexpected(std::string(kPrefix) + parser_message(text, e.what(), text.size()));
  }
  if (builder.failed()) {
    return std::unexpected(std::string(kPrefix) +
                           parser_message(text, builder.error(), builder.error_position()));
  }
  // The builder stops at the container that the scan located.
  const std::size_t offset = scan.too_deep_at.value_or(text.size());
  return std::unexpected(std::string(kPrefix) + "parse error" + at_position(text, offset) +
                         ": nesting deeper than " + std::to_string(kMaxNesting) + " levels");
}

std::string to_pretty_text(const Json& value) {
  std::string out;
  print(out, value, 0);
  return out;
}

std::string state_to_json_text(const KnowledgeState& state) {
  return to_pretty_text(state_to_json(state));
}

std::string records_to_json_text(std::span<const EvolutionRecord> records) {
  return to_pretty_text(records_to_json(records));
}

}  // namespace kelvora::exchange
