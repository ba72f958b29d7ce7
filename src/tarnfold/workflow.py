"""The whole factor test in one call: build the bench, run it, account for
every (date, instrument) pair that was dropped, and hand back results that
summarise, plot and report themselves.

The steps are listed once, in ``bench_steps``; a step whose class is not
available in the installed module (it raises ``NotImplementedError``) is
left out, so the command and the demo use whatever the build supports.
"""
import time
import warnings

import numpy as np
import pandas as pd

from tarnfold.analysis import statistics as st
from tarnfold.analysis.daily_returns import load_daily_returns

DEFAULT_PERIODS = (1, 5, 20)
PREPROCESS_STEPS = ("winsorize", "normalize", "neutralize")


class AssayResults(dict):
    """The bench's result dictionary (step name -> result object) with what
    the run was: ``factor_name``, ``periods``, ``steps`` (step name ->
    description), ``skipped`` (steps the installed module does not support)
    and ``elapsed`` seconds."""

    def __init__(self, results, factor_name="factor", periods=(), steps=None,
                 skipped=(), elapsed=float("nan")):
        super().__init__(results)
        self.factor_name = factor_name
        self.periods = tuple(periods)
        self.steps = dict(steps or {})
        self.skipped = list(skipped)
        self.elapsed = elapsed

    def _repr_html_(self):
        import html
        from tarnfold.analysis.formatting import table_html
        parts = ["<h3>factor {}</h3>".format(html.escape(str(self.factor_name)))]
        shared, per_result = split_summaries(self)
        for step, (r, tables) in per_result.items():
            parts.append("<div><h4>{} <small>({})</small></h4>".format(
                html.escape(str(step)), type(r).__name__))
            parts += ["<h5>{}</h5>{}".format(html.escape(t), table_html(df))
                      for t, df in tables.items()]
            parts.append("</div>")
        parts += ["<h5>{}</h5>{}".format(html.escape(t), table_html(df))
                  for t, df in shared.items()]
        if self.skipped:
            parts.append("<p>Not available in this build: {}</p>".format(
                html.escape(", ".join(self.skipped))))
        return "\n".join(parts)

    def summary_text(self):
        """Every result's summary tables as console text; the factor's own
        tables (rank autocorrelation, data loss) once, at the end."""
        from tarnfold.analysis.formatting import format_table
        parts = ["#### factor {}".format(self.factor_name)]
        shared, per_result = split_summaries(self)
        for step, (r, tables) in per_result.items():
            parts.append("== {} ({}) ==".format(step, type(r).__name__))
            parts += [format_table(df, t) for t, df in tables.items()]
        if shared:
            parts.append("== factor {} ==".format(self.factor_name))
            parts += [format_table(df, t) for t, df in shared.items()]
        return "\n\n".join(parts)


FACTOR_TABLES = ("factor rank autocorrelation", "data loss (date, instrument) pairs")


def split_summaries(results):
    """The summary tables of a bench result dict, split into the factor's
    own tables (``FACTOR_TABLES``: the same in every result of one run, so
    shown once) and each result's own.

    Returns ``(shared, per_result)``: ``shared`` is title -> DataFrame;
    ``per_result`` is step -> (result, title -> DataFrame) for the results
    that have ``summary()``.  A factor table that differs between results
    (results gathered from different runs) stays with each result."""
    summaries = {step: (r, r.summary()) for step, r in results.items()
                 if hasattr(r, "summary")}
    shared = {}
    for title in FACTOR_TABLES:
        found = [tables[title] for _, tables in summaries.values() if title in tables]
        if found and all(t is found[0] or t.equals(found[0]) for t in found[1:]):
            shared[title] = found[0]
    per_result = {step: (r, {t: df for t, df in tables.items() if t not in shared})
                  for step, (r, tables) in summaries.items()}
    return shared, per_result


# -- which steps the installed module supports ---------------------------------

def _probe_tables():
    dates = pd.bdate_range("2020-01-01", periods=6)
    ids = ["A", "B", "C", "D"]
    rng = np.random.default_rng(0)
    factor = pd.DataFrame(rng.normal(size=(6, 4)), index=dates, columns=ids)
    returns = pd.DataFrame(rng.normal(0, 0.01, size=(6, 4)), index=dates, columns=ids)
    factor.index.name = returns.index.name = "datetime"
    factor.columns.name = returns.columns.name = "order_book_id"
    return factor, returns


_SUPPORT = {}


def step_supported(make_step, kind, key):
    """True unless building the step, or running it on a tiny offline table,
    raises NotImplementedError (a step this build does not have yet).  Any
    other outcome means the real code ran."""
    if key in _SUPPORT:
        return _SUPPORT[key]
    factor, returns = _probe_tables()
    ok = True
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            step = make_step(offline=True)
            if kind == "preprocessor":
                step.process(factor)
            else:
                step.analysis(factor, returns, [1], ascending=False)
        except NotImplementedError:
            ok = False
        except Exception:  # the step exists; the probe's inputs just don't suit it
            ok = True
    _SUPPORT[key] = ok
    return ok


def bench_steps(preprocess=("winsorize", "normalize", "neutralize"), winsorize="mad",
                industry="citics_2019", max_decay=10, quantile=5, benchmark="000300.XSHG",
                analysers=("ic", "quantile", "factor_return")):
    """The bench's steps in order, as a list of (name, kind, factory, text).

    ``factory(offline=False)`` builds the step; with ``offline=True`` it
    builds a variant that needs no market data (used to probe whether the
    installed module supports it).  Add a step by adding one entry here."""
    from tarnfold.analysis import assay_bench as ab

    ind = None if industry is None or (isinstance(industry, str) and not industry) else industry
    bm = benchmark or None
    ind_text = ind if ind is None or isinstance(ind, str) else \
        "from a table of {} instruments".format(len(ind))
    exposures = pd.DataFrame(
        {"x": np.arange(24.0)},
        index=pd.MultiIndex.from_product([pd.bdate_range("2020-01-01", periods=6),
                                          ["A", "B", "C", "D"]],
                                         names=["datetime", "order_book_id"]))
    catalogue = {
        "winsorize": ("preprocessor",
                      lambda offline=False: ab.Winzorization(method=winsorize),
                      "winsorize ({})".format(winsorize)),
        "normalize": ("preprocessor",
                      lambda offline=False: ab.Normalization(),
                      "normalize (z-score per date)"),
        "neutralize": ("preprocessor",
                       lambda offline=False: (
                           ab.Neutralization(industry=None, style_factors=None,
                                             other_factors=[exposures]) if offline else
                           ab.Neutralization(industry=ind, style_factors="all")),
                       "neutralize (industry {}, all styles)".format(ind_text)),
        "ic": ("analyser",
               lambda offline=False: ab.ICAnalysis(
                   rank_ic=True, industry_classification=None if offline else ind,
                   max_decay=max_decay),
               "rank IC, decay {} lags, industry {}".format(max_decay, ind_text)),
        "quantile": ("analyser",
                     lambda offline=False: ab.QuantileReturnAnalysis(
                         quantile=quantile, benchmark=None if offline else bm),
                     "{} quantile groups against {}".format(quantile, bm)),
        "factor_return": ("analyser",
                          lambda offline=False: ab.FactorReturnAnalysis(),
                          "factor-weighted long-short return"),
    }
    wanted = [s for s in preprocess if s] + [a for a in analysers if a]
    unknown = [s for s in wanted if s not in catalogue]
    if unknown:
        raise ValueError("unknown step(s) {}; choose from {}".format(
            ", ".join(unknown), ", ".join(catalogue)))
    return [(name,) + catalogue[name] for name in wanted]


# -- the data-loss account -------------------------------------------------------

def _ymd(text):
    """YYYY-MM-DD texts as YYYYMMDD integers (comparable like the dates)."""
    return np.asarray(pd.Series(text, dtype=object).str.replace("-", "", regex=False)
                      .astype(np.int64))


def _listed_mask(dates, ids):
    """dates x ids booleans from the store's listing dates (unknown ids are
    never listed), or None when no store answers."""
    try:
        import mivada
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
        import mivada
        exp = mivada.get_style_factor_exposure(order_book_ids=list(ids), start_date=dates[0],
                                               end_date=dates[-1])
    except Exception:
        return None
    missing = np.ones((len(dates), len(ids)), bool)
    if exp is None or len(exp) == 0:
        return missing
    complete = exp.notna().all(axis=1).to_numpy()
    index = exp.index
    date_level = list(index.names).index("date") if "date" in index.names else 0
    id_level = 1 - date_level if "date" in index.names else index.nlevels - 1

    def positions(level, labels):
        # row positions through the level's codes: no per-row labels built
        where = pd.Index(labels).get_indexer(index.levels[level])
        codes = np.asarray(index.codes[level])
        return np.where(codes >= 0, where[codes], -1)

    rows = positions(date_level, dates)
    cols = positions(id_level, ids)
    ok = (rows >= 0) & (cols >= 0)
    missing[rows[ok], cols[ok]] = ~complete[ok]
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
    other = lost_pre & ~not_listed & ~no_exposure
    usable = has_raw & ~lost_pre

    fwd_valid = _forward_return_valid(returns, dates, ids, periods)
    table = {}
    for p in periods:
        field = "P_{}".format(p)
        has_fwd = fwd_valid[p]
        table[field] = {
            "pairs in factor table": raw.size,
            "NaN factor": int((~has_raw).sum()),
            "not listed": int(not_listed.sum()),
            "no exposure": int(no_exposure.sum()),
            "preprocessing (other)": int(other.sum()),
            "no forward return": int((usable & ~has_fwd).sum()),
            "used": int((usable & has_fwd).sum()),
        }
    out = pd.DataFrame(table)
    out.index.name = "stage"
    return out.astype(int)


def comparison_table(all_results):
    """One row per factor: mean IC and Newey-West t per period (from the
    first IC result of each), the top-minus-bottom Sharpe ratio and the
    factor-return Sharpe ratio per period when present."""
    from tarnfold.analysis.analysis_result import (
        FactorReturnAnalysisResult, ICAnalysisResult, QuantileReturnAnalysisResult)
    rows = {}
    for fname, results in all_results.items():
        row = {}
        for r in results.values():
            if isinstance(r, ICAnalysisResult) and not any(k.startswith("IC ") for k in row):
                s = st.ic_summary(r.ic, r.ic_p_value)
                for field in s.index:
                    row["IC {}".format(field)] = s.loc[field, "mean"]
                    row["NW t {}".format(field)] = s.loc[field, "NW t"]
            elif isinstance(r, QuantileReturnAnalysisResult):
                s = r.summary()["groups by holding period"]
                for field in s.index.get_level_values("period").unique():
                    row["top-bottom Sharpe {}".format(field)] = s.loc[(field, "top-bottom"),
                                                                      "Sharpe"]
            elif isinstance(r, FactorReturnAnalysisResult):
                s = r.summary()["factor return by holding period"]
                for field in s.index:
                    row["factor return Sharpe {}".format(field)] = s.loc[field, "Sharpe"]
        rows[fname] = row
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
    factor = np.where(np.isnan(r), 1.0, 1.0 + r)
    rows = returns.index.get_indexer(dates)
    cols = returns.columns.get_indexer(ids)
    out = {}
    for p in periods:
        valid = np.zeros(r.shape, dtype=bool)
        if p < n:
            valid[:n - p] = started[:n - p]
            if not np.isfinite(factor).all():
                # only infinite returns can make the product NaN (inf * 0)
                prod = np.ones((n - p, r.shape[1]))
                with np.errstate(invalid="ignore", over="ignore"):
                    for k in range(1, p + 1):
                        prod *= factor[k:n - p + k]
                valid[:n - p] &= ~np.isnan(prod)
        pick = valid[np.ix_(np.where(rows >= 0, rows, 0), np.where(cols >= 0, cols, 0))]
        pick[rows < 0, :] = False
        pick[:, cols < 0] = False
        out[p] = pick
    return out


# -- running it -------------------------------------------------------------------

def assay(factor, returns="daily", periods=DEFAULT_PERIODS, ascending=False, steps=None,
          factor_name="factor", progress=None, account=True):
    """Test one factor with the whole bench and return ``AssayResults``.

    ``factor``: dates x instruments; ``returns``: "daily" (from the open
    store) or a dates x instruments table of daily simple returns;
    ``ascending``: False when larger factor values are better (the bench's
    default; every analyser on its own defaults to True); ``steps``: the
    output of ``bench_steps`` (default: every supported step).  Each result
    gets ``data_loss`` and ``rank_autocorrelation`` (unless ``account`` is
    False)."""
    from tarnfold.analysis import assay_bench as ab

    say = progress or (lambda msg: None)
    t0 = time.perf_counter()
    if isinstance(periods, (int, np.integer)):
        periods = (int(periods),)
    periods = tuple(int(p) for p in periods)
    if not periods or min(periods) < 1:
        raise ValueError("periods: expect positive integers, got {}".format(periods))
    ab._validate_data_frame(factor, "factor")
    if isinstance(returns, str):
        if returns != "daily":
            raise ValueError('returns: expect a DataFrame or "daily", got {!r}'.format(returns))
        say("loading daily returns of {} instruments".format(factor.shape[1]))
        returns = load_daily_returns(factor, periods)
    steps = bench_steps() if steps is None else steps

    bench = ab.FactorAssayBench()
    used, skipped = {}, []
    for name, kind, make, text in steps:
        if not step_supported(make, kind, name):
            skipped.append(name)
            continue
        bench.append((name, make()))
        used[name] = text
    preprocessors = [name for name, kind, _, _ in steps if kind == "preprocessor" and name in used]
    say("running {} on {} dates x {} instruments".format(
        ", ".join(used), factor.shape[0], factor.shape[1]))
    raw = factor  # the bench only renames its axes
    results = bench.analysis(factor, returns, ascending=ascending, periods=periods,
                             keep_preprocess_result=account and bool(preprocessors))
    if results is None:
        results = {}
    processed = results[preprocessors[-1]] if (account and preprocessors) else factor
    for name in preprocessors:
        results.pop(name, None)
    if account:
        say("accounting for dropped pairs")
        loss = data_loss_account(raw, processed, returns, periods,
                                 neutralized="neutralize" in preprocessors)
        if loss.loc["used"].max() == 0:
            warnings.warn("no (date, instrument) pair has both a factor value and a forward "
                          "return: do the factor's dates and instruments match the returns "
                          "(or the store's)?")
        autocorr = st.rank_autocorrelation(processed, periods)
        for r in results.values():
            try:
                r.data_loss = loss
                r.rank_autocorrelation = autocorr
            except AttributeError:  # a user analyser's result
                pass
    return AssayResults(results, factor_name, periods, used, skipped,
                        time.perf_counter() - t0)
