"""FactorReturnAnalysis: the worked two-instrument example, agreement with
the plain pandas formulation, the base of a window after a missing return,
and bad or empty input."""

import numpy as np
import pandas as pd
import pytest

import tarnfold.analysis.assay_bench as ab

import quantile_pandas_reference as ref
from test_quantile_returns import assert_close, random_tables

F = ab.FactorReturnAnalysis


def example():
    dates = pd.bdate_range("2024-03-04", periods=4)
    factor = pd.DataFrame(
        [[1, 3], [3, 1], [1, 3], [2, 2]], index=dates, columns=list("AB"), dtype=float
    )
    returns = pd.DataFrame(
        [[0, 0], [0.1, 0], [0, 0.1], [0.1, 0.1]], index=dates, columns=list("AB")
    )
    return factor, returns


def test_worked_example():
    factor, returns = example()
    before = (factor.copy(), returns.copy())
    res = F().analysis(factor, returns, [1, 2], ascending=False)
    out = res.factor_returns
    assert res.name == "FactorAnalysisStep" and res._keys == ("factor_returns", "name")
    assert list(out.columns) == ["P_1", "P_2"] and out.index.name == "datetime"
    np.testing.assert_allclose(out["P_1"], [0, -0.05, -0.0975, -0.0975], rtol=1e-12)
    daily2 = [0, -0.025, (1 / 0.95 - 1 - 0.05) / 2, (0 + 0.945 / 0.95 - 1) / 2]
    np.testing.assert_allclose(out["P_2"], np.cumprod(np.add(daily2, 1)) - 1, rtol=1e-12)
    np.testing.assert_allclose(out["P_2"], [0, -0.025, -0.0237171, -0.0262863], atol=5e-8)
    up = F().analysis(factor, returns, [1], ascending=True).factor_returns
    np.testing.assert_allclose(up["P_1"], [0, 0.05, 0.1025, 0.1025], rtol=1e-12)
    pd.testing.assert_frame_equal(factor, before[0])
    pd.testing.assert_frame_equal(returns, before[1])
    assert factor.index.name is None


@pytest.mark.parametrize("seed,ascending", [(11, True), (12, False)])
def test_matches_the_pandas_formulation(seed, ascending):
    factor, returns = random_tables(seed)
    factor.iloc[7] = 0.25  # all equal: weights carried on
    periods = [5, 1, 3, 2, 60]  # 60: longer than the table
    with pytest.warns(UserWarning, match=r"^Invalid periods found: \[60\], will ignore.$"):
        mine = F().analysis(factor, returns, periods, ascending=ascending).factor_returns
    assert_close(
        mine, ref.factor_return_analysis(factor, returns, periods[:-1], ascending=ascending)
    )
    assert list(mine.columns) == ["P_5", "P_1", "P_3", "P_2"]


def test_missing_return_before_a_rebalance_counts_as_zero():
    # Period 2, schedule lv1 rebalances rows 1 and 3; A has no return on
    # row 2.  The window opened on row 3 starts from A's level on row 2,
    # which is its level on row 1: its return on row 3 is its row-3 return,
    # not the growth since row 0.
    dates = pd.bdate_range("2024-03-04", periods=4)
    factor = pd.DataFrame(
        [[1, 3], [1, 3], [3, 1], [3, 1]], index=dates, columns=list("AB"), dtype=float
    )
    returns = pd.DataFrame(
        [[0, 0], [0.5, 0], [np.nan, 0], [0.1, 0]], index=dates, columns=list("AB")
    )
    daily = F().analysis(factor, returns, [2], ascending=False).factor_returns["P_2"]
    daily = (daily + 1) / (daily + 1).shift(1) - 1
    # row 3: lv1 holds A +0.5 / B -0.5 from row 3: 0.5 * 0.1; lv2 (rebalanced
    # row 2, weights A -0.5, B +0.5, A has no growth on row 2, 0 on row 3)
    lv1 = 0.5 * 0.1
    lv2 = (1 + (-0.5 * 0.1)) / 1.0 - 1
    assert daily.iloc[3] == pytest.approx((lv1 + lv2) / 2, rel=1e-12)


def test_bad_and_empty_input():
    factor, returns = example()
    pd.testing.assert_frame_equal(
        F().analysis(factor, returns, range(1, 3)).factor_returns,
        F().analysis(factor, returns, [1, 2]).factor_returns,
    )
    for bad, kind in (
        ([0], ValueError),
        ([1.5], TypeError),
        (["2"], TypeError),
        (2, TypeError),
        (None, TypeError),
        ("12", TypeError),
    ):
        with pytest.raises(kind, match="^periods: expected"):
            F().analysis(factor, returns, bad)
    # the same rule as the quantile analyser: a period needs that many rows
    with pytest.raises(ValueError, match="^Invalid periods, must be less than 0$"):
        F().analysis(factor.iloc[:0], returns, [1, 3])
    with pytest.raises(ValueError, match="^Invalid periods, must be less than 1$"):
        F().analysis(factor.iloc[:1], returns, [1])
    elsewhere = returns.set_axis(returns.index + pd.Timedelta(days=3650))
    with pytest.raises(ValueError, match="^factor_data and returns have no date in common$"):
        F().analysis(factor, elsewhere, [1, 2])
    dup = F().analysis(factor, returns, [1, 1]).factor_returns
    pd.testing.assert_frame_equal(dup, F().analysis(factor, returns, [1]).factor_returns)
    with pytest.raises(ValueError, match="returns: the date index"):
        F().analysis(factor, pd.concat([returns, returns]), [1])
    with pytest.raises(TypeError, match="returns"):
        F().analysis(factor, returns.astype(str), [1])
