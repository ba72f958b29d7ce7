"""Factor trees of any depth and size: built, compared, printed, pickled and
evaluated without recursion, shared parts computed once."""

import os
import pickle
import subprocess
import sys
import textwrap

import numpy as np
import pandas as pd
import pytest

import mivada
from tarnfold.cross_sectional import CrossSectionalFactor, rank, zscore
from tarnfold.engine_v2 import eval_core
from tarnfold.fix import fix
from tarnfold.interface import describe
from tarnfold.leaf import CLOSE, OPEN, VOLUME
from tarnfold.operators import delay, ts_mean

INDEX = "000300.XSHG"


def _chain(step, depth, start=CLOSE):
    x = start
    for _ in range(depth):
        x = step(x)
    return x


def test_deep_trees_are_hashed_compared_printed_and_pickled_without_recursion():
    for step, depth in [(lambda x: x + 1, 15_000), (lambda x: delay(x, 1), 20_000), (rank, 30_000)]:
        tree = _chain(step, depth)
        back = pickle.loads(pickle.dumps(tree))
        assert back is not tree and back == tree and hash(back) == hash(tree)
        assert back.shift == tree.shift and step(back) != tree
        text = describe(tree)
        assert len(text) < 210 and text.endswith("...")
    assert repr(_chain(rank, 3)) == "rank(rank(rank(Factor('close'))))"


def test_deep_trees_evaluate_or_fail_clearly(tiny_store):
    # In a fresh interpreter: a regression that recursed would kill it (a
    # C stack overflow), not this test run.
    script = textwrap.dedent("""
        import mivada
        from tarnfold.cross_sectional import rank
        from tarnfold.engine_v2 import eval_core
        from tarnfold.engine_v2.exec_context import ThreadingExecContext
        from tarnfold.leaf import CLOSE
        from tarnfold.operators import delay

        mivada.init({store!r})
        ids = mivada.all_instruments("CS")["order_book_id"].tolist()[:5]
        end = mivada.get_latest_trading_date()
        start = mivada.trading_date_offset(end, -20)
        x = CLOSE
        for _ in range(15000):
            x = x + 1
        got = eval_core.execute_factor(x, ids, start, end)
        close = eval_core.execute_factor(CLOSE, ids, start, end)
        assert ((got - close - 15000).abs().max().max()) < 1e-6
        y = CLOSE
        for _ in range(100000):
            y = rank(y)
        got = eval_core.execute_factor(y, ids, start, end)
        want = eval_core.execute_factor(rank(CLOSE), ids, start, end)
        assert got.equals(want)
        z = CLOSE
        for _ in range(20000):
            z = delay(z, 1)
        ctx = ThreadingExecContext([CLOSE], ids, start, end)
        assert all(v != v for v in eval_core._exec_expr(z.expr, ids[0], ctx))
        try:
            eval_core.execute_factor(z, ids, start, end)
        except ValueError as e:
            assert "look-back of 20000 trading days" in str(e) and len(str(e)) < 600
        else:
            raise AssertionError("no error")
        print("ok")
    """).format(store=tiny_store)
    run = subprocess.run(
        [sys.executable, "-c", script],
        capture_output=True,
        text=True,
        timeout=300,
        env=dict(os.environ, PYTHONWARNINGS="ignore"),
    )
    assert run.returncode == 0 and run.stdout.strip() == "ok", run.stderr[-2000:]


class CountingRank(CrossSectionalFactor):
    calls = 0

    def execute(self, table):
        CountingRank.calls += 1
        return table.rank(axis=1, pct=True)


class Pair(CrossSectionalFactor):
    """The sum of two cross-sections (a class of one's own)."""

    calls = 0

    def execute(self, a, b):
        Pair.calls += 1
        return a + b


@pytest.mark.parametrize("substituted", [False, True])
def test_a_shared_cross_section_is_computed_once_per_call(store, monkeypatch, substituted):
    # Every level reads the one below twice, which costs 2 ** 12
    # computations when shared parts are not kept.  Also when the module's
    # functions are substituted (the engine then follows the evaluation
    # contract call by call).
    if substituted:
        own = eval_core._exec_cross_sectional
        monkeypatch.setattr(eval_core, "_exec_cross_sectional", lambda *a: own(*a))
    ids = mivada.all_instruments("CS")["order_book_id"].tolist()[:8]
    end = mivada.get_latest_trading_date()
    start = mivada.trading_date_offset(end, -10)
    f, g = CLOSE, CLOSE
    for _ in range(12):
        f = CountingRank([f]) + zscore(f)  # through per-instrument sums
        g = Pair([rank(g), zscore(g)])  # cross-section on cross-section
    CountingRank.calls = Pair.calls = 0
    got = eval_core.execute_factor(f + g, ids, start, end)
    assert CountingRank.calls == 12 and Pair.calls == 12
    assert got.notna().any().any()


def _wide_tree():
    """About 300 terms, with cross-sectional and fixed parts and sharing."""
    ret = CLOSE / delay(CLOSE, 1) - 1
    shared = rank(ts_mean(ret, 3))
    x = shared
    for i in range(100):
        x = x + (OPEN - CLOSE) * (i + 1) / VOLUME + shared * 0.5
    return x - fix(ret, INDEX)


def test_pickled_trees_come_back_equal_shared_and_computable(store):
    tree = _wide_tree()
    back = pickle.loads(pickle.dumps(tree))
    assert back == tree and back is not tree
    # what was one object is one object again
    shared = rank(CLOSE)
    twice = pickle.loads(pickle.dumps(shared + shared * 2))
    assert twice.args[0] is twice.args[1].args[0]
    # the hash is the receiving interpreter's own (string hashes differ
    # between processes), so it is never sent
    assert "_hash" not in pickle.loads(pickle.dumps(tree)).__dict__
    ids = mivada.all_instruments("CS")["order_book_id"].tolist()[:10]
    end = mivada.get_latest_trading_date()
    start = mivada.trading_date_offset(end, -10)
    pd.testing.assert_frame_equal(
        eval_core.execute_factor(back, ids, start, end),
        eval_core.execute_factor(tree, ids, start, end),
    )


class Tagged(CrossSectionalFactor):
    def __reduce__(self):
        return _rebuild_tagged, (self.sub_factors[0],)

    def execute(self, table):
        return table


def _rebuild_tagged(sub):
    return Tagged([sub])


def test_a_class_pickling_itself_keeps_its_own_way():
    tree = Tagged([CLOSE]) + 1
    back = pickle.loads(pickle.dumps(tree))
    assert back == tree and type(back.args[0]) is Tagged


def test_trees_that_differ_only_in_a_number_or_a_pin_are_different():
    assert ts_mean(CLOSE, 5) != ts_mean(CLOSE, 6)
    assert fix(CLOSE, "A") != fix(CLOSE, "B")
    assert (CLOSE + 1) != (CLOSE + 2) and (CLOSE + 1) == (CLOSE + 1.0)
    assert rank(CLOSE) != zscore(CLOSE)
    assert len({rank(CLOSE + 1), rank(CLOSE + 1), rank(CLOSE + 2)}) == 2
    assert np.isfinite(hash(_wide_tree()))
