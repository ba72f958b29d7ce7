"""The options of the tarnfold command.  Nothing here loads the bench, so
``--help`` and a malformed option answer at once."""

import argparse
import textwrap

from mivada.sample import PRESETS

from tarnfold.cli.common import NONE
from tarnfold.cli.factors import DEMO_FACTORS, factor_help
from tarnfold.constants import (
    DEFAULT_BENCHMARK,
    DEFAULT_PERIODS,
    GROUP_WEIGHTINGS,
    INDUSTRY_SOURCES,
    PREPROCESS_STEPS,
    SIZE_BUCKETS,
)


def _periods(text):
    try:
        values = tuple(int(p) for p in str(text).split(","))
    except ValueError:
        values = ()
    if not values or min(values) < 1:
        raise argparse.ArgumentTypeError(
            "expected comma-separated positive integers such as 1,5,20, got {!r}".format(text)
        )
    return values


def positive_int(text):
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError("expected a positive integer, got {!r}".format(text))
    return value


def _count(text):
    try:
        value = int(text)
    except ValueError:
        value = -1
    if value < 0:
        raise argparse.ArgumentTypeError("expected 0 or a positive integer, got {!r}".format(text))
    return value


def _preprocess(text):
    if str(text).strip().lower() in ("", NONE):
        return ()
    steps = tuple(s.strip() for s in str(text).split(",") if s.strip())
    bad = [s for s in steps if s not in PREPROCESS_STEPS]
    if bad:
        raise argparse.ArgumentTypeError(
            "expected steps among {} or none, got {}".format(
                ",".join(PREPROCESS_STEPS), ", ".join(bad)
            )
        )
    return steps


def _none_or(text):
    return NONE if str(text).strip().lower() in ("", NONE) else text


def _industry(text):
    value = _none_or(text)
    if value != NONE and value not in INDUSTRY_SOURCES:
        raise argparse.ArgumentTypeError(
            "expected {} or none, got {!r}".format(", ".join(INDUSTRY_SOURCES), text)
        )
    return value


TRADING_CHOICES = ("a-share", "off", "none")


def add_trading_options(p, default):
    g = p.add_argument_group("trading")
    g.add_argument(
        "--trading",
        choices=TRADING_CHOICES,
        default=default,
        help="also trade the groups under A-share rules (a-share: T+1 open, price "
        "limits, suspensions, 60-day new listings, delistings, costs), with "
        "every rule off (off), or not at all (none; default %(default)s)",
    )
    g.add_argument(
        "--costs",
        default=None,
        help="trading costs: none, default, or key=value pairs among commission "
        "(per side, default 0.0003), stamp (historical or a sell-side rate; "
        "default historical) and slippage (per side, default 0.0005), e.g. "
        "commission=0.00025,stamp=0.0005",
    )


def add_bench_options(p, report_default, trading_default="none"):
    add_trading_options(p, trading_default)
    g = p.add_argument_group("bench")
    g.add_argument(
        "--periods",
        type=_periods,
        default=DEFAULT_PERIODS,
        help="holding periods in trading days, comma-separated (default {})".format(
            ",".join(map(str, DEFAULT_PERIODS))
        ),
    )
    g.add_argument(
        "--preprocess",
        type=_preprocess,
        help="preprocessing steps in order, from {}, or none (default: all three)".format(
            ",".join(PREPROCESS_STEPS)
        ),
    )
    g.add_argument(
        "--winsorize",
        choices=("mad", "std", "percentile"),
        default="mad",
        help="winsorize method: mad = median +- 3 x 1.4826 x MAD, std = mean +- 3 "
        "standard deviations, percentile = 1st/99th percentiles (default mad)",
    )
    g.add_argument(
        "--industry",
        type=_industry,
        help="industry source for the IC breakdown and neutralization: "
        "{} or none (default {})".format(", ".join(INDUSTRY_SOURCES), INDUSTRY_SOURCES[0]),
    )
    g.add_argument(
        "--max-decay", type=int, default=10, help="IC decay lags 0..N-1 (default 10; 0 for none)"
    )
    g.add_argument(
        "--quantiles",
        type=positive_int,
        default=5,
        help="number of factor-sorted groups (default 5)",
    )
    g.add_argument(
        "--size-buckets",
        type=_count,
        default=SIZE_BUCKETS,
        help="capitalisation buckets of the group views, cut per date from the "
        "store's market_cap (default %(default)s: terciles; 0: none, and no "
        "market_cap read)",
    )
    g.add_argument(
        "--weighting",
        choices=GROUP_WEIGHTINGS,
        default=GROUP_WEIGHTINGS[0],
        help="weights of the groups within industries and size buckets "
        "(default %(default)s; cap: by market_cap)",
    )
    g.add_argument(
        "--within-industry",
        action="store_true",
        help="also cut the factor groups within every industry of --industry "
        "(rank IC and top-minus-bottom per industry; the demo does)",
    )
    g.add_argument(
        "--benchmark",
        type=_none_or,
        help="index order_book_id the groups are compared with, or none (default {})".format(
            DEFAULT_BENCHMARK
        ),
    )
    g.add_argument(
        "--plain",
        action="store_true",
        help="plain price data (a store without industries, index or style "
        "exposures): no industry, no benchmark, no neutralize",
    )
    g.add_argument(
        "--ascending",
        action="store_true",
        help="smaller factor values are better (default: larger are better)",
    )
    g.add_argument(
        "--report",
        default=report_default,
        help="HTML report to write (default %(default)s; 'none' for no report)",
    )
    g.add_argument(
        "--quiet",
        "-q",
        action="store_true",
        help="print no progress and no warnings (results and errors still print)",
    )
    g.add_argument(
        "--traceback",
        action="store_true",
        help="on an error, show the full Python traceback instead of one line",
    )


def _add_store_options(p):
    store = p.add_mutually_exclusive_group()
    store.add_argument(
        "--store",
        help="market-data store made by 'python -m mivada ingest' "
        "(default: $MIVADA_STORE, else the sample store)",
    )
    store.add_argument("--sample", choices=sorted(PRESETS), help="use a sample store of this size")


def _add_demo(sub):
    demo = sub.add_parser(
        "demo",
        help="test factors of the embedded sample market (generated on first use)",
        description=textwrap.fill(
            "Open the sample store, test factors with a real signal and without one, "
            "print the summaries and write a report.",
            78,
        ),
        epilog=factor_help(),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    demo.add_argument(
        "--sample",
        choices=sorted(PRESETS),
        default="default",
        help="sample store size (default: default, 500 stocks x 970 days)",
    )
    demo.add_argument(
        "--factors",
        default=",".join(DEMO_FACTORS),
        help="comma-separated factor names (default %(default)s)",
    )
    demo.add_argument(
        "--years", type=float, default=2.0, help="years of factor history to test (default 2)"
    )
    add_bench_options(demo, "tarnfold-demo.html", trading_default="a-share")


def _add_assay(sub):
    assay = sub.add_parser(
        "assay",
        help="test your own factor table (Parquet or CSV, wide or long)",
        description=textwrap.fill(
            "Test a factor table. Wide: the first column (or a column named "
            "date/datetime/trade_date) holds dates, every other column is one "
            "instrument. Long: columns date (or datetime/trade_date), order_book_id "
            "(or ticker/symbol/code) and the factor value (pick it with --column when "
            "there are several). Dates are text (2023-06-01, 06/13/2023, ...) or "
            "YYYYMMDD integers.",
            78,
        ),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    assay.add_argument("file", metavar="FILE", help="the factor table (.parquet, .pq or .csv)")
    assay.add_argument("--column", help="value column of a long table (it names the factor)")
    assay.add_argument(
        "--date-format",
        help="format of the text dates of FILE and --returns, e.g. "
        "%%d/%%m/%%Y (default: read from the values; day and month that "
        "cannot be told apart are refused)",
    )
    assay.add_argument(
        "--returns",
        default="daily",
        help="'daily' (daily returns from the store) or a returns table file, "
        "wide or long like FILE, holding daily simple returns "
        "(default daily)",
    )
    assay.add_argument(
        "--force-returns",
        action="store_true",
        help="use --returns as it is even when it looks like prices or returns in percent",
    )
    _add_store_options(assay)
    add_bench_options(assay, "tarnfold-report.html")


MANY_FILE_HELP = """\
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
One batch at a time writes into an --out folder.
Exit status: 0 when every factor worked, 3 when some failed (their rows
hold the error), 1 for an unusable FILE or option."""


def _add_many(sub):
    p = sub.add_parser(
        "assay-many",
        help="test many factors at once, locally or on a Dask cluster",
        description="Compute and test every factor FILE defines, one Dask task per factor; "
        "write each factor's results under --out, print the summary, the "
        "factors' average rank correlation and a pick of weakly correlated "
        "factors ranked by IC IR, and write the HTML report.",
        epilog=MANY_FILE_HELP,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    p.add_argument("file", metavar="FILE", help="Python file or module defining FACTORS")
    run = p.add_argument_group("batch")
    where = run.add_mutually_exclusive_group()
    where.add_argument(
        "--scheduler",
        help="address of a running Dask scheduler, e.g. "
        "tcp://10.0.0.5:8786 (default: a local cluster)",
    )
    where.add_argument(
        "--workers",
        type=positive_int,
        help="worker processes of the local cluster (default: one per core)",
    )
    where.add_argument(
        "--serial",
        action="store_true",
        help="run in this process, one factor after another, without Dask",
    )
    run.add_argument(
        "--out",
        default="tarnfold-batch",
        help="folder for every factor's results (default %(default)s)",
    )
    run.add_argument(
        "--resume", action="store_true", help="skip factors whose results under --out are complete"
    )
    run.add_argument(
        "--start", help="first date (default: START_DATE of FILE, else --years before --end)"
    )
    run.add_argument(
        "--end",
        help="last date (default: END_DATE of FILE, else the last date "
        "with returns for the longest period)",
    )
    run.add_argument(
        "--years",
        type=float,
        default=2.0,
        help="years of history when no start is given (default 2)",
    )
    run.add_argument(
        "--threshold",
        type=float,
        default=0.5,
        help="pick factors whose absolute average rank correlation with every "
        "factor picked before stays below this (default 0.5)",
    )
    run.add_argument(
        "--pick",
        type=positive_int,
        default=10,
        help="at most this many picked factors, each with its full section "
        "in the report (default 10)",
    )
    _add_store_options(run)
    add_bench_options(p, "tarnfold-batch.html")


def build_parser():
    parser = argparse.ArgumentParser(
        prog="tarnfold",
        description=textwrap.fill(
            "Test stock-selection factors: winsorize, normalize, neutralize, then IC "
            "(with decay and industry breakdown), quantile-group returns and "
            "factor returns; print summaries and write an HTML report.",
            78,
        ),
        epilog=factor_help(),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
    _add_demo(sub)
    _add_assay(sub)
    _add_many(sub)
    return parser
