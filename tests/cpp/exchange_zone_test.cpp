#include "core/exchange_zone.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

using orvane::core::exchange_zone_of;

namespace {

std::string zone(std::string_view ticker) {
  auto z = exchange_zone_of(ticker);
  return z ? std::string(*z) : std::string("<none>");
}

}  // namespace

TEST(ExchangeZone, MarkersNeedTheirDotsOrSpaces) {
  EXPECT_EQ(zone("CL1 COMDTY.NYMEX."), "America/Chicago");
  EXPECT_EQ(zone("ES.CME.H24"), "America/Chicago");
  EXPECT_EQ(zone("GC COMEX FUT"), "America/Chicago");
  EXPECT_EQ(zone("700 HK EQUITY"), "Asia/Hong_Kong");
  EXPECT_EQ(zone("0700.HK"), "Asia/Hong_Kong");
  EXPECT_EQ(zone("AAPL US EQUITY"), "America/New_York");
  EXPECT_EQ(zone("IBM US "), "America/New_York");
  // no surrounding dot or space: roots and suffixes, not markers
  EXPECT_EQ(zone("CME"), "<none>");
  EXPECT_EQ(zone("CME US"), "<none>");
  EXPECT_EQ(zone("SPX INDEX"), "<none>");
  EXPECT_EQ(zone("HKUS"), "<none>");
  EXPECT_EQ(zone(""), "<none>");
}

TEST(ExchangeZone, RowsAreTriedTopToBottom) {
  EXPECT_EQ(zone("ZN US CBOT "), "America/Chicago");
  EXPECT_EQ(zone("X US .HK"), "Asia/Hong_Kong");
  EXPECT_EQ(zone("X HK US EQUITY"), "Asia/Hong_Kong");
}

TEST(ExchangeZone, MultibyteTextAroundMarkers) {
  EXPECT_EQ(zone("\xE8\x85\xBE\xE8\xAE\xAF HK EQUITY"), "Asia/Hong_Kong");
  EXPECT_EQ(zone("\xC3\x9C US "), "America/New_York");
}
