#include "exchange_zone.hpp"

#include <array>

namespace orvane::core {
namespace {

using namespace std::string_view_literals;

// A zone and the markers that name it. The dots and spaces around each
// marker are part of it: a bare "CME" at either end of a ticker is a root,
// not an exchange.
struct ZoneMarkers {
  std::string_view zone;
  std::array<std::string_view, 8> markers;  // the unused ones empty
};

// In the order they are tried; the first zone one of whose markers is found
// decides.
constexpr std::array<ZoneMarkers, 3> zones{{
    {"America/Chicago"sv,
     {".CBOT."sv, ".CME."sv, ".NYMEX."sv, ".COMEX."sv, " CBOT "sv, " CME "sv, " NYMEX "sv,
      " COMEX "sv}},
    {"Asia/Hong_Kong"sv, {".HK"sv, " HK "sv}},
    {"America/New_York"sv, {" US EQUITY"sv, " US "sv}},
}};

}  // namespace

std::optional<std::string_view> exchange_zone_of(std::string_view upper_ticker) {
  for (const ZoneMarkers& z : zones) {
    for (std::string_view marker : z.markers) {
      if (!marker.empty() && upper_ticker.find(marker) != std::string_view::npos) return z.zone;
    }
  }
  return std::nullopt;
}

}  // namespace orvane::core
