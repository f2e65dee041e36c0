#include "civil_date.hpp"

#include <cstdio>

namespace orvane::core {

bool is_leap_year(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int days_in_month(int year, int month) {
  static constexpr int lengths[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  return month == 2 && is_leap_year(year) ? 29 : lengths[month - 1];
}

bool is_valid(const CivilDate& date) {
  return date.day >= 1 && date.day <= days_in_month(date.year, date.month);
}

// Eras of 400 years (146097 days) starting on 1 March, so the leap day is the
// last day of each shifted year and month lengths follow a fixed pattern.
std::int64_t days_from_civil(const CivilDate& date) {
  const std::int64_t y = static_cast<std::int64_t>(date.year) - (date.month <= 2 ? 1 : 0);
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t year_of_era = y - era * 400;
  const std::int64_t shifted_month = date.month > 2 ? date.month - 3 : date.month + 9;
  const std::int64_t day_of_year = (153 * shifted_month + 2) / 5 + date.day - 1;
  const std::int64_t day_of_era =
      year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + day_of_era - 719468;
}

CivilDate civil_from_days(std::int64_t days) {
  const std::int64_t z = days + 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t day_of_era = z - era * 146097;
  const std::int64_t year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const std::int64_t day_of_year =
      day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const std::int64_t shifted_month = (5 * day_of_year + 2) / 153;
  const int day = static_cast<int>(day_of_year - (153 * shifted_month + 2) / 5 + 1);
  const int month = static_cast<int>(shifted_month < 10 ? shifted_month + 3 : shifted_month - 9);
  const int year = static_cast<int>(year_of_era + era * 400 + (month <= 2 ? 1 : 0));
  return {year, month, day};
}

Weekday weekday(const CivilDate& date) {
  // 1970-01-01 was a Thursday
  const std::int64_t days = days_from_civil(date);
  const std::int64_t shifted = (days + thursday) % 7;
  return static_cast<Weekday>(shifted >= 0 ? shifted : shifted + 7);
}

CivilDate add_days(const CivilDate& date, std::int64_t days) {
  return civil_from_days(days_from_civil(date) + days);
}

CivilDate next_friday(const CivilDate& date) {
  int days_to_add = (friday - weekday(date) + 7) % 7;
  if (days_to_add == 0) days_to_add = 7;
  return add_days(date, days_to_add);
}

std::string format_yyyymmdd(const CivilDate& date) {
  char text[32];
  std::snprintf(text, sizeof text, "%04d%02d%02d", date.year, date.month, date.day);
  return text;
}

}  // namespace orvane::core
