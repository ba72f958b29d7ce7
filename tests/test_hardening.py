"""Inputs that used to give silent wrong answers: stale reference data after
switching stores, "daily" on unsorted factor tables, forward returns that
depended on where the returns table starts, the integer rank-sum bound, and
arguments that cannot mean anything."""

import numpy as np
import pandas as pd
import pytest

import mivada
from mivada.sample import SampleSize, build_sample_store
from tarnfold import _kernels
from tarnfold.analysis import assay_bench as ab

import ic_pandas_reference as ref
from _tables import random_table


@pytest.fixture(scope="module")
def two_stores(tmp_path_factory):
    folder = tmp_path_factory.mktemp("two")
    paths = []
    for seed in (1, 2):
        path = str(folder / "s{}.duckdb".format(seed))
        build_sample_store(path, SampleSize(20, 60, seed=seed))
        paths.append(path)
    yield paths
    mivada.close()


def stock_ids():
    return mivada.all_instruments("CS")["order_book_id"].tolist()


def test_cached_history_follows_the_current_store(two_stores):
    first, second = two_stores
    mivada.init(first)
    ids_first = set(ab._cache_industry_data(source="citics_2019").index.get_level_values(0))
    assert ids_first <= set(stock_ids())
    mivada.init(second)
    ids_second = set(ab._cache_industry_data(source="citics_2019").index.get_level_values(0))
    assert ids_second <= set(stock_ids()) and not ids_second & ids_first
    # The analysis on the second store labels its own stocks.
    dates = mivada.get_trading_dates("2023-12-01", "2023-12-29")
    labels = ab._load_industry_data(stock_ids(), dates, source="citics_2019")
    assert labels.notna().all() and set(labels.index.get_level_values(1)) <= set(stock_ids())


def test_a_caller_changing_the_cached_history_changes_no_one_else(two_stores):
    mivada.init(two_stores[0])
    first = ab._cache_industry_data(source="sws")
    pristine = first.copy()
    assert ab._cache_industry_data(source="sws") is first  # one query within the hour
    first.iloc[0] = "changed"
    again = ab._cache_industry_data(source="sws")
    pd.testing.assert_series_equal(again, pristine)


def daily_factor():
    dates = mivada.get_trading_dates("2023-10-09", "2023-12-29")
    ids = stock_ids()
    rng = np.random.default_rng(7)
    return pd.DataFrame(rng.normal(size=(len(dates), len(ids))), index=dates, columns=ids)


def run_ic(factor, returns="daily", periods=(1, 3), **kw):
    bench = ab.FactorAssayBench()
    bench.append(("ic", ab.ICAnalysis(**kw)))
    return bench.analysis(factor, returns, periods=periods)["ic"]


def test_daily_returns_use_the_earliest_and_latest_factor_dates(two_stores):
    mivada.init(two_stores[0])
    factor = daily_factor()
    expected = run_ic(factor).ic
    # one row out of place, and the whole table reversed
    moved = factor.iloc[[*range(1, 20), 0, *range(20, len(factor))]]
    for unsorted in (moved, factor.iloc[::-1]):
        got = run_ic(unsorted.copy()).ic
        pd.testing.assert_frame_equal(got.sort_index(), expected)
    with pytest.raises(ValueError, match="no date in common"):
        run_ic(factor.iloc[:0].copy())


def test_daily_returns_reach_past_the_end_of_an_ingested_calendar(tmp_path):
    # A store made from bars alone: its calendar ends on its last bar.
    dates = pd.bdate_range("2023-01-02", periods=30)
    ids = ["000001.XSHE", "000002.XSHE", "000003.XSHE"]
    rng = np.random.default_rng(3)
    close = 10 * np.cumprod(1 + rng.normal(0, 0.02, (len(dates), len(ids))), axis=0)
    folder = tmp_path / "in"
    folder.mkdir()
    pd.DataFrame({"order_book_id": ids, "type": "CS", "listed_date": "2020-01-01"}).to_csv(
        folder / "instruments.csv", index=False
    )
    bars = pd.DataFrame(close, index=dates, columns=ids).stack().rename("close").reset_index()
    bars.columns = ["date", "order_book_id", "close"]
    bars["date"] = bars["date"].dt.strftime("%Y-%m-%d")
    bars.to_csv(folder / "daily_bars.csv", index=False)
    store = str(tmp_path / "store.duckdb")
    mivada.ingest(folder, store)
    mivada.init(store)
    try:
        factor = pd.DataFrame(rng.normal(size=(len(dates), len(ids))), index=dates, columns=ids)
        result = run_ic(factor, periods=(1, 5))
        # the last factor dates have no forward return (IC 0: fewer than two pairs)
        assert list(result.ic.index) == list(dates)
        assert (result.ic.iloc[-5:]["P_5"] == 0).all() and (result.ic.iloc[-1] == 0).all()
        assert (result.ic.iloc[1:-5].abs() > 0).all().all()
    finally:
        mivada.close()


# -- forward returns ------------------------------------------------------------


@pytest.mark.filterwarnings("ignore:An input array is constant")
def test_forward_returns_are_products_of_the_following_returns(rng):
    returns = pd.DataFrame(
        rng.normal(0, 0.03, (120, 9)),
        index=pd.bdate_range("2021-01-04", periods=120),
        columns=["{:06d}.XSHE".format(k) for k in range(1, 10)],
    )
    returns.iloc[45:] = returns.iloc[45:].mask(rng.random((75, 9)) < 0.1)
    returns.iloc[:5, 2] = np.nan
    # equal returns over the holding period after different histories
    returns.iloc[60:, 4] = returns.iloc[60:, 3]
    returns.iloc[:, 6] = 0.0  # unchanged prices
    returns.iloc[:50, 7] = 0.013
    returns.iloc[50:, 7] = 0.0
    factor = random_table(rng, 100, 9)
    periods = [1, 4, 10]
    full = ab._format_factor_data(factor, returns, periods)
    for p in periods:
        want = ref.forward_returns(returns.to_numpy(), p)[:100].ravel()
        np.testing.assert_array_equal(full["P_{}".format(p)].to_numpy(), want)
        # a table starting later gives the same values on the common dates
        for start in (5, 17, 40):
            later = ab._format_factor_data(factor, returns.iloc[start:], periods)
            pd.testing.assert_series_equal(
                later["P_{}".format(p)], full["P_{}".format(p)].loc[later.index], check_exact=True
            )
        tail = full["P_{}".format(p)].unstack()
        assert (tail.iloc[60 : 100 - p, 3] == tail.iloc[60 : 100 - p, 4]).all()
        assert (tail.iloc[:, 6].dropna() == 0.0).all() and (tail.iloc[50:, 7].dropna() == 0.0).all()
    # rank IC does not depend on the start of the returns table either
    ic = ab.ICAnalysis(max_decay=3)
    ic.step_name = "ic"
    base = ic.analysis(factor, returns, periods)
    for start in (5, 17):
        other = ic.analysis(factor, returns.iloc[start:], periods)
        common = other.ic.index
        pd.testing.assert_frame_equal(other.ic, base.ic.loc[common], check_exact=True)


def test_integer_rank_sums_have_an_exact_bound():
    limit = 2**63 - 1
    for n in (2, 1000, 47_000_000, 48_000_000, 100_000_000, 2**30 - 1, 2**30, 2**31):
        b = _kernels.rank_sum_block_length(n)
        assert 1 <= b <= 4096 and b & (b - 1) == 0
        # b products of magnitude below n fit, and b is the largest such power of two
        assert b * (n - 1) ** 2 <= limit
        assert b == 4096 or 2 * b * n * n > limit


# -- arguments that cannot mean anything -------------------------------------------


def test_holding_periods_must_be_positive_integers(rng, two_stores):
    returns = random_table(rng, 30, 4) * 0.01
    factor = random_table(rng, 25, 4)
    for bad, kind in (
        (0, ValueError),
        (-1, ValueError),
        (True, TypeError),
        (2**64, ValueError),
        (1.5, TypeError),
        (np.bool_(True), TypeError),
    ):
        with pytest.raises(kind, match="^periods:"):
            run_ic(factor, returns, periods=[1, bad])
    mivada.init(two_stores[0])
    daily = daily_factor()
    for bad, kind in ((0, ValueError), (-3, ValueError), (True, TypeError), (2**64, ValueError)):
        with pytest.raises(kind, match="^periods:"):
            run_ic(daily, "daily", periods=bad)
    with pytest.raises(ValueError, match="^max_decay:.*beyond 64 bits"):
        run_ic(factor, returns, max_decay=2**64)
    # the formatted frame keeps its zero-period column
    assert (ab._format_factor_data(factor, returns, [0])["P_0"].dropna() == 0.0).all()


def test_tables_that_cannot_be_aligned_are_refused(rng, two_stores):
    returns = random_table(rng, 30, 4) * 0.01
    factor = random_table(rng, 25, 4)
    numbered = returns.set_axis(range(4), axis=1)
    with pytest.raises(TypeError, match="^returns: expected order_book_id text"):
        run_ic(factor, numbered)
    with pytest.raises(TypeError, match="^factor_data: expected order_book_id text"):
        run_ic(factor.set_axis(range(4), axis=1), returns)
    multi = returns.set_axis(pd.MultiIndex.from_product([["r"], returns.columns]), axis=1)
    with pytest.raises(ValueError, match="^returns: expected one column per order_book_id"):
        run_ic(factor, multi)
    with pytest.raises(ValueError, match="no order_book_id in common"):
        run_ic(factor.set_axis(["X{}".format(k) for k in range(4)], axis=1), returns)
    dup = returns.set_axis([returns.columns[0]] * 2 + list(returns.columns[2:]), axis=1)
    with pytest.raises(ValueError, match="^returns: the columns has duplicate labels"):
        run_ic(factor, dup)
    with pytest.raises(TypeError, match="^returns: column .* has dtype complex128"):
        run_ic(factor, returns.astype(complex))
    # a stock the store does not list, with an industry classification
    mivada.init(two_stores[0])
    daily = daily_factor()
    daily["NOPE.XSHE"] = 0.5
    daily["ALSO.XSHG"] = 0.1
    with pytest.raises(KeyError, match=r"2 id\(s\) are not common stocks.*NOPE.XSHE.*ALSO.XSHG"):
        run_ic(daily, "daily", industry_classification="citics_2019")
