"""Checks of the input data before any statistic is computed.

``check_data(factor, returns)`` looks at what a careful researcher would
look at first and returns a ``HealthReport``: one row per check with its
status ("ok", "warning", "error" or "not checked"), how many cells, dates
or instruments it concerns, a few examples and what it means.  Problems
are warnings; only what makes the analysis meaningless is an error
(``HealthReport.raise_for_errors``): repeated dates or instruments, a
factor without a single finite value or without dispersion on any date.

The checks over the tables run in one C++ pass each (``tarnfold._kernels``):

* factor: infinite values; runs of an unchanged value on ``stale_dates``
  or more consecutive dates of one instrument (a feed that stopped);
  dates whose whole cross-section repeats the date before; dates whose
  coverage falls below ``coverage_drop`` of the median of the 20 dates
  before; dates whose values are all equal;
* dates: factor dates after the store's last day of data (the factor
  could not have been known from the store's data), dates the store's
  calendar does not have;
* returns: a table that looks like prices or percentages
  (``tarnfold.workflow.returns_problem``), daily moves beyond the price
  limit of the instrument's board (10 %, 20 % for 688xxx/689xxx and for
  300xxx/301xxx from 2020-08-24; a stock's first five returns, which trade without a
  limit, and instruments of other markets are not checked);
* bars: prices that contradict each other in the store's daily bars (high
  below low, close or open outside the day's range, a price at or below
  zero), found by the store in one scan (``mivada.api.bar_checks``).
"""

import warnings

import numpy as np
import pandas as pd

import mivada
import mivada.api
from tarnfold import _kernels

STALE_DATES = 20
COVERAGE_DROP = 0.5
COVERAGE_WINDOW = 20
MAX_EXAMPLES = 3
LIMIT_TOLERANCE = 0.005
UNLIMITED_FIRST_RETURNS = 5
WIDER_CHINEXT_LIMIT_FROM = pd.Timestamp("2020-08-24")

OK, WARNING, ERROR, NOT_CHECKED = "ok", "warning", "error", "not checked"
COLUMNS = ("status", "count", "examples", "meaning")


def _ymd(ts):
    return "{:%Y%m%d}".format(pd.Timestamp(ts))


def _examples(items, n=MAX_EXAMPLES, total=None):
    items = list(items)
    more = (total if total is not None else len(items)) - min(len(items), n)
    text = "; ".join(str(x) for x in items[:n])
    return text + (" (+{} more)".format(more) if more > 0 else "")


class HealthReport:
    """The checks' results: ``table`` (check -> status, count, examples,
    meaning), ``warnings`` and ``errors`` (the checks' names)."""

    def __init__(self, rows):
        self.table = pd.DataFrame.from_dict(rows, orient="index", columns=list(COLUMNS))
        self.table.index.name = "check"
        self.table["count"] = self.table["count"].astype("int64")

    @property
    def warnings(self):
        return list(self.table.index[self.table["status"] == WARNING])

    @property
    def errors(self):
        return list(self.table.index[self.table["status"] == ERROR])

    def message(self, checks):
        return "; ".join(
            "{}: {} ({})".format(c, self.table.loc[c, "count"], self.table.loc[c, "examples"])
            for c in checks
        )

    def raise_for_errors(self):
        """ValueError naming every check that makes the analysis meaningless."""
        if self.errors:
            raise ValueError(
                "factor, returns: the data cannot be analysed: " + self.message(self.errors)
            )

    def warn(self):
        """One warning naming the checks that found problems."""
        if self.warnings:
            warnings.warn(
                "data health: {} (see the data health table)".format(", ".join(self.warnings))
            )

    def __repr__(self):
        return "HealthReport({} warnings, {} errors)".format(len(self.warnings), len(self.errors))


def price_limits(ids, dates):
    """(limit before the switch, limit from it on, switch row) per
    instrument by its board; NaN where the board is not known."""
    before = np.full(len(ids), np.nan)
    after = np.full(len(ids), np.nan)
    for k, oid in enumerate(ids):
        code, _, exchange = str(oid).partition(".")
        if len(code) != 6 or not code.isdigit() or exchange not in ("XSHG", "XSHE"):
            continue
        if exchange == "XSHG":
            before[k] = after[k] = 0.2 if code.startswith(("688", "689")) else 0.1
        elif code.startswith(("300", "301")):
            before[k], after[k] = 0.1, 0.2
        else:
            before[k] = after[k] = 0.1
    switch = int(
        np.searchsorted(pd.DatetimeIndex(dates).values, WIDER_CHINEXT_LIMIT_FROM.to_datetime64())
    )
    return before, after, switch


def _store_answers():
    """Whether a store is open (the checks never open, let alone generate,
    one of their own)."""
    return mivada.api.store_token() is not None


_UNKNOWN = object()


def check_data(
    factor,
    returns=None,
    store=True,
    stale_dates=STALE_DATES,
    coverage_drop=COVERAGE_DROP,
    returns_checked=True,
    returns_problem=_UNKNOWN,
):
    """The ``HealthReport`` of a factor table (dates x instruments, before
    any preprocessing) and its returns table (or None).  ``store``: also
    check against the open market-data store (its last date, calendar and
    bars); ``returns_checked``: the returns were refused when they looked
    like prices or percentages (False: used as given, which is worth a
    warning); ``returns_problem``: what ``tarnfold.workflow.returns_problem``
    said of them, when the caller asked it already."""
    rows = {}
    rows.update(_layout_checks(factor, returns))
    if rows["repeated dates or instruments"][0] == ERROR:
        return HealthReport(rows)
    values = factor.to_numpy(dtype=np.float64, na_value=np.nan)
    rows.update(_factor_checks(factor, values, stale_dates, coverage_drop))
    rows.update(_date_checks(factor.index, store))
    rows.update(_returns_checks(returns, returns_checked, returns_problem))
    rows.update(_bar_checks(factor, store))
    return HealthReport(rows)


def _layout_checks(factor, returns):
    found = []
    for what, table in (("factor", factor), ("returns", returns)):
        if table is None:
            continue
        dup_dates = table.index[table.index.duplicated()]
        dup_ids = table.columns[table.columns.duplicated()]
        found += ["{} date {}".format(what, _ymd(d)) for d in dup_dates.unique()]
        found += ["{} column {}".format(what, c) for c in dup_ids.unique()]
    return {
        "repeated dates or instruments": (
            ERROR if found else OK,
            len(found),
            _examples(found),
            "a date or an instrument given twice: which row holds the data is undecidable",
        )
    }


def _factor_checks(factor, values, stale_dates, coverage_drop):
    dates, ids = factor.index, factor.columns
    h = _kernels.factor_health(values, int(stale_dates))
    rows = {}
    finite = int(h["coverage"].sum())
    constant = h["constant_rows"]
    rows["usable factor values"] = (
        ERROR if finite == 0 else OK,
        finite,
        "no finite value" if finite == 0 else "{} of {} cells".format(finite, values.size),
        "finite factor values; without any there is nothing to measure",
    )
    with_values = int((h["coverage"] >= 2).sum())
    all_constant = with_values > 0 and len(constant) == with_values
    rows["dates without dispersion"] = (
        ERROR if all_constant else WARNING if len(constant) else OK,
        len(constant),
        _examples(_ymd(dates[t]) for t in constant),
        "every value of the date equal: no ranking, no IC, no groups on that date",
    )
    rows["infinite factor values"] = (
        WARNING if h["infinite"] else OK,
        int(h["infinite"]),
        "",
        "left out of the groups and regressions, ranked at the ends by the IC",
    )
    runs = h["runs"]
    if len(runs):
        longest = runs[np.argsort(-runs[:, 2], kind="stable")]
        ex = [
            "{} {}-{} ({} dates)".format(ids[j], _ymd(dates[s]), _ymd(dates[s + n - 1]), n)
            for j, s, n in longest[:MAX_EXAMPLES]
        ]
        rows["stale factor values"] = (
            WARNING,
            int(h["stale_cells"]),
            _examples(ex, total=len(runs)) + "; {} instruments".format(len(np.unique(runs[:, 0]))),
            "cells in runs of one unchanged value over {} or more dates: a feed that stopped "
            "updating (or a slow fundamental)".format(stale_dates),
        )
    else:
        rows["stale factor values"] = (
            OK,
            0,
            "",
            "no value unchanged over {} or more dates".format(stale_dates),
        )
    repeated = h["repeated_rows"]
    rows["repeated cross-sections"] = (
        WARNING if len(repeated) else OK,
        len(repeated),
        _examples(_ymd(dates[t]) for t in repeated),
        "dates whose every value repeats the date before: a copied row",
    )
    drops = _coverage_drops(h["coverage"], coverage_drop)
    rows["coverage drops"] = (
        WARNING if len(drops) else OK,
        len(drops),
        _examples(
            "{} ({} of ~{:.0f})".format(_ymd(dates[t]), int(h["coverage"][t]), usual)
            for t, usual in drops
        ),
        "dates with fewer than {:.0%} of the instruments of the {} dates before".format(
            coverage_drop, COVERAGE_WINDOW
        ),
    )
    return rows


def _coverage_drops(coverage, share):
    cov = pd.Series(np.asarray(coverage, dtype=float))
    usual = cov.shift(1).rolling(COVERAGE_WINDOW, min_periods=5).median()
    hit = np.flatnonzero((cov < share * usual).to_numpy())
    return [(t, usual.iloc[t]) for t in hit]


def _date_checks(dates, store):
    rows = {}
    if not store or not _store_answers():
        reason = "no store open" if store else "store not used"
        for name in ("factor dates after the store's data", "factor dates off the calendar"):
            rows[name] = (NOT_CHECKED, 0, reason, "")
        return rows
    try:
        last = pd.Timestamp(mivada.get_latest_trading_date())
        calendar = pd.DatetimeIndex(
            mivada.get_trading_dates(dates.min(), min(dates.max(), last))
            if dates.min() <= last
            else []
        )
    except Exception as exc:  # a store without a calendar
        for name in ("factor dates after the store's data", "factor dates off the calendar"):
            rows[name] = (NOT_CHECKED, 0, "the store cannot say: {}".format(exc), "")
        return rows
    day = pd.DatetimeIndex(dates).normalize()
    late = day[day > last]
    rows["factor dates after the store's data"] = (
        ERROR if len(late) and len(late) == len(day) else WARNING if len(late) else OK,
        len(late),
        _examples(_ymd(d) for d in late.sort_values()),
        "dates after the store's last day of data ({}): the factor could not have been "
        "known from it, and they have no returns".format(_ymd(last)),
    )
    off = day[(day <= last) & ~day.isin(calendar)]
    rows["factor dates off the calendar"] = (
        WARNING if len(off) else OK,
        len(off),
        _examples(_ymd(d) for d in off.sort_values()),
        "dates that are not trading days of the store's calendar",
    )
    return rows


def _returns_checks(returns, returns_checked, problem):
    rows = {}
    if returns is None:
        rows["returns look like prices or percent"] = (NOT_CHECKED, 0, "no returns", "")
        rows["moves beyond the price limit"] = (NOT_CHECKED, 0, "no returns", "")
        return rows
    if problem is _UNKNOWN:
        from tarnfold.workflow import returns_problem

        problem = returns_problem(returns)
    rows["returns look like prices or percent"] = (
        (ERROR if returns_checked else WARNING) if problem else OK,
        int(bool(problem)),
        problem or "",
        "daily simple returns are expected (0.01 = 1 %)",
    )
    before, after, switch = price_limits(returns.columns, returns.index)
    if np.isnan(before).all():
        rows["moves beyond the price limit"] = (
            NOT_CHECKED,
            0,
            "no instrument of a known board",
            "",
        )
        return rows
    values = returns.to_numpy(dtype=np.float64, na_value=np.nan)
    count, cells, found = _kernels.limit_breaches(
        values, before, after, switch, LIMIT_TOLERANCE, UNLIMITED_FIRST_RETURNS, MAX_EXAMPLES
    )
    ex = [
        "{} {} {:+.1%} (limit {:.0%})".format(returns.columns[c], _ymd(returns.index[t]), v, lim)
        for (t, c), (v, lim) in zip(cells, found)
    ]
    rows["moves beyond the price limit"] = (
        WARNING if count else OK,
        int(count),
        _examples(ex, total=count),
        "daily returns beyond the board's limit (after each stock's first {} returns): bad "
        "prices, unadjusted corporate actions or another market".format(UNLIMITED_FIRST_RETURNS),
    )
    return rows


BAR_KINDS = (
    "high below low",
    "close outside the range",
    "open outside the range",
    "price at or below zero",
)


def _bar_checks(factor, store):
    """The store finds the offending bars (one scan, nothing else leaves
    it); the kernel sorts them into kinds."""
    name = "inconsistent bar prices"
    if not store or not _store_answers():
        return {name: (NOT_CHECKED, 0, "no store open" if store else "store not used", "")}
    from mivada.api.bar_checks import inconsistent_bars

    try:
        bad = inconsistent_bars(list(factor.columns), factor.index.min(), factor.index.max())
    except Exception as exc:
        return {name: (NOT_CHECKED, 0, "the store cannot say: {}".format(exc), "")}
    arrays = [bad[f].to_numpy(dtype=np.float64)[None, :] for f in ("open", "high", "low", "close")]
    found = _kernels.price_consistency(*arrays, MAX_EXAMPLES)
    total = len(bad)
    ex = []
    for kind, (count, cells, values) in zip(BAR_KINDS, found):
        if count:
            _, k = cells[0]
            ex.append(
                "{} x{}: {} {}".format(
                    kind, int(count), bad["order_book_id"].iloc[k], _ymd(bad["date"].iloc[k])
                )
            )
    return {
        name: (
            WARNING if total else OK,
            total,
            _examples(ex, n=len(BAR_KINDS)),
            "bars with high below low, close or open outside the day's range, or a "
            "price at or below zero",
        )
    }
