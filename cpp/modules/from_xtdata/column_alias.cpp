// Vendor price and volume field names mapped to the package's column names.
#include <pybind11/pybind11.h>

namespace py = pybind11;

PYBIND11_MODULE(column_alias, m) {
  py::dict flds;
  flds["PX_OPEN"] = "open";
  flds["PX_HIGH"] = "high";
  flds["PX_LOW"] = "low";
  flds["PX_LAST"] = "close";
  flds["PX_VOLUME"] = "volume";
  m.attr("FLDS") = flds;
}
