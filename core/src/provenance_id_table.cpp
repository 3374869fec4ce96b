#include "kelvora/provenance_id_table.hpp"

#include <algorithm>
#include <utility>

#include "kelvora/seeded_hash.hpp"
#include "list_room.hpp"

namespace kelvora::provenance {

namespace {

// A slot keeps the high half of the hash beside the number: most texts that
// share a probe run are told apart without reading their bytes.
std::uint64_t slot_value(std::size_t hash, std::size_t number) {
  return (static_cast<std::uint64_t>(hash >> 32) << 32) | (static_cast<std::uint64_t>(number) + 1);
}

}  // namespace

[[gnu::always_inline]] inline std::size_t IdTable::slot_of(std::string_view text,
                                                           std::size_t hash) const {
  const std::uint64_t tag = static_cast<std::uint64_t>(hash >> 32) << 32;
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    const std::uint64_t slot = slots_[i];
    if (slot == 0) return i;
    if ((slot & 0xFFFFFFFF00000000u) == tag &&
        this->text(static_cast<std::uint32_t>(slot - 1)) == text) {
      return i;
    }
  }
}

std::uint32_t IdTable::find(std::string_view text) const {
  if (slots_.empty()) return kNone;
  const std::uint64_t slot = slots_[slot_of(text, TextHash{}(text))];
  return slot == 0 ? kNone : static_cast<std::uint32_t>(slot - 1);
}

std::size_t IdTable::probes(std::string_view text) const {
  if (slots_.empty()) return 0;
  const std::size_t hash = TextHash{}(text);
  const std::size_t mask = slots_.size() - 1;
  return ((slot_of(text, hash) - (hash & mask)) & mask) + 1;
}

std::uint32_t IdTable::intern(std::string_view text) {
  const std::size_t hash = TextHash{}(text);
  std::size_t i = 0;
  if (!slots_.empty()) {
    i = slot_of(text, hash);
    if (slots_[i] != 0) return static_cast<std::uint32_t>(slots_[i] - 1);
  }
  const std::size_t slot_count = slots_.size();
  reserve(1, text.size());
  if (slots_.size() != slot_count) i = slot_of(text, hash);
  // Nothing below allocates.
  const std::size_t number = spans_.size();
  spans_.push_back(Span{chars_.size(), text.size(), hash});
  chars_.append(text);
  slots_[i] = slot_value(hash, number);
  return static_cast<std::uint32_t>(number);
}

void IdTable::reserve(std::size_t count, std::size_t chars) {
  if (count == 0) return;
  check_room(spans_.size(), count);
  // At most three quarters of the slots in use.
  std::size_t slot_count = std::max<std::size_t>(64, slots_.size());
  while ((spans_.size() + count) * 4 > slot_count * 3) slot_count *= 2;
  reserve_more(spans_, count);
  reserve_more(chars_, chars);
  if (slot_count != slots_.size()) rehash(slot_count);
}

// Builds the new slots aside: a failure keeps the old ones.
void IdTable::rehash(std::size_t slot_count) {
  std::vector<std::uint64_t> slots(slot_count, 0);
  const std::size_t mask = slots.size() - 1;
  for (std::size_t number = 0; number < spans_.size(); ++number) {
    const std::size_t hash = spans_[number].hash;
    std::size_t i = hash & mask;
    while (slots[i] != 0) i = (i + 1) & mask;
    slots[i] = slot_value(hash, number);
  }
  slots_ = std::move(slots);
}

}  // namespace kelvora::provenance
