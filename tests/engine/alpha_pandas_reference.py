"""The operators of tarnfold.alphas written with plain pandas, for checking
the engine (tests) and timing it (benchmarks/bench_alphas.py).

Values live in a long series indexed by (date, order_book_id) holding every
instrument's valid days (a bar with non-zero volume), dates ascending, so
that a time-series operator is a ``groupby(order_book_id)`` shift or
rolling window and a cross-sectional one a ``groupby(date)`` operation.
Every value carries the look-back (``shift``) of its formula, as factors
do: an instrument with no more valid days than a formula's look-back gets
NaN for it (the engine's rule), applied to the inputs of cross-sectional
operators and to the final result.
"""

import types

import numpy as np
import pandas as pd


class ElementwiseOps:
    """Operators written once over ``_map(f, *args)`` (element-wise) and
    ``_line(x, d)`` (the least-squares line of each window)."""

    def ts_slope(self, x, d):
        return self._line(x, d)[0]

    def ts_rsquare(self, x, d):
        return self._line(x, d)[1]

    def ts_resid(self, x, d):
        return self._line(x, d)[2]

    def log(self, x):
        return self._map(np.log, x)

    def sign(self, x):
        return self._map(np.sign, x)

    def abs(self, x):
        return self._map(np.abs, x)

    def signed_power(self, x, a):
        return self._map(lambda v, p: np.sign(v) * np.abs(v) ** p, x, a)

    def where(self, c, a, b):
        return self._map(
            lambda k, x, y: np.where(np.isnan(k), np.nan, np.where(k != 0, x, y)), c, a, b
        )

    def minimum(self, a, b):
        return self._map(np.minimum, a, b)

    def maximum(self, a, b):
        return self._map(np.maximum, a, b)


class PandasAlphaOps(ElementwiseOps):
    def __init__(self, panels):
        close, volume = panels["close"], panels["volume"]
        valid = close.notna() & (volume != 0)
        long = close.where(valid).stack(future_stack=True)
        self.index = long.index[long.notna().to_numpy()]
        self.valid = valid
        counts = valid.sum()
        self.count = pd.Series(
            counts.reindex(self.index.get_level_values(1)).to_numpy(), index=self.index
        )
        self.key = self.index.get_level_values(1)
        leaf = {
            f: V(self, panels[f].stack(future_stack=True).reindex(self.index), 0)
            for f in ("open", "high", "low", "close", "volume", "total_turnover")
            if f in panels
        }
        for f, v in leaf.items():
            setattr(self, f, v)
        self.returns = self.close / self.delay(self.close, 1) - 1
        if "total_turnover" in leaf:
            self.vwap = leaf["total_turnover"] / self.volume
        if "market_cap" in panels:
            self.cap = V(self, panels["market_cap"].stack(future_stack=True).reindex(self.index), 0)

    # -- helpers ------------------------------------------------------------
    def _g(self, x):
        return x.s.groupby(self.key, sort=False)

    def _rolling(self, x, d, how, *args, **kw):
        r = getattr(self._g(x).rolling(d), how)(*args, **kw)
        return V(self, r.droplevel(0).reindex(self.index), x.shift + d - 1)

    def _shifts(self, x, d):
        """[x d-1 days ago, ..., x today]"""
        g = self._g(x)
        return [g.shift(d - 1 - k) if d - 1 - k else x.s for k in range(d)]

    def result(self, x):
        """The engine's final rule: NaN for instruments with too few days."""
        s = x.s if isinstance(x, V) else pd.Series(float(x), index=self.index)
        return s.where(self.count > (x.shift if isinstance(x, V) else 0))

    def table(self, x):
        return self.result(x).unstack().reindex(index=self.valid.index, columns=self.valid.columns)

    # -- time series ----------------------------------------------------------
    def delay(self, x, d):
        return V(self, self._g(x).shift(d), x.shift + d)

    def delta(self, x, d):
        return V(self, x.s - self._g(x).shift(d), x.shift + d)

    def ts_sum(self, x, d):
        return self._rolling(x, d, "sum")

    def ts_mean(self, x, d):
        return self._rolling(x, d, "mean")

    def ts_std(self, x, d):
        return self._rolling(x, d, "std")

    def ts_min(self, x, d):
        return self._rolling(x, d, "min")

    def ts_max(self, x, d):
        return self._rolling(x, d, "max")

    def ts_rank(self, x, d):
        return self._rolling(x, d, "rank", pct=True)

    def ts_quantile(self, x, d, q):
        return self._rolling(x, d, "quantile", q)

    def _line(self, x, d):
        """Slope per day, R-squared and today's residual of the least-squares
        line through each window (days 0 .. d-1)."""
        cols = [c.to_numpy() for c in self._shifts(x, d)]
        tm = (d - 1) / 2
        mean = sum(cols) / d
        slope = sum((k - tm) * c for k, c in enumerate(cols)) / (d * (d * d - 1) / 12)
        sxx = sum((c - mean) ** 2 for c in cols)
        with np.errstate(all="ignore"):
            rsq = np.where(sxx == 0, np.nan, slope**2 * (d * (d * d - 1) / 12) / sxx)
        resid = cols[-1] - mean - slope * tm
        return [
            V(self, pd.Series(v, index=self.index), x.shift + d - 1)
            for v in (slope, np.minimum(rsq, 1.0), resid)
        ]

    def ts_product(self, x, d):
        cols = self._shifts(x, d)
        p = cols[0]
        for c in cols[1:]:
            p = p * c
        return V(self, p, x.shift + d - 1)

    def decay_linear(self, x, d):
        cols = self._shifts(x, d)
        s = 0.0
        for k, c in enumerate(cols):
            s = s + c * (k + 1)
        return V(self, s / (d * (d + 1) / 2), x.shift + d - 1)

    def _arg(self, x, d, better):
        cols = [c.to_numpy() for c in self._shifts(x, d)]
        best = cols[0].copy()
        pos = np.zeros(len(best))
        for k, c in enumerate(cols[1:], 1):
            upd = better(c, best)
            best = np.where(upd, c, best)
            pos = np.where(upd, k, pos)
        bad = np.any([np.isnan(c) for c in cols], axis=0)
        return V(self, pd.Series(np.where(bad, np.nan, pos), index=self.index), x.shift + d - 1)

    def ts_argmax(self, x, d):
        return self._arg(x, d, np.greater)

    def ts_argmin(self, x, d):
        return self._arg(x, d, np.less)

    def _pair(self, x, y, d, corr):
        xs = [c.to_numpy() for c in self._shifts(x, d)]
        ys = [c.to_numpy() for c in self._shifts(y, d)]
        mx, my = sum(xs) / d, sum(ys) / d
        cov = sum((a - mx) * (b - my) for a, b in zip(xs, ys)) / (d - 1)
        # (the engine computes short windows with these same operations, so
        # exactly tied correlations stay tied for a later rank)
        bad = ~np.all([np.isfinite(a) & np.isfinite(b) for a, b in zip(xs, ys)], axis=0)
        if corr:
            vx = sum((a - mx) ** 2 for a in xs)
            vy = sum((b - my) ** 2 for b in ys)
            with np.errstate(all="ignore"):
                out = np.clip(cov * (d - 1) / np.sqrt(vx * vy), -1, 1)
            if d == 2:  # two points: exactly +-1
                out = np.where((xs[1] > xs[0]) == (ys[1] > ys[0]), 1.0, -1.0)
            constant = np.all([a == xs[-1] for a in xs], axis=0) | np.all(
                [b == ys[-1] for b in ys], axis=0
            )
            out[constant] = np.nan
        else:
            out = cov
        out = np.where(bad, np.nan, out)
        return V(self, pd.Series(out, index=self.index), max(x.shift, y.shift) + d - 1)

    def correlation(self, x, y, d):
        return self._pair(x, y, d, True)

    def covariance(self, x, y, d):
        return self._pair(x, y, d, False)

    def ema(self, x, span):
        r = self._g(x).transform(lambda v: v.ewm(span=span, adjust=False, min_periods=span).mean())
        return V(self, r, x.shift + span - 1)

    def adv(self, d):
        return self.ts_mean(self.volume, d)

    # -- cross-sectional ------------------------------------------------------
    def _masked(self, x):
        return x.s.where(self.count > x.shift)

    def rank(self, x):
        m = self._masked(x)
        return V(self, m.groupby(level=0).rank(pct=True), x.shift)

    def scale(self, x, a=1.0):
        m = self._masked(x)
        return V(self, m * a / m.abs().groupby(level=0).transform("sum"), x.shift)

    def indneutralize(self, x, source="citics_2019"):
        """x minus its industry mean per date; NaN without an industry."""
        from tarnfold.industry import industry_codes

        codes, _ = industry_codes(self.valid.columns, self.valid.index, source)
        code = (
            pd.DataFrame(codes, index=self.valid.index, columns=self.valid.columns)
            .stack(future_stack=True)
            .reindex(self.index)
            .to_numpy()
        )
        m = self._masked(x).where(code >= 0)
        mean = m.groupby([self.index.get_level_values(0), code]).transform("mean")
        return V(self, m - mean, x.shift)

    # -- element-wise ---------------------------------------------------------
    def _map(self, f, *args):
        shift = max((a.shift for a in args if isinstance(a, V)), default=0)
        vals = [a.s.to_numpy() if isinstance(a, V) else a for a in args]
        with np.errstate(all="ignore"):
            out = f(*vals)
        return V(self, pd.Series(out, index=self.index), shift)


def _cmp(f):
    def op(a, b):
        out = f(a, b).astype(float)
        return np.where(np.isnan(a) | np.isnan(b), np.nan, out)

    return op


class V:
    """A value of the long table and its look-back."""

    __slots__ = ("ops", "s", "shift")

    def __init__(self, ops, s, shift):
        self.ops, self.s, self.shift = ops, s, shift

    def _bin(self, other, f, reverse=False):
        args = (other, self) if reverse else (self, other)
        return self.ops._map(f, *args)

    __add__ = lambda s, o: s._bin(o, np.add)  # noqa: E731
    __radd__ = lambda s, o: s._bin(o, np.add, True)  # noqa: E731
    __sub__ = lambda s, o: s._bin(o, np.subtract)  # noqa: E731
    __rsub__ = lambda s, o: s._bin(o, np.subtract, True)  # noqa: E731
    __mul__ = lambda s, o: s._bin(o, np.multiply)  # noqa: E731
    __rmul__ = lambda s, o: s._bin(o, np.multiply, True)  # noqa: E731
    __truediv__ = lambda s, o: s._bin(o, np.divide)  # noqa: E731
    __rtruediv__ = lambda s, o: s._bin(o, np.divide, True)  # noqa: E731
    __pow__ = lambda s, o: s._bin(o, np.power)  # noqa: E731
    __lt__ = lambda s, o: s._bin(o, _cmp(np.less))  # noqa: E731
    __le__ = lambda s, o: s._bin(o, _cmp(np.less_equal))  # noqa: E731
    __gt__ = lambda s, o: s._bin(o, _cmp(np.greater))  # noqa: E731
    __ge__ = lambda s, o: s._bin(o, _cmp(np.greater_equal))  # noqa: E731
    eq = lambda s, o: s._bin(o, _cmp(np.equal))  # noqa: E731
    __or__ = lambda s, o: s._bin(o, _cmp(lambda a, b: (a != 0) | (b != 0)))  # noqa: E731
    __and__ = lambda s, o: s._bin(o, _cmp(lambda a, b: (a != 0) & (b != 0)))  # noqa: E731

    def __neg__(self):
        return self.ops._map(np.negative, self)


def namespace(panels):
    """The operator namespace the alpha functions take, on pandas."""
    ops = PandasAlphaOps(panels)
    return ops, types.SimpleNamespace(
        **{
            name: getattr(ops, name)
            for name in dir(ops)
            if not name.startswith("_")
            and name not in ("index", "valid", "count", "key", "result", "table")
            and hasattr(ops, name)
        }
    )
