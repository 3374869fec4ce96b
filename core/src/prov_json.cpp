// The PROV-JSON export of a provenance graph: as a value tree, and the same
// document written straight into text.
#include <algorithm>
#include <array>
#include <charconv>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kelvora/canonical.hpp"
#include "kelvora/provenance.hpp"
#include "kelvora/timestamp_text.hpp"

namespace kelvora::provenance {

namespace {

using Json = nlohmann::json;

constexpr int kRelationKinds = 6;

// Per relation kind: its section and the keys of its `from` and `to`.
struct RelationSection {
  std::string_view section;
  std::string_view from_key;
  std::string_view to_key;
};
constexpr RelationSection kSections[kRelationKinds] = {
    {"wasGeneratedBy", "prov:entity", "prov:activity"},
    {"used", "prov:activity", "prov:entity"},
    {"wasDerivedFrom", "prov:generatedEntity", "prov:usedEntity"},
    {"wasAttributedTo", "prov:entity", "prov:agent"},
    {"wasAssociatedWith", "prov:activity", "prov:agent"},
    {"wasInvalidatedBy", "prov:entity", "prov:activity"},
};

const RelationSection& section_of(ProvRelationType type) {
  return kSections[static_cast<int>(type)];
}

std::string_view agent_prov_type(ProvAgentType type) {
  return type == ProvAgentType::User ? "prov:Person" : "prov:SoftwareAgent";
}

// "qel:" and the type's name, for the text writer.
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

std::string qel(std::string_view suffix) {
  std::string out = "qel:";
  out += suffix;
  return out;
}

std::string time_text(Timestamp ts) { return serialization::format_timestamp_rfc3339(ts); }

// ================================================================ text

struct Member {
  std::string_view key;
  std::string_view value;
};

// Whether `text` goes into a JSON string unchanged: no quotation mark,
// backslash or control character. Most texts of a graph are such.
bool plain(std::string_view text) {
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == '"' || b == '\\') return false;
  }
  return true;
}

// Appends `text` as a JSON string with `prefix` (which needs no escaping)
// in front of its first character; other texts go through the system's
// string writer.
void put_string(std::string& out, std::string_view prefix, std::string_view text) {
  if (plain(text)) {
    out += '"';
    out += prefix;
    out += text;
    out += '"';
    return;
  }
  if (prefix.empty()) {
    serialization::write_string(out, text);
    return;
  }
  out += '"';
  out.append(prefix.substr(0, prefix.size() - 1));
  const std::size_t quote = out.size();
  serialization::write_string(out, text);
  out[quote] = prefix.back();
}

// Byte order of `key` against `prefix` + `text`.
int compare_prefixed(std::string_view key, std::string_view prefix, std::string_view text) {
  const std::size_t n = std::min(key.size(), prefix.size());
  if (const int c = key.substr(0, n).compare(prefix.substr(0, n)); c != 0) return c;
  if (key.size() < prefix.size()) return -1;
  return key.substr(prefix.size()).compare(text);
}

class TextWriter {
 public:
  explicit TextWriter(std::string& out) : out_(out) {}

  // Opens an object: call `member` for each member, then `close`.
  void open() {
    out_ += '{';
    first_.push_back(true);
  }
  void close() {
    const bool empty = first_.back();
    first_.pop_back();
    if (!empty) newline();
    out_ += '}';
  }
  // Starts a member; the key is written by the caller through `out`.
  std::string& member() {
    out_ += first_.back() ? "\n" : ",\n";
    first_.back() = false;
    newline_indent();
    return out_;
  }
  void key(std::string_view prefix, std::string_view text) {
    put_string(member(), prefix, text);
    out_ += ": ";
  }
  void string_member(std::string_view prefix, std::string_view key_text, std::string_view value) {
    key(prefix, key_text);
    put_string(out_, {}, value);
  }
  // A key that needs no escaping.
  void plain_key(std::string_view key_text) {
    member() += '"';
    out_ += key_text;
    out_ += "\": ";
  }
  // A member whose key and value need no escaping.
  void plain_member(std::string_view key_text, std::string_view value) {
    member() += '"';
    out_ += key_text;
    out_ += "\": \"";
    out_ += value;
    out_ += '"';
  }

  // The members of `fixed` (keys in byte order) merged in byte order with the
  // attributes (keys behind `prefix`). On equal keys one of the two is kept:
  // the attribute when `attributes_win`, else the fixed member.
  void merged_members(std::span<const Member> fixed, const AttributeMap& attributes,
                      std::string_view prefix, bool attributes_win) {
    auto f = fixed.begin();
    for (const auto& [k, v] : attributes) {
      int c = -1;
      while (f != fixed.end() && (c = compare_prefixed(f->key, prefix, k)) < 0) {
        string_member({}, f->key, f->value);
        ++f;
      }
      if (f != fixed.end() && c == 0) {
        if (!attributes_win) {
          string_member({}, f->key, f->value);
          ++f;
          continue;
        }
        ++f;
      }
      string_member(prefix, k, v);
    }
    for (; f != fixed.end(); ++f) string_member({}, f->key, f->value);
  }

 private:
  void newline() {
    out_ += '\n';
    out_.append(2 * (first_.size()), ' ');
  }
  void newline_indent() { out_.append(2 * first_.size(), ' '); }

  std::string& out_;
  std::vector<bool> first_;
};

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

// Visits the nodes in the given order. Nodes in identifier order lie
// scattered in memory: each node, then its texts, then its attribute texts
// are asked for a few nodes ahead, so their loads overlap.
template <class T, class Visit>
void visit_prefetched(const std::vector<const T*>& nodes, Visit&& visit) {
  constexpr std::size_t kAhead = 8;
  const std::size_t n = nodes.size();
  for (std::size_t i = 0; i < n; ++i) {
    if (i + 2 * kAhead < n) __builtin_prefetch(nodes[i + 2 * kAhead]);
    if (i + kAhead < n) {
      const T& next = *nodes[i + kAhead];
      __builtin_prefetch(next.id.text().data());
      if (!next.attributes.empty()) __builtin_prefetch(&*next.attributes.begin());
    }
    if (i + kAhead / 2 < n) {
      for (const auto& [k, v] : nodes[i + kAhead / 2]->attributes) {
        __builtin_prefetch(k.data());
        __builtin_prefetch(v.data());
      }
    }
    visit(*nodes[i]);
  }
}

std::size_t attributes_size(const AttributeMap& attributes) {
  std::size_t n = 0;
  for (const auto& [k, v] : attributes) n += k.size() + v.size() + 16;
  return n;
}

}  // namespace

// ================================================================ tree

Json ProvenanceGraph::to_prov_json() const {
  Json entity = Json::object();
  for (const ProvEntity* e : entities()) {
    Json o = Json::object();
    o["prov:type"] = qel(name(e->entity_type));
    o["prov:generatedAtTime"] = time_text(e->timestamp);
    for (const auto& [k, v] : e->attributes) o[qel(k)] = v;
    entity[e->id.text()] = std::move(o);
  }
  Json activity = Json::object();
  for (const ProvActivity* a : activities()) {
    Json o = Json::object();
    o["prov:type"] = qel(name(a->activity_type));
    o["prov:startedAtTime"] = time_text(a->started_at);
    o["prov:endedAtTime"] = time_text(a->ended_at);
    for (const auto& [k, v] : a->attributes) o[qel(k)] = v;
    activity[a->id.text()] = std::move(o);
  }
  Json agent = Json::object();
  for (const ProvAgent* g : agents()) {
    Json o = Json::object();
    o["prov:type"] = agent_prov_type(g->agent_type);
    o["prov:label"] = g->name;
    o["qel:agentType"] = name(g->agent_type);
    for (const auto& [k, v] : g->attributes) o[qel(k)] = v;
    agent[g->id.text()] = std::move(o);
  }
  std::array<Json, kRelationKinds> sections;
  sections.fill(Json::object());
  for (std::size_t n = 0; n < relation_count(); ++n) {
    const RelationView r = relation(n);
    const RelationSection& s = section_of(r.relation_type);
    Json o = Json::object();
    for (const auto& [k, v] : r.attributes) o[k] = v;
    o[std::string(s.from_key)] = r.from;
    o[std::string(s.to_key)] = r.to;
    sections[static_cast<int>(r.relation_type)]["_:r" + std::to_string(n)] = std::move(o);
  }
  Json prefix = Json::object();
  prefix["prov"] = kProvNamespace;
  prefix["qel"] = kQelNamespace;
  prefix["xsd"] = kXsdNamespace;

  Json document = Json::object();
  document["prefix"] = std::move(prefix);
  document["entity"] = std::move(entity);
  document["activity"] = std::move(activity);
  document["agent"] = std::move(agent);
  for (int kind = 0; kind < kRelationKinds; ++kind) {
    document[std::string(kSections[kind].section)] = std::move(sections[kind]);
  }
  return document;
}

// ================================================================ text

std::string ProvenanceGraph::to_prov_json_text() const {
  // Relation positions per kind, each list in the byte order of "_:r{n}".
  std::array<std::vector<std::uint32_t>, kRelationKinds> by_kind;
  in_decimal_text_order(links_.size(), [&](std::uint64_t n) {
    by_kind[static_cast<int>(links_[n].type)].push_back(static_cast<std::uint32_t>(n));
  });

  std::size_t estimate = 512;
  for (const ProvEntity& e : entities_) estimate += 2 * e.id.text().size() + 120;
  for (const ProvActivity& a : activities_) estimate += a.id.text().size() + 200;
  for (const ProvEntity& e : entities_) estimate += attributes_size(e.attributes);
  for (const ProvActivity& a : activities_) estimate += attributes_size(a.attributes);
  for (const Link& l : links_) {
    estimate += ids_.text(l.from).size() + ids_.text(l.to).size() + 110;
  }

  std::string out;
  out.reserve(estimate);
  TextWriter w(out);
  w.open();

  w.key({}, "activity");
  w.open();
  for (const ProvActivity* a : activities()) {
    w.key({}, a->id.text());
    w.open();
    const std::string ended = time_text(a->ended_at);
    const std::string started = a->started_at == a->ended_at ? ended : time_text(a->started_at);
    const std::string_view type = qel_type(a->activity_type);
    const Member fixed[] = {
        {"prov:endedAtTime", ended}, {"prov:startedAtTime", started}, {"prov:type", type}};
    w.merged_members(fixed, a->attributes, "qel:", true);
    w.close();
  }
  w.close();

  w.key({}, "agent");
  w.open();
  for (const ProvAgent* g : agents()) {
    w.key({}, g->id.text());
    w.open();
    const Member fixed[] = {{"prov:label", g->name},
                            {"prov:type", agent_prov_type(g->agent_type)},
                            {"qel:agentType", name(g->agent_type)}};
    w.merged_members(fixed, g->attributes, "qel:", true);
    w.close();
  }
  w.close();

  w.key({}, "entity");
  w.open();
  visit_prefetched(entities(), [&](const ProvEntity& e) {
    w.key({}, e.id.text());
    w.open();
    const std::string generated = time_text(e.timestamp);
    const std::string_view type = qel_type(e.entity_type);
    const Member fixed[] = {{"prov:generatedAtTime", generated}, {"prov:type", type}};
    w.merged_members(fixed, e.attributes, "qel:", true);
    w.close();
  });
  w.close();

  w.key({}, "prefix");
  w.open();
  w.plain_member("prov", kProvNamespace);
  w.plain_member("qel", kQelNamespace);
  w.plain_member("xsd", kXsdNamespace);
  w.close();

  // The relation sections in byte order of their names.
  std::array<int, kRelationKinds> order{};
  for (int kind = 0; kind < kRelationKinds; ++kind) order[kind] = kind;
  std::sort(order.begin(), order.end(),
            [](int x, int y) { return kSections[x].section < kSections[y].section; });
  for (int kind : order) {
    const RelationSection& s = kSections[kind];
    w.key({}, s.section);
    w.open();
    char number[24] = {'_', ':', 'r'};
    for (std::uint32_t n : by_kind[kind]) {
      const Link& l = links_[n];
      const char* end = std::to_chars(number + 3, number + sizeof number, n).ptr;
      w.plain_key(std::string_view(number, end));
      w.open();
      const bool from_first = s.from_key < s.to_key;
      const Member roles[2] = {
          from_first ? Member{s.from_key, ids_.text(l.from)} : Member{s.to_key, ids_.text(l.to)},
          from_first ? Member{s.to_key, ids_.text(l.to)} : Member{s.from_key, ids_.text(l.from)}};
      w.merged_members(roles, relation(n).attributes, {}, false);
      w.close();
    }
    w.close();
  }

  w.close();
  return out;
}

}  // namespace kelvora::provenance
