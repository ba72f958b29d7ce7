"""Factor engine speed and memory on a large sample store.

    python benchmarks/bench_engine.py [--store PATH] [--stocks 3000]
                                      [--days 1000] [--repeat 3]

Without --store, builds (once, in the mivada cache folder) a sample store of
3000 stocks x 1200 trading days and computes over its last --days days:

* leaf loading: building the execution context (close and volume of every
  instrument over the range plus the look-back, two bulk queries);
* a factor of about 20 nodes (the cross-sectional rank of the 20-day return
  over the 20-day volatility of daily returns, plus the ratio of the 10-day
  to the 60-day mean volume and a 20-day EMA-smoothed 5-day close change),
  evaluated in a prebuilt context (warm), against the plain pandas
  formulation of the same factor on the same panels: a long table of valid
  days, ``groupby(order_book_id).shift/rolling/ewm``, unstack, then
  ``rank(axis=1, pct=True)``.  The two results are checked equal (1e-10
  relative, NaN in the same places);
* ``execute_factor`` end to end (context, look-back, evaluation, slicing).

Time is the best of --repeat runs; peak memory is the growth of the
resident set during one run (see _harness.py).
"""
import argparse
import os
import sys
import time

import numpy as np
import pandas as pd

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import mivada  # noqa: E402
from mivada.sample import PRESETS, SampleSize, build_sample_store  # noqa: E402
from _harness import measure, report  # noqa: E402

from tarnfold.cross_sectional import rank  # noqa: E402
from tarnfold.engine_v2 import eval_core  # noqa: E402
from tarnfold.engine_v2.exec_context import ThreadingExecContext  # noqa: E402
from tarnfold.leaf import CLOSE, VOLUME  # noqa: E402
from tarnfold.operators import delay, delta, ema, ts_mean, ts_std  # noqa: E402
from tarnfold.utils import get_leaves  # noqa: E402


def make_factor():
    ret = CLOSE / delay(CLOSE, 1) - 1
    mom = CLOSE / delay(CLOSE, 20) - 1
    risk_adjusted = rank(mom / ts_std(ret, 20))
    volume_trend = ts_mean(VOLUME, 10) / ts_mean(VOLUME, 60)
    smooth_change = ema(delta(CLOSE, 5), 20) / CLOSE
    return risk_adjusted + volume_trend - smooth_change


def count_nodes(factor):
    from tarnfold.utils import walk

    return sum(1 for _ in walk(factor))


def pandas_factor(close, volume):
    """The same factor with pandas on dates x instruments panels."""
    valid = close.notna() & (volume != 0)
    # one row per valid day (stack keeps NaN cells in pandas 3)
    long_close = close.where(valid).stack().dropna()
    long_volume = volume.stack().reindex(long_close.index)
    key = long_close.index.get_level_values(1)

    def by_inst(s):
        return s.groupby(key, sort=False)

    def rolling(s, d, how):
        r = getattr(by_inst(s).rolling(d), how)()
        return r.droplevel(0).reindex(s.index)

    ret = long_close / by_inst(long_close).shift(1) - 1
    mom = long_close / by_inst(long_close).shift(20) - 1
    ratio = (mom / rolling(ret, 20, "std")).unstack().reindex(
        index=close.index, columns=close.columns)
    risk_adjusted = ratio.rank(axis=1, pct=True)
    volume_trend = rolling(long_volume, 10, "mean") / rolling(long_volume, 60, "mean")
    change = long_close - by_inst(long_close).shift(5)
    smooth = by_inst(change).transform(
        lambda s: s.ewm(span=20, adjust=False, min_periods=20).mean())
    rest = (volume_trend - smooth / long_close).unstack().reindex(
        index=close.index, columns=close.columns)
    return risk_adjusted.where(valid) + rest


def main(argv=None):
    parser = argparse.ArgumentParser()
    parser.add_argument("--store")
    parser.add_argument("--stocks", type=int, default=3000)
    parser.add_argument("--days", type=int, default=1000)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args(argv)

    if args.store:
        path = args.store
    else:
        base = PRESETS["bench"]
        size = SampleSize(args.stocks, args.days + 200, base.seed, base.end_date)
        path = mivada.sample_path(size)
        if not os.path.exists(path):
            t0 = time.perf_counter()
            build_sample_store(path, size)
            print("generated {} stocks x {} days in {:.1f}s".format(
                size.n_stocks, size.n_days, time.perf_counter() - t0))
    store = mivada.init(path)
    ids = list(mivada.all_instruments("CS")["order_book_id"][:args.stocks])
    end = store.data_end
    start = mivada.trading_date_offset(end, -(args.days - 1))
    factor = make_factor()
    lookback = factor.shift + 126
    leaf_start = mivada.trading_date_offset(start, -lookback)
    print("store {}: {} instruments, {} days requested ({} loaded), "
          "factor of {} nodes, shift {}".format(
              path, len(ids), args.days, args.days + lookback,
              count_nodes(factor), factor.shift))

    leaves = get_leaves(factor)

    def load():
        return ThreadingExecContext(leaves, ids, leaf_start, end)

    def load_pandas():
        panel = mivada.get_price_panel(ids, leaf_start, end, ["close", "volume"])
        return panel["close"], panel["volume"]

    ctx = load()
    close, volume = load_pandas()

    def ours():
        return eval_core._exec_factor(factor, ids, ctx)

    def theirs():
        return pandas_factor(close, volume)

    got, want = ours(), theirs()
    want = want.reindex(index=got.index, columns=got.columns)
    same_nan = np.array_equal(np.isnan(got.to_numpy()), np.isnan(want.to_numpy()))
    close_enough = np.allclose(got.to_numpy(), want.to_numpy(), rtol=1e-10,
                               atol=1e-12, equal_nan=True)
    print("results agree: NaN in the same places: {}, values within 1e-10: {}"
          .format(same_nan, close_enough))
    report("leaf loading (context)", measure(load, args.repeat),
           measure(load_pandas, args.repeat))
    report("~20-node factor, warm", measure(ours, args.repeat),
           measure(theirs, args.repeat))
    t_e2e, m_e2e, _ = measure(
        lambda: eval_core.execute_factor(factor, ids, start, end), args.repeat)
    print("execute_factor end to end: {:.1f} ms, peak {:.1f} MiB (leaf panels: "
          "{:.1f} MiB each)".format(t_e2e * 1e3, m_e2e,
                                   close.to_numpy().nbytes / 2 ** 20))
    mivada.close()
    return 0 if (same_nan and close_enough) else 1


if __name__ == "__main__":
    sys.exit(main())
