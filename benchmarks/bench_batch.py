"""A batch of operator-library factors: a 2-worker local Dask cluster against
the same batch run serially in this process.

    python benchmarks/bench_batch.py                     # 64 factors, 3000 x 1500
    python benchmarks/bench_batch.py --factors 16 --stocks 1000 --days 750

Prints the wall time of both runs and the speed-up, the peak resident
memory of the serial process and of each worker process, the CPU seconds
each process spent (a serial run whose CPU time exceeds its wall time used
more than one core), and how the factors' time divides between loading
(leaves and returns from the store), computing (execute_factor and the
bench, including the style exposures the bench reads for neutralization)
and writing (Parquet).  The "bench" sample store (3000 stocks x 2500
days) is generated on first use.

Threads: both runs get the same per-process settings.  The worker
processes of a Dask cluster start with OMP_NUM_THREADS, MKL_NUM_THREADS and
OPENBLAS_NUM_THREADS set to 1; this script sets the same three before numpy
is imported, so the serial run cannot borrow the second core through BLAS.
DuckDB and pyarrow keep their defaults in every process (the same in both
runs); the printed CPU/wall ratio of the serial run shows how much of a
second core it used all the same.  The cluster is started with
``tarnfold.batch.local_cluster``, the one ``assay_many`` starts itself.
"""

import os

# before numpy is imported: the setting Dask gives its worker processes
for _var in ("OMP_NUM_THREADS", "MKL_NUM_THREADS", "OPENBLAS_NUM_THREADS"):
    os.environ[_var] = "1"

import argparse  # noqa: E402
import resource  # noqa: E402
import shutil  # noqa: E402
import sys  # noqa: E402
import tempfile  # noqa: E402
import time  # noqa: E402

import mivada  # noqa: E402
from tarnfold import operators as op  # noqa: E402
from tarnfold.batch import assay_many, local_cluster  # noqa: E402
from tarnfold.leaf import CLOSE, HIGH, LOW, VOLUME  # noqa: E402

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
    from tarnfold.workflow import bench_steps

    for _, _, make, _ in bench_steps():
        make()


def _worker_peak_mib():
    with open("/proc/self/status") as fh:
        for line in fh:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024.0
    return float("nan")


def _cpu_seconds():
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime


def _split(table):
    ok = table[table["error"].isna()]
    parts = {k: ok[k + " s"].sum() for k in ("load", "compute", "write")}
    total = sum(parts.values())
    return "load {:.0f} s ({:.0%}), compute {:.0f} s ({:.0%}), write {:.0f} s ({:.0%})".format(
        parts["load"],
        parts["load"] / total,
        parts["compute"],
        parts["compute"] / total,
        parts["write"],
        parts["write"] / total,
    )


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
    ids = mivada.all_instruments("CS")["order_book_id"].tolist()[: args.stocks]
    end = mivada.get_previous_trading_date(mivada.get_latest_trading_date(), max(periods) + 1)
    start = mivada.trading_date_offset(end, -(args.days - 1))
    factors = operator_factors(args.factors)
    print(
        "{} factors, {} stocks x {} days ({:%Y-%m-%d} .. {:%Y-%m-%d}), periods {}, "
        "{} cores, load average {:.1f}".format(
            len(factors),
            len(ids),
            args.days,
            start,
            end,
            periods,
            os.cpu_count(),
            os.getloadavg()[0],
        ),
        flush=True,
    )
    print(
        "threads per process, both runs: OMP/MKL/OPENBLAS_NUM_THREADS={}/{}/{}, DuckDB and "
        "pyarrow defaults; cluster workers: 1 thread each".format(
            *(
                os.environ.get(v)
                for v in ("OMP_NUM_THREADS", "MKL_NUM_THREADS", "OPENBLAS_NUM_THREADS")
            )
        ),
        flush=True,
    )
    kw = dict(order_book_ids=ids, start_date=start, end_date=end, periods=periods, store=store.path)
    _warm_up()  # imports and first-call set-up outside the clock, here and on the workers
    tmp = tempfile.mkdtemp(prefix="bench-batch-")
    try:
        serial_time = serial_peak = float("nan")
        if not args.skip_serial:
            _reset_peak()
            c0, t0 = _cpu_seconds(), time.perf_counter()
            serial = assay_many(factors, out=os.path.join(tmp, "serial"), client="serial", **kw)
            serial_time = time.perf_counter() - t0
            serial_cpu = _cpu_seconds() - c0
            serial_peak = _status_kib("VmHWM") / 1024.0
            print(
                "serial      {:8.1f} s  peak RSS {:7.0f} MiB  failed {}  | {}".format(
                    serial_time, serial_peak, int(serial["error"].notna().sum()), _split(serial)
                ),
                flush=True,
            )
            print(
                "            CPU {:.1f} s ({:.2f} of the wall time), load average {:.1f}".format(
                    serial_cpu, serial_cpu / serial_time, os.getloadavg()[0]
                ),
                flush=True,
            )

        client, cluster = local_cluster(2)
        try:
            client.run(_warm_up)
            worker_c0 = client.run(_cpu_seconds)
            c0, t0 = _cpu_seconds(), time.perf_counter()
            dist = assay_many(factors, out=os.path.join(tmp, "dist"), client=client, **kw)
            dist_time = time.perf_counter() - t0
            main_cpu = _cpu_seconds() - c0
            worker_cpu = {k: v - worker_c0[k] for k, v in client.run(_cpu_seconds).items()}
            peaks = client.run(_worker_peak_mib)
        finally:
            client.close()
            cluster.close()
        print(
            "2 workers   {:8.1f} s  peak RSS per worker {}  failed {}  | {}".format(
                dist_time,
                ", ".join("{:.0f} MiB".format(v) for v in peaks.values()),
                int(dist["error"].notna().sum()),
                _split(dist),
            )
        )
        print(
            "            CPU per worker {}, this process {:.1f} s, load average {:.1f}".format(
                ", ".join("{:.1f} s".format(v) for v in worker_cpu.values()),
                main_cpu,
                os.getloadavg()[0],
            )
        )
        print(
            "speed-up    {:8.2f}x  (worker peak / serial peak: {})".format(
                serial_time / dist_time,
                ", ".join("{:.2f}".format(v / serial_peak) for v in peaks.values()),
            )
        )
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
