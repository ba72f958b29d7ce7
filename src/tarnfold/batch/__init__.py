"""Many factors at once, on this machine or a Dask cluster.

    from tarnfold.batch import assay_many, factor_correlation, pick_uncorrelated
    summary = assay_many({"mom20": ts_mean(returns(), 20), ...},
                         start_date="2022-01-04", end_date="2023-06-30", out="runs/a")
    corr = factor_correlation("runs/a")
    keep = pick_uncorrelated(summary, corr, threshold=0.5)

Each factor is one Dask task: the worker computes it with ``execute_factor``,
tests it with the whole bench (``tarnfold.assay``), writes its tables under
``out`` and sends back one summary row; nothing large goes through the
scheduler.  Workers open the market-data store themselves, read-only, from
the path of the store open in the calling process (or ``store=``): on a
cluster that path must hold the same store on every worker machine.  A
worker keeps what it read for its first factor (bars, valid days, returns)
for the next ones; a serial batch computes its factor trees a few at a
time with ``execute_factors`` (the bars read once, common parts computed
once, each factor credited with an equal share of that time).

Dask is imported only where a cluster is used (``dask.distributed`` takes
about a second to import): a serial batch and reading results back run
without it.
"""

import hashlib
import logging
import os
import sys
import time
import uuid

import mivada
import pandas as pd

from tarnfold.batch import storage
from tarnfold.batch import trials as tr
from tarnfold.batch.correlation import completed_factors, factor_correlation, pick_uncorrelated
from tarnfold.batch.storage import (
    DamagedResultsError,
    FolderInUseError,
    load_factor_table,
    load_results,
)
from tarnfold.batch.task import (
    BatchContext,
    compute_trees,
    ensure_store,
    error_text,
    fingerprint,
    run_factor,
)
from tarnfold.constants import DEFAULT_PERIODS
from tarnfold.workflow import as_periods, bench_steps

__all__ = [
    "assay_many",
    "factor_correlation",
    "pick_uncorrelated",
    "load_results",
    "load_factor_table",
    "completed_factors",
    "local_cluster",
    "DamagedResultsError",
    "FolderInUseError",
]

SERIAL = "serial"
# factor trees a serial batch computes together
SERIAL_CHUNK = 8


def _default_ids():
    return mivada.all_instruments("CS")["order_book_id"].tolist()


def _check_factors(factors):
    if not isinstance(factors, dict):
        raise TypeError(
            "factors: expected a dict name -> factor tree, callable or table, got {}".format(
                type(factors).__name__
            )
        )
    if not factors:
        raise ValueError("factors: expected at least one factor, got an empty dict")
    for name in factors:
        if not isinstance(name, str) or not name.strip():
            raise ValueError("factors: names: expected non-empty strings, got {!r}".format(name))


def _steps_key(steps):
    """The steps as the record of a run keeps them: names and settings."""
    return repr([(s[0], s[3]) for s in steps])


def local_cluster(n_workers=None):
    """The local cluster ``assay_many(client=None)`` runs on: ``n_workers``
    processes (default: one per core) of one thread each.  Returns
    ``(client, cluster)``; close both when done."""
    import dask
    from dask.distributed import Client, LocalCluster

    n = n_workers or os.cpu_count() or 1
    config, inherited = _worker_environment()
    config.update(QUIET_CLUSTER)
    config.update(_one_arena())
    try:
        with dask.config.set(config):
            cluster = LocalCluster(
                n_workers=n,
                threads_per_worker=1,
                processes=True,
                dashboard_address=None,
                silence_logs=logging.ERROR,
            )
    finally:
        if inherited is not None:
            os.environ["MALLOC_TRIM_THRESHOLD_"] = inherited
    return Client(cluster), cluster


# What a local cluster of one-thread workers running long tasks does not
# need, and what would otherwise take CPU from the workers on a small
# machine (idle, these take about a tenth of a core with the defaults):
# the statistical profiler and the system monitor feed the dashboard, which
# this cluster does not serve (the profiler samples the task's stack every
# 10 ms and keeps a growing history of samples in every worker); the
# 20 ms tick of every event loop only detects blocked loops; work stealing
# has nothing to move while the scheduler hands a task out only when a
# worker's thread is free.
QUIET_CLUSTER = {
    "distributed.worker.profile.enabled": False,
    "distributed.admin.system-monitor.interval": "2s",
    "distributed.admin.tick.interval": "1s",
    "distributed.scheduler.work-stealing": False,
}

TRIM_KEY = "distributed.nanny.pre-spawn-environ.MALLOC_TRIM_THRESHOLD_"
DASK_TRIM_DEFAULT = 65536


ARENA_KEY = "distributed.nanny.pre-spawn-environ.MALLOC_ARENA_MAX"


def _one_arena():
    """A factor task runs on the worker's executor thread, which glibc
    serves from an arena of its own beside the main one; the task's
    tables then spread over both heaps, and a worker peaks higher than a
    serial batch doing the same work on its main thread.  One arena per
    worker process keeps its heap like the serial process's.  A value set
    in the Dask configuration or the environment stays."""
    import dask

    if dask.config.get(ARENA_KEY, None) is not None or "MALLOC_ARENA_MAX" in os.environ:
        return {}
    return {ARENA_KEY: 1}


def _worker_environment():
    """Configuration for the workers of our local cluster.  Dask starts its
    workers with glibc's trim threshold at 64 KiB, which also switches off
    malloc's adaptive mmap threshold: every array over 128 KiB a factor
    task allocates then comes from a fresh mmap whose pages the kernel
    faults in and zeroes again, and a batch allocates many dates x
    instruments arrays per factor.  Our workers keep malloc's defaults,
    like the process a serial batch runs in; another threshold set in the
    Dask configuration or the environment stays.  Returns the
    configuration and, when Dask's value had been left in this process's
    environment by an earlier cluster (Dask sets it there before spawning
    a worker), that value, removed meanwhile and to be put back."""
    import dask

    if str(dask.config.get(TRIM_KEY, None)) != str(DASK_TRIM_DEFAULT):
        return {}, None
    inherited = os.environ.get("MALLOC_TRIM_THRESHOLD_")
    if inherited is None:
        return {TRIM_KEY: None}, None
    if inherited != str(DASK_TRIM_DEFAULT):
        return {}, None
    del os.environ["MALLOC_TRIM_THRESHOLD_"]
    return {TRIM_KEY: None}, inherited


def assay_many(
    factors,
    order_book_ids=None,
    start_date=None,
    end_date=None,
    universe=None,
    periods=DEFAULT_PERIODS,
    ascending=False,
    steps=None,
    out=None,
    client=None,
    n_workers=None,
    store=None,
    resume=False,
    progress=None,
    trading=None,
):
    """Test many factors and return one summary row per factor.

    ``factors``: dict name -> a factor tree (computed with ``execute_factor``
    over ``order_book_ids`` from ``start_date`` to ``end_date``, masked to
    ``universe``), a callable returning a tree or a table (called on the
    worker), or a ready dates x instruments table.  ``order_book_ids``
    defaults to every stock of the store.  ``periods``, ``ascending`` and
    ``steps`` (``tarnfold.workflow.bench_steps(...)``; default: every
    step) and ``trading`` (trading rules adding the traded groups) are
    those of ``tarnfold.assay``.

    ``out``: folder for the full results (see ``tarnfold.batch.storage``;
    ``load_results(out, name)`` rebuilds a factor's result objects); without
    it only the rows are returned.  One batch at a time writes into a
    folder (FolderInUseError for a second).  A factor that fails leaves a
    record of its failure in place of any earlier results.
    ``resume=True`` skips factors whose results under ``out`` are complete,
    pass their check (nothing missing, cut short or changed) and were
    computed with the same parameters (and, for trees, the same tree);
    failed factors are redone.

    ``client``: None starts a LocalCluster of ``n_workers`` processes
    (default: one per core) with one thread each, closed at the end; a
    ``dask.distributed.Client`` or a scheduler address runs there;
    ``"serial"`` runs in this process without Dask.  ``store``: the store
    path the workers open (default: the store open here; a serial batch
    opens it in this process, where it stays the current store).  ``progress``:
    callable receiving one line per finished factor.

    Returns a DataFrame indexed by factor (in the order given): the IC,
    quantile and factor-return figures of the results' ``headline()``, the
    data-loss counts, the rank autocorrelation, the multiple-testing
    columns (``tarnfold.batch.trials``: the number of trials, the raw and
    Holm / Benjamini-Hochberg / Benjamini-Yekutieli adjusted p-values of
    each period's mean IC, the probabilistic and deflated Sharpe ratios of
    the top-minus-bottom and factor-weighted returns), wall/load/compute/
    write seconds, the worker, ``resumed`` and ``error`` (None when it
    worked).  With ``out``, the trials are every factor the folder has
    tried, in this batch and earlier ones, failures included
    (``out/trials.json``); without it, this batch's factors.
    A factor that raises, or cannot be sent to a worker, gives a row with
    its error; the batch goes on."""
    _check_factors(factors)
    periods = as_periods(periods)
    if resume and out is None:
        raise ValueError("resume: expected out, the folder of the earlier run, got None")
    needs_dates = any(not isinstance(v, pd.DataFrame) for v in factors.values())
    if needs_dates and (start_date is None or end_date is None):
        raise ValueError("start_date, end_date: expected dates to compute factor trees, got None")
    store_path = os.fspath(store) if store is not None else mivada.current_store().path
    if store is not None and not os.path.exists(store_path):
        raise ValueError("store: expected a store file, got no such file: {}".format(store_path))
    if order_book_ids is not None:
        ids = list(order_book_ids)
    else:
        if store is not None and client == SERIAL:
            ensure_store(store_path)
        ids = _default_ids()
    if steps is None:
        steps = bench_steps(trading=trading)
    elif trading is not None and not any(s[0] == "traded" for s in steps):
        steps = list(steps) + bench_steps(preprocess=(), analysers=(), trading=trading)
    meta = {
        "start": str(mivada.utils.as_date(start_date, "start_date").date())
        if start_date is not None
        else None,
        "end": str(mivada.utils.as_date(end_date, "end_date").date())
        if end_date is not None
        else None,
        "periods": list(periods),
        "ascending": bool(ascending),
        "universe": repr(universe),
        "instruments": len(ids),
        "instruments_hash": hashlib.sha1("\n".join(map(str, ids)).encode()).hexdigest(),
        "steps": _steps_key(steps),
        "store": os.path.realpath(store_path),
    }
    say = progress or (lambda line: None)
    identities = {name: tr.identity(spec) for name, spec in factors.items()}
    if out is None:
        ctx = BatchContext(
            store_path, ids, universe, start_date, end_date, periods, ascending, steps, None, meta
        )
        table = _run_batch(factors, ctx, client, n_workers, False, say)
        return _ordered(tr.with_inference(table, periods, None, identities))
    out = os.path.abspath(os.fspath(out))
    ctx = BatchContext(
        store_path, ids, universe, start_date, end_date, periods, ascending, steps, out, meta
    )
    with storage.batch_lock(out):
        os.makedirs(storage.factors_dir(out), exist_ok=True)
        storage.remove_stale_temp(out)
        # every factor counts as tried before it runs: a batch that is
        # stopped half-way still leaves its trials on record
        trials = tr.read_trials(out, seed=lambda: tr.seed_from_records(storage.stored_names(out)))
        tr.write_trials(out, tr.register(trials, identities))
        table = _run_batch(factors, ctx, client, n_workers, resume, say)
        storage.remove_stale_temp(out)  # what attempts on workers that died left behind
        tr.write_trials(out, tr.record_results(trials, table, identities))
        table = _ordered(tr.with_inference(table, periods, trials, identities))
        tmp = os.path.join(out, storage.SUMMARY_FILE + ".tmp")
        table.to_csv(tmp)
        os.replace(tmp, os.path.join(out, storage.SUMMARY_FILE))
    return table


def _resumable(out, name, meta, spec, say):
    """The stored summary row of factor ``name`` when its results under
    ``out`` are complete, intact and of the same run; None otherwise."""
    try:
        record = storage.read_record(out, name)
        if (
            record is None
            or record.get("state") != storage.DONE
            or "files" not in record
            or not _same_run(record, meta, spec)
        ):
            return None
        storage.verify(storage.factor_dir(out, name), record)
    except DamagedResultsError as exc:
        say("factor {}: stored results are damaged ({}); computing it again".format(name, exc))
        return None
    return dict(record["row"], resumed=True)


def _run_batch(factors, ctx, client, n_workers, resume, say):
    t0 = time.perf_counter()
    rows, todo = {}, []
    for name, spec in factors.items():
        row = _resumable(ctx.out, name, ctx.meta, spec, say) if resume else None
        if row is not None:
            rows[name] = row
        else:
            todo.append(name)
    if rows:
        say(
            "resuming: {} of {} factors already done, {} to run".format(
                len(rows), len(factors), len(todo)
            )
        )

    counter = _Counter(len(todo), say, t0)

    def finished(name, row):
        if row.get("error") and ctx.out is not None:
            # the folder keeps the last run's state: no earlier results
            # outlive a failure
            try:
                storage.write_failure(
                    ctx.out, name, row, dict(ctx.meta, fingerprint=fingerprint(factors[name]))
                )
            except OSError as exc:
                row["error"] += "; the failure could not be recorded under out: {}".format(
                    error_text(exc)
                )
        return counter.done(name, row)

    if todo and client == SERIAL:
        # trees computed a few at a time in one context: the bars are read
        # once and common parts computed once, while only a few factor
        # tables are held at a time
        for at in range(0, len(todo), SERIAL_CHUNK):
            chunk = todo[at : at + SERIAL_CHUNK]
            computed = compute_trees({name: factors[name] for name in chunk}, ctx)
            for name in chunk:
                rows[name] = finished(
                    name, run_factor(name, factors[name], ctx, computed.pop(name, None))
                )
    elif todo:
        own = None
        if client is None:
            say(
                "starting a local Dask cluster ({} worker processes)".format(
                    n_workers or os.cpu_count()
                )
            )
            client, own = local_cluster(n_workers)
        elif isinstance(client, str):
            from dask.distributed import Client

            client = Client(client)
            own = client
        try:
            rows.update(_run_on(client, factors, todo, ctx, finished))
        finally:
            if own is not None:
                if own is not client:
                    client.close()
                own.close()
    return _result_table(factors, rows)


def _same_run(record, meta, spec):
    stored = record.get("meta", {})
    if any(stored.get(k) != v for k, v in meta.items()):
        return False
    fp = fingerprint(spec)
    return fp is None or stored.get("fingerprint") == fp


class _Counter:
    def __init__(self, total, say, t0):
        self.total, self.say, self.t0 = total, say, t0
        self.completed = self.failed = 0

    def done(self, name, row):
        row.setdefault("resumed", False)
        if row.get("error"):
            self.failed += 1
        else:
            self.completed += 1
        self.say(
            "{} completed, {} failed, {} remaining -- {}{}".format(
                self.completed,
                self.failed,
                self.total - self.completed - self.failed,
                name,
                ": " + row["error"] if row.get("error") else "",
            )
        )
        return row


def _unsendable(spec):
    """Why ``spec`` cannot be sent to a worker (as Dask would serialise
    it), or None."""
    from distributed.protocol import pickle as dask_pickle

    try:
        dask_pickle.dumps(spec)
    except Exception as exc:
        deep = (
            isinstance(exc, RecursionError)
            or isinstance(exc.__cause__, RecursionError)
            or "recursion" in str(exc)
        )
        return "cannot send the factor to a worker: {}".format(
            "it is too deeply nested to serialise" if deep else error_text(exc)
        )
    return None


def _run_on(client, factors, todo, ctx, finished):
    """Submit one task per factor; tables given ready travel to the workers
    directly (scattered), never through the scheduler.  A factor that
    cannot be serialised gets its error row at once."""
    from dask.distributed import as_completed

    batch = uuid.uuid4().hex[:8]
    futures, rows = {}, {}
    for i, name in enumerate(todo):
        spec = factors[name]
        problem = None if isinstance(spec, pd.DataFrame) else _unsendable(spec)
        if problem is None:
            try:
                if isinstance(spec, pd.DataFrame):
                    spec = client.scatter(spec, direct=None)
                fut = client.submit(
                    run_factor,
                    name,
                    spec,
                    ctx,
                    pure=False,
                    key="tarnfold-assay-{}-{}".format(batch, i),
                )
            except Exception as exc:
                problem = "cannot send the factor to a worker: " + error_text(exc)
            else:
                futures[fut] = name
        if problem is not None:
            rows[name] = finished(name, {"factor": name, "error": problem})
    for fut in as_completed(list(futures)):
        name = futures[fut]
        try:
            row = fut.result()
        except Exception as exc:  # the task itself died (e.g. its worker, repeatedly)
            row = {"factor": name, "error": error_text(exc)}
        rows[name] = finished(name, row)
        fut.release()
    return rows


TAIL_COLUMNS = (
    "wall s",
    "load s",
    "compute s",
    "write s",
    "worker",
    "resumed",
    "error",
    "traceback",
)


def _ordered(table):
    """The run's own columns (timings, worker, error) last."""
    tail = [c for c in TAIL_COLUMNS if c in table.columns]
    return table[[c for c in table.columns if c not in tail] + tail]


def _result_table(factors, rows):
    table = pd.DataFrame.from_records([rows[n] for n in factors], index=list(factors))
    table.index.name = "factor"
    table = _ordered(table.drop(columns=["factor"], errors="ignore"))
    if "error" in table.columns:
        table["error"] = table["error"].astype(object).where(table["error"].notna(), None)
    return table


def print_progress(line):
    print(line, file=sys.stderr, flush=True)
