#include "kelvora/merkle.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string>

#include "kelvora/operations.hpp"
#include "kelvora/sha256.hpp"

namespace kelvora {
namespace {

template <std::size_t N>
Hash sha256(const std::array<unsigned char, N>& input) {
  return serialization::compute_hash(
      std::string_view(reinterpret_cast<const char*>(input.data()), input.size()));
}

constexpr unsigned char kLeafDomain = 0x00;
constexpr unsigned char kPairDomain = 0x01;
constexpr unsigned char kRootDomain = 0x02;

// P: the leaf level's width, a power of two, at least 2.
std::size_t padded_width(std::size_t leaf_count) {
  return std::bit_ceil(std::max<std::size_t>(leaf_count, 2));
}

EngineError proof_failure(std::string message) {
  return EngineError::merkle_proof_failed(std::move(message));
}

// The link pass shared by the chain and continuity checks: each record must
// start from the state the record before it produced.
Result<void> check_links(std::span<const EvolutionRecord> records) {
  for (std::size_t i = 1; i < records.size(); ++i) {
    const Hash& expected = records[i - 1].resulting_state_hash;
    const Hash& got = records[i].prior_state_hash;
    if (expected != got) {
      return fail(EngineError::state_continuity_failed(i, expected.to_hex(), got.to_hex()));
    }
  }
  return {};
}

}  // namespace

// ---------------------------------------------------------------- hashing

namespace merkle {

Hash hash_leaf(const Hash& leaf) {
  std::array<unsigned char, 33> input;
  input[0] = kLeafDomain;
  std::memcpy(input.data() + 1, leaf.bytes.data(), 32);
  return sha256(input);
}

Hash hash_pair(const Hash& left, const Hash& right) {
  std::array<unsigned char, 65> input;
  input[0] = kPairDomain;
  std::memcpy(input.data() + 1, left.bytes.data(), 32);
  std::memcpy(input.data() + 33, right.bytes.data(), 32);
  return sha256(input);
}

Hash commit_root(std::uint64_t leaf_count, const Hash& top) {
  std::array<unsigned char, 41> input;
  input[0] = kRootDomain;
  for (int i = 0; i < 8; ++i) {
    input[1 + i] = static_cast<unsigned char>(leaf_count >> (8 * i));
  }
  std::memcpy(input.data() + 9, top.bytes.data(), 32);
  return sha256(input);
}

}  // namespace merkle

// ------------------------------------------------------------------- tree

MerkleTree MerkleTree::from_leaves(std::vector<Hash> leaves) {
  MerkleTree tree;
  if (leaves.empty()) {
    tree.nodes.assign(1, Hash::zero());
    return tree;
  }
  const std::size_t n = leaves.size();
  const std::size_t width = padded_width(n);
  const std::size_t first_leaf = width - 1;
  tree.nodes.resize(2 * width - 1);
  for (std::size_t i = 0; i < n; ++i) {
    tree.nodes[first_leaf + i] = merkle::hash_leaf(leaves[i]);
  }
  std::fill(tree.nodes.begin() + static_cast<std::ptrdiff_t>(first_leaf + n), tree.nodes.end(),
            tree.nodes[first_leaf + n - 1]);
  for (std::size_t i = first_leaf; i-- > 0;) {
    tree.nodes[i] = merkle::hash_pair(tree.nodes[2 * i + 1], tree.nodes[2 * i + 2]);
  }
  tree.leaves = std::move(leaves);
  tree.leaf_count = n;
  tree.root = merkle::commit_root(n, tree.nodes[0]);
  return tree;
}

MerkleTree MerkleTree::from_records(std::span<const EvolutionRecord> records) {
  std::vector<Hash> leaves;
  leaves.reserve(records.size());
  for (const EvolutionRecord& record : records) {
    leaves.push_back(record.chain_hash);
  }
  return from_leaves(std::move(leaves));
}

std::optional<MerkleProof> MerkleTree::proof(std::uint64_t index) const {
  if (index >= leaf_count) {
    return std::nullopt;
  }
  // The fields are public; refuse a tree that from_leaves cannot have built
  // rather than read past its nodes.
  const std::size_t width = (nodes.size() + 1) / 2;
  if (leaves.size() != leaf_count || !std::has_single_bit(nodes.size() + 1) ||
      width != padded_width(leaves.size())) {
    return std::nullopt;
  }
  MerkleProof proof;
  proof.leaf_index = index;
  proof.leaf_count = leaf_count;
  proof.leaf_hash = leaves[index];
  proof.root = root;
  proof.path.reserve(static_cast<std::size_t>(std::countr_zero(width)));
  for (std::size_t pos = width - 1 + index; pos != 0; pos = (pos - 1) / 2) {
    if (pos % 2 == 1) {
      proof.path.emplace_back(nodes[pos + 1], false);
    } else {
      proof.path.emplace_back(nodes[pos - 1], true);
    }
  }
  return proof;
}

// ------------------------------------------------------------ kept levels

Hash MerkleLevels::complete_node(std::span<const EvolutionRecord> records, std::size_t level,
                                 std::size_t index) const {
  if (level == 0) return merkle::hash_leaf(records[index].chain_hash);
  return levels_[level - 1][index];
}

void MerkleLevels::extend(std::span<const EvolutionRecord> records) {
  const std::size_t n = records.size();
  for (std::size_t level = 1; (n >> level) != 0; ++level) {
    if (levels_.size() < level) levels_.emplace_back();
    std::deque<Hash>& nodes = levels_[level - 1];
    while (nodes.size() < (n >> level)) {
      const std::size_t left = 2 * nodes.size();
      nodes.push_back(merkle::hash_pair(complete_node(records, level - 1, left),
                                        complete_node(records, level - 1, left + 1)));
    }
  }
}

const MerkleLevels::Edge& MerkleLevels::edge(std::span<const EvolutionRecord> records) {
  const std::size_t n = records.size();
  if (edge_ && edge_->count == n) return *edge_;
  extend(records);
  const auto depth = static_cast<std::size_t>(std::countr_zero(padded_width(n)));
  Edge fresh;
  fresh.count = n;
  fresh.last.reserve(depth + 1);
  fresh.padding.reserve(depth);
  fresh.last.push_back(merkle::hash_leaf(records[n - 1].chain_hash));
  fresh.padding.push_back(fresh.last[0]);
  for (std::size_t level = 0; level < depth; ++level) {
    const std::size_t index = (n - 1) >> level;
    const Hash& node = fresh.last[level];
    // A right child's left sibling is complete; a left child's right sibling
    // lies past the last record, so it is padding alone.
    fresh.last.push_back(index % 2 == 1
                             ? merkle::hash_pair(complete_node(records, level, index - 1), node)
                             : merkle::hash_pair(node, fresh.padding[level]));
    if (level + 1 < depth) {
      fresh.padding.push_back(merkle::hash_pair(fresh.padding[level], fresh.padding[level]));
    }
  }
  fresh.root = merkle::commit_root(n, fresh.last[depth]);
  edge_ = std::move(fresh);
  return *edge_;
}

Hash MerkleLevels::root(std::span<const EvolutionRecord> records) {
  if (records.empty()) return Hash::zero();
  return edge(records).root;
}

std::optional<MerkleProof> MerkleLevels::proof(std::span<const EvolutionRecord> records,
                                               std::uint64_t index) {
  const std::size_t n = records.size();
  if (index >= n) return std::nullopt;
  const Edge& right = edge(records);
  MerkleProof proof;
  proof.leaf_index = index;
  proof.leaf_count = n;
  proof.leaf_hash = records[index].chain_hash;
  proof.root = right.root;
  proof.path.reserve(right.padding.size());
  for (std::size_t level = 0; level < right.padding.size(); ++level) {
    const std::size_t sibling = static_cast<std::size_t>(index >> level) ^ 1U;
    const bool is_left = (sibling & 1U) == 0;
    if (((sibling + 1) << level) <= n) {
      proof.path.emplace_back(complete_node(records, level, sibling), is_left);
    } else if ((sibling << level) < n) {
      proof.path.emplace_back(right.last[level], is_left);
    } else {
      proof.path.emplace_back(right.padding[level], is_left);
    }
  }
  return proof;
}

void MerkleLevels::truncate(std::size_t count) {
  for (std::size_t level = 1; level <= levels_.size(); ++level) {
    std::deque<Hash>& nodes = levels_[level - 1];
    if (nodes.size() > (count >> level)) nodes.resize(count >> level);
  }
  while (!levels_.empty() && levels_.back().empty()) levels_.pop_back();
  if (edge_ && edge_->count > count) edge_.reset();
}

MerkleLevels MerkleLevels::prefix(std::size_t count) const {
  MerkleLevels out;
  for (std::size_t level = 1; level <= levels_.size() && (count >> level) != 0; ++level) {
    const std::deque<Hash>& nodes = levels_[level - 1];
    const auto kept = static_cast<std::ptrdiff_t>(std::min(nodes.size(), count >> level));
    out.levels_.emplace_back(nodes.begin(), nodes.begin() + kept);
  }
  if (edge_ && edge_->count <= count) out.edge_ = edge_;
  return out;
}

std::size_t MerkleLevels::node_count() const {
  std::size_t total = 0;
  for (const std::deque<Hash>& nodes : levels_) total += nodes.size();
  return total;
}

namespace merkle {

// ------------------------------------------------------------------ proofs

Result<void> verify_proof(const MerkleProof& proof, const Hash& expected_root) {
  if (proof.leaf_count == 0) {
    return fail(proof_failure("proof claims a tree with no leaves"));
  }
  if (proof.leaf_index >= proof.leaf_count) {
    return fail(proof_failure("leaf_index " + std::to_string(proof.leaf_index) +
                              " is outside a tree of " + std::to_string(proof.leaf_count) +
                              " leaves"));
  }
  const auto depth =
      static_cast<std::size_t>(std::bit_width(std::max<std::uint64_t>(proof.leaf_count, 2) - 1));
  if (proof.path.size() != depth) {
    return fail(proof_failure("path length " + std::to_string(proof.path.size()) +
                              " does not match the depth " + std::to_string(depth) +
                              " implied by " + std::to_string(proof.leaf_count) + " leaves"));
  }
  Hash current = hash_leaf(proof.leaf_hash);
  for (std::size_t level = 0; level < depth; ++level) {
    const bool is_right_child = ((proof.leaf_index >> level) & 1U) != 0;
    const auto& [sibling, is_left] = proof.path[level];
    if (is_right_child != is_left) {
      return fail(proof_failure("path direction at level " + std::to_string(level) +
                                " contradicts leaf_index " + std::to_string(proof.leaf_index)));
    }
    current = is_right_child ? hash_pair(sibling, current) : hash_pair(current, sibling);
  }
  const Hash computed = commit_root(proof.leaf_count, current);
  if (computed != expected_root) {
    return fail(proof_failure("computed root " + computed.to_hex() +
                              " does not match expected root " + expected_root.to_hex()));
  }
  return {};
}

// ------------------------------------------------------------------- chain

Result<ChainVerification> verify_chain(std::span<const EvolutionRecord> records,
                                       const Hash& genesis) {
  // Every chain hash is checked before any link, so a tampered payload is
  // reported where it is, not at the broken link it may also cause.
  const Hash* prev = &genesis;
  for (std::size_t i = 0; i < records.size(); ++i) {
    const EvolutionRecord& record = records[i];
    const Hash recomputed = operations::recompute_chain_hash(record, *prev);
    if (recomputed != record.chain_hash) {
      return fail(EngineError::chain_verification_failed(i, "chain_hash mismatch: expected " +
                                                                recomputed.to_hex() + ", got " +
                                                                record.chain_hash.to_hex()));
    }
    prev = &record.chain_hash;
  }
  if (auto links = check_links(records); !links) {
    return fail(std::move(links.error()));
  }
  return ChainVerification{records.size()};
}

Result<void> verify_state_continuity(std::span<const EvolutionRecord> records,
                                     const Hash& initial_state_hash) {
  if (records.empty()) {
    return {};
  }
  if (records[0].prior_state_hash != initial_state_hash) {
    return fail(EngineError::state_continuity_failed(0, initial_state_hash.to_hex(),
                                                     records[0].prior_state_hash.to_hex()));
  }
  return check_links(records);
}

Result<ChainVerification> verify_chain_and_continuity(std::span<const EvolutionRecord> records,
                                                      const Hash& genesis,
                                                      const Hash& initial_state_hash) {
  auto checked = verify_chain(records, genesis);
  if (!checked) {
    return checked;
  }
  if (auto continuity = verify_state_continuity(records, initial_state_hash); !continuity) {
    return fail(std::move(continuity.error()));
  }
  return checked;
}

// ------------------------------------------------------------------ replay

Result<KnowledgeState> reconstruct_state(const KnowledgeState& initial_state,
                                         std::span<const EvolutionRecord> records,
                                         const Hash& genesis) {
  KnowledgeState current = initial_state;
  Hash prev = genesis;
  for (std::size_t i = 0; i < records.size(); ++i) {
    const EvolutionRecord& record = records[i];
    const Hash before = current.state_hash();
    if (before != record.prior_state_hash) {
      return fail(EngineError::state_continuity_failed(i, record.prior_state_hash.to_hex(),
                                                       before.to_hex()));
    }
    // The record's own time stamp: a replay reads no clock, and Merge and
    // Split date the concepts they create with it.
    const ApplyContext context{prev, record.timestamp, record.source};
    auto applied = KnowledgeState::apply(current, record.operation, context);
    if (!applied) {
      return fail(std::move(applied.error()));
    }
    const Hash after = applied->state.state_hash();
    if (after != record.resulting_state_hash) {
      return fail(EngineError::hash_mismatch(record.resulting_state_hash.to_hex(), after.to_hex()));
    }
    if (applied->record.chain_hash != record.chain_hash) {
      return fail(EngineError::chain_verification_failed(
          i, "replay produced chain_hash " + applied->record.chain_hash.to_hex() + ", expected " +
                 record.chain_hash.to_hex()));
    }
    prev = record.chain_hash;
    current = std::move(applied->state);
  }
  return current;
}

}  // namespace merkle
}  // namespace kelvora
