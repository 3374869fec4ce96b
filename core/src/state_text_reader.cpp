#include "kelvora/state_text_reader.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "kelvora/document_fields.hpp"
#include "kelvora/integrity.hpp"
#include "kelvora/timestamp_text.hpp"
#include "kelvora/utf8.hpp"

namespace kelvora::exchange {

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
  // An object whose members are among `names`, each at most once and in any
  // order, with every member of `required` (a bit per name) present;
  // `member` reads the value of names[i].
  template <std::size_t N, class Member>
  bool members(const std::string_view (&names)[N], unsigned required, Member member) {
    unsigned seen = 0;
    const bool ok = object([&](std::string_view key) {
      const auto found = std::find(names, names + N, key);
      const auto at = static_cast<unsigned>(found - names);
      if (at == N || (seen >> at & 1u) != 0) return false;
      seen |= 1u << at;
      return member(static_cast<int>(at));
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
        const utf8::Decoded d =
            utf8::decode(std::string_view(p_, static_cast<std::size_t>(end_ - p_)), 0);
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

  // An identifier-keyed map, each key at most once. Entries whose keys come
  // in ascending order (as the writers give them) are appended as they come;
  // from the first key out of order on, the entries are gathered and the map
  // is built from them sorted, which costs one sort instead of an insert in
  // the middle of the map per entry.
  template <class Id, class T, class Map, class Read>
  bool map(Map& out, Read read) {
    std::vector<std::pair<Id, Entry<T>>> gathered;
    bool in_order = true;
    Uuid previous;
    const bool ok = object([&](std::string_view key) {
      Id key_id;
      if (!uuid_text(key, key_id.uuid)) return false;
      T value;
      if (!read(value)) return false;
      if (in_order && (out.empty() || previous < key_id.uuid)) {
        previous = key_id.uuid;
        out.insert_or_assign(key_id, Entry<T>(std::move(value)));
        return true;
      }
      if (in_order) {
        in_order = false;
        gathered.reserve(2 * out.size());
        for (const auto& entry : out) gathered.push_back(entry);
      }
      gathered.emplace_back(key_id, Entry<T>(std::move(value)));
      return true;
    });
    if (!ok) return false;
    if (in_order) return true;
    std::sort(gathered.begin(), gathered.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    // A repeated key is left to the tree reader, which decides which one counts.
    const auto repeated =
        std::adjacent_find(gathered.begin(), gathered.end(),
                           [](const auto& a, const auto& b) { return a.first == b.first; });
    if (repeated != gathered.end()) return false;
    Map sorted;
    for (auto& [id, entry] : gathered) sorted.emplace(id, std::move(entry));  // appends
    out = std::move(sorted);
    return true;
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

}  // namespace kelvora::exchange
