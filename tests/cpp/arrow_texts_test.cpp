#include "core/arrow_texts.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

using namespace orvane::core;
using V = std::vector<std::int64_t>;

namespace {

// One chunk in Arrow's layout, owning its buffers; `missing` marks entries
// whose validity bit is clear.
struct OwnedChunk {
  V offsets{0};
  std::string data;
  std::vector<std::uint8_t> validity;

  OwnedChunk(const std::vector<std::string>& texts, const std::vector<bool>& missing = {}) {
    validity.assign((texts.size() + 7) / 8, 0);
    for (std::size_t i = 0; i < texts.size(); ++i) {
      data += texts[i];
      offsets.push_back(static_cast<std::int64_t>(data.size()));
      if (missing.empty() || !missing[i]) validity[i / 8] |= std::uint8_t(1u << (i % 8));
    }
  }
  TextChunk chunk(std::int64_t from = 0) const {
    TextChunk c;
    c.offsets = offsets.data() + from;
    c.data = data.data();
    c.validity = validity.data();
    c.bit_offset = from;
    c.length = static_cast<std::int64_t>(offsets.size()) - 1 - from;
    return c;
  }
};

std::vector<std::string> taken(const TextColumn& column, const V& rows, V* missing_rows = nullptr) {
  V offsets(rows.size() + 1);
  std::vector<std::uint8_t> validity((rows.size() + 7) / 8);
  std::vector<const char*> sources;
  const std::int64_t missing = lay_out_texts(column, rows, offsets, validity, sources);
  std::string bytes(static_cast<std::size_t>(offsets.back()), '\0');
  copy_texts(sources, offsets, bytes);
  std::vector<std::string> out;
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const bool present = (validity[r / 8] >> (r % 8)) & 1;
    if (!present && missing_rows) missing_rows->push_back(static_cast<std::int64_t>(r));
    out.push_back(present ? bytes.substr(offsets[r], offsets[r + 1] - offsets[r]) : "<NA>");
  }
  EXPECT_EQ(missing, missing_rows ? static_cast<std::int64_t>(missing_rows->size()) : missing);
  return out;
}

}  // namespace

TEST(ArrowTexts, TakesRowsAcrossChunksSlicesAndMissingEntries) {
  // the second chunk is a slice starting at its third entry, as Arrow
  // slices keep the parent's buffers and an offset
  OwnedChunk first({"ES", "", "JPY"}, {false, false, true});
  OwnedChunk second({"x", "y", "SPX", "NKY", "z"}, {true, false, false, true, false});
  TextColumn column({first.chunk(), second.chunk(2)});
  ASSERT_EQ(column.size(), 6);
  V missing;
  EXPECT_EQ(taken(column, {3, 0, -1, 2, 1, 4, 5, 3}, &missing),
            (std::vector<std::string>{"SPX", "ES", "<NA>", "<NA>", "", "<NA>", "z", "SPX"}));
  EXPECT_EQ(missing, (V{2, 3, 5}));
}

TEST(ArrowTexts, TakesTextsOfEveryLengthInAnyOrder) {
  // lengths 0 to 40 (the short copies' edges at 4, 8 and 16 bytes), over two
  // chunks, taken in a scrambled order many rows long with missing rows mixed
  // in, so that rows looked up ahead cross chunks and gaps
  std::vector<std::string> texts;
  for (int size = 0; size <= 40; ++size) {
    std::string text;
    for (int i = 0; i < size; ++i) text += static_cast<char>('a' + (size * 7 + i) % 26);
    texts.push_back(text);
  }
  OwnedChunk low({texts.begin(), texts.begin() + 20});
  OwnedChunk high({texts.begin() + 20, texts.end()});
  TextColumn column({low.chunk(), high.chunk()});
  V rows;
  std::vector<std::string> want;
  for (std::int64_t r = 0; r < 400; ++r) {
    const std::int64_t row = r % 13 == 5 ? -1 : (r * 17) % 41;
    rows.push_back(row);
    want.push_back(row < 0 ? "<NA>" : texts[static_cast<std::size_t>(row)]);
  }
  EXPECT_EQ(taken(column, rows), want);
}

TEST(ArrowTexts, RejectsRowsBeyondTheColumnAndShortOutputs) {
  OwnedChunk only({"a", "bc"});
  TextColumn column({only.chunk()});
  V offsets(3);
  std::vector<std::uint8_t> validity(1);
  std::vector<const char*> sources;
  EXPECT_THROW(lay_out_texts(column, V{0, 2}, offsets, validity, sources), std::out_of_range);
  EXPECT_THROW(text_ranks(column, V{-1}), std::out_of_range);
  EXPECT_EQ(lay_out_texts(column, V{0, 1}, offsets, validity, sources), 0);
  std::string bytes(2, '\0');  // three needed
  EXPECT_THROW(copy_texts(sources, offsets, bytes), std::invalid_argument);
}

TEST(ArrowTexts, RanksInCodePointOrderWhateverTheRowOrder) {
  // "é" (0xC3 0xA9) sorts after "z" by code point: bytes compared as signed
  // chars would put it first
  OwnedChunk texts({"z", "\xC3\xA9", "Z", "", "ab", "a", "z", "\xC3\xA9"},
                   {false, false, false, false, false, false, true, false});
  TextColumn column({texts.chunk()});
  EXPECT_EQ(text_ranks(column, V{0, 1, 2, 3, 4, 5, 6, 7, 0}), (V{4, 5, 1, 0, 3, 2, -1, 5, 4}));
  // only the rows asked for count: ranks are dense among them
  EXPECT_EQ(text_ranks(column, V{1, 0, 0, 2}), (V{2, 1, 1, 0}));
}
