"""Summary statistics of the bench's result tables.

Plain numpy/pandas/scipy on the (small) result tables; nothing here runs per
instrument.  Conventions, used by every summary and by the report:

* Returns are simple returns (0.01 is 1 %).  Daily returns are recovered
  from a cumulative column as ``(1 + c_t) / (1 + c_{t-1}) - 1``.
* Annualisation uses ``periods_per_year`` rows per year, 244 by default
  (about the number of trading days of a year on the Shanghai and Shenzhen
  exchanges).  Annualised return is geometric: ``prod(1 + r) ** (ppy / n) - 1``;
  volatility ``std(r, ddof=1) * sqrt(ppy)``; Sharpe ratio
  ``mean(r) / std(r) * sqrt(ppy)`` with a zero risk-free rate; maximum
  drawdown the largest fall of ``prod(1 + r)`` from its running peak
  (reported as a negative number).
* A date on which a statistic could not be measured is excluded, never
  counted as zero (see ``ic_measured``).
"""

import numpy as np
import pandas as pd
from scipy import stats

from tarnfold import _kernels
from tarnfold.constants import TRADING_DAYS_PER_YEAR as PERIODS_PER_YEAR
from tarnfold.threads import thread_count


def ic_measured(ic, p_value):
    """Boolean table: True where an IC cell was actually measured.

    The IC table holds 0 with p-value 0 where a date had fewer than two
    (factor, forward return) pairs: the last dates of a holding period, dates
    on which no instrument matched, empty cross-sections.  A correlation of
    a constant cross-section is NaN.  Both are not measurements."""
    ic = ic.astype(float)
    p_value = p_value.reindex_like(ic).astype(float)
    unmeasured = ((ic == 0) & (p_value == 0)) | ic.isna()
    return ~unmeasured


def newey_west_t(values, lags):
    """t-statistic of the mean of ``values`` with the Newey-West (Bartlett
    kernel) long-run variance over ``lags`` lags; lags=0 gives the plain
    t-statistic with the biased (ddof=0) variance.  Returns NaN for fewer
    than two values or zero variance."""
    x = np.asarray(values, dtype=float)
    n = x.size
    if n < 2:
        return np.nan
    e = x - x.mean()
    lrv = e @ e / n
    for k in range(1, min(int(lags), n - 1) + 1):
        w = 1.0 - k / (lags + 1.0)
        lrv += 2.0 * w * (e[k:] @ e[:-k]) / n
    if not lrv > 0:
        return np.nan
    return x.mean() / np.sqrt(lrv / n)


def period_of(field):
    try:
        return int(str(field).split("_", 1)[1])
    except (IndexError, ValueError):
        return 1


def ic_summary(ic, p_value):
    """Per return field: statistics of the measured IC dates.

    Columns: mean, std, IR (mean / std), t (plain one-sample t) with its
    p-value, Newey-West t with ``P_n - 1`` lags and its normal p-value (the
    forward returns of consecutive dates overlap for n > 1, which makes the
    plain t overstate the evidence), share of positive dates, the number of
    measured dates and of excluded dates."""
    measured = ic_measured(ic, p_value)
    rows = {}
    for field in ic.columns:
        s = ic[field][measured[field]].astype(float)
        n = len(s)
        mean = s.mean() if n else np.nan
        std = s.std(ddof=1) if n > 1 else np.nan
        ok = n > 1 and std > 0
        t = mean / std * np.sqrt(n) if ok else np.nan
        lags = max(period_of(field) - 1, 0)
        nw = newey_west_t(s.values, lags) if n > 1 else np.nan
        rows[field] = {
            "mean": mean,
            "std": std,
            "IR": mean / std if ok else np.nan,
            "t": t,
            "p(t)": 2 * stats.t.sf(abs(t), n - 1) if ok else np.nan,
            "NW t": nw,
            "p(NW t)": 2 * stats.norm.sf(abs(nw)) if np.isfinite(nw) else np.nan,
            "IC>0": (s > 0).mean() if n else np.nan,
            "dates": n,
            "excluded": int((~measured[field]).sum()),
        }
    out = pd.DataFrame.from_dict(rows, orient="index")
    out.index.name = "period"
    return out.astype({"dates": int, "excluded": int})


def decay_summary(ic_decay, ic=None, p_value=None):
    """Mean IC per lag (rows) and return field (columns), with the number of
    dates used.  Every lag counts its dates by one rule: a missing value or
    a value of exactly 0 is not a measurement.  The decay table carries no
    p-values, so a 0 there cannot be told from the mark of a date with
    fewer than two pairs; lag 0 follows the same rule as the later lags,
    which leaves out the (rare) genuine zeros that the IC table's own
    summary keeps.  ``ic`` and ``p_value`` are accepted for callers that
    pass them and not needed."""
    values = ic_decay.astype(float)
    keep = values.notna() & (values != 0)
    mean = values.where(keep).groupby(level="decay").mean()
    count = keep.groupby(level="decay").sum().astype(int)
    count.columns = ["dates " + str(c) for c in count.columns]
    return pd.concat([mean, count], axis=1)


def monthly_ic(ic, p_value):
    """Mean of the measured IC per calendar month (rows, a monthly
    PeriodIndex named "month") and return field (columns); months without a
    measured date are left out."""
    values = ic.astype(float).where(ic_measured(ic, p_value))
    months = pd.DatetimeIndex(values.index).to_period("M")
    out = values.groupby(months).mean().dropna(how="all")
    out.index.name = "month"
    return out


def industry_summary(ic_industry):
    """The pooled IC per industry, with exactly-0 cells (an industry with
    fewer than two pairs) shown as missing."""
    t = ic_industry.astype(float)
    return t.where(t != 0)


def daily_from_cumulative(cum):
    """Daily simple returns from a cumulative-return series or table; the
    first row, which has no previous value, is dropped."""
    wealth = 1.0 + cum.astype(float)
    return (wealth / wealth.shift(1) - 1.0).iloc[1:]


def performance(daily, periods_per_year=PERIODS_PER_YEAR):
    """Annualised return, volatility, Sharpe ratio and maximum drawdown of
    one series of daily returns (NaN rows dropped)."""
    r = pd.Series(daily, dtype=float).dropna()
    n = len(r)
    if n == 0:
        return {
            "ann. return": np.nan,
            "ann. vol": np.nan,
            "Sharpe": np.nan,
            "max drawdown": np.nan,
            "days": 0,
        }
    wealth = (1.0 + r).cumprod()
    growth = wealth.iloc[-1]
    ann = growth ** (periods_per_year / n) - 1.0 if growth > 0 else -1.0
    std = r.std(ddof=1) if n > 1 else np.nan
    vol = std * np.sqrt(periods_per_year)
    sharpe = r.mean() / std * np.sqrt(periods_per_year) if n > 1 and std > 0 else np.nan
    peak = np.maximum(wealth.cummax(), 1.0)
    return {
        "ann. return": ann,
        "ann. vol": vol,
        "Sharpe": sharpe,
        "max drawdown": float((wealth / peak - 1.0).min()),
        "days": n,
    }


def _label_codes(quantile_detail):
    """(codes, where): the group label of every (date, instrument) as an
    integer code (-1 where there is none) and the code of each label."""
    values = quantile_detail.to_numpy(dtype=object)
    got = _kernels.label_codes(values)  # texts and NaN, as the analyser writes them
    if got is None:
        codes, uniques = pd.factorize(values.ravel())
        codes = codes.reshape(quantile_detail.shape)
    else:
        codes, uniques = got
    return codes, {u: k for k, u in enumerate(uniques)}


def group_presence(quantile_detail, labels, codes=None):
    """Boolean table (dates x labels): True where group ``label`` has
    members on that date in ``quantile_detail``.  ``codes``: its
    ``_label_codes``, when the caller has them."""
    codes, where = codes if codes is not None else _label_codes(quantile_detail)
    has = _kernels.label_transition_counts(codes, 0, len(where), thread_count())[0] > 0
    return pd.DataFrame(
        {
            label: has[:, where[label]] if label in where else np.zeros(len(codes), bool)
            for label in labels
        },
        index=quantile_detail.index,
    )


def group_active(present, period):
    """Boolean table (dates x labels): True where a group held members in
    at least one staggered sub-portfolio of ``period`` on that date, that is
    on one of the ``period`` most recent rows (the current row included) of
    ``present`` (from ``group_presence``).  Dates where it is False carry
    the analyser's filled-in return of 0, which is not a measurement."""
    return present.astype(float).rolling(int(period), min_periods=1).max() > 0


def rebalance_turnover(quantile_detail, labels, period, codes=None):
    """Turnover per rebalance (dates x labels): on each date, the share of
    a group's members that were not in the group ``period`` rows earlier.

    A book held for ``period`` rows replaces that share of the group at
    each of its rebalances, and every date is the rebalance date of one of
    the ``period`` staggered books.  The analyser's turnover table is the
    daily average over all the books, most of which hold still on a given
    date: about this figure divided by ``period``.  NaN where the group has
    no members on the date or ``period`` rows earlier (the first
    ``period`` rows among them).  ``codes``: ``_label_codes`` of the table,
    when the caller has them (they take a pass over every cell)."""
    codes, where = codes if codes is not None else _label_codes(quantile_detail)
    n, p = len(codes), int(period)
    out = np.full((n, len(labels)), np.nan)
    if p < n and any(label in where for label in labels):
        # members counted per row and label in one pass: in the group now,
        # p rows earlier, and at both
        size, held, stayed = _kernels.label_transition_counts(codes, p, len(where), thread_count())
        for k, label in enumerate(labels):
            if label not in where:
                continue
            c = where[label]
            joined = size[:, c] - stayed[:, c]
            ok = (size[:, c] > 0) & (held[:, c] > 0)
            out[p:, k] = np.where(ok, joined / np.maximum(size[:, c], 1), np.nan)
    return pd.DataFrame(out, index=quantile_detail.index, columns=list(labels))


def group_daily_returns(quantile_returns, quantile_detail, top_minus_bottom, field, present=None):
    """{label: daily returns} of each group and of "top-bottom" (the first
    group minus the last) for the return field ``field``, NaN on the dates
    on which a group held no members in any staggered book (where the
    analyser fills in 0: not a measurement).  ``present``:
    ``group_presence`` of the labels, when the caller has it."""
    labels = list(pd.unique(quantile_returns.index.get_level_values("tag")))
    if present is None:
        present = group_presence(quantile_detail, labels)
    active = group_active(present, period_of(field)).iloc[1:]
    dailies = {}
    for label in labels:
        daily = daily_from_cumulative(quantile_returns[field].xs(label, level="tag"))
        keep = active[label].reindex(daily.index).fillna(False).astype(bool)
        dailies[label] = daily.where(keep)
    spread_daily = daily_from_cumulative(top_minus_bottom[field])
    both = (active[labels[0]] & active[labels[-1]]).reindex(spread_daily.index)
    dailies["top-bottom"] = spread_daily.where(both.fillna(False).astype(bool))
    return dailies


def mean_group_returns(quantile_returns, quantile_detail, top_minus_bottom):
    """Mean daily return (groups x return fields) of each group over the
    dates on which it held members."""
    out = {}
    for field in quantile_returns.columns:
        dailies = group_daily_returns(quantile_returns, quantile_detail, top_minus_bottom, field)
        out[field] = pd.Series(
            {label: daily.mean() for label, daily in dailies.items() if label != "top-bottom"},
            dtype=float,
        )
    table = pd.DataFrame(out)
    table.index.name = "group"
    return table


def quantile_summary(
    quantile_returns,
    quantile_turnover,
    quantile_detail,
    top_minus_bottom,
    benchmark=None,
    periods_per_year=PERIODS_PER_YEAR,
    present=None,
    codes=None,
):
    """Per period and group: annualised return and volatility, Sharpe ratio,
    maximum drawdown, turnover and the annualised excess return over the
    benchmark (of the daily differences); the row "top-bottom" is the
    first-minus-last spread, a long-short position with no excess over an
    index.  Dates on which a group had no members are excluded (column
    "excluded").

    Turnover is given twice: "turnover per rebalance" is the share of a
    group replaced at each rebalance of a book held for the period (what
    trading costs scale with, see ``rebalance_turnover``); "turnover per
    day" is the mean of the analyser's table, the daily average over the
    period's staggered books, about the first divided by the period.
    ``present``: ``group_presence`` of the labels, ``codes``: the
    ``_label_codes`` of ``quantile_detail``, when the caller has them."""
    labels = list(pd.unique(quantile_returns.index.get_level_values("tag")))
    bench_daily = None
    if benchmark is not None:
        bench_daily = daily_from_cumulative(pd.Series(benchmark, dtype=float))
    rows = []
    if codes is None:
        codes = _label_codes(quantile_detail)
    if present is None:
        present = group_presence(quantile_detail, labels, codes)
    for field in quantile_returns.columns:
        dailies = group_daily_returns(
            quantile_returns, quantile_detail, top_minus_bottom, field, present
        )
        per_rebalance = rebalance_turnover(quantile_detail, labels, period_of(field), codes).mean()
        for label, daily in dailies.items():
            row = {"period": field, "group": label}
            row.update(performance(daily, periods_per_year))
            group = label in labels
            row["turnover per rebalance"] = per_rebalance[label] if group else np.nan
            row["turnover per day"] = (
                quantile_turnover[field].xs(label, level="tag").astype(float).mean()
                if group
                else np.nan
            )
            if bench_daily is not None:
                excess = (daily - bench_daily.reindex(daily.index)).dropna()
                row["excess ann. return"] = (
                    performance(excess, periods_per_year)["ann. return"] if group else np.nan
                )
            row["excluded"] = int(daily.isna().sum())
            rows.append(row)
    out = pd.DataFrame(rows).set_index(["period", "group"])
    return out.astype({"days": int, "excluded": int})


def first_held_day(daily):
    """The first date of a daily return series on which a position earned
    something (a non-zero return), or None.  Before it the factor-weighted
    books hold nothing (no lagged factor yet, or a staggered book whose
    first rebalance is still ahead) and the analyser counts 0."""
    held = pd.Series(daily, dtype=float).fillna(0.0).ne(0.0)
    return held.idxmax() if held.any() else None


def factor_return_summary(factor_returns, periods_per_year=PERIODS_PER_YEAR):
    """Per period: annualised return, volatility, Sharpe ratio and maximum
    drawdown of the factor-weighted long-short portfolio, from the first
    day a position is held ("from"; see ``first_held_day``) to the end.
    The leading days without a position would dilute every annualised
    figure; their number is "excluded"."""
    rows = {}
    for field in factor_returns.columns:
        daily = daily_from_cumulative(factor_returns[field])
        first = first_held_day(daily)
        held = daily.loc[first:] if first is not None else daily.iloc[:0]
        rows[field] = performance(held, periods_per_year)
        rows[field]["from"] = first if first is not None else pd.NaT
        rows[field]["excluded"] = len(daily) - len(held)
    out = pd.DataFrame.from_dict(rows, orient="index")
    out.index.name = "period"
    return out.astype({"days": int, "excluded": int})


def rank_autocorrelation_by_date(factor, periods):
    """The Spearman correlation between the factor on a date and on the
    date ``p`` rows earlier, over the instruments present on both dates
    (dates x "P_p"; NaN where fewer than two instruments are)."""
    periods = [int(p) for p in periods]
    if isinstance(factor.index, pd.DatetimeIndex) and not factor.index.is_monotonic_increasing:
        factor = factor.sort_index(kind="stable")  # "p rows earlier" in date order
    per_date = _kernels.rank_autocorrelation(factor, periods, thread_count())
    out = pd.DataFrame(
        per_date, index=factor.index, columns=["P_{}".format(p) for p in periods], dtype=float
    )
    out.index.name = "datetime"
    return out


def rank_autocorrelation(factor, periods=None, by_date=None):
    """Mean over dates of the rank autocorrelation (one value per period
    ``p``, indexed "P_p"; see ``rank_autocorrelation_by_date``, whose table
    may be passed as ``by_date`` instead of the factor).  High values mean
    a slow factor (low turnover)."""
    if by_date is None:
        by_date = rank_autocorrelation_by_date(factor, periods)
    s = by_date.mean(axis=0, skipna=True).astype(float)
    s.name = "rank autocorrelation"
    s.index.name = "period"
    return s
