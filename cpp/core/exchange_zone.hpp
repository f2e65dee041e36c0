// The exchange clock a ticker text points to, read from the exchange or
// market markers written into the ticker.
#pragma once

#include <optional>
#include <string_view>

namespace orvane::core {

// The IANA zone of the first marker row that `upper_ticker` (already upper
// case) contains, rows taken in order: the Chicago futures exchanges, then
// Hong Kong, then the United States. std::nullopt when no marker is present.
// Markers are matched as plain bytes, so UTF-8 text works unchanged.
std::optional<std::string_view> exchange_zone_of(std::string_view upper_ticker);

}  // namespace orvane::core
