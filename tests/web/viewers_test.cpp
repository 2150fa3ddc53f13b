#include "web/viewers.h"

#include <gtest/gtest.h>

namespace iapflash::web {
namespace {

using namespace std::chrono_literals;

std::string TakeNow(Viewer& viewer, Viewer::Taken expected) {
  std::string out;
  EXPECT_EQ(viewer.Take(out, 0ms), expected);
  return out;
}

TEST(ViewerHubTest, RefusesViewersPastItsLimitAndTakesOneWhenAnotherLeaves) {
  ViewerHub hub(/*maxViewers=*/2, /*queueBytes=*/100);
  auto a = hub.Join("a");
  auto b = hub.Join("b");
  ASSERT_TRUE(a && b);
  EXPECT_EQ(hub.Join("c"), nullptr);
  hub.Leave(a);
  EXPECT_NE(hub.Join("c"), nullptr);
  EXPECT_EQ(hub.Count(), 2u);
}

TEST(ViewerHubTest, EveryViewerGetsItsFirstBytesThenWhatIsPublished) {
  ViewerHub hub(2, 100);
  auto a = hub.Join("first a;");
  hub.Publish("one;");
  auto b = hub.Join("first b;");
  hub.Publish("two;");
  EXPECT_EQ(TakeNow(*a, Viewer::Taken::Data), "first a;one;two;");
  EXPECT_EQ(TakeNow(*b, Viewer::Taken::Data), "first b;two;");
  TakeNow(*a, Viewer::Taken::Idle);
}

TEST(ViewerHubTest, AViewerThatFallsBehindLosesItsQueueAndIsClosedAlone) {
  ViewerHub hub(2, /*queueBytes=*/10);
  // A first batch larger than the queue still goes whole: it is what the viewer must draw.
  auto slow = hub.Join("a first batch of 30 bytes.....");
  auto quick = hub.Join("");
  hub.Publish("12345");
  EXPECT_EQ(TakeNow(*quick, Viewer::Taken::Data), "12345");
  hub.Publish("67890");
  EXPECT_EQ(TakeNow(*quick, Viewer::Taken::Data), "67890");
  TakeNow(*slow, Viewer::Taken::Closed);
  hub.Publish("after");
  TakeNow(*slow, Viewer::Taken::Closed);
  EXPECT_EQ(TakeNow(*quick, Viewer::Taken::Data), "after");
}

TEST(ViewerHubTest, UpToTheBoundNothingIsDropped) {
  ViewerHub hub(1, 10);
  auto viewer = hub.Join("");
  hub.Publish("12345");
  hub.Publish("67890");
  EXPECT_EQ(TakeNow(*viewer, Viewer::Taken::Data), "1234567890");
  hub.Publish("x");
  EXPECT_EQ(TakeNow(*viewer, Viewer::Taken::Data), "x");
  // A burst larger than the bound, published in one piece to a viewer that has taken all: whole.
  hub.Publish("a burst of 26 bytes.......");
  EXPECT_EQ(TakeNow(*viewer, Viewer::Taken::Data), "a burst of 26 bytes.......");
  // Anything on top of a burst not yet taken is past the bound.
  hub.Publish("a burst of 26 bytes.......");
  hub.Publish("y");
  TakeNow(*viewer, Viewer::Taken::Closed);
}

TEST(ViewerHubTest, CloseAllEndsEveryViewerAndRefusesNewOnes) {
  ViewerHub hub(4, 100);
  auto viewer = hub.Join("waiting");
  hub.CloseAll();
  TakeNow(*viewer, Viewer::Taken::Closed);
  EXPECT_EQ(hub.Join(""), nullptr);
}

}  // namespace
}  // namespace iapflash::web
