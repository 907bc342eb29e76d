// Keyframe tracks and the script's choices by time, without drawing.
#include <gtest/gtest.h>

#include "timeline.h"

TEST(GetValue, EdgesOfTheLinearScan) {
  const std::vector<KEY> design = {{0, 0}, {2, 0}, {2.25f, 1}, {10, 1}}, late = {{3, 10}, {5, 20}, {6, 30}},
                         step = {{0, 0}, {1, 0}, {1, 5}, {2, 5}}, one = {{4, 7}};
  const struct { const std::vector<KEY>* track; float t, want; } cases[] = {
      {&design, -0.5f, 0}, {&design, 0, 1},  // exactly the first key's time matches no pair
      {&design, 2.125f, 0.5f}, {&design, 2.25f, 1}, {&design, 2, 0}, {&design, 10, 1}, {&design, 11, 1},
      {&late, 0, 30}, {&late, 2.9f, 30}, {&late, 3, 30}, {&late, 4, 15}, {&late, 5.5f, 25}, {&late, -1, 10},
      {&step, 1, 0}, {&step, 1.0001f, 5}, {&step, 0.5f, 0}, {&one, -3, 7}, {&one, 4, 7}, {&one, 100, 7}};
  for (const auto& c : cases) EXPECT_FLOAT_EQ(GetValue(*c.track, c.t), c.want) << c.t;
  EXPECT_EQ(GetValue({}, 1.0f), 0.0f);
  EXPECT_EQ(GetValue({{2, 0}, {3, 0.7f}}, 3.0f), 0.7f) << "exactly the later key's value";
}

TEST(Script, EveryKeyOfBothTracksPinnedInTheMiddleOfItsSegment) {
  if (coverflow_keys.empty()) timeline_fill_tracks();
  const std::vector<KEY> positions = {{0, -5}, {2, -7}, {10, -7}, {14, -1}, {22, -1}, {24, -3}, {34, -3},
                                      {36, -5}, {36.25f, -5}};
  const std::vector<KEY> fades = {{0, 0}, {2, 0}, {2.25f, 1}, {10, 1}, {10.25f, 0}, {14, 0}, {14.25f, 1}, {22, 1},
                                  {22.25f, 0}, {24, 0}, {24.25f, 1}, {34, 1}, {34.25f, 0}, {36, 0}, {36.25f, 1}};
  const std::pair<const std::vector<KEY>*, const std::vector<KEY>*> tracks[] = {{&coverflow_keys, &positions},
                                                                              {&coverflow_text_fade_keys, &fades}};
  for (auto [got, want] : tracks) {
    ASSERT_EQ(got->size(), want->size());
    for (size_t i = 1; i < want->size(); i++) {
      const KEY a = (*want)[i - 1], b = (*want)[i];
      for (float f : {0.25f, 0.5f, 1.0f})
        EXPECT_NEAR(GetValue(*got, a.time + f * (b.time - a.time)), a.value + f * (b.value - a.value), 1e-5)
            << "between " << a.time << " and " << b.time << " at " << f;
    }
  }
  // Time 0 gives both tracks' last values.
  EXPECT_EQ(std::make_pair(GetValue(coverflow_keys, 0.0f), GetValue(coverflow_text_fade_keys, 0.0f)), std::make_pair(-5.0f, 1.0f));
  // Captions change at 14, 24 and 36 s, each starting fully faded out.
  const std::pair<double, int> captions[] = {{0, 0}, {13.999, 0}, {14, 1}, {23.99, 1}, {24, 2}, {35.9, 2}, {36, 3}};
  for (auto [t, index] : captions) EXPECT_EQ(timeline_caption_index(t), index) << t;
  EXPECT_TRUE(!timeline_carousel_over(36.2499) && timeline_carousel_over(36.25));
  for (int argc : {1, 2, 3}) EXPECT_EQ(timeline_skips_carousel(argc), argc == 2);
}
