"""A plain numpy formulation of the operators of tarnfold.alphas and
tarnfold.alpha158, for the benchmarks: what a researcher would write
without the engine.

Values live in a "valid-day panel": each instrument's values on its valid
days (a bar with non-zero volume), right-aligned in one (days x
instruments) array with NaN above an instrument's first valid day, so that
a time-series operator is one vectorised numpy computation over every
instrument (sliding windows along the first axis) and a window reaching
above the first valid day is NaN.  Cross-sectional operators scatter the
values back onto the trading dates, work per date (pandas ``rank``, group
means) and gather them back.  As in the engine, an instrument with no more
valid days than a formula's look-back gets NaN for it (applied to the
inputs of cross-sectional operators and to the result).
"""

import os
import sys
import types

import numpy as np
import pandas as pd
from numpy.lib.stride_tricks import sliding_window_view

sys.path.insert(
    0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "engine")
)
from alpha_pandas_reference import ElementwiseOps, V  # noqa: E402


class NumpyOps(ElementwiseOps):
    def __init__(self, panels, codes=None):
        close, volume = panels["close"], panels["volume"]
        self.dates, self.ids = close.index, close.columns
        valid = close.notna().to_numpy() & (volume.to_numpy() != 0)
        self.count = valid.sum(axis=0)
        n_days = int(self.count.max()) if len(self.count) else 0
        self.rows = n_days
        # position of each valid day in the right-aligned panel
        rank_in_col = np.cumsum(valid, axis=0) - 1
        self.at_row = np.where(valid, rank_in_col + (n_days - self.count), -1)
        self.valid = valid
        self.codes = codes
        for field in ("open", "high", "low", "close", "volume", "total_turnover", "market_cap"):
            if field in panels:
                setattr(self, field, V(self, self._gather(panels[field].to_numpy()), 0))
        self.returns = self.close / self.delay(self.close, 1) - 1
        if "total_turnover" in panels:
            self.vwap = self.total_turnover / self.volume
        if "market_cap" in panels:
            self.cap = self.market_cap

    # -- valid-day panel <-> dates -----------------------------------------------
    def _gather(self, table):
        out = np.full((self.rows, table.shape[1]), np.nan)
        r, c = np.nonzero(self.valid)
        out[self.at_row[r, c], c] = table[r, c]
        return out

    def _scatter(self, values):
        out = np.full(self.valid.shape, np.nan)
        r, c = np.nonzero(self.valid)
        out[r, c] = values[self.at_row[r, c], c]
        return out

    def _masked(self, x):
        return np.where(self.count > x.shift, x.s, np.nan)

    def table(self, x):
        a = x.s if isinstance(x, V) else np.full((self.rows, len(self.ids)), float(x))
        shift = x.shift if isinstance(x, V) else 0
        out = self._scatter(np.where(self.count > shift, a, np.nan))
        return pd.DataFrame(out, index=self.dates, columns=self.ids)

    # -- time series ------------------------------------------------------------
    def _windows(self, a, d):
        """(days - d + 1, instruments, d) windows, NaN-padded to days rows."""
        return sliding_window_view(a, d, axis=0)

    def _pad(self, body, d):
        out = np.full((self.rows,) + body.shape[1:], np.nan)
        out[d - 1 :] = body
        return out

    def _win(self, x, d, f):
        w = self._windows(x.s, d)
        with np.errstate(all="ignore"):
            return V(self, self._pad(f(w), d), x.shift + d - 1)

    def delay(self, x, d):
        out = np.full_like(x.s, np.nan)
        out[d:] = x.s[: len(x.s) - d] if d else x.s
        return V(self, out, x.shift + d)

    def delta(self, x, d):
        return V(self, x.s - self.delay(x, d).s, x.shift + d)

    def ts_sum(self, x, d):
        return self._win(x, d, lambda w: w.sum(axis=-1))

    def ts_mean(self, x, d):
        return self._win(x, d, lambda w: w.mean(axis=-1))

    def ts_std(self, x, d):
        return self._win(x, d, lambda w: w.std(axis=-1, ddof=1))

    def ts_product(self, x, d):
        return self._win(x, d, lambda w: w.prod(axis=-1))

    def ts_min(self, x, d):
        return self._win(x, d, lambda w: w.min(axis=-1))

    def ts_max(self, x, d):
        return self._win(x, d, lambda w: w.max(axis=-1))

    def _arg(self, x, d, f):
        def arg(w):
            bad = np.isnan(w).any(axis=-1)
            return np.where(bad, np.nan, f(np.where(np.isnan(w), 0.0, w), axis=-1))

        return self._win(x, d, arg)

    def ts_argmax(self, x, d):
        return self._arg(x, d, np.argmax)

    def ts_argmin(self, x, d):
        return self._arg(x, d, np.argmin)

    def ts_rank(self, x, d):
        def rank(w):
            today = w[..., -1:]
            below = (w < today).sum(axis=-1)
            equal = (w == today).sum(axis=-1)
            r = (below + 0.5 * (equal + 1)) / d
            return np.where(np.isnan(w).any(axis=-1), np.nan, r)

        return self._win(x, d, rank)

    def decay_linear(self, x, d):
        weights = np.arange(1, d + 1) / (d * (d + 1) / 2)
        return self._win(x, d, lambda w: w @ weights)

    def ts_quantile(self, x, d, q):
        return self._win(x, d, lambda w: np.quantile(w, q, axis=-1))

    def _line(self, x, d):
        tm = (d - 1) / 2
        stt = d * (d * d - 1) / 12
        k = np.arange(d) - tm
        w = self._windows(x.s, d)
        with np.errstate(all="ignore"):
            mean = w.mean(axis=-1)
            slope = (w @ k) / stt
            sxx = ((w - mean[..., None]) ** 2).sum(axis=-1)
            rsq = np.minimum(np.where(sxx == 0, np.nan, slope**2 * stt / sxx), 1.0)
            resid = w[..., -1] - mean - slope * tm
        return [V(self, self._pad(v, d), x.shift + d - 1) for v in (slope, rsq, resid)]

    def _pair(self, x, y, d, corr):
        wx, wy = self._windows(x.s, d), self._windows(y.s, d)
        with np.errstate(all="ignore"):
            ex = wx - wx.mean(axis=-1, keepdims=True)
            ey = wy - wy.mean(axis=-1, keepdims=True)
            cov = (ex * ey).sum(axis=-1) / (d - 1)
            if corr:
                out = np.clip(
                    cov * (d - 1) / np.sqrt((ex * ex).sum(axis=-1) * (ey * ey).sum(axis=-1)), -1, 1
                )
                if d == 2:
                    out = np.where(
                        (wx[..., 1] > wx[..., 0]) == (wy[..., 1] > wy[..., 0]), 1.0, -1.0
                    )
                constant = (wx == wx[..., -1:]).all(axis=-1) | (wy == wy[..., -1:]).all(axis=-1)
                out = np.where(constant, np.nan, out)
            else:
                out = cov
        bad = ~(np.isfinite(wx) & np.isfinite(wy)).all(axis=-1)
        return V(self, self._pad(np.where(bad, np.nan, out), d), max(x.shift, y.shift) + d - 1)

    def correlation(self, x, y, d):
        return self._pair(x, y, d, True)

    def covariance(self, x, y, d):
        return self._pair(x, y, d, False)

    def adv(self, d):
        return self.ts_mean(self.volume, d)

    # -- cross-sectional ----------------------------------------------------------
    def _per_date(self, x, f):
        table = pd.DataFrame(self._scatter(self._masked(x)))
        return V(self, self._gather(f(table)), x.shift)

    def rank(self, x):
        return self._per_date(x, lambda t: t.rank(axis=1, pct=True).to_numpy())

    def scale(self, x, a=1.0):
        return self._per_date(x, lambda t: t.mul(a).div(t.abs().sum(axis=1), axis=0).to_numpy())

    def indneutralize(self, x):
        def demean(t):
            values = np.where(self.codes >= 0, t.to_numpy(), np.nan)
            long = pd.DataFrame(
                {
                    "x": values.ravel(),
                    "g": self.codes.ravel(),
                    "d": np.repeat(np.arange(values.shape[0]), values.shape[1]),
                }
            )
            mean = long.groupby(["d", "g"])["x"].transform("mean").to_numpy()
            return (values.ravel() - mean).reshape(values.shape)

        return self._per_date(x, demean)

    # -- element-wise -------------------------------------------------------------
    def _map(self, f, *args):
        shift = max((a.shift for a in args if isinstance(a, V)), default=0)
        vals = [a.s if isinstance(a, V) else a for a in args]
        with np.errstate(all="ignore"):
            return V(self, f(*vals), shift)


def namespace(panels, codes=None):
    """(ops, the operator namespace the alpha and feature functions take)."""
    ops = NumpyOps(panels, codes)
    names = [
        n
        for n in dir(ops)
        if not n.startswith("_")
        and n not in ("dates", "ids", "count", "rows", "at_row", "valid", "codes", "table")
    ]
    return ops, types.SimpleNamespace(**{n: getattr(ops, n) for n in names})
