import numpy as np
import pytest

import mivada
from mivada.sample import PRESETS, build_sample_store


@pytest.fixture(scope="module")
def small_store(tmp_path_factory):
    path = tmp_path_factory.mktemp("small") / "small.duckdb"
    market = build_sample_store(path, PRESETS["small"])
    mivada.init(path)
    yield market
    mivada.close()


def daily_rank_ic(name, market):
    ids = list(market.ids)
    start, end = market.dates[0], market.dates[-1]
    factor = (
        mivada.get_factor(ids, name, start, end)[name].unstack("order_book_id").reindex(columns=ids)
    )
    returns = mivada.get_price_change_rate(ids, start, end)
    # factor known at the close of t against the return of t + 1
    lagged = factor.shift(1).iloc[1:]
    nxt = returns.iloc[1:]
    ok = lagged.notna() & nxt.notna()
    ic = lagged.where(ok).rank(axis=1).corrwith(nxt.where(ok).rank(axis=1), axis=1)
    return ic.dropna()


def test_published_characteristics_predict_and_noise_does_not(small_store):
    ics = {
        name: daily_rank_ic(name, small_store)
        for name in ("value_score", "quality_score", "reversal_5d", "noise")
    }
    # the characteristics are persistent, so daily ICs are autocorrelated:
    # take the standard error from 10-day block means
    se = {}
    for k, v in ics.items():
        blocks = v.groupby(np.arange(len(v)) // 10).mean()
        se[k] = blocks.std() / np.sqrt(len(blocks))
    mean = {k: v.mean() for k, v in ics.items()}
    for name in ("value_score", "quality_score", "reversal_5d"):
        assert 0.01 < mean[name] < 0.08, (name, mean[name])
        assert mean[name] > 3 * se[name], (name, mean, se)
    assert abs(mean["noise"]) < 3 * se["noise"], mean
    assert mean["value_score"] > mean["noise"] + 0.01
