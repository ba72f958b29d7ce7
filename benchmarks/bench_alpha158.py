"""The 158 features of tarnfold.alpha158 against a plain numpy formulation.

    python benchmarks/bench_alpha158.py [--store PATH] [--stocks 3000]
                                        [--days 1000] [--repeat 3]

Without --store, uses the 3000 stocks x 1200 days sample store of
bench_engine.py.  Every feature over the last --days days:

* end to end: ours is one ``execute_factors`` call (store read, look-back,
  evaluation, slicing); the numpy side reads the bar fields once, 120
  trading days before the first requested day (room for the longest
  window and suspensions), and computes every feature with the operators
  of benchmarks/alpha_numpy.py (valid-day windows vectorised over
  instruments);
* evaluation only, on panels loaded beforehand: ours in one execution
  context on every core and on one thread, against the numpy formulas; the
  tables are compared (cells differing by more than 1e-9 relative, or in
  NaN placement).

Ours: best of --repeat; numpy: one run.  CPU time (all threads) beside wall.
"""

import gc
import os
import sys


HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import mivada  # noqa: E402
from _harness import engine_bench_setup  # noqa: E402

import alpha_numpy  # noqa: E402
from bench_alphas import FIELDS, compare, count_differing, show, timed  # noqa: E402
from tarnfold.alpha158 import features  # noqa: E402
from tarnfold.engine_v2 import eval_core, execute_factors  # noqa: E402
from tarnfold.engine_v2.exec_context import ThreadingExecContext  # noqa: E402
from tarnfold.leaf import Factor  # noqa: E402
from tarnfold.threads import thread_count  # noqa: E402


def main(argv=None):
    args, store, ids, start, end = engine_bench_setup(argv)
    factors = features()
    threads = thread_count()
    print(
        "store {}: {} instruments x {} days, {} features, {} threads; load average {}".format(
            store.path,
            len(ids),
            args.days,
            len(factors),
            threads,
            " ".join("%.2f" % v for v in os.getloadavg()),
        )
    )

    def numpy_end_to_end():
        first = mivada.trading_date_offset(start, -120)
        panels = mivada.get_price_panel(ids, first, end, fields=FIELDS)
        ops, o = alpha_numpy.namespace(panels)
        return {name: ops.table(f).loc[start:end] for name, f in features(o).items()}

    e2e_ours = timed(lambda: execute_factors(factors, ids, start, end), args.repeat)
    e2e_numpy = timed(numpy_end_to_end)
    show("end to end", e2e_ours, e2e_numpy)
    bad = sum(compare(e2e_ours[2][n], e2e_numpy[2][n])[0] for n in factors)
    print("  cells differing between the two: {}".format(bad))
    e2e_ours = e2e_numpy = None
    gc.collect()

    first = mivada.trading_date_offset(start, -max(f.shift for f in factors.values()))
    leaves = [Factor(f) for f in FIELDS]
    ctx_all = ThreadingExecContext(leaves, ids, first, end, threads=threads)
    ctx_one = ThreadingExecContext(leaves, ids, first, end, threads=1)
    panels = mivada.get_price_panel(ids, first, end, fields=FIELDS)
    trees = list(factors.values())
    # (158 tables of dates x instruments each: one run's result at a time)
    ev_one = timed(lambda: eval_core._exec_factors(trees, ids, ctx_one), args.repeat)[:2]
    ev_ours = timed(lambda: eval_core._exec_factors(trees, ids, ctx_all), args.repeat)

    def numpy_formulas():
        ops, o = alpha_numpy.namespace(panels)
        return [ops.table(f) for f in features(o).values()]

    ev_numpy = timed(numpy_formulas)
    show("evaluation, {} threads".format(threads), ev_ours, ev_numpy)
    show("evaluation, 1 thread", ev_one + (None,), ev_numpy)
    print(
        "  {} of {} cells differ between ours and numpy".format(
            *count_differing(ev_ours[2], ev_numpy[2])
        )
    )
    mivada.close()


if __name__ == "__main__":
    main()
