// The record list a PyKnowledgeState object holds, shared with the objects
// made from it and with their branches, and the Merkle tree kept over it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "kelvora/merkle.hpp"
#include "kelvora/types.hpp"

namespace kelvora::py {

// An append-only list of records shared between the objects of one history.
//
// Records live in segments: a segment holds, in one vector, the records that
// follow the first `base` records of a parent history (none for a segment of
// its own). A history is a segment and a size; it sees its first records
// through the parent and the rest in the segment. Appending where a segment
// ends extends it in place, so building a history never copies a record.
// Appending to a shorter history first drops the records past it that no live
// history reaches any more (a result that was thrown away); only when another
// live history still sees them does the append start a new segment on top of
// this history. A branch therefore costs one record, never a copy.
//
// view() hands out a contiguous list: it joins a segment with its parent's
// records into one vector the first time it is asked (one copy of the history
// for the first whole-history call after a branch; the branch itself stays
// cheap). The Merkle levels kept with a joined segment serve every history
// that shares it.
class RecordHistory {
 public:
  RecordHistory() = default;
  explicit RecordHistory(std::vector<EvolutionRecord> records);
  RecordHistory(const RecordHistory& other);
  RecordHistory(RecordHistory&& other) noexcept;
  RecordHistory& operator=(RecordHistory other) noexcept;
  ~RecordHistory();

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  // Contiguous, record 0 first. An append to a history sharing these records
  // may move them: hold a RecordPin to keep a span or a reference across a
  // call into Python (which may run arbitrary code, including other appends).
  std::span<const EvolutionRecord> view() const;
  // Null when empty.
  const EvolutionRecord* last() const;

  // The first `count` records (count <= size()), sharing this history's storage.
  RecordHistory prefix(std::size_t count) const;
  // This history with `record` added at the end; may throw std::bad_alloc, in
  // which case nothing has changed.
  RecordHistory appended(EvolutionRecord record) const;

  // The Merkle root and inclusion proofs of the records, equal to those of
  // MerkleTree::from_records(view()), from the levels kept with the storage.
  Hash merkle_root() const;
  std::optional<MerkleProof> merkle_proof(std::uint64_t index) const;
  // How many tree nodes the storage keeps (fewer than its records).
  std::size_t merkle_node_count() const;

 private:
  friend class RecordPin;
  struct Storage;

  void attach() noexcept;
  void detach() noexcept;
  // Whether a live history sees records of this segment past this one's end.
  bool tail_is_seen() const;

  std::shared_ptr<Storage> storage_;
  std::size_t size_ = 0;
};

// While a RecordPin lives, the records of its history stay where they are: an
// append that would have to move them branches off instead.
class RecordPin {
 public:
  explicit RecordPin(const RecordHistory& history);
  ~RecordPin();
  RecordPin(const RecordPin&) = delete;
  RecordPin& operator=(const RecordPin&) = delete;

 private:
  RecordHistory history_;
};

}  // namespace kelvora::py
