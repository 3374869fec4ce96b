#include "kelvora/exchange.hpp"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <type_traits>
#include <utility>

#include "kelvora/operations.hpp"
#include "kelvora/serialization.hpp"

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

// Propagates the error of a Result<T> out of a function returning Result<U>.
#define KV_READ(var, expr)                                                \
  auto var##_read = (expr);                                               \
  if (!var##_read) return std::unexpected(std::move(var##_read.error())); \
  auto var = std::move(*var##_read)

// ============================================================ operations

Result<EvolutionOperation> read_assert(const Json& v) {
  const Json* concept_value = member(v, "concept");
  if (concept_value == nullptr) return refuse("missing concept");
  KV_READ(c, concept_from_json(*concept_value));
  return op::Assert{std::move(c)};
}

Result<EvolutionOperation> read_revise(const Json& v) {
  KV_READ(conflict_set, required_array<ConceptId>(v, "conflict_set", "missing conflict_set",
                                                  concept_id_from_json));
  KV_READ(id, required_concept_id(v, "concept_id", "missing concept_id"));
  KV_READ(definition, str_field(v, "new_definition"));
  KV_READ(evidence, optional_evidence(v, "evidence"));
  return op::Revise{id, std::move(definition), std::move(conflict_set), std::move(evidence)};
}

Result<EvolutionOperation> read_retract(const Json& v) {
  KV_READ(reason, enum_field(v, "reason", kReasons, "unknown retraction reason: "));
  KV_READ(id, required_concept_id(v, "concept_id", "missing concept_id"));
  return op::Retract{id, reason};
}

Result<EvolutionOperation> read_relate(const Json& v) {
  const Json* relation = member(v, "relation");
  if (relation == nullptr) return refuse("missing relation");
  KV_READ(r, relation_from_json(*relation));
  return op::Relate{std::move(r)};
}

Result<EvolutionOperation> read_restructure(const Json& v) {
  KV_READ(nodes, required_array<StructureNode>(v, "new_nodes", "missing new_nodes",
                                               structure_node_from_json));
  KV_READ(old_hash, required_hash(v, "old_structure_hash", "missing old_structure_hash"));
  KV_READ(justification, str_field(v, "justification"));
  return op::Restructure{old_hash, std::move(nodes), std::move(justification)};
}

Result<EvolutionOperation> read_refine(const Json& v) {
  KV_READ(id, required_concept_id(v, "concept_id", "missing concept_id"));
  KV_READ(definition, str_field(v, "new_definition"));
  KV_READ(evidence, optional_evidence(v, "evidence"));
  return op::Refine{id, std::move(definition), std::move(evidence)};
}

Result<EvolutionOperation> read_merge(const Json& v) {
  KV_READ(ids,
          required_array<ConceptId>(v, "concept_ids", "missing concept_ids", concept_id_from_json));
  KV_READ(term, str_field(v, "merged_term"));
  KV_READ(definition, str_field(v, "merged_definition"));
  KV_READ(evidence, optional_evidence(v, "evidence"));
  return op::Merge{std::move(ids), std::move(term), std::move(definition), std::move(evidence)};
}

Result<EvolutionOperation> read_reinforce(const Json& v) {
  KV_READ(id, required_concept_id(v, "concept_id", "missing concept_id"));
  KV_READ(evidence, optional_evidence(v, "evidence"));
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
  KV_READ(pairs, (required_array<std::pair<std::string, std::string>>(
                     v, "new_concepts", "missing new_concepts", read_split_pair)));
  KV_READ(id, required_concept_id(v, "concept_id", "missing concept_id"));
  KV_READ(evidence, optional_evidence(v, "evidence"));
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
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(s.data());
  const auto length = static_cast<std::int64_t>(s.size());
  auto at = static_cast<std::int64_t>(i);
  UChar32 cp = 0;
  U8_NEXT(bytes, at, length, cp);
  i = static_cast<std::size_t>(at);
  return cp < 0 ? char32_t{0xFFFD} : static_cast<char32_t>(cp);
}

void append_code_point(std::string& out, char32_t cp) {
  char buffer[U8_MAX_LENGTH];
  std::int32_t n = 0;
  U8_APPEND_UNSAFE(buffer, n, static_cast<UChar32>(cp));
  out.append(buffer, static_cast<std::size_t>(n));
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
  for (std::size_t i = 0; i < text.size();) append_code_point(out, next_code_point(text, i));
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
  KV_READ(uuid, parse_uuid(*text, "invalid uuid: "));
  return ConceptId{uuid};
}

Result<StructureNodeId> structure_node_id_from_json(const Json& value) {
  const auto* text = value.get_ptr<const std::string*>();
  if (text == nullptr) return refuse("expected string for node_id");
  KV_READ(uuid, parse_uuid(*text, "invalid uuid: "));
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
    KV_READ(turn, u32_field(item, "turn_number"));
    KV_READ(excerpt, str_field(item, "text_excerpt"));
    out.push_back(EvidenceRef{turn, std::move(excerpt)});
  }
  return out;
}

// ========================================================== entry readers

Result<Concept> concept_from_json(const Json& value) {
  Concept c;
  const Json* id = member(value, "id");
  if (id == nullptr) return refuse("missing concept id");
  KV_READ(concept_id, concept_id_from_json(*id));
  c.id = concept_id;
  KV_READ(status, enum_field(value, "status", kStatuses, "unknown status: "));
  c.status = status;
  KV_READ(created_at, timestamp_field(value, "created_at"));
  c.created_at = created_at;
  KV_READ(evidence, optional_evidence(value, "source_evidence"));
  c.source_evidence = std::move(evidence);
  KV_READ(term, str_field(value, "term"));
  c.term = std::move(term);
  KV_READ(definition, str_field(value, "definition"));
  c.definition = std::move(definition);
  KV_READ(confidence, f64_field(value));
  c.confidence = confidence;
  return c;
}

Result<Relation> relation_from_json(const Json& value) {
  Relation r;
  KV_READ(type_text, str_field(value, "relation_type"));
  const auto type = relation_type::from_wire_str(type_text);
  if (!type) return refuse("unknown relation_type: " + type_text);
  r.relation_type = *type;

  const Json* id = member(value, "id");
  if (id == nullptr) return refuse("missing relation id");
  const auto* id_text = id->get_ptr<const std::string*>();
  if (id_text == nullptr) return refuse("expected string for relation_id");
  KV_READ(uuid, parse_uuid(*id_text, "invalid uuid: "));
  r.id = RelationId{uuid};

  KV_READ(from, required_concept_id(value, "from_concept", "missing from_concept"));
  r.from_concept = from;
  KV_READ(to, required_concept_id(value, "to_concept", "missing to_concept"));
  r.to_concept = to;
  KV_READ(evidence, optional_evidence(value, "evidence"));
  r.evidence = std::move(evidence);
  KV_READ(confidence, f64_field(value));
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
    KV_READ(parent_id, structure_node_id_from_json(*parent));
    node.parent = parent_id;
  }
  if (const Json* refs = member(value, "concept_refs")) {
    if (const auto* items = refs->get_ptr<const Json::array_t*>()) {
      node.concept_refs.reserve(items->size());
      for (const Json& item : *items) {
        KV_READ(ref, concept_id_from_json(item));
        node.concept_refs.push_back(ref);
      }
    }
  }
  const Json* id = member(value, "id");
  if (id == nullptr) return refuse("missing node id");
  KV_READ(node_id, structure_node_id_from_json(*id));
  node.id = node_id;
  KV_READ(title, str_field(value, "title"));
  node.title = std::move(title);
  KV_READ(node_type, str_field(value, "node_type"));
  node.node_type = std::move(node_type);
  KV_READ(position, u32_field(value, "position"));
  node.position = position;
  KV_READ(content_hash, required_hash(value, "content_hash", "missing content_hash"));
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
    KV_READ(uuid, parse_uuid(name_text, bad_key));
    KV_READ(entry, read(item));
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

// ========================================================= record readers

Result<OperationJustification> justification_from_json(const Json& value) {
  OperationJustification j;
  KV_READ(agm_type, enum_field(value, "agm_type", kAgmTypes, "unknown agm_type: "));
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
  KV_READ(evidence, optional_evidence(value, "evidence_refs"));
  j.evidence_refs = std::move(evidence);
  return j;
}

Result<EvolutionOperation> operation_from_json(const Json& value) {
  KV_READ(type, str_field(value, "type"));
  for (const auto& kind : kOperationKinds) {
    if (kind.name == type) return kind.read(value);
  }
  return refuse("unknown operation type: " + type);
}

Result<EvolutionRecord> record_from_json(const Json& value) {
  EvolutionRecord record;
  KV_READ(source, enum_field(value, "source", kSources, "unknown source: "));
  record.source = source;
  KV_READ(timestamp, timestamp_field(value, "timestamp"));
  record.timestamp = timestamp;

  const Json* id = member(value, "id");
  if (id == nullptr) return refuse("missing record id");
  const auto* id_text = id->get_ptr<const std::string*>();
  if (id_text == nullptr) return refuse("expected string for record_id");
  KV_READ(uuid, parse_uuid(*id_text, "invalid uuid: "));
  record.id = RecordId{uuid};

  const Json* operation = member(value, "operation");
  if (operation == nullptr) return refuse("missing operation");
  KV_READ(op, operation_from_json(*operation));
  record.operation = std::move(op);

  KV_READ(prior, required_hash(value, "prior_state_hash", "missing prior_state_hash"));
  record.prior_state_hash = prior;
  KV_READ(resulting, required_hash(value, "resulting_state_hash", "missing resulting_state_hash"));
  record.resulting_state_hash = resulting;
  KV_READ(chain, required_hash(value, "chain_hash", "missing chain_hash"));
  record.chain_hash = chain;

  const Json* justification = member(value, "justification");
  if (justification == nullptr) return refuse("missing justification");
  KV_READ(j, justification_from_json(*justification));
  record.justification = std::move(j);
  return record;
}

Result<std::vector<EvolutionRecord>> records_from_json(const Json& value) {
  const auto* items = value.get_ptr<const Json::array_t*>();
  if (items == nullptr) return refuse("expected JSON array for records");
  std::vector<EvolutionRecord> records;
  records.reserve(items->size());
  for (const Json& item : *items) {
    KV_READ(record, record_from_json(item));
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
          append_code_point(out, cp);
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

  std::map<std::string_view, ConceptId> active_terms;
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
