// The PROV-JSON export of a provenance graph, written straight into text.
#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kelvora/provenance.hpp"
#include "kelvora/timestamp_text.hpp"
#include "text_emitters.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace kelvora::provenance {

namespace {

constexpr int kRelationKinds = 6;

// Per relation kind: its section and the keys of its `from` and `to`.
struct SectionNames {
  std::string_view section;
  std::string_view from_key;
  std::string_view to_key;
};
constexpr SectionNames kSections[kRelationKinds] = {
    {"wasGeneratedBy", "prov:entity", "prov:activity"},
    {"used", "prov:activity", "prov:entity"},
    {"wasDerivedFrom", "prov:generatedEntity", "prov:usedEntity"},
    {"wasAttributedTo", "prov:entity", "prov:agent"},
    {"wasAssociatedWith", "prov:activity", "prov:agent"},
    {"wasInvalidatedBy", "prov:entity", "prov:activity"},
};

const SectionNames& section_of(ProvRelationType type) { return kSections[static_cast<int>(type)]; }

std::string_view agent_prov_type(ProvAgentType type) {
  return type == ProvAgentType::User ? "prov:Person" : "prov:SoftwareAgent";
}

// "qel:" and the type's name.
std::string_view qel_type(ProvEntityType type) {
  static constexpr std::string_view kNames[] = {"qel:ConceptDefinition", "qel:KnowledgeState",
                                                "qel:Evidence", "qel:ConceptRelation"};
  return kNames[static_cast<int>(type)];
}
std::string_view qel_type(ProvActivityType type) {
  static constexpr std::string_view kNames[] = {"qel:EvolutionOperation",
                                                "qel:ClassificationDecision"};
  return kNames[static_cast<int>(type)];
}

std::size_t decimal_size(std::uint64_t v) {
  std::size_t n = 1;
  for (; v >= 10; v /= 10) ++n;
  return n;
}

// ---- the two passes
// The text is emitted twice by the same code: a Measure counts its bytes,
// then a Put writes them where the layout says.

struct Measure {
  std::size_t n = 0;
  bool ascii = true;

  void lit(std::string_view text) { n += text.size(); }
  // A JSON string: `prefix` (ASCII, nothing to escape), then `text`.
  void str(std::string_view prefix, std::string_view text) {
    const serialization::EscapedSize scan = serialization::escaped_size(text);
    n += 2 + prefix.size() + scan.size;
    ascii = ascii && scan.ascii;
  }
  void number(std::uint64_t v) { n += decimal_size(v); }
};

struct Put {
  char* p;

  void lit(std::string_view text) { p = std::copy(text.begin(), text.end(), p); }
  void str(std::string_view prefix, std::string_view text) {
    *p++ = '"';
    lit(prefix);
    p = serialization::put_escaped(p, text);
    *p++ = '"';
  }
  void number(std::uint64_t v) { p = std::to_chars(p, p + 20, v).ptr; }
};

// The text of the time stamp asked for last: the nodes of one record, next
// to each other in storage, share their time.
class TimeText {
 public:
  std::string_view operator()(Timestamp ts) {
    if (size_ == 0 || ts != last_) {
      size_ = serialization::put_timestamp(text_, ts, /*zulu=*/false);
      last_ = ts;
    }
    return {text_, size_};
  }

 private:
  Timestamp last_{};
  std::size_t size_ = 0;
  char text_[serialization::kTimestampTextSize];
};

// Members of a node or relation (at depth 3), the first without a comma.
constexpr std::string_view kFirstMember = "\n      ";
constexpr std::string_view kNextMember = ",\n      ";
constexpr std::string_view kNodeEnd = "\n    }";

struct Member {
  std::string_view key;
  std::string_view value;
};

// Byte order of `key` against `prefix` + `text`.
int compare_prefixed(std::string_view key, std::string_view prefix, std::string_view text) {
  const std::size_t n = std::min(key.size(), prefix.size());
  if (const int c = key.substr(0, n).compare(prefix.substr(0, n)); c != 0) return c;
  if (key.size() < prefix.size()) return -1;
  return key.substr(prefix.size()).compare(text);
}

// The members of `fixed` (keys in byte order) merged in byte order with the
// attributes (keys behind `prefix`). On equal keys one of the two is kept:
// the attribute when `attributes_win`, else the fixed member.
template <class Sink>
void emit_merged(Sink& s, std::span<const Member> fixed, const AttributeMap& attributes,
                 std::string_view prefix, bool attributes_win) {
  bool first = true;
  auto member = [&](std::string_view key_prefix, std::string_view key, std::string_view value) {
    s.lit(first ? kFirstMember : kNextMember);
    first = false;
    s.str(key_prefix, key);
    s.lit(": ");
    s.str({}, value);
  };
  auto f = fixed.begin();
  for (const auto& [k, v] : attributes) {
    int c = -1;
    while (f != fixed.end() && (c = compare_prefixed(f->key, prefix, k)) < 0) {
      member({}, f->key, f->value);
      ++f;
    }
    if (f != fixed.end() && c == 0) {
      if (!attributes_win) {
        member({}, f->key, f->value);
        ++f;
        continue;
      }
      ++f;
    }
    member(prefix, k, v);
  }
  for (; f != fixed.end(); ++f) member({}, f->key, f->value);
}

// Attributes behind "qel:", all after the fixed "prov:" members.
template <class Sink>
void emit_qel_attributes(Sink& s, const AttributeMap& attributes) {
  for (const auto& [k, v] : attributes) {
    s.lit(kNextMember);
    s.str("qel:", k);
    s.lit(": ");
    s.str({}, v);
  }
}

// One member of a node section (at depth 2), without its separator.
struct EmitEntity {
  TimeText generated;
  template <class Sink>
  void operator()(Sink& s, const ProvEntity& e) {
    s.lit("    ");
    s.str({}, e.id.text());
    s.lit(": {\n      \"prov:generatedAtTime\": \"");
    s.lit(generated(e.timestamp));
    s.lit("\",\n      \"prov:type\": \"");
    s.lit(qel_type(e.entity_type));
    s.lit("\"");
    emit_qel_attributes(s, e.attributes);
    s.lit(kNodeEnd);
  }
};

struct EmitActivity {
  TimeText ended, started;
  template <class Sink>
  void operator()(Sink& s, const ProvActivity& a) {
    s.lit("    ");
    s.str({}, a.id.text());
    s.lit(": {\n      \"prov:endedAtTime\": \"");
    const std::string_view ended_text = ended(a.ended_at);
    s.lit(ended_text);
    s.lit("\",\n      \"prov:startedAtTime\": \"");
    s.lit(a.started_at == a.ended_at ? ended_text : started(a.started_at));
    s.lit("\",\n      \"prov:type\": \"");
    s.lit(qel_type(a.activity_type));
    s.lit("\"");
    emit_qel_attributes(s, a.attributes);
    s.lit(kNodeEnd);
  }
};

struct EmitAgent {
  template <class Sink>
  void operator()(Sink& s, const ProvAgent& g) {
    s.lit("    ");
    s.str({}, g.id.text());
    s.lit(": {");
    const Member fixed[] = {{"prov:label", g.name},
                            {"prov:type", agent_prov_type(g.agent_type)},
                            {"qel:agentType", name(g.agent_type)}};
    emit_merged(s, fixed, g.attributes, "qel:", true);
    s.lit(kNodeEnd);
  }
};

// The relation at `position` under "_:r{position}": its attributes, then its
// two roles, which replace attributes of the same key.
template <class Sink>
void emit_relation(Sink& s, std::uint32_t position, const RelationView& r) {
  static constexpr auto kFromFirst = [] {
    std::array<bool, kRelationKinds> from_first{};
    for (int kind = 0; kind < kRelationKinds; ++kind) {
      from_first[kind] = kSections[kind].from_key < kSections[kind].to_key;
    }
    return from_first;
  }();
  const SectionNames& names = section_of(r.relation_type);
  const bool from_first = kFromFirst[static_cast<int>(r.relation_type)];
  const Member roles[2] = {
      from_first ? Member{names.from_key, r.from} : Member{names.to_key, r.to},
      from_first ? Member{names.to_key, r.to} : Member{names.from_key, r.from}};
  s.lit("    \"_:r");
  s.number(position);
  s.lit("\": {");
  if (r.attributes.empty()) {
    for (std::size_t i = 0; i < 2; ++i) {
      s.lit(i == 0 ? kFirstMember : kNextMember);
      s.lit("\"");
      s.lit(roles[i].key);
      s.lit("\": ");
      s.str({}, roles[i].value);
    }
  } else {
    emit_merged(s, roles, r.attributes, {}, false);
  }
  s.lit(kNodeEnd);
}

// 0 .. count-1 in the byte order of their decimal texts ("0", "1", "10",
// "100", ..., "2", ...), each once, without comparing texts.
template <class Visit>
void in_decimal_text_order(std::uint64_t count, Visit&& visit) {
  if (count == 0) return;
  visit(std::uint64_t{0});
  const std::uint64_t last = count - 1;
  std::uint64_t n = 1;
  for (std::uint64_t i = 1; i < count; ++i) {
    visit(n);
    if (n <= last / 10) {
      n *= 10;
      continue;
    }
    // Past the last number or the last digit: climb until a digit can grow.
    while (n % 10 == 9 || n + 1 > last) n /= 10;
    ++n;
  }
}

// The relation kinds in the byte order of their section names.
constexpr std::array<ProvRelationType, kRelationKinds> kSectionOrder = {
    ProvRelationType::Used,
    ProvRelationType::WasAssociatedWith,
    ProvRelationType::WasAttributedTo,
    ProvRelationType::WasDerivedFrom,
    ProvRelationType::WasGeneratedBy,
    ProvRelationType::WasInvalidatedBy};

// A section's text: "{}" when empty, else "{", its members on their own
// lines, and "}" on a line of its own.
std::size_t section_size(std::size_t members) { return members == 0 ? 2 : members + 6; }

// The text of a large buffer is written into memory fresh from the system
// on every call (the allocator hands blocks this large back at once):
// huge pages take one fault per 2 MiB instead of one per 4 KiB.
constexpr std::size_t kLargeText = std::size_t{32} << 20;

void advise_fresh_memory(char* out, std::size_t size) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (size < kLargeText) return;
  constexpr std::uintptr_t kPage = 4096;
  const auto begin = (reinterpret_cast<std::uintptr_t>(out) + kPage - 1) & ~(kPage - 1);
  const auto end = (reinterpret_cast<std::uintptr_t>(out) + size) & ~(kPage - 1);
  // Advice only: the text is written the same way whatever the answer.
  (void)madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)out;
  (void)size;
#endif
}

// Measures the members of a node section, to be written in `order`.
template <class Section, class T, class Emit>
void lay_out(Section& section, const std::vector<T>& nodes, std::vector<std::uint32_t> order,
             Emit emit, bool& ascii) {
  Measure m;
  for (const T& node : nodes) emit(m, node);
  section.size = nodes.empty() ? 0 : m.n + 2 * (nodes.size() - 1);
  section.order = std::move(order);
  ascii = ascii && m.ascii;
}

// Writes a node section at `out`; returns its end. The nodes lie in memory in
// the order they were added, not in identifier order: each node, then its
// texts, are asked for a few nodes ahead, so that their loads overlap.
template <class Section, class T, class Emit>
char* write_nodes(char* out, const Section& section, const std::vector<T>& nodes, Emit emit) {
  if (nodes.empty()) {
    std::memcpy(out, "{}", 2);
    return out + 2;
  }
  constexpr std::size_t kAhead = 4;
  const std::vector<std::uint32_t>& order = section.order;
  const std::size_t n = order.size();
  Put put{out};
  put.lit("{\n");
  for (std::size_t k = 0; k < n; ++k) {
    if (k + 2 * kAhead < n) __builtin_prefetch(&nodes[order[k + 2 * kAhead]]);
    if (k + kAhead < n) {
      const T& next = nodes[order[k + kAhead]];
      __builtin_prefetch(next.id.text().data());
      if (!next.attributes.empty()) __builtin_prefetch(&*next.attributes.begin());
    }
    if (k + kAhead / 2 < n) {
      for (const auto& [key, value] : nodes[order[k + kAhead / 2]].attributes) {
        __builtin_prefetch(key.data());
        __builtin_prefetch(value.data());
      }
    }
    if (k != 0) put.lit(",\n");
    emit(put, nodes[order[k]]);
  }
  put.lit("\n  }");
  return put.p;
}

}  // namespace

ProvJsonText ProvenanceGraph::prov_json_text() const {
  ProvJsonText t;
  t.graph_ = this;
  lay_out(t.activities_, activities_, id_order(activities_), EmitActivity{}, t.ascii_);
  lay_out(t.agents_, agents_, id_order(agents_), EmitAgent{}, t.ascii_);
  lay_out(t.entities_, entities_, id_order(entities_), EmitEntity{}, t.ascii_);

  t.relations_.resize(kRelationKinds);
  std::array<std::size_t, kRelationKinds> counts{};
  for (std::uint32_t n = 0; n < links_.size(); ++n) {
    Measure m;
    emit_relation(m, n, relation(n));
    auto& section = t.relations_[static_cast<int>(links_[n].type)];
    section.size += m.n + 2;
    ++counts[static_cast<int>(links_[n].type)];
    t.ascii_ = t.ascii_ && m.ascii;
  }
  for (int kind = 0; kind < kRelationKinds; ++kind) {
    if (counts[kind] != 0) t.relations_[kind].size -= 2;
    t.relations_[kind].positions.reserve(counts[kind]);
  }
  in_decimal_text_order(links_.size(), [&](std::uint64_t n) {
    t.relations_[static_cast<int>(links_[n].type)].positions.push_back(
        static_cast<std::uint32_t>(n));
  });

  Measure frame;
  frame.lit("{\n  \"activity\": ,\n  \"agent\": ,\n  \"entity\": ,\n  \"prefix\": {\n");
  frame.lit("    \"prov\": \"\",\n    \"qel\": \"\",\n    \"xsd\": \"\"\n  }");
  frame.lit(kProvNamespace);
  frame.lit(kQelNamespace);
  frame.lit(kXsdNamespace);
  for (const ProvRelationType kind : kSectionOrder) {
    frame.lit(",\n  \"\": ");
    frame.lit(section_of(kind).section);
    frame.n += section_size(t.relations_[static_cast<int>(kind)].size);
  }
  frame.lit("\n}");
  frame.n += section_size(t.activities_.size) + section_size(t.agents_.size) +
             section_size(t.entities_.size);
  t.size_ = frame.n;
  return t;
}

void ProvJsonText::write(char* out) const {
  advise_fresh_memory(out, size_);
  const ProvenanceGraph& g = *graph_;
  Put put{out};
  put.lit("{\n  \"activity\": ");
  put.p = write_nodes(put.p, activities_, g.activities_, EmitActivity{});
  put.lit(",\n  \"agent\": ");
  put.p = write_nodes(put.p, agents_, g.agents_, EmitAgent{});
  put.lit(",\n  \"entity\": ");
  put.p = write_nodes(put.p, entities_, g.entities_, EmitEntity{});
  put.lit(",\n  \"prefix\": {\n    \"prov\": \"");
  put.lit(kProvNamespace);
  put.lit("\",\n    \"qel\": \"");
  put.lit(kQelNamespace);
  put.lit("\",\n    \"xsd\": \"");
  put.lit(kXsdNamespace);
  put.lit("\"\n  }");
  for (const ProvRelationType kind : kSectionOrder) {
    put.lit(",\n  \"");
    put.lit(section_of(kind).section);
    put.lit("\": ");
    const RelationSection& section = relations_[static_cast<int>(kind)];
    if (section.positions.empty()) {
      put.lit("{}");
      continue;
    }
    put.lit("{\n");
    bool first = true;
    for (const std::uint32_t n : section.positions) {
      if (!first) put.lit(",\n");
      first = false;
      emit_relation(put, n, g.relation(n));
    }
    put.lit("\n  }");
  }
  put.lit("\n}");
}

std::string ProvenanceGraph::to_prov_json_text() const {
  const ProvJsonText text = prov_json_text();
  std::string out;
  out.resize_and_overwrite(text.size(), [&](char* p, std::size_t n) {
    text.write(p);
    return n;
  });
  return out;
}

}  // namespace kelvora::provenance
