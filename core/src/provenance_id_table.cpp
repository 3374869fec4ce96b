#include "kelvora/provenance_id_table.hpp"

#include <algorithm>
#include <utility>

#include "kelvora/seeded_hash.hpp"
#include "list_room.hpp"

namespace kelvora::provenance {

std::size_t IdTable::slot_of(std::string_view text, std::size_t hash) const {
  return slots_.slot_of(text, hash, [this](std::uint32_t number) { return this->text(number); });
}

std::uint32_t IdTable::find(std::string_view text) const {
  if (slots_.capacity() == 0) return kNone;
  return slots_.number(slot_of(text, TextHash{}(text)));
}

std::size_t IdTable::probes(std::string_view text) const {
  if (slots_.capacity() == 0) return 0;
  const std::size_t hash = TextHash{}(text);
  return slots_.reads(slot_of(text, hash), hash);
}

std::uint32_t IdTable::intern(std::string_view text) {
  const std::size_t hash = TextHash{}(text);
  std::size_t i = 0;
  if (slots_.capacity() != 0) {
    i = slot_of(text, hash);
    if (slots_.number(i) != kNone) return slots_.number(i);
  }
  const std::size_t slot_count = slots_.capacity();
  reserve(1, text.size());
  if (slots_.capacity() != slot_count) i = slot_of(text, hash);
  // Nothing below allocates.
  const std::size_t number = spans_.size();
  spans_.push_back(Span{chars_.size(), text.size(), hash});
  chars_.append(text);
  slots_.fill(i, hash, number);
  return static_cast<std::uint32_t>(number);
}

void IdTable::reserve(std::size_t count, std::size_t chars) {
  if (count == 0) return;
  check_room(spans_.size(), count);
  // At most three quarters of the slots in use.
  std::size_t slot_count = std::max<std::size_t>(64, slots_.capacity());
  while ((spans_.size() + count) * 4 > slot_count * 3) slot_count *= 2;
  reserve_more(spans_, count);
  reserve_more(chars_, chars);
  if (slot_count != slots_.capacity()) rehash(slot_count);
}

// Builds the new slots aside: a failure keeps the old ones.
void IdTable::rehash(std::size_t slot_count) {
  TextSlots slots(slot_count);
  for (std::size_t number = 0; number < spans_.size(); ++number) {
    const std::size_t hash = spans_[number].hash;
    slots.fill(slots.free_slot(hash), hash, number);
  }
  slots_ = std::move(slots);
}

}  // namespace kelvora::provenance
