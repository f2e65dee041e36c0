// Texts in Arrow's large-string layout, read in place: one column is a list
// of chunks, and text i of a chunk is the bytes data[offsets[i]] ..
// data[offsets[i + 1]], missing where its validity bit is clear. Taking rows
// of such a column and ranking them works on the bytes without making a
// string object per row.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace orvane::core {

struct TextChunk {
  const std::int64_t* offsets = nullptr;  // length + 1 entries from the chunk's first
  const char* data = nullptr;
  const std::uint8_t* validity = nullptr;  // no bitmap: every text present
  std::int64_t bit_offset = 0;             // the chunk's first bit in `validity`
  std::int64_t length = 0;

  std::int64_t offset(std::int64_t i) const { return offsets[i]; }
  bool present(std::int64_t i) const {
    if (validity == nullptr) return true;
    const std::int64_t bit = bit_offset + i;
    return (validity[bit / 8] >> (bit % 8)) & 1;
  }
  std::string_view text(std::int64_t i) const {
    const std::int64_t first = offset(i);
    return {data + first, static_cast<std::size_t>(offset(i + 1) - first)};
  }
};

class TextColumn {
 public:
  explicit TextColumn(std::vector<TextChunk> chunks);

  std::int64_t size() const { return starts_.back(); }
  // Row `row` as its chunk and its place there; throws std::out_of_range
  // beyond the column.
  std::pair<const TextChunk*, std::int64_t> locate(std::int64_t row) const;
  const std::vector<TextChunk>& chunks() const { return chunks_; }

 private:
  std::vector<TextChunk> chunks_;
  std::vector<std::int64_t> starts_;  // chunk k holds rows starts_[k] .. starts_[k + 1] - 1
};

// Taking rows `rows` (row -1: a missing text) into one Arrow chunk, in two
// passes so that each source row is read once: lay_out_texts writes the
// chunk's offsets (rows.size() + 1 entries; the last is the length of its
// bytes) and validity bitmap ((rows.size() + 7) / 8 bytes), keeps where each
// text's bytes start in `sources`, and returns the number of missing
// entries; copy_texts then fills the bytes. Both throw std::invalid_argument
// when the outputs have other lengths.
std::int64_t lay_out_texts(const TextColumn& column, std::span<const std::int64_t> rows,
                           std::span<std::int64_t> offsets, std::span<std::uint8_t> validity,
                           std::vector<const char*>& sources);
void copy_texts(std::span<const char* const> sources, std::span<const std::int64_t> offsets,
                std::span<char> bytes);

// Each row's place among the distinct present texts of `rows` in byte order
// (code point order for UTF-8), -1 for a missing text.
std::vector<std::int64_t> text_ranks(const TextColumn& column, std::span<const std::int64_t> rows);

// The same for every row of the column, read chunk by chunk; `count` is set
// to the number of distinct present texts.
std::vector<std::int64_t> text_ranks(const TextColumn& column, std::int64_t& count);

// The runs of equal texts of a column: the rows where one starts, row 0 first
// (none for no rows), a row starting one when its text differs from the row
// before's (a missing text equal only to another missing one); and whether
// no two runs hold the same text, as when each key's rows are one run.
struct TextRuns {
  std::vector<std::int64_t> starts;
  bool distinct = true;
};
TextRuns text_runs(const TextColumn& column);

}  // namespace orvane::core
