#include "zone_tables.hpp"

#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

#include "function.hpp"
#include "pyops.hpp"

namespace orvane::glue {

using namespace pybind11::literals;

namespace {

std::vector<std::int64_t> ints(py::handle seq) {
  std::vector<std::int64_t> out;
  for (py::handle v : seq) out.push_back(v.cast<std::int64_t>());
  return out;
}

// The zone file a ZoneInfo of `key` reads: the first zoneinfo.TZPATH entry
// holding it, else the tzdata package's copy.
py::object open_zone_file(const py::object& key) {
  py::object os_path = py::module_::import("os.path");
  for (py::handle root : py::module_::import("zoneinfo").attr("TZPATH")) {
    py::object path = os_path.attr("join")(root, key);
    if (truthy(os_path.attr("isfile")(path))) return builtin("open")(path, "rb");
  }
  py::object parts = key.attr("split")("/");
  py::object resource = py::module_::import("importlib.resources").attr("files")("tzdata.zoneinfo");
  for (py::handle part : parts) resource = resource.attr("joinpath")(part);
  return resource.attr("open")("rb");
}

std::shared_ptr<const core::OffsetTable> fixed_offset(const py::object& tz) {
  py::object offset = tz.attr("utcoffset")(py::none());
  if (py::int_(offset.attr("microseconds")).cast<long long>() != 0) return nullptr;
  const std::int64_t seconds = py::int_(offset.attr("days")).cast<long long>() * 86'400 +
                               py::int_(offset.attr("seconds")).cast<long long>();
  return std::make_shared<const core::OffsetTable>(core::fixed_offset_table(seconds));
}

std::shared_ptr<const core::OffsetTable> zone_file_table(const py::object& key) {
  py::object file = open_zone_file(key);
  py::tuple parts;
  try {
    parts = tzif_records(file);
  } catch (...) {
    file.attr("close")();
    throw;
  }
  file.attr("close")();
  const std::vector<std::int64_t> types = ints(parts[0]), transitions = ints(parts[1]),
                                  offsets = ints(parts[2]), dst_flags = ints(parts[3]);
  const std::vector<std::uint8_t> dst(dst_flags.begin(), dst_flags.end());
  if (offsets.empty()) return nullptr;
  for (std::int64_t t : types) {
    if (t < 0 || static_cast<std::size_t>(t) >= offsets.size()) return nullptr;
  }
  std::optional<std::int64_t> after;
  py::object rule = parts[5];
  if (!rule.is_none() && truthy(rule)) {
    after = core::fixed_rule_offset(rule.cast<std::string>());
  } else {
    // without a rule the zone stays on its last type
    after = types.empty() ? offsets.back() : offsets[static_cast<std::size_t>(types.back())];
  }
  return std::make_shared<const core::OffsetTable>(
      core::make_offset_table(transitions, types, offsets, dst, after));
}

std::shared_ptr<const core::OffsetTable> load(const std::string& zone) {
  py::str text(zone);
  py::object tz = py::module_::import("pandas").attr("DatetimeTZDtype")("tz"_a = text).attr("tz");
  if (py::isinstance(tz, py::module_::import("datetime").attr("timezone"))) return fixed_offset(tz);
  if (!py::type::handle_of(tz).is(py::module_::import("zoneinfo").attr("ZoneInfo"))) return nullptr;
  if (!compare(tz.attr("key"), text, Py_EQ)) return nullptr;
  return zone_file_table(tz.attr("key"));
}

}  // namespace

py::tuple tzif_records(py::handle file) {
  py::object records = py::module_::import("zoneinfo._common").attr("load_data")(file);
  if (!py::isinstance<py::tuple>(records) || py::len(records) != 6) {
    raise(PyExc_RuntimeError,
          "zoneinfo's zone-file reader changed shape: expected 6 records, got " +
              std::string(py::repr(records)));
  }
  return records;
}

std::shared_ptr<const core::OffsetTable> zone_offset_table(const std::string& zone) {
  static std::unordered_map<std::string, std::shared_ptr<const core::OffsetTable>> tables;
  if (auto found = tables.find(zone); found != tables.end()) return found->second;
  auto table = load(zone);
  if (tables.size() >= 1024) tables.clear();
  tables.emplace(zone, table);
  return table;
}

}  // namespace orvane::glue
