// TBoundedRing: order, the free slot that bounds it, and going round the array.
#include "platform/ring.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace orlo {
namespace {

TEST(BoundedRing, KeepsOrderRefusesWhenFullAndGoesRoundTheArray) {
  TBoundedRing<std::string, 4> ring;
  EXPECT_TRUE(ring.Empty());
  EXPECT_EQ(ring.Front(), nullptr);
  ring.PopFront();  // nothing to remove: no harm
  for (int round = 0; round < 5; ++round) {
    EXPECT_TRUE(ring.Push("a"));
    EXPECT_TRUE(ring.Push("b"));
    EXPECT_TRUE(ring.Push("c"));
    EXPECT_FALSE(ring.Push("d")) << "one slot stays free";
    EXPECT_EQ(ring.Size(), 3);
    for (const char* want : {"a", "b", "c"}) {
      ASSERT_NE(ring.Front(), nullptr);
      EXPECT_EQ(*ring.Front(), want);
      ring.PopFront();
    }
    EXPECT_TRUE(ring.Empty());
    EXPECT_TRUE(ring.Push("x"));  // shifts the start, so the next round wraps elsewhere
    ring.PopFront();
  }
}

TEST(BoundedRing, ARemovedItemIsReleased) {
  TBoundedRing<std::shared_ptr<int>, 2> ring;
  auto item = std::make_shared<int>(7);
  ASSERT_TRUE(ring.Push(item));
  EXPECT_EQ(item.use_count(), 2);
  ring.PopFront();
  EXPECT_EQ(item.use_count(), 1);
}

}  // namespace
}  // namespace orlo
