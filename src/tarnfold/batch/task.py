"""One factor of a batch: compute it, test it, write its results, return its
summary row.  Runs in a Dask worker process (or in the caller's process for
a serial batch); nothing here raises for a factor that fails: the error
becomes the row's ``error`` text."""

import os
import socket
import time
import traceback
import warnings

import mivada
import mivada.api
import pandas as pd

from tarnfold.batch import storage
from tarnfold.engine_v2 import execute_factors
from tarnfold.engine_v2.eval_core import execute_factor
from tarnfold.engine_v2.exec_context import ThreadingExecContext
from tarnfold.interface import AbstractFactor
from tarnfold.workflow import assay, headline

# per process: the store this worker opened, and the last daily returns it
# loaded (every factor of a batch needs the same ones)
_opened_store = None
_returns_cache = {}

TIMING_COLUMNS = ("wall s", "load s", "compute s", "write s")


class BatchContext:
    """What every task of one batch shares (small: sent with each task)."""

    def __init__(
        self,
        store_path,
        order_book_ids,
        universe,
        start_date,
        end_date,
        periods,
        ascending,
        steps,
        out,
        meta,
    ):
        self.store_path = store_path
        self.order_book_ids = order_book_ids
        self.universe = universe
        self.start_date = start_date
        self.end_date = end_date
        self.periods = periods
        self.ascending = ascending
        self.steps = steps
        self.out = out
        self.meta = meta


def ensure_store(path):
    """Open the store at ``path`` in this process unless it is the open one
    (workers open the store themselves, read-only)."""
    global _opened_store
    if path is None:
        return
    want = os.path.realpath(path)
    if (
        mivada.api.store_token() is not None
        and os.path.realpath(mivada.current_store().path) == want
    ):
        _opened_store = want
        return
    mivada.init(path)
    _opened_store = want


def _timed_context_class(timing):
    class TimedExecContext(ThreadingExecContext):
        # the context loads every leaf in its constructor: that is the loading time
        def __init__(self, *args, **kwargs):
            t0 = time.perf_counter()
            try:
                super().__init__(*args, **kwargs)
            finally:
                timing["load"] += time.perf_counter() - t0

    return TimedExecContext


def compute_factor(spec, ctx, timing, computed=None):
    """The factor table of ``spec``: a factor tree (computed with
    ``execute_factor``), a callable returning a tree or a table, or a
    ready table.  ``computed``: (table or exception, seconds) when the tree
    was computed already together with others (``compute_trees``)."""
    if computed is not None:
        table, seconds = computed
        if isinstance(table, BaseException):
            raise table
        timing["compute"] += seconds
    else:
        if callable(spec) and not isinstance(spec, (AbstractFactor, pd.DataFrame)):
            spec = spec()
        if isinstance(spec, pd.DataFrame):
            table = spec
        elif isinstance(spec, AbstractFactor):
            table = execute_factor(
                spec,
                list(ctx.order_book_ids),
                ctx.start_date,
                ctx.end_date,
                universe=ctx.universe,
                exec_context_class=_timed_context_class(timing),
            )
        else:
            raise TypeError(
                "factor: expected a factor tree, a callable returning one (or a "
                "table), or a dates x instruments DataFrame, got {}".format(type(spec).__name__)
            )
    if not isinstance(table, pd.DataFrame):
        raise TypeError(
            "factor: expected the callable to return a tree or a DataFrame, got {}".format(
                type(table).__name__
            )
        )
    table = table.astype(float, copy=False)
    table.index.name = "datetime"
    table.columns.name = "order_book_id"
    return table


def compute_trees(specs, ctx):
    """The factor trees among ``specs`` (dict name -> spec) computed
    together (``execute_factors``: the bars read once, common parts
    computed once): {name: (table or the exception it raised, seconds)},
    each factor taking an equal share of the time.  Empty when they could
    not be computed together (each factor is then computed on its own and
    reports its own error)."""
    trees = {name: spec for name, spec in specs.items() if isinstance(spec, AbstractFactor)}
    if not trees:
        return {}
    try:
        ensure_store(ctx.store_path)
        with warnings.catch_warnings(), mivada.api.reusing_reads():
            warnings.simplefilter("ignore")
            t = time.perf_counter()
            got = execute_factors(
                trees,
                list(ctx.order_book_ids),
                ctx.start_date,
                ctx.end_date,
                universe=ctx.universe,
                errors="return",
            )
            share = (time.perf_counter() - t) / len(trees)
    except Exception:
        return {}
    return {name: (got[name], share) for name in trees}


def daily_returns(factor, periods):
    """Daily returns for the factor's instruments and dates, loaded once per
    process for all the factors that share them."""
    import mivada
    import mivada.api
    from tarnfold.analysis.daily_returns import load_daily_returns

    key = (
        mivada.api.store_token(),
        tuple(factor.columns),
        factor.index[0],
        factor.index[-1],
        max(periods),
    )
    hit = _returns_cache.get(key)
    if hit is None:
        hit = load_daily_returns(factor, periods)
        _returns_cache.clear()
        _returns_cache[key] = hit
    return hit.copy(deep=False)


def run_factor(name, spec, ctx, computed=None):
    """Compute, test and store one factor; return its summary row (a dict).
    ``computed``: its table (or error) and seconds from ``compute_trees``."""
    t0 = time.perf_counter() - (computed[1] if computed is not None else 0.0)
    timing = {"load": 0.0, "compute": 0.0, "write": 0.0}
    row = {"factor": name}
    try:
        ensure_store(ctx.store_path)
        # the factors of a batch share instruments and dates: bars and
        # style exposures read for one are served again to the next
        with warnings.catch_warnings(), mivada.api.reusing_reads():
            warnings.simplefilter("ignore")
            t = time.perf_counter()
            factor = compute_factor(spec, ctx, timing, computed)
            timing["compute"] += time.perf_counter() - t - timing["load"]
            if factor.shape[0] == 0 or factor.shape[1] == 0:
                raise ValueError(
                    "factor: expected dates and instruments, got an empty table ({} x {})".format(
                        *factor.shape
                    )
                )
            t = time.perf_counter()
            returns = daily_returns(factor, ctx.periods)
            timing["load"] += time.perf_counter() - t
            if returns is None:
                raise ValueError(
                    "returns: the store has no daily returns for the factor's instruments and dates"
                )
            t = time.perf_counter()
            # the bench only names the axes of the table it is given (named
            # already), so the same table is the one stored
            results = assay(
                factor,
                returns,
                periods=ctx.periods,
                ascending=ctx.ascending,
                steps=ctx.steps,
                factor_name=name,
                check_returns=False,
            )
            row.update(headline(results, ctx.periods))
            timing["compute"] += time.perf_counter() - t
        row["error"] = None
        if ctx.out is not None:
            t = time.perf_counter()
            meta = dict(ctx.meta, step_texts=results.steps, fingerprint=fingerprint(spec))
            row.update(_timing_row(timing, t0, worker=True))
            storage.write_factor_results(ctx.out, name, factor, results, row, meta)
            timing["write"] += time.perf_counter() - t
    except Exception as exc:
        row["error"] = error_text(exc)
        row["traceback"] = traceback.format_exc(limit=-8)
    row.update(_timing_row(timing, t0, worker=True))
    return row


def _timing_row(timing, t0, worker):
    return {
        "wall s": time.perf_counter() - t0,
        "load s": timing["load"],
        "compute s": timing["compute"],
        "write s": timing["write"],
        "worker": "{}:{}".format(socket.gethostname(), os.getpid()) if worker else None,
    }


def error_text(exc):
    text = str(exc).strip().splitlines()[0] if str(exc).strip() else ""
    return "{}: {}".format(type(exc).__name__, text) if text else type(exc).__name__


def fingerprint(spec):
    """Text identifying a factor tree (its structure), None for callables and
    tables, whose content a name cannot vouch for."""
    if isinstance(spec, AbstractFactor):
        try:
            return repr(spec)
        except Exception:
            return None
    return None
