"""The exact answer a rolling mean is measured against.

Each window's mean rounded once from its exact sum, and a
result's error in units of the window's mean absolute value: the scale a
window's rounding is naturally measured in, which stays meaningful when the
mean itself cancels to almost nothing.
"""

import math

import numpy as np


# Every finite double times 2**1074 is an integer: sums of such integers are
# exact, and Python divides integers with one correct rounding.
_SHIFT = 1074


def _exact_sums(x):
    """Exact running sums of x (NaN as 0) as integers scaled by 2**_SHIFT,
    starting with 0."""
    sums = [0]
    for v in x.tolist():
        if math.isfinite(v):
            num, den = v.as_integer_ratio()
            sums.append(sums[-1] + num * ((1 << _SHIFT) // den))
        else:
            sums.append(sums[-1])
    return sums


def exact_window_means(values, length, min_periods=None):
    """Mean of the finite values of each trailing window of `length` rows
    (NaN with fewer than `min_periods` of them), and each window's mean
    absolute value, each rounded once from its exact sum."""
    x = np.asarray(values, dtype=float)
    finite = np.isfinite(x)
    need = max(min_periods or length, 1)
    counts = np.concatenate([[0], np.cumsum(finite)])
    sums, abs_sums = _exact_sums(x), _exact_sums(np.abs(x))
    means = np.full(len(x), np.nan)
    scales = np.full(len(x), np.nan)
    for i in range(len(x)):
        start = max(0, i - length + 1)
        count = int(counts[i + 1] - counts[start])
        if count < need:
            continue
        unit = count << _SHIFT
        means[i] = (sums[i + 1] - sums[start]) / unit
        scales[i] = (abs_sums[i + 1] - abs_sums[start]) / unit
    return means, scales


def largest_error(result, values, length, min_periods=None):
    """The largest |result - exact mean| over the windows with a mean, in units
    of the window's mean absolute value; inf where the result is missing (or
    not finite) and the exact mean is not, or the other way round."""
    means, scales = exact_window_means(values, length, min_periods)
    return _largest(result, means, scales)


def _largest(result, means, scales):
    got = np.asarray(result, dtype=float)
    if (np.isfinite(got) != np.isfinite(means)).any():
        return math.inf
    have = np.isfinite(means)
    if not have.any():
        return 0.0
    err = np.abs(got[have] - means[have])
    scale = scales[have]
    # a window of zeros has mean 0 exactly: any error there is infinite
    return float(np.max(np.where(scale > 0, err / np.where(scale > 0, scale, 1.0), np.where(err > 0, math.inf, 0.0))))


def runs_of_mixed_magnitudes(rows, longest, seed):
    """Long runs of repeated values (up to `longest` rows) of magnitudes from
    1e-3 to 1e6 and both signs, with short noisy stretches between them."""
    rng = np.random.default_rng(seed)
    parts, total = [], 0
    while total < rows:
        if rng.random() < 0.6:
            value = rng.choice([0.1, 1 / 3, 2.675]) * 10.0 ** rng.integers(-3, 7) * rng.choice([1, -1, 1, 1])
            part = np.full(int(rng.integers(longest // 4, longest + 1)), value)
        else:
            part = 10.0 ** rng.uniform(-3, 6, int(rng.integers(1, 200)))
        parts.append(part)
        total += len(part)
    return np.concatenate(parts)[:rows]


def accuracy_cases(rows, seed=11):
    """The series a rolling mean's accuracy is judged on, by name."""
    rng = np.random.default_rng(seed)
    prices = 1e4 * np.exp(np.cumsum(rng.normal(0.0, 1e-3, rows)))
    # small returns with jumps that the next row takes back: window sums that
    # cancel to a tiny fraction of their terms
    returns = rng.normal(0.0, 0.01, rows)
    jumps = rng.choice(rows - 1, size=max(1, rows // 50), replace=False)
    returns[jumps] += 1e3
    returns[jumps + 1] -= 1e3
    walk = 0.5 + np.cumsum(rng.normal(0.0, 1.0, rows))
    gappy = prices.copy()
    for start in rng.choice(rows, size=max(1, rows // 100), replace=False):
        gappy[start : start + int(rng.integers(1, 30))] = np.nan
    return {
        "prices ~1e4": prices,
        "returns, cancelling jumps": returns,
        "zero-crossing walk": walk,
        "NaN runs": gappy,
        "repeated runs, mixed magnitudes": runs_of_mixed_magnitudes(rows, 2_000, seed),
    }


def exact_weighted_means(values, length):
    """The linearly weighted mean of each full trailing window of `length`
    rows (weights 1 to `length`, newest heaviest; NaN where the window holds a
    missing value), and each window's weighted mean absolute value, each
    rounded once from its exact sums."""
    x = np.asarray(values, dtype=float)
    finite = np.isfinite(x)
    bad = np.concatenate([[0], np.cumsum(~finite)])
    # the sum of w_i v_i over the window ending at t, w_i = i - (t - length),
    # from exact running sums of v_i and of i * v_i
    observed = np.where(finite, x, 0.0)
    plain, ranked = _exact_sums(observed), _exact_ranked_sums(observed)
    plain_abs, ranked_abs = _exact_sums(np.abs(observed)), _exact_ranked_sums(np.abs(observed))
    total = (length * (length + 1) // 2) << _SHIFT
    means = np.full(len(x), np.nan)
    scales = np.full(len(x), np.nan)
    for t in range(length - 1, len(x)):
        start = t - length + 1
        if bad[t + 1] != bad[start]:
            continue
        offset = t - length
        means[t] = ((ranked[t + 1] - ranked[start]) - offset * (plain[t + 1] - plain[start])) / total
        scales[t] = ((ranked_abs[t + 1] - ranked_abs[start]) - offset * (plain_abs[t + 1] - plain_abs[start])) / total
    return means, scales


def _exact_ranked_sums(x):
    """Exact running sums of i * x[i], scaled as _exact_sums, starting with 0."""
    sums = [0]
    for i, v in enumerate(x.tolist()):
        num, den = v.as_integer_ratio()
        sums.append(sums[-1] + i * num * ((1 << _SHIFT) // den))
    return sums


def largest_weighted_error(result, values, length):
    """largest_error's measure for the weighted mean."""
    means, scales = exact_weighted_means(values, length)
    return _largest(result, means, scales)
