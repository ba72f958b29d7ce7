"""Speed and memory of the market-data client on a large sample store.

    python benchmarks/bench_mivada.py [--store PATH] [--stocks 3000]
                                      [--days 2500] [--repeat 5]

Builds (once, in the cache folder unless --store names a file) the "bench"
sample store, 3000 stocks x 2500 trading days, and times, warm:

* loading daily close and volume as dates x instruments tables
  (``get_price_panel``) against the plain pandas formulation (long bars from
  the store, then ``pivot``);
* daily returns (``get_price_change_rate``) against pandas (long close
  bars pivoted, forward filled, then ``x / x.shift(1) - 1``, which differs
  from close / prev_close only around suspensions);
* generating the default sample store (500 stocks x 970 days).

Time is the best of ``--repeat`` runs; peak memory is the tracemalloc peak
of one extra run (Python and numpy allocations; DuckDB's own buffers are
outside it).
"""

import argparse
import os
import sys
import tempfile
import time
import tracemalloc

import numpy as np
import pandas as pd

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "src"))

import mivada  # noqa: E402
from mivada.sample import PRESETS, SampleSize, build_sample_store  # noqa: E402


def measure(func, repeat):
    func()  # warm
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        func()
        best = min(best, time.perf_counter() - t0)
    tracemalloc.start()
    func()
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    return best, peak


def pandas_load(store, ids, start, end, fields):
    frame = pd.DataFrame({"order_book_id": ids})
    long = store.fetch_df(
        "SELECT b.order_book_id, b.date, {} FROM daily_bars b "
        "JOIN req r USING (order_book_id) WHERE b.date BETWEEN ? AND ?".format(
            ", ".join("b." + f for f in fields)
        ),
        [start.date(), end.date()],
        frames={"req": frame},
    )
    return {
        f: long.pivot(index="date", columns="order_book_id", values=f).reindex(columns=ids)
        for f in fields
    }


def pandas_returns(store, ids, start, end):
    close = pandas_load(store, ids, start, end, ["close"])["close"]
    filled = close.ffill()
    return (filled / filled.shift(1) - 1.0).where(close.notna())


def main(argv=None):
    parser = argparse.ArgumentParser()
    parser.add_argument("--store")
    parser.add_argument("--stocks", type=int, default=3000)
    parser.add_argument("--days", type=int, default=2500)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument(
        "--skip-default", action="store_true", help="do not time the default sample generation"
    )
    args = parser.parse_args(argv)

    size = SampleSize(max(args.stocks, 10), args.days)
    path = args.store or mivada.sample_path(size)
    if not os.path.exists(path):
        t0 = time.perf_counter()
        build_sample_store(path, size)
        print(
            "generated {} stocks x {} days in {:.1f}s -> {}".format(
                size.n_stocks, size.n_days, time.perf_counter() - t0, path
            )
        )
    store = mivada.init(path)
    ids = list(mivada.all_instruments("CS")["order_book_id"][: args.stocks])
    start, end = store.data_start, store.data_end
    n_days = len(mivada.get_trading_dates(start, end))
    print("store {}: {} instruments x {} trading days".format(path, len(ids), n_days))

    check = mivada.get_price_panel(ids, start, end, ["close", "volume"])
    plain = pandas_load(store, ids, start, end, ["close", "volume"])
    for f in ("close", "volume"):
        assert np.array_equal(check[f].to_numpy(), plain[f].to_numpy(), equal_nan=True), f

    rows = [
        (
            "close+volume panel",
            lambda: mivada.get_price_panel(ids, start, end, ["close", "volume"]),
            lambda: pandas_load(store, ids, start, end, ["close", "volume"]),
        ),
        (
            "price change rate",
            lambda: mivada.get_price_change_rate(ids, start, end),
            lambda: pandas_returns(store, ids, start, end),
        ),
    ]
    print(
        "{:<20} {:>10} {:>10} {:>7} {:>12} {:>12}".format(
            "operation", "mivada s", "pandas s", "ratio", "mivada MiB", "pandas MiB"
        )
    )
    for name, ours, theirs in rows:
        t_ours, m_ours = measure(ours, args.repeat)
        t_theirs, m_theirs = measure(theirs, args.repeat)
        print(
            "{:<20} {:>10.3f} {:>10.3f} {:>7.2f} {:>12.0f} {:>12.0f}".format(
                name, t_ours, t_theirs, t_theirs / t_ours, m_ours / 2**20, m_theirs / 2**20
            )
        )

    if not args.skip_default:
        with tempfile.TemporaryDirectory() as tmp:
            t0 = time.perf_counter()
            build_sample_store(os.path.join(tmp, "default.duckdb"), PRESETS["default"])
            print(
                "default sample (500 x 970) generated in {:.1f}s".format(time.perf_counter() - t0)
            )
    mivada.close()


if __name__ == "__main__":
    main()
