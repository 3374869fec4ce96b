// The identifiers a provenance graph has met, each stored once and numbered
// from 0 in the order met. Identifiers are texts that callers write, so the
// table finds them by the seeded text hash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "kelvora/text_slots.hpp"

namespace kelvora::provenance {

class IdTable {
 public:
  static constexpr std::uint32_t kNone = TextSlots::kNone;

  // The number of `text`, or kNone.
  std::uint32_t find(std::string_view text) const;
  // The number of `text`, added when new; a failure adds nothing.
  std::uint32_t intern(std::string_view text);
  // Makes room for `count` new texts of `chars` bytes in all, so that
  // interning them cannot fail.
  void reserve(std::size_t count, std::size_t chars);
  std::string_view text(std::uint32_t number) const {
    const Span& s = spans_[number];
    return {chars_.data() + s.offset, s.size};
  }
  std::size_t size() const { return spans_.size(); }
  // How many slots a lookup of `text` reads.
  std::size_t probes(std::string_view text) const;

 private:
  struct Span {
    std::size_t offset;
    std::size_t size;
    std::size_t hash;
  };
  // The slot holding `text`, or the empty slot where it belongs.
  std::size_t slot_of(std::string_view text, std::size_t hash) const;
  void rehash(std::size_t slot_count);

  std::string chars_;        // every text, back to back
  std::vector<Span> spans_;  // by number
  TextSlots slots_;
};

}  // namespace kelvora::provenance
