"""``tarnfold assay-many FILE``: a batch of factors from a Python file."""
import argparse
import importlib
import os
import runpy
import sys

FILE_HELP = """\
FILE is a Python file (.py) or an importable module defining

  FACTORS         a dict: name -> factor tree, function returning one, or a
                  dates x instruments DataFrame (or a function factors()
                  returning such a dict)
  ORDER_BOOK_IDS  optional: the instruments (default: every stock of the store)
  UNIVERSE        optional: passed to execute_factor
  START_DATE, END_DATE  optional defaults for --start/--end

Example:

  from tarnfold.operators import ts_mean, ts_std, returns
  FACTORS = {"mom20": ts_mean(returns(), 20), "vol20": ts_std(returns(), 20)}

Every worker opens the store itself (read-only) from the same path: on a
cluster (--scheduler) that path must hold the same store on every machine.
Exit status: 0 when every factor worked, 3 when some failed (their rows
hold the error), 1 for an unusable FILE or option."""


def add_parser(sub, add_bench_options, positive_int):
    p = sub.add_parser(
        "assay-many", help="test many factors at once, locally or on a Dask cluster",
        description="Compute and test every factor FILE defines, one Dask task per factor; "
                    "write each factor's results under --out, print the summary, the "
                    "factors' average rank correlation and a pick of weakly correlated "
                    "factors ranked by IC IR, and write the HTML report.",
        epilog=FILE_HELP, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("file", metavar="FILE", help="Python file or module defining FACTORS")
    run = p.add_argument_group("batch")
    where = run.add_mutually_exclusive_group()
    where.add_argument("--scheduler", help="address of a running Dask scheduler, e.g. "
                                           "tcp://10.0.0.5:8786 (default: a local cluster)")
    where.add_argument("--workers", type=positive_int,
                       help="worker processes of the local cluster (default: one per core)")
    where.add_argument("--serial", action="store_true",
                       help="run in this process, one factor after another, without Dask")
    run.add_argument("--out", default="tarnfold-batch",
                     help="folder for every factor's results (default %(default)s)")
    run.add_argument("--resume", action="store_true",
                     help="skip factors whose results under --out are complete")
    run.add_argument("--start", help="first date (default: START_DATE of FILE, else --years "
                                     "before --end)")
    run.add_argument("--end", help="last date (default: END_DATE of FILE, else the last date "
                                   "with returns for the longest period)")
    run.add_argument("--years", type=float, default=2.0,
                     help="years of history when no start is given (default 2)")
    run.add_argument("--threshold", type=float, default=0.5,
                     help="pick factors whose absolute average rank correlation with every "
                          "factor picked before stays below this (default 0.5)")
    run.add_argument("--pick", type=positive_int, default=10,
                     help="at most this many picked factors, each with its full section "
                          "in the report (default 10)")
    store = run.add_mutually_exclusive_group()
    store.add_argument("--store", help="market-data store (default: $MIVADA_STORE, else the "
                                       "sample store)")
    from mivada.sample import PRESETS
    store.add_argument("--sample", choices=sorted(PRESETS), help="use a sample store of this size")
    add_bench_options(p, "tarnfold-batch.html")
    return p


def load_definitions(path):
    """The FACTORS dict and the optional settings of FILE."""
    from tarnfold.cli import UserError
    try:
        if path.endswith(".py") or os.sep in path:
            if not os.path.isfile(path):
                raise UserError("FILE: no such file: {}".format(path))
            sys.path.insert(0, os.path.dirname(os.path.abspath(path)))
            try:
                space = runpy.run_path(path, run_name="tarnfold_batch_factors")
            finally:
                sys.path.pop(0)
        else:
            space = vars(importlib.import_module(path))
    except UserError:
        raise
    except ImportError as exc:
        raise UserError("FILE: cannot import {}: {}".format(path, exc))
    except Exception as exc:
        raise UserError("FILE: {} failed: {}: {}".format(path, type(exc).__name__, exc))
    factors = space.get("FACTORS")
    if factors is None and callable(space.get("factors")):
        factors = space["factors"]()
    if not isinstance(factors, dict) or not factors:
        raise UserError("FILE: {} defines no FACTORS (a non-empty dict name -> factor) nor "
                        "a function factors() returning one".format(path))
    return factors, {k: space.get(k) for k in ("ORDER_BOOK_IDS", "UNIVERSE", "START_DATE",
                                               "END_DATE")}


SHOWN = ("IC mean", "IC IR", "IC NW t", "top-bottom Sharpe", "factor return Sharpe")


def console_summary(table, periods):
    """The columns a terminal has room for: the main figures of the first
    period, pairs used, wall seconds and the error."""
    field = "P_{}".format(periods[0])
    cols = ["{} {}".format(c, field) for c in SHOWN]
    cols += ["used " + field, "wall s", "error"]
    shown = table[[c for c in cols if c in table.columns]].copy()
    for c in shown.columns:
        if c.startswith("used "):   # counts, with "-" for a failed factor
            shown[c] = [None if v != v else int(v) for v in shown[c]]
            shown[c] = shown[c].astype(object)
    return shown


def run(args, progress):
    import mivada
    import pandas as pd
    from tarnfold.analysis.formatting import format_table
    from tarnfold.batch import assay_many, factor_correlation, load_results, pick_uncorrelated
    from tarnfold.cli import UserError, _steps_from

    if not 0 < args.threshold <= 1:
        raise UserError("--threshold: expect a number in (0, 1], got {}".format(args.threshold))
    factors, settings = load_definitions(args.file)
    if args.store:
        if not os.path.exists(args.store):
            raise UserError("--store: no such store: {}".format(args.store))
        mivada.init(args.store)
    elif args.sample:
        mivada.init(sample=args.sample)
    end = args.end or settings["END_DATE"]
    if end is None:
        end = mivada.get_previous_trading_date(mivada.get_latest_trading_date(),
                                               max(args.periods) + 1)
    start = args.start or settings["START_DATE"]
    if start is None:
        start = mivada.trading_date_offset(end, -int(round(244 * args.years)))
    try:
        start, end = pd.Timestamp(start), pd.Timestamp(end)
    except (ValueError, TypeError) as exc:
        raise UserError("--start/--end: {}".format(exc))
    if start > end:
        raise UserError("--start {:%Y-%m-%d} is after --end {:%Y-%m-%d}".format(start, end))
    client = "serial" if args.serial else args.scheduler
    progress("{} factors from {:%Y-%m-%d} to {:%Y-%m-%d}, results under {}".format(
        len(factors), start, end, os.path.abspath(args.out)))
    table = assay_many(factors, order_book_ids=settings["ORDER_BOOK_IDS"], start_date=start,
                       end_date=end, universe=settings["UNIVERSE"], periods=args.periods,
                       ascending=args.ascending, steps=_steps_from(args), out=args.out,
                       client=client, n_workers=args.workers, resume=args.resume,
                       progress=progress)
    ok = [n for n in table.index if table.loc[n, "error"] is None]
    failed = len(table) - len(ok)
    corr, picks = None, []
    if len(ok) >= 2:
        progress("rank correlation of {} factors".format(len(ok)))
        corr = factor_correlation(args.out, ok)
        picks = pick_uncorrelated(table.loc[ok], corr, threshold=args.threshold,
                                  max_factors=args.pick)
    elif ok:
        picks = ok[:1]
    shown = console_summary(table, args.periods)
    if not args.quiet:
        print(format_table(shown, "######## {} factors ({} failed) ########".format(
            len(table), failed)))
        if corr is not None and len(corr) <= 20:
            print("\n" + format_table(corr, "######## average rank correlation ########"))
        print("\npicked (|correlation| < {}, by IC IR P_{}): {}".format(
            args.threshold, args.periods[0], ", ".join(picks) or "none"))
    if args.report and args.report.lower() != "none":
        progress("writing the report")
        from tarnfold.reporting import report
        sections = [("All factors", shown,
                     "The full table is {}.".format(os.path.join(os.path.abspath(args.out),
                                                                 "summary.csv")))]
        if corr is not None:
            sections.append(("Average rank correlation", corr,
                             "Mean over dates of the cross-sectional Spearman correlation of "
                             "each pair of factors, over the instruments both have."))
        sections.append(("Picked factors", pd.DataFrame(
            {"IC IR P_{}".format(args.periods[0]):
             [table.loc[n].get("IC IR P_{}".format(args.periods[0])) for n in picks]},
            index=pd.Index(picks, name="factor")),
            "Greedy pick by IC IR, absolute correlation below {} with every factor picked "
            "before; each has its full section below.".format(args.threshold)))
        results = {n: load_results(args.out, n) for n in picks}
        title = "tarnfold assay-many: {}".format(os.path.basename(args.file))
        path = report(results, args.report, title=title, sections=sections)
        progress("report written to {}".format(os.path.abspath(path)))
    return 3 if failed else 0
