"""Property tests of the array boundary: random shapes (0 and 1 included),
NaN/inf/denormal patterns, strides, dtypes and index orders go into the
formatting, the preprocessors and the IC; every call either matches the
pandas formulation or raises a clear ValueError/TypeError."""

import os
import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from tarnfold.analysis import assay_bench as ab
from tarnfold.analysis import winsorize

import ic_pandas_reference as ref

# A bounded number of examples: CI runs these under the sanitizers too.
EXAMPLES = int(os.environ.get("TARNFOLD_HYPOTHESIS_EXAMPLES", "25"))
SETTINGS = settings(
    max_examples=EXAMPLES,
    deadline=None,
    derandomize=True,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)

EDGE_VALUES = [np.nan, np.inf, -np.inf, 5e-324, -5e-324, 2.2250738585072014e-308, 0.0, -0.0, 1.0]


@st.composite
def tables(draw, max_dates=7, max_inst=6, edge=True, scale=1.0):
    n_dates = draw(st.integers(0, max_dates))
    n_inst = draw(st.integers(0, max_inst))
    values = draw(
        st.lists(
            st.one_of(
                st.floats(-3, 3, allow_nan=False),
                st.sampled_from(EDGE_VALUES if edge else [np.nan, 0.5]),
            ),
            min_size=n_dates * n_inst,
            max_size=n_dates * n_inst,
        )
    )
    arr = np.array(values, dtype=np.float64).reshape(n_dates, n_inst) * scale
    layout = draw(st.sampled_from(["c", "f", "strided"]))
    if layout == "f":
        arr = np.asfortranarray(arr)
    elif layout == "strided":
        wide = np.zeros((n_dates, 2 * n_inst))
        wide[:, ::2] = arr
        arr = wide[:, ::2]  # a non-contiguous view
    dates = pd.bdate_range("2022-01-03", periods=n_dates)
    ids = ["{:06d}.XSHE".format(k) for k in range(n_inst)]
    frame = pd.DataFrame(arr, index=dates, columns=ids, copy=False)
    dtype = draw(st.sampled_from(["float64", "float32", "Float64"]))
    if dtype != "float64":
        frame = frame.astype(dtype)
    if draw(st.booleans()):
        frame = frame.iloc[draw(st.permutations(range(n_dates)))]
    return frame


def clear_error(exc):
    text = str(exc)
    return isinstance(exc, (ValueError, TypeError)) and (
        text.startswith(("factor_data", "returns", "periods"))
    )


@SETTINGS
@given(tables(edge=False, scale=0.05), tables(), st.lists(st.integers(1, 4), max_size=3))
def test_formatting_matches_the_pandas_formulation(returns, factor, periods):
    returns = returns.sort_index()
    factor = factor.set_axis(
        returns.columns[: len(factor.columns)].append(
            pd.Index(["X{}".format(k) for k in range(len(factor.columns) - len(returns.columns))])
        )
        if len(factor.columns) > len(returns.columns)
        else returns.columns[: len(factor.columns)],
        axis=1,
    )
    try:
        got = ab._format_factor_data(factor, returns, periods)
    except (ValueError, TypeError) as exc:
        assert clear_error(exc), exc
        return
    index = factor.index.intersection(returns.index).sort_values()  # results in date order
    assert list(got.columns) == ["P_{}".format(p) for p in dict.fromkeys(periods)] + ["factor"]
    for p in dict.fromkeys(periods):
        want = pd.DataFrame(
            ref.forward_returns(returns.to_numpy(dtype=np.float64, na_value=np.nan), p),
            index=returns.index,
            columns=returns.columns,
        ).reindex(index)
        np.testing.assert_array_equal(got["P_{}".format(p)].to_numpy(), want.to_numpy().ravel())
    want = factor.astype("float64").reindex(index, columns=returns.columns).to_numpy().ravel()
    np.testing.assert_array_equal(got["factor"].to_numpy(), want)


@SETTINGS
@given(tables(max_dates=6, max_inst=8))
def test_preprocessors_match_the_row_functions(factor):
    plain = factor.astype("float64")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        want_norm = (
            plain.sub(plain.mean(axis=1), axis=0)
            .div(plain.std(axis=1), axis=0)
            .where(lambda x: ~np.isinf(x), 0)
        )
        got_norm = ab.Normalization().process(factor)
        pd.testing.assert_frame_equal(got_norm, want_norm, rtol=1e-9, check_dtype=False)
        for method in ("mad", "std", "percentile"):
            if len(plain.columns) == 0:
                continue
            got = ab.Winzorization(method).process(factor)
            want = plain.apply(winsorize.WINSORIZE_METHODS[method], axis=1)
            pd.testing.assert_frame_equal(got, want, rtol=1e-9, check_dtype=False)


@SETTINGS
@given(tables(max_dates=6, max_inst=7, edge=False), st.booleans())
def test_ic_matches_scipy_per_date(factor, rank_ic):
    factor = factor.sort_index()
    returns = factor.shift(-1).astype("float64") * 0.01
    if len(factor) < 2 or len(factor.columns) == 0:
        with pytest.raises((ValueError, TypeError)) as info:
            ab._format_factor_data(factor, returns, [1])
        assert clear_error(info.value)
        return
    fmt = ab._format_factor_data(factor, returns, [1])
    analysis = ab.ICAnalysis(rank_ic=rank_ic, max_decay=3)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        ic, p = analysis._calc_ic(fmt)
    ref.assert_ic_matches_scipy(fmt, ic, p, rank_ic, stat_tol=(1e-7, 1e-12), p_tol=(1e-7, 1e-12))
