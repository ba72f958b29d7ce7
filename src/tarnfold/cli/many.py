"""``tarnfold assay-many FILE``: a batch of factors from a Python file."""

import importlib
import os
import runpy
import sys

import mivada
import pandas as pd

from tarnfold.analysis.formatting import format_table
from tarnfold.batch import assay_many, factor_correlation, load_results, pick_uncorrelated
from tarnfold.cli.bench import steps_from
from tarnfold.cli.common import (
    UserError,
    open_store,
    problems_error,
    reference_problems,
    report_problems,
    settle_bench_options,
    wants_report,
)
from tarnfold.constants import TRADING_DAYS_PER_YEAR
from tarnfold.evidence.plots import p_value_ladder
from tarnfold.reporting import report
from tarnfold.workflow import COMPARED

# factors the console's table of adjusted p-values shows at most (the
# smallest Benjamini-Hochberg p-values first)
SHOWN_TESTS = 20


def load_definitions(path):
    """The FACTORS dict and the optional settings of FILE."""
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
        raise UserError(
            "FILE: {} defines no FACTORS (a non-empty dict name -> factor) nor "
            "a function factors() returning one".format(path)
        )
    return factors, {
        k: space.get(k) for k in ("ORDER_BOOK_IDS", "UNIVERSE", "START_DATE", "END_DATE")
    }


def console_summary(table, periods):
    """The columns a terminal has room for: the compared figures of the
    first period, pairs used, wall seconds and the error."""
    field = "P_{}".format(periods[0])
    cols = ["{} {}".format(c, field) for c in COMPARED]
    cols += ["used " + field, "wall s", "error"]
    shown = table[[c for c in cols if c in table.columns]].copy()
    for c in shown.columns:
        if c.startswith("used "):  # counts, with "-" for a failed factor
            shown[c] = [None if v != v else int(v) for v in shown[c]]
            shown[c] = shown[c].astype(object)
    return shown


def inference_summary(table, periods):
    """Per factor and period: the mean IC's Newey-West t, its raw p-value and
    the adjusted ones, and the deflated Sharpe ratios; the factors with the
    smallest BH p-value of the first period first."""
    rows = []
    for name in table.index:
        row = table.loc[name]
        for p in periods:
            field = "P_{}".format(p)
            rows.append(
                {
                    "factor": name,
                    "period": field,
                    "IC NW t": row.get("IC NW t " + field),
                    "p": row.get("p NW " + field),
                    "p Holm": row.get("p Holm " + field),
                    "p BH": row.get("p BH " + field),
                    "p BY": row.get("p BY " + field),
                    "top-bottom Sharpe": row.get("top-bottom Sharpe " + field),
                    "top-bottom DSR": row.get("top-bottom DSR " + field),
                    "factor return DSR": row.get("factor return DSR " + field),
                }
            )
    out = pd.DataFrame(rows).set_index(["factor", "period"]).astype(float)
    first = "P_{}".format(periods[0])
    if "p BH" in out.columns:
        order = out.xs(first, level="period")["p BH"].sort_values(kind="stable").index
        out = out.reindex(order, level="factor")
    return out


def _date_range(args, settings):
    end = args.end or settings["END_DATE"]
    if end is None:
        end = mivada.get_previous_trading_date(
            mivada.get_latest_trading_date(), max(args.periods) + 1
        )
    start = args.start or settings["START_DATE"]
    if start is None:
        start = mivada.trading_date_offset(end, -int(round(TRADING_DAYS_PER_YEAR * args.years)))
    try:
        start = mivada.utils.as_date(start, "--start")
        end = mivada.utils.as_date(end, "--end")
    except ValueError as exc:
        raise UserError(str(exc))
    if start > end:
        raise UserError("--start {:%Y-%m-%d} is after --end {:%Y-%m-%d}".format(start, end))
    return start, end


def run(args, progress):
    problems = settle_bench_options(args) + report_problems(args.report)
    if not 0 < args.threshold <= 1:
        problems.append("--threshold: expected a number in (0, 1], got {}".format(args.threshold))
    factors, settings = load_definitions(args.file)
    open_store(args)
    start, end = _date_range(args, settings)
    ids = settings["ORDER_BOOK_IDS"]
    problems += reference_problems(
        list(ids) if ids is not None else mivada.all_instruments("CS")["order_book_id"].tolist(),
        mivada.get_trading_dates(start, end),
        args.industry,
        args.benchmark,
        args.preprocess,
        True,
        "ORDER_BOOK_IDS",
    )
    if problems:
        raise problems_error(problems)
    client = "serial" if args.serial else args.scheduler
    progress(
        "{} factors from {:%Y-%m-%d} to {:%Y-%m-%d}, results under {}".format(
            len(factors), start, end, os.path.abspath(args.out)
        )
    )
    table = assay_many(
        factors,
        order_book_ids=ids,
        start_date=start,
        end_date=end,
        universe=settings["UNIVERSE"],
        periods=args.periods,
        ascending=args.ascending,
        steps=steps_from(args),
        out=args.out,
        client=client,
        n_workers=args.workers,
        resume=args.resume,
        progress=progress,
    )
    ok = [n for n in table.index if table.loc[n, "error"] is None]
    failed = len(table) - len(ok)
    corr, picks = None, []
    if len(ok) >= 2:
        progress("rank correlation of {} factors".format(len(ok)))
        corr = factor_correlation(args.out, ok)
        picks = pick_uncorrelated(
            table.loc[ok], corr, threshold=args.threshold, max_factors=args.pick
        )
    elif ok:
        picks = ok[:1]
    shown = console_summary(table, args.periods)
    print(
        format_table(shown, "######## {} factors ({} failed) ########".format(len(table), failed))
    )
    if corr is not None and len(corr) <= 20:
        print("\n" + format_table(corr, "######## average rank correlation ########"))
    print(
        "\npicked (|correlation| < {}, by IC IR P_{}): {}".format(
            args.threshold, args.periods[0], ", ".join(picks) or "none"
        )
    )
    trials = int(table["trials"].iloc[0]) if "trials" in table.columns and len(table) else 0
    tests = inference_summary(table, args.periods)
    factors_shown = list(dict.fromkeys(tests.index.get_level_values("factor")))[:SHOWN_TESTS]
    shown_tests = tests.loc[factors_shown]
    more = (
        ""
        if len(factors_shown) == len(table)
        else ", the {} with the smallest BH p-value of P_{}".format(SHOWN_TESTS, args.periods[0])
    )
    print(
        "\n"
        + format_table(
            shown_tests,
            "######## mean IC tested against {} trials in {}{} ########".format(
                trials, args.out, more
            ),
        )
    )
    if wants_report(args.report):
        progress("writing the report")
        sections = [
            (
                "All factors",
                shown,
                "The full table is {}.".format(
                    os.path.join(os.path.abspath(args.out), "summary.csv")
                ),
            )
        ]
        if corr is not None:
            sections.append(
                (
                    "Average rank correlation",
                    corr,
                    "Mean over dates of the cross-sectional Spearman correlation of "
                    "each pair of factors, over the instruments both have.",
                )
            )
        sections.append(
            (
                "Picked factors",
                pd.DataFrame(
                    {
                        "IC IR P_{}".format(args.periods[0]): [
                            table.loc[n].get("IC IR P_{}".format(args.periods[0])) for n in picks
                        ]
                    },
                    index=pd.Index(picks, name="factor"),
                ),
                "Greedy pick by IC IR, absolute correlation below {} with every factor picked "
                "before; each has its full section below.".format(args.threshold),
            )
        )
        sections.append(
            (
                "Multiple testing",
                tests,
                "Newey-West t of each factor's mean IC and its p-value, adjusted for the {} trials "
                "this folder has made (failures included): Holm (family-wise error), "
                "Benjamini-Hochberg and Benjamini-Yekutieli (false discovery rate, the latter "
                "under any dependence). DSR: the deflated Sharpe ratio, the probability that the "
                "portfolio's true Sharpe ratio beats what the best of the trials would show by "
                "luck.".format(trials),
                p_value_ladder(
                    tests.xs("P_{}".format(args.periods[0]), level="period")["p"],
                    trials,
                    title="p-value ladder, mean IC P_{}".format(args.periods[0]),
                ),
            )
        )
        results = {n: load_results(args.out, n) for n in picks}
        title = "tarnfold assay-many: {}".format(os.path.basename(args.file))
        path = report(results, args.report, title=title, sections=sections)
        progress("report written to {}".format(os.path.abspath(path)))
    return 3 if failed else 0
