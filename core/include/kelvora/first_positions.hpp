// The first position of each text of a list, in one flat table probed
// linearly: a Split may bring hundreds of thousands of terms, and a table of
// linked nodes costs a cache miss per node on top of the one per slot. The
// texts come from callers, so their home slots come from the seeded text
// hash.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

#include "kelvora/seeded_hash.hpp"

namespace kelvora {

// `Text` is a string or string_view; the table refers to the caller's list,
// which must outlive it.
template <class Text>
class FirstPositions {
 public:
  explicit FirstPositions(std::span<const Text> texts) : texts_(texts) {
    std::size_t capacity = 16;
    while (capacity < 2 * texts.size()) capacity *= 2;
    slots_.assign(capacity, Slot{0, kNone});
    for (std::size_t k = 0; k < texts.size(); ++k) {
      const std::size_t hash = TextHash{}(texts[k]);
      Slot& slot = slots_[slot_of(texts[k], hash)];
      if (slot.position == kNone) slot = Slot{hash, k};
    }
  }

  // The first position of `text`, or the list's size when it is not in it.
  std::size_t find(std::string_view text) const {
    const Slot& slot = slots_[slot_of(text, TextHash{}(text))];
    return slot.position == kNone ? texts_.size() : slot.position;
  }

  // How many slots a lookup of `text` reads: the cost the hash keeps near 1.
  std::size_t probes(std::string_view text) const {
    const std::size_t hash = TextHash{}(text);
    const std::size_t mask = slots_.size() - 1;
    return ((slot_of(text, hash) - (hash & mask)) & mask) + 1;
  }

 private:
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  struct Slot {
    std::size_t hash;
    std::size_t position;
  };

  // The slot holding `text`, or the empty slot where it would go.
  std::size_t slot_of(std::string_view text, std::size_t hash) const {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
      const Slot& slot = slots_[i];
      if (slot.position == kNone ||
          (slot.hash == hash && std::string_view(texts_[slot.position]) == text)) {
        return i;
      }
    }
  }

  std::span<const Text> texts_;
  std::vector<Slot> slots_;
};

}  // namespace kelvora
