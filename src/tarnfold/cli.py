"""The ``tarnfold`` command (also ``python -m tarnfold``)."""
import argparse
import os
import sys
import textwrap
import time
import warnings

from mivada.sample import PRESETS, PUBLISHED_FACTORS, SIGNAL_PREMIUM

DEMO_FACTORS = ("reversal_close_5d", "value_score", "noise")
PREPROCESS_CHOICES = ("winsorize", "normalize", "neutralize")
DATE_COLUMNS = ("date", "datetime", "trade_date")
ID_COLUMNS = ("order_book_id",)


class UserError(Exception):
    """A mistake in the command's input: printed as one line, exit code 1."""


def _computed_factors():
    """Factors the demo computes with the execution engine from the store's
    bars: name -> (description, builder returning the factor tree)."""
    def reversal(days):
        def build():
            from tarnfold.leaf import CLOSE
            from tarnfold.operators import delay
            return -(CLOSE / delay(CLOSE, days) - 1)
        return build

    def volume_trend():
        from tarnfold.leaf import VOLUME
        from tarnfold.operators import ts_mean
        return ts_mean(VOLUME, 5) / ts_mean(VOLUME, 20)

    return {
        "reversal_close_5d": ("-(close / delay(close, 5) - 1): five-day reversal from "
                              "close prices (a real signal)", reversal(5)),
        "reversal_close_20d": ("-(close / delay(close, 20) - 1): twenty-day reversal",
                               reversal(20)),
        "volume_trend": ("ts_mean(volume, 5) / ts_mean(volume, 20): carries no premium",
                         volume_trend),
    }


def _factor_help():
    lines = []
    for name in PUBLISHED_FACTORS:
        if name in SIGNAL_PREMIUM:
            what = "carries a next-day premium (a real signal)"
        elif name == "noise":
            what = "carries no signal"
        else:
            what = "a size measure"
        lines.append("  {:<19} {}".format(name, what))
    computed = ["  {:<19} {}".format(name, text)
                for name, (text, _) in _computed_factors().items()]
    return ("factors of the sample store (read with execute_factor):\n" + "\n".join(lines) +
            "\n\nfactors the demo computes with execute_factor from the store's bars:\n" +
            "\n".join(computed))


def _periods(text):
    try:
        values = tuple(int(p) for p in str(text).split(","))
    except ValueError:
        raise argparse.ArgumentTypeError(
            "expect comma-separated positive integers such as 1,5,20, got {!r}".format(text))
    if not values or min(values) < 1:
        raise argparse.ArgumentTypeError("periods must be positive, got {!r}".format(text))
    return values


def _positive_int(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("expect a positive integer, got {!r}".format(text))
    if value < 1:
        raise argparse.ArgumentTypeError("expect a positive integer, got {!r}".format(text))
    return value


def _preprocess(text):
    if str(text).lower() in ("", "none"):
        return ()
    steps = tuple(s.strip() for s in str(text).split(",") if s.strip())
    bad = [s for s in steps if s not in PREPROCESS_CHOICES]
    if bad:
        raise argparse.ArgumentTypeError("unknown step(s) {}; choose from {} or none".format(
            ", ".join(bad), ",".join(PREPROCESS_CHOICES)))
    return steps


def _none_or(text):
    return None if str(text).lower() in ("", "none") else text


def _add_bench_options(p, report_default):
    g = p.add_argument_group("bench")
    g.add_argument("--periods", type=_periods, default=(1, 5, 20),
                   help="holding periods in trading days, comma-separated (default 1,5,20)")
    g.add_argument("--preprocess", type=_preprocess, default=PREPROCESS_CHOICES,
                   help="preprocessing steps in order, from winsorize,normalize,neutralize, "
                        "or none (default: all three; steps this build lacks are skipped)")
    g.add_argument("--winsorize", choices=("mad", "std", "percentile"), default="mad",
                   help="winsorize method: mad = median +- 3 x 1.4826 x MAD, std = mean +- 3 "
                        "standard deviations, percentile = 1st/99th percentiles (default mad)")
    g.add_argument("--industry", type=_none_or, default="citics_2019",
                   help="industry source for the IC breakdown and neutralization: "
                        "citics_2019, sws or none (default citics_2019)")
    g.add_argument("--max-decay", type=int, default=10,
                   help="IC decay lags 0..N-1 (default 10; 0 for none)")
    g.add_argument("--quantiles", type=_positive_int, default=5,
                   help="number of factor-sorted groups (default 5)")
    g.add_argument("--benchmark", type=_none_or, default="000300.XSHG",
                   help="index order_book_id the groups are compared with, or none "
                        "(default 000300.XSHG)")
    g.add_argument("--ascending", action="store_true",
                   help="smaller factor values are better (default: larger are better)")
    g.add_argument("--report", default=report_default,
                   help="HTML report to write (default %(default)s; 'none' for no report)")
    g.add_argument("--quiet", "-q", action="store_true",
                   help="print no progress and no tables (errors still go to stderr)")
    g.add_argument("--traceback", action="store_true",
                   help="on an error, show the full Python traceback instead of one line")


def build_parser():
    parser = argparse.ArgumentParser(
        prog="tarnfold",
        description=textwrap.fill(
            "Test stock-selection factors: winsorize, normalize, neutralize, then IC "
            "(with decay and industry breakdown), quantile-group returns and "
            "factor returns; print summaries and write an HTML report.", 78),
        epilog=_factor_help(),
        formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")

    demo = sub.add_parser(
        "demo", help="test factors of the embedded sample market (generated on first use)",
        description=textwrap.fill(
            "Open the sample store, test factors with a real signal and without one, "
            "print the summaries and write a report.", 78),
        epilog=_factor_help(), formatter_class=argparse.RawDescriptionHelpFormatter)
    demo.add_argument("--sample", choices=sorted(PRESETS), default="default",
                      help="sample store size (default: default, 500 stocks x 970 days)")
    demo.add_argument("--factors", default=",".join(DEMO_FACTORS),
                      help="comma-separated factor names (default %(default)s)")
    demo.add_argument("--years", type=float, default=2.0,
                      help="years of factor history to test (default 2)")
    _add_bench_options(demo, "tarnfold-demo.html")

    assay = sub.add_parser(
        "assay", help="test your own factor table (Parquet or CSV, wide or long)",
        description=textwrap.fill(
            "Test a factor table. Wide: the first column (or a column named "
            "date/datetime/trade_date) holds dates, every other column is one "
            "instrument. Long: columns date (or datetime/trade_date), order_book_id "
            "and the factor value (pick it with --column when there are several).", 78),
        formatter_class=argparse.RawDescriptionHelpFormatter)
    assay.add_argument("file", metavar="FILE", help="the factor table (.parquet, .pq or .csv)")
    assay.add_argument("--column", help="value column of a long table")
    assay.add_argument("--returns", default="daily",
                       help="'daily' (daily returns from the store) or a returns table file, "
                            "wide or long like FILE, holding daily simple returns "
                            "(default daily)")
    store = assay.add_mutually_exclusive_group()
    store.add_argument("--store", help="market-data store made by 'python -m mivada ingest' "
                                       "(default: $MIVADA_STORE, else the sample store)")
    store.add_argument("--sample", choices=sorted(PRESETS),
                       help="use a sample store of this size")
    _add_bench_options(assay, "tarnfold-report.html")
    from tarnfold.batch.command import add_parser as add_batch_parser
    add_batch_parser(sub, _add_bench_options, _positive_int)
    return parser


# -- reading tables ----------------------------------------------------------------

def read_table(path, what="FILE", column=None):
    """A dates x instruments float table from a Parquet or CSV file, wide or
    long.  Raises UserError with a one-line explanation."""
    import numpy as np
    import pandas as pd

    if not os.path.isfile(path):
        raise UserError("{}: no such file: {}".format(what, path))
    ext = os.path.splitext(path)[1].lower()
    try:
        if ext in (".parquet", ".pq"):
            df = pd.read_parquet(path)
        elif ext == ".csv":
            df = pd.read_csv(path, dtype={c: str for c in ID_COLUMNS})
        else:
            raise UserError("{}: expect a .parquet, .pq or .csv file, got {}".format(what, path))
    except UserError:
        raise
    except Exception as exc:
        raise UserError("{}: cannot read {}: {}".format(what, path, str(exc).splitlines()[0]
                                                       if str(exc) else type(exc).__name__))
    if isinstance(df.index, pd.MultiIndex) or (df.index.name is not None):
        df = df.reset_index()
    cols = {str(c).lower(): c for c in df.columns}
    date_col = next((cols[c] for c in DATE_COLUMNS if c in cols), None)
    id_col = next((cols[c] for c in ID_COLUMNS if c in cols), None)
    if df.shape[0] == 0:
        raise UserError("{}: {} has no rows".format(what, path))
    if id_col is not None:
        if date_col is None:
            raise UserError("{}: a long table needs a date column ({})".format(
                what, "/".join(DATE_COLUMNS)))
        values = [c for c in df.columns if c not in (date_col, id_col)]
        if column is not None:
            if column not in df.columns:
                raise UserError("{}: no column {!r}; columns: {}".format(
                    what, column, ", ".join(map(str, values))))
            value_col = column
        else:
            numeric = [c for c in values if pd.api.types.is_numeric_dtype(df[c])]
            if len(numeric) != 1:
                raise UserError("{}: a long table needs exactly one value column or --column; "
                                "found {}".format(what, ", ".join(map(str, numeric)) or "none"))
            value_col = numeric[0]
        if df.duplicated([date_col, id_col]).any():
            first = df[df.duplicated([date_col, id_col])].iloc[0]
            raise UserError("{}: (date, order_book_id) repeated, e.g. ({}, {})".format(
                what, first[date_col], first[id_col]))
        wide = df.pivot(index=date_col, columns=id_col, values=value_col)
    else:
        if date_col is None:
            date_col = df.columns[0]
        wide = df.set_index(date_col)
    try:
        wide.index = pd.DatetimeIndex(pd.to_datetime(wide.index))
    except (ValueError, TypeError) as exc:
        raise UserError("{}: cannot read the dates of column {!r}: {}".format(
            what, str(date_col), str(exc).splitlines()[0]))
    if wide.index.hasnans:
        raise UserError("{}: missing dates in column {!r}".format(what, str(date_col)))
    bad = [str(c) for c in wide.columns if not pd.api.types.is_numeric_dtype(wide[c])]
    if bad:
        raise UserError("{}: non-numeric values in column(s) {}".format(
            what, ", ".join(bad[:5]) + (" ..." if len(bad) > 5 else "")))
    if wide.index.has_duplicates:
        raise UserError("{}: repeated date {:%Y-%m-%d}".format(
            what, wide.index[wide.index.duplicated()][0]))
    wide = wide.sort_index().astype(float)
    wide.columns = [str(c) for c in wide.columns]
    if wide.shape[1] == 0:
        raise UserError("{}: no instrument columns".format(what))
    if not np.isfinite(wide.to_numpy()).any():
        raise UserError("{}: no finite values".format(what))
    return wide


# -- running ---------------------------------------------------------------------------

class _Progress:
    def __init__(self, quiet):
        self.quiet = quiet
        self.t0 = time.perf_counter()

    def __call__(self, message):
        if not self.quiet:
            print("[{:6.1f}s] {}".format(time.perf_counter() - self.t0, message),
                  file=sys.stderr, flush=True)


def _console_tables(tables):
    """Summary tables (title -> DataFrame), shortened for a terminal: decay
    with lags as columns, the industry table cut to its five best and
    worst."""
    from tarnfold.analysis.formatting import format_table
    out = []
    for title, table in tables.items():
        if title == "mean IC by lag":
            fields = [c for c in table.columns if not str(c).startswith("dates ")]
            table = table[fields].T
            table.columns = ["lag {}".format(c) for c in table.columns]
        elif title == "pooled IC by industry" and len(table) > 10:
            col = table.columns[0]
            ordered = table.sort_values(col, ascending=False)
            table = ordered.iloc[list(range(5)) + list(range(len(ordered) - 5, len(ordered)))]
            title += " (5 best, 5 worst by {}; all in the report)".format(col)
        out.append(format_table(table, title))
    return out


def print_results(all_results, stream=None):
    from tarnfold.analysis.formatting import format_table
    from tarnfold.workflow import comparison_table, split_summaries
    stream = stream or sys.stdout
    for fname, results in all_results.items():
        print("\n######## factor {} ########".format(fname), file=stream)
        shared, per_result = split_summaries(results)
        for step, (r, tables) in per_result.items():
            print("\n--- {} ({}) ---".format(step, type(r).__name__), file=stream)
            for text in _console_tables(tables):
                print("\n" + text, file=stream)
        if shared:
            print("\n--- factor {}: every result above ---".format(fname), file=stream)
            for text in _console_tables(shared):
                print("\n" + text, file=stream)
        if getattr(results, "skipped", None):
            print("\n(not available in this build: {})".format(", ".join(results.skipped)),
                  file=stream)
    if len(all_results) > 1:
        table = comparison_table(all_results)
        if table is not None:
            print("\n" + format_table(table.T, "######## all factors at a glance ########"),
                  file=stream)


def _steps_from(args):
    from tarnfold.workflow import bench_steps
    return bench_steps(preprocess=args.preprocess, winsorize=args.winsorize,
                       industry=args.industry, max_decay=args.max_decay or None,
                       quantile=args.quantiles, benchmark=args.benchmark)


def load_demo_factor(name, years, periods):
    """One factor for every stock of the open store, computed with the
    execution engine over ``years`` of history ending early enough that the
    longest holding period has returns.  ``name`` is a factor of
    ``_computed_factors`` (a tree over the store's bars) or one the store
    publishes (its leaf)."""
    import mivada
    from tarnfold.engine_v2.eval_core import execute_factor
    from tarnfold.leaf import Factor

    computed = _computed_factors()
    if name in computed:
        tree = computed[name][1]()
    elif name in mivada.get_factor_names():
        tree = Factor(name)
    else:
        raise UserError("--factors: unknown factor {!r}; choose from {}".format(
            name, ", ".join(list(computed) + list(mivada.get_factor_names()))))
    end = mivada.get_previous_trading_date(mivada.get_latest_trading_date(), max(periods) + 1)
    start = mivada.trading_date_offset(end, -int(round(244 * years)))
    ids = mivada.all_instruments("CS")["order_book_id"].tolist()
    wide = execute_factor(tree, ids, start, end)
    if wide is None or not wide.notna().to_numpy().any():
        raise UserError("--factors: no values of factor {!r} from {} to {}".format(
            name, start, end))
    wide = wide.astype(float)
    wide.index.name = "datetime"
    wide.columns.name = "order_book_id"
    return wide


def run_demo(args, progress):
    import mivada
    from tarnfold.workflow import assay

    progress("opening the {} sample store (generated on first use)".format(args.sample))
    mivada.init(sample=args.sample)
    names = [f.strip() for f in args.factors.split(",") if f.strip()]
    if not names:
        raise UserError("--factors: no factor names given")
    known = list(_computed_factors()) + list(mivada.get_factor_names())
    unknown = [f for f in names if f not in known]
    if unknown:
        raise UserError("--factors: unknown factor(s) {}; choose from {}".format(
            ", ".join(unknown), ", ".join(known)))
    steps = _steps_from(args)
    all_results = {}
    for name in names:
        factor = load_demo_factor(name, args.years, args.periods)
        progress("factor {}: {} dates x {} stocks".format(name, *factor.shape))
        all_results[name] = assay(factor, "daily", periods=args.periods,
                                  ascending=args.ascending, steps=steps, factor_name=name,
                                  progress=progress)
    return all_results


def run_assay(args, progress):
    import mivada
    from tarnfold.workflow import assay

    factor = read_table(args.file, "FILE", args.column)
    progress("read {}: {} dates x {} instruments".format(args.file, *factor.shape))
    if args.store:
        if not os.path.exists(args.store):
            raise UserError("--store: no such store: {} (make one with 'python -m mivada "
                            "ingest DIR --store {}')".format(args.store, args.store))
        mivada.init(args.store)
    elif args.sample:
        mivada.init(sample=args.sample)
    if args.returns == "daily":
        returns = "daily"
    else:
        returns = read_table(args.returns, "--returns")
    if args.industry or "neutralize" in args.preprocess:
        known = set(mivada.all_instruments("CS")["order_book_id"])
        missing = [c for c in factor.columns if c not in known]
        if missing:
            raise UserError("FILE: {} instrument(s) unknown to the store, e.g. {}; use "
                            "--store, or --industry none and --preprocess without "
                            "neutralize".format(len(missing), ", ".join(missing[:3])))
    name = os.path.splitext(os.path.basename(args.file))[0]
    return {name: assay(factor, returns, periods=args.periods, ascending=args.ascending,
                        steps=_steps_from(args), factor_name=name, progress=progress)}


def _one_line_warnings(quiet):
    def show(message, category, filename, lineno, file=None, line=None):
        if not quiet:
            print("tarnfold: warning: {}".format(message), file=sys.stderr)
    warnings.showwarning = show


def main(argv=None):
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.command is None:
        parser.print_help()
        return 2
    progress = _Progress(args.quiet)
    _one_line_warnings(args.quiet)
    import mivada
    try:
        if args.command == "assay-many":
            from tarnfold.batch.command import run as run_batch
            return run_batch(args, progress)
        all_results = run_demo(args, progress) if args.command == "demo" \
            else run_assay(args, progress)
        if not args.quiet:
            print_results(all_results)
        if args.report and args.report.lower() != "none":
            progress("writing the report")
            from tarnfold.reporting import report
            title = "tarnfold {}: {}".format(args.command, ", ".join(all_results))
            path = report(all_results, args.report, title=title)
            progress("report written to {}".format(os.path.abspath(path)))
    except UserError as exc:
        if args.traceback:
            raise
        print("tarnfold {}: error: {}".format(args.command, exc), file=sys.stderr)
        return 1
    except (ValueError, TypeError, KeyError, mivada.StoreError, OSError) as exc:
        # the bench's and the store's messages for unusable input
        if args.traceback:
            raise
        msg = str(exc).strip().splitlines()[0] if str(exc).strip() else type(exc).__name__
        print("tarnfold {}: error: {}".format(args.command, msg), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
