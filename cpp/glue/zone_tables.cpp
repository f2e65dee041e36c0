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

std::int64_t whole_seconds(const py::object& delta) {
  return py::int_(delta.attr("days")).cast<std::int64_t>() * 86'400 +
         py::int_(delta.attr("seconds")).cast<std::int64_t>();
}

std::shared_ptr<const core::OffsetTable> fixed_offset(const py::object& tz) {
  py::object offset = tz.attr("utcoffset")(py::none());
  if (py::int_(offset.attr("microseconds")).cast<long long>() != 0) return nullptr;
  return std::make_shared<const core::OffsetTable>(core::fixed_offset_table(whole_seconds(offset)));
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

// A pytz zone with transitions, read from pytz's own tables as pandas reads
// them: each UTC transition switches to its own offset, and past the last one
// (pytz's rules stop in 2037) the zone keeps the last offset.
std::shared_ptr<const core::OffsetTable> pytz_table(const py::object& tz) {
  py::object datetime = py::module_::import("datetime");
  py::object epoch = datetime.attr("datetime")(1970, 1, 1);
  py::list times(tz.attr("_utc_transition_times")), infos(tz.attr("_transition_info"));
  if (py::len(times) == 0 || py::len(times) != py::len(infos)) return nullptr;
  std::vector<std::int64_t> transitions, types, offsets;
  std::vector<std::uint8_t> dst;
  for (std::size_t k = 0; k < py::len(times); ++k) {
    py::object utc_offset = infos[k][py::int_(0)], summer = infos[k][py::int_(1)];
    if (py::int_(utc_offset.attr("microseconds")).cast<long long>() != 0) return nullptr;
    transitions.push_back(whole_seconds(times[k].attr("__sub__")(epoch)));
    types.push_back(static_cast<std::int64_t>(k));
    offsets.push_back(whole_seconds(utc_offset));
    dst.push_back(truthy(summer) ? 1 : 0);
  }
  return std::make_shared<const core::OffsetTable>(
      core::make_offset_table(transitions, types, offsets, dst, offsets.back()));
}

// The zone object pandas resolves a zone text to decides how it is read: a
// fixed offset, a zoneinfo zone (pandas 3) read from its zone file, or a pytz
// zone (pandas 2) read from pytz's tables.
std::shared_ptr<const core::OffsetTable> load(const std::string& zone) {
  py::str text(zone);
  py::object tz = py::module_::import("pandas").attr("DatetimeTZDtype")("tz"_a = text).attr("tz");
  if (py::isinstance(tz, py::module_::import("datetime").attr("timezone"))) return fixed_offset(tz);
  if (py::type::handle_of(tz).is(py::module_::import("zoneinfo").attr("ZoneInfo"))) {
    if (!compare(tz.attr("key"), text, Py_EQ)) return nullptr;
    return zone_file_table(tz.attr("key"));
  }
  // a pytz zone comes only from pytz once imported; pandas 3 may run without it
  py::dict modules = py::module_::import("sys").attr("modules");
  if (!modules.contains("pytz")) return nullptr;
  py::object pytz_base = modules["pytz"].attr("BaseTzInfo");
  if (!py::isinstance(tz, pytz_base) || !compare(tz.attr("zone"), text, Py_EQ)) return nullptr;
  if (py::hasattr(tz, "_utc_transition_times")) return pytz_table(tz);
  return fixed_offset(tz);
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
