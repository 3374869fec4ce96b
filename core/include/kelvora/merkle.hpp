// Merkle tree over a record list, inclusion proofs, chain verification and
// verified replay.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "kelvora/error.hpp"
#include "kelvora/knowledge_state.hpp"
#include "kelvora/types.hpp"

namespace kelvora {

struct MerkleProof {
  std::uint64_t leaf_index = 0;
  std::uint64_t leaf_count = 0;
  // The raw leaf (for a record list: the record's chain hash), not its leaf hash.
  Hash leaf_hash;
  // The root of the tree the proof was made from; verify_proof ignores it.
  Hash root;
  // (sibling, is_left) from the leaf level upward; is_left is true when the
  // sibling is the left child.
  std::vector<std::pair<Hash, bool>> path;
};

// A binary tree whose root also commits to the number of leaves. The leaf
// level is padded to a power of two (at least 2) with copies of the last leaf
// hash; the committed count keeps [a, b, c] and [a, b, c, c] apart.
struct MerkleTree {
  // Heap order: entry 0 is the top node, the children of i are 2i+1 and 2i+2.
  std::vector<Hash> nodes;
  std::vector<Hash> leaves;  // as given, unpadded
  std::uint64_t leaf_count = 0;
  Hash root;  // all zero for the empty tree

  static MerkleTree from_leaves(std::vector<Hash> leaves);
  // Leaves are the records' chain hashes, in record order.
  static MerkleTree from_records(std::span<const EvolutionRecord> records);

  // None when index is not below leaf_count.
  std::optional<MerkleProof> proof(std::uint64_t index) const;
};

// The nodes of the tree over a growing record list that no later record can
// change: the inner nodes whose leaves are all real (none is padding). Kept
// between calls, they give the root of the tree over any prefix of the list
// with O(log n) hashes and a proof of any record with one leaf hash more;
// extending them after an append costs O(1) hashes amortised. Leaf hashes
// are not kept (one is recomputed from its record when needed), so there are
// fewer kept nodes than records. Results equal MerkleTree::from_records.
//
// Every call must pass the first records of the list the kept nodes were
// computed over: the list may have grown at its end since, or been cut back
// after truncate().
class MerkleLevels {
 public:
  Hash root(std::span<const EvolutionRecord> records);
  // None when index is not below records.size().
  std::optional<MerkleProof> proof(std::span<const EvolutionRecord> records, std::uint64_t index);

  // Forgets every node over a record at or past `count`.
  void truncate(std::size_t count);
  // The nodes over the first `count` records only.
  MerkleLevels prefix(std::size_t count) const;
  std::size_t node_count() const;

 private:
  // The right edge of the tree over `count` records: the node at each level
  // that holds the last record, and the node over padding alone.
  struct Edge {
    std::size_t count = 0;
    std::vector<Hash> last;     // last[k]: the level-k node over record count-1
    std::vector<Hash> padding;  // padding[k]: a level-k node over copies of the last leaf hash
    Hash root;
  };

  void extend(std::span<const EvolutionRecord> records);
  const Edge& edge(std::span<const EvolutionRecord> records);
  // A node whose leaves are all real (level 0: the leaf hash, recomputed).
  Hash complete_node(std::span<const EvolutionRecord> records, std::size_t level,
                     std::size_t index) const;

  // levels_[k - 1]: the complete nodes of level k, left to right. A deque
  // grows without moving or over-allocating what it holds.
  std::vector<std::deque<Hash>> levels_;
  std::optional<Edge> edge_;
};

// The success value of the chain checks.
struct ChainVerification {
  std::uint64_t records_checked = 0;
};

namespace merkle {

// SHA-256 of 0x00 || leaf.
Hash hash_leaf(const Hash& leaf);
// SHA-256 of 0x01 || left || right.
Hash hash_pair(const Hash& left, const Hash& right);
// SHA-256 of 0x02 || leaf_count (u64 little-endian) || top.
Hash commit_root(std::uint64_t leaf_count, const Hash& top);

// Checks the proof's shape and recomputes the root from leaf_hash and path;
// fails with MerkleProofFailed naming the first problem found.
Result<void> verify_proof(const MerkleProof& proof, const Hash& expected_root);

// Recomputes every chain hash from `genesis`, then checks that each record
// starts from the state the record before it produced.
Result<ChainVerification> verify_chain(std::span<const EvolutionRecord> records,
                                       const Hash& genesis);
// Checks the first record against `initial_state_hash` and the links between
// consecutive records.
Result<void> verify_state_continuity(std::span<const EvolutionRecord> records,
                                     const Hash& initial_state_hash);
Result<ChainVerification> verify_chain_and_continuity(std::span<const EvolutionRecord> records,
                                                      const Hash& genesis,
                                                      const Hash& initial_state_hash);

// Replays every record's operation from `initial_state`, checking each record
// against what the replay produces; returns the final state.
Result<KnowledgeState> reconstruct_state(const KnowledgeState& initial_state,
                                         std::span<const EvolutionRecord> records,
                                         const Hash& genesis);

}  // namespace merkle
}  // namespace kelvora
