"""The formulaic alphas of tarnfold.alphas against a plain numpy formulation.

    python benchmarks/bench_alphas.py [--store PATH] [--stocks 3000]
                                      [--days 1000] [--repeat 3] [--pandas]

Without --store, uses (building it once in the mivada cache folder) the same
3000 stocks x 1200 days sample store as bench_engine.py.  Every alpha is
computed over the last --days days (plus its look-back):

* end to end: ours is one ``execute_factors`` call for all alphas (store
  read, look-back, evaluation, slicing); the numpy side reads the six bar
  fields (and cap, and the industries where an alpha needs them) once per
  alpha (twice its look-back in trading days plus 20, room for suspensions)
  and computes the alpha with the numpy
  operators of benchmarks/alpha_numpy.py (valid-day windows vectorised over
  instruments, pandas ranks per date);
* evaluation only, on panels loaded beforehand: ours in one execution
  context on every core (``threads``) and on one thread, against the numpy
  formulas; the tables are compared (cells differing by more than 1e-9
  relative, or in NaN placement, are counted);
* with --pandas, the pandas group-by formulation of
  tests/engine/alpha_pandas_reference.py as well (minutes).

Times are the best of --repeat runs for ours and one run for the others;
CPU time (all threads) is shown beside wall time, since the machine may be
shared.
"""

import gc
import os
import resource
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "tests", "engine"))

import mivada  # noqa: E402
from _harness import engine_bench_setup  # noqa: E402

import alpha_numpy  # noqa: E402
from tarnfold.alphas import ALPHAS  # noqa: E402
from tarnfold.engine_v2 import eval_core  # noqa: E402
from tarnfold.engine_v2.exec_context import ThreadingExecContext  # noqa: E402
from tarnfold.leaf import Factor  # noqa: E402

try:
    from tarnfold.threads import thread_count  # noqa: E402
except ImportError:  # a build that evaluates on one thread

    def thread_count():
        return 1


FIELDS = ["open", "high", "low", "close", "volume", "total_turnover"]
INDUSTRY_ALPHAS = ("alpha_058", "alpha_059", "alpha_067", "alpha_080")


def cpu_seconds():
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime


def timed(fn, repeat=1):
    """(best wall, best CPU, the last run's result); a run's result is let
    go before the next run starts."""
    best_wall = best_cpu = float("inf")
    result = None
    for _ in range(repeat):
        result = None
        gc.collect()
        w0, c0 = time.perf_counter(), cpu_seconds()
        result = fn()
        best_wall = min(best_wall, time.perf_counter() - w0)
        best_cpu = min(best_cpu, cpu_seconds() - c0)
    return best_wall, best_cpu, result


def show(label, ours, theirs, their_name="numpy"):
    print(
        "{:<30} ours {:7.2f} s (cpu {:6.2f}) | {} {:7.2f} s (cpu {:6.2f}) | "
        "speed-up {:5.1f}x wall, {:5.1f}x cpu".format(
            label,
            ours[0],
            ours[1],
            their_name,
            theirs[0],
            theirs[1],
            theirs[0] / ours[0],
            theirs[1] / ours[1],
        )
    )


def load_panels(ids, start, end, with_cap, with_codes):
    panels = mivada.get_price_panel(ids, start, end, fields=FIELDS)
    if with_cap:
        cap = mivada.get_factor(ids, "market_cap", start, end, expect_df=True)
        panels["market_cap"] = (
            cap["market_cap"]
            .unstack("order_book_id")
            .reindex(index=panels["close"].index, columns=panels["close"].columns)
        )
    codes = None
    if with_codes:
        from tarnfold.industry import industry_codes

        codes = industry_codes(ids, panels["close"].index, "citics_2019")[0]
    return panels, codes


def compare(got, want):
    g, w = got.to_numpy(), want.reindex(index=got.index, columns=got.columns).to_numpy()
    same = (np.isnan(g) == np.isnan(w)) & (np.isnan(g) | np.isclose(g, w, rtol=1e-9, atol=1e-12))
    return int((~same).sum()), g.size


def count_differing(ours, theirs):
    """(cells differing, cells) over two lists of tables."""
    bad = cells = 0
    for got, want in zip(ours, theirs):
        b, c = compare(got, want)
        bad, cells = bad + b, cells + c
    return bad, cells


def ours_in_context(factors, ids, ctx):
    many = getattr(eval_core, "_exec_factors", None)
    if many is not None:
        return many(list(factors.values()), ids, ctx)
    return [eval_core._exec_factor(f, ids, ctx) for f in factors.values()]


def context(leaves, ids, start, end, threads):
    try:
        return ThreadingExecContext(leaves, ids, start, end, threads=threads)
    except TypeError:  # a context without a thread setting
        return ThreadingExecContext(leaves, ids, start, end)


def main(argv=None):
    def more(parser):
        parser.add_argument("--pandas", action="store_true")
        parser.add_argument(
            "--ours-only",
            action="store_true",
            help="time our side only (the numpy side takes a minute or two)",
        )

    args, store, ids, start, end = engine_bench_setup(argv, more)
    factors = {name: fn() for name, fn in ALPHAS.items()}
    lookback = max(f.shift for f in factors.values())
    leaf_start = mivada.trading_date_offset(start, -lookback)
    threads = thread_count()
    print(
        "store {}: {} instruments x {} days (+{} look-back), {} alphas, {} threads; "
        "load average {}".format(
            store.path,
            len(ids),
            args.days,
            lookback,
            len(factors),
            threads,
            " ".join("%.2f" % v for v in os.getloadavg()),
        )
    )

    # -- end to end ---------------------------------------------------------
    def ours_end_to_end():
        from tarnfold import engine_v2

        many = getattr(engine_v2, "execute_factors", None)
        if many is not None:
            return many(factors, ids, start, end)
        return {n: eval_core.execute_factor(f, ids, start, end) for n, f in factors.items()}

    def numpy_end_to_end():
        out = {}
        for name, fn in ALPHAS.items():
            # the look-back in trading days, with room for suspensions
            first = mivada.trading_date_offset(start, -(2 * factors[name].shift + 20))
            panels, codes = load_panels(
                ids, first, end, name == "alpha_056", name in INDUSTRY_ALPHAS
            )
            ops, o = alpha_numpy.namespace(panels, codes)
            out[name] = ops.table(fn(o)).loc[start:end]
        return out

    e2e_ours = timed(ours_end_to_end, args.repeat)
    if args.ours_only:
        print("end to end: ours {:.2f} s (cpu {:.2f})".format(*e2e_ours[:2]))
    else:
        e2e_numpy = timed(numpy_end_to_end)
        show("end to end", e2e_ours, e2e_numpy)
        bad = sum(compare(e2e_ours[2][n], e2e_numpy[2][n])[0] for n in factors)
        print(
            "  cells differing between the two: {} (where a suspension outlasts the numpy "
            "side's look-back, counted in trading days)".format(bad)
        )
    e2e_ours = e2e_numpy = None

    # -- evaluation only ----------------------------------------------------
    leaves = [Factor(f) for f in FIELDS + ["market_cap"]]
    t0 = time.perf_counter()
    ctx_all = context(leaves, ids, leaf_start, end, threads)
    ctx_one = context(leaves, ids, leaf_start, end, 1)
    t_ctx = (time.perf_counter() - t0) / 2
    panels, codes = load_panels(ids, leaf_start, end, True, True)
    print("loading: context {:.2f} s".format(t_ctx))
    ev_one = timed(lambda: ours_in_context(factors, ids, ctx_one), args.repeat)
    ev_ours = timed(lambda: ours_in_context(factors, ids, ctx_all), args.repeat)
    if args.ours_only:
        print(
            "evaluation: ours {:.2f} s (cpu {:.2f}) on {} threads, {:.2f} s (cpu {:.2f}) "
            "on 1".format(ev_ours[0], ev_ours[1], threads, ev_one[0], ev_one[1])
        )
        mivada.close()
        return

    def numpy_formulas():
        ops, o = alpha_numpy.namespace(panels, codes)
        return [ops.table(fn(o)) for fn in ALPHAS.values()]

    ev_numpy = timed(numpy_formulas)
    show("evaluation, {} threads".format(threads), ev_ours, ev_numpy)
    show("evaluation, 1 thread", ev_one, ev_numpy)
    print(
        "  {} of {} cells differ between ours and numpy".format(
            *count_differing(ev_ours[2], ev_numpy[2])
        )
    )
    same = all(
        np.array_equal(a.to_numpy(), b.to_numpy(), equal_nan=True)
        for a, b in zip(ev_ours[2], ev_one[2])
    )
    print("  {} threads and 1 thread give the same bits: {}".format(threads, same))
    ev_numpy = ev_one = None

    if args.pandas:
        from alpha_pandas_reference import namespace

        def pandas_formulas():
            ops, o = namespace(panels)
            return [ops.table(fn(o)) for fn in ALPHAS.values()]

        ev_pandas = timed(pandas_formulas)
        show("evaluation vs pandas group-by", ev_ours, ev_pandas, "pandas")
    mivada.close()


if __name__ == "__main__":
    main()
