// Text columns that pandas keeps in Arrow strings, read in place: their rows
// taken and ranked on the bytes, without a string object per row or a copy
// of the whole column's chunks into one.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <span>
#include <vector>

#include "../core/arrow_texts.hpp"

namespace orvane::glue {

namespace py = pybind11;

// Why a pandas column's texts cannot be read in place, or nullptr when they
// can: its dtype is pandas' string dtype with Arrow storage (the default `str`
// of pandas 3, `string[pyarrow]`, pandas 2.2's `string[pyarrow_numpy]`), its
// values Arrow large strings (as pandas keeps them) in CPU memory. `in_arrow`
// tells whether the column holds its texts in Arrow strings at all; nothing
// else is asked of other columns.
const char* arrow_texts_ineligible(py::handle series, bool& in_arrow);

struct ArrowTexts {
  core::TextColumn column;
  py::object array;    // the pandas array: its type and dtype make results
  py::object chunked;  // owns the buffers `column` points into
};

// The texts of an eligible column (see arrow_texts_ineligible).
ArrowTexts arrow_texts(py::handle series);

// Rows `rows` of the texts (-1: a missing text) as a pandas array of the
// column's own dtype, built in one pass over the bytes taken.
py::object take_texts(const ArrowTexts& texts, std::span<const std::int64_t> rows);

// The rows' places among their distinct texts in the order pandas sorts
// them, -1 for a missing text (see core::text_ranks).
std::vector<std::int64_t> rank_texts(const ArrowTexts& texts, std::span<const std::int64_t> rows);

}  // namespace orvane::glue
