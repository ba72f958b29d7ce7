"""The bench from the command line: its steps from the options, and what
the demo and ``tarnfold assay`` print and write (the summary tables
shortened for a terminal, the comparison of factors, the report)."""

import os
import sys

from tarnfold.analysis.formatting import format_table
from tarnfold.cli.common import wants_report
from tarnfold.reporting import report
from tarnfold.workflow import HEALTH_TABLE, bench_steps, comparison_table, split_summaries


def steps_from(args):
    """The bench's steps the settled options ask for."""
    return bench_steps(
        preprocess=args.preprocess,
        winsorize=args.winsorize,
        industry=args.industry,
        max_decay=args.max_decay or None,
        quantile=args.quantiles,
        benchmark=args.benchmark,
        size_buckets=args.size_buckets,
        weighting=args.weighting,
        within_industry=args.within_industry,
        trading=getattr(args, "rules", None),
    )


def console_tables(tables):
    """Summary tables (title -> DataFrame), shortened for a terminal: decay
    with lags as columns, the industry table cut to its five best and
    worst."""
    out = []
    for title, table in tables.items():
        if title == "mean IC by lag":
            fields = [c for c in table.columns if not str(c).startswith("dates ")]
            table = table[fields].T
            table.columns = ["lag {}".format(c) for c in table.columns]
        elif title == HEALTH_TABLE:
            table = table[["status", "count", "examples"]]
        elif title == "pooled IC by industry" and len(table) > 10:
            col = table.columns[0]
            ordered = table.sort_values(col, ascending=False)
            table = ordered.iloc[list(range(5)) + list(range(len(ordered) - 5, len(ordered)))]
            title += " (5 best, 5 worst by {}; all in the report)".format(col)
        out.append(format_table(table, title))
    return out


def print_results(all_results, stream=None):
    stream = stream or sys.stdout
    for fname, results in all_results.items():
        print("\n######## factor {} ########".format(fname), file=stream)
        shared, per_result = split_summaries(results)
        if HEALTH_TABLE in shared:
            print("\n" + console_tables({HEALTH_TABLE: shared.pop(HEALTH_TABLE)})[0], file=stream)
        for step, (r, tables) in per_result.items():
            print("\n--- {} ({}) ---".format(step, type(r).__name__), file=stream)
            for text in console_tables(tables):
                print("\n" + text, file=stream)
        if shared:
            print("\n--- factor {}: every result above ---".format(fname), file=stream)
            for text in console_tables(shared):
                print("\n" + text, file=stream)
    if len(all_results) > 1:
        table = comparison_table(all_results)
        if table is not None:
            print(
                "\n" + format_table(table.T, "######## all factors at a glance ########"),
                file=stream,
            )


def show_and_report(all_results, args, progress):
    """Print the results and write the report ``args.report`` asks for."""
    print_results(all_results)
    if wants_report(args.report):
        progress("writing the report")
        title = "tarnfold {}: {}".format(args.command, ", ".join(all_results))
        path = report(all_results, args.report, title=title)
        progress("report written to {}".format(os.path.abspath(path)))
    return 0
