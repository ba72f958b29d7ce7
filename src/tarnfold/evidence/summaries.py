"""Tables that the bench's own results gain from the evidence: the
monotonicity of the group returns, alpha and beta against the benchmark,
and the Sharpe ratios given the search (probabilistic and deflated)."""

import pandas as pd

from tarnfold.analysis import statistics as st
from tarnfold.analysis.statistics import period_of
from tarnfold.evidence import inference as inf


def group_presence(result):
    """The group presence of a quantile result (``statistics.group_presence``),
    computed once per result."""
    return _cached(result)[1]


def _cached(result):
    """[key, group presence, daily series by period, tables by name, label
    codes of the detail table or None] of a quantile result, kept on it
    while its tables stay the same objects."""
    key = (
        id(result.quantile_returns),
        id(result.quantile_detail),
        id(result.top_minus_bottom_returns),
        id(getattr(result, "benchmark_return", None)),
    )
    cache = result.__dict__.get("_dailies")
    if cache is None or cache[0] != key:
        labels = list(pd.unique(result.quantile_returns.index.get_level_values("tag")))
        codes = st._label_codes(result.quantile_detail)
        cache = [key, st.group_presence(result.quantile_detail, labels, codes), {}, {}, codes]
        result.__dict__["_dailies"] = cache
    return cache


def label_codes(result):
    """``statistics._label_codes`` of a quantile result's detail table, read
    once for its group presence and the summary table; ``forget_label_codes``
    lets them go."""
    cache = _cached(result)
    if cache[4] is None:
        cache[4] = st._label_codes(result.quantile_detail)
    return cache[4]


def forget_label_codes(result):
    """Drop the kept label codes (a dates x instruments table) of a quantile
    result."""
    _cached(result)[4] = None


def remembered(result, name, compute):
    """compute() once per quantile result (the summary and the headline
    both read its tables)."""
    tables = _cached(result)[3]
    if name not in tables:
        tables[name] = compute()
    return tables[name]


def _group_dailies(result, field):
    """``statistics.group_daily_returns`` of a quantile result, computed once per
    result and period: the summary, its tables and the headline all read
    them (the group presence behind them is one pass over every label)."""
    cache = _cached(result)
    found = cache[2].get(field)
    if found is None:
        found = st.group_daily_returns(
            result.quantile_returns,
            result.quantile_detail,
            result.top_minus_bottom_returns,
            field,
            cache[1],
        )
        cache[2][field] = found
    return found


def monotonicity_table(result):
    """Per period: whether the groups' daily returns fall from q1 to the
    last group (``inference.monotonicity``)."""
    return remembered(result, "monotonicity", lambda: _monotonicity_table(result))


def _monotonicity_table(result):
    rows = {}
    for field in result.quantile_returns.columns:
        dailies = _group_dailies(result, field)
        groups = pd.DataFrame({k: v for k, v in dailies.items() if k != "top-bottom"})
        rows[field] = inf.monotonicity(groups.to_numpy(dtype=float), period_of(field))
    out = pd.DataFrame.from_dict(rows, orient="index")
    out.index.name = "period"
    return out.astype({"steps in order": int, "steps": int, "dates": int})


def benchmark_table(result, periods_per_year):
    """Per period: alpha (daily and annualised, Newey-West t with P_n - 1
    lags), beta and R^2 of the first group and of the top-bottom spread
    regressed on the benchmark's daily returns; None without a benchmark."""
    bench = getattr(result, "benchmark_return", None)
    if bench is None:
        return None
    bench_daily = st.daily_from_cumulative(pd.Series(bench, dtype=float))
    rows = []
    for field in result.quantile_returns.columns:
        dailies = _group_dailies(result, field)
        first = next(iter(dailies))
        for label in (first, "top-bottom"):
            row = {"period": field, "portfolio": label}
            row.update(
                inf.alpha_beta(
                    dailies[label],
                    bench_daily,
                    lags=max(period_of(field) - 1, 0),
                    periods_per_year=periods_per_year,
                )
            )
            rows.append(row)
    return pd.DataFrame(rows).set_index(["period", "portfolio"]).astype({"days": int})


def sharpe_table(dailies_by_field, periods_per_year):
    """Per period: the Sharpe ratio given the search, for one trial (the
    deflated Sharpe ratio of a single factor is its probabilistic Sharpe
    ratio against 0; a batch summary deflates by its trials)."""
    rows = inf.sharpe_given_search(dailies_by_field, trials=1, periods_per_year=periods_per_year)
    out = pd.DataFrame.from_dict(rows, orient="index")
    out.index.name = "period"
    return out.astype({"days": int, "trials": int})


def top_bottom_dailies(result):
    return {
        field: _group_dailies(result, field)["top-bottom"]
        for field in result.quantile_returns.columns
    }


def factor_return_dailies(result):
    return {
        field: st.daily_from_cumulative(result.factor_returns[field])
        for field in result.factor_returns.columns
    }


def sharpe_headline(label, dailies_by_field, periods):
    """Flat figures a batch deflates by its trials: "<label> SR/day P_n",
    skew, kurtosis, days and the one-trial PSR."""
    wanted = None if periods is None else {"P_{}".format(int(p)) for p in periods}
    out = {}
    for field, daily in dailies_by_field.items():
        if wanted is not None and field not in wanted:
            continue
        m = inf.sharpe_moments(daily)
        out["{} SR/day {}".format(label, field)] = m["SR"]
        out["{} skew {}".format(label, field)] = m["skew"]
        out["{} kurtosis {}".format(label, field)] = m["kurtosis"]
        out["{} days {}".format(label, field)] = m["n"]
        out["{} PSR {}".format(label, field)] = inf.probabilistic_sharpe(
            m["SR"], m["skew"], m["kurtosis"], m["n"]
        )
    return out
