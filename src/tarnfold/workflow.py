"""The whole factor test in one call: build the bench, run it, account for
every (date, instrument) pair that was dropped, and hand back results that
summarise, plot and report themselves.

The steps are listed once, in ``bench_steps``.
"""

import html
import time

import mivada
import numpy as np
import pandas as pd

from tarnfold import _kernels
from tarnfold.analysis import assay_bench as ab
from tarnfold.analysis import display
from tarnfold.analysis import statistics as st
from tarnfold.analysis.traded import TradedQuantileAnalysis, trading_rules
from tarnfold.analysis.formatting import SummaryTables
from tarnfold.constants import (
    ANALYSER_STEPS,
    DEFAULT_BENCHMARK,
    DEFAULT_PERIODS,
    PREPROCESS_STEPS,
    SIZE_BUCKETS,
)
from tarnfold.analysis.daily_returns import load_daily_returns
from tarnfold import evidence as ev

# the headline figures a comparison of factors shows, per holding period
COMPARED = (
    "IC mean",
    "IC IR",
    "IC NW t",
    "top-bottom Sharpe",
    "factor return Sharpe",
    "net top-bottom Sharpe",
)

# a daily simple return is rarely beyond a few percent: a table whose
# typical absolute value is above this holds something else (prices,
# percentages)
MAX_MEDIAN_ABS_RETURN = 0.1


class AssayResults(dict):
    """The bench's result dictionary (step name -> result object) with what
    the run was: ``factor_name``, ``periods``, ``steps`` (step name ->
    description), ``elapsed`` seconds and ``health``, the data health report
    (None when the run made none, or for results read back from a batch
    folder, whose results carry its table)."""

    health = None

    def __init__(self, results, factor_name="factor", periods=(), steps=None, elapsed=float("nan")):
        super().__init__(results)
        self.factor_name = factor_name
        self.periods = tuple(periods)
        self.steps = dict(steps or {})
        self.elapsed = elapsed

    def _sections(self, figures=True):
        """(SummaryTables, make_figures): the data health report first,
        then one per result, then the factor's own
        tables and figures (rank autocorrelation, data loss) once, when it
        has any (tables only: when it has tables); ``make_figures(pyplot)``
        gives title -> Figure."""
        shared, per_result = split_summaries(self)
        sections = []
        health = shared.pop(HEALTH_TABLE, None)
        if health is not None:  # the checks of the input data come first
            sections.append(
                (
                    SummaryTables({HEALTH_TABLE: health}, heading="== {} ==".format(HEALTH_TABLE)),
                    _no_figures,
                )
            )
        factor_figures = None
        for step, (r, tables) in per_result.items():
            heading = "== {} ({}) ==".format(step, type(r).__name__)
            sections.append(
                (SummaryTables(tables, heading=heading), getattr(r, "_figures", _no_figures))
            )
            if (
                factor_figures is None
                and getattr(r, "rank_autocorrelation_by_date", None) is not None
            ):
                factor_figures = r._factor_figures
        if shared or (figures and factor_figures is not None):
            sections.append(
                (
                    SummaryTables(shared, heading="== factor {} ==".format(self.factor_name)),
                    factor_figures or _no_figures,
                )
            )
        return sections

    def _repr_html_(self):
        parts = ["<h3>factor {}</h3>".format(html.escape(str(self.factor_name)))]
        for tables, figures in self._sections():
            parts += [tables._repr_html_(), display.figures_html(figures(False))]
        return "\n".join(parts)

    def summary_text(self):
        """Every result's summary tables as console text; the factor's own
        tables (rank autocorrelation, data loss) once, at the end."""
        return "\n\n".join(
            ["#### factor {}".format(self.factor_name)]
            + [str(tables) for tables, _ in self._sections(figures=False)]
        )

    def show(self):
        """Show every result's tables and figures (in a notebook as HTML
        tables and images, in a console as text and pyplot windows), the
        factor's own once, at the end."""
        display.show(self._sections())

    def headline(self, periods=None):
        """The run's main figures as one flat dict; see ``headline``."""
        return headline(self, periods)


def _no_figures(pyplot):
    return {}


HEALTH_TABLE = "data health"
FACTOR_TABLES = (HEALTH_TABLE, "factor rank autocorrelation", "data loss (date, instrument) pairs")


def split_summaries(results):
    """The summary tables of a bench result dict, split into the factor's
    own tables (``FACTOR_TABLES``: the same in every result of one run, so
    shown once) and each result's own.

    Returns ``(shared, per_result)``: ``shared`` is title -> DataFrame;
    ``per_result`` is step -> (result, title -> DataFrame) for the results
    that have ``summary()``.  A factor table that differs between results
    (results gathered from different runs) stays with each result."""
    summaries = {step: (r, r.summary()) for step, r in results.items() if hasattr(r, "summary")}
    shared = {}
    for title in FACTOR_TABLES:
        found = [tables[title] for _, tables in summaries.values() if title in tables]
        if found and all(t is found[0] or t.equals(found[0]) for t in found[1:]):
            shared[title] = found[0]
    per_result = {
        step: (r, {t: df for t, df in tables.items() if t not in shared})
        for step, (r, tables) in summaries.items()
    }
    return shared, per_result


# -- the steps ------------------------------------------------------------------


def bench_steps(
    preprocess=PREPROCESS_STEPS,
    winsorize="mad",
    industry="citics_2019",
    max_decay=10,
    quantile=5,
    benchmark=DEFAULT_BENCHMARK,
    analysers=ANALYSER_STEPS,
    size_buckets=SIZE_BUCKETS,
    weighting="equal",
    within_industry=False,
    trading=None,
):
    """The bench's steps in order, as a list of (name, kind, factory, text):
    ``factory()`` builds the step, ``text`` says what it does with which
    settings.  Add a step by adding one entry here.

    The Fama-MacBeth regressions control for what neutralization would
    remove (the industries of ``industry`` and the store's style
    exposures) when "neutralize" is not among the preprocessing steps; a
    neutralized factor is orthogonal to them already and is regressed on a
    constant alone.  The group views cut
    ``size_buckets`` capitalisation buckets from the store's
    ``market_cap`` (0: none) and weight groups by ``weighting`` ("equal" or
    "cap");
    ``within_industry`` adds the groups within each industry of
    ``industry`` (per-date rank IC and top-minus-bottom inside every
    industry; off by default: it costs about as much as the size view, and
    the IC step's pooled IC by industry is there already).  ``trading``
    (trading rules, "a-share", ...; see
    ``tarnfold.analysis.traded.trading_rules``) adds the step "traded": the
    groups traded under those rules."""
    rules = trading_rules(trading)
    ind = None if industry is None or (isinstance(industry, str) and not industry) else industry
    bm = benchmark or None
    neutralized = "neutralize" in tuple(preprocess or ())
    fm_industry, fm_styles = (None, None) if neutralized else (ind, "all")
    ind_text = (
        "none"
        if ind is None
        else ind
        if isinstance(ind, str)
        else "from a table of {} instruments".format(len(ind))
    )
    catalogue = {
        "winsorize": (
            "preprocessor",
            lambda: ab.Winzorization(method=winsorize),
            "winsorize ({})".format(winsorize),
        ),
        "normalize": ("preprocessor", ab.Normalization, "normalize (z-score per date)"),
        "neutralize": (
            "preprocessor",
            lambda: ab.Neutralization(industry=ind, style_factors="all"),
            "neutralize (industry {}, all styles)".format(ind_text),
        ),
        "ic": (
            "analyser",
            lambda: ab.ICAnalysis(rank_ic=True, industry_classification=ind, max_decay=max_decay),
            "rank IC{}, industry {}".format(
                ", decay {} lags".format(max_decay) if max_decay else "", ind_text
            ),
        ),
        "quantile": (
            "analyser",
            lambda: ab.QuantileReturnAnalysis(quantile=quantile, benchmark=bm),
            "{} quantile groups{}".format(quantile, " against {}".format(bm) if bm else ""),
        ),
        "factor_return": ("analyser", ab.FactorReturnAnalysis, "factor-weighted long-short return"),
        "fama_macbeth": (
            "analyser",
            lambda: ev.FamaMacBethAnalysis(industry=fm_industry, style_factors=fm_styles),
            "Fama-MacBeth regressions, controls: {}".format(
                "none (the factor is neutralized)"
                if neutralized
                else "industry {}, the store's styles".format(ind_text)
            ),
        ),
        "group_views": (
            "analyser",
            lambda: ev.GroupViewAnalysis(
                quantile=quantile,
                industry=ind if within_industry else None,
                size="market_cap" if size_buckets else None,
                size_buckets=size_buckets or 1,
                weighting=weighting if size_buckets else "equal",
            ),
            "{} groups{}{}".format(
                quantile,
                " within industry {}".format(ind_text)
                if within_industry and ind is not None
                else "",
                " and {} size buckets ({} weights)".format(size_buckets, weighting)
                if size_buckets
                else "",
            ),
        ),
        "event_study": (
            "analyser",
            lambda: ev.EventStudyAnalysis(quantile=max(quantile, 2)),
            "returns around entering the top / bottom of {} groups".format(max(quantile, 2)),
        ),
        "traded": (
            "analyser",
            lambda: TradedQuantileAnalysis(quantile=quantile, benchmark=bm, rules=rules),
            "{} quantile groups traded{}: {}".format(
                quantile,
                " against {}".format(bm) if bm else "",
                rules.short() if rules is not None else "",
            ),
        ),
    }
    analysers = [a for a in analysers if a]
    if rules is not None and "traded" not in analysers:
        analysers.append("traded")
    wanted = [s for s in preprocess if s] + analysers
    unknown = [s for s in wanted if s not in catalogue]
    if unknown:
        raise ValueError(
            "steps: expected names among {}, got {}".format(
                ", ".join(catalogue), ", ".join(map(str, unknown))
            )
        )
    return [(name,) + catalogue[name] for name in wanted]


# -- the data-loss account -------------------------------------------------------


def _ymd(text):
    """YYYY-MM-DD texts as YYYYMMDD integers (comparable like the dates)."""
    return np.asarray(
        pd.Series(text, dtype=object).str.replace("-", "", regex=False).astype(np.int64)
    )


def _listed_mask(dates, ids):
    """dates x ids booleans from the store's listing dates (unknown ids are
    never listed), or None when no store answers."""
    try:
        stocks = mivada.all_instruments("CS").set_index("order_book_id")
    except Exception:
        return None
    # dates compared as YYYYMMDD integers: the listing dates are text, and
    # "2999-12-31" for "still listed" is out of range for datetime64[ns]
    known = pd.Index(ids).isin(stocks.index)
    listed = _ymd(stocks["listed_date"].reindex(ids).fillna("9999-99-99").astype(str))
    delisted = stocks["de_listed_date"].reindex(ids).replace("0000-00-00", "2999-12-31")
    delisted = _ymd(delisted.fillna("0000-00-00").astype(str))
    d = np.asarray(dates.year * 10000 + dates.month * 100 + dates.day, dtype=np.int64)[:, None]
    return (listed[None, :] <= d) & (d < delisted[None, :]) & known[None, :]


def _exposure_missing(dates, ids):
    try:
        exp = mivada.get_style_factor_exposure(
            order_book_ids=list(ids), start_date=dates[0], end_date=dates[-1]
        )
    except Exception:
        return None
    missing = np.ones((len(dates), len(ids)), bool)
    if exp is None or len(exp) == 0:
        return missing
    complete = np.ones(len(exp), bool)
    for _, column in exp.items():  # column by column: no table of flags
        complete &= column.notna().to_numpy()
    index = exp.index
    date_level = list(index.names).index("date") if "date" in index.names else 0
    id_level = 1 - date_level if "date" in index.names else index.nlevels - 1

    def positions(level, labels):
        # row positions through the level's codes: no per-row labels built
        # (a missing label's code, -1, picks the -1 appended last)
        where = np.append(pd.Index(labels).get_indexer(index.levels[level]), -1)
        return where[np.asarray(index.codes[level])]

    rows = positions(date_level, dates)
    cols = positions(id_level, ids)
    cells = rows * len(ids) + cols
    ok = (rows >= 0) & (cols >= 0)
    if not ok.all():
        cells, complete = cells[ok], complete[ok]
    missing.ravel()[cells] = ~complete
    return missing


def data_loss_account(factor, processed, returns, periods, neutralized=False):
    """How many (date, instrument) pairs of ``factor`` each stage dropped.

    Rows: pairs in the factor table; NaN in the factor table; lost in
    preprocessing because the instrument was not listed (no industry), had
    no style exposure (these two only with ``neutralized``, read from the
    open store), or for another reason (e.g. a date with one value,
    whose z-score is undefined); no forward return (date or instrument
    missing from the returns, or the holding period runs past the data);
    and finally the pairs used.  One column per period; every pair is
    counted once, at the first stage that dropped it."""
    dates, ids = factor.index, factor.columns
    raw = factor.to_numpy(dtype=float, na_value=np.nan)
    after = processed.reindex(index=dates, columns=ids).to_numpy(dtype=float, na_value=np.nan)
    has_raw = ~np.isnan(raw)
    lost_pre = has_raw & np.isnan(after)
    not_listed = np.zeros_like(lost_pre)
    no_exposure = np.zeros_like(lost_pre)
    if lost_pre.any() and neutralized:
        # only neutralization drops pairs for want of reference data
        listed = _listed_mask(dates, ids)
        if listed is not None:
            not_listed = lost_pre & ~listed
        missing = _exposure_missing(dates, ids)
        if missing is not None:
            no_exposure = lost_pre & ~not_listed & missing
    usable = has_raw & ~lost_pre
    n_usable = int(np.count_nonzero(usable))
    n_not_listed = int(np.count_nonzero(not_listed))
    n_no_exposure = int(np.count_nonzero(no_exposure))
    stages = {
        "pairs in factor table": raw.size,
        "NaN factor": raw.size - int(np.count_nonzero(has_raw)),
        "not listed": n_not_listed,
        "no exposure": n_no_exposure,
        # not_listed and no_exposure are disjoint parts of lost_pre
        "preprocessing (other)": int(np.count_nonzero(lost_pre)) - n_not_listed - n_no_exposure,
    }

    fwd_valid = _forward_return_valid(returns, dates, ids, periods)
    table = {}
    for p in periods:
        used = int(np.count_nonzero(usable & fwd_valid[p]))
        table["P_{}".format(p)] = dict(
            stages, **{"no forward return": n_usable - used, "used": used}
        )
    out = pd.DataFrame(table)
    out.index.name = "stage"
    return out.astype(int)


def headline(results, periods=None):
    """The main figures of a bench result dict as one flat dict: each
    result's ``headline(periods)`` (the first result of a kind wins a
    figure both give), the factor's rank autocorrelation per period and its
    data-loss counts (the stages before the forward return once, "no
    forward return" and "used" per period)."""
    row = {}
    factor_done = False
    per_period = ("no forward return", "used")
    for r in results.values():
        if hasattr(r, "headline"):
            for key, value in r.headline(periods).items():
                row.setdefault(key, value)
        if factor_done:
            continue
        autocorr = getattr(r, "rank_autocorrelation", None)
        if autocorr is not None:
            for field, value in autocorr.items():
                row["rank autocorr {}".format(field)] = value
        loss = getattr(r, "data_loss", None)
        if loss is not None:
            for stage in loss.index:
                if stage in per_period or stage.startswith("not bought"):
                    for field in loss.columns:
                        row["{} {}".format(stage, field)] = int(loss.loc[stage, field])
                else:
                    row[stage] = int(loss.loc[stage, loss.columns[0]])
        factor_done = autocorr is not None or loss is not None
    return row


def comparison_table(all_results):
    """One row per factor (name -> bench result dict): the ``COMPARED``
    headline figures of every holding period; None when no result has any."""
    rows = {}
    for fname, results in all_results.items():
        figures = headline(results)
        rows[fname] = {
            key: value for key, value in figures.items() if key.rpartition(" ")[0] in COMPARED
        }
    if not any(rows.values()):
        return None
    out = pd.DataFrame.from_dict(rows, orient="index")
    out.index.name = "factor"
    return out


def _forward_return_valid(returns, dates, ids, periods):
    """period -> dates x ids booleans: True where the bench's formatted frame
    has a forward return, that is the row lies ``p`` rows or more before the
    end of ``returns``, on or after the instrument's first observed return,
    and the product of the ``p`` following growth factors (a missing return
    counting as zero) is a number."""
    r = returns.to_numpy(dtype=float, na_value=np.nan)
    n = r.shape[0]
    started = np.maximum.accumulate(~np.isnan(r), axis=0)
    # only infinite returns can make the product NaN (inf * 0): the growth
    # factors are needed only then
    factor = np.where(np.isnan(r), 1.0, 1.0 + r) if np.isinf(r).any() else None
    rows = returns.index.get_indexer(dates)
    cols = returns.columns.get_indexer(ids)
    # the factor's dates and instruments as a block of the returns table:
    # a slice instead of a gather
    block = None
    if (
        len(rows)
        and len(cols)
        and (rows == np.arange(rows[0], rows[0] + len(rows))).all()
        and (cols == np.arange(cols[0], cols[0] + len(cols))).all()
        and rows[0] >= 0
        and cols[0] >= 0
    ):
        block = (slice(rows[0], rows[0] + len(rows)), slice(cols[0], cols[0] + len(cols)))
    out = {}
    for p in periods:
        valid = np.zeros(r.shape, dtype=bool)
        if p < n:
            valid[: n - p] = started[: n - p]
            if factor is not None:
                prod = np.ones((n - p, r.shape[1]))
                with np.errstate(invalid="ignore", over="ignore"):
                    for k in range(1, p + 1):
                        prod *= factor[k : n - p + k]
                valid[: n - p] &= ~np.isnan(prod)
        if block is not None:
            out[p] = valid[block]
            continue
        pick = valid[np.ix_(np.where(rows >= 0, rows, 0), np.where(cols >= 0, cols, 0))]
        pick[rows < 0, :] = False
        pick[:, cols < 0] = False
        out[p] = pick
    return out


# -- running it -------------------------------------------------------------------


def as_periods(periods):
    """Holding periods as a tuple of distinct positive ints (one int is one
    period), checked and worded as the bench checks them."""
    return _kernels.holding_periods(periods)


def returns_problem(returns):
    """What a table looks like when it cannot be daily simple returns
    (prices, percentages), or None when it can."""
    # every k-th value in memory order (no copy of a column-major table): a
    # million tell what a table holds as well as all
    values = returns.to_numpy(dtype=float, na_value=np.nan).ravel(order="K")
    values = values[:: max(values.size // 1_000_000, 1)]
    values = values[np.isfinite(values)]
    if values.size == 0:
        return None
    typical = float(np.median(np.abs(values)))
    below_total_loss = float(np.mean(values < -1.0))
    if values.min() >= 0 and typical > 1:
        return "prices: every value is positive, the median is {:.4g}".format(typical)
    if typical > MAX_MEDIAN_ABS_RETURN:
        return "returns in percent: the median absolute value is {:.4g}".format(typical)
    if below_total_loss >= 0.01:
        return (
            "something else: {:.1%} of the values are below -1, losses of more than "
            "everything".format(below_total_loss)
        )
    return None


def _date_span(index):
    return (
        "{:%Y-%m-%d} to {:%Y-%m-%d}".format(index.min(), index.max()) if len(index) else "no dates"
    )


def _some(labels, n=3):
    labels = [str(x) for x in labels]
    return ", ".join(labels[:n]) + (", ..." if len(labels) > n else "")


def check_overlap(factor, returns, periods):
    """ValueError unless the factor and the returns share a date and an
    instrument with returns, and the factor has more dates than the
    shortest holding period: without them every figure would be empty."""
    if len(factor.index) <= min(periods):
        raise ValueError(
            "factor: expected more dates than the shortest holding period ({}), got {} ({})".format(
                min(periods), len(factor.index), _date_span(factor.index)
            )
        )
    if returns is None or returns.shape[0] == 0 or returns.shape[1] == 0:
        raise ValueError(
            "returns: no returns for the factor's instruments from {}".format(
                _date_span(factor.index)
            )
        )
    if not factor.index.isin(returns.index).any():
        raise ValueError(
            "factor, returns: no date in common (factor: {}; returns: {})".format(
                _date_span(factor.index), _date_span(returns.index)
            )
        )
    common = returns.columns.intersection(factor.columns)
    if not len(common) or not returns[common].notna().to_numpy().any():
        raise ValueError(
            "factor, returns: no order_book_id in common with a return (factor: "
            "{}; returns: {})".format(
                _some(factor.columns),
                _some(returns.columns[returns.notna().to_numpy().any(axis=0)]) or "no values",
            )
        )


def assay(
    factor,
    returns="daily",
    periods=DEFAULT_PERIODS,
    ascending=False,
    steps=None,
    factor_name="factor",
    progress=None,
    account=True,
    check_returns=True,
    health=True,
    trading=None,
):
    """Test one factor with the whole bench and return ``AssayResults``.

    ``factor``: dates x instruments; ``returns``: "daily" (from the open
    store) or a dates x instruments table of daily simple returns (a table
    that looks like prices or percentages is refused unless
    ``check_returns`` is False); ``ascending``: False when larger factor
    values are better (the bench's default; every analyser on its own
    defaults to True); ``steps``: the output of ``bench_steps`` (default:
    every step).  ``trading``: trading rules ("a-share", a
    ``TradingRules``, ...) add the traded analysis of the groups (the step
    "traded"; see ``tarnfold.analysis.traded``).  Each result gets
    ``data_loss`` and ``rank_autocorrelation`` (unless ``account`` is
    False; the intended buys the traded analysis could not make are counted
    there as "not bought: ...") and, before any statistic, the data health
    report (``tarnfold.evidence.check_data``; unless ``health`` is False) as
    ``data_health``; the returned object keeps the whole report as
    ``health``.  Problems it finds are warned about; those that make the
    analysis meaningless (repeated dates or instruments, no finite factor
    value, no dispersion on any date, every factor date after the store's
    data) raise ValueError.

    ValueError when the factor and the returns have no date or no
    instrument in common, or no (date, instrument) pair with both a factor
    value and a forward return: there would be nothing to measure."""
    say = progress or (lambda msg: None)
    t0 = time.perf_counter()
    periods = as_periods(periods)
    verdict = {}
    ab._validate_data_frame(factor, "factor")
    if isinstance(returns, str):
        if returns != "daily":
            raise ValueError('returns: expected a DataFrame or "daily", got {!r}'.format(returns))
        say("loading daily returns of {} instruments".format(factor.shape[1]))
        returns = load_daily_returns(factor, periods)
    else:
        if returns is None:
            raise ValueError('returns: expected a DataFrame or "daily", got None')
        ab._validate_data_frame(returns, "returns")
        problem = returns_problem(returns) if check_returns else None
        if check_returns:
            verdict["returns_problem"] = problem
        if problem:
            raise ValueError(
                "returns: expected daily simple returns (0.01 = 1 %), got what "
                "looks like {}; pass check_returns=False to use it as it is".format(problem)
            )
    report = None
    if health:
        say("checking the data")
        report = ev.check_data(factor, returns, returns_checked=check_returns, **verdict)
        report.raise_for_errors()
        report.warn()
    check_overlap(factor, returns, periods)
    if steps is None:
        steps = bench_steps(trading=trading)
    elif trading is not None and not any(s[0] == "traded" for s in steps):
        steps = list(steps) + bench_steps(preprocess=(), analysers=(), trading=trading)

    bench = ab.FactorAssayBench()
    used = {}
    for name, kind, make, text in steps:
        bench.append((name, make()))
        used[name] = text
    preprocessors = [name for name, kind, _, _ in steps if kind == "preprocessor"]
    say(
        "running {} on {} dates x {} instruments".format(
            ", ".join(used), factor.shape[0], factor.shape[1]
        )
    )
    raw = factor  # the bench only renames its axes
    with ev.grid.shared_tables():
        results = bench.analysis(
            factor,
            returns,
            ascending=ascending,
            periods=periods,
            keep_preprocess_result=account and bool(preprocessors),
        )
    if results is None:
        results = {}
    processed = results[preprocessors[-1]] if (account and preprocessors) else factor
    for name in preprocessors:
        results.pop(name, None)
    if account:
        say("accounting for dropped pairs")
        loss = data_loss_account(
            raw, processed, returns, periods, neutralized="neutralize" in preprocessors
        )
        extra = [r.data_loss_rows() for r in results.values() if hasattr(r, "data_loss_rows")]
        if extra:
            loss = pd.concat([loss, extra[0].reindex(columns=loss.columns).fillna(0).astype(int)])
        if loss.loc["used"].max() == 0:
            raise ValueError(
                "factor, returns: no (date, instrument) pair has both a factor "
                "value and a forward return: do the factor's dates and "
                "instruments match the returns (or the store's)?"
            )
        by_date = st.rank_autocorrelation_by_date(processed, periods)
        autocorr = st.rank_autocorrelation(processed, by_date=by_date)
        for r in results.values():
            try:
                r.data_loss = loss
                r.rank_autocorrelation = autocorr
                r.rank_autocorrelation_by_date = by_date
            except AttributeError:  # a user analyser's result
                pass
    if report is not None:
        for r in results.values():
            try:
                r.data_health = report.table
            except AttributeError:
                pass
    out = AssayResults(results, factor_name, periods, used, time.perf_counter() - t0)
    out.health = report
    return out
