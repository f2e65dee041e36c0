#include "core/wall_to_utc.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

using orvane::core::fixed_offset_table;
using orvane::core::make_offset_table;
using orvane::core::OffsetTable;
using orvane::core::wall_to_utc;
using orvane::core::WallToUtc;

namespace {

constexpr std::int64_t nat = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t h = 3600;

// Seconds since the epoch of a civil date and time (proleptic Gregorian).
std::int64_t at(int y, int m, int d, int hh = 0, int mm = 0) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return (era * 146097 + doe - 719468) * 86400 + hh * h + mm * 60;
}

// New York around 2024: types LMT, EST, EDT.
OffsetTable new_york() {
  std::vector<std::int64_t> trans{at(1883, 11, 18, 17), at(2023, 3, 12, 7), at(2023, 11, 5, 6),
                                  at(2024, 3, 10, 7),   at(2024, 11, 3, 6), at(2025, 3, 9, 7)};
  std::vector<std::int64_t> types{1, 2, 1, 2, 1, 2};
  std::vector<std::int64_t> offsets{-17762, -5 * h, -4 * h};
  std::vector<std::uint8_t> dst{0, 0, 1};
  return make_offset_table(trans, types, offsets, dst, std::nullopt);
}

std::vector<std::int64_t> run(const OffsetTable& zone, std::vector<std::int64_t> wall,
                              WallToUtc expect = WallToUtc::done, std::int64_t tps = 1,
                              bool resolve = true) {
  for (auto& v : wall) v = v == nat ? nat : v * tps;
  std::vector<std::int64_t> out(wall.size(), 0);
  EXPECT_EQ(wall_to_utc(wall, tps, zone, resolve, out), expect);
  for (auto& v : out) v = v == nat ? nat : v / tps;
  return out;
}

}  // namespace

TEST(WallToUtc, PlainStampsAndNaT) {
  const auto zone = new_york();
  EXPECT_EQ(zone.before, -17762);
  EXPECT_EQ(run(zone, {at(2024, 6, 3, 9, 30), nat, at(2024, 1, 2, 16)}),
            (std::vector<std::int64_t>{at(2024, 6, 3, 13, 30), nat, at(2024, 1, 2, 21)}));
  // the same in nanoseconds and milliseconds
  for (std::int64_t tps : {std::int64_t{1'000'000'000}, std::int64_t{1000}}) {
    EXPECT_EQ(run(zone, {at(2024, 6, 3, 9, 30)}, WallToUtc::done, tps),
              (std::vector<std::int64_t>{at(2024, 6, 3, 13, 30)}));
  }
}

TEST(WallToUtc, SkippedHourMovesToTheNextWholeHour) {
  const auto zone = new_york();
  EXPECT_EQ(
      run(zone, {at(2024, 3, 10, 1, 59), at(2024, 3, 10, 2, 30), at(2024, 3, 10, 3)}),
      (std::vector<std::int64_t>{at(2024, 3, 10, 6, 59), at(2024, 3, 10, 7), at(2024, 3, 10, 7)}));
  // sub-second ticks inside the gap move to the whole hour too
  const std::int64_t ns = 1'000'000'000;
  std::vector<std::int64_t> wall{at(2024, 3, 10, 2, 59) * ns + 999};
  std::vector<std::int64_t> out(1);
  ASSERT_EQ(wall_to_utc(wall, ns, zone, true, out), WallToUtc::done);
  EXPECT_EQ(out[0], at(2024, 3, 10, 7) * ns);
}

TEST(WallToUtc, RepeatedHourReadFromTheOrder) {
  const auto zone = new_york();
  const auto wall = std::vector<std::int64_t>{at(2024, 11, 3, 0, 30), at(2024, 11, 3, 1),
                                              at(2024, 11, 3, 1, 30), at(2024, 11, 3, 1),
                                              at(2024, 11, 3, 1, 30), at(2024, 11, 3, 2)};
  EXPECT_EQ(run(zone, wall), (std::vector<std::int64_t>{
                                 at(2024, 11, 3, 4, 30), at(2024, 11, 3, 5), at(2024, 11, 3, 5, 30),
                                 at(2024, 11, 3, 6), at(2024, 11, 3, 6, 30), at(2024, 11, 3, 7)}));
  // two separate runs (another day in between) each turn once
  auto twice = wall;
  twice.push_back(at(2024, 6, 1));
  twice.insert(twice.end(), wall.begin(), wall.end());
  EXPECT_EQ(run(zone, twice).back(), at(2024, 11, 3, 7));
  run(zone, wall, WallToUtc::repeated, 1, false);
}

TEST(WallToUtc, RepeatedHourThatCannotBeReadIsDeclined) {
  const auto zone = new_york();
  const std::int64_t one = at(2024, 11, 3, 1), half = at(2024, 11, 3, 1, 30);
  run(zone, {one}, WallToUtc::declined);                        // alone
  run(zone, {one, half}, WallToUtc::declined);                  // never turns back
  run(zone, {one, one, half, one}, WallToUtc::declined);        // turns twice
  run(zone, {one, half, nat, one, half}, WallToUtc::declined);  // NaT splits the run
}

TEST(WallToUtc, OutsideTheTableIsDeclined) {
  const auto zone = new_york();
  run(zone, {at(2025, 6, 1)}, WallToUtc::declined);  // after the last transition, rule needed
  run(zone, {at(1880, 1, 1)}, WallToUtc::declined);  // before the first one
  // two transitions within a day of each other
  std::vector<std::int64_t> trans{at(1900, 1, 1), at(2000, 1, 1), at(2000, 1, 1, 20),
                                  at(2030, 1, 1)};
  std::vector<std::int64_t> types{0, 1, 0, 1};
  std::vector<std::int64_t> offsets{0, h};
  std::vector<std::uint8_t> dst{0, 1};
  run(make_offset_table(trans, types, offsets, dst, std::nullopt), {at(2000, 1, 1, 10)},
      WallToUtc::declined);
}

TEST(WallToUtc, FixedZonesAndZonesThatEndOnOneOffset) {
  EXPECT_EQ(run(fixed_offset_table(8 * h), {at(2024, 1, 1, 9)}),
            (std::vector<std::int64_t>{at(2024, 1, 1, 1)}));
  // Hong Kong style: last transition long ago, one offset since
  std::vector<std::int64_t> trans{at(1904, 10, 29, 17), at(1979, 10, 21, 3)};
  std::vector<std::int64_t> types{1, 1};
  std::vector<std::int64_t> offsets{27402, 8 * h};
  std::vector<std::uint8_t> dst{0, 0};
  auto hk = make_offset_table(trans, types, offsets, dst, 8 * h);
  EXPECT_EQ(run(hk, {at(2200, 1, 1, 9)}), (std::vector<std::int64_t>{at(2200, 1, 1, 1)}));
  // a summer-time rule after the last transition is not in the table
  auto ruled = make_offset_table(trans, types, offsets, dst, std::nullopt);
  run(ruled, {at(2024, 1, 1, 9)}, WallToUtc::declined);
}

TEST(WallToUtc, PositiveZoneGapAndEarlyStamps) {
  // Central Europe 2024: CET +1, CEST +2
  std::vector<std::int64_t> trans{at(1893, 3, 31, 23), at(2023, 10, 29, 1), at(2024, 3, 31, 1),
                                  at(2024, 10, 27, 1), at(2025, 3, 30, 1)};
  std::vector<std::int64_t> types{0, 0, 1, 0, 1};
  std::vector<std::int64_t> offsets{h, 2 * h};
  std::vector<std::uint8_t> dst{0, 1};
  auto cet = make_offset_table(trans, types, offsets, dst, std::nullopt);
  EXPECT_EQ(run(cet, {at(2024, 3, 31, 2, 30), at(2024, 10, 27, 2, 30), at(2024, 10, 27, 2, 30)}),
            (std::vector<std::int64_t>{at(2024, 3, 31, 1), at(2024, 10, 27, 0, 30),
                                       at(2024, 10, 27, 1, 30)}));
  // before 1970: floor division keeps the gap and the hour right
  std::vector<std::int64_t> old{at(1900, 1, 1), at(1960, 4, 24, 7), at(1960, 10, 30, 6),
                                at(1961, 4, 30, 7)};
  std::vector<std::int64_t> old_types{0, 1, 0, 1};
  std::vector<std::int64_t> ny_offsets{-5 * h, -4 * h};
  auto ny60 = make_offset_table(old, old_types, ny_offsets, dst, std::nullopt);
  EXPECT_EQ(run(ny60, {at(1960, 4, 24, 2, 15), at(1960, 7, 1, 9)}, WallToUtc::done, 1000),
            (std::vector<std::int64_t>{at(1960, 4, 24, 7), at(1960, 7, 1, 13)}));
}

TEST(WallToUtc, GapWhoseWholeHourPickIsNotTheTrueReadingIsDeclined) {
  // Alaska style: the earliest offset is positive, so the pick after a gap
  // would keep the offset in force before it: not a reading of the hour.
  std::vector<std::int64_t> trans{at(1867, 10, 19), at(2023, 11, 5, 10), at(2024, 3, 10, 11),
                                  at(2024, 11, 3, 10), at(2025, 3, 9, 11)};
  std::vector<std::int64_t> types{1, 1, 2, 1, 2};
  std::vector<std::int64_t> offsets{50424, -9 * h, -8 * h};
  std::vector<std::uint8_t> dst{0, 0, 1};
  auto ak = make_offset_table(trans, types, offsets, dst, std::nullopt);
  EXPECT_EQ(ak.before, 50424);
  run(ak, {at(2024, 3, 10, 2, 30)}, WallToUtc::declined);
  EXPECT_EQ(run(ak, {at(2024, 6, 1, 9)}), (std::vector<std::int64_t>{at(2024, 6, 1, 17)}));
}

TEST(FixedRuleOffset, OnlyRulesWithoutSummerTime) {
  using orvane::core::fixed_rule_offset;
  EXPECT_EQ(fixed_rule_offset("HKT-8"), 8 * h);
  EXPECT_EQ(fixed_rule_offset("UTC0"), 0);
  EXPECT_EQ(fixed_rule_offset("<+0530>-5:30"), 5 * h + 1800);
  EXPECT_EQ(fixed_rule_offset("<-03>3"), -3 * h);
  EXPECT_EQ(fixed_rule_offset("EST+5"), -5 * h);
  EXPECT_EQ(fixed_rule_offset("LMT-0:19:32"), 19 * 60 + 32);
  EXPECT_EQ(fixed_rule_offset("EST5EDT,M3.2.0,M11.1.0"), std::nullopt);
  EXPECT_EQ(fixed_rule_offset("IST-1GMT0,M10.5.0,M3.5.0/1"), std::nullopt);
  EXPECT_EQ(fixed_rule_offset("EST5EDT"), std::nullopt);
  EXPECT_EQ(fixed_rule_offset(""), std::nullopt);
  EXPECT_EQ(fixed_rule_offset("AB-1"), std::nullopt);
  EXPECT_EQ(fixed_rule_offset("<>-1"), std::nullopt);
  EXPECT_EQ(fixed_rule_offset("HKT"), std::nullopt);
}

TEST(WallToUtc, RepeatedHoursOfInterleavedInstruments) {
  using orvane::core::read_wall_clock;
  using orvane::core::RepeatedStamp;
  using orvane::core::settle_repeats_by_group;
  const auto zone = new_york();
  // instruments 0 and 1 take turns row by row through the fall-back hour;
  // read together the stamps turn back twice, each on its own once
  const std::vector<std::int64_t> one{at(2024, 11, 3, 1), at(2024, 11, 3, 1, 30),
                                      at(2024, 11, 3, 1), at(2024, 11, 3, 1, 30)};
  std::vector<std::int64_t> wall;
  std::vector<std::uint64_t> group;
  for (std::int64_t v : one) {
    for (std::uint64_t g : {0, 1}) {
      wall.push_back(v);
      group.push_back(g);
    }
  }
  std::vector<std::int64_t> utc(wall.size());
  EXPECT_EQ(wall_to_utc(wall, 1, zone, true, utc), WallToUtc::declined);
  std::vector<RepeatedStamp> repeats;
  ASSERT_EQ(read_wall_clock(wall, 1, zone, utc, &repeats), WallToUtc::done);
  ASSERT_EQ(repeats.size(), wall.size());
  ASSERT_TRUE(settle_repeats_by_group(group, 2, repeats, utc));
  const std::vector<std::int64_t> expect{
      at(2024, 11, 3, 5), at(2024, 11, 3, 5), at(2024, 11, 3, 5, 30), at(2024, 11, 3, 5, 30),
      at(2024, 11, 3, 6), at(2024, 11, 3, 6), at(2024, 11, 3, 6, 30), at(2024, 11, 3, 6, 30)};
  EXPECT_EQ(utc, expect);
  // an instrument with a lone repeated stamp cannot be read
  group.back() = 2;
  repeats.clear();
  ASSERT_EQ(read_wall_clock(wall, 1, zone, utc, &repeats), WallToUtc::done);
  EXPECT_FALSE(settle_repeats_by_group(group, 3, repeats, utc));
}
