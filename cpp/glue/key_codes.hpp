// Key columns numbered in sorted order, which is what a sorted groupby needs
// of each key: read from the codes a dtype already holds (categories, small
// ranges of whole numbers, Arrow texts ranked on their bytes) rather than
// factorized by pandas.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <string_view>

#include "columns.hpp"

namespace orvane::glue {

namespace py = pybind11;

struct KeyCodes {
  Int64Array codes;   // each row's place among the column's values in sorted order, -1 missing
  std::int64_t size;  // codes lie in [0, size)
};

// The codes of a key column (a Series), by road `road`. The native road reads
// a categorical's codes (category order), whole numbers of a numpy dtype
// spanning no more values than the rows plus 65536 (their offset from the
// least), and texts kept in Arrow strings (ranked on their bytes, pandas'
// order for texts); any other column takes pandas' sorted factorize. Codes
// may count values that no row holds: they number the column's values in
// order, not densely.
KeyCodes sorted_key_codes(py::handle column, std::string_view road);

}  // namespace orvane::glue
