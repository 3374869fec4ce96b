#include "kelvora/entry.hpp"

#include <gtest/gtest.h>

namespace kelvora {
namespace {

TEST(Entry, SharesItsNode) {
  Concept c = Concept::create("Caf\u00e9 ", "d");
  Entry<Concept> e(c);
  Entry<Concept> copy = e;
  EXPECT_TRUE(copy.same_node(e));
  EXPECT_EQ(copy, e);
  EXPECT_EQ(e.normalized_term(), "caf\u00e9");
  Entry<Concept> other(c);
  EXPECT_FALSE(other.same_node(e));
  EXPECT_EQ(other, e);  // equal by value
  EXPECT_EQ(other.canonical(), e.canonical());
  Relation r;
  Entry<Relation> re(r);
  EXPECT_TRUE(re.normalized_term().empty());
  EXPECT_TRUE(re.canonical().starts_with("\"00000000-0000-0000-0000-000000000000\":{\"id\":"));
}

}  // namespace
}  // namespace kelvora
