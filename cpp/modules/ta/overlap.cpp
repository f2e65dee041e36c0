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
#include "../../glue/interned.hpp"
#include "../../glue/module_setup.hpp"
#include "../../glue/pyops.hpp"
#include "../../glue/released.hpp"
#include "../../glue/results.hpp"
#include "../../glue/roads.hpp"
#include "../../glue/series_helpers.hpp"

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
  if (!length.is_none()) {
    int overflow = 0;
    const long value = PyLong_AsLongAndOverflow(length.ptr(), &overflow);
    if (value == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow > 0 || value > 0) return length;
  }
  return py::int_(default_length);
}

// A row count the helpers have checked; a helper replaced by one that hands
// back something else cannot make it overflow.
std::size_t to_size(const py::object& value) {
  const std::size_t n = PyLong_AsSize_t(value.ptr());
  if (n == static_cast<std::size_t>(-1) && PyErr_Occurred()) throw py::error_already_set();
  return n;
}

// `Prefix` + str(length), the name of an average's result, as a str. A
// notebook asks for the same few lengths over and over: the names of
// lengths below 1,024 are made once per prefix and kept.
template <glue::ParamName Prefix>
py::object with_length(const py::object& length) {
  constexpr long kKeptLengths = 1024;
  // never freed: the names outlive the interpreter's last calls
  static auto* const kept = new std::vector<py::object>(kKeptLengths);
  const long n = PyLong_CheckExact(length.ptr()) ? PyLong_AsLong(length.ptr()) : -1;
  if (n == -1 && PyErr_Occurred()) PyErr_Clear();  // beyond a long: made each time
  if (n < 0 || n >= kKeptLengths)
    return py::str(std::string(Prefix.view()) + std::string(py::str(length)));
  py::object& name = (*kept)[static_cast<std::size_t>(n)];
  if (!name) name = py::str(std::string(Prefix.view()) + std::to_string(n));
  return name;
}

// The package's own objects the averages read from the module's dict, as
// bound when the module was set up; held for good, so that an object put in
// their place can never be mistaken for one of them.
struct OwnNames {
  py::object verify_series, get_offset, apply_offset, handle_fills, ema, wma;
};
OwnNames& own_names() {
  static auto* names = new OwnNames();
  return *names;
}

// Whether the module's dict still holds `own` under `Name`.
template <glue::ParamName Name>
bool holds_own(glue::Call& c, const py::object& own) {
  PyObject* found = PyDict_GetItemWithError(c.globals().ptr(), glue::interned<Name>());
  if (!found && PyErr_Occurred()) throw py::error_already_set();
  return found == own.ptr();
}

// Whether the module's dict holds the package's own series helpers.
bool own_helpers(glue::Call& c) {
  const OwnNames& names = own_names();
  return holds_own<"verify_series">(c, names.verify_series) &&
         holds_own<"get_offset">(c, names.get_offset) &&
         holds_own<"_apply_offset">(c, names.apply_offset) &&
         holds_own<"_handle_fills">(c, names.handle_fills);
}

// The series helpers of one indicator call. While the module's dict holds
// the package's own helpers, their work runs here with no Python call (road
// "overlap.helpers"): nothing can observe the calls skipped. A helper put in
// their place is called from the dict, in the order the helpers always run.
class Helpers {
 public:
  explicit Helpers(glue::Call& c) : c_(c), own_(own_helpers(c)) {
    if (own_) {
      glue::native_road<"overlap.helpers">();
    } else {
      glue::pandas_road("overlap.helpers",
                        "a series helper in the module is not the package's own");
    }
  }
  bool own() const { return own_; }

  // verify_series(series).
  py::object verify(const py::object& series) const {
    if (own_) return glue::verified_series(series, py::none(), series_type());
    return c_.global<"verify_series">()(series);
  }
  // verify_series(series, min_length), with the input's values read once.
  glue::SeriesInput input(const py::object& series, const py::object& min_length) const {
    if (own_) return glue::SeriesInput::verified(series, min_length, series_type());
    return glue::SeriesInput(c_.global<"verify_series">()(series, min_length));
  }

  py::object offset(const py::object& given) const {
    if (own_) return given.is_none() ? py::int_(0) : given;
    return c_.global<"get_offset">()(given);
  }

  // _apply_offset, _handle_fills, then the category of a result built with
  // the name `name`: the helpers keep it, one put in their place may not.
  py::object finish(py::object result, const py::object& offset, const py::object& name) const {
    if (own_) {
      result = glue::offset_series(result, offset);
      if (c_.has_kwargs() && glue::asks_fills(c_.kwargs()))
        result = glue::filled_series(result, c_.kwargs());
    } else {
      result = c_.global<"_apply_offset">()(result, offset);
      result = c_.global<"_handle_fills">()(result, **c_.kwargs());
      py::setattr(result, "name", name);
    }
    glue::set_category(result, glue::interned<"overlap">());
    return result;
  }

  py::object series_type() const { return c_.global<"Series">(); }

 private:
  glue::Call& c_;
  const bool own_;
};

// Scratch of a kernel, which writes it before reading it: left
// uninitialised, as zeroing megabytes of it would cost more than the pass.
// A short window's scratch is kept on the stack, sparing a small call the
// allocator.
class Scratch {
 public:
  explicit Scratch(std::size_t n)
      : heap_(n > kOnStack ? std::make_unique_for_overwrite<double[]>(n) : nullptr),
        data_(heap_ ? heap_.get() : on_stack_),
        size_(n) {}
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  std::span<double> span() const { return {data_, size_}; }

 private:
  static constexpr std::size_t kOnStack = 512;
  double on_stack_[kOnStack];
  std::unique_ptr<double[]> heap_;
  double* data_;
  std::size_t size_;
};

// The option `key` of a call, `absent` when not given.
py::object option(const py::dict& options, const char* key, py::object absent) {
  PyObject* value = glue::dict_entry(options, key);
  return value == nullptr ? absent : py::reinterpret_borrow<py::object>(value);
}

// The same, taken out of `options`.
py::object take_option(py::dict& options, const char* key, py::object absent) {
  py::object value = option(options, key, std::move(absent));
  if (glue::dict_entry(options, key) != nullptr &&
      PyDict_DelItem(options.ptr(), glue::interned(key)) < 0) {
    throw py::error_already_set();
  }
  return value;
}

// A new Series of `values` on `index`, named `name` (a str, or None):
// named by its constructor, which costs less than naming it after.
py::object new_series(glue::Call& c, const glue::Float64Array& values, const py::handle& index,
                      const py::object& name) {
  return glue::new_series(c.global<"Series">(), values, index, name);
}

// A fixed result name, as a str.
py::object fixed_name(const char* name) {
  return py::reinterpret_borrow<py::object>(glue::interned(name));
}

constexpr std::string_view kNotPlainFloat64 =
    "inputs are not plain float64 Series on one index object";

// Whether plain pandas Series of float64 values on one index object, with no
// attrs of their own: then row-by-row native arithmetic gives what pandas'
// aligned arithmetic gives.
bool plain_float64_on(const py::handle& index, const std::vector<py::handle>& series,
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
  if (!py::isinstance(s, c.global<"Series">())) return s;
  return s.attr("set_axis")(s.attr("index").attr("copy")());
}

// The blend of the double (2 * a - b) or triple (3 * a - 3 * b + d) mean of
// `means`, named `name` (a str, or None): natively on one index, else with pandas' arithmetic.
py::object blend(glue::Call& c, const std::vector<py::object>& means, const py::object& name) {
  const py::object& a = means[0];
  py::object index = a.attr("index");
  std::vector<py::handle> inputs(means.begin(), means.end());
  if (!plain_float64_on(index, inputs, c.global<"Series">())) {
    glue::pandas_road("overlap.blend", kNotPlainFloat64);
    py::object result = means.size() == 2
                            ? py::int_(2) * own_index(c, a) - own_index(c, means[1])
                            : py::int_(3) * own_index(c, a) - py::int_(3) * own_index(c, means[1]) +
                                  own_index(c, means[2]);
    if (!name.is_none()) py::setattr(result, "name", name);
    return result;
  }
  glue::native_road("overlap.blend");
  std::vector<glue::Float64Values> v;
  for (const py::object& m : means)
    v.push_back(glue::float64_values(glue::numpy_values(m), "blend input"));
  glue::Float64Array out = glue::new_float64(v[0].size());
  {
    auto o = glue::writable(out);
    glue::without_gil_over("overlap.blend", o.size(), [&] {
      if (v.size() == 2) {
        core::double_blend(v[0].span(), v[1].span(), o);
      } else {
        core::triple_blend(v[0].span(), v[1].span(), v[2].span(), o);
      }
    });
  }
  return new_series(c, std::move(out), index, name);
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

// The simple means of `close` over windows of `window` rows that need
// `periods` observations, named `name`.
py::object simple_means(glue::Call& c, glue::SeriesInput& close, std::size_t window,
                        std::size_t periods, const py::object& name) {
  glue::Float64Values values = close.values("sma");
  const Scratch scratch(core::rolling_mean_scratch(window, values.size()));
  glue::Float64Array out = glue::new_float64(values.size());
  {
    auto o = glue::writable(out);
    glue::without_gil_over("overlap.sma", o.size(), [&] {
      core::rolling_mean(values.span(), window, periods, scratch.span(), o);
    });
  }
  glue::native_road<"overlap.sma">();
  return new_series(c, std::move(out), close.index(), name);
}

// The plain call, `sma(close, length)` with a positive int length, no offset
// and no options, on a pandas Series itself (no subclass), while the module
// holds the package's own helpers (road "overlap.sma.plain"). The general
// rules have nothing to do for it beyond reading the input and naming the
// result, and it is the call a notebook makes thousands of times over a
// universe: it runs through the reading and the result alone, with a tenth
// fewer of our code's instruction-cache misses a call. Its window, or 0 for
// any other call.
std::size_t plain_sma_window(glue::CallOf<sma_sig>& c, py::handle series_type) {
  if (c.has_kwargs() || !c.arg<"offset">().is_none()) return 0;
  const py::object& length = c.arg<"length">();
  if (!PyLong_CheckExact(length.ptr())) return 0;
  int overflow = 0;
  const long value = PyLong_AsLongAndOverflow(length.ptr(), &overflow);
  if (value == -1 && PyErr_Occurred()) throw py::error_already_set();
  if (overflow < 0 || (overflow == 0 && value <= 0)) return 0;
  const bool plain =
      Py_TYPE(c.arg<"close">().ptr()) == reinterpret_cast<PyTypeObject*>(series_type.ptr()) &&
      own_helpers(c);
  // a length beyond a long wants more rows than any series holds
  return !plain         ? 0
         : overflow > 0 ? std::numeric_limits<std::size_t>::max()
                        : static_cast<std::size_t>(value);
}

// What the general rules give a plain call: the helpers' own work, an offset
// of 0 and no fills leave the means as they are, with their category.
py::object plain_sma(glue::CallOf<sma_sig>& c, std::size_t window, py::handle series_type) {
  glue::native_road<"overlap.helpers">();
  const py::object& length = c.arg<"length">();
  glue::SeriesInput close = glue::SeriesInput::verified(c.arg<"close">(), length, series_type);
  if (close.is_none()) return py::none();
  py::object result = simple_means(c, close, window, window, with_length<"SMA_">(length));
  glue::set_category(result, glue::interned<"overlap">());
  glue::native_road<"overlap.sma.plain">();
  return result;
}

py::object sma(glue::CallOf<sma_sig>& c) {
  {
    const py::object series_type = c.global<"Series">();
    if (const std::size_t window = plain_sma_window(c, series_type)) {
      return plain_sma(c, window, series_type);
    }
  }
  py::object length = normalise_length(c.arg<"length">(), 10);
  py::object offset = c.arg<"offset">();
  py::object min_periods = length;
  if (PyObject* given = c.kwarg("min_periods")) {
    if (truthy(given)) {
      PyObject* converted = PyNumber_Long(given);
      if (!converted) throw py::error_already_set();
      min_periods = py::reinterpret_steal<py::object>(converted);
    }
  }
  py::object needed = min_periods > length ? min_periods : length;
  const Helpers helpers(c);
  glue::SeriesInput close = helpers.input(c.arg<"close">(), needed);
  offset = helpers.offset(offset);
  if (close.is_none()) return py::none();

  // the checks pandas' rolling window makes of its arguments
  if (min_periods < py::int_(0)) glue::raise(PyExc_ValueError, "min_periods must be >= 0");
  if (min_periods > length) {
    glue::raise(PyExc_ValueError, "min_periods " + std::string(py::str(min_periods)) +
                                      " must be <= window " + std::string(py::str(length)));
  }
  const py::object name = with_length<"SMA_">(length);
  py::object result = simple_means(c, close, to_size(length), to_size(min_periods), name);
  return helpers.finish(result, offset, name);
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
  const double seed = glue::without_gil_over(
      "overlap.seed", length, [&] { return core::nan_mean(values.span().first(length), count); });
  if (count == 0 && PyErr_WarnEx(PyExc_RuntimeWarning, "Mean of empty slice", 1) < 0) {
    throw py::error_already_set();
  }
  return seed;
}

py::object exponential(glue::Call& c, glue::SeriesInput& close, std::size_t length, double alpha,
                       bool adjust, bool seeded, const char* func, const py::object& name) {
  glue::Float64Values values = close.values(func);
  const double seed = seeded ? sma_seed(values, length) : 0.0;
  glue::Float64Array out = glue::new_float64(values.size());
  {
    auto o = glue::writable(out);
    glue::without_gil_over("overlap.ewm", o.size(), [&] {
      if (seeded) {
        core::seeded_ewm_mean(values.span(), length, seed, alpha, adjust, o);
      } else {
        core::ewm_mean(values.span(), alpha, adjust, o);
      }
    });
  }
  glue::native_road(std::string("overlap.") + func);
  return new_series(c, std::move(out), close.index(), name);
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
  py::object adjust = take_option(options, "adjust", py::bool_(false));
  py::object use_sma_seed = take_option(options, "sma", py::bool_(true));
  const Helpers helpers(c);
  glue::SeriesInput close = helpers.input(c.arg<"close">(), length);
  offset = helpers.offset(offset);
  if (close.is_none()) return py::none();

  const std::size_t n = to_size(length);
  const double alpha = core::alpha_from_span(static_cast<double>(n));
  const py::object name = with_length<"EMA_">(length);
  py::object result =
      exponential(c, close, n, alpha, truthy(adjust), truthy(use_sma_seed), "ema", name);
  return helpers.finish(result, offset, name);
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
  const Helpers helpers(c);
  glue::SeriesInput close = helpers.input(c.arg<"close">(), length);
  offset = helpers.offset(offset);
  if (close.is_none()) return py::none();

  const std::size_t n = to_size(length);
  const double alpha = core::alpha_from_alpha(1.0 / static_cast<double>(n));
  const py::object name = with_length<"RMA_">(length);
  py::object result = exponential(c, close, n, alpha, false, true, "rma", name);
  return helpers.finish(result, offset, name);
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
  const Helpers helpers(c);
  glue::SeriesInput close = helpers.input(c.arg<"close">(), length);
  offset = helpers.offset(offset);
  if (close.is_none()) return py::none();

  glue::Float64Values values = close.values("wma");
  const std::size_t n = to_size(length);
  const Scratch scratch(core::weighted_mean_scratch(std::min(n, values.size())));
  glue::Float64Array out = glue::new_float64(values.size());
  {
    auto o = glue::writable(out);
    glue::without_gil_over("overlap.wma", o.size(), [&] {
      core::weighted_mean(values.span(), n, ascending, scratch.span(), o);
    });
  }
  glue::native_road("overlap.wma");
  const py::object name = with_length<"WMA_">(length);
  py::object result = new_series(c, std::move(out), close.index(), name);
  return helpers.finish(result, offset, name);
}

// The `depth` exponential means of `close` one over the other, blended as
// the double (depth 2) or triple (depth 3) mean, in one native pass: what
// calling the module's own `ema` that many times and blending gives, with no
// intermediate Series.
py::object fused_stack(glue::Call& c, glue::SeriesInput& close, std::size_t length,
                       const py::dict& options, unsigned depth, const py::object& name) {
  const bool adjust = truthy(option(options, "adjust", py::bool_(false)));
  const bool seeded = truthy(option(options, "sma", py::bool_(true)));
  glue::Float64Values values = close.values("ema");
  const double alpha = core::alpha_from_span(static_cast<double>(length));
  const Scratch scratch((depth - 1) * core::stacked_ewm_rows(values.size(), length, alpha));
  glue::Float64Array out = glue::new_float64(values.size());
  const std::span<double> o = glue::writable(out);
  const std::size_t empty_seeds = glue::without_gil_over("overlap.stacked_ewm", o.size(), [&] {
    return core::stacked_ewm_blend(values.span(), length, alpha, adjust, seeded, depth,
                                   scratch.span(), o);
  });
  // numpy's warning for each seed with no value to average, as `ema` gives it
  for (std::size_t i = 0; i < empty_seeds; ++i) {
    if (PyErr_WarnEx(PyExc_RuntimeWarning, "Mean of empty slice", 1) < 0) {
      throw py::error_already_set();
    }
  }
  glue::native_road(depth == 2 ? "overlap.dema" : "overlap.tema");
  return new_series(c, std::move(out), close.index(), name);
}

// dema (depth 2) and tema (depth 3): fused while the module's `ema` and
// helpers are the package's own and no fills are asked for (`ema` would
// fill each inner mean); otherwise `ema` is called from the module's dict
// with the call's options, `depth` times, and its results blended.
template <const glue::Signature& S>
py::object stacked_ema(glue::CallOf<S>& c, unsigned depth, const char* func) {
  py::object length = normalise_length(c.template arg<"length">(), 10);
  py::object offset = c.template arg<"offset">();
  const Helpers helpers(c);
  glue::SeriesInput close = helpers.input(c.template arg<"close">(), length);
  offset = helpers.offset(offset);
  if (close.is_none()) return py::none();

  const py::dict& options = c.kwargs();
  const py::object name = depth == 2 ? with_length<"DEMA_">(length) : with_length<"TEMA_">(length);
  py::object result;
  if (helpers.own() && holds_own<"ema">(c, own_names().ema) && !glue::asks_fills(options)) {
    result = fused_stack(c, close, to_size(length), options, depth, name);
  } else {
    glue::pandas_road(std::string("overlap.") + func,
                      "ema or a series helper in the module is not the module's own, or fills "
                      "are asked for");
    std::vector<py::object> means{close.series()};
    for (unsigned i = 0; i < depth; ++i) {
      means.push_back(
          c.template global<"ema">()(means.back(), py::arg("length") = length, **options));
    }
    means.erase(means.begin());
    result = blend(c, means, name);
  }
  return helpers.finish(result, offset, name);
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
py::object dema(glue::CallOf<dema_sig>& c) { return stacked_ema(c, 2, "dema"); }

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
py::object tema(glue::CallOf<tema_sig>& c) { return stacked_ema(c, 3, "tema"); }

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

// The three passes fused: the result of wma(2 * wma(close, half) -
// wma(close, length), root) with no full-length temporary but the result.
py::object fused_hull(glue::Call& c, glue::SeriesInput& close, std::size_t length, std::size_t half,
                      std::size_t root, const py::object& name) {
  glue::Float64Values values = close.values("wma");
  const Scratch scratch(core::hull_mean_scratch(values.size(), length, half, root));
  glue::Float64Array out = glue::new_float64(values.size());
  {
    auto o = glue::writable(out);
    glue::without_gil_over("overlap.hma", o.size(), [&] {
      core::hull_mean(values.span(), length, half, root, scratch.span(), o);
    });
  }
  glue::native_road("overlap.hma");
  return new_series(c, std::move(out), close.index(), name);
}

constexpr glue::Signature hma_sig{
    "hma(close: Series, length: int = None, offset: int = None, **kwargs) -> 'Optional[Series]'"};
py::object hma(glue::CallOf<hma_sig>& c) {
  py::object length = normalise_length(c.arg<"length">(), 9);
  py::object offset = c.arg<"offset">();
  const Helpers helpers(c);
  glue::SeriesInput close = helpers.input(c.arg<"close">(), length);
  offset = helpers.offset(offset);
  if (close.is_none()) return py::none();

  const py::object name = with_length<"HMA_">(length);
  const double n = static_cast<double>(to_size(length));
  py::int_ half_len(static_cast<long long>(n / 2.0));
  py::int_ sqrt_len(static_cast<long long>(std::sqrt(n)));
  py::object result;
  // the three weighted passes and the blend run fused when they would run
  // exactly the module's own functions: `wma` and the helpers it calls
  if (helpers.own() && holds_own<"wma">(c, own_names().wma)) {
    // wma's length rule on the half length: 0 means its default of 10; the
    // half-length pass needs that many rows, as wma's verify_series asks
    const std::size_t half = to_size(normalise_length(half_len, 10));
    if (half > static_cast<std::size_t>(py::len(close.series()))) return py::none();
    result = fused_hull(c, close, to_size(length), half, to_size(sqrt_len), name);
  } else {
    glue::pandas_road("overlap.hma",
                      "wma or a series helper in the module is not the module's own");
    py::object wmaf = c.global<"wma">()(close.series(), py::arg("length") = half_len);
    py::object wmas = c.global<"wma">()(close.series(), py::arg("length") = length);
    // the half-length average may need more rows than the series has (a
    // half length of 0 means wma's default of 10): no result rather than
    // None * 2
    if (wmaf.is_none() || wmas.is_none()) return py::none();
    py::object diff = blend(c, {wmaf, wmas}, py::none());
    result = c.global<"wma">()(diff, py::arg("length") = sqrt_len);
    if (result.is_none()) return py::none();
    py::setattr(result, "name", name);
  }
  return helpers.finish(result, offset, name);
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
  py::object series_type = c.global<"Series">();
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
  const Helpers helpers(c);
  py::object high = helpers.verify(c.arg<"high">());
  py::object low = helpers.verify(c.arg<"low">());
  py::object close = helpers.verify(c.arg<"close">());
  offset = helpers.offset(offset);
  if (high.is_none() || low.is_none() || close.is_none()) return py::none();

  py::object result;
  std::vector<glue::Float64Values> v = composite_inputs(c, {high, low, close});
  if (v.empty()) {
    glue::pandas_road("overlap.hlc3", kNotPlainComposite);
    result = (own_index(c, high) + own_index(c, low) + own_index(c, close)) / py::float_(3.0);
    py::setattr(result, "name", fixed_name("HLC3"));
  } else {
    glue::native_road("overlap.hlc3");
    glue::Float64Array out = glue::new_float64(v[0].size());
    {
      auto o = glue::writable(out);
      glue::without_gil_over("overlap.hlc3", o.size(), [&] {
        core::typical_price(v[0].span(), v[1].span(), v[2].span(), o);
      });
    }
    result = new_series(c, std::move(out), high.attr("index"), fixed_name("HLC3"));
  }
  return helpers.finish(result, offset, fixed_name("HLC3"));
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
  const Helpers helpers(c);
  py::object high = helpers.verify(c.arg<"high">());
  py::object low = helpers.verify(c.arg<"low">());
  py::object close = helpers.verify(c.arg<"close">());
  py::object volume = helpers.verify(c.arg<"volume">());
  offset = helpers.offset(offset);
  if (high.is_none() || low.is_none() || close.is_none() || volume.is_none()) return py::none();

  py::object result;
  std::vector<glue::Float64Values> v = composite_inputs(c, {high, low, close}, volume);
  if (v.empty()) {
    glue::pandas_road("overlap.vwap", kNotPlainComposite);
    py::object vol = own_index(c, volume);
    py::object tp =
        (own_index(c, high) + own_index(c, low) + own_index(c, close)) / py::float_(3.0);
    result = (tp * vol).attr("cumsum")() / vol.attr("cumsum")();
    py::setattr(result, "name", fixed_name("VWAP"));
  } else {
    glue::native_road("overlap.vwap");
    glue::Float64Array out = glue::new_float64(v[0].size());
    {
      auto o = glue::writable(out);
      glue::without_gil_over("overlap.vwap", o.size(), [&] {
        core::cumulative_vwap(v[0].span(), v[1].span(), v[2].span(), v[3].span(), o);
      });
    }
    result = new_series(c, std::move(out), high.attr("index"), fixed_name("VWAP"));
  }
  return helpers.finish(result, offset, fixed_name("VWAP"));
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
    table[name] = c.global(py::str(name));
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

  OwnNames& own = own_names();
  own.verify_series = m.attr("verify_series");
  own.get_offset = m.attr("get_offset");
  own.apply_offset = m.attr("_apply_offset");
  own.handle_fills = m.attr("_handle_fills");

  glue::def<sma_sig>(m, sma_doc, sma, glue::Checks::declared);
  own.ema = glue::def<ema_sig>(m, ema_doc, ema, glue::Checks::declared);
  glue::def<rma_sig>(m, rma_doc, rma, glue::Checks::declared);
  own.wma = glue::def<wma_sig>(m, wma_doc, wma, glue::Checks::declared);
  glue::def<dema_sig>(m, dema_doc, dema, glue::Checks::declared);
  glue::def<tema_sig>(m, tema_doc, tema, glue::Checks::declared);
  glue::def<hma_sig>(m, hma_doc, hma, glue::Checks::declared);
  glue::def<vwap_sig>(m, vwap_doc, vwap, glue::Checks::declared);
  glue::def<hlc3_sig>(m, hlc3_doc, hlc3, glue::Checks::declared);
  glue::def<ma_sig>(m, ma_doc, ma, glue::Checks::declared);
}
