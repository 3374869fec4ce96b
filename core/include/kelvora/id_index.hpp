// A flat hash table from identifiers to dense 32-bit indices, the working
// index of the reports: the walks over concepts and relations number the
// identifiers they meet and keep everything else in vectors by number.
// Open addressing with linear probing in one array, so a lookup costs about
// one cache miss. It is never iterated: no output order depends on it.
// Holds fewer than 2^32 - 1 ids (the last number marks an empty slot).
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "kelvora/seeded_hash.hpp"

namespace kelvora {

// An identifier as two numbers that compare as the identifiers do: sorting
// many ids by these is several times faster than by the bytes.
struct IdOrder {
  std::uint64_t high = 0, low = 0;

  template <class IdT>
  static IdOrder of(const IdT& id) {
    return {Uuid::big_endian_half(id.uuid, 0), Uuid::big_endian_half(id.uuid, 8)};
  }
  friend auto operator<=>(const IdOrder&, const IdOrder&) = default;
};

template <class IdT>
class IdIndex {
 public:
  static constexpr std::uint32_t kAbsent = std::numeric_limits<std::uint32_t>::max();

  // Room for `expected` ids without growing.
  explicit IdIndex(std::size_t expected = 0) { rehash(capacity_for(expected)); }

  std::size_t size() const { return size_; }

  // The index of `id`, or kAbsent.
  std::uint32_t find(const IdT& id) const {
    for (std::size_t at = slot_of(id);; at = (at + 1) & mask_) {
      const Slot& slot = slots_[at];
      if (slot.value == kAbsent) return kAbsent;
      if (slot.id == id) return slot.value;
    }
  }

  // Asks for the memory where a lookup of `id` starts.
  void prefetch(const IdT& id) const { __builtin_prefetch(&slots_[slot_of(id)]); }

  // The index of `id`; an id not yet present gets the next free number
  // (size() before the call). The flag tells whether it was added.
  std::pair<std::uint32_t, bool> insert(const IdT& id) {
    if ((size_ + 1) * 4 > slots_.size() * 3) rehash(slots_.size() * 2);
    for (std::size_t at = slot_of(id);; at = (at + 1) & mask_) {
      Slot& slot = slots_[at];
      if (slot.value == kAbsent) {
        slot.id = id;
        slot.value = static_cast<std::uint32_t>(size_++);
        return {slot.value, true};
      }
      if (slot.id == id) return {slot.value, false};
    }
  }

 private:
  struct Slot {
    IdT id{};
    std::uint32_t value = kAbsent;
  };

  // At most three quarters full: short probe sequences, mostly within one
  // cache line, in a table small enough to stay cached longer.
  static std::size_t capacity_for(std::size_t count) {
    std::size_t capacity = 16;
    while (capacity * 3 < count * 4) capacity *= 2;
    return capacity;
  }

  std::size_t slot_of(const IdT& id) const { return IdHash{}(id)&mask_; }

  void rehash(std::size_t capacity) {
    std::vector<Slot> old(capacity);
    old.swap(slots_);
    mask_ = capacity - 1;
    for (const Slot& slot : old) {
      if (slot.value == kAbsent) continue;
      std::size_t at = slot_of(slot.id);
      while (slots_[at].value != kAbsent) at = (at + 1) & mask_;
      slots_[at] = slot;
    }
  }

  std::vector<Slot> slots_;
  std::size_t mask_ = 0;
  std::size_t size_ = 0;
};

}  // namespace kelvora
