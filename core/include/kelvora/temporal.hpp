// Questions about the past of a record list, answered by unverified replay:
// the state after a record, the diff between two points, the history of one
// concept or term, and how coherence and direction developed record by
// record. A replay applies each record's operation again with the record's
// own time stamp and source and a zero previous chain hash; it never compares
// the hashes it produces with the stored ones, and drops the records it makes.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kelvora/analysis.hpp"
#include "kelvora/diff.hpp"
#include "kelvora/error.hpp"
#include "kelvora/knowledge_state.hpp"

namespace kelvora::temporal {

// One record's effect on a concept.
struct ConceptSnapshot {
  std::uint64_t record_index = 0;
  // "assert", "revise", "retract", "refine", "merge_source", "reinforce" or "split".
  std::string_view operation_type;
  // The definition the record gave: "assert", "revise" and "refine" only.
  std::optional<std::string> definition;
  // 1.0 for "assert", absent otherwise.
  std::optional<double> confidence;
  Timestamp timestamp;
};

// The coherence of the replayed state after one record.
struct CoherenceSnapshot {
  std::uint64_t record_index = 0;
  double coherence_score = 1.0;
  std::uint64_t contradiction_count = 0;  // Contradicts relations between Active concepts
  std::uint64_t concept_count = 0;        // every status
  analysis::Direction direction = analysis::Direction::Broadening;
};

// What a replay may take for granted about its records. Verified: they are
// one chain whose hashes were each checked when it was made or loaded, so
// each record's prior state hash is the hash of the state its predecessor
// made. When the first record's prior state hash is also the hash of the
// state the replay starts from, the replay makes every recorded state again,
// and the prior hash a Merge or Split needs for its derived identifiers is
// taken from its record; otherwise (and for Unchecked records) it is the
// hash of the replayed state. Results and errors are the same either way.
enum class RecordChain : bool { Unchecked, Verified };

// The state after records 0..index, replayed from a copy of `initial`. An
// index at or past the end is a ConflictDetected error; a record that cannot
// be replayed gives its operation's error.
Result<KnowledgeState> state_at(const KnowledgeState& initial,
                                std::span<const EvolutionRecord> records, std::uint64_t index,
                                RecordChain chain = RecordChain::Unchecked);

// The states after from_index and after to_index, from one replay. Errors as
// two separate state_at calls would give them: the order check first
// ("from_index {} > to_index {}"), then everything of the replay to
// from_index, then everything of the one to to_index.
struct RangeStates {
  KnowledgeState from_state;
  KnowledgeState to_state;
};
Result<RangeStates> range_states(const KnowledgeState& initial,
                                 std::span<const EvolutionRecord> records, std::uint64_t from_index,
                                 std::uint64_t to_index,
                                 RecordChain chain = RecordChain::Unchecked);

// diff::diff from the state at from_index to the state at to_index.
Result<StateDiff> range_diff(const KnowledgeState& initial,
                             std::span<const EvolutionRecord> records, std::uint64_t from_index,
                             std::uint64_t to_index, RecordChain chain = RecordChain::Unchecked);

// Every record that touched the concept, in record order. Relate and
// Restructure never touch one; a Merge touches its sources only and a Split
// the concept it splits, not the concepts they create.
std::vector<ConceptSnapshot> concept_history(std::span<const EvolutionRecord> records,
                                             const ConceptId& concept_id);

// The histories of every identifier the term (in normal form) has had: the
// concepts asserted with it, merged into it and split into it, in order of
// discovery, merged into one list by record index (stable).
std::vector<ConceptSnapshot> concept_history_by_term(std::span<const EvolutionRecord> records,
                                                     std::string_view term);

// One snapshot per record: the coherence of the state after it (over records
// 0..i) and the direction of the trailing window of `window` records (0: all
// records so far). Runs in time linear in the records beyond the replay.
Result<std::vector<CoherenceSnapshot>> convergence_trajectory(
    const KnowledgeState& initial, std::span<const EvolutionRecord> records, std::uint64_t window,
    RecordChain chain = RecordChain::Unchecked);

}  // namespace kelvora::temporal
