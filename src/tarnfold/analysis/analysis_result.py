"""Result objects of the factor test bench's analysers.

Each result is built with keyword arguments only and keeps every keyword as
an attribute of the same name; those attributes are exactly the analyser's
tables.  On top of them every result offers:

* ``summary()``: a dict of small tables (statistics per period/group),
  which prints as aligned text and renders as titled tables in a notebook;
* ``plot()``: a dict of matplotlib figures (built without a display);
* ``show()``: prints the summary and shows the figures (in a notebook: the
  tables as HTML and the figures as images, whatever the backend);
* ``_repr_html_()``: the summary tables and the figures (as images), so a
  notebook cell showing the result displays both.

``tarnfold.assay`` (and the ``tarnfold`` command) also attach optional
attributes that the summary and plots pick up when present: ``data_loss``
(how many (date, instrument) pairs of the factor table were dropped at each
stage), ``rank_autocorrelation`` (the factor's rank autocorrelation per
period), ``rank_autocorrelation_by_date`` (the same per date, plotted) and
``data_health`` (the checks of the input data, shown first).

Summary statistics never count a date on which nothing was measured: see
``tarnfold.analysis.statistics`` for the rules and formulas.

Reading results back goes through one protocol, so that code handling
results of every kind (a batch's summary row, the comparison of factors,
the report, stored results) never asks which class it holds:

* ``headline(periods=None)``: the result's main figures as one flat dict
  ("IC mean P_1" -> number);
* ``RESULT_CLASSES``: every result class by name (a subclass registers
  itself), from which stored results are rebuilt.
"""

import pandas as pd

from tarnfold.analysis import display, plots
from tarnfold.analysis import statistics as st
from tarnfold.analysis.formatting import SummaryTables
from tarnfold.constants import TRADING_DAYS_PER_YEAR

__all__ = [
    "ICAnalysisResult",
    "QuantileReturnAnalysisResult",
    "FactorReturnAnalysisResult",
    "AnalysisResult",
    "RESULT_CLASSES",
    "result_class",
]

RESULT_CLASSES = {}


def result_class(name):
    """The result class registered under ``name``."""
    try:
        return RESULT_CLASSES[name]
    except KeyError:
        raise KeyError(
            "result class: expected one of {}, got {!r}".format(
                ", ".join(sorted(RESULT_CLASSES)), name
            )
        ) from None


def _fields(periods):
    """The return fields ("P_n") of ``periods``, or None for every field."""
    return None if periods is None else {"P_{}".format(int(p)) for p in periods}


def _flat(table, figures, periods):
    """{"<label> <field>": value} from a table indexed by return field, for
    the (column, label) pairs of ``figures`` and the fields of ``periods``."""
    wanted = _fields(periods)
    return {
        "{} {}".format(label, field): table.loc[field, column]
        for field in table.index
        if wanted is None or field in wanted
        for column, label in figures
    }


class _AnalysisResult:
    """Keyword-built container of one analyser's tables."""

    data_loss = None
    rank_autocorrelation = None
    rank_autocorrelation_by_date = None
    data_health = None
    periods_per_year = TRADING_DAYS_PER_YEAR

    def __init_subclass__(cls, **kwargs):
        super().__init_subclass__(**kwargs)
        RESULT_CLASSES[cls.__name__] = cls

    def __init__(self, **kwargs):
        self._keys = tuple(kwargs)
        for key, value in kwargs.items():
            setattr(self, key, value)

    def __repr__(self):
        name = getattr(self, "name", None)
        return "{}(name={!r}, fields={})".format(type(self).__name__, name, list(self._keys))

    # -- common parts ------------------------------------------------------
    def _own_summary(self):
        raise NotImplementedError

    def summary(self):
        """Summary tables of this result: a dict title -> DataFrame
        (``SummaryTables``: aligned text in a console, HTML tables in a
        notebook)."""
        tables = self._own_summary()
        if self.data_health is not None:
            tables = dict({"data health": self.data_health}, **tables)
        if self.rank_autocorrelation is not None:
            tables["factor rank autocorrelation"] = self.rank_autocorrelation.to_frame()
        if self.data_loss is not None:
            tables["data loss (date, instrument) pairs"] = self.data_loss
        return SummaryTables(tables)

    def headline(self, periods=None):
        """The main figures for the holding periods ``periods`` (default:
        all) as one flat dict "<figure> P_n" -> number: what a batch's
        summary row and the comparison of factors show.  {} for a result
        without headline figures."""
        return {}

    def _figures(self, pyplot):
        raise NotImplementedError

    def _factor_figures(self, pyplot):
        """Figures of the factor itself (the same for every result of one
        run): its rank autocorrelation over time, when attached."""
        if self.rank_autocorrelation_by_date is None:
            return {}
        return {
            "factor rank autocorrelation": plots.rank_autocorrelation(
                self.rank_autocorrelation_by_date, pyplot
            )
        }

    def _all_figures(self, pyplot):
        return dict(self._figures(pyplot), **self._factor_figures(pyplot))

    def plot(self):
        """Figures of this result: a dict title -> matplotlib Figure.  The
        figures are not registered with pyplot, so this works without a
        display; save them with ``fig.savefig(path)``."""
        return self._all_figures(pyplot=False)

    def _heading(self):
        return "== {} ({}) ==".format(getattr(self, "name", ""), type(self).__name__)

    def summary_text(self):
        """The summary tables as aligned console text."""
        return str(SummaryTables(self.summary(), heading=self._heading()))

    def show(self):
        """Show the summary tables and the figures: in a notebook as HTML
        tables and images, in a console as printed text and pyplot
        windows."""
        display.show([(SummaryTables(self.summary(), heading=self._heading()), self._all_figures)])

    def _repr_html_(self):
        return "\n".join(
            [
                SummaryTables(self.summary(), heading=self._heading())._repr_html_(),
                display.figures_html(self.plot()),
            ]
        )


# the base of a result class of one's own
AnalysisResult = _AnalysisResult


class ICAnalysisResult(_AnalysisResult):
    """IC per date and period, p-values, IC decay and per-industry IC.

    Attributes set by ``ICAnalysis``:

    ``ic``, ``ic_p_value``
        dates x return fields ("P_1", "P_5", ...): the cross-sectional
        correlation of the factor with the forward return of each holding
        period, and its two-sided p-value.  A date with fewer than two
        (factor, forward return) pairs holds IC 0 with p-value 0: the last
        dates of a holding period (no forward return yet), dates on which no
        instrument matched.  ``summary()`` and the report exclude those dates
        and count them per period ("excluded").
    ``ic_decay``
        (date, lag) x return fields: the IC of the factor on a date against
        the forward return of the date ``lag`` rows later; ``max_decay``
        lags 0 .. max_decay - 1, lag 0 being the IC table.
    ``ic_industry_distribute``
        industry x return fields: one correlation over all rows of the
        industry, all dates pooled; instruments without a label are in
        "Unknown".
    """

    HEADLINE = (
        ("mean", "IC mean"),
        ("IR", "IC IR"),
        ("t", "IC t"),
        ("NW t", "IC NW t"),
        ("IC>0", "IC>0"),
    )

    def headline(self, periods=None):
        return _flat(st.ic_summary(self.ic, self.ic_p_value), self.HEADLINE, periods)

    def _own_summary(self):
        tables = {"IC by holding period": st.ic_summary(self.ic, self.ic_p_value)}
        if getattr(self, "ic_decay", None) is not None:
            tables["mean IC by lag"] = st.decay_summary(self.ic_decay, self.ic, self.ic_p_value)
        if getattr(self, "ic_industry_distribute", None) is not None:
            tables["pooled IC by industry"] = st.industry_summary(self.ic_industry_distribute)
        return tables

    def _figures(self, pyplot):
        name = getattr(self, "name", "")
        figs = {
            "IC over time": plots.ic_series(self.ic, self.ic_p_value, name, pyplot),
            "monthly IC": plots.ic_monthly_heatmap(self.ic, self.ic_p_value, name, pyplot),
            "IC histogram": plots.ic_histogram(self.ic, self.ic_p_value, name, pyplot),
            "IC against the normal": plots.ic_qq(self.ic, self.ic_p_value, name, pyplot),
        }
        if getattr(self, "ic_decay", None) is not None:
            figs["IC decay"] = plots.ic_decay(
                st.decay_summary(self.ic_decay, self.ic, self.ic_p_value), name, pyplot
            )
        if getattr(self, "ic_industry_distribute", None) is not None:
            figs["IC by industry"] = plots.ic_industry(
                st.industry_summary(self.ic_industry_distribute).fillna(0.0), name, pyplot
            )
        return figs


class QuantileReturnAnalysisResult(_AnalysisResult):
    """Returns and turnover of factor-sorted groups.

    Attributes set by ``QuantileReturnAnalysis``: ``quantile_returns``
    (cumulative return per group, index (tag, datetime), one column per
    period), ``quantile_turnover`` (share of a group's members that are new,
    same layout), ``quantile_detail`` (the group label of every instrument
    on every date, from the previous date's factor; "q1" holds the best
    values in the bench's sort order), ``top_minus_bottom_returns`` (the
    daily return of q1 minus the last group, compounded; index datetime) and
    ``benchmark_return`` (cumulative return of the benchmark index, or
    None).  Dates on which a group had no members carry a daily return of 0
    in ``quantile_returns``; ``summary()`` excludes them.
    """

    def headline(self, periods=None):
        from tarnfold.evidence import summaries as ev

        table = self._groups_table()
        spread = table.xs("top-bottom", level="group")
        first = table.groupby(level="period", sort=False).head(1).droplevel("group")
        return dict(
            _flat(
                spread,
                (("ann. return", "top-bottom ann. return"), ("Sharpe", "top-bottom Sharpe")),
                periods,
            ),
            **_flat(
                first,
                (
                    ("turnover per rebalance", "q1 turnover per rebalance"),
                    ("turnover per day", "q1 turnover per day"),
                ),
                periods,
            ),
            **_flat(ev.monotonicity_table(self), (("rank corr", "monotonicity"),), periods),
            **ev.sharpe_headline("top-bottom", ev.top_bottom_dailies(self), periods),
        )

    def _groups_table(self):
        from tarnfold.evidence import summaries as ev

        def compute():
            table = st.quantile_summary(
                self.quantile_returns,
                self.quantile_turnover,
                self.quantile_detail,
                self.top_minus_bottom_returns,
                getattr(self, "benchmark_return", None),
                self.periods_per_year,
                present=ev.group_presence(self),
                codes=ev.label_codes(self),
            )
            ev.forget_label_codes(self)  # as large as the detail table: not kept
            return table

        return ev.remembered(self, "groups", compute)

    def _own_summary(self):
        from tarnfold.evidence import summaries as ev

        tables = {
            "groups by holding period": self._groups_table(),
            "monotonicity of group returns (q1 best)": ev.monotonicity_table(self),
        }
        against = ev.benchmark_table(self, self.periods_per_year)
        if against is not None:
            tables["alpha and beta against the benchmark"] = against
        tables["top-bottom Sharpe ratio given the search (one trial)"] = ev.sharpe_table(
            ev.top_bottom_dailies(self), self.periods_per_year
        )
        return tables

    def _figures(self, pyplot):
        name = getattr(self, "name", "")
        labels = list(pd.unique(self.quantile_returns.index.get_level_values("tag")))
        codes = st._label_codes(self.quantile_detail)
        per_rebalance = {
            field: st.rebalance_turnover(self.quantile_detail, labels, st.period_of(field), codes)
            for field in self.quantile_returns.columns
        }
        return {
            "cumulative group returns": plots.group_returns(self.quantile_returns, name, pyplot),
            "mean return by group": plots.mean_group_returns(
                st.mean_group_returns(
                    self.quantile_returns, self.quantile_detail, self.top_minus_bottom_returns
                ),
                name,
                pyplot,
            ),
            "turnover": plots.turnover(per_rebalance, name, pyplot),
            "long-short": plots.long_short(
                self.top_minus_bottom_returns, getattr(self, "benchmark_return", None), name, pyplot
            ),
        }


class FactorReturnAnalysisResult(_AnalysisResult):
    """Cumulative return of the factor-weighted long-short portfolio.

    Attribute set by ``FactorReturnAnalysis``: ``factor_returns``, dates x
    periods ("P_n"): the cumulative return of a portfolio weighted by the
    previous date's demeaned factor (absolute weights summing to one),
    rebalanced every n dates and averaged over the n staggered starts.
    """

    def headline(self, periods=None):
        from tarnfold.evidence import summaries as ev

        table = st.factor_return_summary(self.factor_returns, self.periods_per_year)
        return dict(
            _flat(
                table,
                (("ann. return", "factor return ann. return"), ("Sharpe", "factor return Sharpe")),
                periods,
            ),
            **ev.sharpe_headline("factor return", ev.factor_return_dailies(self), periods),
        )

    def _own_summary(self):
        from tarnfold.evidence import summaries as ev

        return {
            "factor return by holding period": st.factor_return_summary(
                self.factor_returns, self.periods_per_year
            ),
            "factor return Sharpe ratio given the search (one trial)": ev.sharpe_table(
                ev.factor_return_dailies(self), self.periods_per_year
            ),
        }

    def _figures(self, pyplot):
        return {
            "cumulative factor return": plots.factor_returns(
                self.factor_returns, getattr(self, "name", ""), pyplot
            )
        }
