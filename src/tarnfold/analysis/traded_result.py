"""The result of ``TradedQuantileAnalysis``: group returns gross and net of
costs, the turnover actually traded, the trades that could not be made and
why, and the rules they were traded under; with its summary tables,
headline figures and figures."""

import numpy as np
import pandas as pd

from tarnfold.analysis import plots
from tarnfold.analysis import statistics as st
from tarnfold.analysis.analysis_result import AnalysisResult, _flat

# the counts of ``untradable``, per (period, group, date)
COUNTS = (
    "intended buys",
    "intended sells",
    "not bought: suspended",
    "not bought: limit-up",
    "not bought: new listing",
    "not bought: ST",
    "not sold: suspended",
    "not sold: limit-down",
    "delisted while held",
)
NOT_BOUGHT = COUNTS[2:6]
NOT_SOLD = COUNTS[6:8]


def _fields(frame):
    """The period fields ("P_n") of the daily-returns table, in order."""
    return list(dict.fromkeys(c.split(" ", 1)[1] for c in frame.columns))


def _wide(frame, column):
    """dates x groups of one column of a (tag, datetime) table."""
    return frame[column].unstack("tag")


def long_short(gross, net):
    """Daily returns of long the first group, short the last (dates x
    groups tables of daily returns), gross and net: the short side pays
    its group's costs too, so net = net first - (gross last + cost share
    of last), the cost share c of a day being 1 - (1 + net) / (1 + gross).
    NaN where a side holds no value."""
    first_g, last_g = gross.iloc[:, 0], gross.iloc[:, -1]
    last_cost = 1.0 - (1.0 + net.iloc[:, -1]) / (1.0 + last_g)
    return first_g - last_g, net.iloc[:, 0] - last_g - last_cost


def _compound(daily):
    return (1.0 + daily.fillna(0.0)).cumprod() - 1.0


def traded_summary(
    daily_returns, turnover, untradable, benchmark=None, periods_per_year=st.PERIODS_PER_YEAR
):
    """Per period and group (and top-bottom, and q1 against the benchmark):
    annualised return gross and net of costs, the cost drag (the
    difference), net volatility, Sharpe ratio and maximum drawdown, the
    traded turnover per day and the share of intended trades that could
    not be made."""
    bench = None
    if benchmark is not None:
        bench = st.daily_from_cumulative(pd.Series(benchmark, dtype=float))
    rows = []
    for field in _fields(daily_returns):
        gross = _wide(daily_returns, "gross " + field)
        net = _wide(daily_returns, "net " + field)
        turn = _wide(turnover, field)
        counts = untradable.xs(field, level="period").groupby(level="tag", sort=False).sum()
        series = {
            label: (gross[label].dropna(), net[label].dropna(), turn[label])
            for label in gross.columns
        }
        spread = long_short(gross, net)
        series["top-bottom"] = (spread[0].dropna(), spread[1].dropna(), None)
        if bench is not None:
            q1 = net.iloc[:, 0].dropna()
            series["q1 - benchmark"] = (
                (gross.iloc[:, 0] - bench).dropna(),
                (q1 - bench.reindex(q1.index)).dropna(),
                None,
            )
        for label, (g, n, t) in series.items():
            g_perf = st.performance(g, periods_per_year)
            n_perf = st.performance(n, periods_per_year)
            row = {
                "period": field,
                "group": label,
                "gross ann. return": g_perf["ann. return"],
                "net ann. return": n_perf["ann. return"],
                "cost drag": g_perf["ann. return"] - n_perf["ann. return"],
                "net ann. vol": n_perf["ann. vol"],
                "net Sharpe": n_perf["Sharpe"],
                "net max drawdown": n_perf["max drawdown"],
                "traded turnover/day": t.mean() if t is not None else np.nan,
                "untradable share": np.nan,
                "days": n_perf["days"],
            }
            if label in counts.index:
                c = counts.loc[label]
                intended = c["intended buys"] + c["intended sells"]
                blocked = c[list(NOT_BOUGHT + NOT_SOLD)].sum()
                row["untradable share"] = blocked / intended if intended else np.nan
            rows.append(row)
    out = pd.DataFrame(rows).set_index(["period", "group"])
    return out.astype({"days": int})


def untradable_summary(untradable):
    """Per period and group: the intended trades of the rebalances and the
    share of them that could not be made, by reason; the positions settled
    on a delisting."""
    counts = untradable.groupby(level=["period", "tag"], sort=False).sum()
    out = pd.DataFrame(index=counts.index)
    out["intended buys"] = counts["intended buys"]
    out["intended sells"] = counts["intended sells"]
    buys = counts["intended buys"].where(counts["intended buys"] > 0)
    sells = counts["intended sells"].where(counts["intended sells"] > 0)
    for reason in NOT_BOUGHT:
        out[reason] = counts[reason] / buys
    for reason in NOT_SOLD:
        out[reason] = counts[reason] / sells
    out["delisted while held"] = counts["delisted while held"]
    out.index = out.index.set_names(["period", "group"])
    return out


class TradedQuantileAnalysisResult(AnalysisResult):
    """Factor groups traded under the trading rules.

    Attributes set by ``TradedQuantileAnalysis``:

    ``daily_returns``
        (tag, datetime) x "gross P_n" / "net P_n": each group's daily
        return before and after costs, the mean over the staggered
        schedules of period n; NaN where no schedule held the group.
    ``traded_turnover``
        (tag, datetime) x "P_n": value bought plus value sold over twice
        the group's value, per day (a rebalance of one schedule in n).
    ``untradable``
        (period, tag, datetime) x counts: the intended buys and sells of
        the rebalances on each date, those that could not be made by
        first reason (suspended, limit-up, new listing, ST; suspended,
        limit-down), and positions settled on a delisting.
    ``benchmark_return``
        cumulative return of the benchmark index, or None.
    ``rules``
        the trading rules (rule -> setting), with the rules the data did
        not allow as notes.
    """

    def cumulative(self, kind="net"):
        """Cumulative group returns ("gross" or "net"): (tag, datetime) x
        "P_n", a date without a value adding nothing."""
        cols = [c for c in self.daily_returns.columns if c.startswith(kind + " ")]
        wide = self.daily_returns[cols].fillna(0.0)
        out = (1.0 + wide).groupby(level="tag", sort=False).cumprod() - 1.0
        out.columns = [c.split(" ", 1)[1] for c in cols]
        return out

    def _summary_table(self):
        return traded_summary(
            self.daily_returns,
            self.traded_turnover,
            self.untradable,
            getattr(self, "benchmark_return", None),
            self.periods_per_year,
        )

    def headline(self, periods=None):
        table = self._summary_table()
        spread = table.xs("top-bottom", level="group")
        first = table.groupby(level="period", sort=False).head(1).droplevel("group")
        counts = self.untradable.groupby(level="period", sort=False).sum()
        intended = counts["intended buys"] + counts["intended sells"]
        share = counts[list(NOT_BOUGHT + NOT_SOLD)].sum(axis=1) / intended.where(intended > 0)
        figures = dict(
            _flat(
                spread,
                (
                    ("net ann. return", "net top-bottom ann. return"),
                    ("net Sharpe", "net top-bottom Sharpe"),
                    ("cost drag", "top-bottom cost drag"),
                ),
                periods,
            )
        )
        figures.update(_flat(first, (("traded turnover/day", "q1 traded turnover"),), periods))
        figures.update(
            _flat(
                share.to_frame("untradable share"),
                (("untradable share", "untradable share"),),
                periods,
            )
        )
        return figures

    def data_loss_rows(self):
        """Intended buys that could not be made, by reason, per period: the
        (date, instrument) pairs of the factor table whose group could not
        be entered.  Rows for the data-loss account."""
        counts = self.untradable.groupby(level="period", sort=False).sum()
        rows = counts[list(NOT_BOUGHT)].T.astype(int)
        rows.columns.name = None
        return rows.rename_axis("stage")

    def _own_summary(self):
        return {
            "traded groups by holding period": self._summary_table(),
            "untradable intended trades": untradable_summary(self.untradable),
            "trading rules": self.rules,
        }

    def _figures(self, pyplot):
        name = getattr(self, "name", "")
        return {
            "gross against net cumulative returns": gross_net_figure(
                self.daily_returns, name, pyplot
            ),
            "untradable shares": untradable_figure(self.untradable, name, pyplot),
            "traded turnover": plots.turnover(
                {
                    field: self.traded_turnover[field].unstack(level="tag")
                    for field in self.traded_turnover.columns
                },
                name,
                pyplot,
                what="traded turnover per day",
            ),
        }


def gross_net_figure(daily_returns, name="", pyplot=False):
    """Per period: cumulative returns of the first and last groups and of
    top-bottom, gross (dashed) against net of costs (solid)."""
    fields = _fields(daily_returns)
    fig = plots.new_figure(pyplot, figsize=(8, 2.6 * max(len(fields), 1)))
    colours = ("#2e86c1", "#c0392b", "#222222")
    for k, field in enumerate(fields):
        ax = fig.add_subplot(len(fields), 1, k + 1)
        gross = _wide(daily_returns, "gross " + field)
        net = _wide(daily_returns, "net " + field)
        spread = long_short(gross, net)
        for kind, style, wide, ls in (
            ("gross", "--", gross, spread[0]),
            ("net", "-", net, spread[1]),
        ):
            lines = {
                wide.columns[0]: wide.iloc[:, 0],
                wide.columns[-1]: wide.iloc[:, -1],
                "top-bottom": ls,
            }
            for (label, daily), colour in zip(lines.items(), colours):
                cum = _compound(daily)
                ax.plot(
                    cum.index,
                    cum.values,
                    ls=style,
                    color=colour,
                    lw=1.2 if label == "top-bottom" else 0.9,
                    label="{} {}".format(label, kind),
                )
        ax.axhline(0, color="black", lw=0.5)
        ax.set_ylabel(field)
        if k == 0:
            plots._legend(ax)
    return plots._title(fig, "cumulative returns, gross (dashed) and net of costs", name)


def untradable_figure(untradable, name="", pyplot=False):
    """Per period: the share of intended trades (all groups) that could not
    be made, by reason, over moving windows of dates."""
    fields = list(dict.fromkeys(untradable.index.get_level_values("period")))
    fig = plots.new_figure(pyplot, figsize=(8, 2.3 * max(len(fields), 1)))
    moving = plots.smoothing_window(untradable.index.get_level_values("datetime").nunique())
    for k, field in enumerate(fields):
        ax = fig.add_subplot(len(fields), 1, k + 1)
        by_date = untradable.xs(field, level="period").groupby(level="datetime").sum()
        window = by_date.rolling(moving, min_periods=1).sum()
        intended = (window["intended buys"] + window["intended sells"]).where(lambda x: x > 0)
        for reason in NOT_BOUGHT + NOT_SOLD:
            if by_date[reason].any():
                ax.plot(window.index, (window[reason] / intended).values, lw=1, label=reason)
        ax.set_ylabel(field)
        if k == 0:
            plots._legend(ax)
    return plots._title(
        fig, "share of intended trades not made ({}-date windows)".format(moving), name
    )
