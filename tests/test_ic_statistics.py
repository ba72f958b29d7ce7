"""Per-date IC statistics and p-values of the compiled analyser against
scipy itself, including scipy's edge behaviour (two pairs, constant input,
infinite values, ties)."""

import inspect
import warnings

import numpy as np
import pandas as pd
import pytest
from scipy import stats

import tarnfold.analysis.assay_bench as ab

import ic_pandas_reference as ref


def long_frame(blocks):
    """Formatted factor frame from {date: (factor, {field: values})}."""
    parts = []
    for date, (factor, fields) in blocks.items():
        n = len(factor)
        idx = pd.MultiIndex.from_product(
            [[pd.Timestamp(date)], ["s%03d" % i for i in range(n)]],
            names=["datetime", "order_book_id"],
        )
        parts.append(pd.DataFrame({**fields, "factor": factor}, index=idx, dtype=float))
    return pd.concat(parts)


def assert_matches_scipy(fd, rank_ic):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        ic, pv = ab.ICAnalysis(rank_ic=rank_ic)._calc_ic(fd)
    ref.assert_ic_matches_scipy(fd, ic, pv, rank_ic)


@pytest.mark.parametrize("rank_ic", [True, False])
def test_random_dates_with_nans_and_ties(rank_ic):
    rng = np.random.default_rng(7)
    blocks = {}
    for k, date in enumerate(pd.bdate_range("2021-01-04", periods=40)):
        n = int(rng.integers(3, 60))
        factor = rng.normal(size=n)
        if k % 3 == 0:
            factor = np.round(factor * 2) / 2  # heavy ties
        p1 = rng.normal(scale=0.02, size=n)
        p5 = np.round(rng.normal(scale=0.05, size=n), 2)  # ties in the returns
        factor[rng.random(n) < 0.15] = np.nan
        p1[rng.random(n) < 0.1] = np.nan
        p5[rng.random(n) < 0.2] = np.nan
        blocks[date] = (factor, {"P_1": p1, "P_5": p5})
    assert_matches_scipy(long_frame(blocks), rank_ic)


@pytest.mark.parametrize("rank_ic", [True, False])
def test_edge_dates_follow_scipy(rank_ic):
    nan, inf = np.nan, np.inf
    blocks = {
        # exactly two valid pairs (the others have a NaN on one side)
        "2021-01-04": ([1.0, 2.0, nan, 4.0], {"P_1": [0.3, 0.1, 0.2, nan]}),
        "2021-01-05": ([2.0, 1.0], {"P_1": [0.3, 0.1]}),
        # constant factor, constant returns
        "2021-01-06": ([1.0, 1.0, 1.0, 1.0], {"P_1": [0.1, 0.2, 0.3, 0.4]}),
        "2021-01-07": ([1.0, 2.0, 3.0, 4.0], {"P_1": [0.2, 0.2, 0.2, 0.2]}),
        # infinite values are not masked
        "2021-01-08": ([1.0, inf, 3.0, 4.0, -inf], {"P_1": [0.1, 0.4, 0.2, 0.3, 0.0]}),
        "2021-01-11": ([1.0, 2.0, 3.0, 4.0], {"P_1": [inf, inf, inf, inf]}),
        # perfectly ordered, and reversed with a -0.0/0.0 tie
        "2021-01-12": ([1.0, 2.0, 3.0, 4.0, 5.0], {"P_1": [0.1, 0.2, 0.3, 0.4, 0.5]}),
        "2021-01-13": ([0.0, -0.0, 3.0, 4.0, 5.0], {"P_1": [0.5, 0.4, 0.3, 0.2, 0.1]}),
        # the documented example
        "2021-01-14": ([1.0, 2.0, 3.0], {"P_1": [0.01, 0.03, 0.02]}),
    }
    assert_matches_scipy(long_frame(blocks), rank_ic)


@pytest.mark.parametrize("rank_ic", [True, False])
def test_documented_example_and_too_few_pairs(rank_ic):
    fd = long_frame(
        {
            "2021-01-04": ([1.0, 2.0, 3.0], {"P_1": [0.01, 0.03, 0.02]}),
            "2021-01-05": ([1.0, np.nan, 3.0], {"P_1": [np.nan, 0.03, 0.02]}),
            "2021-01-06": ([np.nan, np.nan, np.nan], {"P_1": [0.01, 0.03, 0.02]}),
        }
    )
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # no warning for these dates
        ic, pv = ab.ICAnalysis(rank_ic=rank_ic)._calc_ic(fd)
    assert ic["P_1"].tolist() == pytest.approx([0.5, 0.0, 0.0], abs=1e-15)
    assert pv["P_1"].tolist() == pytest.approx([2 / 3, 0.0, 0.0], rel=1e-12)


def test_constant_input_warns_once_like_scipy():
    fd = long_frame(
        {d: ([1.0, 1.0, 1.0], {"P_1": [0.1, 0.2, 0.3]}) for d in ("2021-01-04", "2021-01-05")}
    )
    with pytest.warns(stats.ConstantInputWarning):
        ic, _ = ab.ICAnalysis(rank_ic=True)._calc_ic(fd)
    assert ic["P_1"].isna().all()


def test_ic_function_wrapper():
    wrapper = ab._get_ic_func()
    assert wrapper.__qualname__ == "_get_ic_func.<locals>.wrapper"
    assert wrapper.__name__ == "wrapper"
    assert list(inspect.signature(wrapper).parameters) == ["fs", "rs"]
    assert wrapper.func is stats.pearsonr
    assert wrapper.__closure__[0].cell_contents is stats.pearsonr
    assert ab._get_ic_func(True).func is stats.spearmanr
    assert ab._get_ic_func() is not ab._get_ic_func()
    assert str(inspect.signature(ab._get_ic_func)) == "(rank_ic=False)"

    fs = pd.Series([0.01, 0.03, np.nan, 0.02])
    rs = pd.Series([1.0, 2.0, 5.0, 3.0])
    res = ab._get_ic_func(True)(fs, rs=rs)
    assert isinstance(res, type(stats.spearmanr([1, 2, 3], [1, 3, 2])))
    assert (res[0], res[1]) == pytest.approx((0.5, 2 / 3))
    assert wrapper(fs=np.array([1.0, np.nan]), rs=np.array([2.0, 3.0])) == (0, 0)
    with pytest.raises(TypeError):
        wrapper(fs)


@pytest.mark.parametrize("rank_ic", [True, False])
def test_pooled_industry_statistic_on_a_large_group(rank_ic):
    # one industry pooling 150k rows (large sorts) and a small one
    rng = np.random.default_rng(3)
    n_dates, n_inst = 750, 201
    index = pd.MultiIndex.from_product(
        [pd.bdate_range("2015-01-05", periods=n_dates), ["s%03d" % i for i in range(n_inst)]],
        names=["datetime", "order_book_id"],
    )
    n = len(index)
    fd = pd.DataFrame(
        {"P_1": np.round(rng.normal(scale=0.02, size=n), 4), "factor": rng.normal(size=n)},
        index=index,
    )
    fd.loc[rng.random(n) < 0.05, "factor"] = np.nan
    fd.loc[rng.random(n) < 0.03, "P_1"] = np.nan
    industry = {"s%03d" % i: ("big" if i else "small") for i in range(n_inst)}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        got = ab.ICAnalysis(
            rank_ic=rank_ic, industry_classification=industry
        )._calc_ic_industry_distribute(fd)
    small = fd.index.get_level_values("order_book_id") == "s000"
    for name, rows in (("big", ~small), ("small", small)):
        expected, _ = ref.scipy_ic(fd.loc[rows, "P_1"], fd.loc[rows, "factor"], rank_ic)
        assert abs(got.loc[name, "P_1"] - expected) <= 1e-12
