// Overlap indicators: moving averages of price series and price composites.
//
// Every indicator checks its arguments, asks the series helpers of
// orvane_data.ta.utils for its input and offset, computes natively with the
// GIL released, and hands the result to the helpers' offset and fills. The
// helpers, the averages the compound ones build on and the pandas names are
// read from this module's dict at each call, so replacing them there changes
// what the indicators call.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "../../core/moving_average.hpp"
#include "../../glue/arrays.hpp"
#include "../../glue/checks.hpp"
#include "../../glue/function.hpp"
#include "../../glue/module_setup.hpp"
#include "../../glue/pyops.hpp"
#include "../../glue/roads.hpp"

namespace py = pybind11;
namespace glue = orvane::glue;
using glue::compare;
using glue::contains;
using glue::truthy;
namespace core = orvane::core;

namespace {

// ---------------------------------------------------------------------------
// Conventions shared by the indicators

// The length rule: the length when it is positive, else the indicator's
// default. `length` is declared int, so it arrives as an int or None (other
// numbers truncated toward zero).
py::object normalise_length(const py::object& length, long default_length) {
  if (!length.is_none() && length > py::int_(0)) return length;
  return py::int_(default_length);
}

// A row count the helpers have checked; a helper replaced by one that hands
// back something else cannot make it overflow.
std::size_t to_size(const py::object& value) {
  const std::size_t n = PyLong_AsSize_t(value.ptr());
  if (n == static_cast<std::size_t>(-1) && PyErr_Occurred()) throw py::error_already_set();
  return n;
}

std::string with_length(const char* prefix, const py::object& length) {
  return prefix + std::string(py::str(length));
}

// verify_series(series) or verify_series(series, n), read from the module now.
py::object verify(glue::Call& c, const py::object& series, const py::object& min_length) {
  py::object verify_series = c.global("verify_series");
  if (!min_length) return verify_series(series);
  return verify_series(series, min_length);
}

// Scratch of a kernel, which writes it before reading it: left
// uninitialised, as zeroing megabytes of it would cost more than the pass.
class Scratch {
 public:
  explicit Scratch(std::size_t n) : data_(std::make_unique_for_overwrite<double[]>(n)), size_(n) {}
  std::span<double> span() const { return {data_.get(), size_}; }

 private:
  std::unique_ptr<double[]> data_;
  std::size_t size_;
};

py::object new_series(glue::Call& c, glue::Float64Array values, const py::handle& index) {
  return c.global("Series")(std::move(values), py::arg("index") = index, py::arg("copy") = false);
}

// _apply_offset, _handle_fills, then the result's name and category.
py::object finish(glue::Call& c, py::object result, const py::object& offset,
                  const py::dict& options, const std::string& name) {
  result = c.global("_apply_offset")(result, offset);
  result = c.global("_handle_fills")(result, **options);
  py::setattr(result, "name", py::str(name));
  // `category` is an attribute of this object: set past pandas' __setattr__,
  // which would write into the data when the index holds the label
  if (PyObject_GenericSetAttr(result.ptr(), py::str("category").ptr(), py::str("overlap").ptr()) <
      0) {
    throw py::error_already_set();
  }
  return result;
}

constexpr std::string_view kNotPlainFloat64 =
    "inputs are not plain float64 Series on one index object";

// Whether plain pandas Series of float64 values on one index object, with no
// attrs of their own: then row-by-row native arithmetic gives what pandas'
// aligned arithmetic gives.
bool plain_float64_on(const py::handle& index, std::initializer_list<py::handle> series,
                      const py::handle& series_type) {
  for (const py::handle& s : series) {
    if (!py::type::handle_of(s).is(series_type) || (s.attr("index").ptr() != index.ptr()))
      return false;
    py::object dtype = s.attr("dtype");
    if (!py::isinstance<py::dtype>(dtype) ||
        !py::reinterpret_borrow<py::dtype>(dtype).equal(py::dtype::of<double>()) ||
        py::len(s.attr("attrs")) != 0) {
      return false;
    }
  }
  return true;
}

// The operand to hand to pandas' arithmetic in place of `s`. Aligning a
// DatetimeIndex that has a freq with a sorted subset of it clears that freq on
// the index object itself, which would change the caller's Series: a Series
// gets a shallow copy of its index (the same labels and the same result).
py::object own_index(glue::Call& c, const py::object& s) {
  if (!py::isinstance(s, c.global("Series"))) return s;
  return s.attr("set_axis")(s.attr("index").attr("copy")());
}

// 2 * a - b: natively on one index, else with pandas' arithmetic.
py::object double_blend(glue::Call& c, const py::object& a, const py::object& b) {
  py::object index = a.attr("index");
  if (!plain_float64_on(index, {a, b}, c.global("Series"))) {
    glue::pandas_road("overlap.blend", kNotPlainFloat64);
    return py::int_(2) * own_index(c, a) - own_index(c, b);
  }
  glue::native_road("overlap.blend");
  glue::Float64Values av = glue::float64_values(glue::numpy_values(a), "blend input");
  glue::Float64Values bv = glue::float64_values(glue::numpy_values(b), "blend input");
  glue::Float64Array out = glue::new_float64(av.size());
  {
    auto o = glue::writable(out);
    py::gil_scoped_release release;
    core::double_blend(av.span(), bv.span(), o);
  }
  return new_series(c, std::move(out), index);
}

// 3 * a - 3 * b + c.
py::object triple_blend(glue::Call& c, const py::object& a, const py::object& b,
                        const py::object& d) {
  py::object index = a.attr("index");
  if (!plain_float64_on(index, {a, b, d}, c.global("Series"))) {
    glue::pandas_road("overlap.blend", kNotPlainFloat64);
    return py::int_(3) * own_index(c, a) - py::int_(3) * own_index(c, b) + own_index(c, d);
  }
  glue::native_road("overlap.blend");
  glue::Float64Values av = glue::float64_values(glue::numpy_values(a), "blend input");
  glue::Float64Values bv = glue::float64_values(glue::numpy_values(b), "blend input");
  glue::Float64Values dv = glue::float64_values(glue::numpy_values(d), "blend input");
  glue::Float64Array out = glue::new_float64(av.size());
  {
    auto o = glue::writable(out);
    py::gil_scoped_release release;
    core::triple_blend(av.span(), bv.span(), dv.span(), o);
  }
  return new_series(c, std::move(out), index);
}

// ---------------------------------------------------------------------------
// Simple, exponential and Wilder averages

constexpr const char* sma_doc =
    R"doc(Simple Moving Average (SMA).

The mean of the trailing ``length`` rows.

Parameters
----------
close : pd.Series
    The prices; numbers stored in an object column are read as float64.
length : int, optional
    The window in rows; 10 when None, 0 or negative. Other numbers are
    truncated toward zero.
offset : int, optional
    Rows to shift the result by (``Series.shift``); 0 when None.
**kwargs
    ``min_periods`` (default ``length``): the observations a window needs
    for a value; missing values and infinities are not observations.
    ``fillna=value`` and ``fill_method="ffill"`` or ``"bfill"`` fill the
    result's gaps after the shift.

Returns
-------
pd.Series or None
    A new Series on the index of ``close``, named ``"SMA_<length>"``, with
    the attribute ``category`` set to ``"overlap"``; None when ``close`` has
    fewer than max(``length``, ``min_periods``) rows.

Raises
------
TypeError
    If ``close`` is not a Series or does not hold numbers, or ``length`` or
    ``offset`` is not a number.
ValueError
    If ``min_periods`` is negative or larger than ``length``, or
    ``fill_method`` is neither ``"ffill"`` nor ``"bfill"``.

Examples
--------
>>> import pandas as pd
>>> from orvane_data.ta import overlap
>>> close = pd.Series([10.0, 11.0, 12.0, 11.5, 13.0, 14.0])
>>> overlap.sma(close, length=3)
0          NaN
1          NaN
2    11.000000
3    11.500000
4    12.166667
5    12.833333
Name: SMA_3, dtype: float64
>>> overlap.sma(close, length=3, min_periods=2).round(3).tolist()
[nan, 10.5, 11.0, 11.5, 12.167, 12.833]
>>> overlap.sma(close, length=3).category, overlap.sma(close, length=10)
('overlap', None))doc";

constexpr glue::Signature sma_sig{
    "sma(close: Series, length: int = None, offset: int = None, **kwargs) -> 'Optional[Series]'"};
py::object sma(glue::CallOf<sma_sig>& c) {
  py::object length = normalise_length(c.arg<"length">(), 10);
  py::object offset = c.arg<"offset">();
  py::dict& options = c.kwargs();
  py::object min_periods = length;
  if (options.contains("min_periods")) {
    py::object given = options["min_periods"];
    if (truthy(given)) {
      PyObject* converted = PyNumber_Long(given.ptr());
      if (!converted) throw py::error_already_set();
      min_periods = py::reinterpret_steal<py::object>(converted);
    }
  }
  py::object needed = min_periods > length ? min_periods : length;
  py::object close = verify(c, c.arg<"close">(), needed);
  offset = c.global("get_offset")(offset);
  if (close.is_none()) return py::none();

  // the checks pandas' rolling window makes of its arguments
  if (min_periods < py::int_(0)) glue::raise(PyExc_ValueError, "min_periods must be >= 0");
  if (min_periods > length) {
    glue::raise(PyExc_ValueError, "min_periods " + std::string(py::str(min_periods)) +
                                      " must be <= window " + std::string(py::str(length)));
  }
  glue::Float64Values values = glue::series_float64(close, "sma");
  const std::size_t window = to_size(length), periods = to_size(min_periods);
  const Scratch scratch(core::rolling_mean_scratch(window, values.size()));
  glue::Float64Array out = glue::new_float64(values.size());
  {
    auto o = glue::writable(out);
    py::gil_scoped_release release;
    core::rolling_mean(values.span(), window, periods, scratch.span(), o);
  }
  glue::native_road("overlap.sma");
  py::object result = new_series(c, std::move(out), close.attr("index"));
  return finish(c, result, offset, options, with_length("SMA_", length));
}

// The simple-mean seed of `ema` and `rma`: the mean of the first `length`
// values, missing ones skipped, with numpy's warning when there are none.
double sma_seed(const glue::Float64Values& values, std::size_t length) {
  if (length > values.size()) {
    glue::raise(PyExc_IndexError, "index " + std::to_string(length - 1) +
                                      " is out of bounds for axis 0 with size " +
                                      std::to_string(values.size()));
  }
  std::size_t count = 0;
  double seed;
  {
    py::gil_scoped_release release;
    seed = core::nan_mean(values.span().first(length), count);
  }
  if (count == 0 && PyErr_WarnEx(PyExc_RuntimeWarning, "Mean of empty slice", 1) < 0) {
    throw py::error_already_set();
  }
  return seed;
}

py::object exponential(glue::Call& c, const py::object& close, std::size_t length, double alpha,
                       bool adjust, bool seeded, const char* func) {
  glue::Float64Values values = glue::series_float64(close, func);
  const double seed = seeded ? sma_seed(values, length) : 0.0;
  glue::Float64Array out = glue::new_float64(values.size());
  {
    auto o = glue::writable(out);
    py::gil_scoped_release release;
    if (seeded) {
      core::seeded_ewm_mean(values.span(), length, seed, alpha, adjust, o);
    } else {
      core::ewm_mean(values.span(), alpha, adjust, o);
    }
  }
  glue::native_road(std::string("overlap.") + func);
  return new_series(c, std::move(out), close.attr("index"));
}

constexpr const char* ema_doc =
    R"doc(Exponential Moving Average (EMA).

An exponentially weighted mean with smoothing factor
2 / (length + 1).

Parameters
----------
close : pd.Series
    The prices; numbers stored in an object column are read as float64.
length : int, optional
    The span in rows; 10 when None, 0 or negative. Other numbers are
    truncated toward zero.
offset : int, optional
    Rows to shift the result by (``Series.shift``); 0 when None.
**kwargs
    ``sma`` (default True): seed the average with the simple mean of the
    first ``length`` values at row ``length - 1``, NaN before; False starts
    it at the first value. ``adjust`` (default False): weigh all past values
    (pandas' adjusted form) instead of the recursive blend. ``fillna`` and
    ``fill_method`` fill the result's gaps after the shift.

Returns
-------
pd.Series or None
    A new Series on the index of ``close``, named ``"EMA_<length>"``, with
    ``category`` ``"overlap"``; None when ``close`` is shorter than
    ``length``.

Raises
------
TypeError
    If ``close`` is not a Series or does not hold numbers, or ``length`` or
    ``offset`` is not a number.

Examples
--------
>>> import pandas as pd
>>> from orvane_data.ta import overlap
>>> close = pd.Series([10.0, 11.0, 12.0, 11.5, 13.0, 14.0])
>>> overlap.ema(close, length=3)
0        NaN
1        NaN
2    11.0000
3    11.2500
4    12.1250
5    13.0625
Name: EMA_3, dtype: float64
>>> overlap.ema(close, length=3, sma=False).tolist()
[10.0, 10.5, 11.25, 11.375, 12.1875, 13.09375])doc";

constexpr glue::Signature ema_sig{
    "ema(close: Series, length: int = None, offset: int = None, **kwargs) -> 'Optional[Series]'"};
py::object ema(glue::CallOf<ema_sig>& c) {
  py::object length = normalise_length(c.arg<"length">(), 10);
  py::object offset = c.arg<"offset">();
  py::dict& options = c.kwargs();
  py::object adjust = options.attr("pop")("adjust", false);
  py::object use_sma_seed = options.attr("pop")("sma", true);
  py::object close = verify(c, c.arg<"close">(), length);
  offset = c.global("get_offset")(offset);
  if (close.is_none()) return py::none();

  const std::size_t n = to_size(length);
  const double alpha = core::alpha_from_span(static_cast<double>(n));
  py::object result = exponential(c, close, n, alpha, truthy(adjust), truthy(use_sma_seed), "ema");
  return finish(c, result, offset, options, with_length("EMA_", length));
}

constexpr const char* rma_doc =
    R"doc(Wilder's Moving Average (RMA): EMA with alpha = 1/length.

Seeded like ``ema`` with the simple mean of the first ``length`` values,
then y(t) = (1 - 1/length) * y(t - 1) + x(t) / length.

Parameters
----------
close : pd.Series
    The prices; numbers stored in an object column are read as float64.
length : int, optional
    The period in rows; 10 when None, 0 or negative. Other numbers are
    truncated toward zero.
offset : int, optional
    Rows to shift the result by (``Series.shift``); 0 when None.
**kwargs
    ``fillna`` and ``fill_method`` fill the result's gaps after the shift.

Returns
-------
pd.Series or None
    A new Series on the index of ``close``, named ``"RMA_<length>"``, with
    ``category`` ``"overlap"``; None when ``close`` is shorter than
    ``length``.

Raises
------
TypeError
    If ``close`` is not a Series or does not hold numbers, or ``length`` or
    ``offset`` is not a number.

Examples
--------
>>> import pandas as pd
>>> from orvane_data.ta import overlap
>>> close = pd.Series([10.0, 11.0, 12.0, 11.5, 13.0, 14.0])
>>> rma = overlap.rma(close, length=3)
>>> rma.name, rma.round(4).tolist()
('RMA_3', [nan, nan, 11.0, 11.1667, 11.7778, 12.5185]))doc";

constexpr glue::Signature rma_sig{
    "rma(close: Series, length: int = None, offset: int = None, **kwargs) -> 'Optional[Series]'"};
py::object rma(glue::CallOf<rma_sig>& c) {
  py::object length = normalise_length(c.arg<"length">(), 10);
  py::object offset = c.arg<"offset">();
  py::object close = verify(c, c.arg<"close">(), length);
  offset = c.global("get_offset")(offset);
  if (close.is_none()) return py::none();

  const std::size_t n = to_size(length);
  const double alpha = core::alpha_from_alpha(1.0 / static_cast<double>(n));
  py::object result = exponential(c, close, n, alpha, false, true, "rma");
  return finish(c, result, offset, c.kwargs(), with_length("RMA_", length));
}

// ---------------------------------------------------------------------------
// Weighted and compound averages

constexpr const char* wma_doc =
    R"doc(Weighted Moving Average (WMA) with linearly increasing weights.

Over the trailing window of ``length`` rows the newest row weighs
``length`` and the oldest 1, divided by the sum of the weights.

Parameters
----------
close : pd.Series
    The prices; numbers stored in an object column are read as float64.
length : int, optional
    The window in rows; 10 when None, 0 or negative. Other numbers are
    truncated toward zero.
asc : bool, default True
    Weights rising toward the newest row; False reverses them.
offset : int, optional
    Rows to shift the result by (``Series.shift``); 0 when None.
**kwargs
    ``fillna`` and ``fill_method`` fill the result's gaps after the shift.

Returns
-------
pd.Series or None
    A new Series on the index of ``close``, named ``"WMA_<length>"``, with
    ``category`` ``"overlap"``; windows that are incomplete or hold a
    missing value are NaN. None when ``close`` is shorter than ``length``.

Raises
------
TypeError
    If ``close`` is not a Series or does not hold numbers, or ``length`` or
    ``offset`` is not a number.

Examples
--------
>>> import pandas as pd
>>> from orvane_data.ta import overlap
>>> close = pd.Series([10.0, 11.0, 12.0, 11.5, 13.0, 14.0])
>>> wma = overlap.wma(close, length=3)
>>> wma.name, wma.round(4).tolist()
('WMA_3', [nan, nan, 11.3333, 11.5833, 12.3333, 13.25])
>>> overlap.wma(close, length=3, asc=False).round(4).tolist()
[nan, nan, 10.6667, 11.4167, 12.0, 12.4167])doc";

constexpr glue::Signature wma_sig{
    "wma(close: Series, length: int = None, asc: bool = True, offset: int = None, **kwargs) "
    "-> 'Optional[Series]'"};
py::object wma(glue::CallOf<wma_sig>& c) {
  py::object length = normalise_length(c.arg<"length">(), 10);
  const bool ascending = c.arg<"asc">().ptr() == Py_True;
  py::object offset = c.arg<"offset">();
  py::object close = verify(c, c.arg<"close">(), length);
  offset = c.global("get_offset")(offset);
  if (close.is_none()) return py::none();

  glue::Float64Values values = glue::series_float64(close, "wma");
  const std::size_t n = to_size(length);
  const Scratch scratch(core::weighted_mean_scratch(std::min(n, values.size())));
  glue::Float64Array out = glue::new_float64(values.size());
  {
    auto o = glue::writable(out);
    py::gil_scoped_release release;
    core::weighted_mean(values.span(), n, ascending, scratch.span(), o);
  }
  glue::native_road("overlap.wma");
  py::object result = new_series(c, std::move(out), close.attr("index"));
  return finish(c, result, offset, c.kwargs(), with_length("WMA_", length));
}

constexpr const char* dema_doc =
    R"doc(Double Exponential Moving Average (DEMA).

2 * EMA - EMA(EMA), both averages over ``length`` rows.

Parameters
----------
close : pd.Series
    The prices; numbers stored in an object column are read as float64.
length : int, optional
    The span of both averages; 10 when None, 0 or negative. Other numbers
    are truncated toward zero.
offset : int, optional
    Rows to shift the result by (``Series.shift``); 0 when None.
**kwargs
    Passed on to both ``ema`` calls (``sma``, ``adjust``, fills) and applied
    to the result's fills.

Returns
-------
pd.Series or None
    A new Series named ``"DEMA_<length>"``, with ``category``
    ``"overlap"``; None when ``close`` is shorter than ``length``.

Raises
------
TypeError
    If ``close`` is not a Series or does not hold numbers, or ``length`` or
    ``offset`` is not a number.

Examples
--------
>>> import pandas as pd
>>> from orvane_data.ta import overlap
>>> close = pd.Series([10.0, 11.0, 12.0, 11.5, 13.0, 14.0])
>>> dema = overlap.dema(close, length=3)
>>> dema.name, dema.tolist()
('DEMA_3', [nan, nan, 11.0, 11.375, 12.625, 13.78125]))doc";

constexpr glue::Signature dema_sig{
    "dema(close: Series, length: int = None, offset: int = None, **kwargs) -> 'Optional[Series]'"};
py::object dema(glue::CallOf<dema_sig>& c) {
  py::object length = normalise_length(c.arg<"length">(), 10);
  py::object offset = c.arg<"offset">();
  py::object close = verify(c, c.arg<"close">(), length);
  offset = c.global("get_offset")(offset);
  if (close.is_none()) return py::none();

  const py::dict& options = c.kwargs();
  py::object ema1 = c.global("ema")(close, py::arg("length") = length, **options);
  py::object ema2 = c.global("ema")(ema1, py::arg("length") = length, **options);
  py::object result = double_blend(c, ema1, ema2);
  return finish(c, result, offset, options, with_length("DEMA_", length));
}

constexpr const char* tema_doc =
    R"doc(Triple Exponential Moving Average (TEMA).

3 * EMA - 3 * EMA(EMA) + EMA(EMA(EMA)), all over ``length`` rows.

Parameters
----------
close : pd.Series
    The prices; numbers stored in an object column are read as float64.
length : int, optional
    The span of the three averages; 10 when None, 0 or negative. Other
    numbers are truncated toward zero.
offset : int, optional
    Rows to shift the result by (``Series.shift``); 0 when None.
**kwargs
    Passed on to the three ``ema`` calls (``sma``, ``adjust``, fills) and
    applied to the result's fills.

Returns
-------
pd.Series or None
    A new Series named ``"TEMA_<length>"``, with ``category``
    ``"overlap"``; None when ``close`` is shorter than ``length``.

Raises
------
TypeError
    If ``close`` is not a Series or does not hold numbers, or ``length`` or
    ``offset`` is not a number.

Examples
--------
>>> import pandas as pd
>>> from orvane_data.ta import overlap
>>> close = pd.Series([10.0, 11.0, 12.0, 11.5, 13.0, 14.0])
>>> tema = overlap.tema(close, length=3)
>>> tema.name, tema.tolist()
('TEMA_3', [nan, nan, 11.0, 11.4375, 12.84375, 14.0]))doc";

constexpr glue::Signature tema_sig{
    "tema(close: Series, length: int = None, offset: int = None, **kwargs) -> 'Optional[Series]'"};
py::object tema(glue::CallOf<tema_sig>& c) {
  py::object length = normalise_length(c.arg<"length">(), 10);
  py::object offset = c.arg<"offset">();
  py::object close = verify(c, c.arg<"close">(), length);
  offset = c.global("get_offset")(offset);
  if (close.is_none()) return py::none();

  const py::dict& options = c.kwargs();
  py::object ema1 = c.global("ema")(close, py::arg("length") = length, **options);
  py::object ema2 = c.global("ema")(ema1, py::arg("length") = length, **options);
  py::object ema3 = c.global("ema")(ema2, py::arg("length") = length, **options);
  py::object result = triple_blend(c, ema1, ema2, ema3);
  return finish(c, result, offset, options, with_length("TEMA_", length));
}

constexpr const char* hma_doc =
    R"doc(Hull Moving Average (HMA): WMA(2*WMA(n/2) - WMA(n), sqrt(n)).

Parameters
----------
close : pd.Series
    The prices; numbers stored in an object column are read as float64.
length : int, optional
    n, the window of the full-length average; 9 when None, 0 or negative.
    The half and square-root lengths are truncated to ints, and a half
    length of 0 takes ``wma``'s default of 10.
offset : int, optional
    Rows to shift the result by (``Series.shift``); 0 when None.
**kwargs
    ``fillna`` and ``fill_method`` fill the result's gaps after the shift.

Returns
-------
pd.Series or None
    A new Series named ``"HMA_<length>"``, with ``category``
    ``"overlap"``; None when ``close`` is too short for any of the three
    averages.

Raises
------
TypeError
    If ``close`` is not a Series or does not hold numbers, or ``length`` or
    ``offset`` is not a number.

Examples
--------
>>> import pandas as pd
>>> from orvane_data.ta import overlap
>>> close = pd.Series([10.0, 11.0, 12.0, 11.5, 13.0, 14.0])
>>> hma = overlap.hma(close, length=4)
>>> hma.name, hma.round(4).tolist()
('HMA_4', [nan, nan, nan, nan, 12.5444, 13.8389])
>>> print(overlap.hma(close))
None)doc";

// Whether `fn` is the package's compiled function `name` of `module`, not a
// double put in the module's dict in its place.
bool is_compiled(const py::handle& fn, const py::handle& module, const char* name) {
  if (glue::type_name(fn) != "native_function") return false;
  return py::getattr(fn, "__module__", py::none()).equal(module) &&
         py::getattr(fn, "__name__", py::none()).equal(py::str(name));
}

// The Hull mean's three weighted passes and blend run fused when they would
// run exactly the module's own functions: `wma` and the helpers it calls are
// the compiled ones, so nothing can observe the inner calls being skipped.
bool hull_inner_steps_are_ours(glue::Call& c) {
  py::object utils = c.global("verify_series").attr("__module__");
  return is_compiled(c.global("wma"), c.globals()["__name__"], "wma") &&
         is_compiled(c.global("verify_series"), utils, "verify_series") &&
         is_compiled(c.global("get_offset"), utils, "get_offset") &&
         is_compiled(c.global("_apply_offset"), utils, "_apply_offset") &&
         is_compiled(c.global("_handle_fills"), utils, "_handle_fills");
}

// The three passes fused: the result of wma(2 * wma(close, half) -
// wma(close, length), root) with no full-length temporary but the result.
py::object fused_hull(glue::Call& c, const py::object& close, std::size_t length, std::size_t half,
                      std::size_t root) {
  glue::Float64Values values = glue::series_float64(close, "wma");
  const Scratch scratch(core::hull_mean_scratch(values.size(), length, half, root));
  glue::Float64Array out = glue::new_float64(values.size());
  {
    auto o = glue::writable(out);
    py::gil_scoped_release release;
    core::hull_mean(values.span(), length, half, root, scratch.span(), o);
  }
  glue::native_road("overlap.hma");
  return new_series(c, std::move(out), close.attr("index"));
}

constexpr glue::Signature hma_sig{
    "hma(close: Series, length: int = None, offset: int = None, **kwargs) -> 'Optional[Series]'"};
py::object hma(glue::CallOf<hma_sig>& c) {
  py::object length = normalise_length(c.arg<"length">(), 9);
  py::object offset = c.arg<"offset">();
  py::object close = verify(c, c.arg<"close">(), length);
  offset = c.global("get_offset")(offset);
  if (close.is_none()) return py::none();

  const double n = static_cast<double>(to_size(length));
  py::int_ half_len(static_cast<long long>(n / 2.0));
  py::int_ sqrt_len(static_cast<long long>(std::sqrt(n)));
  py::object result;
  if (hull_inner_steps_are_ours(c)) {
    // wma's length rule on the half length: 0 means its default of 10; the
    // half-length pass needs that many rows, as wma's verify_series asks
    const std::size_t half = to_size(normalise_length(half_len, 10));
    if (half > static_cast<std::size_t>(py::len(close))) return py::none();
    result = fused_hull(c, close, to_size(length), half, to_size(sqrt_len));
  } else {
    glue::pandas_road("overlap.hma",
                      "wma or a series helper in the module is not the module's own");
    py::object wmaf = c.global("wma")(close, py::arg("length") = half_len);
    py::object wmas = c.global("wma")(close, py::arg("length") = length);
    // the half-length average may need more rows than the series has (a
    // half length of 0 means wma's default of 10): no result rather than
    // None * 2
    if (wmaf.is_none() || wmas.is_none()) return py::none();
    py::object diff = double_blend(c, wmaf, wmas);
    result = c.global("wma")(diff, py::arg("length") = sqrt_len);
    if (result.is_none()) return py::none();
  }
  return finish(c, result, offset, c.kwargs(), with_length("HMA_", length));
}

// ---------------------------------------------------------------------------
// Price composites and dispatcher

constexpr std::string_view kNotPlainComposite =
    "inputs are not plain float64 Series (volume: or integers summing exactly) on equal indexes";

// The float64 (or, for volume, exactly summable integer) values of plain
// numpy-backed Series that share one index, when native arithmetic matches
// pandas' for them; empty otherwise.
std::vector<glue::Float64Values> composite_inputs(glue::Call& c,
                                                  std::initializer_list<py::handle> prices,
                                                  py::handle volume = py::handle()) {
  std::vector<glue::Float64Values> values;
  py::object series_type = c.global("Series");
  py::object index = prices.begin()->attr("index");
  auto usable = [&](py::handle s, bool integers_ok) -> py::object {
    if (!py::type::handle_of(s).is(series_type) || py::len(s.attr("attrs")) != 0) return {};
    if ((s.attr("index").ptr() != index.ptr()) && !truthy(index.attr("equals")(s.attr("index"))))
      return {};
    py::object dtype = s.attr("dtype");
    if (!py::isinstance<py::dtype>(dtype)) return {};
    const auto d = py::reinterpret_borrow<py::dtype>(dtype);
    const char kind = d.kind();
    const bool ok =
        d.equal(py::dtype::of<double>()) || (integers_ok && (kind == 'i' || kind == 'u'));
    return ok ? glue::numpy_values(s) : py::object();
  };
  for (const py::handle& s : prices) {
    py::object v = usable(s, false);
    if (!v) return {};
    values.emplace_back(glue::float64_values(v, "price"));
  }
  if (volume) {
    py::object v = usable(volume, true);
    if (!v) return {};
    const bool integral = py::reinterpret_borrow<py::array>(v).dtype().kind() != 'f';
    glue::Float64Values vol = glue::float64_values(v, "volume");
    // integer volumes are summed exactly by pandas; float64 sums match them
    // only while every running sum is an exact integer
    if (integral && !core::integral_sums_exact(vol.span())) return {};
    values.push_back(std::move(vol));
  }
  return values;
}

constexpr const char* hlc3_doc =
    R"doc(Typical Price: (High + Low + Close) / 3.

Parameters
----------
high, low, close : pd.Series
    The bars' highs, lows and closes, aligned on their indexes like pandas
    arithmetic: a row missing from any input is NaN.
offset : int, optional
    Rows to shift the result by (``Series.shift``); 0 when None.
**kwargs
    ``fillna`` and ``fill_method`` fill the result's gaps after the shift.

Returns
-------
pd.Series
    A new Series named ``"HLC3"``, with ``category`` ``"overlap"``.

Raises
------
TypeError
    If an input is not a Series, or ``offset`` is not a number.

Examples
--------
>>> import pandas as pd
>>> from orvane_data.ta import overlap
>>> high = pd.Series([11.0, 12.0, 12.5])
>>> low = pd.Series([9.0, 10.5, 11.0])
>>> close = pd.Series([10.0, 11.5, 12.0])
>>> overlap.hlc3(high, low, close)
0    10.000000
1    11.333333
2    11.833333
Name: HLC3, dtype: float64)doc";

constexpr glue::Signature hlc3_sig{
    "hlc3(high: Series, low: Series, close: Series, offset: int = None, **kwargs) "
    "-> 'Optional[Series]'"};
py::object hlc3(glue::CallOf<hlc3_sig>& c) {
  py::object offset = c.arg<"offset">();
  py::object high = verify(c, c.arg<"high">(), py::object());
  py::object low = verify(c, c.arg<"low">(), py::object());
  py::object close = verify(c, c.arg<"close">(), py::object());
  offset = c.global("get_offset")(offset);
  if (high.is_none() || low.is_none() || close.is_none()) return py::none();

  py::object result;
  std::vector<glue::Float64Values> v = composite_inputs(c, {high, low, close});
  if (v.empty()) {
    glue::pandas_road("overlap.hlc3", kNotPlainComposite);
    result = (own_index(c, high) + own_index(c, low) + own_index(c, close)) / py::float_(3.0);
  } else {
    glue::native_road("overlap.hlc3");
    glue::Float64Array out = glue::new_float64(v[0].size());
    {
      auto o = glue::writable(out);
      py::gil_scoped_release release;
      core::typical_price(v[0].span(), v[1].span(), v[2].span(), o);
    }
    result = new_series(c, std::move(out), high.attr("index"));
  }
  return finish(c, result, offset, c.kwargs(), "HLC3");
}

constexpr const char* vwap_doc =
    R"doc(Volume Weighted Average Price (VWAP).

Cumulative from the first row: the running sum of typical price
(``hlc3``) times volume over the running sum of volume. A row with a
missing price is NaN, and its volume still counts in later rows.

Parameters
----------
high, low, close : pd.Series
    The bars' highs, lows and closes, aligned on their indexes like pandas
    arithmetic.
volume : pd.Series
    The bars' volumes.
anchor : str, optional
    Accepted for callers that name a reset period; it does not change the
    result.
offset : int, optional
    Rows to shift the result by (``Series.shift``); 0 when None.
**kwargs
    ``fillna`` and ``fill_method`` fill the result's gaps after the shift.

Returns
-------
pd.Series
    A new Series named ``"VWAP"``, with ``category`` ``"overlap"``.

Raises
------
TypeError
    If an input is not a Series, ``anchor`` is neither a ``str`` nor None,
    or ``offset`` is not a number.

Examples
--------
>>> import pandas as pd
>>> from orvane_data.ta import overlap
>>> high = pd.Series([11.0, 12.0, 12.5])
>>> low = pd.Series([9.0, 10.5, 11.0])
>>> close = pd.Series([10.0, 11.5, 12.0])
>>> volume = pd.Series([100, 200, 100])
>>> overlap.vwap(high, low, close, volume)
0    10.000000
1    10.888889
2    11.125000
Name: VWAP, dtype: float64)doc";

constexpr glue::Signature vwap_sig{
    "vwap(high: Series, low: Series, close: Series, volume: Series, anchor: str = None, "
    "offset: int = None, **kwargs) -> 'Optional[Series]'"};
py::object vwap(glue::CallOf<vwap_sig>& c) {
  py::object offset = c.arg<"offset">();
  py::object high = verify(c, c.arg<"high">(), py::object());
  py::object low = verify(c, c.arg<"low">(), py::object());
  py::object close = verify(c, c.arg<"close">(), py::object());
  py::object volume = verify(c, c.arg<"volume">(), py::object());
  offset = c.global("get_offset")(offset);
  if (high.is_none() || low.is_none() || close.is_none() || volume.is_none()) return py::none();

  py::object result;
  std::vector<glue::Float64Values> v = composite_inputs(c, {high, low, close}, volume);
  if (v.empty()) {
    glue::pandas_road("overlap.vwap", kNotPlainComposite);
    py::object vol = own_index(c, volume);
    py::object tp =
        (own_index(c, high) + own_index(c, low) + own_index(c, close)) / py::float_(3.0);
    result = (tp * vol).attr("cumsum")() / vol.attr("cumsum")();
  } else {
    glue::native_road("overlap.vwap");
    glue::Float64Array out = glue::new_float64(v[0].size());
    {
      auto o = glue::writable(out);
      py::gil_scoped_release release;
      core::cumulative_vwap(v[0].span(), v[1].span(), v[2].span(), v[3].span(), o);
    }
    result = new_series(c, std::move(out), high.attr("index"));
  }
  return finish(c, result, offset, c.kwargs(), "VWAP");
}

constexpr const char* ma_doc =
    R"doc(Dispatch to a moving-average function by name.

Parameters
----------
mode : str
    One of ``"sma"``, ``"ema"``, ``"wma"``, ``"rma"``, ``"dema"``,
    ``"tema"``, ``"hma"``, in any case; any other text means ``"sma"``.
source : pd.Series
    The prices, passed on by position.
**kwargs
    Passed on by name (``length``, ``offset`` and the average's options).

Returns
-------
pd.Series or None
    What the chosen average returns.

Raises
------
TypeError
    If ``mode`` is not a ``str``; the chosen average raises as it does when
    called directly.

Examples
--------
>>> import pandas as pd
>>> from orvane_data.ta import overlap
>>> close = pd.Series([10.0, 11.0, 12.0, 11.5, 13.0, 14.0])
>>> overlap.ma("EMA", close, length=3).equals(overlap.ema(close, length=3))
True
>>> overlap.ma("median", close, length=2).name
'SMA_2')doc";

constexpr glue::Signature ma_sig{"ma(mode: str, source: Series, **kwargs) -> 'Optional[Series]'"};
py::object ma(glue::CallOf<ma_sig>& c) {
  const py::object& mode = c.arg<"mode">();
  py::object key = mode.attr("lower")();
  py::dict table;
  for (const char* name : {"sma", "ema", "wma", "rma", "dema", "tema", "hma"}) {
    table[name] = c.global(name);
  }
  py::object fn = table.contains(key) ? py::object(table[key]) : py::object(table["sma"]);
  return fn(c.arg<"source">(), **c.kwargs());
}

}  // namespace

PYBIND11_MODULE(overlap, m) {
  m.doc() = "Overlap indicators: moving averages and related.";
  glue::import_from(m, "typing", "Optional");
  glue::import_as(m, "numpy", "np");
  glue::import_from(m, "numpy", "dot", "npDot");
  glue::import_from(m, "numpy", "arange", "npArange");
  glue::import_from(m, "pandas", "Series");
  // the sibling helpers, relative to this module's package
  const std::string name = py::str(m.attr("__name__"));
  const std::string utils = name.substr(0, name.rfind('.') + 1) + "utils";
  for (const char* helper : {"verify_series", "get_offset", "_apply_offset", "_handle_fills"}) {
    glue::import_from(m, utils.c_str(), helper);
  }

  glue::def<sma_sig>(m, sma_doc, sma, glue::Checks::declared);
  glue::def<ema_sig>(m, ema_doc, ema, glue::Checks::declared);
  glue::def<rma_sig>(m, rma_doc, rma, glue::Checks::declared);
  glue::def<wma_sig>(m, wma_doc, wma, glue::Checks::declared);
  glue::def<dema_sig>(m, dema_doc, dema, glue::Checks::declared);
  glue::def<tema_sig>(m, tema_doc, tema, glue::Checks::declared);
  glue::def<hma_sig>(m, hma_doc, hma, glue::Checks::declared);
  glue::def<vwap_sig>(m, vwap_doc, vwap, glue::Checks::declared);
  glue::def<hlc3_sig>(m, hlc3_doc, hlc3, glue::Checks::declared);
  glue::def<ma_sig>(m, ma_doc, ma, glue::Checks::declared);
}
