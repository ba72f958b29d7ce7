"""A bench run on the embedded sample market through the real client."""

import numpy as np
import pandas as pd
import pytest

import mivada
from mivada.sample import PRESETS, build_sample_store
from tarnfold.analysis import assay_bench as ab


@pytest.fixture(scope="module")
def sample_store(tmp_path_factory):
    path = tmp_path_factory.mktemp("e2e") / "tiny.duckdb"
    build_sample_store(path, PRESETS["tiny"])
    mivada.init(str(path))
    yield str(path)
    mivada.close()


class MeanSpread(ab.FactorAnalyser):
    """Mean next-period return of the top half minus the bottom half."""

    def analysis(self, factor_data, returns, periods, ascending=True):
        fmt = ab._format_factor_data(factor_data, returns, periods)
        rank = fmt["factor"].groupby(level="datetime").rank(pct=True)
        top = fmt[rank > 0.5].groupby(level="datetime").mean()
        bottom = fmt[rank <= 0.5].groupby(level="datetime").mean()
        return (top - bottom)[ab._get_return_fields(fmt.columns)].mean()


def test_bench_on_daily_and_on_a_returns_table(sample_store):
    ids = mivada.all_instruments("CS")["order_book_id"].tolist()
    dates = mivada.get_trading_dates(
        mivada.trading_date_offset(mivada.get_latest_trading_date(), -80),
        mivada.trading_date_offset(mivada.get_latest_trading_date(), -10),
    )
    factor = mivada.get_factor(ids, "value_score", dates[0], dates[-1])["value_score"]
    factor = factor.unstack(level="order_book_id")
    bench = ab.FactorAssayBench()
    bench.append(("winsorize", ab.Winzorization("mad")))
    bench.append(("normalize", ab.Normalization()))
    bench.append(("spread", MeanSpread()))
    daily = bench.analysis(factor, "daily", periods=(1, 5), keep_preprocess_result=True)
    normalized = daily["normalize"]
    assert normalized.shape == factor.shape
    row_sd = normalized.std(axis=1).dropna()
    np.testing.assert_allclose(row_sd, 1.0, rtol=1e-12)
    assert list(daily["spread"].index) == ["P_1", "P_5"] and daily["spread"].notna().all()

    returns = mivada.get_price_change_rate(
        ids, dates[0], mivada.get_next_trading_date(dates[-1], 5)
    )
    given = bench.analysis(factor, returns, periods=(1, 5))
    pd.testing.assert_series_equal(given["spread"], daily["spread"])


def test_group_and_portfolio_returns_against_the_sample_index(sample_store):
    ids = mivada.all_instruments("CS")["order_book_id"].tolist()
    latest = mivada.get_latest_trading_date()
    dates = mivada.get_trading_dates(
        mivada.trading_date_offset(latest, -60), mivada.trading_date_offset(latest, -10)
    )
    factor = mivada.get_factor(ids, "value_score", dates[0], dates[-1])["value_score"]
    factor = factor.unstack(level="order_book_id")
    bench = ab.FactorAssayBench()
    bench.append(("groups", ab.QuantileReturnAnalysis(quantile=5, benchmark="000300.XSHG")))
    bench.append(("portfolio", ab.FactorReturnAnalysis()))
    out = bench.analysis(factor, "daily", periods=(1, 5))
    groups = out["groups"]
    bm = groups.benchmark_return
    assert bm.name == "000300.XSHG" and bm.index.equals(factor.index)
    assert bm.iloc[0] == 0 and bm.notna().all() and bm.abs().sum() > 0
    assert groups.quantile_returns.shape == (5 * len(factor), 2)
    assert groups.quantile_returns.abs().sum().gt(0).all()
    assert out["portfolio"].factor_returns.abs().sum().gt(0).all()
