"""One self-contained HTML report of bench results (tables and embedded PNG
plots; opens offline, no external files)."""

import datetime
import os
import re
import uuid

import jinja2

from tarnfold.analysis.analysis_result import _AnalysisResult
from tarnfold.analysis.formatting import table_html
from tarnfold.analysis.plots import SHORT_HISTORY, WIDE_RANGE, industry_plot_labels, to_png_base64
from tarnfold.constants import TRADING_DAYS_PER_YEAR, __version__
from tarnfold.workflow import comparison_table, split_summaries

# the comparison of factors has a column per factor up to this many, a
# row per factor beyond
FACTORS_ACROSS = 8

CONVENTIONS = (
    "Dates print as YYYYMMDD; returns are simple returns (0.01 = 1 %).",
    "P_n is the forward return over the n trading days after the factor date "
    "(compounded daily returns; a missing daily return counts as 0).",
    "IC: cross-sectional correlation of the factor with P_n per date (rank IC by default). "
    "Dates with fewer than two (factor, return) pairs are held as IC 0 with p-value 0 "
    "in the IC table; every summary statistic excludes them and counts them as 'excluded'.",
    "NW t: Newey-West t-statistic with n - 1 lags for P_n; overlapping holding periods "
    "make the plain t overstate the evidence.",
    "IC decay, lag k: IC of the factor on a date against the forward return of the date "
    "k rows later.",
    "IC decay counts a date at every lag, lag 0 included, when its IC is a number other "
    "than exactly 0 (the decay table has no p-values to tell a genuine 0 from a date "
    "with fewer than two pairs).",
    "Groups: q1 holds the best factor values in the bench's order "
    "(ascending=False: the largest). Annualised figures use {} trading days a year; "
    "Sharpe ratios use a zero risk-free rate; maximum drawdown is negative.".format(
        TRADING_DAYS_PER_YEAR
    ),
    "Annualised return is geometric (the compounded growth per year); the Sharpe ratio "
    "is arithmetic (mean daily return over its deviation). A volatile series can have a "
    "positive mean daily return and still lose money compounded, since the compounded "
    "growth is roughly the mean less half the variance: a negative annualised return "
    "beside a positive Sharpe ratio is that, not an error.",
    "Turnover per rebalance: the share of a group's members replaced when a book held "
    "for P_n days rebalances (members not in the group n days earlier); trading costs "
    "scale with it. Turnover per day: the analyser's table, the daily average over the n "
    "staggered books, of which only one rebalances on a given day, so about the first "
    "divided by n.",
    "Top-bottom: q1 minus the last group, a long-short spread; it has no excess return "
    "over the index.",
    "Factor return statistics start on the first day a position is held ('from'); the "
    "leading days before it, on which no book holds anything, are counted as "
    "'excluded'.",
    "Cumulative returns are drawn as wealth on a log scale when the lines span more than "
    "{:g} times in wealth; histories of more than {} dates are drawn as monthly means with "
    "a moving mean.".format(WIDE_RANGE, SHORT_HISTORY),
    "Data loss: every (date, instrument) pair of the factor table is counted once, "
    "at the first stage that dropped it.",
    "Data health: checks of the input before any statistic; 'warning' rows deserve a look, "
    "'error' rows stop the analysis.",
    "Fama-MacBeth premium: mean over dates of the factor's coefficient in the date's "
    "cross-sectional regression of P_n on the factor and the controls named in the title; "
    "NW t as for the IC.",
    "Group views: groups cut each date from that date's factor (q1 best), mean forward "
    "return P_n per group; within industries and size buckets (s1 smallest market_cap) the "
    "rank IC and q1 minus the last group; a bucket carries the effect when that spread's "
    "NW t is at least 1.96.",
    "Event study: entries into the top (bottom) group; cumulative return from the entry "
    "date's close, excess over the equal-weighted average of the factor's instruments, "
    "95 % bands from standard errors clustered by entry date.",
    "PSR / DSR: probability that the true Sharpe ratio exceeds 0 / the Sharpe ratio the "
    "best of the trials would show by luck (skewness and kurtosis accounted for; one trial "
    "for a single factor).",
    "Traded groups: the same groups traded under the rules of their 'trading rules' table "
    "(by default at T+1's open, no buys at the limit-up or when suspended, no sales at the "
    "limit-down or when suspended, no new listings for 60 days, with commission, stamp duty "
    "and slippage). Net returns are after costs; cost drag is gross minus net annualised "
    "return; traded turnover is per day; the untradable share counts intended trades that "
    "could not be made; 'not bought' rows of the data loss count those buys.",
)


def _anchor(text, taken):
    base = re.sub(r"[^A-Za-z0-9_-]+", "-", str(text)).strip("-") or "factor"
    anchor, k = base, 2
    while anchor in taken:
        anchor, k = "{}-{}".format(base, k), k + 1
    taken.add(anchor)
    return anchor


def _normalise(results):
    """{factor name: bench result dict} from a result object, one bench
    result dict, or a dict of those."""
    if isinstance(results, _AnalysisResult):
        return {getattr(results, "name", "result"): {getattr(results, "name", "result"): results}}
    if not isinstance(results, dict):
        raise TypeError(
            "results: expected a result object, the bench's result dict or a "
            "dict of those, got {}".format(type(results).__name__)
        )
    if results and all(isinstance(v, dict) for v in results.values()):
        return results
    name = getattr(results, "factor_name", "factor")
    return {name: results}


def _with_plot_labels(title, table):
    """The industry table with a leading "in the plot" column when its
    plot cannot draw the industry names (no installed font has their
    glyphs) and labels the bars otherwise (English names, row numbers);
    the table itself otherwise."""
    if title != "pooled IC by industry":
        return table
    labels, _ = industry_plot_labels(table.index)
    if labels == [str(i) for i in table.index]:
        return table
    out = table.copy()
    out.insert(0, "in the plot", labels)
    return out


def _step_line(steps):
    """(name, text) per step, the text without the step's name when it
    starts with it ("winsorize (mad)", not "winsorize winsorize (mad)")."""
    out = []
    for name, text in steps.items():
        text = str(text)
        if text.startswith(str(name)):
            text = text[len(str(name)) :].strip()
        out.append((name, text))
    return out


def render(results, title="Factor test report", overview=None, dpi=96, sections=None):
    """The report's HTML text.  ``sections``: extra tables shown after the
    overview, a list of (title, DataFrame), (title, DataFrame, note) or
    (title, DataFrame, note, figure)."""
    env = jinja2.Environment(
        loader=jinja2.PackageLoader("tarnfold", "templates"),
        autoescape=jinja2.select_autoescape(["html", "j2"]),
    )

    taken = set()
    factors = []
    for fname, bench_result in _normalise(results).items():
        items = []
        ours = {step: r for step, r in bench_result.items() if isinstance(r, _AnalysisResult)}
        shared, per_result = split_summaries(ours)
        factor_plots = {}
        for step, (r, summary) in per_result.items():
            tables = [
                {"title": t, "html": table_html(_with_plot_labels(t, df))}
                for t, df in summary.items()
            ]
            plots = [
                {"title": ptitle, "png": to_png_base64(fig, dpi)}
                for ptitle, fig in r._figures(pyplot=False).items()
            ]
            items.append({"name": step, "kind": type(r).__name__, "tables": tables, "plots": plots})
            factor_plots = factor_plots or r._factor_figures(pyplot=False)
        factors.append(
            {
                "name": fname,
                "anchor": _anchor(fname, taken),
                "results": items,
                "shared": [{"title": t, "html": table_html(df)} for t, df in shared.items()],
                "shared_plots": [
                    {"title": t, "png": to_png_base64(fig, dpi)} for t, fig in factor_plots.items()
                ],
                "steps": _step_line(getattr(bench_result, "steps", {})),
                "periods": getattr(bench_result, "periods", ()),
            }
        )
    normalised = _normalise(results)
    comparison = None
    if len(normalised) > 1:
        table = comparison_table(normalised)
        if table is not None and len(table) <= FACTORS_ACROSS:
            table = table.T  # a few factors: one column each, a row per figure
        comparison = table_html(table) if table is not None else None
    return env.get_template("report.html.j2").render(
        title=title,
        overview=overview,
        factors=factors,
        conventions=CONVENTIONS,
        comparison=comparison,
        sections=[
            {
                "title": sec[0],
                "html": table_html(sec[1]),
                "note": sec[2] if len(sec) > 2 else None,
                "png": to_png_base64(sec[3], dpi) if len(sec) > 3 and sec[3] is not None else None,
            }
            for sec in (sections or ())
        ],
        version=__version__,
        generated=datetime.datetime.now().strftime("%Y-%m-%d %H:%M"),
    )


def report(results, path, title="Factor test report", overview=None, sections=None):
    """Write the HTML report of ``results`` to ``path`` and return the path.

    ``results``: a result object, the dict ``FactorAssayBench.analysis``
    returns, or a dict factor name -> such dicts (one section per factor).
    The file is written to a temporary name and renamed into place; a path
    that is a folder is refused before anything is computed."""
    path = os.fspath(path)
    if os.path.isdir(path):
        raise ValueError("path: expected a file name, got the folder {}".format(path))
    text = render(results, title=title, overview=overview, sections=sections)
    folder = os.path.dirname(os.path.abspath(path))
    os.makedirs(folder, exist_ok=True)
    tmp = os.path.join(folder, ".{}.{}.tmp".format(os.path.basename(path), uuid.uuid4().hex))
    try:
        with open(tmp, "x", encoding="utf-8") as fh:
            fh.write(text)
        os.replace(tmp, path)
    except BaseException:
        if os.path.exists(tmp):
            os.remove(tmp)
        raise
    return path
