// An unverified replay: records applied again one after another, each with a
// zero previous chain hash and its own time stamp and source; the records
// this makes are dropped, so nothing is recorded and no state is hashed but
// the input state of a Merge or Split (their derived identifiers need it).
// When the records are a verified chain from the start state, that hash is
// the one the record holds; otherwise the last state hashed is kept, so that
// the next such hash resumes after the leading chunks both states share.
// A step whose input state is neither hashed nor to be hashed builds the
// new state in that state's own maps: chunks that no other state (the
// caller's start state, a state kept by the caller, the last state hashed)
// shares are changed in place instead of copied.
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

  // Applies `record` (the next record of the replay) to the current state,
  // which becomes the state after it; a failing step leaves the current
  // state as it was. Gives the prior state hash the derived identifiers of
  // a Merge or Split were made with; zero for any other record, whose input
  // state is not hashed.
  Result<Hash> step(const EvolutionRecord& record) {
    const bool derives = std::holds_alternative<op::Merge>(record.operation) ||
                         std::holds_alternative<op::Split>(record.operation);
    const ApplyContext context{Hash::zero(), record.timestamp, record.source};
    const KnowledgeState::ReplayStep replay{
        hashed_ ? &*hashed_ : nullptr, recorded_hashes_ ? &record.prior_state_hash : nullptr, true};
    if (derives && !recorded_hashes_) {
      // The input state is hashed and kept, so that the next hash resumes
      // after the chunks it shares with the state after it.
      auto applied = KnowledgeState::apply_unrecorded(state_, record.operation, context, replay);
      if (!applied) return fail(std::move(applied.error()));
      const Hash prior = state_.state_hash();
      hashed_ = std::move(state_);
      state_ = std::move(*applied);
      return prior;
    }
    auto applied =
        KnowledgeState::apply_unrecorded_in_place(state_, record.operation, context, replay);
    if (!applied) return fail(std::move(applied.error()));
    return derives ? record.prior_state_hash : Hash::zero();
  }

  // Applies records[begin, end); the first failure is returned as it is.
  Result<void> run(std::span<const EvolutionRecord> records, std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      if (auto stepped = step(records[i]); !stepped) return fail(std::move(stepped.error()));
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
