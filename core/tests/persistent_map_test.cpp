// PersistentMap against std::map as the model: random mixes of writes, with
// copies taken along the way that must keep their contents.
#include "kelvora/persistent_map.hpp"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

using kelvora::PersistentMap;

// A small chunk size, so that splits and merges happen at test sizes.
using Map = PersistentMap<int, std::string, 8>;
using Model = std::map<int, std::string>;

std::string text(int v) { return std::to_string(v); }

void expect_same(const Map& map, const Model& model) {
  ASSERT_EQ(map.size(), model.size());
  auto m = model.begin();
  for (const auto& [key, value] : map) {
    ASSERT_NE(m, model.end());
    EXPECT_EQ(key, m->first);
    EXPECT_EQ(value, m->second);
    ++m;
  }
  EXPECT_EQ(m, model.end());
  for (const auto& [key, value] : model) {
    auto it = map.find(key);
    ASSERT_NE(it, map.end());
    EXPECT_EQ(it->second, value);
  }
  // Present, absent, before the first and past the last key (the keys of
  // the mixes lie in 0..400).
  for (int key = -1; key <= 401; ++key) {
    const auto it = map.lower_bound(key);
    const auto expected = model.lower_bound(key);
    if (expected == model.end()) {
      EXPECT_EQ(it, map.end()) << key;
    } else {
      ASSERT_NE(it, map.end()) << key;
      EXPECT_EQ(it->first, expected->first) << key;
    }
  }
}

struct Mix {
  const char* name;
  int key_range;
  int insert_weight;  // out of 10; the rest erase
  int steps;
  bool ascending;  // keys in increasing order (bulk build)
};

class PersistentMapMix : public ::testing::TestWithParam<Mix> {};

TEST_P(PersistentMapMix, MatchesOrderedMapAndKeepsCopies) {
  const Mix mix = GetParam();
  std::mt19937 rng(17);
  Map map;
  Model model;
  std::vector<std::pair<Map, Model>> snapshots;
  int next_ascending = 0;
  for (int step = 0; step < mix.steps; ++step) {
    const int key = mix.ascending ? next_ascending++ : static_cast<int>(rng() % mix.key_range);
    const int choice = static_cast<int>(rng() % 10);
    if (choice < mix.insert_weight) {
      const int value = static_cast<int>(rng() % 1000);
      if (rng() % 2 == 0) {
        map.insert_or_assign(key, text(value));
        model.insert_or_assign(key, std::to_string(value));
      } else {
        const bool inserted = map.emplace(key, text(value)).second;
        EXPECT_EQ(inserted, model.emplace(key, std::to_string(value)).second);
      }
    } else if (rng() % 2 == 0) {
      EXPECT_EQ(map.erase(key), model.erase(key));
    } else {
      auto it = map.find(key);
      if (it != map.end()) {
        auto next = map.erase(it);
        auto model_next = model.erase(model.find(key));
        if (model_next == model.end()) {
          EXPECT_EQ(next, map.end());
        } else {
          ASSERT_NE(next, map.end());
          EXPECT_EQ(next->first, model_next->first);
        }
      }
    }
    if (step % 97 == 0) snapshots.emplace_back(map, model);
  }
  expect_same(map, model);
  for (const auto& [old_map, old_model] : snapshots) expect_same(old_map, old_model);
}

INSTANTIATE_TEST_SUITE_P(Mixes, PersistentMapMix,
                         ::testing::Values(Mix{"inserts", 400, 9, 3000, false},
                                           Mix{"balanced", 200, 5, 4000, false},
                                           Mix{"erases", 300, 3, 4000, false},
                                           Mix{"dense", 20, 6, 2000, false},
                                           Mix{"ascending", 0, 10, 1000, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PersistentMap, EraseIfKeepsUntouchedChunksShared) {
  struct Case {
    int modulus;  // erase keys divisible by this
    std::size_t left;
  };
  for (const Case c : {Case{1, 0}, Case{2, 50}, Case{7, 85}, Case{1000, 99}}) {
    Map map;
    for (int k = 0; k < 100; ++k) map.emplace(k, text(k));
    const Map copy = map;
    Model model;
    for (int k = 0; k < 100; ++k) {
      if (k % c.modulus != 0) model.emplace(k, std::to_string(k));
    }
    EXPECT_EQ(map.erase_if([&](const auto& kv) { return kv.first % c.modulus == 0; }),
              100 - c.left);
    expect_same(map, model);
    EXPECT_EQ(copy.size(), 100u);
    EXPECT_EQ(map == copy, c.left == 100);
  }
}

TEST(PersistentMap, EqualityAndLookupOfAbsentKeys) {
  Map a;
  Map b;
  EXPECT_EQ(a, b);
  EXPECT_EQ(a.find(3), a.end());
  EXPECT_FALSE(a.contains(3));
  EXPECT_THROW((void)a.at(3), std::out_of_range);
  for (int k : {5, 1, 9}) a.emplace(k, text(k));
  for (int k : {9, 5, 1}) b.emplace(k, text(k));
  EXPECT_EQ(a, b);  // same entries, inserted in another order
  b.insert_or_assign(5, text(6));
  EXPECT_FALSE(a == b);
  EXPECT_EQ(a.count(0), 0u);
  EXPECT_EQ(a.count(9), 1u);
  EXPECT_EQ(a.find(10), a.end());
}

}  // namespace
