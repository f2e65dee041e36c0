// Matching intraday bars to the minute grids of event windows, and the row
// order of the windows frame. Stamps are int64 ticks of one unit (NaT is the
// smallest int64); codes number categorical values (event names, keys).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "ticks.hpp"

namespace orvane::core {

// A left join on the composite key (code, stamp): every left row keeps its
// place and meets the right rows of equal key in their own order. Rows with
// a negative code, on either side, match nothing. Empty code spans mean code
// 0 for every row.
struct KeyMatches {
  std::vector<std::int64_t> start;    // left size + 1 offsets into `hits`
  std::vector<std::int64_t> hits;     // positions into `matched`, grouped by left row
  std::vector<std::int64_t> matched;  // right rows equal to some left key, ascending
  bool looked_up = false;             // found through a hash table (rows_look_unordered)

  std::size_t left_size() const { return start.empty() ? 0 : start.size() - 1; }
  std::int64_t count(std::size_t left_row) const { return start[left_row + 1] - start[left_row]; }
  bool any_left_unmatched() const;
};

// Right rows come mostly in ascending runs (bars by security, then time) and
// are found by walking forward; when more than one row in 16 descends from
// the row before, each is looked up in a hash table of the left keys instead.
bool rows_look_unordered(std::size_t descents, std::size_t rows);

KeyMatches match_keys(std::span<const std::int64_t> left_code,
                      std::span<const std::int64_t> left_stamp,
                      std::span<const std::int64_t> right_code,
                      std::span<const std::int64_t> right_stamp);

// The rows of a windows frame: one per (grid row, matched bar) pair.
struct WindowRows {
  std::vector<std::int64_t> grid;     // grid row
  std::vector<std::int64_t> matched;  // position into KeyMatches::matched
};

// The pairs of `bars` (grid rows on the left, bars on the right) whose bar has
// a key rank of at least 0 (a negative rank is a missing key: the pair is
// dropped), ordered stably by (event rank, event time, key rank, minute); ties
// keep the join order (grid row, then bar row). `event_rank`, `event_time`
// and `minute` hold one entry per grid row, `key_rank` one per matched bar.
WindowRows order_window_rows(std::span<const std::int64_t> event_rank,
                             std::span<const std::int64_t> event_time,
                             std::span<const std::int64_t> minute, const KeyMatches& bars,
                             std::span<const std::int64_t> key_rank);

// A left join expanded to rows: for every entry i of `left_rows` (a left row
// of `m`), one output row per right match of that left row, or one row with
// right -1 when it has none. `row` holds i, `right` the right row.
struct JoinedRows {
  std::vector<std::int64_t> row;
  std::vector<std::int64_t> right;
  bool any_unmatched = false;
};

JoinedRows expand_left_join(std::span<const std::int64_t> left_rows, const KeyMatches& m);

// The first row of every distinct (code, stamp) pair, grouped by code in
// ascending code order, pairs within a code in order of first appearance.
// Rows with a negative code are skipped. With codes numbered by first
// appearance this is the order of "for each distinct code, for each distinct
// stamp of its rows".
std::vector<std::int64_t> distinct_code_stamps(std::span<const std::int64_t> code,
                                               std::span<const std::int64_t> stamp);

// The minute grid of event times: for each time t and each offset m from
// `pre` to `post`, the stamp t + m * ticks_per_minute into `stamps` and m
// into `offsets` (time-major). Throws std::overflow_error when a stamp does
// not fit in int64 and std::invalid_argument when the outputs are not
// times.size() * (post - pre + 1) long.
void expand_minute_grid(std::span<const std::int64_t> times, std::int64_t pre, std::int64_t post,
                        std::int64_t ticks_per_minute, std::span<std::int64_t> stamps,
                        std::span<std::int64_t> offsets);

// Brings stamps of a coarser or finer unit to the unit of another side:
// values * up / down. With `down` > 1 a stamp that is not a whole number of
// the coarser unit cannot equal any stamp of that unit: its code becomes -1.
// Throws std::overflow_error when a product does not fit in int64.
void rescale_stamps(std::span<const std::int64_t> in, std::int64_t up, std::int64_t down,
                    std::span<std::int64_t> out, std::span<std::int64_t> code);

// True when every stamp except NaT stays inside int64 when multiplied by
// `factor`.
bool stamps_fit_scaled(std::span<const std::int64_t> stamps, std::int64_t factor);

}  // namespace orvane::core
