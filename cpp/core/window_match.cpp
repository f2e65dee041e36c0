#include "window_match.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <string>
#include <type_traits>

namespace orvane::core {
namespace {

std::uint64_t mix(std::int64_t code, std::int64_t stamp) {
  std::uint64_t x = static_cast<std::uint64_t>(stamp) ^
                    (static_cast<std::uint64_t>(code) * 0x9E3779B97F4A7C15ULL);
  x ^= x >> 33;
  x *= 0xFF51AFD7ED558CCDULL;
  x ^= x >> 33;
  x *= 0xC4CEB9FE1A85EC53ULL;
  x ^= x >> 33;
  return x;
}

struct Key {
  std::int64_t code, stamp;
  friend bool operator<(const Key& a, const Key& b) {
    return a.code != b.code ? a.code < b.code : a.stamp < b.stamp;
  }
  friend bool operator==(const Key& a, const Key& b) = default;
};

// Distinct (code, stamp) keys numbered in order of insertion; open
// addressing with linear probing, kept at most half full.
class KeyTable {
 public:
  explicit KeyTable(std::size_t expected) {
    std::size_t capacity = 16;
    while (capacity < 2 * expected) capacity *= 2;
    slot_.assign(capacity, -1);
    mask_ = capacity - 1;
  }

  std::int64_t size() const { return static_cast<std::int64_t>(code_.size()); }

  std::int64_t insert(std::int64_t code, std::int64_t stamp) {
    std::size_t i = mix(code, stamp) & mask_;
    while (slot_[i] >= 0) {
      const std::int64_t id = slot_[i];
      if (code_[id] == code && stamp_[id] == stamp) return id;
      i = (i + 1) & mask_;
    }
    slot_[i] = size();
    code_.push_back(code);
    stamp_.push_back(stamp);
    return slot_[i];
  }

  std::int64_t find(std::int64_t code, std::int64_t stamp) const {
    std::size_t i = mix(code, stamp) & mask_;
    while (slot_[i] >= 0) {
      const std::int64_t id = slot_[i];
      if (code_[id] == code && stamp_[id] == stamp) return id;
      i = (i + 1) & mask_;
    }
    return -1;
  }

 private:
  std::vector<std::int64_t> slot_;
  std::vector<std::int64_t> code_, stamp_;
  std::size_t mask_ = 0;
};

void check_codes(std::span<const std::int64_t> code, std::span<const std::int64_t> stamp,
                 const char* what) {
  if (!code.empty() && code.size() != stamp.size()) {
    throw std::invalid_argument(std::string(what) + ": codes and stamps differ in length");
  }
}

std::int64_t code_at(std::span<const std::int64_t> code, std::size_t i) {
  return code.empty() ? 0 : code[i];
}

// Finds each right key (key_of(j), j ascending) among the sorted distinct
// `keys` and calls found(j, place) for the ones present. Bars come in runs
// of ascending stamps (one run per security), so the search walks forward
// from the last place found, galloping, and starts over with a binary search
// only when a run ends. Keys with a negative code are never present.
template <typename K, typename KeyOf, typename Found>
void walk_sorted(std::span<const K> keys, std::size_t n_right, KeyOf key_of, Found found) {
  const std::size_t n_keys = keys.size();
  const K lowest = keys.front(), highest = keys.back();
  std::size_t place = 0;  // lower bound of `previous` in keys
  K previous = lowest;
  for (std::size_t j = 0; j < n_right; ++j) {
    const K k = key_of(j);
    if (k < lowest || highest < k) continue;
    if (k < previous) {
      place =
          static_cast<std::size_t>(std::lower_bound(keys.begin(), keys.end(), k) - keys.begin());
    } else if (keys[place] < k) {
      std::size_t below = place, step = 1;  // keys[below] < k
      while (below + step < n_keys && keys[below + step] < k) {
        below += step;
        step *= 2;
      }
      const std::size_t limit = std::min(below + step, n_keys);
      place = static_cast<std::size_t>(
          std::lower_bound(keys.begin() + below + 1, keys.begin() + limit, k) - keys.begin());
    }
    previous = k;
    if (keys[place] == k) found(j, place);
  }
}

std::uint64_t hash_of(const Key& k) { return mix(k.code, k.stamp); }
std::uint64_t hash_of(std::int64_t stamp) { return mix(0, stamp); }

// Finds each right key among the sorted distinct `keys` through a hash table
// of them: constant time per row whatever the rows' order, where walking
// forward from the last place found would search afresh at almost every row.
template <typename K, typename KeyOf, typename Found>
void look_up_hashed(std::span<const K> keys, std::size_t n_right, KeyOf key_of, Found found) {
  std::size_t capacity = 16;
  while (capacity < 2 * keys.size()) capacity *= 2;
  const std::size_t mask = capacity - 1;
  struct Slot {
    K key;
    std::int64_t place;  // -1: empty
  };
  std::vector<Slot> table(capacity, Slot{keys.front(), -1});
  for (std::size_t p = 0; p < keys.size(); ++p) {
    std::size_t i = hash_of(keys[p]) & mask;
    while (table[i].place >= 0) i = (i + 1) & mask;
    table[i] = Slot{keys[p], static_cast<std::int64_t>(p)};
  }
  const K lowest = keys.front(), highest = keys.back();
  for (std::size_t j = 0; j < n_right; ++j) {
    const K k = key_of(j);
    if (k < lowest || highest < k) continue;
    for (std::size_t i = hash_of(k) & mask; table[i].place >= 0; i = (i + 1) & mask) {
      if (table[i].key == k) {
        found(j, static_cast<std::size_t>(table[i].place));
        break;
      }
    }
  }
}

// Stamps that all lie on one step from the lowest (whole minutes, for a
// minute grid) are found without hashing: a bitmap over the steps of their
// span, indexed by a multiplication that divides by the step exactly for the
// stamps on it, rules out the rows that match nothing (most bars) in a few
// operations, and gives the others their place by counting the bits below
// theirs. False, doing nothing, when the span holds too many steps for the
// bitmap to pay.
template <typename KeyOf, typename Found>
bool look_up_on_step(std::span<const std::int64_t> keys, std::size_t n_right, KeyOf key_of,
                     Found found) {
  const std::int64_t lowest = keys.front(), highest = keys.back();
  // distances from the lowest key, exact in unsigned arithmetic
  const auto distance = [&](std::int64_t k) {
    return static_cast<std::uint64_t>(k) - static_cast<std::uint64_t>(lowest);
  };
  std::uint64_t step = 0;
  for (const std::int64_t k : keys) step = std::gcd(step, distance(k));
  if (step == 0) step = 1;
  const std::uint64_t span = distance(highest);
  const std::uint64_t steps = span / step + 1;
  if (steps > std::max<std::uint64_t>(1u << 20, 8 * n_right)) return false;
  // q = d * inverse >> 64 is d / step for every d = k * step in the span,
  // since k * step * (inverse - 2^64 / step) < 2^64 there (a step of 1
  // divides nothing)
  const unsigned __int128 one = 1;
  const std::uint64_t inverse =
      step == 1 ? 0 : static_cast<std::uint64_t>(((one << 64) / step) + 1);
  std::vector<std::uint64_t> bits((steps + 63) / 64, 0);
  for (const std::int64_t k : keys) {
    const std::uint64_t q = distance(k) / step;
    bits[q / 64] |= std::uint64_t{1} << (q % 64);
  }
  // keys below each word of the bitmap: a key's place is that count plus the
  // bits set below it in its word (keys are distinct and ascending)
  std::vector<std::uint64_t> below(bits.size(), 0);
  for (std::size_t w = 1; w < bits.size(); ++w) {
    below[w] = below[w - 1] + static_cast<std::uint64_t>(std::popcount(bits[w - 1]));
  }
  for (std::size_t j = 0; j < n_right; ++j) {
    const std::int64_t k = key_of(j);
    if (k < lowest || k > highest) continue;
    const std::uint64_t d = distance(k);
    const std::uint64_t q =
        step == 1 ? d
                  : static_cast<std::uint64_t>((static_cast<unsigned __int128>(d) * inverse) >> 64);
    const std::uint64_t word = bits[q / 64];
    if (q * step != d || !((word >> (q % 64)) & 1)) continue;
    const std::uint64_t lower_bits = (std::uint64_t{1} << (q % 64)) - 1;
    found(j, static_cast<std::size_t>(
                 below[q / 64] + static_cast<std::uint64_t>(std::popcount(word & lower_bits))));
  }
  return true;
}

// Walks sorted runs of rows, or looks each row up when they are unordered.
template <typename K, typename KeyOf, typename Found>
bool find_right_keys(std::span<const K> keys, std::size_t n_right, KeyOf key_of, Found found) {
  std::size_t descents = 0;
  for (std::size_t j = 1; j < n_right; ++j) descents += key_of(j) < key_of(j - 1);
  const bool unordered = rows_look_unordered(descents, n_right);
  if (unordered) {
    if constexpr (std::is_same_v<K, std::int64_t>) {
      if (look_up_on_step(keys, n_right, key_of, found)) return true;
    }
    look_up_hashed(keys, n_right, key_of, found);
  } else {
    walk_sorted(keys, n_right, key_of, found);
  }
  return unordered;
}

}  // namespace

bool rows_look_unordered(std::size_t descents, std::size_t rows) {
  // a walk pays a binary search per descent, a hash table one probe per row
  return descents > rows / 16;
}

bool KeyMatches::any_left_unmatched() const {
  for (std::size_t i = 0; i + 1 < start.size(); ++i) {
    if (start[i + 1] == start[i]) return true;
  }
  return false;
}

namespace {

// The distinct left keys, sorted; left_id[i] becomes the place of row i's key
// (-1 for a row without a code).
std::vector<Key> distinct_left_keys(std::span<const std::int64_t> left_code,
                                    std::span<const std::int64_t> left_stamp,
                                    std::vector<std::int64_t>& left_id) {
  const std::size_t n_left = left_stamp.size();
  left_id.assign(n_left, -1);
  std::vector<std::int64_t> rows;
  rows.reserve(n_left);
  for (std::size_t i = 0; i < n_left; ++i) {
    if (code_at(left_code, i) >= 0) rows.push_back(static_cast<std::int64_t>(i));
  }
  const auto key_of = [&](std::int64_t i) { return Key{code_at(left_code, i), left_stamp[i]}; };
  std::sort(rows.begin(), rows.end(),
            [&](std::int64_t a, std::int64_t b) { return key_of(a) < key_of(b); });
  std::vector<Key> keys;
  for (const std::int64_t i : rows) {
    if (keys.empty() || keys.back() < key_of(i)) keys.push_back(key_of(i));
    left_id[i] = static_cast<std::int64_t>(keys.size()) - 1;
  }
  return keys;
}

// The matched positions grouped by left row into out.start/out.hits: by key
// (a stable counting sort, ascending inside each key), then copied to every
// left row of that key. per_key holds the running counts of the keys.
void group_hits_by_left_row(const std::vector<std::int64_t>& left_id,
                            const std::vector<std::int64_t>& per_key,
                            const std::vector<std::int64_t>& matched_key, KeyMatches& out) {
  std::vector<std::int64_t> by_key(matched_key.size());
  {
    std::vector<std::int64_t> cursor(per_key.begin(), per_key.end() - 1);
    for (std::size_t p = 0; p < matched_key.size(); ++p) {
      by_key[cursor[matched_key[p]]++] = static_cast<std::int64_t>(p);
    }
  }
  const std::size_t n_left = left_id.size();
  out.start.assign(n_left + 1, 0);
  for (std::size_t i = 0; i < n_left; ++i) {
    const std::int64_t id = left_id[i];
    out.start[i + 1] = out.start[i] + (id < 0 ? 0 : per_key[id + 1] - per_key[id]);
  }
  out.hits.resize(static_cast<std::size_t>(out.start[n_left]));
  for (std::size_t i = 0; i < n_left; ++i) {
    const std::int64_t id = left_id[i];
    if (id < 0) continue;
    std::copy(by_key.begin() + per_key[id], by_key.begin() + per_key[id + 1],
              out.hits.begin() + out.start[i]);
  }
}

}  // namespace

KeyMatches match_keys(std::span<const std::int64_t> left_code,
                      std::span<const std::int64_t> left_stamp,
                      std::span<const std::int64_t> right_code,
                      std::span<const std::int64_t> right_stamp) {
  check_codes(left_code, left_stamp, "match_keys (left)");
  check_codes(right_code, right_stamp, "match_keys (right)");
  const std::size_t n_right = right_stamp.size();
  std::vector<std::int64_t> left_id;
  const std::vector<Key> keys = distinct_left_keys(left_code, left_stamp, left_id);

  // One pass over the (large) right side, keeping only the rows that match.
  const std::size_t n_keys = keys.size();
  std::vector<std::int64_t> per_key(n_keys + 1, 0);
  KeyMatches out;
  std::vector<std::int64_t> matched_key;
  const auto found = [&](std::size_t j, std::size_t place) {
    out.matched.push_back(static_cast<std::int64_t>(j));
    matched_key.push_back(static_cast<std::int64_t>(place));
    ++per_key[place + 1];
  };
  // without right codes only left keys of code 0 can match; when those are
  // all there is, the keys are their stamps
  const bool stamps_only =
      right_code.empty() &&
      std::all_of(keys.begin(), keys.end(), [](const Key& k) { return k.code == 0; });
  if (n_keys > 0 && stamps_only) {
    std::vector<std::int64_t> stamps(n_keys);
    for (std::size_t k = 0; k < n_keys; ++k) stamps[k] = keys[k].stamp;
    out.looked_up = find_right_keys(
        std::span<const std::int64_t>(stamps), n_right,
        [&](std::size_t j) { return right_stamp[j]; }, found);
  } else if (n_keys > 0) {
    out.looked_up = find_right_keys(
        std::span<const Key>(keys), n_right,
        [&](std::size_t j) {
          return Key{code_at(right_code, j), right_stamp[j]};
        },
        found);
  }
  std::partial_sum(per_key.begin(), per_key.end(), per_key.begin());
  group_hits_by_left_row(left_id, per_key, matched_key, out);
  return out;
}

namespace {

// Grid rows by (event rank, event time); a run of equal pairs is one window
// (or several windows that share their rounded event time).
std::vector<std::int64_t> grid_by_event(std::span<const std::int64_t> event_rank,
                                        std::span<const std::int64_t> event_time) {
  std::vector<std::int64_t> grid_order(event_rank.size());
  std::iota(grid_order.begin(), grid_order.end(), 0);
  std::stable_sort(grid_order.begin(), grid_order.end(), [&](std::int64_t a, std::int64_t b) {
    if (event_rank[a] != event_rank[b]) return event_rank[a] < event_rank[b];
    return event_time[a] < event_time[b];
  });
  return grid_order;
}

// Each hit's key rank, read in one pass in the hits' order: bars out of order
// make these reads random, and there they overlap (the reads of the hits a
// few ahead asked for early), while in window order each would wait on
// memory alone. `n_kept` counts the hits of a key (rank at least 0).
std::vector<std::int64_t> key_rank_of_hits(const KeyMatches& bars,
                                           std::span<const std::int64_t> key_rank,
                                           std::size_t& n_kept) {
  std::vector<std::int64_t> key_of_hit(bars.hits.size());
  n_kept = 0;
  constexpr std::size_t ahead = 16;
  for (std::size_t h = 0; h < bars.hits.size(); ++h) {
    if (h + ahead < bars.hits.size()) __builtin_prefetch(&key_rank[bars.hits[h + ahead]]);
    key_of_hit[h] = key_rank[bars.hits[h]];
    n_kept += key_of_hit[h] >= 0;
  }
  return key_of_hit;
}

// The kept (grid row, hit) pairs in join order within each window, windows
// in order, with each pair's window and key rank.
struct Pairs {
  std::vector<std::int64_t> window, key, grid, hit;
  std::int64_t n_windows = 0, n_keys = 0;
};

Pairs pairs_by_window(std::span<const std::int64_t> event_rank,
                      std::span<const std::int64_t> event_time, const KeyMatches& bars,
                      std::span<const std::int64_t> key_rank) {
  std::size_t n_kept = 0;
  const std::vector<std::int64_t> key_of_hit = key_rank_of_hits(bars, key_rank, n_kept);
  const std::vector<std::int64_t> grid_order = grid_by_event(event_rank, event_time);
  Pairs pairs;
  for (auto* v : {&pairs.window, &pairs.key, &pairs.grid, &pairs.hit}) v->reserve(n_kept);
  for (std::size_t k = 0; k < grid_order.size(); ++k) {
    const std::int64_t g = grid_order[k];
    if (k > 0) {
      const std::int64_t before = grid_order[k - 1];
      pairs.n_windows += event_rank[g] != event_rank[before] || event_time[g] != event_time[before];
    }
    for (std::int64_t h = bars.start[g]; h < bars.start[g + 1]; ++h) {
      const std::int64_t key = key_of_hit[static_cast<std::size_t>(h)];
      if (key < 0) continue;
      pairs.window.push_back(pairs.n_windows);
      pairs.key.push_back(key);
      pairs.grid.push_back(g);
      pairs.hit.push_back(bars.hits[h]);
      pairs.n_keys = std::max(pairs.n_keys, key + 1);
    }
  }
  return pairs;
}

// `in` into `out`, stably by bucket[p] (each below n_buckets).
void counting_sort(const std::vector<std::int64_t>& bucket, std::int64_t n_buckets,
                   std::span<const std::int64_t> in, std::span<std::int64_t> out) {
  std::vector<std::int64_t> next(static_cast<std::size_t>(n_buckets) + 1, 0);
  for (const std::int64_t p : in) ++next[bucket[p] + 1];
  std::partial_sum(next.begin(), next.end(), next.begin());
  for (const std::int64_t p : in) out[next[bucket[p]]++] = p;
}

// Inside a (window, key) group the pairs are in grid order, which is minute
// order unless windows share their event time: only such groups need sorting
// by minute (stably: ties keep the join order).
void sort_groups_by_minute(const Pairs& pairs, std::span<const std::int64_t> minute,
                           std::vector<std::int64_t>& order) {
  const std::size_t n_pairs = order.size();
  for (std::size_t first = 0; first < n_pairs;) {
    std::size_t last = first + 1;
    const std::int64_t p0 = order[first];
    bool ascending = true;
    while (last < n_pairs && pairs.window[order[last]] == pairs.window[p0] &&
           pairs.key[order[last]] == pairs.key[p0]) {
      ascending =
          ascending && minute[pairs.grid[order[last - 1]]] <= minute[pairs.grid[order[last]]];
      ++last;
    }
    if (!ascending) {
      std::stable_sort(order.begin() + first, order.begin() + last,
                       [&](std::int64_t a, std::int64_t b) {
                         return minute[pairs.grid[a]] < minute[pairs.grid[b]];
                       });
    }
    first = last;
  }
}

}  // namespace

WindowRows order_window_rows(std::span<const std::int64_t> event_rank,
                             std::span<const std::int64_t> event_time,
                             std::span<const std::int64_t> minute, const KeyMatches& bars,
                             std::span<const std::int64_t> key_rank) {
  const std::size_t n_grid = event_rank.size();
  if (event_time.size() != n_grid || minute.size() != n_grid || bars.left_size() != n_grid) {
    throw std::invalid_argument("order_window_rows: grid columns differ in length");
  }
  if (key_rank.size() != bars.matched.size()) {
    throw std::invalid_argument("order_window_rows: one key rank per matched bar expected");
  }
  // With the pairs in join order within each window, windows in order,
  // (window, key rank) is a stable counting sort away: by key rank first and
  // by window last, each pass linear in the pairs.
  const Pairs pairs = pairs_by_window(event_rank, event_time, bars, key_rank);
  const std::size_t n_pairs = pairs.grid.size();
  std::vector<std::int64_t> by_key(n_pairs), order(n_pairs);
  std::iota(order.begin(), order.end(), 0);
  counting_sort(pairs.key, pairs.n_keys, order, by_key);
  counting_sort(pairs.window, pairs.n_windows + 1, by_key, order);
  by_key = {};
  sort_groups_by_minute(pairs, minute, order);

  WindowRows out;
  out.grid.resize(n_pairs);
  out.matched.resize(n_pairs);
  for (std::size_t r = 0; r < n_pairs; ++r) {
    out.grid[r] = pairs.grid[order[r]];
    out.matched[r] = pairs.hit[order[r]];
  }
  return out;
}

JoinedRows expand_left_join(std::span<const std::int64_t> left_rows, const KeyMatches& m) {
  JoinedRows out;
  out.row.reserve(left_rows.size());
  out.right.reserve(left_rows.size());
  for (std::size_t i = 0; i < left_rows.size(); ++i) {
    const std::int64_t left = left_rows[i];
    if (left < 0 || static_cast<std::size_t>(left) >= m.left_size()) {
      throw std::out_of_range("expand_left_join: left row out of range");
    }
    if (m.count(left) == 0) {
      out.row.push_back(static_cast<std::int64_t>(i));
      out.right.push_back(-1);
      out.any_unmatched = true;
      continue;
    }
    for (std::int64_t h = m.start[left]; h < m.start[left + 1]; ++h) {
      out.row.push_back(static_cast<std::int64_t>(i));
      out.right.push_back(m.matched[m.hits[h]]);
    }
  }
  return out;
}

std::vector<std::int64_t> distinct_code_stamps(std::span<const std::int64_t> code,
                                               std::span<const std::int64_t> stamp) {
  if (code.size() != stamp.size()) {
    throw std::invalid_argument("distinct_code_stamps: codes and stamps differ in length");
  }
  KeyTable table(code.size());
  std::vector<std::int64_t> firsts;
  for (std::size_t i = 0; i < code.size(); ++i) {
    if (code[i] < 0) continue;
    const std::int64_t before = table.size();
    if (table.insert(code[i], stamp[i]) == before) firsts.push_back(static_cast<std::int64_t>(i));
  }
  std::stable_sort(firsts.begin(), firsts.end(),
                   [&](std::int64_t a, std::int64_t b) { return code[a] < code[b]; });
  return firsts;
}

void expand_minute_grid(std::span<const std::int64_t> times, std::int64_t pre, std::int64_t post,
                        std::int64_t ticks_per_minute, std::span<std::int64_t> stamps,
                        std::span<std::int64_t> offsets) {
  const std::size_t width = post >= pre ? static_cast<std::size_t>(post - pre + 1) : 0;
  if (stamps.size() != times.size() * width || offsets.size() != stamps.size()) {
    throw std::invalid_argument("expand_minute_grid: output length mismatch");
  }
  std::size_t k = 0;
  for (const std::int64_t t : times) {
    for (std::int64_t m = pre; m <= post; ++m, ++k) {
      std::int64_t shift = 0, value = 0;
      if (__builtin_mul_overflow(m, ticks_per_minute, &shift) ||
          __builtin_add_overflow(t, shift, &value) || value == not_a_time) {
        throw std::overflow_error("expand_minute_grid: stamp out of range");
      }
      stamps[k] = value;
      offsets[k] = m;
    }
  }
}

void rescale_stamps(std::span<const std::int64_t> in, std::int64_t up, std::int64_t down,
                    std::span<std::int64_t> out, std::span<std::int64_t> code) {
  if (out.size() != in.size() || code.size() != in.size() || up < 1 || down < 1) {
    throw std::invalid_argument("rescale_stamps: bad arguments");
  }
  for (std::size_t i = 0; i < in.size(); ++i) {
    const std::int64_t v = in[i];
    if (v == not_a_time) {
      out[i] = not_a_time;
      continue;
    }
    if (down > 1 && v % down != 0) {
      out[i] = 0;
      code[i] = -1;
      continue;
    }
    std::int64_t scaled = 0;
    if (__builtin_mul_overflow(v / down, up, &scaled) || scaled == not_a_time) {
      throw std::overflow_error("rescale_stamps: stamp out of range");
    }
    out[i] = scaled;
  }
}

bool stamps_fit_scaled(std::span<const std::int64_t> stamps, std::int64_t factor) {
  if (factor <= 1) return true;
  const std::int64_t limit = std::numeric_limits<std::int64_t>::max() / factor;
  for (const std::int64_t v : stamps) {
    if (v != not_a_time && (v > limit || v < -limit)) return false;
  }
  return true;
}

}  // namespace orvane::core
