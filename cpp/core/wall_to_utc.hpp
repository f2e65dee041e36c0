// Naive wall-clock stamps of one zone turned into UTC instants, the way the
// package's dataframe library localises them when told to infer repeated
// hours from the order of the stamps and to move skipped ones forward; done
// natively only where the zone's own table settles every stamp, with the
// caller left to do the rest.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace orvane::core {

// A zone's UTC offsets: offsets[k] (seconds east of UTC) holds from the UTC
// instant transitions[k] (seconds since the epoch) up to the next
// transition, `before` up to the first one.
struct OffsetTable {
  std::vector<std::int64_t> transitions;
  std::vector<std::int64_t> offsets;
  std::int64_t before = 0;
  // Wall-clock seconds (both ends included) the table settles on its own.
  // Past the last transition a zone with a summer-time rule follows that
  // rule, which the table does not hold; nor is the zone's earliest history
  // taken on.
  std::int64_t wall_min = 0;
  std::int64_t wall_max = -1;
};

// Builds the table from a zone file: the UTC instant of each transition and
// the local-time type it switches to, and per type its offset and whether it
// is summer time. `offset_after` is the one offset the zone keeps after its
// last transition, or nullopt when a summer-time rule takes over there.
// `before` is the first type that is not summer time (else the type of the
// first transition), as the zone loader reads the time before any transition.
OffsetTable make_offset_table(std::span<const std::int64_t> transitions,
                              std::span<const std::int64_t> transition_types,
                              std::span<const std::int64_t> type_offsets,
                              std::span<const std::uint8_t> type_is_dst,
                              std::optional<std::int64_t> offset_after);

// The offset (seconds east of UTC) of a POSIX zone rule without summer time,
// such as "HKT-8" or "<+0530>-5:30"; nullopt for a rule with summer time or
// one that does not parse.
std::optional<std::int64_t> fixed_rule_offset(std::string_view rule);

// A zone of one fixed offset, for every stamp.
OffsetTable fixed_offset_table(std::int64_t offset);

enum class WallToUtc {
  done,      // every stamp converted
  repeated,  // a stamp names a repeated hour and resolve_repeated was false
  declined,  // left to the caller: outside the table, or a case the caller reports
};

// utc[i] = the UTC instant of the naive wall-clock stamp wall[i] (ticks of
// 1/ticks_per_second s; NaT, the smallest int64, stays NaT):
// - a stamp in the hour repeated when the clocks go back takes its first or
//   second reading from the order of the stamps: each run of consecutive
//   repeated-hour stamps must turn back exactly once, and stamps from the
//   turn on take the second reading;
// - a stamp in the hour skipped when the clocks go forward moves to the next
//   whole hour of the wall clock.
// Declines (leaving `utc` unspecified) when a stamp lies outside the table's
// span, near two transitions at once, or when the repeated hours cannot be
// read from the order; the caller then converts the stamps itself and
// reports the failure in its own words.
WallToUtc wall_to_utc(std::span<const std::int64_t> wall, std::int64_t ticks_per_second,
                      const OffsetTable& zone, bool resolve_repeated, std::span<std::int64_t> utc);

// The two steps of wall_to_utc, for stamps of several instruments side by
// side. A stamp of a repeated hour, with both its readings and its place in
// its own instrument's sequence (stamps next to each other there have
// consecutive positions).
struct RepeatedStamp {
  std::size_t row;       // where its reading goes in utc
  std::size_t position;  // its place in its instrument's sequence
  std::int64_t earlier;
  std::int64_t later;
};

// Converts every stamp as wall_to_utc does, except that stamps of a repeated
// hour get their earlier reading and are listed in `repeats` (row and
// position both their index) for settle_repeats; with `repeats` null such a
// stamp returns WallToUtc::repeated.
WallToUtc read_wall_clock(std::span<const std::int64_t> wall, std::int64_t ticks_per_second,
                          const OffsetTable& zone, std::span<std::int64_t> utc,
                          std::vector<RepeatedStamp>* repeats);

// Writes the reading the order picks for the repeated stamps of one
// instrument, given in its sequence order; false (nothing settled for sure)
// when the order does not tell.
bool settle_repeats(std::span<const RepeatedStamp> stamps, std::span<std::int64_t> utc);

// The same for rows of several instruments side by side (group[row], below
// `groups`, names the instrument), `repeats` as read_wall_clock listed them: each
// instrument's repeated stamps are read in that instrument's own row order.
bool settle_repeats_by_group(std::span<const std::uint64_t> group, std::uint64_t groups,
                             std::vector<RepeatedStamp>& repeats, std::span<std::int64_t> utc);

}  // namespace orvane::core
