"""``tarnfold demo``: factors of the sample market through the whole bench."""

import mivada

from tarnfold.cli.bench import show_and_report, steps_from
from tarnfold.cli.common import UserError, problems_error, report_problems, settle_bench_options
from tarnfold.cli.factors import COMPUTED_FACTORS
from tarnfold.constants import TRADING_DAYS_PER_YEAR
from tarnfold.engine_v2 import execute_factors
from tarnfold.leaf import Factor
from tarnfold.workflow import assay


def _demo_tree(name):
    if name in COMPUTED_FACTORS:
        return COMPUTED_FACTORS[name][1]()
    if name in mivada.get_factor_names():
        return Factor(name)
    raise UserError(
        "--factors: expected names among {}, got unknown factor {!r}".format(
            ", ".join(list(COMPUTED_FACTORS) + list(mivada.get_factor_names())), name
        )
    )


def load_demo_factors(names, years, periods):
    """Factors for every stock of the open store, computed together with
    the execution engine (``execute_factors``: the store's bars read once)
    over ``years`` of history ending early enough that the longest holding
    period has returns.  Each name is a factor of ``COMPUTED_FACTORS`` (a
    tree over the store's bars) or one the store publishes (its leaf).
    Returns {name: dates x stocks table}."""
    trees = {name: _demo_tree(name) for name in names}
    end = mivada.get_previous_trading_date(mivada.get_latest_trading_date(), max(periods) + 1)
    start = mivada.trading_date_offset(end, -int(round(TRADING_DAYS_PER_YEAR * years)))
    ids = mivada.all_instruments("CS")["order_book_id"].tolist()
    out = {}
    for name, wide in execute_factors(trees, ids, start, end).items():
        if wide is None or not wide.notna().to_numpy().any():
            raise UserError(
                "--factors: no values of factor {!r} from {} to {}".format(name, start, end)
            )
        wide = wide.astype(float)
        wide.index.name = "datetime"
        wide.columns.name = "order_book_id"
        out[name] = wide
    return out


def load_demo_factor(name, years, periods):
    """One factor of ``load_demo_factors``."""
    return load_demo_factors([name], years, periods)[name]


def run(args, progress):
    problems = settle_bench_options(args) + report_problems(args.report)
    names = [f.strip() for f in args.factors.split(",") if f.strip()]
    if not names:
        problems.append("--factors: expected factor names, got none")
    if problems:
        raise problems_error(problems)
    progress("opening the {} sample store (generated on first use)".format(args.sample))
    mivada.init(sample=args.sample)
    known = list(COMPUTED_FACTORS) + list(mivada.get_factor_names())
    unknown = [f for f in names if f not in known]
    if unknown:
        raise UserError(
            "--factors: expected names among {}, got unknown factor(s) {}".format(
                ", ".join(known), ", ".join(unknown)
            )
        )
    args.within_industry = True  # the demo shows every view
    steps = steps_from(args)
    all_results = {}
    progress("computing {} with the execution engine".format(", ".join(names)))
    factors = load_demo_factors(names, args.years, args.periods)
    for name in dict.fromkeys(names):
        factor = factors.pop(name)
        progress("factor {}: {} dates x {} stocks".format(name, *factor.shape))
        all_results[name] = assay(
            factor,
            "daily",
            periods=args.periods,
            ascending=args.ascending,
            steps=steps,
            factor_name=name,
            progress=progress,
        )
    return show_and_report(all_results, args, progress)
