// The walk over a map of entries that does not wait for memory at every
// entry. Each entry is a pointer to its own heap block, and the blocks of a
// large map lie anywhere on the heap, so reading them in key order would take
// one cache miss per entry. The walk runs far(key, entry) `Far` entries
// ahead, where it may only ask for memory (the block has not arrived), then
// near(key, entry) `Near` entries ahead, when what far asked for has arrived,
// so that it can ask for what the block points to, and body(key, entry) last.
#pragma once

#include <cstddef>

namespace kelvora {

template <std::size_t Far, std::size_t Near, class Map, class FarStep, class NearStep, class Body>
void walk_entries_ahead(const Map& map, FarStep&& far, NearStep&& near, Body&& body) {
  static_assert(Near <= Far);
  const auto end = map.end();
  auto far_at = map.begin(), near_at = map.begin();
  for (std::size_t i = 0; i < Far && far_at != end; ++i, ++far_at)
    far(far_at->first, far_at->second);
  for (std::size_t i = 0; i < Near && near_at != end; ++i, ++near_at) {
    near(near_at->first, near_at->second);
  }
  for (auto it = map.begin(); it != end; ++it) {
    if (far_at != end) {
      far(far_at->first, far_at->second);
      ++far_at;
    }
    if (near_at != end) {
      near(near_at->first, near_at->second);
      ++near_at;
    }
    body(it->first, it->second);
  }
}

}  // namespace kelvora
