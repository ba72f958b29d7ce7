"""Factor engine speed and memory on a large sample store.

    python benchmarks/bench_engine.py [--store PATH] [--stocks 3000]
                                      [--days 1000] [--repeat 3]

Without --store, builds (once, in the mivada cache folder) a sample store of
3000 stocks x 1200 trading days and computes over its last --days days:

* leaf loading: building the execution context (close and volume of every
  instrument over the range plus the look-back, two bulk queries);
* a factor of about 20 nodes (the cross-sectional rank of the 20-day return
  over the 20-day volatility of daily returns, plus the 10-day correlation
  of volume and close, the ratio of the 10-day to the 60-day mean volume
  and a 20-day EMA-smoothed 5-day close change), evaluated in a prebuilt
  context (warm), against the same formula evaluated with plain pandas
  operators on the same panels (tests/engine/alpha_pandas_reference.py: a
  long table of valid days, ``groupby(order_book_id)`` shifts, rolling
  windows and ``ewm``, ``groupby(date).rank(pct=True)``).  The two results
  are checked equal (1e-10 relative, NaN in the same places);
* ``execute_factor`` end to end (context, look-back, evaluation, slicing);
* the per-call cost: ``execute_factor(CLOSE * 1)`` for 500 stocks and for
  all of them against reading their close alone from the store (what is
  left is the call's own cost: listings, calendar, valid days,
  evaluation, the table).

Time is the best of --repeat runs; peak memory is the growth of the
resident set during one run (see _harness.py) and, separately, the
tracemalloc peak of one run (numpy and Python allocations).
"""

import os
import sys
import tracemalloc
import types

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import mivada  # noqa: E402
from _harness import engine_bench_setup, measure, report  # noqa: E402

sys.path.insert(
    0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "engine")
)

from alpha_pandas_reference import namespace  # noqa: E402
from tarnfold import alphas  # noqa: E402
from tarnfold.engine_v2 import eval_core  # noqa: E402
from tarnfold.engine_v2.exec_context import ThreadingExecContext  # noqa: E402
from tarnfold.operators import ema  # noqa: E402
from tarnfold.utils import DMA_WARMUP_DAYS, get_leaves  # noqa: E402

OURS = types.SimpleNamespace(**vars(alphas.OPS), ema=ema)


def make_factor(o):
    """The benchmark factor on an operator namespace (tarnfold's, or the
    pandas one of tests/engine/alpha_pandas_reference.py)."""
    ret = o.close / o.delay(o.close, 1) - 1
    mom = o.close / o.delay(o.close, 20) - 1
    risk_adjusted = o.rank(mom / o.ts_std(ret, 20))
    volume_trend = o.ts_mean(o.volume, 10) / o.ts_mean(o.volume, 60)
    smooth_change = o.ema(o.delta(o.close, 5), 20) / o.close
    return risk_adjusted + o.correlation(o.volume, o.close, 10) + volume_trend - smooth_change


def read_close(ids, start, end):
    """The close of ``ids`` as the engine needs it (arrays where this
    mivada offers them)."""
    try:
        return mivada.get_price_panel(ids, start, end, ["close"], as_arrays=True)
    except TypeError:
        return mivada.get_price_panel(ids, start, end, ["close"])


def per_call_cost(ids, start, end, repeat):
    from tarnfold.leaf import CLOSE

    factor = CLOSE * 1
    eval_core.execute_factor(factor, ids, start, end)  # the store's kept data
    call = measure(lambda: eval_core.execute_factor(factor, ids, start, end), max(repeat, 5))
    read = measure(lambda: read_close(ids, start, end), max(repeat, 5))
    print(
        "execute_factor(CLOSE * 1), {:>4} stocks: {:7.1f} ms | reading their close: "
        "{:7.1f} ms | the call's own cost {:6.1f} ms (ratio {:.2f})".format(
            len(ids), call[0] * 1e3, read[0] * 1e3, (call[0] - read[0]) * 1e3, call[0] / read[0]
        )
    )


def count_nodes(factor):
    from tarnfold.utils import walk

    return sum(1 for _ in walk(factor))


def main(argv=None):
    args, store, ids, start, end = engine_bench_setup(argv)
    factor = make_factor(OURS)
    lookback = factor.shift + DMA_WARMUP_DAYS
    leaf_start = mivada.trading_date_offset(start, -lookback)
    print(
        "store {}: {} instruments, {} days requested ({} loaded), "
        "factor of {} nodes, shift {}".format(
            store.path, len(ids), args.days, args.days + lookback, count_nodes(factor), factor.shift
        )
    )

    for n in (500, len(ids)):
        per_call_cost(ids[:n], start, end, args.repeat)
    leaves = get_leaves(factor)

    def load():
        return ThreadingExecContext(leaves, ids, leaf_start, end)

    def load_pandas():
        return mivada.get_price_panel(ids, leaf_start, end, ["close", "volume"])

    ctx = load()
    panels = load_pandas()
    close = panels["close"]

    def ours():
        return eval_core._exec_factor(factor, ids, ctx)

    def theirs():
        ops, o = namespace(panels)
        return ops.table(make_factor(o))

    got, want = ours(), theirs()
    want = want.reindex(index=got.index, columns=got.columns)
    same_nan = np.array_equal(np.isnan(got.to_numpy()), np.isnan(want.to_numpy()))
    close_enough = np.allclose(
        got.to_numpy(), want.to_numpy(), rtol=1e-10, atol=1e-12, equal_nan=True
    )
    print(
        "results agree: NaN in the same places: {}, values within 1e-10: {}".format(
            same_nan, close_enough
        )
    )
    report("leaf loading (context)", measure(load, args.repeat), measure(load_pandas, args.repeat))
    report("~20-node factor, warm", measure(ours, args.repeat), measure(theirs, args.repeat))
    t_e2e, m_e2e, _ = measure(
        lambda: eval_core.execute_factor(factor, ids, start, end), args.repeat
    )
    print(
        "execute_factor end to end: {:.1f} ms, peak {:.1f} MiB (leaf panels: "
        "{:.1f} MiB each)".format(t_e2e * 1e3, m_e2e, close.to_numpy().nbytes / 2**20)
    )
    for label, fn in (("ours", ours), ("pandas", theirs)):
        tracemalloc.start()
        fn()
        peak = tracemalloc.get_traced_memory()[1]
        tracemalloc.stop()
        print("tracemalloc peak of the factor, {}: {:.1f} MiB".format(label, peak / 2**20))
    mivada.close()
    return 0 if (same_nan and close_enough) else 1


if __name__ == "__main__":
    sys.exit(main())
