#include "arrow_texts.hpp"

#include <pybind11/numpy.h>

#include "pandas_lines.hpp"
#include "released.hpp"

namespace orvane::glue {

using namespace pybind11::literals;

namespace {

py::object arrow_types() { return py::module_::import("pyarrow").attr("types"); }

std::uintptr_t address_of(py::handle buffer) {
  return buffer.is_none() ? 0 : buffer.attr("address").cast<std::uintptr_t>();
}

// The buffer of a numpy array, shared with Arrow (no copy).
py::object arrow_buffer(py::handle array) {
  return py::module_::import("pyarrow").attr("py_buffer")(array);
}

}  // namespace

py::object take_texts(const ArrowTexts& texts, std::span<const std::int64_t> rows) {
  const std::size_t n = rows.size();
  py::array_t<std::int64_t> offsets(static_cast<py::ssize_t>(n + 1));
  py::array_t<std::uint8_t> validity(static_cast<py::ssize_t>((n + 7) / 8));
  std::span<std::int64_t> o(offsets.mutable_data(), n + 1);
  std::vector<const char*> sources;
  const std::int64_t missing = without_gil("texts.lay_out", [&] {
    return core::lay_out_texts(texts.column, rows, o,
                               std::span<std::uint8_t>(validity.mutable_data(), (n + 7) / 8),
                               sources);
  });
  py::array_t<std::uint8_t> bytes(static_cast<py::ssize_t>(o.back()));
  without_gil("texts.copy", [&] {
    core::copy_texts(sources, o,
                     std::span<char>(reinterpret_cast<char*>(bytes.mutable_data()),
                                     static_cast<std::size_t>(o.back())));
  });
  py::list buffers;
  buffers.append(missing == 0 ? py::object(py::none()) : arrow_buffer(validity));
  buffers.append(arrow_buffer(offsets));
  buffers.append(arrow_buffer(bytes));
  py::object pa = py::module_::import("pyarrow");
  py::object taken = pa.attr("Array").attr("from_buffers")(pa.attr("large_string")(), rows.size(),
                                                           buffers, "null_count"_a = missing);
  return arrow_string_array(texts.array, taken);
}

const char* arrow_texts_ineligible(py::handle series, bool& in_arrow) {
  py::object pd = py::module_::import("pandas");
  py::object dtype = series.attr("dtype");
  in_arrow = py::isinstance(dtype, pd.attr("StringDtype")) &&
             !py::str(dtype.attr("storage")).equal(py::str("python"));
  if (!in_arrow) return "the column does not hold texts in Arrow strings";
  py::object array = series.attr("array");
  if (!py::isinstance(array, pd.attr("arrays").attr("ArrowStringArray"))) {
    return "the texts are not an Arrow string array";
  }
  py::object chunked = array.attr("__arrow_array__")();
  py::object type = chunked.attr("type");
  if (!arrow_types().attr("is_large_string")(type).cast<bool>()) {
    return "the texts are not Arrow large strings";
  }
  for (py::handle chunk : chunked.attr("chunks")) {
    for (py::handle buffer : chunk.attr("buffers")()) {
      if (!buffer.is_none() && !buffer.attr("is_cpu").cast<bool>()) {
        return "the texts are not in CPU memory";
      }
    }
  }
  return nullptr;
}

ArrowTexts arrow_texts(py::handle series) {
  py::object array = series.attr("array");
  py::object chunked = array.attr("__arrow_array__")();
  std::vector<core::TextChunk> chunks;
  for (py::handle chunk : chunked.attr("chunks")) {
    py::list buffers(chunk.attr("buffers")());
    core::TextChunk c;
    c.length = py::len(chunk);
    c.bit_offset = chunk.attr("offset").cast<std::int64_t>();
    c.offsets = reinterpret_cast<const std::int64_t*>(address_of(buffers[1])) + c.bit_offset;
    c.data = reinterpret_cast<const char*>(address_of(buffers[2]));
    c.validity = reinterpret_cast<const std::uint8_t*>(address_of(buffers[0]));
    if (c.length > 0) chunks.push_back(c);
  }
  return {core::TextColumn(std::move(chunks)), std::move(array), std::move(chunked)};
}

std::vector<std::int64_t> rank_texts(const ArrowTexts& texts, std::span<const std::int64_t> rows) {
  return without_gil("texts.rank", [&] { return core::text_ranks(texts.column, rows); });
}

}  // namespace orvane::glue
