// The engine's knowledge state: three identifier-keyed maps of shared
// entries, its cached hash, and the one way it changes (apply).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

#include "kelvora/entry.hpp"
#include "kelvora/error.hpp"
#include "kelvora/types.hpp"

namespace kelvora {

struct ApplyContext {
  Hash prev_chain_hash;
  std::optional<Timestamp> timestamp;  // absent: the engine reads the clock once
  OperationSource source = OperationSource::UserExplicit;
};

struct StateDiff;
struct ApplyResult;
class TermIndex;
class RelationIndex;
namespace serialization {
class HashTrail;
}
namespace analysis {
struct DerivationIndex;
}

// A knowledge state. Treat a state as immutable once its hash, its
// derivation index or a term has been asked for: each is made once and
// kept. A copy starts without them (so it may be changed and then asked);
// a move keeps them.
struct KnowledgeState {
  ConceptMap concepts;
  RelationMap relations;
  StructureMap structure;

  KnowledgeState() = default;
  KnowledgeState(const KnowledgeState& other)
      : concepts(other.concepts), relations(other.relations), structure(other.structure) {}
  KnowledgeState(KnowledgeState&&) noexcept = default;
  KnowledgeState& operator=(const KnowledgeState& other) {
    if (this != &other) {
      concepts = other.concepts;
      relations = other.relations;
      structure = other.structure;
      hash_cache_.reset();
      hash_trail_.reset();
      derivation_index_.reset();
      term_index_.reset();
      relation_index_.reset();
      lookups_walked_ = 0;
    }
    return *this;
  }
  KnowledgeState& operator=(KnowledgeState&&) noexcept = default;

  bool empty() const { return concepts.empty() && relations.empty() && structure.empty(); }

  // serialization::state_hash, computed once per state.
  Hash state_hash() const;
  // The same hash; the text up to the first chunk of entries not shared with
  // `prior` is not hashed again (`prior` is hashed first if it was not).
  Hash state_hash_from(const KnowledgeState& prior) const;
  // operations::compute_structure_hash of the structure map.
  Hash structure_hash() const;

  // The only way a state changes: check `operation` against `state`, build the
  // new state from copies and document the step in a chained record.
  static Result<ApplyResult> apply(const KnowledgeState& state, const EvolutionOperation& operation,
                                   const ApplyContext& context);

  // What a replay tells apply_unrecorded about its input state.
  struct ReplayStep {
    // An earlier state of the replay whose hash is known, alive and
    // unchanged, or null.
    const KnowledgeState* hashed_before = nullptr;
    // The input state's hash as the caller knows it, or null.
    const Hash* known_hash = nullptr;
    // The caller drops the input state once the step succeeds: the indexes
    // that only it holds move on to the new state rather than being copied.
    bool drops_input = false;
  };
  // apply for replays that drop their records: the new state alone, no
  // record. No state is hashed but the input state of a Merge or Split,
  // whose derived identifiers need its hash: the known hash when given
  // (nothing is hashed), else the input state's, resuming after the leading
  // chunks it shares with `hashed_before` when that is given. The new state
  // is hashed when asked. Errors as apply's.
  static Result<KnowledgeState> apply_unrecorded(const KnowledgeState& state,
                                                 const EvolutionOperation& operation,
                                                 const ApplyContext& context,
                                                 const ReplayStep& replay);
  // apply_unrecorded for a state the replay owns and drops once the step
  // succeeds: the new state takes over its maps, so that chunks no other
  // state shares change in place, and `state` becomes the new state. A
  // failing step leaves `state` as it was (every check runs before the
  // first change). Errors as apply's.
  static Result<void> apply_unrecorded_in_place(KnowledgeState& state,
                                                const EvolutionOperation& operation,
                                                const ApplyContext& context,
                                                const ReplayStep& replay);
  // Whether the hash has been computed (and is kept).
  bool hash_known() const { return hash_cache_.has_value(); }

  // The DerivesFrom relations by the concept they point to and the structure
  // nodes by the concepts they refer to, built on first use and kept, as
  // the hash is (impact radius).
  const analysis::DerivationIndex& derivation_index() const;
  // The key of the first Active concept, in identifier order, whose term is
  // byte for byte `term`; with `any_status`, of the first concept of any
  // status. The first few lookups along a line of states made by apply walk
  // the concepts; then an index of terms is made and kept, and carried over
  // to the states apply makes from this one.
  std::optional<ConceptId> find_concept_by_term(std::string_view term,
                                                bool any_status = false) const;
  // The index of terms for a question that otherwise walks the concepts (a
  // lookup by term, or whether a new term's normal form is taken): null,
  // with the walk counted, while the line of states has walked fewer times
  // than the index costs; then made, kept and carried over as above.
  const TermIndex* term_index_past_walks() const;
  // The relations by the concepts they name (and the DerivesFrom ones by
  // the concept they start from), made on first use and kept; carried over
  // to the states apply makes from this one.
  const RelationIndex& relation_index() const;

  // diff::diff(*this, other).
  StateDiff diff(const KnowledgeState& other) const;

  friend bool operator==(const KnowledgeState& a, const KnowledgeState& b) {
    return a.concepts == b.concepts && a.relations == b.relations && a.structure == b.structure;
  }

 private:
  mutable std::optional<Hash> hash_cache_;
  mutable std::shared_ptr<const serialization::HashTrail> hash_trail_;  // set with the hash
  mutable std::shared_ptr<const analysis::DerivationIndex> derivation_index_;
  mutable std::shared_ptr<const TermIndex> term_index_;
  mutable std::uint32_t lookups_walked_ = 0;  // before the index was made
  mutable std::shared_ptr<const RelationIndex> relation_index_;

  // Gives `next`, made from this state by changing the concepts and
  // relations under `concepts` and `relations`, the indexes this state has
  // (updated) or its count of walks.
  // With `hand_over`, an index only this state holds moves to `next`.
  void carry_indexes(KnowledgeState& next, std::span<const ConceptId> concepts,
                     std::span<const RelationId> relations, bool hand_over = false) const;
};

struct ApplyResult {
  KnowledgeState state;
  EvolutionRecord record;
};

}  // namespace kelvora
