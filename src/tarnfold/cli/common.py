"""What the tarnfold commands share at run time: the user-error type and
its one-line text, progress lines, the bench options settled against
``--plain``, checks of the report path, opening the store, and the check
of what the store holds for the steps asked for."""

import os
import re
import sys
import time

import mivada

from tarnfold.constants import DEFAULT_BENCHMARK, INDUSTRY_SOURCES, PREPROCESS_STEPS

NONE = "none"

# the store's queries of industry records by source: order_book_id is the
# second field of every record
INDUSTRY_QUERIES = {
    "citics_2019": "__internal__zx2019_industry",
    "sws": "__internal__shenwan_industry",
}

VENDOR_ID = re.compile(r"^\d{6}\.(SZ|SH|BJ)$", re.IGNORECASE)


class UserError(Exception):
    """A mistake in the command's input: printed as one message, exit code 1."""


# The store's errors are the user's input too (a file that is no store, a
# store another process is writing); MivadaError is the client's root error
# where the client has one.
STORE_ERRORS = (mivada.StoreError,) + tuple(
    e for e in (getattr(mivada, "MivadaError", None),) if e is not None
)

# the bench's and the store's messages for unusable input
USER_ERRORS = (UserError, ValueError, TypeError, KeyError, OSError) + STORE_ERRORS


def error_text(exc):
    """The message of a user error as the command prints it: the first
    line of its text (a KeyError's without the quotes around it)."""
    text = exc.args[0] if isinstance(exc, KeyError) and len(exc.args) == 1 else exc
    text = str(text).strip()
    if isinstance(exc, UserError) or not text:
        return text or type(exc).__name__
    return text.splitlines()[0]


def problems_error(problems):
    """One UserError for every problem found: one line for one, a line
    per problem under a count for several."""
    if len(problems) == 1:
        return UserError(problems[0])
    return UserError(
        "{} problems:\n".format(len(problems)) + "\n".join("  - " + p for p in problems)
    )


class Progress:
    """Progress lines on stderr with the seconds since the command started;
    nothing with ``quiet``."""

    def __init__(self, quiet):
        self.quiet = quiet
        self.t0 = time.perf_counter()

    def __call__(self, message):
        if not self.quiet:
            print(
                "[{:6.1f}s] {}".format(time.perf_counter() - self.t0, message),
                file=sys.stderr,
                flush=True,
            )


def one_line_warnings(quiet):
    """``warnings.showwarning`` printing "tarnfold: warning: ..." (nothing
    with ``quiet``)."""

    def show(message, category, filename, lineno, file=None, line=None):
        if not quiet:
            print("tarnfold: warning: {}".format(message), file=sys.stderr)

    return show


# -- options -------------------------------------------------------------------


def settle_trading_options(args):
    """``args.rules``: the trading rules of ``--trading`` and ``--costs``
    (None for none); returns the problems of those options."""
    args.rules = None
    trading = getattr(args, "trading", "none")
    costs = getattr(args, "costs", None)
    if trading == NONE:
        return (
            ["--costs {}: needs --trading a-share (or off)".format(costs)]
            if costs is not None
            else []
        )
    from tarnfold.analysis.traded import TradingCosts, TradingRules

    try:
        spent = TradingCosts.parse(costs) if costs is not None else None
    except ValueError as exc:
        return ["--costs {}: {}".format(costs, str(exc).split(": ", 2)[-1])]
    if trading == "off":
        args.rules = TradingRules.off(**({"costs": spent} if spent is not None else {}))
    else:
        args.rules = TradingRules(**({"costs": spent} if spent is not None else {}))
    return []


def settle_bench_options(args):
    """Put the defaults and ``--plain`` into ``args.industry``,
    ``args.benchmark`` (None for none) and ``args.preprocess``, and the
    trading rules into ``args.rules``; returns the problems of options
    that contradict ``--plain`` or cannot be read."""
    problems = settle_trading_options(args)
    preprocess = PREPROCESS_STEPS if args.preprocess is None else tuple(args.preprocess)
    if args.plain:
        for option, value in (("--industry", args.industry), ("--benchmark", args.benchmark)):
            if value not in (None, NONE):
                problems.append(
                    "{} {}: --plain turns it off; give one or the other".format(option, value)
                )
        if args.preprocess is not None and "neutralize" in args.preprocess:
            problems.append(
                "--preprocess {}: --plain turns neutralize off; give one or the other".format(
                    ",".join(args.preprocess)
                )
            )
        args.industry = args.benchmark = None
        args.preprocess = tuple(s for s in preprocess if s != "neutralize")
        return problems
    args.industry = (
        INDUSTRY_SOURCES[0]
        if args.industry is None
        else None
        if args.industry == NONE
        else args.industry
    )
    args.benchmark = (
        DEFAULT_BENCHMARK
        if args.benchmark is None
        else None
        if args.benchmark == NONE
        else args.benchmark
    )
    args.preprocess = preprocess
    return problems


def wants_report(path):
    return path is not None and path.strip().lower() != NONE


def report_problems(path):
    """Why the report cannot be written to ``path`` (checked before any
    work), as a list of problems."""
    if not wants_report(path):
        return []
    if os.path.isdir(path):
        return ["--report {}: expected a file name, got a folder".format(path)]
    folder = os.path.dirname(os.path.abspath(path))
    existing = folder
    while not os.path.exists(existing):
        existing = os.path.dirname(existing)
    if not os.path.isdir(existing):
        return ["--report {}: {} is a file, not a folder".format(path, existing)]
    if not os.access(existing, os.W_OK | os.X_OK) or (
        os.path.exists(path) and not os.access(path, os.W_OK)
    ):
        return ["--report {}: no permission to write there".format(path)]
    return []


def open_store(args):
    """Open ``--store`` or ``--sample`` when given (else the store
    ``mivada`` opens by default)."""
    if getattr(args, "store", None):
        if not os.path.exists(args.store):
            raise UserError(
                "--store: no such store: {} (make one with 'python -m mivada "
                "ingest DIR --store {}')".format(args.store, args.store)
            )
        if os.path.isdir(args.store):
            raise UserError("--store {}: expected a store file, got a folder".format(args.store))
        try:
            mivada.init(args.store)
        except STORE_ERRORS as exc:
            raise UserError("--store {}: {}".format(args.store, error_text(exc))) from None
    elif getattr(args, "sample", None):
        mivada.init(sample=args.sample)


# -- what the store holds ------------------------------------------------------


def _some(labels, n=3):
    labels = [str(x) for x in labels]
    return ", ".join(labels[:n]) + (", ..." if len(labels) > n else "")


def _vendor_hint(unknown, stocks):
    if sum(bool(VENDOR_ID.match(i)) for i in unknown) * 2 < len(unknown) or not any(
        s.endswith((".XSHE", ".XSHG")) for s in stocks
    ):
        return ""
    return (
        "; the store writes Shenzhen ids as 000001.XSHE and Shanghai ids as "
        "600000.XSHG, not 000001.SZ / 600000.SH: rename the instruments"
    )


def reference_problems(ids, dates, industry, benchmark, preprocess, daily, what):
    """What the store lacks for the steps asked for, as a list of problems
    that say which option to change: instruments it does not list (for
    daily returns, industries, neutralize), an industry source without
    records for them, a benchmark that is not one of its indexes, style
    exposures missing for neutralize.  Asks the store nothing when no step
    needs it."""
    problems = []
    if not (daily or industry or benchmark or "neutralize" in preprocess):
        return problems
    stocks = set(mivada.all_instruments("CS")["order_book_id"])
    known = [i for i in ids if i in stocks]
    unknown = [i for i in ids if i not in stocks]
    needs = (["--industry " + industry] if industry else []) + (
        ["neutralize"] if "neutralize" in preprocess else []
    )
    hint = _vendor_hint(unknown, stocks) if unknown else ""
    if unknown and not known and daily:
        problems.append(
            "{}: none of its {} instruments is a stock of the store (e.g. {}), "
            "so there are no daily returns for them{}".format(
                what, len(unknown), _some(unknown), hint or "; give --returns FILE or --store"
            )
        )
    if unknown and needs and (known or not daily):
        problems.append(
            "{}: {} of {} instruments are not stocks of the store (e.g. {}); {} "
            "need every instrument there{}: pass --plain (no industry, benchmark "
            "or neutralize)".format(
                what, len(unknown), len(ids), _some(unknown), " and ".join(needs), hint
            )
        )
    if industry and known:
        records = mivada.client.get_client().execute(INDUSTRY_QUERIES[industry])
        if not set(known).intersection(r[1] for r in records):
            problems.append(
                "--industry {}: the store has no {} classification of these "
                "instruments; pass --industry none, or --plain".format(industry, industry)
            )
    if benchmark:
        indexes = mivada.all_instruments("INDX")["order_book_id"].tolist()
        if benchmark not in indexes:
            problems.append(
                "--benchmark {}: not an index of the store ({}); pass --benchmark "
                "none, or --plain".format(
                    benchmark, "its indexes: " + _some(indexes, 5) if indexes else "it has none"
                )
            )
    if "neutralize" in preprocess and known and len(dates):
        exposures = mivada.get_style_factor_exposure(known[:50], min(dates), max(dates))
        if exposures is None or len(exposures) == 0:
            problems.append(
                "neutralize: the store has no style exposures for these "
                "instruments from {:%Y-%m-%d} to {:%Y-%m-%d}; drop it from "
                "--preprocess, or pass --plain".format(min(dates), max(dates))
            )
    return problems
