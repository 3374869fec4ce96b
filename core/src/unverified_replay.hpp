// An unverified replay: records applied again one after another, each with a
// zero previous chain hash and its own time stamp and source; the records
// this makes are dropped, so nothing is recorded and no state is hashed but
// the input state of a Merge or Split (their derived identifiers need it).
// When the records are a verified chain from the start state, that hash is
// the one the record holds; otherwise the last state hashed is kept, so that
// the next such hash resumes after the leading chunks both states share.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <utility>
#include <variant>

#include "kelvora/knowledge_state.hpp"
#include "kelvora/temporal.hpp"

namespace kelvora::temporal {

class UnverifiedReplay {
 public:
  // A replay of `records`, in order from the first, onto a copy of `initial`.
  UnverifiedReplay(const KnowledgeState& initial, std::span<const EvolutionRecord> records,
                   RecordChain chain)
      : state_(initial),
        recorded_hashes_(chain == RecordChain::Verified && !records.empty() &&
                         records.front().prior_state_hash == initial.state_hash()) {}

  const KnowledgeState& state() const { return state_; }
  KnowledgeState take() { return std::move(state_); }

  // The state after `record` (the next record of the replay), applied to the
  // current state, which stays as it is but, once the step succeeds, hands
  // its indexes on (it is to be replaced by advance).
  Result<KnowledgeState> next(const EvolutionRecord& record) const {
    return KnowledgeState::apply_unrecorded(
        state_, record.operation, ApplyContext{Hash::zero(), record.timestamp, record.source},
        KnowledgeState::ReplayStep{hashed_ ? &*hashed_ : nullptr,
                                   recorded_hashes_ ? &record.prior_state_hash : nullptr, true});
  }

  // The prior state hash next() made the derived identifiers of `record`
  // with, when it is a Merge or Split; zero for any other record, whose
  // input state is not hashed.
  Hash prior_hash(const EvolutionRecord& record) const {
    if (!std::holds_alternative<op::Merge>(record.operation) &&
        !std::holds_alternative<op::Split>(record.operation)) {
      return Hash::zero();
    }
    return recorded_hashes_ ? record.prior_state_hash : state_.state_hash();
  }

  // Makes `next` the current state.
  void advance(KnowledgeState next) {
    if (state_.hash_known()) hashed_ = std::move(state_);
    state_ = std::move(next);
  }

  // Applies records[begin, end); the first failure is returned as it is.
  Result<void> run(std::span<const EvolutionRecord> records, std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      auto applied = next(records[i]);
      if (!applied) return fail(std::move(applied.error()));
      advance(std::move(*applied));
    }
    return {};
  }

 private:
  KnowledgeState state_;
  // Whether each record's prior state hash is that of the replayed state it
  // applies to: a verified chain whose first record starts from `initial`
  // makes every recorded state again.
  bool recorded_hashes_;
  std::optional<KnowledgeState> hashed_;  // alive and unchanged while kept
};

}  // namespace kelvora::temporal
