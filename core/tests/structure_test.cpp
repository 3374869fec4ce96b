#include "kelvora/structure.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace kelvora {
namespace {

StructureNodeId nid(std::uint8_t n) {
  StructureNodeId id;
  id.uuid.bytes[15] = n;
  return id;
}

struct NodeSpec {
  std::uint8_t id;
  std::optional<std::uint8_t> parent;
  std::uint32_t position;
  std::string title = "t";
};

StructureMap make(const std::vector<NodeSpec>& specs) {
  StructureMap map;
  for (const auto& s : specs) {
    StructureNode node;
    node.id = nid(s.id);
    node.title = s.title;
    if (s.parent) node.parent = nid(*s.parent);
    node.position = s.position;
    map.insert_or_assign(node.id, Entry<StructureNode>(node));
  }
  return map;
}

std::string uuid_text(std::uint8_t n) { return nid(n).to_string(); }

TEST(ValidateStructure, FirstFailingPassDecides) {
  struct Case {
    const char* name;
    std::vector<NodeSpec> nodes;
    std::optional<std::string> error;  // absent: valid
  };
  const std::vector<Case> cases = {
      {"empty", {}, std::nullopt},
      {"self parent", {{1, 1, 0}}, "cycle detected in parent chain involving node " + uuid_text(1)},
      {"missing parent before a cycle",
       {{1, 1, 0}, {2, 9, 0}},
       "node " + uuid_text(2) + " references nonexistent parent " + uuid_text(9)},
      {"two-node cycle names the lowest id",
       {{3, 4, 0}, {4, 3, 0}},
       "cycle detected in parent chain involving node " + uuid_text(3)},
      {"chain running into a cycle names its start",
       {{1, 3, 0}, {3, 4, 0}, {4, 3, 1}},
       "cycle detected in parent chain involving node " + uuid_text(1)},
      {"duplicate top-level position",
       {{1, std::nullopt, 0}, {2, std::nullopt, 0}},
       "duplicate position 0 among siblings with parent None"},
      {"duplicate child position",
       {{1, std::nullopt, 0}, {2, 1, 3}, {3, 1, 3}},
       "duplicate position 3 among siblings with parent Some(StructureNodeId(" + uuid_text(1) +
           "))"},
      {"same position under different parents, sparse positions",
       {{1, std::nullopt, 5}, {2, std::nullopt, 9}, {3, 1, 7}, {4, 2, 7}},
       std::nullopt},
      {"deep chain",
       {{1, std::nullopt, 0}, {2, 1, 0}, {3, 2, 0}, {4, 3, 0}, {5, 4, 0}},
       std::nullopt},
  };
  for (const auto& c : cases) {
    auto result = structure::validate_structure(make(c.nodes));
    if (!c.error) {
      EXPECT_TRUE(result.has_value()) << c.name << ": " << result.error().message();
    } else {
      ASSERT_FALSE(result.has_value()) << c.name;
      EXPECT_EQ(result.error().kind(), ErrorKind::InvalidStructure) << c.name;
      EXPECT_EQ(result.error().message(), "invalid structure: " + *c.error) << c.name;
    }
  }
}

TEST(GroupByParent, OrdersByPositionThenId) {
  auto groups = structure::group_by_parent(
      make({{5, std::nullopt, 2}, {1, std::nullopt, 2}, {3, std::nullopt, 0}, {7, 5, 1}}));
  ASSERT_EQ(groups.size(), 2u);
  EXPECT_EQ(groups.at(std::nullopt), (std::vector{nid(3), nid(1), nid(5)}));
  EXPECT_EQ(groups.at(nid(5)), (std::vector{nid(7)}));
  EXPECT_FALSE(groups.contains(nid(1)));  // a parent without children has no key
}

TEST(CountInversions, KeepsTheUnsortedHalvesRecursion) {
  struct Case {
    std::vector<std::uint64_t> s;
    std::uint64_t expected;
  };
  const std::vector<Case> cases = {
      {{}, 0},           {{4}, 0},          {{1, 2, 0}, 1},
      {{2, 0, 1, 3}, 3}, {{0, 1, 2, 3}, 0}, {{4, 3, 2, 1, 0}, 10},
      {{3, 3, 3}, 0},
  };
  for (const auto& c : cases) {
    const auto input = c.s;
    EXPECT_EQ(structure::count_inversions(c.s), c.expected);
    EXPECT_EQ(c.s, input);  // never reorders its input
  }
}

TEST(KendallTau, CountsOnlySharedIds) {
  const std::vector a{nid(1), nid(2), nid(3)};
  EXPECT_EQ(structure::kendall_tau_distance(a, a), 0.0);
  EXPECT_EQ(structure::kendall_tau_distance(a, std::vector{nid(3), nid(2), nid(1)}), 1.0);
  // nid(9) is not in the first list; (2, 1) leaves one of one pairs inverted.
  EXPECT_EQ(structure::kendall_tau_distance(a, std::vector{nid(9), nid(2), nid(1)}), 1.0);
  EXPECT_EQ(structure::kendall_tau_distance(a, std::vector{nid(2)}), 0.0);
  // (1, 2, 0) through the unsorted-halves count: 1 of 3 pairs.
  EXPECT_EQ(structure::kendall_tau_distance(a, std::vector{nid(2), nid(3), nid(1)}), 1.0 / 3.0);
}

TEST(StructureDelta, WorkedValues) {
  const auto four = make({{1, std::nullopt, 0}, {2, 1, 0}, {3, 1, 1}, {4, 1, 2}});
  struct Case {
    const char* name;
    StructureMap before;
    StructureMap after;
    double expected;
  };
  const std::vector<Case> cases = {
      {"both empty", {}, {}, 0.0},
      {"identical", four, four, 0.0},
      {"empty to non-empty", {}, four, 0.15},
      {"non-empty to empty", four, {}, 0.2},
      {"one title of four renamed", four,
       make({{1, std::nullopt, 0}, {2, 1, 0}, {3, 1, 1, "renamed"}, {4, 1, 2}}), 0.025},
      {"only counted group reversed", four,
       make({{1, std::nullopt, 0}, {2, 1, 2}, {3, 1, 1}, {4, 1, 0}}), 0.3},
      {"reversed beside an unchanged top-level pair",
       make({{1, std::nullopt, 0}, {5, std::nullopt, 1}, {2, 1, 0}, {3, 1, 1}}),
       make({{1, std::nullopt, 0}, {5, std::nullopt, 1}, {2, 1, 1}, {3, 1, 0}}), 0.15},
      {"single-child groups do not count", make({{1, std::nullopt, 0}, {2, 1, 0}}),
       make({{1, std::nullopt, 0}, {2, 1, 4}}), 0.0},
  };
  for (const auto& c : cases) {
    EXPECT_DOUBLE_EQ(structure::structure_delta(c.before, c.after), c.expected) << c.name;
  }
  // Bit-exact where the worked value is exact in binary arithmetic.
  EXPECT_EQ(structure::structure_delta({}, four), 0.15);
  EXPECT_EQ(structure::structure_delta(four, {}), 0.2);
}

TEST(StructureDelta, MixedChangeFollowsTheStatedGrouping) {
  // old {1, 2 (child of 1), 3 (child of 1)}, new {1 renamed, 3, 4}: one
  // removed, one added, one title of two common changed, group of 1 is [2,3]
  // vs [3] -> tau 0.
  auto before = make({{1, std::nullopt, 0}, {2, 1, 0}, {3, 1, 1}});
  auto after = make({{1, std::nullopt, 0, "x"}, {3, 1, 1}, {4, std::nullopt, 1}});
  const double expected = (0.5 * 0.1 + ((1.0 / 6.0) * 0.2 + (1.0 / 6.0) * 0.15)) + 0.0;
  EXPECT_EQ(structure::structure_delta(before, after), expected);
}

}  // namespace
}  // namespace kelvora
