"""A pandas (or numpy) formulation of every operator the engine runs in C++.

``REFERENCES[name](rng)`` gives the cases of one operator as
``(factor, inputs, expected)``: ``factor`` is built with the public
constructor, so its kernel carries the parameters the constructor chose;
``inputs`` are the arrays (time series) or tables (cross-sectional, with
the group codes for the grouped operators) the kernel runs on.  Inputs hold
NaN, ties, constant stretches and, for windows, every window size from one
day to twenty.
"""

import numpy as np
import pandas as pd

from tarnfold import cross_sectional as cs
from tarnfold import operators as op
from tarnfold.leaf import CLOSE, HIGH, VOLUME

WINDOWS = (1, 2, 3, 5, 20)


def series(rng, n=400):
    x = rng.normal(10.0, 2.0, n)
    x[rng.random(n) < 0.05] = np.nan
    x[100:130] = 7.25  # a constant stretch
    x[200:260] = np.round(x[200:260])  # many ties
    return x


def _pair(rng):
    a = rng.normal(size=300) * 5
    b = rng.normal(size=300) * 3
    a[::17] = np.nan
    b[::23] = 0.0
    b[5] = -0.0
    return a, b


def _elementwise(build, numpy_form, arity=2):
    def cases(rng):
        a, b = _pair(rng)
        args = (a, b)[:arity]
        with np.errstate(all="ignore"):
            return [(build(), args, numpy_form(*args))]

    return cases


def _logical(build, numpy_form, arity=2):
    """1.0 / 0.0, NaN where an operand is NaN."""

    def form(*args):
        nan = np.any([np.isnan(a) for a in args], axis=0)
        return np.where(nan, np.nan, numpy_form(*args).astype(float))

    return _elementwise(build, form, arity)


def _window(build, pandas_form, windows=WINDOWS, scale=1.0):
    def cases(rng):
        x = series(rng) * scale
        return [(build(d), (x,), pandas_form(pd.Series(x), d).to_numpy()) for d in windows]

    return cases


def _argext(f):
    return lambda s, d: s.rolling(d).apply(f, raw=True)


def _decay(s, d):
    return s.rolling(d).apply(
        lambda w: (w * np.arange(1, d + 1)).sum() / (d * (d + 1) / 2), raw=True
    )


def _rolling_pair(build, pandas_form):
    def cases(rng):
        x = series(rng)
        y = 0.5 * x + rng.normal(0, 1, len(x))
        y[300:340] = 3.0  # constant stretch of y only
        out = []
        for d in (2, 5, 20):
            sx, sy = pd.Series(x), pd.Series(y)
            out.append((build(d), (x, y), pandas_form(sx, sy, d).to_numpy()))
        return out

    return cases


def _windows(s, d):
    """The windows of ``d`` values ending on each day (rows; NaN rows for
    the first d - 1 days), and which of them hold a NaN."""
    x = np.asarray(s, dtype=float)
    w = np.full((len(x), d), np.nan)
    if d <= len(x):
        w[d - 1 :] = np.lib.stride_tricks.sliding_window_view(x, d)
    return w, np.isnan(w).any(axis=1)


def _moments(w):
    """Centred windows and their sums of squares, computed in two passes
    (the rolling moments pandas updates as the window moves carry rounding
    that differs between its versions)."""
    c = w - w.mean(axis=1, keepdims=True)
    return c, (c * c).sum(axis=1)


def _correlation(sx, sy, d):
    """Sample correlation per window; NaN where either side is constant."""
    (wx, nx), (wy, ny) = _windows(sx, d), _windows(sy, d)
    with np.errstate(all="ignore"):
        (cx, sxx), (cy, syy) = _moments(wx), _moments(wy)
        r = (cx * cy).sum(axis=1) / np.sqrt(sxx * syy)
    return pd.Series(np.where(nx | ny | (sxx == 0) | (syy == 0), np.nan, r))


def _skew(s, d):
    """Adjusted Fisher-Pearson skewness per window (pandas' rolling skew);
    NaN below three values or for a constant window."""
    w, bad = _windows(s, d)
    if d < 3:
        return pd.Series(np.full(len(w), np.nan))
    with np.errstate(all="ignore"):
        c, m2 = _moments(w)
        m3 = (c**3).sum(axis=1)
        g = np.sqrt(d * (d - 1.0)) / (d - 2.0) * (m3 / d) / (m2 / d) ** 1.5
    return pd.Series(np.where(bad | (m2 == 0), np.nan, g))


def _kurt(s, d):
    """Excess kurtosis per window with the sample adjustment (pandas'
    rolling kurt); NaN below four values or for a constant window."""
    w, bad = _windows(s, d)
    if d < 4:
        return pd.Series(np.full(len(w), np.nan))
    with np.errstate(all="ignore"):
        c, m2 = _moments(w)
        m4 = (c**4).sum(axis=1)
        g = d * (d + 1.0) * (d - 1.0) * m4 / ((d - 2.0) * (d - 3.0) * m2**2) - 3.0 * (
            d - 1.0
        ) ** 2 / ((d - 2.0) * (d - 3.0))
    return pd.Series(np.where(bad | (m2 == 0), np.nan, g))


def _regression(wy, wx):
    """Slope, R-squared and the last value's residual of the least-squares
    line of each window of y on the same window of x."""
    with np.errstate(all="ignore"):
        (cy, syy), (cx, sxx) = _moments(wy), _moments(wx)
        sxy = (cx * cy).sum(axis=1)
        slope = sxy / sxx
        rsq = sxy * sxy / (sxx * syy)
        resid = cy[:, -1] - slope * cx[:, -1]
    return slope, np.where(syy == 0, np.nan, rsq), resid, sxx


def _mad(s, d):
    return s.rolling(d).apply(lambda w: np.median(np.abs(w - np.median(w))), raw=True)


def _quantile(rng):
    x = series(rng)
    return [
        (op.ts_quantile(CLOSE, d, q), (x,), pd.Series(x).rolling(d).quantile(q).to_numpy())
        for d in WINDOWS
        for q in (0.0, 0.2, 0.5, 0.8, 1.0)
    ]


def _on_time(sx, d):
    """Slope per day, R-squared and today's residual of the line through
    the window against the day number."""
    wy, bad = _windows(sx, d)
    t = np.broadcast_to(np.arange(d, dtype=float), wy.shape)
    slope, rsq, resid, stt = _regression(wy, t)
    if d == 1:  # one point: no line
        slope = rsq = resid = np.full(len(wy), np.nan)
    return tuple(pd.Series(np.where(bad, np.nan, v)) for v in (slope, rsq, resid))


def _time_regression(build, which):
    def cases(rng):
        x = series(rng)
        out = []
        for d in WINDOWS:
            got = _on_time(pd.Series(x), d)[which]
            out.append((build(d), (x,), got.to_numpy()))
        return out

    return cases


def _pair_regression(sy, sx, d):
    (wy, ny), (wx, nx) = _windows(sy, d), _windows(sx, d)
    slope, rsq, resid, sxx = _regression(wy, wx)
    bad = ny | nx
    slope = np.where(bad | (sxx == 0), np.nan, slope)
    rsq = np.where(bad | (sxx == 0), np.nan, rsq)
    resid = np.where(bad | (sxx == 0), np.nan, resid)
    return pd.Series(slope), pd.Series(rsq), pd.Series(resid)


def _ewm(rng):
    x = series(rng)
    x[:3] = np.nan  # leading gaps
    s = pd.Series(x)
    out = []
    for span in (3, 10):
        out.append(
            (
                op.ema(CLOSE, span),
                (x,),
                s.ewm(span=span, adjust=False, min_periods=span).mean().to_numpy(),
            )
        )
    return out


def _dma(rng):
    x = series(rng)
    x[:3] = np.nan
    s = pd.Series(x)
    return [
        (op.dma(CLOSE, alpha), (x,), s.ewm(alpha=alpha, adjust=False).mean().to_numpy())
        for alpha in (1 / 3, 0.1, 1.0)
    ]


def _where(rng):
    a, b = _pair(rng)
    cond = (a > 0).astype(float)
    cond[np.isnan(a)] = np.nan
    want = np.where(np.isnan(cond), np.nan, np.where(cond == 1, b, 2.0))
    return [(op.where(CLOSE, VOLUME, 2.0), (cond, b, 2.0), want)]


# -- cross-sectional ---------------------------------------------------------------


def table(rng):
    t = pd.DataFrame(rng.normal(size=(30, 40)))
    t[t > 1.5] = np.nan
    t.iloc[3] = 2.0  # a constant date
    t.iloc[4, :] = np.nan
    t.iloc[5, 7:12] = 0.25  # ties
    t.iloc[6, :] = np.nan
    t.iloc[6, 3] = 1.0  # a single value
    return t


def _cross_section(build, pandas_form):
    def cases(rng):
        t = table(rng)
        with np.errstate(all="ignore"):
            return [(build(), (t,), pandas_form(t).to_numpy())]

    return cases


def _zscore(t):
    z = t.sub(t.mean(axis=1), axis=0).div(t.std(axis=1), axis=0)
    return z.replace([np.inf, -np.inf], 0.0)


def _grouped(build, how):
    def cases(rng):
        t = table(rng)
        codes = rng.integers(-1, 5, size=t.shape).astype(np.int32)
        long = t.stack(future_stack=True).rename("x").to_frame()
        long["g"] = codes.ravel()
        long = long[(long["g"] >= 0) & long["x"].notna()]
        by = long.groupby([long.index.get_level_values(0), long["g"]])["x"]
        want = how(long["x"], by).unstack().reindex(index=t.index, columns=t.columns)
        return [(build(), (t, codes), want.to_numpy())]

    return cases


def _group_zscore(x, by):
    return ((x - by.transform("mean")) / by.transform("std")).replace([np.inf, -np.inf], 0.0)


REFERENCES = {
    # element-wise
    "add": _elementwise(lambda: CLOSE + VOLUME, np.add),
    "sub": _elementwise(lambda: CLOSE - VOLUME, np.subtract),
    "mul": _elementwise(lambda: CLOSE * VOLUME, np.multiply),
    "div": _elementwise(lambda: CLOSE / VOLUME, np.divide),
    "floordiv": _elementwise(lambda: CLOSE // VOLUME, np.floor_divide),
    "mod": _elementwise(lambda: CLOSE % VOLUME, np.remainder),
    "pow": _elementwise(lambda: CLOSE**VOLUME, np.power),
    "neg": _elementwise(lambda: -CLOSE, np.negative, 1),
    "abs": _elementwise(lambda: op.absolute(CLOSE), np.abs, 1),
    "log": _elementwise(lambda: op.log(CLOSE), np.log, 1),
    "sign": _elementwise(lambda: op.sign(CLOSE), np.sign, 1),
    "signed_power": _elementwise(
        lambda: op.signed_power(CLOSE, VOLUME), lambda a, b: np.sign(a) * np.abs(a) ** b
    ),
    "min": _elementwise(lambda: op.minimum(CLOSE, VOLUME), np.minimum),
    "max": _elementwise(lambda: op.maximum(CLOSE, VOLUME), np.maximum),
    "lt": _logical(lambda: CLOSE < VOLUME, np.less),
    "le": _logical(lambda: CLOSE <= VOLUME, np.less_equal),
    "gt": _logical(lambda: CLOSE > VOLUME, np.greater),
    "ge": _logical(lambda: CLOSE >= VOLUME, np.greater_equal),
    "eq": _logical(lambda: CLOSE.eq(VOLUME), np.equal),
    "ne": _logical(lambda: CLOSE.ne(VOLUME), np.not_equal),
    "and": _logical(lambda: CLOSE & VOLUME, lambda a, b: (a != 0) & (b != 0)),
    "or": _logical(lambda: CLOSE | VOLUME, lambda a, b: (a != 0) | (b != 0)),
    "not": _logical(lambda: ~CLOSE, lambda a: a == 0, 1),
    "where": _where,
    # windows over valid days
    "ts_mean": _window(lambda d: op.ts_mean(CLOSE, d), lambda s, d: s.rolling(d).mean()),
    "ts_sum": _window(lambda d: op.ts_sum(CLOSE, d), lambda s, d: s.rolling(d).sum()),
    "ts_std": _window(lambda d: op.ts_std(CLOSE, d), lambda s, d: s.rolling(d).std()),
    "delay": _window(lambda d: op.delay(CLOSE, d), lambda s, d: s.shift(d), (0,) + WINDOWS),
    "delta": _window(lambda d: op.delta(CLOSE, d), lambda s, d: s - s.shift(d), (0,) + WINDOWS),
    "ts_product": _window(
        lambda d: op.ts_product(CLOSE, d),
        lambda s, d: s.rolling(d).apply(np.prod, raw=True),
        scale=0.1,
    ),
    "ts_min": _window(lambda d: op.ts_min(CLOSE, d), lambda s, d: s.rolling(d).min()),
    "ts_max": _window(lambda d: op.ts_max(CLOSE, d), lambda s, d: s.rolling(d).max()),
    "ts_argmin": _window(lambda d: op.ts_argmin(CLOSE, d), _argext(np.argmin)),
    "ts_argmax": _window(lambda d: op.ts_argmax(CLOSE, d), _argext(np.argmax)),
    "ts_rank": _window(lambda d: op.ts_rank(CLOSE, d), lambda s, d: s.rolling(d).rank(pct=True)),
    "decay_linear": _window(lambda d: op.decay_linear(CLOSE, d), _decay),
    "correlation": _rolling_pair(lambda d: op.correlation(CLOSE, HIGH, d), _correlation),
    "covariance": _rolling_pair(
        lambda d: op.covariance(CLOSE, HIGH, d), lambda sx, sy, d: sx.rolling(d).cov(sy)
    ),
    "ts_median": _window(lambda d: op.ts_median(CLOSE, d), lambda s, d: s.rolling(d).median()),
    "ts_quantile": _quantile,
    "ts_mad": _window(lambda d: op.ts_mad(CLOSE, d), _mad),
    "ts_skew": _window(lambda d: op.ts_skew(CLOSE, d), _skew),
    "ts_kurt": _window(lambda d: op.ts_kurt(CLOSE, d), _kurt),
    "ts_count": _window(lambda d: op.ts_count(CLOSE, d), lambda s, d: s.rolling(d).count()),
    "ts_slope": _time_regression(lambda d: op.ts_slope(CLOSE, d), 0),
    "ts_rsquare": _time_regression(lambda d: op.ts_rsquare(CLOSE, d), 1),
    "ts_resid": _time_regression(lambda d: op.ts_resid(CLOSE, d), 2),
    "regression_slope": _rolling_pair(
        lambda d: op.regression_slope(CLOSE, HIGH, d),
        lambda sy, sx, d: _pair_regression(sy, sx, d)[0],
    ),
    "regression_rsquare": _rolling_pair(
        lambda d: op.regression_rsquare(CLOSE, HIGH, d),
        lambda sy, sx, d: _pair_regression(sy, sx, d)[1],
    ),
    "regression_resid": _rolling_pair(
        lambda d: op.regression_resid(CLOSE, HIGH, d),
        lambda sy, sx, d: _pair_regression(sy, sx, d)[2],
    ),
    "ema": _ewm,
    "dma": _dma,
    # cross-sectional, per date
    "rank": _cross_section(lambda: cs.rank(CLOSE), lambda t: t.rank(axis=1, pct=True)),
    "zscore": _cross_section(lambda: cs.zscore(CLOSE), _zscore),
    "demean": _cross_section(lambda: cs.demean(CLOSE), lambda t: t.sub(t.mean(axis=1), axis=0)),
    "scale": _cross_section(
        lambda: cs.scale(CLOSE, 2.0), lambda t: t.mul(2.0).div(t.abs().sum(axis=1), axis=0)
    ),
    "group_demean": _grouped(
        lambda: cs.group_demean(CLOSE), lambda x, by: x - by.transform("mean")
    ),
    "group_rank": _grouped(lambda: cs.group_rank(CLOSE), lambda x, by: by.rank(pct=True)),
    "group_zscore": _grouped(lambda: cs.group_zscore(CLOSE), _group_zscore),
}
