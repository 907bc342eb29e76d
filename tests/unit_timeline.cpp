// Keyframe tracks and the script's choices by time, without drawing.
#include <gtest/gtest.h>

#include "timeline.h"

static const std::vector<KEY> kTrack = {{0, 0}, {2, 0}, {2.25f, 1}, {10, 1}};

TEST(GetValue, TheDesignsTrack) {
  EXPECT_EQ(GetValue(kTrack, -0.5f), 0.0f);
  // Exactly the first key's time is not strictly after it: no pair matches.
  EXPECT_EQ(GetValue(kTrack, 0.0f), 1.0f);
  EXPECT_FLOAT_EQ(GetValue(kTrack, 2.125f), 0.5f);
  EXPECT_EQ(GetValue(kTrack, 2.25f), 1.0f);  // exactly, from the products added
  EXPECT_EQ(GetValue(kTrack, 2.0f), 0.0f);
  EXPECT_EQ(GetValue(kTrack, 10.0f), 1.0f);
  EXPECT_EQ(GetValue(kTrack, 11.0f), 1.0f);
  EXPECT_FLOAT_EQ(GetValue(kTrack, 1.0f), 0.0f);
}

TEST(GetValue, ALateFirstKeyGivesTheLastValueBeforeIt) {
  std::vector<KEY> late = {{3, 10}, {5, 20}, {6, 30}};
  EXPECT_EQ(GetValue(late, 0.0f), 30.0f);
  EXPECT_EQ(GetValue(late, 2.9f), 30.0f);
  EXPECT_EQ(GetValue(late, 3.0f), 30.0f);
  EXPECT_FLOAT_EQ(GetValue(late, 4.0f), 15.0f);
  EXPECT_EQ(GetValue(late, -1.0f), 10.0f);
}

TEST(GetValue, EqualTimesStepWithoutDividingByZero) {
  std::vector<KEY> step = {{0, 0}, {1, 0}, {1, 5}, {2, 5}};
  EXPECT_EQ(GetValue(step, 1.0f), 0.0f);
  EXPECT_EQ(GetValue(step, 1.0001f), 5.0f);
  EXPECT_EQ(GetValue(step, 0.5f), 0.0f);
}

TEST(GetValue, OneKeyAndEmptyTracks) {
  std::vector<KEY> one = {{4, 7}};
  for (float t : {-3.0f, 0.0f, 4.0f, 100.0f}) EXPECT_EQ(GetValue(one, t), 7.0f);
  EXPECT_EQ(GetValue({}, 1.0f), 0.0f);
}

TEST(GetValue, DoesNotChangeTheCallersTrack) {
  std::vector<KEY> copy = kTrack;
  GetValue(copy, 2.1f);
  ASSERT_EQ(copy.size(), kTrack.size());
  for (size_t i = 0; i < copy.size(); i++) EXPECT_EQ(copy[i].value, kTrack[i].value);
}

class Script : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (coverflow_keys.empty()) timeline_fill_tracks();
  }
};

TEST_F(Script, TracksHoldTheirKeysInTimeOrder) {
  ASSERT_EQ(coverflow_keys.size(), 9u);
  ASSERT_EQ(coverflow_text_fade_keys.size(), 15u);
  EXPECT_EQ(coverflow_keys.back().time, 36.25f);
  EXPECT_EQ(coverflow_keys.back().value, -5.0f);
  for (size_t i = 1; i < coverflow_text_fade_keys.size(); i++)
    EXPECT_LE(coverflow_text_fade_keys[i - 1].time, coverflow_text_fade_keys[i].time);
}

TEST_F(Script, StopsAndCaptionsSecondBySecond) {
  auto pos = [](float t) { return GetValue(coverflow_keys, t); };
  auto fade = [](float t) { return GetValue(coverflow_text_fade_keys, t); };
  EXPECT_EQ(pos(0.0f), -5.0f);  // time 0.0 gives both tracks' last values
  EXPECT_EQ(fade(0.0f), 1.0f);
  EXPECT_FLOAT_EQ(pos(1.0f), -6.0f);
  EXPECT_EQ(pos(5.0f), -7.0f);
  EXPECT_FLOAT_EQ(fade(2.125f), 0.5f);
  EXPECT_EQ(pos(18.0f), -1.0f);
  EXPECT_EQ(pos(30.0f), -3.0f);
  EXPECT_EQ(pos(36.1f), -5.0f);
  // At each caption change the new caption starts fully faded out.
  EXPECT_EQ(timeline_caption_index(13.999), 0);
  EXPECT_EQ(timeline_caption_index(14.0), 1);
  EXPECT_EQ(fade(14.0f), 0.0f);
  EXPECT_EQ(timeline_caption_index(24.0), 2);
  EXPECT_EQ(fade(24.0f), 0.0f);
  EXPECT_EQ(timeline_caption_index(36.0), 3);
  EXPECT_EQ(fade(36.0f), 0.0f);
  EXPECT_EQ(fade(36.25f), 1.0f);
}

TEST_F(Script, TheCarouselEndsAtTheFirstFrameAtOrPastItsLastKey) {
  EXPECT_FALSE(timeline_carousel_over(36.2499));
  EXPECT_TRUE(timeline_carousel_over(36.25));
  EXPECT_TRUE(timeline_carousel_over(40.0));
}

TEST(Sequences, OnlyExactlyOneArgumentSkipsTheCarousel) {
  EXPECT_FALSE(timeline_skips_carousel(1));
  EXPECT_TRUE(timeline_skips_carousel(2));
  EXPECT_FALSE(timeline_skips_carousel(3));
}
