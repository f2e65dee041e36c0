// Vendor price and volume field names mapped to the package's column names.
#include <pybind11/pybind11.h>

namespace py = pybind11;

namespace {

constexpr const char* module_doc =
    R"doc(Vendor field names mapped to the package's column names.

``FLDS`` is a dict from each price and volume field of the vendor
(``"PX_OPEN"``, ``"PX_HIGH"``, ``"PX_LOW"``, ``"PX_LAST"``,
``"PX_VOLUME"``) to the package's column name (``"open"``, ``"high"``,
``"low"``, ``"close"``, ``"volume"``), in that order; rename a vendor frame
with ``frame.rename(columns=FLDS)``. An unknown field is a ``KeyError``.)doc";

}  // namespace

PYBIND11_MODULE(column_alias, m) {
  m.doc() = module_doc;
  py::dict flds;
  flds["PX_OPEN"] = "open";
  flds["PX_HIGH"] = "high";
  flds["PX_LOW"] = "low";
  flds["PX_LAST"] = "close";
  flds["PX_VOLUME"] = "volume";
  m.attr("FLDS") = flds;
}
