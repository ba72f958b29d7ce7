"""Operator kernels against their pandas formulation on random series with
NaNs, ties, constant stretches and infinities."""

import math

import numpy as np
import pandas as pd
import pytest

from tarnfold import cross_sectional as cs
from tarnfold import operators as op
from tarnfold.engine_v2 import _operators
from tarnfold.interface import Kernel
from tarnfold.leaf import CLOSE, VOLUME

from _tables import crowded_rows
from operator_references import REFERENCES, series as _series


def _kernel(factor):
    func, _ = factor.expr
    assert isinstance(func, Kernel)
    return func


@pytest.mark.parametrize("name", op.OPERATOR_NAMES + cs.OPERATOR_NAMES)
def test_every_operator_matches_its_pandas_reference(rng, name):
    # One row of the engine's operator tables is one reference here: a new
    # operator without one fails.
    assert name in REFERENCES, "operator {!r} has no pandas reference".format(name)
    for factor, inputs, want in REFERENCES[name](rng):
        if isinstance(factor, cs.CrossSectionalKernelFactor):
            assert factor.op == name
            got = _operators.apply_cs_kernel(factor.op, factor.params, inputs)
        else:
            assert _kernel(factor).op == name
            with np.errstate(all="ignore"):
                got = _kernel(factor)(*inputs)
        np.testing.assert_allclose(got, want, rtol=1e-10, atol=1e-12, err_msg=repr(factor))
        assert np.array_equal(np.isnan(got), np.isnan(want)), repr(factor)


def test_constant_window_has_zero_std_and_exact_mean():
    x = np.r_[np.full(30, 0.1), np.arange(10.0)]
    std = _kernel(op.ts_std(CLOSE, 5))(x)
    assert (std[4:30] == 0.0).all() and (std[34:] > 0).all()
    mean = _kernel(op.ts_mean(CLOSE, 5))(x)
    np.testing.assert_allclose(mean[4:30], 0.1, rtol=1e-15)


def test_running_sums_do_not_drift_on_long_series(rng):
    x = 1e6 + rng.normal(0.0, 1.0, 300_000)
    got = _kernel(op.ts_sum(CLOSE, 250))(x)
    for t in (249, 150_000, 299_999):
        assert got[t] == pytest.approx(math.fsum(x[t - 249 : t + 1]), rel=1e-14)
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


def test_series_of_different_lengths_align_on_the_latest_day():
    a = np.arange(10.0)
    b = np.arange(4.0)
    np.testing.assert_array_equal(Kernel("sub")(a, b), a[-4:] - b)
    assert Kernel("add")(2, 3.5) == 5.5
    np.testing.assert_array_equal(Kernel("mul")(a, 2), a * 2)


@pytest.mark.parametrize(
    "call, error, text",
    [
        (lambda: op.ts_mean(CLOSE, 0), ValueError, "ts_mean: d must be at least 1"),
        (lambda: op.ts_std(CLOSE, "5"), TypeError, "ts_std: d must be a number"),
        (lambda: op.ts_mean(CLOSE, float("inf")), ValueError, "ts_mean: d must be finite"),
        (lambda: op.delay(CLOSE, -1), ValueError, "delay: d must be at least 0"),
        (lambda: op.ts_mean(3.0, 5), TypeError, "ts_mean: argument x must be a factor"),
        (lambda: op.dma(CLOSE, 1.5), ValueError, "dma: alpha"),
        (lambda: CLOSE + "a", TypeError, "add: operands must be factors or real numbers"),
        (lambda: bool(CLOSE > 1), TypeError, "truth value of a factor"),
        (lambda: op.where(1, 2, 3), TypeError, "where: at least one argument must be a factor"),
        (
            lambda: op.ts_quantile(CLOSE, 5, 1.5),
            ValueError,
            r"ts_quantile: q must be a number in \[0, 1\]",
        ),
        (
            lambda: op.regression_slope(CLOSE, 2.0, 5),
            TypeError,
            "regression_slope: argument x must be a factor",
        ),
        (lambda: op.ts_kurt(CLOSE, 0), ValueError, "ts_kurt: d must be at least 1"),
        (
            lambda: cs.CrossSectionalKernelFactor("rnak", [CLOSE]),
            ValueError,
            r"op: expected one of \['demean', 'rank', 'scale', 'zscore'\], got 'rnak'",
        ),
    ],
)
def test_bad_operator_arguments_name_the_operator(call, error, text):
    with pytest.raises(error, match=text):
        call()


def test_shift_is_the_longest_lookback_along_any_path():
    assert CLOSE.shift == 0
    assert op.ts_mean(CLOSE, 20).shift == 19
    assert op.ts_mean(op.delay(CLOSE, 1), 20).shift == 20
    assert op.delta(CLOSE, 5).shift == 5
    assert (op.ts_std(CLOSE, 10) / op.ts_mean(VOLUME, 30)).shift == 29
    assert op.ts_mean(CLOSE, 4.7).shift == 3  # floor(4.7) days
    assert op.ema(CLOSE, 12).shift == 11


@pytest.mark.parametrize("d", [2, 5, 20])
def test_correlation_of_a_constant_window_and_of_repeated_pairs(rng, d):
    x = _series(rng)
    y = 0.5 * x + rng.normal(0, 1, len(x))
    y[300:340] = 3.0  # constant stretch of y only
    corr = _kernel(op.correlation(CLOSE, VOLUME, d))(x, y)
    assert np.isnan(corr[300 + d - 1 : 340]).all()
    assert op.correlation(CLOSE, op.delay(VOLUME, 2), d).shift == d + 1
    if d <= 16:
        # short windows holding the same pairs give the same bits wherever
        # they fall, so that a later rank sees exact ties
        px, py = np.tile(rng.normal(size=7), 30), np.tile(rng.normal(size=7), 30)
        for f in (op.correlation, op.covariance):
            got = _kernel(f(CLOSE, VOLUME, d))(px, py)
            np.testing.assert_array_equal(got[d - 1 + 7 :], got[d - 1 : -7])


@pytest.mark.parametrize("rows, width", [(40, 300), (8, 140_000)])
def test_rank_of_wide_tables_matches_pandas_exactly(rng, rows, width):
    # Wide rows go through the radix sort (both digit sizes); ties, signed
    # zeros, infinities and NaN included.
    x = rng.normal(size=(rows, width))
    x[rng.random(x.shape) < 0.1] = np.nan
    x[0, ::7] = 0.5
    x[1, ::11] = -0.0
    x[1, 5::11] = 0.0
    x[1, 3], x[1, 4] = np.inf, -np.inf
    x[2] = np.round(x[2] * 1e3) / 1e3
    crowded = crowded_rows(rng, width)
    x[-len(crowded) :] = crowded
    table = pd.DataFrame(x)
    got = _operators.apply_cs_kernel("rank", (), (table,))
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
    chains = [
        cs.rank(cs.rank(-x)),
        cs.zscore(cs.group_rank(x)),
        cs.scale(cs.group_demean(cs.demean(x)), 2.0),
        cs.group_zscore(x, "sws"),
    ]
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


@pytest.mark.parametrize("d", [3, 16, 17, 40])
def test_window_extremes_take_the_earliest_of_equal_values(rng, d):
    # Short windows are scanned whole, long ones kept in a queue: both give
    # the window's first extreme, so -0.0 and 0.0 keep the sign of the
    # earlier one and argmin/argmax the earlier position.
    x = rng.choice([-0.0, 0.0, 1.0, -1.0, 2.5, np.inf, -np.inf], size=300)
    x[rng.random(300) < 0.03] = np.nan
    windows = np.lib.stride_tricks.sliding_window_view(x, d)
    full = ~np.isnan(windows).any(axis=1)
    for build, pick, position in (
        (op.ts_min, np.argmin, False),
        (op.ts_max, np.argmax, False),
        (op.ts_argmin, np.argmin, True),
        (op.ts_argmax, np.argmax, True),
    ):
        got = _kernel(build(CLOSE, d))(x)
        at = np.array([pick(w) for w in windows])
        want = np.full(len(x), np.nan)
        want[d - 1 :] = np.where(full, at if position else windows[np.arange(len(at)), at], np.nan)
        label = "{}({})".format(build.__name__, d)
        assert np.array_equal(got, want, equal_nan=True), label
        ok = ~np.isnan(want)
        assert np.array_equal(np.signbit(got[ok]), np.signbit(want[ok])), label
