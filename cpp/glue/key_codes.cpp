#include "key_codes.hpp"

#include <pybind11/numpy.h>

#include <algorithm>
#include <vector>

#include "arrays.hpp"
#include "arrow_texts.hpp"
#include "released.hpp"
#include "roads.hpp"

namespace orvane::glue {
namespace {

// Values a range of whole numbers may span beyond the rows and still be
// numbered by its offset: the groups built on the codes index a table of
// about that size.
constexpr std::uint64_t kSpareRange = 1u << 16;

enum class KeyKind { categories, whole_numbers, arrow_texts };

// What the eligibility predicate read of an eligible column.
struct KeyRead {
  KeyKind kind;
  py::object values;  // a categorical's codes, or the whole numbers as int64
  std::int64_t low = 0, high = -1;
};

// Why a key column cannot be numbered natively, or nullptr when it can.
const char* key_ineligible(py::handle column, KeyRead& read) {
  py::object pd = py::module_::import("pandas");
  py::object dtype = column.attr("dtype");
  if (py::isinstance(dtype, pd.attr("CategoricalDtype"))) {
    read = {KeyKind::categories, column.attr("array").attr("codes")};
    return nullptr;
  }
  bool in_arrow = false;
  const char* texts_reason = arrow_texts_ineligible(column, in_arrow);
  if (in_arrow) {
    read.kind = KeyKind::arrow_texts;
    return texts_reason;
  }
  py::object values = numpy_values(column);
  if (!values) return "the column is neither categorical, whole numbers nor Arrow texts";
  const py::dtype numbers = py::reinterpret_borrow<py::array>(values).dtype();
  const bool whole = numbers.kind() == 'i' || (numbers.kind() == 'u' && numbers.itemsize() < 8);
  if (!whole) return "the column is neither categorical, whole numbers nor Arrow texts";
  Int64Array as_ints = as_int64(values);
  const std::span<const std::int64_t> v = view(as_ints);
  if (!v.empty()) {
    const auto [lo, hi] = std::minmax_element(v.begin(), v.end());
    read.low = *lo;
    read.high = *hi;
  }
  const std::uint64_t span =
      static_cast<std::uint64_t>(read.high) - static_cast<std::uint64_t>(read.low);
  if (!v.empty() && span >= v.size() + kSpareRange) {
    return "the whole numbers span more values than a table over them holds";
  }
  read.kind = KeyKind::whole_numbers;
  read.values = std::move(as_ints);
  return nullptr;
}

KeyCodes native_codes(py::handle column, const KeyRead& read) {
  switch (read.kind) {
    case KeyKind::categories:
      return {as_int64(read.values),
              static_cast<std::int64_t>(py::len(column.attr("dtype").attr("categories")))};
    case KeyKind::whole_numbers: {
      const Int64Array values = Int64Array::ensure(read.values);
      const std::span<const std::int64_t> v = view(values);
      Int64Array codes = new_int64(v.size());
      std::span<std::int64_t> out = writable(codes);
      for (std::size_t i = 0; i < v.size(); ++i) out[i] = v[i] - read.low;
      return {std::move(codes), read.high - read.low + 1};
    }
    case KeyKind::arrow_texts: {
      const ArrowTexts texts = arrow_texts(column);
      std::int64_t count = 0;
      std::vector<std::int64_t> ranks =
          without_gil("keys.text_ranks", [&] { return core::text_ranks(texts.column, count); });
      return {int64_array(std::move(ranks)), count};
    }
  }
  throw std::logic_error("key codes: unknown kind");
}

}  // namespace

KeyCodes sorted_key_codes(py::handle column, std::string_view road) {
  KeyRead read{};
  if (const char* reason = key_ineligible(column, read)) {
    pandas_road(road, reason);
    LabelCodes labels = label_codes(column);
    return {std::move(labels.codes), static_cast<std::int64_t>(py::len(labels.uniques))};
  }
  native_road(road);
  return native_codes(column, read);
}

}  // namespace orvane::glue
