// The concepts of a state by their exact term, and the Active ones also by
// the normal form of their term, so that a term is found (or a new term's
// clash with an Active one) without walking every concept. The index keeps
// (term hash, kind, identifier) keys in a persistent map: a state made from
// another shares the unchanged chunks with it, as its concept map does.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "kelvora/entry.hpp"
#include "kelvora/persistent_map.hpp"
#include "kelvora/types.hpp"

namespace kelvora {

class TermIndex {
 public:
  // Every concept of the map, each under the term it carries.
  static TermIndex build(const ConceptMap& concepts);

  // Carries this index (made for `before`) over to `after`, where only the
  // concepts under `changed` may differ from `before`; an identifier may
  // repeat.
  void update(const ConceptMap& before, const ConceptMap& after,
              std::span<const ConceptId> changed);

  // The key of the first Active concept, in identifier order, whose term is
  // byte for byte `term`.
  std::optional<ConceptId> find_active(std::string_view term) const;
  // The same over concepts of any status.
  std::optional<ConceptId> find_any(std::string_view term) const;
  // Whether an Active concept outside `excluded` (ascending) has a term whose
  // normal form is `normalized`.
  bool normal_form_taken(std::string_view normalized, std::span<const ConceptId> excluded) const;

  // What find_active (or with `any_status`, find_any) of an index made for
  // `concepts` gives, by walking them.
  static std::optional<ConceptId> walk(const ConceptMap& concepts, std::string_view term,
                                       bool any_status);

 private:
  // `slot` is the term's hash with its lowest bit set for a concept that is
  // not Active: the Active concepts whose terms share a hash form one run of
  // keys in identifier order, the others the run after it. An Active
  // concept has a second key, whose slot is the hash of its term's normal
  // form with the second bit set.
  struct Key {
    std::uint64_t slot;
    ConceptId id;
    friend auto operator<=>(const Key&, const Key&) = default;
    friend bool operator==(const Key&, const Key&) = default;
  };
  static Key key_of(const ConceptId& id, const Concept& value);
  static std::optional<Key> normal_form_key_of(const ConceptId& id, const Entry<Concept>& entry);
  // The first concept of the run `slot` whose term is `term`.
  std::optional<ConceptId> first_in_run(std::uint64_t slot, std::string_view term) const;

  // Each key with the concept's entry (the same one the concept map holds),
  // whose term tells apart the terms that share a hash without a lookup in
  // the concept map.
  PersistentMap<Key, Entry<Concept>> keys_;
};

}  // namespace kelvora
