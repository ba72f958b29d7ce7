"""A batch of operator-library factors: a 2-worker local Dask cluster against
the same batch run serially in this process.

    python benchmarks/bench_batch.py                     # 64 factors, 3000 x 1500
    python benchmarks/bench_batch.py --factors 16 --days 500 --stocks 1000

Prints the wall time of both runs and the speed-up, the peak resident
memory of the serial process and of each worker process, and how the
factors' time divides between loading (leaves and returns from the store),
computing (execute_factor and the bench) and writing (Parquet).  The
"bench" sample store (3000 stocks x 2500 days) is generated on first use.
"""
import argparse
import logging
import os
import shutil
import sys
import tempfile
import time

import mivada
from tarnfold import operators as op
from tarnfold.batch import assay_many
from tarnfold.leaf import CLOSE, HIGH, LOW, VOLUME

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from _harness import _reset_peak, _status_kib  # noqa: E402


def operator_factors(n):
    r = op.returns()
    kinds = {
        "mean_ret": lambda d: op.ts_mean(r, d),
        "std_ret": lambda d: op.ts_std(r, d),
        "rank_close": lambda d: op.ts_rank(CLOSE, d),
        "chg_close": lambda d: op.delta(CLOSE, d) / CLOSE,
        "corr_close_vol": lambda d: op.correlation(CLOSE, VOLUME, d),
        "decay_ret": lambda d: op.decay_linear(r, d),
        "high_ratio": lambda d: op.ts_max(HIGH, d) / CLOSE,
        "low_ratio": lambda d: op.ts_min(LOW, d) / CLOSE,
        "argmax_close": lambda d: op.ts_argmax(CLOSE, d),
        "adv_ratio": lambda d: op.adv(d) / VOLUME,
        "ema_ret": lambda d: op.ema(r, d),
        "cov_ret_lvol": lambda d: op.covariance(r, op.log(VOLUME + 1), d),
        "abs_ret": lambda d: op.ts_sum(op.absolute(r), d),
        "rank_vol": lambda d: -op.ts_rank(VOLUME, d),
        "growth": lambda d: op.ts_product(1 + r, d),
        "zclose": lambda d: (CLOSE - op.ts_mean(CLOSE, d)) / op.ts_std(CLOSE, d),
    }
    out = {}
    for d in (5, 10, 20, 40):
        for kind, make in kinds.items():
            out["{}_{}".format(kind, d)] = make(d)
    return dict(list(out.items())[:n])


def _warm_up():
    import tarnfold.analysis.assay_bench  # noqa: F401
    import tarnfold.engine_v2.eval_core  # noqa: F401
    from tarnfold.workflow import bench_steps, step_supported
    for name, kind, make, _ in bench_steps():
        step_supported(make, kind, name)


def _worker_peak_mib():
    with open("/proc/self/status") as fh:
        for line in fh:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024.0
    return float("nan")


def _split(table):
    ok = table[table["error"].isna()]
    parts = {k: ok[k + " s"].sum() for k in ("load", "compute", "write")}
    total = sum(parts.values())
    return "load {:.0f} s ({:.0%}), compute {:.0f} s ({:.0%}), write {:.0f} s ({:.0%})".format(
        parts["load"], parts["load"] / total, parts["compute"], parts["compute"] / total,
        parts["write"], parts["write"] / total)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--factors", type=int, default=64)
    ap.add_argument("--stocks", type=int, default=3000)
    ap.add_argument("--days", type=int, default=1500)
    ap.add_argument("--periods", default="1,5,20")
    ap.add_argument("--skip-serial", action="store_true")
    args = ap.parse_args()
    periods = tuple(int(p) for p in args.periods.split(","))

    store = mivada.init(sample="bench")
    ids = mivada.all_instruments("CS")["order_book_id"].tolist()[:args.stocks]
    end = mivada.get_previous_trading_date(mivada.get_latest_trading_date(), max(periods) + 1)
    start = mivada.trading_date_offset(end, -(args.days - 1))
    factors = operator_factors(args.factors)
    print("{} factors, {} stocks x {} days ({:%Y-%m-%d} .. {:%Y-%m-%d}), periods {}, "
          "{} cores, load average {:.1f}".format(
              len(factors), len(ids), args.days, start, end, periods, os.cpu_count(),
              os.getloadavg()[0]), flush=True)
    kw = dict(order_book_ids=ids, start_date=start, end_date=end, periods=periods,
              store=store.path)
    _warm_up()   # imports and first-call set-up outside the clock, here and on the workers
    tmp = tempfile.mkdtemp(prefix="bench-batch-")
    try:
        serial_time = serial_peak = float("nan")
        if not args.skip_serial:
            _reset_peak()
            t0 = time.perf_counter()
            serial = assay_many(factors, out=os.path.join(tmp, "serial"), client="serial", **kw)
            serial_time = time.perf_counter() - t0
            serial_peak = _status_kib("VmHWM") / 1024.0
            print("serial      {:8.1f} s  peak RSS {:7.0f} MiB  failed {}  | {}".format(
                serial_time, serial_peak, int(serial["error"].notna().sum()), _split(serial)),
                flush=True)

        from dask.distributed import Client, LocalCluster
        cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                               dashboard_address=None, silence_logs=logging.ERROR)
        client = Client(cluster)
        try:
            client.run(_warm_up)
            t0 = time.perf_counter()
            dist = assay_many(factors, out=os.path.join(tmp, "dist"), client=client, **kw)
            dist_time = time.perf_counter() - t0
            peaks = client.run(_worker_peak_mib)
        finally:
            client.close()
            cluster.close()
        print("2 workers   {:8.1f} s  peak RSS per worker {}  failed {}  | {}".format(
            dist_time, ", ".join("{:.0f} MiB".format(v) for v in peaks.values()),
            int(dist["error"].notna().sum()), _split(dist)))
        print("speed-up    {:8.2f}x  (worker peak / serial peak: {})".format(
            serial_time / dist_time, ", ".join("{:.2f}".format(v / serial_peak)
                                               for v in peaks.values())))
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
