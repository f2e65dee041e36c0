#include "columns.hpp"

#include "pyops.hpp"

namespace orvane::glue {

using namespace pybind11::literals;

namespace {

py::object pandas() { return py::module_::import("pandas"); }

}  // namespace

std::span<const std::int64_t> view(const Int64Array& array) {
  return {array.data(), static_cast<std::size_t>(array.size())};
}

std::span<std::int64_t> writable(Int64Array& array) {
  return {array.mutable_data(), static_cast<std::size_t>(array.size())};
}

Int64Array new_int64(std::size_t n) { return Int64Array(static_cast<py::ssize_t>(n)); }

Int64Array int64_array(std::vector<std::int64_t>&& values) {
  auto* owned = new std::vector<std::int64_t>(std::move(values));
  py::capsule free_when_done(owned,
                             [](void* p) { delete static_cast<std::vector<std::int64_t>*>(p); });
  return Int64Array(static_cast<py::ssize_t>(owned->size()), owned->data(), free_when_done);
}

Int64Array as_int64(py::handle values) {
  Int64Array out =
      Int64Array::ensure(py::module_::import("numpy").attr("asarray")(values, "dtype"_a = "int64"));
  if (!out) throw py::error_already_set();
  return out;
}

std::int64_t ticks_per_second(std::string_view unit) {
  if (unit == "s") return 1;
  if (unit == "ms") return 1'000;
  if (unit == "us") return 1'000'000;
  if (unit == "ns") return 1'000'000'000;
  return 0;
}

std::optional<Stamps> datetime_stamps(py::handle values) {
  py::object dtype = values.attr("dtype");
  Stamps s;
  s.dtype = dtype;
  if (py::isinstance(dtype, pandas().attr("DatetimeTZDtype"))) {
    s.zone = dtype.attr("tz");
    s.unit = py::str(dtype.attr("unit"));
  } else if (py::isinstance<py::dtype>(dtype) &&
             py::reinterpret_borrow<py::dtype>(dtype).kind() == 'M') {
    s.zone = py::none();
    s.unit = py::str(py::module_::import("numpy").attr("datetime_data")(dtype)[py::int_(0)]);
  } else {
    return std::nullopt;
  }
  s.per_second = ticks_per_second(s.unit);
  if (s.per_second == 0) return std::nullopt;
  s.ticks = as_int64(values.attr("array").attr("asi8"));
  return s;
}

Int64Array wall_clock_ticks(py::handle values) {
  Stamps stamps = datetime_stamps(values).value();
  if (stamps.naive()) return stamps.ticks;
  return datetime_stamps(values.attr("dt").attr("tz_localize")(py::none())).value().ticks;
}

Int64Array ticks_of_objects(py::handle objects, const std::string& unit) {
  py::object stamps =
      py::module_::import("numpy").attr("array")(objects, "dtype"_a = "M8[" + unit + "]");
  return as_int64(stamps.attr("view")("i8"));
}

std::optional<Stamps> stored_stamps(py::handle series) {
  py::object dtype = series.attr("dtype");
  if (!py::isinstance(dtype, pandas().attr("ArrowDtype"))) return datetime_stamps(series);
  py::object arrow_type = dtype.attr("pyarrow_dtype");
  if (!truthy(py::module_::import("pyarrow").attr("types").attr("is_timestamp")(arrow_type))) {
    return std::nullopt;
  }
  return datetime_stamps(arrow_dates_as_datetime64(series));
}

py::object arrow_dates_as_datetime64(py::handle values) {
  py::object pd = pandas();
  py::object dtype = py::getattr(values, "dtype", py::none());
  if (!py::isinstance(dtype, pd.attr("ArrowDtype")))
    return py::reinterpret_borrow<py::object>(values);
  py::object arrow_type = dtype.attr("pyarrow_dtype");
  py::object types = py::module_::import("pyarrow").attr("types");
  std::string unit;
  py::object tz = py::none();
  if (truthy(types.attr("is_date32")(arrow_type))) {
    unit = "s";
  } else if (truthy(types.attr("is_date64")(arrow_type))) {
    unit = "ms";
  } else if (truthy(types.attr("is_timestamp")(arrow_type))) {
    unit = py::str(arrow_type.attr("unit"));
    tz = arrow_type.attr("tz");
  } else {
    return py::reinterpret_borrow<py::object>(values);
  }
  py::object as = tz.is_none() ? py::object(py::str("datetime64[" + unit + "]"))
                               : pd.attr("DatetimeTZDtype")("unit"_a = unit, "tz"_a = tz);
  return values.attr("astype")(as);
}

py::object stamps_index(const Int64Array& ticks, const Stamps& like, py::handle name) {
  py::object naive = pandas().attr("DatetimeIndex")(ticks.attr("view")("M8[" + like.unit + "]"),
                                                    "copy"_a = false, "name"_a = name);
  if (like.naive()) return naive;
  return naive.attr("tz_localize")("UTC").attr("tz_convert")(like.zone);
}

py::object stamps_series(const Int64Array& ticks, const Stamps& like, py::handle index,
                         py::handle name) {
  return pandas().attr("Series")(stamps_index(ticks, like), "index"_a = index, "name"_a = name,
                                 "copy"_a = false);
}

LabelCodes label_codes(py::handle values, LabelOrder order) {
  py::tuple factorized = pandas().attr("factorize")(values, "sort"_a = order == LabelOrder::sorted);
  return {as_int64(factorized[0]), factorized[1]};
}

Int64Array places_among(py::handle uniques, py::handle values) {
  return as_int64(pandas().attr("Index")(uniques).attr("get_indexer")(values));
}

bool is_categorical(py::handle values) {
  return py::isinstance(values.attr("dtype"), pandas().attr("CategoricalDtype"));
}

bool holds_texts(py::handle values) {
  py::object pd = pandas();
  py::object dtype = values.attr("dtype");
  if (py::isinstance(dtype, pd.attr("StringDtype"))) return true;
  py::object held = is_categorical(values) ? py::object(dtype.attr("categories"))
                                           : py::reinterpret_borrow<py::object>(values);
  py::object kind = pd.attr("api").attr("types").attr("infer_dtype")(held, "skipna"_a = true);
  return kind.equal(py::str("string"));
}

bool labels_in_sort_order(py::handle values) {
  py::object pd = pandas();
  py::object dtype = values.attr("dtype");
  if (is_categorical(values)) return true;
  if (py::isinstance(dtype, pd.attr("StringDtype"))) return true;
  if (!py::isinstance<py::dtype>(dtype) || py::reinterpret_borrow<py::dtype>(dtype).kind() != 'O') {
    return false;
  }
  py::object kind = pd.attr("api").attr("types").attr("infer_dtype")(values, "skipna"_a = true);
  // "empty": no value is present, so there is nothing to order
  return kind.equal(py::str("string")) || kind.equal(py::str("empty"));
}

py::object frame_column(py::object values) {
  if (py::isinstance<py::array>(values) &&
      py::reinterpret_borrow<py::array>(values).dtype().kind() == 'O') {
    return pandas().attr("Series")(values, "dtype"_a = "object", "copy"_a = false);
  }
  return values;
}

py::object object_values(py::handle values) { return values.attr("astype")("object"); }

py::object date_objects(py::handle days) {
  // numpy gives whole days (datetime64[D]) as datetime.date objects
  return py::reinterpret_borrow<py::object>(days).attr("astype")("M8[D]").attr("astype")("object");
}

py::object object_series(py::handle values, py::handle index) {
  return pandas().attr("Series")(values, "index"_a = index, "dtype"_a = "object");
}

py::object frame_of(py::handle frame_type, const py::list& labels, const py::list& columns) {
  py::dict data;
  for (std::size_t i = 0; i < py::len(labels); ++i) data[labels[i]] = frame_column(columns[i]);
  return frame_type(data, "copy"_a = false);
}

py::object frame_labelled(py::handle frame_type, const py::list& labels, const py::list& columns) {
  py::object frame = frame_of(frame_type, labels, columns);
  frame.attr("columns") = pandas().attr("Index")(labels);
  return frame;
}

}  // namespace orvane::glue
