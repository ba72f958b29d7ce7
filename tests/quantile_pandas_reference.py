"""The quantile return and factor return analyses written out with plain
pandas and numpy, step for step: labels per date through apply_along_axis,
the staggered schedules as date x instrument x schedule tables built with
repeat/resize/roll, group-by per schedule and label with Python sets for
turnover.  pct_change is spelled out as forward fill, then x / x.shift(1) - 1,
so that the numbers do not depend on the pandas version.  Tests compare the
compiled analysers with it; the benchmark times it."""

import numpy as np
import pandas as pd


def my_quantile(arr, q=1, labels=None):
    res = np.zeros(arr.size, dtype="O")
    msk = ~np.isnan(arr)
    x = arr[msk]
    res[~msk] = np.nan
    if x.size == 0:
        return res
    ls = np.linspace(0, 1, q + 1)
    idx = ls * (x.size - 1)
    fraction = idx % 1
    pos = idx.astype(int)
    _x = np.sort(x)
    a = _x[pos]
    b = np.roll(_x, shift=-1)[pos]
    bins = a + (b - a) * fraction
    bins[0] = bins[0] - 1
    res[msk] = labels[np.digitize(x, bins, True) - 1]
    return res


def calc_turnover(x):
    # Instrument codes as plain Python strings: iterating an arrow-backed
    # string column element by element would dominate the timing.
    table = x.reset_index().astype({"order_book_id": object})
    sets = table.groupby("datetime").agg({"order_book_id": set})["order_book_id"]
    members = list(sets.values)
    joined = [set()] + [now - before for now, before in zip(members[1:], members[:-1])]
    return pd.Series([len(j) / len(s) for j, s in zip(joined, members)], index=sets.index)


def turnover_of_schedule(column):
    labelled = column.dropna()
    parts = {label: calc_turnover(x) for label, x in labelled.groupby(labelled)}
    if not parts:
        return pd.Series(dtype=float)
    return pd.concat(parts, names=[column.name, "datetime"])


def calc_level_returns_of_period(lv_returns, period_tags, period):
    lv_name = lv_returns.name
    parts = {
        label: s.groupby(level="datetime").mean()
        for label, s in lv_returns.groupby(period_tags[lv_name])
    }
    if not parts:
        return pd.Series(dtype=float)
    _returns = pd.concat(parts, names=[lv_name, "datetime"]).unstack(lv_name)
    filled = _returns.ffill()
    pct = filled / filled.shift(1) - 1
    pct.iloc[::period] = _returns.iloc[::period] - 1
    return pct.unstack()


def _mean_of_schedules(parts):
    parts = [p for p in parts if len(p)]
    if not parts:
        return pd.Series(dtype=float)
    return pd.concat(parts, axis=1).mean(axis=1)


def _staggered(values, lv, period, shape, data_length):
    t = np.repeat(values[lv::period], period, axis=0)
    t = np.resize(t, shape)
    t = np.roll(t, shift=lv, axis=0)
    t[:lv] = np.nan
    return t


def quantile_return_analysis(factor_data, returns, periods, quantile=5, ascending=True):
    """Returns (quantile_returns, quantile_turnover, quantile_detail,
    top_minus_bottom_returns)."""
    factor = factor_data.shift(1)
    tags = np.array(["q{}".format(i) for i in range(1, quantile + 1)])
    cum_returns = returns.add(1).cumprod().reindex(factor.index, columns=factor.columns)
    quantile_returns = pd.DataFrame(
        index=pd.MultiIndex.from_product([tags, cum_returns.index], names=["tag", "datetime"])
    )
    quantile_turnover = quantile_returns.copy()
    multi_index = pd.MultiIndex.from_product(
        [cum_returns.index, cum_returns.columns], names=["datetime", "order_book_id"]
    )
    shape = cum_returns.shape
    data_length = len(multi_index)
    ranked = factor.rank(method="first", ascending=ascending, axis=1)
    tags_value = np.apply_along_axis(
        my_quantile, axis=1, arr=ranked.values, q=quantile, labels=tags
    )
    cum_value = cum_returns.values
    div_value = cum_returns.shift(1, fill_value=1).values
    for period in periods:
        period_tags = {}
        period_returns = {}
        for lv in range(1, period + 1):
            col = "lv{}".format(lv)
            period_tags[col] = np.resize(
                _staggered(tags_value, lv, period, shape, data_length), (data_length,)
            )
            _div = _staggered(div_value, lv, period, shape, data_length)
            period_returns[col] = np.resize(cum_value / _div, (data_length,))
        period_tags = pd.DataFrame(period_tags, index=multi_index)
        period_returns = pd.DataFrame(period_returns, index=multi_index)
        period_col = "P_{}".format(period)
        quantile_returns[period_col] = _mean_of_schedules(
            [
                calc_level_returns_of_period(period_returns[c], period_tags, period)
                for c in period_returns.columns
            ]
        )
        quantile_turnover[period_col] = _mean_of_schedules(
            [turnover_of_schedule(period_tags[c]) for c in period_tags.columns]
        )
    quantile_returns = quantile_returns.fillna(0)
    top_minus_bottom = quantile_returns.loc[tags[0]] - quantile_returns.loc[tags[-1]]
    top_minus_bottom = top_minus_bottom.add(1).cumprod().sub(1)
    quantile_returns = quantile_returns.groupby(level="tag", group_keys=False).transform(
        lambda x: x.add(1).cumprod().sub(1)
    )
    quantile_detail = pd.DataFrame(data=tags_value, index=factor.index, columns=factor.columns)
    return quantile_returns, quantile_turnover, quantile_detail, top_minus_bottom


def factor_return_analysis(factor_data, returns, periods, ascending=True):
    """Cumulative factor portfolio returns, one column per period.  The base
    of a holding window is the growth index at the close of the row before
    the rebalance, a missing return counted as zero."""
    factor = factor_data.shift(1)
    demean = factor.sub(factor.mean(axis=1), axis=0)
    weights = demean.div(demean.abs().sum(axis=1), axis=0)
    if ascending:
        weights = -weights
    growth = returns.add(1).cumprod()
    cum_returns = growth.reindex(factor.index, columns=factor.columns)
    level = growth.ffill().reindex(factor.index, columns=factor.columns).ffill()
    columns = {}
    for period in periods:
        res = []
        for lv in range(1, period + 1):
            weight = weights[lv::period].reindex(factor.index).ffill()
            div_factor = level.shift(1, fill_value=1)[lv::period]
            div_factor = div_factor.reindex(cum_returns.index).ffill()
            _returns = cum_returns / div_factor - 1
            wr = (weight * _returns).sum(axis=1)
            grown = wr.add(1)
            change_rate = grown / grown.shift(1) - 1
            change_rate.iloc[lv::period] = wr.iloc[lv::period]
            res.append(change_rate)
        columns["P_{}".format(period)] = pd.concat(res, axis=1).mean(axis=1)
    factor_returns = pd.DataFrame(columns, index=factor.index)
    factor_returns.index.name = "datetime"
    return factor_returns.fillna(0).add(1).cumprod().sub(1)
