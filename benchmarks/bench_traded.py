"""The traded quantile analysis against the quantile analyser it extends, on
the same data: a sample market of 3000 stocks x 1500 factor dates, 5
groups, periods 1, 5 and 20, every trading rule on (T+1 open, price
limits, suspensions, new listings, ST excluded, delistings, costs).

    python benchmarks/bench_traded.py                      # 3000 x 1500
    python benchmarks/bench_traded.py --stocks 500 --days 300
    python benchmarks/bench_traded.py --peer /tmp/peer-venv/bin/python

Each side runs in its own interpreter on the same store and factor (the
published reversal_5d) and the same daily returns, read before the
timing; the traded side's market data (bars, limit prices, ST status)
is read once too and timed on its own ("market load").  Peak memory is
the growth of the resident set during the first run
(benchmarks/_harness.py).  --peer PYTHON times a peer package's one-call
report with A-share rules (tradability, forward returns, groups, IC) in
that interpreter's environment (a throwaway virtualenv), on the same
factor and bars handed over as arrays; it is skipped when the interpreter
or the package is missing.  Figures on a shared machine are for sanity
only.
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
import warnings

HERE = os.path.dirname(os.path.abspath(__file__))
PERIODS = (1, 5, 20)
QUANTILE = 5


def inputs(store, stocks, days):
    sys.path.insert(0, HERE)
    import _harness
    import mivada

    _harness.engine_bench_store(store, stocks, days)
    ids = mivada.all_instruments("CS")["order_book_id"].tolist()
    end = mivada.get_previous_trading_date(mivada.get_latest_trading_date(), max(PERIODS) + 1)
    start = mivada.trading_date_offset(end, -(days - 1))
    factor = (
        mivada.get_factor(ids, "reversal_5d", start, end)["reversal_5d"]
        .unstack("order_book_id")
        .reindex(columns=ids)
    )
    factor.index.name, factor.columns.name = "datetime", "order_book_id"
    last = mivada.get_next_trading_date(end, max(PERIODS))
    returns = mivada.get_price_change_rate(ids, start, last)
    return factor, returns


def run_side(side, store, stocks, days, repeat):
    warnings.simplefilter("ignore")
    sys.path.insert(0, HERE)
    import _harness
    from tarnfold.analysis import assay_bench as ab
    from tarnfold.analysis.traded import TradedQuantileAnalysis, TradingRules, load_market

    factor, returns = inputs(store, stocks, days)
    extra = {}
    if side == "quantile":

        def run():
            return (
                ab.QuantileReturnAnalysis(quantile=QUANTILE)
                .analysis(factor, returns, PERIODS, ascending=False)
                .quantile_returns.shape
            )
    else:
        rules = TradingRules(exclude_st=True)
        t0 = time.perf_counter()
        market = load_market(factor.index, factor.columns, rules)
        extra["load"] = time.perf_counter() - t0
        analyser = TradedQuantileAnalysis(quantile=QUANTILE, rules=rules, market=market)

        def run():
            return analyser.analysis(factor, returns, PERIODS, ascending=False).daily_returns.shape

    times = []

    def timed():
        t0, c0 = time.perf_counter(), time.process_time()
        shape = run()
        times.append((time.perf_counter() - t0, time.process_time() - c0))
        return shape

    _, peak, shape = _harness.measure(timed, repeat=repeat)
    print(
        json.dumps(
            dict(
                extra,
                times=[t for t, _ in times],
                cpu=[c for _, c in times],
                peak_mib=peak,
                shape=list(shape),
            )
        )
    )


def measure(side, args):
    cmd = [
        sys.executable,
        os.path.abspath(__file__),
        "--side",
        side,
        "--stocks",
        str(args.stocks),
        "--days",
        str(args.days),
        "--repeat",
        str(args.repeat),
    ]
    if args.store:
        cmd += ["--store", args.store]
    out = subprocess.run(cmd, check=True, capture_output=True, text=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


PEER_SCRIPT = r"""
import json, sys, time, warnings
warnings.simplefilter("ignore")
import numpy as np
import pandas as pd
z = np.load(sys.argv[1])
ids = pd.Index([str(x) for x in z["ids"]], dtype=object)
dates = pd.DatetimeIndex(z["dates"])


def long(a, name, index):
    s = pd.DataFrame(a, index=index, columns=ids).stack()
    s.index.names = ["date", "asset"]
    return s.rename(name)


fields = {"raw_open": "open", "raw_high": "high", "raw_low": "low", "raw_close": "close",
          "prev_close": "prev_close", "volume": "volume", "amount": "total_turnover"}
prices = pd.concat([long(z[v], k, dates) for k, v in fields.items()], axis=1)
prices = prices.dropna(subset=["raw_close"])
prices["adj_factor"] = 1.0
for c in ("open", "high", "low", "close"):
    prices["adj_" + c] = prices["raw_" + c]
factor = long(z["factor"], "value", pd.DatetimeIndex(z["fdates"])).to_frame()
factor = factor[factor.index.isin(prices.index)]   # it takes values only where a bar is
try:
    import alphalens_cna as peer
except ImportError:
    print(json.dumps({"skipped": "the peer package does not import"}))
    sys.exit(0)
t0 = time.perf_counter()
try:
    peer.build_report(factor, prices, pd.DatetimeIndex(z["cal"]), horizons=(1, 5, 20),
                      quantiles=5)
except Exception as exc:
    print(json.dumps({"skipped": "{}: {}".format(type(exc).__name__, exc)}))
    sys.exit(0)
print(json.dumps({"seconds": time.perf_counter() - t0}))
"""


def peer_time(python, args):
    """Seconds of the peer package's one-call report (tradability, forward
    returns, groups, IC) on the same factor and bars, or why not."""
    if not python or not os.path.exists(python):
        return None, "no peer interpreter given (--peer)"
    import mivada
    import numpy as np

    factor, _ = inputs(args.store, args.stocks, args.days)
    ids = list(factor.columns)
    end = mivada.get_next_trading_date(factor.index[-1], max(PERIODS) + 1)
    panel = mivada.get_price_panel(
        ids,
        factor.index[0],
        end,
        fields=("open", "high", "low", "close", "prev_close", "volume", "total_turnover"),
    )
    cal = mivada.get_trading_dates(factor.index[0], end)
    with tempfile.TemporaryDirectory() as folder:
        data = os.path.join(folder, "data.npz")
        np.savez(
            data,
            factor=factor.to_numpy(),
            fdates=factor.index.values.astype("int64"),
            ids=np.array(ids),
            dates=panel["close"].index.values.astype("int64"),
            cal=cal.values.astype("int64"),
            **{k: v.to_numpy() for k, v in panel.items()},
        )
        script = os.path.join(folder, "peer.py")
        with open(script, "w") as fh:
            fh.write(PEER_SCRIPT)
        out = subprocess.run([python, script, data], capture_output=True, text=True)
    lines = out.stdout.strip().splitlines()
    if out.returncode != 0 or not lines:
        return None, "it failed: {}".format((out.stderr.strip().splitlines() or ["?"])[-1])
    got = json.loads(lines[-1])
    return got.get("seconds"), got.get("skipped")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--stocks", type=int, default=3000)
    parser.add_argument("--days", type=int, default=1500)
    parser.add_argument(
        "--store",
        help="a store to use (default: the sample store of "
        "that size, generated in the cache on first use)",
    )
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--peer", help="python of a virtualenv holding the peer package")
    parser.add_argument("--side", choices=["quantile", "traded"], help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.side:
        run_side(args.side, args.store, args.stocks, args.days, args.repeat)
        return
    print(
        "quantile groups, {} stocks x {} dates, quantile={}, periods={}".format(
            args.stocks, args.days, QUANTILE, PERIODS
        )
    )
    plain = measure("quantile", args)
    traded = measure("traded", args)
    t_c, t_t = min(plain["times"]), min(traded["times"])
    print(
        "  QuantileReturnAnalysis  : {:7.2f} s  (best of {}; CPU {} s)  peak +{:.0f} MiB".format(
            t_c, len(plain["times"]), ", ".join("%.2f" % c for c in plain["cpu"]), plain["peak_mib"]
        )
    )
    print(
        "  TradedQuantileAnalysis  : {:7.2f} s  (best of {}; CPU {} s)  peak +{:.0f} MiB".format(
            t_t,
            len(traded["times"]),
            ", ".join("%.2f" % c for c in traded["cpu"]),
            traded["peak_mib"],
        )
    )
    print(
        "  market load (once)      : {:7.2f} s  (bars, limit prices, ST status)".format(
            traded["load"]
        )
    )
    print(
        "  ratio traded / quantile : {:7.2f} x  (with the market load: {:.2f} x)".format(
            t_t / t_c, (t_t + traded["load"]) / t_c
        )
    )
    if args.peer:
        seconds, why = peer_time(args.peer, args)
        if seconds is None:
            print("  peer package            : skipped ({})".format(why))
        else:
            print(
                "  peer package (one call) : {:7.2f} s  ({:.0f} x the traded analysis with "
                "its market load)".format(seconds, seconds / (t_t + traded["load"]))
            )


if __name__ == "__main__":
    main()
