"""The IC analysis written out with plain pandas and scipy, step for step:
group-by/apply with the scipy statistic per date, one
unstack/shift/stack per decay lag, group-by per industry.  Tests compare the
compiled analyser with it; the benchmark times it."""

import warnings

import numpy as np
import pandas as pd
from scipy import stats


def ic_func(rank_ic):
    func = stats.spearmanr if rank_ic else stats.pearsonr

    def wrapper(fs, rs):
        mask = ~(np.isnan(fs) | np.isnan(rs))
        if mask.sum() > 1:
            return func(fs[mask], rs[mask])
        return 0, 0

    return wrapper


def scipy_ic(x, f, rank_ic):
    """The IC function on one group's values, scipy warnings silenced:
    (statistic, p-value) as floats."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        res = ic_func(rank_ic)(np.asarray(x, float), np.asarray(f, float))
    return float(res[0]), float(res[1])


def assert_ic_matches_scipy(fd, ic, p_value, rank_ic, stat_tol=(0, 1e-12), p_tol=(1e-9, 0)):
    """Every date and return field of the IC and p-value tables of the
    formatted frame ``fd`` against scipy on that date's rows; tolerances
    are (rtol, atol), NaN where scipy gives NaN."""
    fields = return_fields(fd.columns)
    assert list(ic.columns) == fields and list(p_value.columns) == fields
    assert ic.index.equals(p_value.index) and ic.index.name == "datetime"
    assert len(ic) == fd.index.get_level_values("datetime").nunique()
    for date, rows in fd.groupby(level="datetime"):
        for field in fields:
            stat, p = scipy_ic(rows[field], rows["factor"], rank_ic)
            where = "{} {}".format(date, field)
            np.testing.assert_allclose(ic.loc[date, field], stat, *stat_tol, err_msg=where)
            np.testing.assert_allclose(p_value.loc[date, field], p, *p_tol, err_msg=where)


def forward_returns(values, p):
    """prod(1 + r) over the p rows after each row, minus 1, folded left in
    date order; NaN returns count as zero; NaN before an instrument's first
    return and on the last p rows."""
    values = np.asarray(values, dtype=np.float64)
    g = np.where(np.isnan(values), 1.0, values + 1.0)
    n = len(values)
    first = np.where(np.isnan(values).all(axis=0), n, np.argmax(~np.isnan(values), axis=0))
    out = np.full(values.shape, np.nan)
    for t in range(n - p):
        acc = g[t + 1].copy()
        for i in range(2, p + 1):
            acc = acc * g[t + i]
        out[t] = np.where(t >= first, acc - 1.0, np.nan)
    return out


def return_fields(columns):
    return [c for c in columns if c.startswith("P_")]


def format_factor_data(factor_data, returns, periods):
    cumprod = (returns + 1).cumprod().ffill()
    index = factor_data.index.intersection(returns.index)
    table = {}
    for p in periods:
        prod = (cumprod.shift(-p) / cumprod).reindex(index) - 1
        table["P_{}".format(p)] = np.concatenate(prod.values)
    mindex = pd.MultiIndex.from_product(
        [index, returns.columns], names=["datetime", "order_book_id"]
    )
    df = pd.DataFrame(table, index=mindex)
    df["factor"] = np.concatenate(factor_data.reindex(index, columns=returns.columns).values)
    return df


def calc_ic(factor_data, func):
    fields = return_fields(factor_data.columns)

    def per_date(g):
        f = g["factor"]
        return g[fields].apply(lambda x: func(x, f))

    df = factor_data.groupby(level="datetime").apply(per_date)
    msk = df.index.get_level_values(1) == 0
    df = df.reset_index(1, drop=True)
    return df[msk], df[~msk]


def calc_ic_decay(factor_data, ic, func, max_decay):
    if not max_decay:
        return None
    fields = return_fields(factor_data.columns)

    def per_date(g):
        f = g["factor"]
        return g[fields].apply(lambda x: func(x, f)[0])

    ic = ic.copy()
    ic["decay"] = 0
    decay_list = [ic.set_index("decay", append=True)]
    for d in range(1, max_decay):
        shifted = factor_data[fields].unstack("order_book_id").shift(-d)
        shifted = shifted.stack("order_book_id")
        shifted["factor"] = factor_data["factor"]
        shifted = shifted.dropna()
        if len(shifted) == 0:
            continue
        ret = shifted.groupby(level="datetime").apply(per_date)
        ret["decay"] = d
        decay_list.append(ret.set_index("decay", append=True))
    return pd.concat(decay_list).sort_index()


def industry_labels(factor_data, industry):
    series = pd.Series(industry) if isinstance(industry, dict) else industry.copy()
    ids = factor_data.index.get_level_values("order_book_id")
    series = series.reindex(ids.unique()).fillna("Unknown")
    return pd.Series(index=factor_data.index, data=series[ids].values)


def calc_ic_industry(factor_data, labels, func):
    fields = return_fields(factor_data.columns)

    def per_industry(g):
        fs = g["factor"]
        return g[fields].apply(lambda x: func(x, fs)[0])

    return factor_data.groupby(labels).apply(per_industry)


def ic_analysis(
    factor_data, returns, periods, rank_ic=True, industry=None, max_decay=None, ascending=True
):
    fd = format_factor_data(factor_data, returns, periods)
    if rank_ic and ascending:
        fd["factor"] *= -1
    func = ic_func(rank_ic)
    ic, p = calc_ic(fd, func)
    decay = calc_ic_decay(fd, ic, func, max_decay)
    ind = None if industry is None else calc_ic_industry(fd, industry_labels(fd, industry), func)
    return ic, p, decay, ind
