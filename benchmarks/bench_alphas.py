"""The formulaic alphas of tarnfold.alphas against their pandas formulation.

    python benchmarks/bench_alphas.py [--store PATH] [--stocks 3000]
                                      [--days 1000] [--repeat 2]

Without --store, uses (building it once in the mivada cache folder) the same
3000 stocks x 1200 days sample store as bench_engine.py.  Every alpha is
computed over the last --days days (plus the longest look-back) by the
engine in one execution context, and by the same alpha formulas evaluated
with the plain pandas operators of tests/engine/alpha_pandas_reference.py
(group-by shifts and rolling windows on a long table of valid days,
group-by-date ranks) on the same panels.  Prints per alpha the two times
and the number of cells that differ (NaN placement, or more than 1e-10
relative), then the totals.  Ours: best of --repeat; pandas: one run.
"""
import argparse
import os
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "tests", "engine"))

import mivada  # noqa: E402
from _harness import engine_bench_store  # noqa: E402

from alpha_pandas_reference import namespace  # noqa: E402
from tarnfold.alphas import ALPHAS  # noqa: E402
from tarnfold.engine_v2 import eval_core  # noqa: E402
from tarnfold.engine_v2.exec_context import ThreadingExecContext  # noqa: E402
from tarnfold.leaf import Factor  # noqa: E402

FIELDS = ["open", "high", "low", "close", "volume", "total_turnover"]


def main(argv=None):
    parser = argparse.ArgumentParser()
    parser.add_argument("--store")
    parser.add_argument("--stocks", type=int, default=3000)
    parser.add_argument("--days", type=int, default=1000)
    parser.add_argument("--repeat", type=int, default=2)
    args = parser.parse_args(argv)

    store = engine_bench_store(args.store, args.stocks, args.days)
    ids = list(mivada.all_instruments("CS")["order_book_id"][:args.stocks])
    end = store.data_end
    start = mivada.trading_date_offset(end, -(args.days - 1))
    factors = {name: fn() for name, fn in ALPHAS.items()}
    lookback = max(f.shift for f in factors.values())
    leaf_start = mivada.trading_date_offset(start, -lookback)
    print("store {}: {} instruments x {} days (+{} look-back), {} alphas".format(
        store.path, len(ids), args.days, lookback, len(factors)))

    t0 = time.perf_counter()
    leaves = FIELDS + ["market_cap"]          # cap of alpha_056: a published factor
    ctx = ThreadingExecContext([Factor(f) for f in leaves], ids, leaf_start, end)
    t_load = time.perf_counter() - t0
    t0 = time.perf_counter()
    panels = mivada.get_price_panel(ids, leaf_start, end, fields=FIELDS)
    cap = mivada.get_factor(ids, "market_cap", leaf_start, end, expect_df=True)
    panels["market_cap"] = cap["market_cap"].unstack("order_book_id").reindex(
        index=panels["close"].index, columns=panels["close"].columns)
    ops, o = namespace(panels)
    t_pandas_setup = time.perf_counter() - t0
    print("loading: context {:.2f} s; pandas panels + long table {:.2f} s".format(
        t_load, t_pandas_setup))

    total_ours = total_theirs = 0.0
    bad_total = cells = 0
    print("{:<10} {:>9} {:>10} {:>8} {:>10}".format("alpha", "ours ms", "pandas ms",
                                                   "ratio", "differing"))
    for name, factor in factors.items():
        best = float("inf")
        for _ in range(args.repeat):
            t0 = time.perf_counter()
            got = eval_core._exec_factor(factor, ids, ctx).loc[start:end]
            best = min(best, time.perf_counter() - t0)
        t0 = time.perf_counter()
        want = ops.table(ALPHAS[name](o)).loc[start:end]
        theirs = time.perf_counter() - t0
        g, w = got.to_numpy(), want.to_numpy()
        same = (np.isnan(g) == np.isnan(w)) & (
            np.isnan(g) | np.isclose(g, w, rtol=1e-10, atol=1e-12))
        bad = int((~same).sum())
        bad_total += bad
        cells += g.size
        total_ours += best
        total_theirs += theirs
        print("{:<10} {:>9.1f} {:>10.1f} {:>8.1f} {:>10d}".format(
            name, best * 1e3, theirs * 1e3, theirs / best, bad))
    print("total: ours {:.2f} s, pandas {:.2f} s, speed-up {:.1f}x; {} of {} cells "
          "differ".format(total_ours, total_theirs, total_theirs / total_ours,
                          bad_total, cells))
    mivada.close()


if __name__ == "__main__":
    main()
