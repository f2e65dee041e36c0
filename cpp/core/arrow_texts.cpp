#include "arrow_texts.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <unordered_map>
#include <unordered_set>

namespace orvane::core {

TextColumn::TextColumn(std::vector<TextChunk> chunks) : chunks_(std::move(chunks)) {
  starts_.reserve(chunks_.size() + 1);
  starts_.push_back(0);
  for (const TextChunk& c : chunks_) starts_.push_back(starts_.back() + c.length);
}

std::pair<const TextChunk*, std::int64_t> TextColumn::locate(std::int64_t row) const {
  if (row < 0 || row >= size()) throw std::out_of_range("text column: row out of range");
  const std::size_t k = static_cast<std::size_t>(
      std::upper_bound(starts_.begin(), starts_.end(), row) - starts_.begin() - 1);
  return {&chunks_[k], row - starts_[k]};
}

namespace {

// Rows looked up ahead of the one taken: enough to cover a miss to memory.
constexpr std::size_t kAhead = 16;

// `size` bytes, copied in at most two overlapping words for texts up to 16
// bytes (tickers, keys and names mostly are), where a call to memcpy would
// cost more than the copy.
inline void copy_short(char* to, const char* from, std::size_t size) {
  if (size >= 8 && size <= 16) {
    std::memcpy(to, from, 8);
    std::memcpy(to + size - 8, from + size - 8, 8);
  } else if (size >= 4 && size < 8) {
    std::memcpy(to, from, 4);
    std::memcpy(to + size - 4, from + size - 4, 4);
  } else if (size > 0) {
    std::memcpy(to, from, size);
  }
}

}  // namespace

std::int64_t lay_out_texts(const TextColumn& column, std::span<const std::int64_t> rows,
                           std::span<std::int64_t> offsets, std::span<std::uint8_t> validity,
                           std::vector<const char*>& sources) {
  if (offsets.size() != rows.size() + 1 || validity.size() != (rows.size() + 7) / 8) {
    throw std::invalid_argument("lay_out_texts: output length mismatch");
  }
  std::fill(validity.begin(), validity.end(), std::uint8_t{0});
  sources.assign(rows.size(), nullptr);
  std::int64_t missing = 0, end = 0;
  offsets[0] = 0;
  // Rows taken out of order each wait on memory for their offsets and
  // validity bit: those of the row kAhead on are asked for while this one is
  // laid out (its place in the column kept in a ring, so it is looked up once).
  std::pair<const TextChunk*, std::int64_t> ahead[kAhead] = {};
  const auto look_ahead = [&](std::size_t r) {
    if (r >= rows.size() || rows[r] == -1) return;
    const auto place = column.locate(rows[r]);
    ahead[r % kAhead] = place;
    const auto [chunk, i] = place;
    __builtin_prefetch(chunk->offsets + i);
    if (chunk->validity != nullptr)
      __builtin_prefetch(chunk->validity + (chunk->bit_offset + i) / 8);
  };
  for (std::size_t r = 0; r < std::min(kAhead, rows.size()); ++r) look_ahead(r);
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const auto [chunk, i] = ahead[r % kAhead];  // read before the slot takes row r + kAhead
    look_ahead(r + kAhead);
    if (rows[r] != -1 && chunk->present(i)) {
      const std::string_view text = chunk->text(i);
      sources[r] = text.data();
      end += static_cast<std::int64_t>(text.size());
      validity[r / 8] |= static_cast<std::uint8_t>(1u << (r % 8));
    } else {
      ++missing;
    }
    offsets[r + 1] = end;
  }
  return missing;
}

void copy_texts(std::span<const char* const> sources, std::span<const std::int64_t> offsets,
                std::span<char> bytes) {
  if (offsets.size() != sources.size() + 1 ||
      static_cast<std::int64_t>(bytes.size()) != offsets.back()) {
    throw std::invalid_argument("copy_texts: output length mismatch");
  }
  for (std::size_t r = 0; r < sources.size(); ++r) {
    if (r + kAhead < sources.size()) __builtin_prefetch(sources[r + kAhead]);
    const auto size = static_cast<std::size_t>(offsets[r + 1] - offsets[r]);
    copy_short(bytes.data() + offsets[r], sources[r], size);
  }
}

namespace {

// Whether two texts are the same, reading short ones (most keys and names)
// in at most two overlapping words each rather than calling memcmp.
bool same_text(std::string_view a, std::string_view b) {
  const std::size_t n = a.size();
  if (n != b.size()) return false;
  const auto equal_words = [&](auto word) {
    constexpr std::size_t size = sizeof(word);
    decltype(word) a0, a1, b0, b1;
    std::memcpy(&a0, a.data(), size);
    std::memcpy(&b0, b.data(), size);
    std::memcpy(&a1, a.data() + n - size, size);
    std::memcpy(&b1, b.data() + n - size, size);
    return ((a0 ^ b0) | (a1 ^ b1)) == 0;
  };
  if (n >= 8 && n <= 16) return equal_words(std::uint64_t{});
  if (n >= 4 && n < 8) return equal_words(std::uint32_t{});
  return a == b;
}

// Texts numbered in order of first appearance, then renumbered by rank.
// Rows come in runs of one text (a security's bars), so the text before is
// tried first and the table only when the text changes.
class TextNumbering {
 public:
  std::int64_t id(std::string_view text) {
    if (previous_id_ < 0 || !same_text(text, previous_)) {
      const auto [place, added] =
          id_of_.try_emplace(text, static_cast<std::int64_t>(distinct_.size()));
      if (added) distinct_.push_back(text);
      previous_ = text;
      previous_id_ = place->second;
    }
    return previous_id_;
  }

  // The ids (-1: missing) replaced by the texts' ranks.
  void rank(std::vector<std::int64_t>& id) const {
    // string_view compares bytes as unsigned chars, which orders UTF-8 texts
    // by code point
    std::vector<std::int64_t> order(distinct_.size());
    for (std::size_t k = 0; k < order.size(); ++k) order[k] = static_cast<std::int64_t>(k);
    std::sort(order.begin(), order.end(),
              [&](std::int64_t a, std::int64_t b) { return distinct_[a] < distinct_[b]; });
    std::vector<std::int64_t> rank_of(distinct_.size());
    for (std::size_t k = 0; k < order.size(); ++k) rank_of[order[k]] = static_cast<std::int64_t>(k);
    for (std::int64_t& v : id) {
      if (v >= 0) v = rank_of[v];
    }
  }

  std::int64_t count() const { return static_cast<std::int64_t>(distinct_.size()); }

 private:
  std::vector<std::string_view> distinct_;
  std::unordered_map<std::string_view, std::int64_t> id_of_;
  std::string_view previous_;
  std::int64_t previous_id_ = -1;
};

}  // namespace

std::vector<std::int64_t> text_ranks(const TextColumn& column, std::span<const std::int64_t> rows) {
  std::vector<std::int64_t> id(rows.size(), -1);
  TextNumbering numbering;
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const auto [chunk, i] = column.locate(rows[r]);
    if (chunk->present(i)) id[r] = numbering.id(chunk->text(i));
  }
  numbering.rank(id);
  return id;
}

std::vector<std::int64_t> text_ranks(const TextColumn& column, std::int64_t& count) {
  std::vector<std::int64_t> id(static_cast<std::size_t>(column.size()), -1);
  TextNumbering numbering;
  std::size_t r = 0;
  for (const TextChunk& chunk : column.chunks()) {
    for (std::int64_t i = 0; i < chunk.length; ++i, ++r) {
      if (chunk.present(i)) id[r] = numbering.id(chunk.text(i));
    }
  }
  numbering.rank(id);
  count = numbering.count();
  return id;
}

TextRuns text_runs(const TextColumn& column) {
  TextRuns runs;
  std::unordered_set<std::string_view> seen;
  bool missing_seen = false;
  std::string_view previous;  // the row before's text
  bool previous_present = false;
  std::int64_t row = 0;
  for (const TextChunk& chunk : column.chunks()) {
    for (std::int64_t i = 0; i < chunk.length; ++i, ++row) {
      const bool present = chunk.present(i);
      const std::string_view text = present ? chunk.text(i) : std::string_view();
      const bool same =
          row > 0 && present == previous_present && (!present || same_text(text, previous));
      previous = text;
      previous_present = present;
      if (same) continue;
      runs.starts.push_back(row);
      const bool fresh = present ? seen.insert(text).second : !missing_seen;
      missing_seen = missing_seen || !present;
      runs.distinct = runs.distinct && fresh;
    }
  }
  return runs;
}

}  // namespace orvane::core
