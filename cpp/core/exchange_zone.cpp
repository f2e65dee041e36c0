#include "exchange_zone.hpp"

#include <array>
#include <utility>

namespace orvane::core {
namespace {

using namespace std::string_view_literals;

// In the order they are tried; the first marker found decides. The dots and
// spaces around each marker are part of it: a bare "CME" at either end of a
// ticker is a root, not an exchange.
constexpr std::array<std::pair<std::string_view, std::string_view>, 12> markers{{
    {".CBOT."sv, "America/Chicago"sv},
    {".CME."sv, "America/Chicago"sv},
    {".NYMEX."sv, "America/Chicago"sv},
    {".COMEX."sv, "America/Chicago"sv},
    {" CBOT "sv, "America/Chicago"sv},
    {" CME "sv, "America/Chicago"sv},
    {" NYMEX "sv, "America/Chicago"sv},
    {" COMEX "sv, "America/Chicago"sv},
    {".HK"sv, "Asia/Hong_Kong"sv},
    {" HK "sv, "Asia/Hong_Kong"sv},
    {" US EQUITY"sv, "America/New_York"sv},
    {" US "sv, "America/New_York"sv},
}};

}  // namespace

std::optional<std::string_view> exchange_zone_of(std::string_view upper_ticker) {
  for (const auto& [marker, zone] : markers) {
    if (upper_ticker.find(marker) != std::string_view::npos) return zone;
  }
  return std::nullopt;
}

}  // namespace orvane::core
