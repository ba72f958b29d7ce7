"""Inference on small tables of results: multiple-testing corrections, the
probabilistic and deflated Sharpe ratios, the monotonicity of group
returns and the alpha and beta of a return series against a benchmark.

Everything here works on at most a few thousand numbers (one per factor,
per date or per group); nothing runs per instrument.

* Adjusted p-values (``adjusted_p_values``): Holm's step-down (family-wise
  error), Benjamini-Hochberg (false discovery rate under independence or
  positive dependence) and Benjamini-Yekutieli (false discovery rate under
  any dependence), as statsmodels' ``multipletests`` computes them
  ("holm", "fdr_bh", "fdr_by").
* Probabilistic Sharpe ratio (Bailey and Lopez de Prado, 2012): the
  probability that the true per-period Sharpe ratio exceeds ``benchmark``,
  given the estimate's sampling error under the series' skewness and
  kurtosis::

      PSR = Phi((SR - SR*) sqrt(T - 1) / sqrt(1 - g3 SR + (g4 - 1) / 4 SR^2))

  with SR the per-period (not annualised) Sharpe ratio (sample standard
  deviation), g3 the skewness and g4 the (non-excess) kurtosis of the T
  returns (moment estimators).
* Deflated Sharpe ratio (Bailey and Lopez de Prado, 2014): the PSR against
  the Sharpe ratio the best of N independent trials would show by luck::

      SR* = sqrt(V) ((1 - gamma) Phi^-1(1 - 1/N) + gamma Phi^-1(1 - 1/(N e)))

  with V the variance of the trials' Sharpe ratios and gamma the
  Euler-Mascheroni constant; one trial gives SR* = 0, that is the PSR.
"""

import warnings

import numpy as np
import pandas as pd
from scipy import stats

from tarnfold.analysis.statistics import newey_west_t

EULER_GAMMA = 0.5772156649015329
METHODS = {"Holm": "holm", "BH": "fdr_bh", "BY": "fdr_by"}


def adjusted_p_values(p_values, method):
    """Adjusted p-values of one family of tests, in the order given.

    ``method``: "holm", "fdr_bh" or "fdr_by" (statsmodels' names).  A
    missing p-value (a trial that failed or measured nothing) counts as 1:
    it stays in the family, so it raises the others' adjustment and is
    never a discovery."""
    p = np.asarray(p_values, dtype=float).ravel()
    p = np.where(np.isnan(p), 1.0, p)
    m = p.size
    if m == 0:
        return p
    order = np.argsort(p, kind="mergesort")
    ranked = p[order]
    if method == "holm":
        adjusted = np.maximum.accumulate(ranked * np.arange(m, 0, -1))
    elif method in ("fdr_bh", "fdr_by"):
        factor = np.arange(1, m + 1) / float(m)
        if method == "fdr_by":
            factor = factor / np.sum(1.0 / np.arange(1, m + 1))
        adjusted = np.minimum.accumulate((ranked / factor)[::-1])[::-1]
    else:
        raise ValueError("method: expected holm, fdr_bh or fdr_by, got {!r}".format(method))
    adjusted = np.minimum(adjusted, 1.0)
    out = np.empty(m)
    out[order] = adjusted
    return out


def sharpe_moments(daily):
    """Per-period Sharpe ratio (mean / sample std), skewness, kurtosis
    (non-excess; moment estimators) and the number of returns of a series
    (NaN dropped)."""
    r = pd.Series(daily, dtype=float).dropna().to_numpy()
    n = r.size
    if n < 3:
        return {"SR": np.nan, "skew": np.nan, "kurtosis": np.nan, "n": n}
    std = r.std(ddof=1)
    dev = r - r.mean()
    m2 = np.mean(dev**2)
    if not std > 0 or not m2 > 0:
        return {"SR": np.nan, "skew": np.nan, "kurtosis": np.nan, "n": n}
    return {
        "SR": r.mean() / std,
        "skew": np.mean(dev**3) / m2**1.5,
        "kurtosis": np.mean(dev**4) / m2**2,
        "n": n,
    }


def probabilistic_sharpe(sr, skew, kurtosis, n, benchmark=0.0):
    """Probability that the true per-period Sharpe ratio exceeds
    ``benchmark``; NaN when the estimate's variance term is not positive or
    fewer than two returns."""
    if not np.isfinite(sr) or not np.isfinite(benchmark) or n is None or n < 2:
        return np.nan
    var = 1.0 - skew * sr + (kurtosis - 1.0) / 4.0 * sr * sr
    if not var > 0:
        return np.nan
    return float(stats.norm.cdf((sr - benchmark) * np.sqrt(n - 1.0) / np.sqrt(var)))


def expected_max_sharpe(trials, variance):
    """The Sharpe ratio the best of ``trials`` independent trials with
    true Sharpe ratio 0 and Sharpe-ratio variance ``variance`` is expected
    to show; 0 for one trial, NaN when the variance is unknown."""
    trials = int(trials)
    if trials <= 1:
        return 0.0
    if not np.isfinite(variance) or variance < 0:
        return np.nan
    return float(
        np.sqrt(variance)
        * (
            (1.0 - EULER_GAMMA) * stats.norm.ppf(1.0 - 1.0 / trials)
            + EULER_GAMMA * stats.norm.ppf(1.0 - 1.0 / (trials * np.e))
        )
    )


def deflated_sharpe(sr, skew, kurtosis, n, trials, variance):
    """The probabilistic Sharpe ratio against ``expected_max_sharpe``."""
    return probabilistic_sharpe(sr, skew, kurtosis, n, expected_max_sharpe(trials, variance))


def sharpe_given_search(dailies, trials=1, variances=None, periods_per_year=None):
    """Table of the Sharpe ratio given the search: per labelled daily
    series (label -> series), the annualised and per-period Sharpe ratio,
    skewness, kurtosis, days, PSR against 0, the number of trials, the
    Sharpe ratio the best of them would show by luck and the deflated
    Sharpe ratio.  ``variances``: label -> variance of the trials' per-period
    Sharpe ratios (needed when ``trials`` > 1)."""
    rows = {}
    for label, daily in dailies.items():
        mom = sharpe_moments(daily)
        var = (variances or {}).get(label, np.nan)
        threshold = expected_max_sharpe(trials, var)
        row = {
            "SR/day": mom["SR"],
            "skew": mom["skew"],
            "kurtosis": mom["kurtosis"],
            "days": mom["n"],
            "PSR": probabilistic_sharpe(mom["SR"], mom["skew"], mom["kurtosis"], mom["n"]),
            "trials": int(trials),
            "SR* /day": threshold,
            "DSR": probabilistic_sharpe(
                mom["SR"], mom["skew"], mom["kurtosis"], mom["n"], threshold
            ),
        }
        if periods_per_year:
            row = dict({"Sharpe": mom["SR"] * np.sqrt(periods_per_year)}, **row)
        rows[label] = row
    return rows


def monotonicity(group_daily, period):
    """Whether the groups' returns fall from the first group (the best
    factor values) to the last.

    ``group_daily``: dates x groups (in group order) of daily returns, NaN
    where a group was not measured.  Returns a dict: "rank corr" (Spearman
    correlation of the groups' mean returns with their order reversed: 1 is
    perfectly monotone in the factor's direction), "steps in order" (of the
    adjacent pairs, how many have the better group ahead) and "steps", the
    per-date rank correlation's mean over the dates with every group
    measured, its Newey-West t with ``period`` - 1 lags and its normal
    p-value (two-sided), and the number of those dates."""
    g = np.asarray(group_daily, dtype=float)
    k = g.shape[1] if g.ndim == 2 else 0
    out = {
        "rank corr": np.nan,
        "steps in order": 0,
        "steps": max(k - 1, 0),
        "daily rank corr": np.nan,
        "NW t": np.nan,
        "p(NW t)": np.nan,
        "dates": 0,
    }
    if k < 2:
        return out
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # a group never measured
        means = np.nanmean(g, axis=0)
    order = np.arange(k, 0, -1, dtype=float)  # first group ranked highest
    if np.isfinite(means).all() and np.ptp(means) > 0:
        out["rank corr"] = float(stats.spearmanr(order, means)[0])
    out["steps in order"] = int(np.sum(np.diff(means) < 0))
    full = g[np.isfinite(g).all(axis=1)]
    if len(full):
        ranks = stats.rankdata(full, axis=1)
        centred = ranks - ranks.mean(axis=1, keepdims=True)
        o = order - order.mean()
        denom = np.sqrt((centred**2).sum(axis=1) * (o**2).sum())
        with np.errstate(invalid="ignore", divide="ignore"):
            per_date = np.where(denom > 0, centred @ o / np.where(denom > 0, denom, 1.0), np.nan)
        per_date = per_date[np.isfinite(per_date)]
        out["dates"] = int(per_date.size)
        if per_date.size:
            out["daily rank corr"] = float(per_date.mean())
        if per_date.size > 1:
            t = newey_west_t(per_date, max(int(period) - 1, 0))
            out["NW t"] = t
            out["p(NW t)"] = 2 * stats.norm.sf(abs(t)) if np.isfinite(t) else np.nan
    return out


def alpha_beta(daily, benchmark_daily, lags=0, periods_per_year=None):
    """OLS of a daily return series on the benchmark's (with a constant):
    alpha per day (and annualised, arithmetic), its Newey-West t with
    ``lags`` lags (Bartlett kernel, no small-sample correction), beta and
    its t, R^2 and the number of days used."""
    both = pd.concat(
        [pd.Series(daily, dtype=float), pd.Series(benchmark_daily, dtype=float)], axis=1
    ).dropna()
    y, b = both.iloc[:, 0].to_numpy(), both.iloc[:, 1].to_numpy()
    n = y.size
    out = {
        "alpha/day": np.nan,
        "alpha ann.": np.nan,
        "t(alpha)": np.nan,
        "beta": np.nan,
        "t(beta)": np.nan,
        "R2": np.nan,
        "days": int(n),
    }
    if n < 3 or not np.ptp(b) > 0:
        return out
    x = np.column_stack([np.ones(n), b])
    coef, *_ = np.linalg.lstsq(x, y, rcond=None)
    resid = y - x @ coef
    xtx_inv = np.linalg.inv(x.T @ x)
    scores = x * resid[:, None]
    s = scores.T @ scores
    for lag in range(1, min(int(lags), n - 1) + 1):
        w = 1.0 - lag / (lags + 1.0)
        c = scores[lag:].T @ scores[:-lag]
        s += w * (c + c.T)
    cov = xtx_inv @ s @ xtx_inv
    se = np.sqrt(np.diag(cov))
    tss = np.sum((y - y.mean()) ** 2)
    out.update(
        {
            "alpha/day": coef[0],
            "t(alpha)": coef[0] / se[0] if se[0] > 0 else np.nan,
            "beta": coef[1],
            "t(beta)": coef[1] / se[1] if se[1] > 0 else np.nan,
            "R2": 1.0 - resid @ resid / tss if tss > 0 else np.nan,
        }
    )
    if periods_per_year:
        out["alpha ann."] = coef[0] * periods_per_year
    return out


def mean_with_newey_west(per_date, period):
    """Mean, Newey-West t (``period`` - 1 lags), its two-sided normal
    p-value, share of positive values and count of a per-date series (NaN
    dropped)."""
    s = pd.Series(per_date, dtype=float).dropna().to_numpy()
    n = s.size
    t = newey_west_t(s, max(int(period) - 1, 0)) if n > 1 else np.nan
    return {
        "mean": s.mean() if n else np.nan,
        "NW t": t,
        "p(NW t)": 2 * stats.norm.sf(abs(t)) if np.isfinite(t) else np.nan,
        ">0": (s > 0).mean() if n else np.nan,
        "dates": int(n),
    }
