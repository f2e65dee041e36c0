#include "takes.hpp"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace orvane::glue {

using namespace pybind11::literals;

namespace {

// Rows `indexer` of an Arrow-backed array made of `chunks`, each row taken
// from its own chunk and the pieces put back in the indexer's order.
py::object take_by_chunk(py::handle pd, py::handle array, py::handle chunks,
                         const Int64Array& indexer, bool allow_fill) {
  std::vector<std::int64_t> starts{0};
  for (py::handle chunk : chunks.attr("chunks")) starts.push_back(starts.back() + py::len(chunk));
  const std::size_t n_chunks = starts.size() - 1;
  const std::size_t n = static_cast<std::size_t>(indexer.size());
  const std::int64_t* wanted = indexer.data();
  std::vector<std::int64_t> chunk_of(n, -1), count(n_chunks, 0);
  for (std::size_t i = 0; i < n; ++i) {
    if (wanted[i] < 0 || wanted[i] >= starts.back()) continue;  // left to pandas' take below
    chunk_of[i] = std::upper_bound(starts.begin(), starts.end(), wanted[i]) - starts.begin() - 1;
    ++count[chunk_of[i]];
  }
  std::vector<std::int64_t> offset(n_chunks + 1, 0);
  for (std::size_t k = 0; k < n_chunks; ++k) offset[k + 1] = offset[k] + count[k];
  std::vector<std::vector<std::int64_t>> local(n_chunks);
  std::vector<std::int64_t> place(n);
  for (std::size_t i = 0; i < n; ++i) {
    const std::int64_t k = chunk_of[i];
    if (k < 0) {
      place[i] = wanted[i] < 0 ? -1 : offset[n_chunks] + wanted[i];  // an error for pandas to raise
      continue;
    }
    place[i] = offset[k] + static_cast<std::int64_t>(local[k].size());
    local[k].push_back(wanted[i] - starts[k]);
  }
  py::list pieces;
  for (std::size_t k = 0; k < n_chunks; ++k) {
    if (local[k].empty()) continue;
    py::object part = array[py::slice(starts[k], starts[k + 1], 1)].attr("take")(
        int64_array(std::move(local[k])));
    pieces.append(pd.attr("Series")(part, "copy"_a = false));
  }
  if (py::len(pieces) == 0) return array.attr("take")(indexer, "allow_fill"_a = allow_fill);
  py::object taken = pd.attr("concat")(pieces, "ignore_index"_a = true).attr("array");
  return taken.attr("take")(int64_array(std::move(place)), "allow_fill"_a = allow_fill);
}

}  // namespace

py::object take(py::handle series, const Int64Array& indexer, bool allow_fill) {
  py::object pd = py::module_::import("pandas");
  py::object extensions = pd.attr("api").attr("extensions");
  if (!py::isinstance(series.attr("dtype"), extensions.attr("ExtensionDtype"))) {
    return extensions.attr("take")(series.attr("to_numpy")(), indexer, "allow_fill"_a = allow_fill);
  }
  py::object array = series.attr("array");
  if (py::isinstance(array, pd.attr("arrays").attr("ArrowExtensionArray"))) {
    py::object chunks = array.attr("__arrow_array__")();
    if (py::hasattr(chunks, "num_chunks") && chunks.attr("num_chunks").cast<std::int64_t>() > 1) {
      return take_by_chunk(pd, array, chunks, indexer, allow_fill);
    }
  }
  return array.attr("take")(indexer, "allow_fill"_a = allow_fill);
}

}  // namespace orvane::glue
