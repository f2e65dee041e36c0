#include "core/civil_date.hpp"

#include <gtest/gtest.h>

using namespace orvane::core;

TEST(CivilDate, EpochAndKnownDayNumbers) {
  EXPECT_EQ(days_from_civil({1970, 1, 1}), 0);
  EXPECT_EQ(days_from_civil({2000, 3, 1}), 11017);
  EXPECT_EQ(days_from_civil({1969, 12, 31}), -1);
  EXPECT_EQ(days_from_civil({1, 1, 1}), -719162);  // Python: date(1, 1, 1).toordinal() - 719163
  EXPECT_EQ(days_from_civil({9999, 12, 31}), 2932896);
}

TEST(CivilDate, RoundTripsEveryDayOverFourCenturies) {
  // one full Gregorian cycle each side of the epoch, leap rules included
  CivilDate expected{1800, 1, 1};
  for (std::int64_t d = days_from_civil(expected); d < days_from_civil({2201, 1, 1}); ++d) {
    ASSERT_EQ(civil_from_days(d), expected) << d;
    ASSERT_TRUE(is_valid(expected));
    if (++expected.day > days_in_month(expected.year, expected.month)) {
      expected.day = 1;
      if (++expected.month > 12) {
        expected.month = 1;
        ++expected.year;
      }
    }
  }
}

TEST(CivilDate, Validity) {
  EXPECT_TRUE(is_valid({2024, 2, 29}));
  EXPECT_FALSE(is_valid({2023, 2, 29}));
  EXPECT_FALSE(is_valid({1900, 2, 29}));
  EXPECT_FALSE(is_valid({2024, 13, 1}));
}

TEST(CivilDate, Weekdays) {
  EXPECT_EQ(weekday({1970, 1, 1}), thursday);
  EXPECT_EQ(weekday({2024, 1, 1}), monday);
  EXPECT_EQ(weekday({2024, 1, 5}), friday);
  EXPECT_EQ(weekday({2024, 1, 7}), sunday);
  EXPECT_EQ(weekday({1, 1, 1}), monday);
  EXPECT_EQ(weekday({1969, 12, 31}), wednesday);
}

TEST(CivilDate, NextFridayFromEachWeekday) {
  // the week of Monday 2024-01-01; Friday moves a full week on
  const int expected_days[] = {4, 3, 2, 1, 7, 6, 5};
  for (int i = 0; i < 7; ++i) {
    const CivilDate from{2024, 1, 1 + i};
    const CivilDate got = next_friday(from);
    EXPECT_EQ(weekday(got), friday);
    EXPECT_EQ(days_from_civil(got) - days_from_civil(from), expected_days[i]) << i;
  }
  EXPECT_EQ(next_friday({2024, 12, 30}), (CivilDate{2025, 1, 3}));
  EXPECT_EQ(next_friday({2024, 2, 27}), (CivilDate{2024, 3, 1}));
}

TEST(CivilDate, FormatsEightDigits) {
  EXPECT_EQ(format_yyyymmdd({2024, 1, 5}), "20240105");
  EXPECT_EQ(format_yyyymmdd({5, 1, 7}), "00050107");
  EXPECT_EQ(format_yyyymmdd({10000, 1, 7}), "100000107");
}
