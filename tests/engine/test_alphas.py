"""A handful of alphas end to end against their pandas formulation."""

import numpy as np
import pytest

import mivada
from tarnfold.alphas import ALPHAS, alpha
from tarnfold.engine_v2 import eval_core
from tarnfold.engine_v2.exec_context import ThreadingExecContext
from tarnfold.leaf import Factor

from alpha_pandas_reference import namespace

FIELDS = ["open", "high", "low", "close", "volume", "total_turnover"]


@pytest.fixture
def loaded(store):
    ids = mivada.all_instruments("CS")["order_book_id"].tolist()
    end = mivada.get_latest_trading_date()
    start = mivada.trading_date_offset(end, -100)
    panels = mivada.get_price_panel(ids, start, end, fields=FIELDS)
    ctx = ThreadingExecContext([Factor(f) for f in FIELDS], ids, start, end)
    return ids, ctx, namespace(panels)


@pytest.mark.parametrize("n", [1, 2, 4, 7, 9, 12, 18, 21, 26, 28, 29, 30, 35, 45, 55, 101])
def test_alpha_matches_pandas(loaded, n):
    ids, ctx, (ops, o) = loaded
    got = eval_core._exec_factor(alpha(n), ids, ctx)
    want = ops.table(alpha(n, o))
    assert np.array_equal(got.isna().to_numpy(), want.isna().to_numpy())
    assert got.notna().any().any()
    np.testing.assert_allclose(got.to_numpy(), want.to_numpy(), rtol=1e-10, atol=1e-12)


def _with_cap(panels, ids, start, end):
    got = mivada.get_factor(ids, "market_cap", start, end, expect_df=True)
    cap = got["market_cap"].unstack("order_book_id")
    panels["market_cap"] = cap.reindex(index=panels["close"].index, columns=panels["close"].columns)
    return panels


@pytest.mark.parametrize("n", [56, 58, 67, 80])
def test_industry_and_cap_alphas_match_pandas(store, n):
    # IndNeutralize (industry demean inside a formula) and the published cap.
    ids = mivada.all_instruments("CS")["order_book_id"].tolist()
    end = mivada.get_latest_trading_date()
    start = mivada.trading_date_offset(end, -60)
    panels = _with_cap(mivada.get_price_panel(ids, start, end, fields=FIELDS), ids, start, end)
    ctx = ThreadingExecContext([Factor(f) for f in FIELDS + ["market_cap"]], ids, start, end)
    ops, o = namespace(panels)
    got = eval_core._exec_factor(alpha(n), ids, ctx)
    want = ops.table(alpha(n, o))
    assert np.array_equal(got.isna().to_numpy(), want.isna().to_numpy())
    assert got.notna().any().any()
    np.testing.assert_allclose(got.to_numpy(), want.to_numpy(), rtol=1e-10, atol=1e-12)


def test_alpha_catalogue():
    assert len(ALPHAS) >= 30
    for name, fn in ALPHAS.items():
        assert fn.__doc__ and fn().shift >= 0, name
    with pytest.raises(ValueError, match="alpha: 19 is not implemented"):
        alpha(19)
