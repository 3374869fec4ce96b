// The walk over a state's maps that both the canonical state text and its
// hash are made by: each entry contributes the member text it keeps.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "entry_walk.hpp"
#include "kelvora/knowledge_state.hpp"

namespace kelvora::serialization {

// A sink that appends to a string (the same member walk as the hash stream).
struct StringSink {
  std::string& out;
  void feed(std::string_view bytes) { out.append(bytes); }
  void feed(char c) { out.push_back(c); }
};

// Feeds one `"<key>":{...}` member. The cached text names the entry's own
// id; a map key that differs from it (possible in a state read from a
// document) is written in its place.
template <class Sink, class Key, class E>
void feed_member(Sink& sink, const Key& key, const E& entry) {
  const std::string_view text = entry.canonical();
  if (key == entry->id) {
    sink.feed(text);
    return;
  }
  const std::string key_text = '"' + key.uuid.to_string() + "\":";
  sink.feed(std::string_view(key_text));
  sink.feed(text.substr(39));
}

// Visits the entries of one map in order: `visit(key, entry)`.
//
// Each entry's value and text share one heap block. The walk asks for blocks
// ahead of use in two steps: the head line (which holds the text length)
// 16 entries ahead, the whole block 6 entries ahead.
template <class Map, class Visit>
void for_each_prefetched(const Map& map, Visit&& visit) {
  walk_entries_ahead<16, 6>(
      map, [](const auto&, const auto& entry) { entry.prefetch_head(); },
      [](const auto&, const auto& entry) { entry.prefetch_all(); }, visit);
}

// Feeds the members of one map: `"<key>":{...}` pieces separated by commas.
template <class Sink, class Map>
void feed_members(Sink& sink, const Map& map) {
  bool first = true;
  for_each_prefetched(map, [&](const auto& key, const auto& entry) {
    if (!first) sink.feed(',');
    first = false;
    feed_member(sink, key, entry);
  });
}

template <class Sink>
void feed_state(Sink& sink, const KnowledgeState& state) {
  sink.feed(std::string_view("{\"concepts\":{"));
  feed_members(sink, state.concepts);
  sink.feed(std::string_view("},\"relations\":{"));
  feed_members(sink, state.relations);
  sink.feed(std::string_view("},\"structure\":{"));
  feed_members(sink, state.structure);
  sink.feed(std::string_view("}}"));
}

}  // namespace kelvora::serialization
