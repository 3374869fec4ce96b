// The first position of each text of a list, in one flat table probed
// linearly: a Split may bring hundreds of thousands of terms, and a table of
// linked nodes costs a cache miss per node on top of the one per slot. The
// texts come from callers, so their home slots come from the seeded text
// hash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
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
    check_room(texts.size());
    // At most two thirds of the slots in use.
    std::size_t capacity = 16;
    while (capacity * 2 < texts.size() * 3) capacity *= 2;
    slots_.assign(capacity, 0);
    for (std::size_t k = 0; k < texts.size(); ++k) {
      const std::size_t hash = TextHash{}(texts[k]);
      std::uint64_t& slot = slots_[slot_of(texts[k], hash)];
      if (slot == 0) slot = tag_of(hash) | (k + 1);
    }
  }

  // The first position of `text`, or the list's size when it is not in it.
  std::size_t find(std::string_view text) const {
    const std::uint64_t slot = slots_[slot_of(text, TextHash{}(text))];
    return slot == 0 ? texts_.size() : static_cast<std::size_t>((slot & kPosition) - 1);
  }

  // How many slots a lookup of `text` reads: the cost the hash keeps near 1.
  std::size_t probes(std::string_view text) const {
    const std::size_t hash = TextHash{}(text);
    const std::size_t mask = slots_.size() - 1;
    return ((slot_of(text, hash) - (hash & mask)) & mask) + 1;
  }

 private:
  // A slot is the high half of the text's hash beside its position + 1 (0 is
  // empty): eight bytes, so that the table of a large list still fits the
  // cache, and most texts that share a probe run are told apart unread.
  static constexpr std::uint64_t kPosition = 0xFFFFFFFFu;
  static std::uint64_t tag_of(std::size_t hash) {
    return static_cast<std::uint64_t>(hash) & ~kPosition;
  }
  static void check_room(std::size_t count) {
    if (count >= kPosition) throw std::bad_alloc();
  }

  // The slot holding `text`, or the empty slot where it would go.
  std::size_t slot_of(std::string_view text, std::size_t hash) const {
    const std::uint64_t tag = tag_of(hash);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
      const std::uint64_t slot = slots_[i];
      if (slot == 0 || ((slot & ~kPosition) == tag &&
                        std::string_view(texts_[(slot & kPosition) - 1]) == text)) {
        return i;
      }
    }
  }

  std::span<const Text> texts_;
  std::vector<std::uint64_t> slots_;
};

}  // namespace kelvora
