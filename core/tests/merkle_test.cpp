#include "kelvora/merkle.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <functional>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "kelvora/operations.hpp"

namespace kelvora {
namespace {

// Leaf i of the test trees: 32 bytes of the value i + 1.
Hash leaf(std::size_t i) {
  Hash h;
  h.bytes.fill(static_cast<std::uint8_t>(i + 1));
  return h;
}

std::vector<Hash> leaves(std::size_t n) {
  std::vector<Hash> out;
  for (std::size_t i = 0; i < n; ++i) out.push_back(leaf(i));
  return out;
}

std::string failure(const Result<void>& r) { return r ? "ok" : r.error().message(); }

const std::string kPrefix = "merkle proof verification failed: ";

// Golden values from an independent computation (python3 hashlib) of the
// domain-separated hashes over the leaves above.
TEST(MerkleHashes, MatchIndependentDigests) {
  struct Case {
    const char* name;
    Hash computed;
    const char* hex;
  };
  const Case cases[] = {
      {"hash_leaf", merkle::hash_leaf(leaf(0)),
       "dcffe786ded16d283c663846ad0c4ff26558fccde36ca9d30b2ea19eade9fc0e"},
      {"hash_pair", merkle::hash_pair(leaf(0), leaf(1)),
       "b331da6ec49d4547d9942a6727e5123f69bed5a0b97ac171cfbfd6201431fcfa"},
      {"commit_root little-endian count", merkle::commit_root(0x0102030405060708ULL, leaf(2)),
       "186f152da3854cb221d59fb4bc04be0e5c97dda6a6de10e1b75062b25204c0be"},
      {"top of [a,b,c]", MerkleTree::from_leaves(leaves(3)).nodes[0],
       "603d687b5c3c7e5abebc0fdd1c8c120c18699996178c1ba6ade1cd814a533428"},
      {"top of [a,b,c,c]", MerkleTree::from_leaves({leaf(0), leaf(1), leaf(2), leaf(2)}).nodes[0],
       "603d687b5c3c7e5abebc0fdd1c8c120c18699996178c1ba6ade1cd814a533428"},
      {"root of [a,b,c,c]", MerkleTree::from_leaves({leaf(0), leaf(1), leaf(2), leaf(2)}).root,
       "67f4c8003dfeb8f41b4f1112a926099f46204ddb9a9f81d88c56c41f1c87cebd"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.computed.to_hex(), c.hex) << c.name;
}

TEST(MerkleTree, RootsOfSizes0To17MatchIndependentComputation) {
  const char* roots[] = {
      "0000000000000000000000000000000000000000000000000000000000000000",
      "1b21a08dbdcc96ee8bbd629051922e3abddf9ea47d91acd336e743d335b2dc2e",
      "8b3f15638b03060d3d741e6dcfa392cb46f9c4e962566c013de8a5e3797ba372",
      "49da84861a5eb3351a8bbd8aee2ca243118e2f2a5ee2169b84072eb70ec7dba0",
      "275437a82023cc1c996def91c34ed43eace822b658491bf924fa358b34a58c62",
      "32704f9be4fb8e7ea3730531099bdd636e80186ff69080181af94e19970208d1",
      "04d7227de1f7aa404dbea9916f76e6a0da856561bf06655bc09dcc7540ec4acf",
      "f01663989da8ca64de190a892795f8a6ccc37a96c2cd91a189db53237a7467c1",
      "f6637bb8471c70622ac260c0b476d298e7f5aebc8a78bb6cb0c8778cb1d3870d",
      "7c2c4b049c0656d8a50b536f655b4131a0009e28bad97731fc49517c2b8ccc65",
      "f21322f06dfc40a15cf2c61bf1ca8b4285c71dd847c8a768eefe58b8eded3f1a",
      "cb8797877965ed17297a30141e5e6b3468c5d13492a92b54c0f7f1a399a043fd",
      "58ace390e08e3aa99c2b260fb20adb07cf1b100fd9ec9183dbf24ba167ad1424",
      "e4ed787cda41374c243421e600fa0256a8fbaf6cc1e2a8ae109f2b8b3158a5cd",
      "b7835c823425287ba29d8a16bf2817aab3d4909317c62814cc6931355c355866",
      "8026f6dd1f95b3f946923268a6c82108c474b68638db587a5124741d1c85b7ea",
      "fc7893521374130b6bc0f8a1fd83e5a634465061ce82b0e19de89ef2e8710d39",
      "df8b60af96cd3fe4d4fbb921fc6815cb4f0a8461fe1de7fec5cda0d975e64bf8",
  };
  for (std::size_t n = 0; n <= 17; ++n) {
    std::vector<EvolutionRecord> records(n);
    for (std::size_t i = 0; i < n; ++i) records[i].chain_hash = leaf(i);
    const MerkleTree tree = MerkleTree::from_records(records);
    EXPECT_EQ(tree.root.to_hex(), roots[n]) << n << " leaves";
    EXPECT_EQ(tree.leaves, leaves(n));
    EXPECT_FALSE(tree.proof(n).has_value()) << n << " leaves";
  }
  EXPECT_EQ(MerkleTree::from_leaves({}).nodes, std::vector<Hash>{Hash::zero()});
}

TEST(MerkleProof, EveryMessage) {
  const MerkleTree four = MerkleTree::from_leaves(leaves(4));
  MerkleProof base = *four.proof(1);
  struct Case {
    const char* name;
    std::function<void(MerkleProof&)> change;
    std::string expected;
  };
  Hash other_root = four.root;
  other_root.bytes[31] ^= 1;
  const std::vector<Case> cases = {
      {"valid", [](MerkleProof&) {}, "ok"},
      {"no leaves, looked at first",
       [](MerkleProof& p) {
         p.leaf_count = 0;
         p.leaf_index = 7;
         p.path.clear();
       },
       kPrefix + "proof claims a tree with no leaves"},
      {"index at the count", [](MerkleProof& p) { p.leaf_index = 4; },
       kPrefix + "leaf_index 4 is outside a tree of 4 leaves"},
      {"4-leaf proof claiming 5 leaves", [](MerkleProof& p) { p.leaf_count = 5; },
       kPrefix + "path length 2 does not match the depth 3 implied by 5 leaves"},
      {"largest count", [](MerkleProof& p) { p.leaf_count = ~0ULL; },
       kPrefix +
           "path length 2 does not match the depth 64 implied by 18446744073709551615 leaves"},
      {"flag flipped", [](MerkleProof& p) { p.path[1].second = true; },
       kPrefix + "path direction at level 1 contradicts leaf_index 1"},
      {"wrong root", [&](MerkleProof& p) { p.root = other_root; },  // not consulted
       "ok"},
  };
  for (const Case& c : cases) {
    MerkleProof p = base;
    c.change(p);
    EXPECT_EQ(failure(merkle::verify_proof(p, four.root)), c.expected) << c.name;
  }
  EXPECT_EQ(failure(merkle::verify_proof(base, other_root)),
            kPrefix + "computed root " + four.root.to_hex() + " does not match expected root " +
                other_root.to_hex());
}

// Every proof of every tree of 1..17 leaves verifies, and every alteration of
// a path element, the index, the count or the root makes it fail.
TEST(MerkleProof, EveryLeafOfSmallTreesAndEveryAlteration) {
  const std::string root_mismatch = kPrefix + "computed root ";
  for (std::size_t n = 1; n <= 17; ++n) {
    const MerkleTree tree = MerkleTree::from_leaves(leaves(n));
    const std::size_t width = std::bit_ceil(std::max<std::size_t>(n, 2));
    const std::size_t depth = static_cast<std::size_t>(std::countr_zero(width));
    for (std::size_t i = 0; i < n; ++i) {
      const std::string at = std::to_string(n) + " leaves, index " + std::to_string(i);
      const MerkleProof proof = *tree.proof(i);
      ASSERT_EQ(proof.path.size(), depth) << at;
      EXPECT_EQ(proof.root, tree.root);
      EXPECT_EQ(failure(merkle::verify_proof(proof, tree.root)), "ok") << at;

      auto fails_with = [&](const MerkleProof& p, const Hash& root, const std::string& prefix) {
        const std::string got = failure(merkle::verify_proof(p, root));
        EXPECT_EQ(got.substr(0, prefix.size()), prefix) << at << ": " << got;
      };
      for (std::size_t level = 0; level < depth; ++level) {
        EXPECT_EQ(proof.path[level].second, ((i >> level) & 1U) != 0) << at;
        MerkleProof flipped = proof;
        flipped.path[level].second = !flipped.path[level].second;
        fails_with(flipped, tree.root,
                   kPrefix + "path direction at level " + std::to_string(level) +
                       " contradicts leaf_index " + std::to_string(i));
        MerkleProof sibling = proof;
        sibling.path[level].first.bytes[level] ^= 0x80;
        fails_with(sibling, tree.root, root_mismatch);
      }
      MerkleProof changed = proof;
      changed.leaf_hash.bytes[0] ^= 1;
      fails_with(changed, tree.root, root_mismatch);
      for (std::size_t j = 0; j < n; ++j) {
        if (j == i) continue;
        changed = proof;
        changed.leaf_index = j;
        fails_with(changed, tree.root,
                   kPrefix + "path direction at level " + std::to_string(std::countr_zero(i ^ j)) +
                       " contradicts leaf_index " + std::to_string(j));
      }
      changed = proof;
      changed.leaf_index = n;
      fails_with(changed, tree.root, kPrefix + "leaf_index " + std::to_string(n) + " is outside");
      // A count of the same depth changes only the commitment; one past the
      // padded width changes the depth.
      for (const std::size_t count : {n - 1, n + 1}) {
        if (count <= i || std::bit_ceil(std::max<std::size_t>(count, 2)) != width) continue;
        changed = proof;
        changed.leaf_count = count;
        fails_with(changed, tree.root, root_mismatch);
      }
      changed = proof;
      changed.leaf_count = width + 1;
      fails_with(changed, tree.root, kPrefix + "path length " + std::to_string(depth));
      changed = proof;
      changed.path.pop_back();
      fails_with(changed, tree.root, kPrefix + "path length " + std::to_string(depth - 1));
      Hash root = tree.root;
      root.bytes[5] ^= 4;
      fails_with(proof, root, root_mismatch + tree.root.to_hex());
    }
  }
}

// The kept levels give the roots and proofs of a tree built afresh while the
// list grows one record at a time, after it is cut back and grown with other
// records, and for a list that shares only a prefix with theirs.
TEST(MerkleLevels, EqualTheTreeBuiltAfresh) {
  std::vector<EvolutionRecord> records(70);
  for (std::size_t i = 0; i < records.size(); ++i) records[i].chain_hash = leaf(i);
  const auto same = [](MerkleLevels& levels, std::span<const EvolutionRecord> list) {
    const MerkleTree tree = MerkleTree::from_records(list);
    EXPECT_EQ(levels.root(list), tree.root) << list.size();
    for (std::size_t i = 0; i <= list.size(); ++i) {
      const auto got = levels.proof(list, i);
      const auto want = tree.proof(i);
      ASSERT_EQ(got.has_value(), want.has_value()) << list.size() << " " << i;
      if (!got) continue;
      EXPECT_EQ(
          std::tie(got->leaf_index, got->leaf_count, got->leaf_hash, got->root, got->path),
          std::tie(want->leaf_index, want->leaf_count, want->leaf_hash, want->root, want->path))
          << list.size() << " " << i;
    }
  };
  MerkleLevels grown;
  for (std::size_t n = 0; n <= records.size(); ++n) same(grown, std::span(records).first(n));
  EXPECT_LT(grown.node_count(), records.size());
  grown.truncate(37);
  for (std::size_t i = 37; i < records.size(); ++i) records[i].chain_hash = leaf(i + 100);
  for (const std::size_t n : {37, 40, 64, 70, 45}) same(grown, std::span(records).first(n));
  MerkleLevels shared = grown.prefix(45);
  // It keeps every node over those records: none is computed again.
  MerkleLevels over45;
  over45.root(std::span(records).first(45));
  EXPECT_EQ(shared.node_count(), over45.node_count());
  for (std::size_t i = 45; i < records.size(); ++i) records[i].chain_hash = leaf(i + 200);
  same(shared, std::span(records).first(60));
}

// The fields are public: a tree not made by from_leaves gives no proof
// rather than reading past its nodes.
TEST(MerkleTree, InconsistentFieldsGiveNoProof) {
  const MerkleTree good = MerkleTree::from_leaves(leaves(3));
  std::vector<std::function<void(MerkleTree&)>> breaks = {
      [](MerkleTree& t) { t.leaf_count = 9; },
      [](MerkleTree& t) { t.nodes.pop_back(); },
      [](MerkleTree& t) { t.nodes.resize(15); },
      [](MerkleTree& t) { t.leaves.pop_back(); },
  };
  for (std::size_t k = 0; k < breaks.size(); ++k) {
    MerkleTree t = good;
    breaks[k](t);
    EXPECT_FALSE(t.proof(2).has_value()) << k;
  }
}

// ------------------------------------------------- chain checks and replay

template <class T>
std::string outcome(const Result<T>& r) {
  return r ? "ok" : r.error().message();
}

struct History {
  KnowledgeState start;
  KnowledgeState end;
  std::vector<EvolutionRecord> records;
};

// Five chained steps from `start`, each stamped with its own time.
History make_history(const KnowledgeState& start) {
  History h{start, start, {}};
  const Concept a = Concept::create("alpha", "the first");
  const Concept b = Concept::create("beta", "the second");
  Relation r;
  r.id = RelationId::random();
  r.from_concept = a.id;
  r.to_concept = b.id;
  r.relation_type = RelationType::Supports;
  r.confidence = 0.75;
  const std::vector<EvolutionOperation> ops = {
      op::Assert{a},
      op::Assert{b},
      op::Relate{r},
      op::Refine{a.id, "the first, refined", {{3, "turn three"}}},
      op::Reinforce{b.id, {{4, "turn four"}}},
  };
  Hash prev;
  for (std::size_t i = 0; i < ops.size(); ++i) {
    const ApplyContext context{prev, Timestamp{1'700'000'000 + static_cast<std::int64_t>(i), 5000},
                               OperationSource::UserExplicit};
    auto applied = KnowledgeState::apply(h.end, ops[i], context);
    if (!applied) {
      ADD_FAILURE() << applied.error().message();
      break;
    }
    prev = applied->record.chain_hash;
    h.records.push_back(applied->record);
    h.end = std::move(applied->state);
  }
  return h;
}

// Recomputes the chain hashes from record `from` on, as a forger would.
void reseal(std::vector<EvolutionRecord>& records, std::size_t from) {
  for (std::size_t i = from; i < records.size(); ++i) {
    records[i].chain_hash =
        operations::recompute_chain_hash(records[i], i == 0 ? Hash{} : records[i - 1].chain_hash);
  }
}

std::string chain_failure(std::size_t index, const std::string& text) {
  return "chain verification failed at record index " + std::to_string(index) + ": " + text;
}

std::string continuity_failure(std::size_t index, const Hash& expected, const Hash& got) {
  return "state continuity failed at record index " + std::to_string(index) +
         ": expected prior_state_hash " + expected.to_hex() + ", got " + got.to_hex();
}

TEST(ChainVerification, TamperingIsReportedAtTheRightRecord) {
  const History h = make_history(KnowledgeState{});
  const std::vector<EvolutionRecord>& good = h.records;
  ASSERT_EQ(good.size(), 5U);
  const Hash empty_hash = KnowledgeState{}.state_hash();
  struct Case {
    const char* name;
    std::vector<EvolutionRecord> records;
    std::string chain, chain_and_continuity, replay;
  };
  std::vector<Case> cases;
  auto add = [&](const char* name, auto change, auto expected) {
    std::vector<EvolutionRecord> records = good;
    change(records);
    Case c{name, records, "ok", "ok", "ok"};
    expected(c);
    cases.push_back(std::move(c));
  };
  add("untouched", [](auto&) {}, [](Case&) {});
  add("record id changed", [](auto& rs) { rs[2].id = RecordId::random(); }, [](Case&) {});
  add(
      "score of 3 and prior hash of 1 changed",
      [](auto& rs) {
        rs[3].justification.minimality_score = 0.5;
        rs[1].prior_state_hash.bytes[0] ^= 1;
      },
      [&](Case& c) {
        c.chain = c.chain_and_continuity = chain_failure(
            1, "chain_hash mismatch: expected " +
                   operations::recompute_chain_hash(c.records[1], good[0].chain_hash).to_hex() +
                   ", got " + good[1].chain_hash.to_hex());
        c.replay =
            continuity_failure(1, c.records[1].prior_state_hash, good[0].resulting_state_hash);
      });
  add(
      "stored chain hash of 2 changed", [](auto& rs) { rs[2].chain_hash.bytes[31] ^= 1; },
      [&](Case& c) {
        c.chain = c.chain_and_continuity =
            chain_failure(2, "chain_hash mismatch: expected " + good[2].chain_hash.to_hex() +
                                 ", got " + c.records[2].chain_hash.to_hex());
        c.replay = chain_failure(2, "replay produced chain_hash " + good[2].chain_hash.to_hex() +
                                        ", expected " + c.records[2].chain_hash.to_hex());
      });
  add(
      "link between 2 and 3 broken, chain resealed",
      [](auto& rs) {
        rs[3].prior_state_hash = rs[1].resulting_state_hash;
        reseal(rs, 3);
      },
      [&](Case& c) {
        c.chain = c.chain_and_continuity =
            continuity_failure(3, good[2].resulting_state_hash, good[1].resulting_state_hash);
        c.replay =
            continuity_failure(3, good[1].resulting_state_hash, good[2].resulting_state_hash);
      });
  add(
      "last resulting hash changed, resealed",
      [](auto& rs) {
        rs[4].resulting_state_hash.bytes[9] ^= 1;
        reseal(rs, 4);
      },
      [&](Case& c) {
        c.replay = "hash mismatch: expected " + c.records[4].resulting_state_hash.to_hex() +
                   ", got " + good[4].resulting_state_hash.to_hex();
      });
  add(
      "last justification changed, resealed",
      [](auto& rs) {
        rs[4].justification.content_shift_score = 0.25;
        reseal(rs, 4);
      },
      [&](Case& c) {
        c.replay = chain_failure(4, "replay produced chain_hash " + good[4].chain_hash.to_hex() +
                                        ", expected " + c.records[4].chain_hash.to_hex());
      });
  add(
      "source of 0 changed", [](auto& rs) { rs[0].source = OperationSource::SystemEnrichment; },
      [&](Case& c) {
        const std::string recomputed =
            operations::recompute_chain_hash(c.records[0], Hash{}).to_hex();
        c.chain = c.chain_and_continuity =
            chain_failure(0, "chain_hash mismatch: expected " + recomputed + ", got " +
                                 good[0].chain_hash.to_hex());
        c.replay = chain_failure(0, "replay produced chain_hash " + recomputed + ", expected " +
                                        good[0].chain_hash.to_hex());
      });
  add(
      "operation that no longer applies, resealed",
      [](auto& rs) {
        rs[1].operation = op::Assert{Concept::create(" Alpha", "again")};
        reseal(rs, 1);
      },
      [&](Case& c) { c.replay = "duplicate term: concept with term ' Alpha' already exists"; });

  for (const Case& c : cases) {
    const auto chain = merkle::verify_chain(c.records, Hash{});
    EXPECT_EQ(outcome(chain), c.chain) << c.name;
    if (chain) {
      EXPECT_EQ(chain->records_checked, 5U) << c.name;
    }
    EXPECT_EQ(outcome(merkle::verify_chain_and_continuity(c.records, Hash{}, empty_hash)),
              c.chain_and_continuity)
        << c.name;
    const auto replayed = merkle::reconstruct_state(KnowledgeState{}, c.records, Hash{});
    EXPECT_EQ(outcome(replayed), c.replay) << c.name;
    if (replayed) {
      EXPECT_EQ(replayed->state_hash(), h.end.state_hash()) << c.name;
    }
  }
}

TEST(ChainVerification, InitialStateAndGenesis) {
  const KnowledgeState empty;
  auto loaded = KnowledgeState::apply(empty, op::Assert{Concept::create("gamma", "loaded")}, {});
  ASSERT_TRUE(loaded.has_value());
  const History h = make_history(loaded->state);
  const Hash empty_hash = empty.state_hash();
  const Hash loaded_hash = h.start.state_hash();
  const std::vector<EvolutionRecord> none;
  Hash genesis;
  genesis.bytes[0] = 1;

  struct Case {
    const char* name;
    std::string got, expected;
  };
  const Case cases[] = {
      {"empty list, chain", outcome(merkle::verify_chain(none, genesis)), "ok"},
      {"empty list, any initial hash", outcome(merkle::verify_state_continuity(none, genesis)),
       "ok"},
      {"empty list, both", outcome(merkle::verify_chain_and_continuity(none, genesis, genesis)),
       "ok"},
      {"chain from a loaded state", outcome(merkle::verify_chain(h.records, Hash{})), "ok"},
      {"other genesis", outcome(merkle::verify_chain(h.records, genesis)),
       chain_failure(0, "chain_hash mismatch: expected " +
                            operations::recompute_chain_hash(h.records[0], genesis).to_hex() +
                            ", got " + h.records[0].chain_hash.to_hex())},
      {"continuity against the empty state",
       outcome(merkle::verify_chain_and_continuity(h.records, Hash{}, empty_hash)),
       continuity_failure(0, empty_hash, loaded_hash)},
      {"continuity against the loaded state",
       outcome(merkle::verify_chain_and_continuity(h.records, Hash{}, loaded_hash)), "ok"},
      {"replay from the empty state", outcome(merkle::reconstruct_state(empty, h.records, Hash{})),
       continuity_failure(0, loaded_hash, empty_hash)},
  };
  for (const Case& c : cases) EXPECT_EQ(c.got, c.expected) << c.name;

  EXPECT_EQ(merkle::verify_chain(none, genesis)->records_checked, 0U);
  EXPECT_EQ(*merkle::reconstruct_state(h.start, none, genesis), h.start);
  const auto replayed = merkle::reconstruct_state(h.start, h.records, Hash{});
  ASSERT_TRUE(replayed.has_value()) << replayed.error().message();
  EXPECT_EQ(*replayed, h.end);
}

}  // namespace
}  // namespace kelvora
