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
cluster that path must hold the same store on every worker machine.
"""
import hashlib
import os
import sys
import time

import pandas as pd

from tarnfold.batch import storage
from tarnfold.batch.correlation import completed_factors, factor_correlation, pick_uncorrelated
from tarnfold.batch.storage import load_factor_table, load_results
from tarnfold.batch.task import BatchContext, run_factor

__all__ = ["assay_many", "factor_correlation", "pick_uncorrelated", "load_results",
           "load_factor_table", "completed_factors", "local_cluster"]

SERIAL = "serial"


def _default_ids():
    import mivada
    return mivada.all_instruments("CS")["order_book_id"].tolist()


def _check_factors(factors):
    if not isinstance(factors, dict):
        raise TypeError("factors: expect a dict name -> factor tree, callable or table, got {}"
                        .format(type(factors).__name__))
    if not factors:
        raise ValueError("factors: no factors given")
    for name in factors:
        if not isinstance(name, str) or not name.strip():
            raise ValueError("factors: names must be non-empty strings, got {!r}".format(name))


def _steps_key(steps):
    return "default" if steps is None else repr([s[0] for s in steps])


def local_cluster(n_workers=None):
    """The local cluster ``assay_many(client=None)`` runs on: ``n_workers``
    processes (default: one per core) of one thread each.  Returns
    ``(client, cluster)``; close both when done."""
    import dask
    from dask.distributed import Client, LocalCluster
    import logging
    n = n_workers or os.cpu_count() or 1
    config, inherited = _worker_environment()
    config.update(QUIET_CLUSTER)
    config.update(_one_arena())
    try:
        with dask.config.set(config):
            cluster = LocalCluster(n_workers=n, threads_per_worker=1, processes=True,
                                   dashboard_address=None, silence_logs=logging.ERROR)
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


def assay_many(factors, order_book_ids=None, start_date=None, end_date=None, universe=None,
               periods=(1, 5, 20), ascending=False, steps=None, out=None, client=None,
               n_workers=None, store=None, resume=False, progress=None):
    """Test many factors and return one summary row per factor.

    ``factors``: dict name -> a factor tree (computed with ``execute_factor``
    over ``order_book_ids`` from ``start_date`` to ``end_date``, masked to
    ``universe``), a callable returning a tree or a table (called on the
    worker), or a ready dates x instruments table.  ``order_book_ids``
    defaults to every stock of the store.  ``periods``, ``ascending`` and
    ``steps`` (``tarnfold.workflow.bench_steps(...)``; default: every
    supported step) are those of ``tarnfold.assay``.

    ``out``: folder for the full results (see ``tarnfold.batch.storage``;
    ``load_results(out, name)`` rebuilds a factor's result objects); without
    it only the rows are returned.  ``resume=True`` skips factors whose
    results under ``out`` are complete and were computed with the same
    parameters (and, for trees, the same tree); failed factors are redone.

    ``client``: None starts a LocalCluster of ``n_workers`` processes
    (default: one per core) with one thread each, closed at the end; a
    ``dask.distributed.Client`` or a scheduler address runs there;
    ``"serial"`` runs in this process without Dask.  ``store``: the store
    path the workers open (default: the store open here; a serial batch
    opens it in this process, where it stays the current store).  ``progress``:
    callable receiving one line per finished factor.

    Returns a DataFrame indexed by factor (in the order given): the IC,
    quantile and factor-return figures of the results' ``summary()``, the
    data-loss counts, the rank autocorrelation, wall/load/compute/write
    seconds, the worker, ``resumed`` and ``error`` (None when it worked).
    A factor that raises gives a row with its error; the batch goes on."""
    import mivada

    _check_factors(factors)
    if isinstance(periods, int):
        periods = (periods,)
    periods = tuple(int(p) for p in periods)
    if not periods or min(periods) < 1:
        raise ValueError("periods: expect positive integers, got {}".format(periods))
    if resume and out is None:
        raise ValueError("resume: needs out, the folder of the earlier run")
    needs_dates = any(not isinstance(v, pd.DataFrame) for v in factors.values())
    if needs_dates and (start_date is None or end_date is None):
        raise ValueError("start_date, end_date: needed to compute factor trees")
    store_path = os.fspath(store) if store is not None else mivada.current_store().path
    if store is not None:
        if not os.path.exists(store_path):
            raise ValueError("store: no such store: {}".format(store_path))
    if order_book_ids is not None:
        ids = list(order_book_ids)
    else:
        if store is not None and client == SERIAL:
            from tarnfold.batch.task import ensure_store
            ensure_store(store_path)
        ids = _default_ids()
    meta = {"start": str(pd.Timestamp(start_date).date()) if start_date is not None else None,
            "end": str(pd.Timestamp(end_date).date()) if end_date is not None else None,
            "periods": list(periods), "ascending": bool(ascending),
            "universe": repr(universe), "instruments": len(ids),
            "instruments_hash": hashlib.sha1("\n".join(map(str, ids)).encode()).hexdigest(),
            "steps": _steps_key(steps), "store": os.path.realpath(store_path)}
    if out is not None:
        out = os.path.abspath(os.fspath(out))
        os.makedirs(storage.factors_dir(out), exist_ok=True)
        storage.remove_stale_temp(out)
    ctx = BatchContext(store_path, ids, universe, start_date, end_date, periods, ascending,
                       steps, out, meta)

    say = progress or (lambda line: None)
    t0 = time.perf_counter()
    rows, todo = {}, []
    for name, spec in factors.items():
        record = storage.read_record(out, name) if resume else None
        if record is not None and _same_run(record, meta, spec):
            row = dict(record["row"])
            row["resumed"] = True
            rows[name] = row
        else:
            todo.append(name)
    if rows:
        say("resuming: {} of {} factors already done, {} to run".format(
            len(rows), len(factors), len(todo)))
    counter = _Counter(len(todo), say, t0)
    if todo and client == SERIAL:
        for name in todo:
            rows[name] = counter.done(name, run_factor(name, factors[name], ctx))
    elif todo:
        own = None
        if client is None:
            say("starting a local Dask cluster ({} worker processes)".format(
                n_workers or os.cpu_count()))
            client, own = local_cluster(n_workers)
        elif isinstance(client, str):
            from dask.distributed import Client
            client = Client(client)
            own = client
        try:
            rows.update(_run_on(client, factors, todo, ctx, counter))
        finally:
            if own is not None:
                if own is not client:
                    client.close()
                own.close()
    table = _result_table(factors, rows)
    if out is not None:
        storage.remove_stale_temp(out)   # what attempts on workers that died left behind
        tmp = os.path.join(out, storage.SUMMARY_FILE + ".tmp")
        table.to_csv(tmp)
        os.replace(tmp, os.path.join(out, storage.SUMMARY_FILE))
    return table


def _same_run(record, meta, spec):
    from tarnfold.batch.task import fingerprint
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
        self.say("{} completed, {} failed, {} remaining -- {}{}".format(
            self.completed, self.failed,
            self.total - self.completed - self.failed, name,
            ": " + row["error"] if row.get("error") else ""))
        return row


def _run_on(client, factors, todo, ctx, counter):
    """Submit one task per factor; tables given ready travel to the workers
    directly (scattered), never through the scheduler."""
    from dask.distributed import as_completed
    import uuid

    batch = uuid.uuid4().hex[:8]
    futures = {}
    for i, name in enumerate(todo):
        spec = factors[name]
        if isinstance(spec, pd.DataFrame):
            spec = client.scatter(spec, direct=None)
        fut = client.submit(run_factor, name, spec, ctx, pure=False,
                            key="tarnfold-assay-{}-{}".format(batch, i))
        futures[fut] = name
    rows = {}
    for fut in as_completed(list(futures)):
        name = futures[fut]
        try:
            row = fut.result()
        except Exception as exc:   # the task itself died (e.g. its worker, repeatedly)
            from tarnfold.batch.task import error_text
            row = {"factor": name, "error": error_text(exc)}
        rows[name] = counter.done(name, row)
        fut.release()
    return rows


def _result_table(factors, rows):
    table = pd.DataFrame.from_records([rows[n] for n in factors], index=list(factors))
    table.index.name = "factor"
    table = table.drop(columns=["factor"], errors="ignore")
    tail = [c for c in ("wall s", "load s", "compute s", "write s", "worker", "resumed",
                        "error", "traceback") if c in table.columns]
    table = table[[c for c in table.columns if c not in tail] + tail]
    if "error" in table.columns:
        table["error"] = table["error"].astype(object).where(table["error"].notna(), None)
    return table


def print_progress(line):
    print(line, file=sys.stderr, flush=True)
