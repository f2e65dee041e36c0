// Proleptic Gregorian calendar dates without time zones: the arithmetic
// behind snapshot dates written as yyyymmdd (weekday, next Friday).
#pragma once

#include <cstdint>
#include <string>

namespace orvane::core {

struct CivilDate {
  int year = 1970;
  int month = 1;  // 1..12
  int day = 1;    // 1..days_in_month

  friend bool operator==(const CivilDate&, const CivilDate&) = default;
};

enum Weekday : int { monday = 0, tuesday, wednesday, thursday, friday, saturday, sunday };

bool is_leap_year(int year);
int days_in_month(int year, int month);  // 0 for a month outside 1..12
bool is_valid(const CivilDate& date);

// Days since 1970-01-01 (negative before), and back.
std::int64_t days_from_civil(const CivilDate& date);
CivilDate civil_from_days(std::int64_t days);

// Monday 0 .. Sunday 6, as Python's date.weekday().
Weekday weekday(const CivilDate& date);
CivilDate add_days(const CivilDate& date, std::int64_t days);

// The first Friday strictly after `date`: a Friday moves a full week on.
CivilDate next_friday(const CivilDate& date);

// Eight digits for years 0..9999 (year zero-padded to four), so that the text
// reads back with the yyyymmdd format; wider years are written in full.
std::string format_yyyymmdd(const CivilDate& date);

}  // namespace orvane::core
