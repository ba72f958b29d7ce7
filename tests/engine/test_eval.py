"""Node evaluation against a plain Python execution context (no base
class), so the contract with the context is what is tested."""

import numpy as np
import pandas as pd
import pytest

from tarnfold.cross_sectional import CrossSectionalFactor, rank
from tarnfold.engine_v2 import eval_core
from tarnfold.fix import FixedFactor
from tarnfold.interface import AbstractFactor, CombinedFactor
from tarnfold.leaf import CLOSE, VOLUME
from tarnfold.operators import delay, ts_mean


class PlainContext:
    """Dates x instruments tables per leaf; valid where the mask says."""

    def __init__(self, tables, masks):
        self.index = next(iter(tables.values())).index
        self.ndays = len(self.index)
        self.tables, self.masks = tables, masks
        self.universe_mask = None
        self.stored = {}
        self.value_calls = 0

    def get_mask_for(self, order_book_id):
        return self.masks[order_book_id].to_numpy()

    def get_factor_value(self, expr, order_book_id):
        self.value_calls += 1
        mask = self.get_mask_for(order_book_id)
        if expr in self.stored:
            stored = self.stored[expr]
            if isinstance(stored, pd.DataFrame):
                return stored[order_book_id].to_numpy()[mask]
            if isinstance(stored, pd.Series):
                return stored.to_numpy()[mask]
            return stored
        return self.tables[expr.name][order_book_id].to_numpy()[mask]

    def update(self, factor, table):
        if isinstance(factor, FixedFactor) and isinstance(table, np.ndarray):
            # the pinned instrument's right-aligned series, placed on its days
            days = np.flatnonzero(self.get_mask_for(factor.order_book_id))
            full = pd.Series(np.nan, index=self.index)
            full.iloc[days[len(days) - len(table) :]] = table
            table = full
        self.stored[factor] = table


@pytest.fixture
def ctx(rng):
    dates = pd.bdate_range("2024-01-01", periods=12)
    ids = ["A", "B", "C"]
    close = pd.DataFrame(rng.normal(10, 1, (12, 3)), index=dates, columns=ids)
    volume = pd.DataFrame(rng.integers(1, 100, (12, 3)).astype(float), index=dates, columns=ids)
    masks = pd.DataFrame(True, index=dates, columns=ids)
    masks.iloc[[2, 5, 6], 0] = False  # A suspended three days
    masks.iloc[:9, 2] = False  # C has three valid days
    return PlainContext({"close": close, "volume": volume}, masks)


def _valid(ctx, name, oid):
    return ctx.tables[name][oid][ctx.masks[oid]]


def test_right_alignment_constants_and_the_lookback_check(ctx):
    calls = []

    def last_two(x):
        calls.append(len(x))
        return x[-2:] * 2

    factor = CombinedFactor(last_two, (CLOSE,), lookback=3)
    df = eval_core._exec_factor(factor, ["A", "B", "C"], ctx)
    assert list(df.columns) == ["A", "B", "C"] and df.index.equals(ctx.index)
    # C has 3 valid days, not more than the look-back 3: never evaluated
    assert calls == [9, 12] and df["C"].isna().all()
    a = _valid(ctx, "close", "A")
    pd.testing.assert_series_equal(
        df["A"].dropna(), a.iloc[-2:] * 2, check_names=False, check_freq=False
    )
    assert df["A"].notna().sum() == 2

    const = CombinedFactor(lambda x: 7, (CLOSE,))
    df = eval_core._exec_factor(const, ["A", "C"], ctx)
    assert (df["A"][ctx.masks["A"]] == 7).all() and df["A"][~ctx.masks["A"]].isna().all()
    assert (df["C"].dropna() == 7).all() and df["C"].notna().sum() == 3


def test_our_operators_and_a_foreign_function_in_one_tree(ctx):
    seen = []

    def spread(x, k, m):
        seen.append((type(x), type(k), len(m)))
        return x - k * m

    factor = CombinedFactor(spread, (CLOSE, 2, ts_mean(VOLUME, 3))) / delay(CLOSE, 1)
    assert factor.shift == 2
    df = eval_core._exec_factor(factor, ["A", "B"], ctx)
    for oid in ("A", "B"):
        c, v = _valid(ctx, "close", oid), _valid(ctx, "volume", oid)
        want = (c - 2 * v.rolling(3).mean()) / c.shift(1)
        pd.testing.assert_series_equal(
            df[oid].dropna(), want.dropna(), check_names=False, rtol=1e-12
        )
    # the number arrives as given; arrays as arrays
    assert seen[0][:2] == (np.ndarray, int)
    # _exec_expr gives the same right-aligned series for one instrument
    got = eval_core._exec_expr(factor.expr, "A", ctx)
    np.testing.assert_allclose(got, df["A"][ctx.masks["A"]].to_numpy(), rtol=1e-12)
    assert eval_core._exec_expr(3, "A", ctx) == 3
    np.testing.assert_array_equal(
        eval_core._exec_expr(CLOSE, "A", ctx), _valid(ctx, "close", "A").to_numpy()
    )


def _python_unpack_error(expr):
    try:
        func, args = expr
    except Exception as e:  # noqa: BLE001
        return type(e), str(e)


@pytest.mark.parametrize("expr", [(1, 2, 3), (len,), None, 5j])
def test_malformed_expressions_fail_like_the_interpreter(ctx, expr):
    kind, message = _python_unpack_error(expr)
    with pytest.raises(kind) as err:
        eval_core._exec_expr(expr, "A", ctx)
    assert str(err.value) == message

    class Bad(AbstractFactor):
        shift = 0
        dependencies = []

        def __init__(self, e):
            self.e = e

        @property
        def expr(self):
            return self.e

        def _key(self):
            return id(self)

    with pytest.raises(kind, match=None) as err:
        eval_core._exec_factor(Bad(expr), ["A"], ctx)
    assert str(err.value) == message


def test_a_series_longer_than_the_valid_days_fails_in_the_array_library(ctx):
    factor = CombinedFactor(lambda x: np.r_[x, x], (CLOSE,))
    with pytest.raises(ValueError, match="shape mismatch"):
        eval_core._exec_factor(factor, ["A"], ctx)


class CountingRank(CrossSectionalFactor):
    calls = 0

    def execute(self, table):
        CountingRank.calls += 1
        return table.rank(axis=1, pct=True)


def test_dependencies_are_computed_once_and_masked_inputs(ctx, monkeypatch):
    CountingRank.calls = 0
    cs = CountingRank([CLOSE])
    cs_again = CountingRank([CLOSE])  # equal tree, separate object
    fixed = FixedFactor(CLOSE, "B")
    fixed_calls = []
    own_fixed = eval_core._exec_fixed
    monkeypatch.setattr(eval_core, "_exec_fixed", lambda *a: fixed_calls.append(1) or own_fixed(*a))
    factor = (cs + cs_again) * fixed - fixed
    ctx.universe_mask = pd.DataFrame(True, index=ctx.index, columns=["A", "B", "C"])
    ctx.universe_mask.iloc[-1, 0] = False
    df = eval_core._exec_factor(factor, ["A", "B", "C"], ctx)
    assert CountingRank.calls == 1 and len(fixed_calls) == 1
    ranked = ctx.tables["close"].where(ctx.masks).where(ctx.universe_mask).rank(axis=1, pct=True)
    b = ctx.tables["close"]["B"]
    want = (2 * ranked).mul(b, axis=0).sub(b, axis=0).where(ctx.masks)
    # the universe masks the cross-sectional input (A's last day has no
    # rank) but not the per-instrument path
    assert np.isnan(df.iloc[-1, 0]) and ctx.masks.iloc[-1, 0]
    pd.testing.assert_frame_equal(df, want, check_freq=False)


def test_fixed_factor_of_a_cross_sectional_factor_takes_its_column(ctx):
    fixed = FixedFactor(rank(CLOSE), "B")
    got = eval_core._exec_fixed(fixed, ["A", "B", "C"], ctx)
    want = ctx.tables["close"].where(ctx.masks).rank(axis=1, pct=True)["B"]
    pd.testing.assert_series_equal(got, want, check_freq=False)
    with pytest.raises(KeyError):
        eval_core._exec_fixed(FixedFactor(rank(CLOSE), "Z"), ["A", "B"], ctx)
