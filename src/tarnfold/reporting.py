"""One self-contained HTML report of bench results (tables and embedded PNG
plots; opens offline, no external files)."""
import datetime
import os
import re
import uuid

import jinja2

from tarnfold.analysis.analysis_result import _AnalysisResult
from tarnfold.analysis.formatting import table_html
from tarnfold.analysis.plots import _labels, to_png_base64
from tarnfold.constants import TRADING_DAYS_PER_YEAR, __version__
from tarnfold.workflow import comparison_table, split_summaries

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
    "Groups: q1 holds the best factor values in the bench's order "
    "(ascending=False: the largest). Annualised figures use {} trading days a year; "
    "Sharpe ratios use a zero risk-free rate; maximum drawdown is negative."
    .format(TRADING_DAYS_PER_YEAR),
    "Data loss: every (date, instrument) pair of the factor table is counted once, "
    "at the first stage that dropped it.",
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
        raise TypeError("results: expected a result object, the bench's result dict or a "
                        "dict of those, got {}".format(type(results).__name__))
    if results and all(isinstance(v, dict) for v in results.values()):
        return results
    name = getattr(results, "factor_name", "factor")
    return {name: results}


def _numbered_for_plot(title, table):
    """The industry table with a leading "#" column (1 = first row) when
    its plot labels bars by row number, that is when the industry names
    need glyphs no installed font has; the table itself otherwise."""
    if title != "pooled IC by industry" or _labels(table.index)[0] is not None:
        return table
    out = table.copy()
    out.insert(0, "#", range(1, len(out) + 1))
    return out


def render(results, title="Factor test report", overview=None, dpi=80, sections=None):
    """The report's HTML text.  ``sections``: extra tables shown after the
    overview, a list of (title, DataFrame) or (title, DataFrame, note)."""
    env = jinja2.Environment(
        loader=jinja2.PackageLoader("tarnfold", "templates"),
        autoescape=jinja2.select_autoescape(["html", "j2"]))

    taken = set()
    factors = []
    for fname, bench_result in _normalise(results).items():
        items = []
        ours = {step: r for step, r in bench_result.items() if isinstance(r, _AnalysisResult)}
        shared, per_result = split_summaries(ours)
        for step, (r, summary) in per_result.items():
            tables = [{"title": t, "html": table_html(_numbered_for_plot(t, df))}
                      for t, df in summary.items()]
            plots = []
            for ptitle, fig in r.plot().items():
                plots.append({"title": ptitle, "png": to_png_base64(fig, dpi)})
            items.append({"name": step, "kind": type(r).__name__, "tables": tables,
                          "plots": plots})
        factors.append({
            "name": fname, "anchor": _anchor(fname, taken), "results": items,
            "shared": [{"title": t, "html": table_html(df)} for t, df in shared.items()],
            "steps": getattr(bench_result, "steps", {}),
            "periods": getattr(bench_result, "periods", ()),
        })
    normalised = _normalise(results)
    comparison = None
    if len(normalised) > 1:
        table = comparison_table(normalised)
        comparison = table_html(table) if table is not None else None
    return env.get_template("report.html.j2").render(
        title=title, overview=overview, factors=factors, conventions=CONVENTIONS,
        comparison=comparison,
        sections=[{"title": sec[0], "html": table_html(sec[1]),
                   "note": sec[2] if len(sec) > 2 else None} for sec in (sections or ())],
        version=__version__,
        generated=datetime.datetime.now().strftime("%Y-%m-%d %H:%M"))


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
