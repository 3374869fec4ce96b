#include "kelvora/term_index.hpp"

#include <algorithm>
#include <vector>

#include "entry_walk.hpp"
#include "kelvora/seeded_hash.hpp"

namespace kelvora {

namespace {

constexpr std::uint64_t kNotActive = 1;
constexpr std::uint64_t kNormalForm = 2;

std::uint64_t active_slot(std::string_view term) {
  return text_hash(term) & ~(kNotActive | kNormalForm);
}
std::uint64_t normal_form_slot(std::string_view normalized) {
  return active_slot(normalized) | kNormalForm;
}

}  // namespace

TermIndex::Key TermIndex::key_of(const ConceptId& id, const Concept& value) {
  const std::uint64_t slot = active_slot(value.term);
  return Key{value.status == ConceptStatus::Active ? slot : slot | kNotActive, id};
}

std::optional<TermIndex::Key> TermIndex::normal_form_key_of(const ConceptId& id,
                                                            const Entry<Concept>& entry) {
  if (entry->status != ConceptStatus::Active) return std::nullopt;
  return Key{normal_form_slot(entry.normalized_term()), id};
}

TermIndex TermIndex::build(const ConceptMap& concepts) {
  // A long term's bytes lie in yet another place than its entry's block:
  // once the block has arrived, the walk asks for them too.
  std::vector<std::pair<Key, const Entry<Concept>*>> keys;
  keys.reserve(concepts.size());
  walk_entries_ahead<16, 8>(
      concepts, [](const ConceptId&, const Entry<Concept>& entry) { entry.prefetch_value(); },
      [](const ConceptId&, const Entry<Concept>& entry) { __builtin_prefetch(entry->term.data()); },
      [&](const ConceptId& id, const Entry<Concept>& entry) {
        keys.emplace_back(key_of(id, entry.value()), &entry);
        if (auto key = normal_form_key_of(id, entry)) keys.emplace_back(*key, &entry);
      });
  std::sort(keys.begin(), keys.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  TermIndex index;
  for (const auto& [key, entry] : keys) index.keys_.emplace(key, *entry);  // appends, in key order
  return index;
}

void TermIndex::update(const ConceptMap& before, const ConceptMap& after,
                       std::span<const ConceptId> changed) {
  for (const ConceptId& id : changed) {
    const auto old_entry = before.find(id);
    const auto new_entry = after.find(id);
    std::optional<Key> old_key, new_key, old_form, new_form;
    if (old_entry != before.end()) {
      old_key = key_of(id, old_entry->second.value());
      old_form = normal_form_key_of(id, old_entry->second);
    }
    if (new_entry != after.end()) {
      new_key = key_of(id, new_entry->second.value());
      new_form = normal_form_key_of(id, new_entry->second);
    }
    if (old_key && old_key != new_key) keys_.erase(*old_key);
    if (old_form && old_form != new_form) keys_.erase(*old_form);
    if (new_key) keys_.insert_or_assign(*new_key, new_entry->second);
    if (new_form) keys_.insert_or_assign(*new_form, new_entry->second);
  }
}

std::optional<ConceptId> TermIndex::first_in_run(std::uint64_t slot, std::string_view term) const {
  for (auto it = keys_.lower_bound(Key{slot, ConceptId{}});
       it != keys_.end() && it->first.slot == slot; ++it) {
    // Terms that share a hash share the run; the concept's own term decides.
    if (it->second->term == term) return it->first.id;
  }
  return std::nullopt;
}

std::optional<ConceptId> TermIndex::find_active(std::string_view term) const {
  return first_in_run(active_slot(term), term);
}

std::optional<ConceptId> TermIndex::find_any(std::string_view term) const {
  // The run of the other statuses follows the Active run: one search finds
  // both, and the first match of each run is compared.
  const std::uint64_t slot = active_slot(term);
  std::optional<ConceptId> found[2];
  for (auto it = keys_.lower_bound(Key{slot, ConceptId{}});
       it != keys_.end() && (it->first.slot | kNotActive) == (slot | kNotActive); ++it) {
    auto& first = found[it->first.slot & kNotActive];
    if (!first && it->second->term == term) first = it->first.id;
    if (found[0] && found[1]) break;
  }
  if (found[0] && found[1]) return std::min(*found[0], *found[1]);
  return found[0] ? found[0] : found[1];
}

bool TermIndex::normal_form_taken(std::string_view normalized,
                                  std::span<const ConceptId> excluded) const {
  const std::uint64_t slot = normal_form_slot(normalized);
  for (auto it = keys_.lower_bound(Key{slot, ConceptId{}});
       it != keys_.end() && it->first.slot == slot; ++it) {
    if (it->second.normalized_term() == normalized &&
        !std::binary_search(excluded.begin(), excluded.end(), it->first.id)) {
      return true;
    }
  }
  return false;
}

std::optional<ConceptId> TermIndex::walk(const ConceptMap& concepts, std::string_view term,
                                         bool any_status) {
  for (const auto& [id, entry] : concepts) {
    if ((any_status || entry->status == ConceptStatus::Active) && entry->term == term) return id;
  }
  return std::nullopt;
}

}  // namespace kelvora
