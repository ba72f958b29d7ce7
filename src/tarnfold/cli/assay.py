"""``tarnfold assay FILE``: your own factor table through the whole bench."""

import os

from tarnfold.cli.bench import show_and_report, steps_from
from tarnfold.cli.common import (
    open_store,
    problems_error,
    reference_problems,
    report_problems,
    settle_bench_options,
)
from tarnfold.cli.tables import read_table
from tarnfold.workflow import assay, returns_problem


def run(args, progress):
    """Every problem of the options, the files and what the store holds for
    the steps asked for is reported at once, before any work."""
    problems = settle_bench_options(args) + report_problems(args.report)
    factor = read_table(args.file, "FILE", args.column, args.date_format)
    progress("read {}: {} dates x {} instruments".format(args.file, *factor.shape))
    if len(factor) <= min(args.periods):
        problems.append(
            "FILE: expected more dates than the shortest holding period ({}), got {}".format(
                min(args.periods), len(factor)
            )
        )
    open_store(args)
    returns = "daily"
    if args.returns != "daily":
        returns = read_table(args.returns, "--returns", date_format=args.date_format)
        problem = returns_problem(returns)
        if problem and not args.force_returns:
            problems.append(
                "--returns: expected daily simple returns (0.01 = 1 %), got what "
                "looks like {}; give close / previous close - 1, or pass "
                "--force-returns to use the table as it is".format(problem)
            )
    problems += reference_problems(
        list(factor.columns),
        factor.index,
        args.industry,
        args.benchmark,
        args.preprocess,
        args.returns == "daily",
        "FILE",
    )
    if problems:
        raise problems_error(problems)
    name = args.column or os.path.splitext(os.path.basename(args.file))[0]
    results = assay(
        factor,
        returns,
        periods=args.periods,
        ascending=args.ascending,
        steps=steps_from(args),
        factor_name=name,
        progress=progress,
        check_returns=False,
    )
    return show_and_report({name: results}, args, progress)
