#include "wall_to_utc.hpp"

#include <algorithm>
#include <utility>

#include "ticks.hpp"

namespace orvane::core {
namespace {

constexpr std::int64_t day = 86'400;
constexpr std::int64_t hour = 3'600;
// Seconds and ticks kept far enough from the int64 ends that a stamp plus or
// minus a few days never overflows, whatever the tick.
constexpr std::int64_t second_limit = std::int64_t{1} << 40;
constexpr std::int64_t tick_limit = std::int64_t{1} << 62;
// Stamps this close to the table's first or last transition are left out:
// readings look a day either side of a stamp, and offsets reach past 14 hours.
constexpr std::int64_t edge_margin = 3 * day;

// Offsets in force at UTC seconds, remembering the last period found so that
// stamps in order cost a comparison or two each.
class Periods {
 public:
  explicit Periods(const OffsetTable& zone) : zone_(zone) {}

  // Number of transitions at or before second s.
  std::size_t count(std::int64_t s) {
    const auto& t = zone_.transitions;
    const std::size_t n = t.size();
    std::size_t c = hint_;
    if ((c == 0 || t[c - 1] <= s) && (c == n || s < t[c])) return c;
    if (c < n && t[c] <= s && (c + 1 == n || s < t[c + 1])) return hint_ = c + 1;
    hint_ = static_cast<std::size_t>(std::upper_bound(t.begin(), t.end(), s) - t.begin());
    return hint_;
  }

  std::int64_t offset(std::size_t count) const {
    return count == 0 ? zone_.before : zone_.offsets[count - 1];
  }

 private:
  const OffsetTable& zone_;
  std::size_t hint_ = 0;
};

struct Reading {
  enum Kind { single, repeated, skipped, irregular } kind;
  std::int64_t first = 0;   // the reading, or the earlier of the two
  std::int64_t second = 0;  // the later reading of a repeated hour
};

// The UTC readings of wall stamp v. The offsets looked at are those in force
// a day before and a day after v read as UTC; with at most one transition
// between them a stamp has one reading, two (the clocks went back) or none
// (they went forward).
Reading read_wall(std::int64_t v, std::int64_t tps, const OffsetTable& zone, Periods& lo,
                  Periods& hi) {
  const std::int64_t window = day * tps;
  const std::size_t c_lo = lo.count(floor_div(v - window, tps));
  const std::size_t c_hi = hi.count(floor_div(v + window, tps));
  if (c_hi - c_lo >= 2) return {Reading::irregular};
  const std::int64_t u0 = v - lo.offset(c_lo) * tps;
  if (c_hi == c_lo) return {Reading::single, u0};
  const std::int64_t t = zone.transitions[c_lo];
  const std::int64_t u1 = v - zone.offsets[c_lo] * tps;
  const bool before_ok = floor_div(u0, tps) < t;
  const bool after_ok = floor_div(u1, tps) >= t;
  if (before_ok && after_ok) return {Reading::repeated, u0, u1};
  if (before_ok) return {Reading::single, u0};
  if (after_ok) return {Reading::single, u1};
  return {Reading::skipped};
}

// A skipped stamp moves to the next whole hour of the wall clock, read as
// UTC to pick an offset: the one in force there when it is not negative,
// else the one after the next transition (or, in a zone whose earliest
// offset is positive, the one in force). That pick is kept only when it is
// the moved stamp's one true reading; anything else is declined.
std::optional<std::int64_t> shifted(std::int64_t v, std::int64_t tps, const OffsetTable& zone) {
  const std::int64_t per_hour = hour * tps;
  const std::int64_t rem = floor_mod(v, per_hour);
  const std::int64_t moved = v + (per_hour - rem);
  const auto& t = zone.transitions;
  const std::size_t c = static_cast<std::size_t>(
      std::upper_bound(t.begin(), t.end(), floor_div(moved, tps)) - t.begin());
  Periods periods(zone);
  std::int64_t offset = periods.offset(c);
  if (offset < 0 && zone.before <= 0) {
    if (c >= t.size()) return std::nullopt;
    offset = zone.offsets[c];
  }
  const std::int64_t pick = moved - offset * tps;
  Periods lo(zone), hi(zone);
  const Reading check = read_wall(moved, tps, zone, lo, hi);
  if (check.kind != Reading::single || check.first != pick) return std::nullopt;
  return pick;
}

}  // namespace

OffsetTable make_offset_table(std::span<const std::int64_t> transitions,
                              std::span<const std::int64_t> transition_types,
                              std::span<const std::int64_t> type_offsets,
                              std::span<const std::uint8_t> type_is_dst,
                              std::optional<std::int64_t> offset_after) {
  OffsetTable table;
  const std::size_t n = std::min(transitions.size(), transition_types.size());
  table.transitions.assign(transitions.begin(), transitions.begin() + n);
  table.offsets.reserve(n);
  for (std::size_t k = 0; k < n; ++k) {
    table.offsets.push_back(type_offsets[static_cast<std::size_t>(transition_types[k])]);
  }
  table.before = n ? table.offsets.front() : (type_offsets.empty() ? 0 : type_offsets.front());
  for (std::size_t k = 0; k < type_offsets.size() && k < type_is_dst.size(); ++k) {
    if (!type_is_dst[k]) {
      table.before = type_offsets[k];
      break;
    }
  }
  if (!std::is_sorted(table.transitions.begin(), table.transitions.end())) return table;

  // The earliest transition a stamp may sit near; files that open with a
  // "since ever" transition far in the past start from the next one.
  std::size_t first = 0;
  while (first < n && table.transitions[first] < -second_limit) ++first;
  const bool ends_fixed =
      offset_after && (n ? table.offsets.back() : table.before) == *offset_after;
  table.wall_min = first < n ? table.transitions[first] + edge_margin : -second_limit;
  if (ends_fixed) {
    table.wall_max = second_limit;
  } else if (n) {
    table.wall_max = table.transitions.back() - edge_margin;
  } else {
    table.wall_max = table.wall_min - 1;
  }
  return table;
}

std::optional<std::int64_t> fixed_rule_offset(std::string_view rule) {
  std::size_t i = 0;
  if (i < rule.size() && rule[i] == '<') {
    const std::size_t close = rule.find('>', i);
    if (close == std::string_view::npos || close == i + 1) return std::nullopt;
    i = close + 1;
  } else {
    const std::size_t start = i;
    auto alpha = [](char ch) { return (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z'); };
    while (i < rule.size() && alpha(rule[i])) ++i;
    if (i - start < 3) return std::nullopt;
  }
  // POSIX offsets count hours west of Greenwich: "-8" is eight hours east
  std::int64_t sign = -1;
  if (i < rule.size() && (rule[i] == '+' || rule[i] == '-')) sign = rule[i++] == '-' ? 1 : -1;
  std::int64_t total = 0;
  for (std::int64_t scale : {std::int64_t{3600}, std::int64_t{60}, std::int64_t{1}}) {
    if (scale != 3600) {
      if (i >= rule.size() || rule[i] != ':') break;
      ++i;
    }
    const std::size_t start = i;
    std::int64_t part = 0;
    while (i < rule.size() && rule[i] >= '0' && rule[i] <= '9' && i - start < 3) {
      part = part * 10 + (rule[i++] - '0');
    }
    if (i == start) return std::nullopt;
    total += part * scale;
  }
  if (i != rule.size()) return std::nullopt;  // a summer-time part follows
  return sign * total;
}

OffsetTable fixed_offset_table(std::int64_t offset) {
  OffsetTable table;
  table.before = offset;
  table.wall_min = -second_limit;
  table.wall_max = second_limit;
  return table;
}

WallToUtc read_wall_clock(std::span<const std::int64_t> wall, std::int64_t ticks_per_second,
                          const OffsetTable& zone, std::span<std::int64_t> utc,
                          std::vector<RepeatedStamp>* repeats) {
  const std::int64_t tps = ticks_per_second;
  if (tps <= 0 || zone.wall_min > zone.wall_max) return WallToUtc::declined;
  Periods lo(zone), hi(zone);
  for (std::size_t i = 0; i < wall.size(); ++i) {
    const std::int64_t v = wall[i];
    if (v == not_a_time) {
      utc[i] = not_a_time;
      continue;
    }
    if (v < -tick_limit || v > tick_limit) return WallToUtc::declined;
    const std::int64_t s = floor_div(v, tps);
    if (s < zone.wall_min || s > zone.wall_max) return WallToUtc::declined;
    const Reading r = read_wall(v, tps, zone, lo, hi);
    switch (r.kind) {
      case Reading::single:
        utc[i] = r.first;
        break;
      case Reading::repeated:
        if (!repeats) return WallToUtc::repeated;
        utc[i] = r.first;
        repeats->push_back({i, i, r.first, r.second});
        break;
      case Reading::skipped: {
        const auto moved = shifted(v, tps, zone);
        if (!moved) return WallToUtc::declined;
        utc[i] = *moved;
        break;
      }
      case Reading::irregular:
        return WallToUtc::declined;
    }
  }
  return WallToUtc::done;
}

bool settle_repeats(std::span<const RepeatedStamp> stamps, std::span<std::int64_t> utc) {
  // A lone repeated stamp cannot be placed; neither can a run (stamps next to
  // each other) whose earlier readings never go back, or go back twice.
  if (stamps.size() == 1) return false;
  for (std::size_t start = 0; start < stamps.size();) {
    std::size_t end = start + 1;
    while (end < stamps.size() && stamps[end].position == stamps[end - 1].position + 1) ++end;
    if (end - start == 1) return false;
    std::size_t turns = 0, turn = 0;
    for (std::size_t k = start + 1; k < end; ++k) {
      if (stamps[k].earlier <= stamps[k - 1].earlier && turns++ == 0) turn = k;
    }
    if (turns != 1) return false;
    for (std::size_t k = start; k < end; ++k) {
      utc[stamps[k].row] = k < turn ? stamps[k].earlier : stamps[k].later;
    }
    start = end;
  }
  return true;
}

bool settle_repeats_by_group(std::span<const std::uint64_t> group, std::uint64_t groups,
                             std::vector<RepeatedStamp>& repeats, std::span<std::int64_t> utc) {
  if (repeats.empty()) return true;
  // a stamp's position: how many rows of its instrument come before it
  std::vector<std::size_t> seen(groups, 0);
  std::size_t next = 0;
  for (std::size_t row = 0; row < group.size() && next < repeats.size(); ++row) {
    std::size_t& count = seen[group[row]];
    if (repeats[next].row == row) repeats[next++].position = count;
    ++count;
  }
  std::stable_sort(
      repeats.begin(), repeats.end(),
      [&](const RepeatedStamp& a, const RepeatedStamp& b) { return group[a.row] < group[b.row]; });
  for (std::size_t start = 0; start < repeats.size();) {
    std::size_t end = start + 1;
    while (end < repeats.size() && group[repeats[end].row] == group[repeats[start].row]) ++end;
    if (!settle_repeats(std::span(repeats).subspan(start, end - start), utc)) return false;
    start = end;
  }
  return true;
}

WallToUtc wall_to_utc(std::span<const std::int64_t> wall, std::int64_t ticks_per_second,
                      const OffsetTable& zone, bool resolve_repeated, std::span<std::int64_t> utc) {
  std::vector<RepeatedStamp> repeats;
  const WallToUtc status =
      read_wall_clock(wall, ticks_per_second, zone, utc, resolve_repeated ? &repeats : nullptr);
  if (status != WallToUtc::done) return status;
  return settle_repeats(repeats, utc) ? WallToUtc::done : WallToUtc::declined;
}

}  // namespace orvane::core
