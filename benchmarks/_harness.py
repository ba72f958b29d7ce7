"""Timing and peak-memory helpers shared by the benchmark scripts.

Peak memory is the growth of the process's resident set over its size just
before the call (Linux: the high-water mark is reset through
/proc/self/clear_refs before each run), so it counts C++ allocations as well
as numpy's.
"""

import gc
import json
import os
import subprocess
import sys
import time


def _status_kib(field):
    with open("/proc/self/status") as fh:
        for line in fh:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def _reset_peak():
    try:
        with open("/proc/self/clear_refs", "w") as fh:
            fh.write("5")
        return True
    except OSError:
        return False


def measure(fn, repeat=3):
    """Best wall time over `repeat` runs and peak extra memory (MiB) of one run."""
    best = float("inf")
    peak = float("nan")
    result = None
    for k in range(repeat):
        result = None
        gc.collect()
        can_reset = _reset_peak()
        base = _status_kib("VmRSS")
        t0 = time.perf_counter()
        result = fn()
        elapsed = time.perf_counter() - t0
        best = min(best, elapsed)
        if k == 0 and can_reset:
            peak = (_status_kib("VmHWM") - base) / 1024.0
    return best, peak, result


def report(label, ours, theirs):
    t_ours, m_ours, _ = ours
    t_theirs, m_theirs, _ = theirs
    print(
        f"{label:<34} ours {t_ours * 1e3:9.1f} ms  peak {m_ours:8.1f} MiB | "
        f"pandas {t_theirs * 1e3:9.1f} ms  peak {m_theirs:8.1f} MiB | "
        f"speed-up {t_theirs / t_ours:6.1f}x"
    )


def engine_bench_store(store, stocks, days):
    """The store of the engine benchmarks: ``store`` when given, otherwise
    the "bench" sample sized ``stocks`` x ``days`` (+200 days of look-back),
    generated in the mivada cache on first use.  Returns the opened store."""
    import mivada
    from mivada.sample import PRESETS, SampleSize, build_sample_store

    path = store
    if not path:
        base = PRESETS["bench"]
        size = SampleSize(stocks, days + 200, base.seed, base.end_date)
        path = mivada.sample_path(size)
        if not os.path.exists(path):
            t0 = time.perf_counter()
            build_sample_store(path, size)
            print(
                "generated {} stocks x {} days in {:.1f}s".format(
                    size.n_stocks, size.n_days, time.perf_counter() - t0
                )
            )
    return mivada.init(path)


def engine_bench_setup(argv, more=None):
    """Arguments --store, --stocks (3000), --days (1000), --repeat (3) and
    those ``more(parser)`` adds; opens the store (``engine_bench_store``).
    Returns (args, store, the first --stocks stocks, first requested day,
    last day)."""
    import argparse

    import mivada

    parser = argparse.ArgumentParser()
    parser.add_argument("--store")
    parser.add_argument("--stocks", type=int, default=3000)
    parser.add_argument("--days", type=int, default=1000)
    parser.add_argument("--repeat", type=int, default=3)
    if more is not None:
        more(parser)
    args = parser.parse_args(argv)
    store = engine_bench_store(args.store, args.stocks, args.days)
    ids = list(mivada.all_instruments("CS")["order_book_id"][: args.stocks])
    end = store.data_end
    start = mivada.trading_date_offset(end, -(args.days - 1))
    return args, store, ids, start, end


def side_in_subprocess(script, side, **options):
    """Run ``script --side SIDE --name value ...`` (one ``--name`` per
    keyword) in a fresh interpreter, so that each side's peak memory is its
    own, and return the JSON object its last line of output prints."""
    cmd = [sys.executable, os.path.abspath(script), "--side", side]
    for name, value in options.items():
        cmd += ["--" + name, str(value)]
    out = subprocess.run(cmd, check=True, capture_output=True, text=True)
    return json.loads(out.stdout.strip().splitlines()[-1])
