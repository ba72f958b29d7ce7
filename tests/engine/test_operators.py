"""Operator kernels against their pandas formulation on random series with
NaNs, ties, constant stretches and infinities."""
import math

import numpy as np
import pandas as pd
import pytest

from tarnfold import operators as op
from tarnfold.interface import Kernel
from tarnfold.leaf import CLOSE, VOLUME


def _series(rng, n=400):
    x = rng.normal(10.0, 2.0, n)
    x[rng.random(n) < 0.05] = np.nan
    x[100:130] = 7.25                      # a constant stretch
    x[200:260] = np.round(x[200:260])      # many ties
    return x


def _kernel(factor):
    func, _ = factor.expr
    assert isinstance(func, Kernel)
    return func


@pytest.mark.parametrize("d", [1, 2, 5, 20])
@pytest.mark.parametrize("name, reference", [
    ("ts_mean", lambda s, d: s.rolling(d).mean()),
    ("ts_sum", lambda s, d: s.rolling(d).sum()),
    ("ts_std", lambda s, d: s.rolling(d).std()),
    ("delay", lambda s, d: s.shift(d)),
    ("delta", lambda s, d: s - s.shift(d)),
])
def test_window_operators_match_pandas(rng, name, reference, d):
    x = _series(rng)
    got = _kernel(getattr(op, name)(CLOSE, d))(x)
    want = reference(pd.Series(x), d).to_numpy()
    np.testing.assert_allclose(got, want, rtol=1e-10, atol=1e-12)
    assert np.array_equal(np.isnan(got), np.isnan(want))


def test_constant_window_has_zero_std_and_exact_mean():
    x = np.r_[np.full(30, 0.1), np.arange(10.0)]
    std = _kernel(op.ts_std(CLOSE, 5))(x)
    assert (std[4:30] == 0.0).all() and (std[34:] > 0).all()
    mean = _kernel(op.ts_mean(CLOSE, 5))(x)
    np.testing.assert_allclose(mean[4:30], 0.1, rtol=1e-15)


@pytest.mark.parametrize("span", [3, 10])
def test_ema_and_dma_match_pandas_ewm(rng, span):
    x = _series(rng)
    x[:3] = np.nan                          # leading gaps
    got = _kernel(op.ema(CLOSE, span))(x)
    want = pd.Series(x).ewm(span=span, adjust=False, min_periods=span).mean()
    np.testing.assert_allclose(got, want, rtol=1e-12)
    assert np.array_equal(np.isnan(got), np.isnan(want))
    alpha = 1.0 / span
    got = _kernel(op.dma(CLOSE, alpha))(x)
    want = pd.Series(x).ewm(alpha=alpha, adjust=False).mean()
    np.testing.assert_allclose(got, want, rtol=1e-12)


def test_running_sums_do_not_drift_on_long_series(rng):
    x = 1e6 + rng.normal(0.0, 1.0, 300_000)
    got = _kernel(op.ts_sum(CLOSE, 250))(x)
    for t in (249, 150_000, 299_999):
        assert got[t] == pytest.approx(math.fsum(x[t - 249:t + 1]), rel=1e-14)
    sd = _kernel(op.ts_std(CLOSE, 250))(x)
    assert sd[-1] == pytest.approx(np.std(x[-250:], ddof=1), rel=1e-9)


def test_infinity_inside_a_window(rng):
    x = rng.normal(size=50)
    x[10] = np.inf
    got = _kernel(op.ts_sum(CLOSE, 3))(x)
    want = pd.Series(x).rolling(3).sum().to_numpy()
    assert np.isinf(got[10:13]).all() and np.isfinite(got[13:]).all()
    np.testing.assert_allclose(got[13:], want[13:], rtol=1e-12)
    assert np.isnan(_kernel(op.ts_std(CLOSE, 3))(x)[10:13]).all()


def test_element_wise_arithmetic_follows_numpy_and_propagates_nan(rng):
    a = rng.normal(size=200) * 5
    b = rng.normal(size=200) * 3
    a[::17] = np.nan
    b[::23] = 0.0
    b[5] = -0.0
    with np.errstate(all="ignore"):
        cases = {
            (CLOSE + VOLUME): a + b, (CLOSE - VOLUME): a - b,
            (CLOSE * VOLUME): a * b, (CLOSE / VOLUME): a / b,
            (CLOSE // VOLUME): np.floor_divide(a, b),
            (CLOSE % VOLUME): np.remainder(a, b),
            (CLOSE ** VOLUME): a ** b, abs(CLOSE): np.abs(a),
            -CLOSE: -a, op.sign(CLOSE): np.sign(a), op.log(CLOSE): np.log(a),
            op.signed_power(CLOSE, VOLUME): np.sign(a) * np.abs(a) ** b,
        }
        for factor, want in cases.items():
            func, _ = factor.expr
            args = [a, b][:len(factor.expr[1])]
            np.testing.assert_allclose(func(*args), want, rtol=1e-14, err_msg=repr(factor))
    nan = np.isnan(a) | np.isnan(b)
    for factor, want in [(CLOSE < VOLUME, a < b), (CLOSE >= VOLUME, a >= b),
                         (CLOSE.eq(VOLUME), a == b), (CLOSE.ne(VOLUME), a != b)]:
        got = factor.expr[0](a, b)
        assert np.isnan(got[nan]).all()
        np.testing.assert_array_equal(got[~nan], want[~nan].astype(float))


def test_series_of_different_lengths_align_on_the_latest_day():
    a = np.arange(10.0)
    b = np.arange(4.0)
    np.testing.assert_array_equal(Kernel("sub")(a, b), a[-4:] - b)
    assert Kernel("add")(2, 3.5) == 5.5
    np.testing.assert_array_equal(Kernel("mul")(a, 2), a * 2)


@pytest.mark.parametrize("call, error, text", [
    (lambda: op.ts_mean(CLOSE, 0), ValueError, "ts_mean: d must be at least 1"),
    (lambda: op.ts_std(CLOSE, "5"), TypeError, "ts_std: d must be a number"),
    (lambda: op.ts_mean(CLOSE, float("inf")), ValueError, "ts_mean: d must be finite"),
    (lambda: op.delay(CLOSE, -1), ValueError, "delay: d must be at least 0"),
    (lambda: op.ts_mean(3.0, 5), TypeError, "ts_mean: argument x must be a factor"),
    (lambda: op.dma(CLOSE, 1.5), ValueError, "dma: alpha"),
    (lambda: CLOSE + "a", TypeError, "add: operands must be factors or real numbers"),
    (lambda: bool(CLOSE > 1), TypeError, "truth value of a factor"),
])
def test_bad_operator_arguments_name_the_operator(call, error, text):
    with pytest.raises(error, match=text):
        call()


def test_shift_is_the_longest_lookback_along_any_path():
    assert CLOSE.shift == 0
    assert op.ts_mean(CLOSE, 20).shift == 19
    assert op.ts_mean(op.delay(CLOSE, 1), 20).shift == 20
    assert op.delta(CLOSE, 5).shift == 5
    assert (op.ts_std(CLOSE, 10) / op.ts_mean(VOLUME, 30)).shift == 29
    assert op.ts_mean(CLOSE, 4.7).shift == 3               # floor(4.7) days
    assert op.ema(CLOSE, 12).shift == 11


def _argext(f):
    return lambda s, d: s.rolling(d).apply(f, raw=True)


@pytest.mark.parametrize("d", [1, 3, 10])
@pytest.mark.parametrize("name, reference", [
    ("ts_product", lambda s, d: s.rolling(d).apply(np.prod, raw=True)),
    ("ts_min", lambda s, d: s.rolling(d).min()),
    ("ts_max", lambda s, d: s.rolling(d).max()),
    ("ts_argmin", _argext(np.argmin)),
    ("ts_argmax", _argext(np.argmax)),
    ("ts_rank", lambda s, d: s.rolling(d).rank(pct=True)),
    ("decay_linear", lambda s, d: s.rolling(d).apply(
        lambda w: (w * np.arange(1, d + 1)).sum() / (d * (d + 1) / 2), raw=True)),
])
def test_more_window_operators_match_pandas(rng, name, reference, d):
    x = _series(rng) / 10
    got = _kernel(getattr(op, name)(CLOSE, d))(x)
    want = reference(pd.Series(x), d).to_numpy()
    np.testing.assert_allclose(got, want, rtol=1e-10, atol=1e-12)


@pytest.mark.parametrize("d", [2, 5, 20])
def test_correlation_and_covariance_match_pandas(rng, d):
    x = _series(rng)
    y = 0.5 * x + rng.normal(0, 1, len(x))
    y[300:340] = 3.0                         # constant stretch of y only
    sx, sy = pd.Series(x), pd.Series(y)
    cov = _kernel(op.covariance(CLOSE, VOLUME, d))(x, y)
    np.testing.assert_allclose(cov, sx.rolling(d).cov(sy), rtol=1e-9, atol=1e-12)
    corr = _kernel(op.correlation(CLOSE, VOLUME, d))(x, y)
    want = sx.rolling(d).corr(sy)
    constant = (sx.rolling(d).std() == 0) | (sy.rolling(d).std() == 0)
    want[constant] = np.nan
    np.testing.assert_allclose(corr, want, rtol=1e-9, atol=1e-10)
    assert np.isnan(corr[300 + d - 1:340]).all()
    assert op.correlation(CLOSE, op.delay(VOLUME, 2), d).shift == d + 1
    if d <= 16:
        # short windows holding the same pairs give the same bits wherever
        # they fall, so that a later rank sees exact ties
        px, py = np.tile(rng.normal(size=7), 30), np.tile(rng.normal(size=7), 30)
        for f in (op.correlation, op.covariance):
            got = _kernel(f(CLOSE, VOLUME, d))(px, py)
            np.testing.assert_array_equal(got[d - 1 + 7:], got[d - 1:-7])


def test_min_max_where_and_logic_propagate_nan(rng):
    a = rng.normal(size=100)
    b = rng.normal(size=100)
    a[::7] = np.nan
    cond = (a > 0).astype(float)
    cond[np.isnan(a)] = np.nan
    nan = np.isnan(a)
    np.testing.assert_array_equal(_kernel(op.minimum(CLOSE, VOLUME))(a, b), np.minimum(a, b))
    np.testing.assert_array_equal(_kernel(op.maximum(CLOSE, VOLUME))(a, b), np.maximum(a, b))
    got = _kernel(op.where(CLOSE, VOLUME, 2.0))(cond, b, 2.0)
    np.testing.assert_array_equal(got, np.where(nan, np.nan, np.where(cond == 1, b, 2.0)))
    for factor, want in [(CLOSE & VOLUME, (a != 0) & (b != 0)),
                         (CLOSE | VOLUME, (a != 0) | (b != 0))]:
        got = factor.expr[0](a, b)
        assert np.isnan(got[nan]).all()
        np.testing.assert_array_equal(got[~nan], want[~nan].astype(float))
    got = (~CLOSE).expr[0](a)
    np.testing.assert_array_equal(got[~nan], (a[~nan] == 0).astype(float))
    with pytest.raises(TypeError, match="where: at least one argument must be a factor"):
        op.where(1, 2, 3)


def test_cross_sectional_kernels_match_pandas(rng):
    from tarnfold.engine_v2 import eval_core

    table = pd.DataFrame(rng.normal(size=(30, 40)))
    table[table > 1.5] = np.nan
    table.iloc[3] = 2.0                               # a constant date
    table.iloc[4, :] = np.nan
    table.iloc[5, 7:12] = 0.25                        # ties
    codes = rng.integers(-1, 5, size=table.shape).astype(np.int32)
    run = lambda name, *extra, params=(): eval_core._apply_cs_kernel(  # noqa: E731
        name, params, (table,) + extra)
    with np.errstate(all="ignore"):
        np.testing.assert_allclose(run("rank"), table.rank(axis=1, pct=True), rtol=1e-14)
        np.testing.assert_allclose(run("demean"), table.sub(table.mean(axis=1), axis=0),
                                   rtol=1e-12, atol=1e-14)
        np.testing.assert_allclose(run("scale", params=(2.0,)),
                                   table.mul(2.0).div(table.abs().sum(axis=1), axis=0),
                                   rtol=1e-12)
    long = table.stack(future_stack=True).rename("x").to_frame()
    long["g"] = codes.ravel()
    long = long[(long["g"] >= 0) & long["x"].notna()]
    by = long.groupby([long.index.get_level_values(0), long["g"]])["x"]
    refs = {
        "group_demean": long["x"] - by.transform("mean"),
        "group_rank": by.rank(pct=True),
        "group_zscore": ((long["x"] - by.transform("mean")) / by.transform("std"))
        .replace([np.inf, -np.inf], 0.0),
    }
    for name, ref in refs.items():
        want = ref.unstack().reindex(index=table.index, columns=table.columns)
        np.testing.assert_allclose(run(name, codes), want, rtol=1e-12, atol=1e-14,
                                   err_msg=name)


@pytest.mark.parametrize("rows, width", [(40, 300), (3, 140_000)])
def test_rank_of_wide_tables_matches_pandas_exactly(rng, rows, width):
    # Wide rows go through the radix sort (both digit sizes); ties, signed
    # zeros, infinities and NaN included.
    from tarnfold.engine_v2 import eval_core

    x = rng.normal(size=(rows, width))
    x[rng.random(x.shape) < 0.1] = np.nan
    x[0, ::7] = 0.5
    x[1, ::11] = -0.0
    x[1, 5::11] = 0.0
    x[1, 3], x[1, 4] = np.inf, -np.inf
    x[2] = np.round(x[2] * 1e3) / 1e3
    table = pd.DataFrame(x)
    got = eval_core._apply_cs_kernel("rank", (), (table,))
    np.testing.assert_array_equal(got, table.rank(axis=1, pct=True).to_numpy())


def test_cross_sectional_operators_in_a_tree_equal_their_table_form(store):
    # Without a universe the engine runs rank/demean/scale in place on the
    # table it just computed; with one, through execute(): same numbers.
    import mivada
    from tarnfold import cross_sectional as cs
    from tarnfold.engine_v2 import eval_core
    from tarnfold.engine_v2.exec_context import ThreadingExecContext
    from tarnfold.leaf import OPEN

    ids = mivada.all_instruments("CS")["order_book_id"].tolist()
    end = mivada.get_latest_trading_date()
    start = mivada.trading_date_offset(end, -40)
    ctx = ThreadingExecContext([CLOSE, OPEN, VOLUME], ids, start, end)
    x = op.ts_mean((CLOSE - OPEN) / OPEN, 3)
    table = eval_core._exec_factor(x, ids, ctx)
    for f in (cs.rank(x), cs.demean(x), cs.scale(x, 3.0)):
        got = eval_core._exec_factor(f, ids, ctx)
        want = f.execute(table)
        assert got.notna().any().any()
        np.testing.assert_array_equal(got.to_numpy(), want.to_numpy(), err_msg=f.op)
        assert got.index.equals(want.index) and got.columns.equals(want.columns)
        nested = eval_core._exec_factor(f * 2, ids, ctx)
        np.testing.assert_array_equal(nested.to_numpy(), want.to_numpy() * 2)
    # chains and industry operators stay in one table: same numbers as
    # applying each operator's execute() to the table below it
    chains = [cs.rank(cs.rank(-x)), cs.zscore(cs.group_rank(x)),
              cs.scale(cs.group_demean(cs.demean(x)), 2.0), cs.group_zscore(x, "sws")]
    for f in chains:
        want = f
        layers = []
        while isinstance(want, cs.CrossSectionalFactor):
            layers.append(want)
            want = want.sub_factors[0]
        want = eval_core._exec_factor(want, ids, ctx)
        for layer in reversed(layers):
            want = layer.execute(want)
        got = eval_core._exec_factor(f, ids, ctx)
        assert got.notna().any().any()
        np.testing.assert_array_equal(got.to_numpy(), want.to_numpy(), err_msg=repr(f))
        # read back on each instrument's valid days inside a larger tree
        tree = eval_core._exec_factor(f * 2 - 1, ids, ctx)
        np.testing.assert_array_equal(tree.to_numpy(), want.where(ctx._valid).to_numpy() * 2 - 1)
