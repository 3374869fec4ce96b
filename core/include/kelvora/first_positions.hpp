// The first position of each text of a list, in one flat table probed
// linearly: a Split may bring hundreds of thousands of terms, and a table of
// linked nodes costs a cache miss per node on top of the one per slot.
#pragma once

#include <cstddef>
#include <new>
#include <span>
#include <string_view>

#include "kelvora/seeded_hash.hpp"
#include "kelvora/text_slots.hpp"

namespace kelvora {

// `Text` is a string or string_view; the table refers to the caller's list,
// which must outlive it.
template <class Text>
class FirstPositions {
 public:
  explicit FirstPositions(std::span<const Text> texts)
      : texts_(texts), slots_(capacity_for(texts.size())) {
    for (std::size_t k = 0; k < texts.size(); ++k) {
      const std::size_t hash = TextHash{}(texts[k]);
      const std::size_t i = slot_of(texts[k], hash);
      if (slots_.number(i) == TextSlots::kNone) slots_.fill(i, hash, k);
    }
  }

  // The first position of `text`, or the list's size when it is not in it.
  std::size_t find(std::string_view text) const {
    const std::uint32_t number = slots_.number(slot_of(text, TextHash{}(text)));
    return number == TextSlots::kNone ? texts_.size() : number;
  }

  // How many slots a lookup of `text` reads.
  std::size_t probes(std::string_view text) const {
    const std::size_t hash = TextHash{}(text);
    return slots_.reads(slot_of(text, hash), hash);
  }

 private:
  // At most two thirds of the slots in use; positions are 32-bit.
  static std::size_t capacity_for(std::size_t count) {
    if (count >= TextSlots::kNone) throw std::bad_alloc();
    std::size_t capacity = 16;
    while (capacity * 2 < count * 3) capacity *= 2;
    return capacity;
  }

  std::size_t slot_of(std::string_view text, std::size_t hash) const {
    return slots_.slot_of(text, hash, [this](std::uint32_t k) { return texts_[k]; });
  }

  std::span<const Text> texts_;
  TextSlots slots_;
};

}  // namespace kelvora
