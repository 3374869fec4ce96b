// The slots of a flat table of numbered texts, probed linearly, which the
// first-position table and the provenance identifier table both keep. A
// slot holds the high half of the text's hash beside its number + 1 (0 is
// empty): eight bytes, so that the table of a large list still fits the
// cache, and most texts that share a probe run are told apart unread. The
// texts stay with the owner, which names them by number. They come from
// callers, so their home slots come from the seeded text hash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "kelvora/seeded_hash.hpp"

namespace kelvora {

class TextSlots {
 public:
  static constexpr std::uint32_t kNone = 0xFFFFFFFFu;

  TextSlots() = default;
  // `capacity` empty slots, a power of two.
  explicit TextSlots(std::size_t capacity) : slots_(capacity, 0) {}

  std::size_t capacity() const { return slots_.size(); }

  // The slot holding `text`, whose seeded hash is `hash`, or the empty slot
  // where it belongs (capacity() > 0); text_of(number) is the owner's text.
  template <class TextOf>
  std::size_t slot_of(std::string_view text, std::size_t hash, const TextOf& text_of) const {
    const std::uint64_t tag = tag_of(hash);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
      const std::uint64_t slot = slots_[i];
      if (slot == 0 || ((slot & ~kNumber) == tag &&
                        std::string_view(text_of(static_cast<std::uint32_t>(slot - 1))) == text)) {
        return i;
      }
    }
  }
  // The first empty slot from the home of `hash`: where a text known to be
  // absent goes.
  std::size_t free_slot(std::size_t hash) const {
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = hash & mask;
    while (slots_[i] != 0) i = (i + 1) & mask;
    return i;
  }

  // The number in slot `i`, or kNone.
  std::uint32_t number(std::size_t i) const {
    return slots_[i] == 0 ? kNone : static_cast<std::uint32_t>(slots_[i] - 1);
  }
  // Puts `number` (< kNone) with the text's `hash` in slot `i`.
  void fill(std::size_t i, std::size_t hash, std::size_t number) {
    slots_[i] = tag_of(hash) | (static_cast<std::uint64_t>(number) + 1);
  }
  // How many slots a lookup reads that ends at slot `i`: the cost the seeded
  // hash keeps near 1.
  std::size_t reads(std::size_t i, std::size_t hash) const {
    const std::size_t mask = slots_.size() - 1;
    return ((i - (hash & mask)) & mask) + 1;
  }

 private:
  static constexpr std::uint64_t kNumber = 0xFFFFFFFFu;
  static std::uint64_t tag_of(std::size_t hash) {
    return static_cast<std::uint64_t>(hash) & ~kNumber;
  }

  std::vector<std::uint64_t> slots_;
};

}  // namespace kelvora
