"""What the evidence adds to the whole default bench: the data health
report, Fama-MacBeth regressions, the group views, the event study and
the summary tables they and the multiple-testing figures bring (the
monotonicity, alpha/beta and Sharpe-ratio tables of the bench's own
results), against the default bench as it was without them.

    python benchmarks/bench_evidence.py                     # 3000 x 1500
    python benchmarks/bench_evidence.py --dates 500 --instruments 1000

Both sides run ``tarnfold.assay`` on the same tables with the same
in-memory stand-in of the store (``bench_workflow``'s, plus the published
``market_cap``, daily bars for the price checks, a calendar and a last
trading date), so only computing is timed:

* "bench": winsorize, normalize, neutralize, IC (decay, industries),
  quantile groups against the benchmark, factor returns, the data-loss
  account, rank autocorrelation and the summary tables and headline
  figures those results had before the evidence
  (``tarnfold.analysis.statistics``);
* "with evidence": the same plus the health report, the three evidence
  analysers and every summary table and headline of every result.

Each side runs in fresh interpreters, the two sides taking turns
(``--rounds`` each, ``--repeat`` runs per interpreter); the best wall and
CPU times of each side are compared.  Timings on a shared machine are
noisy, so the "with evidence" runs also time the evidence's own steps
(health report, the three analysers) and the summaries' extra cost (the
summaries and headlines against the bench's former summaries, timed right
after in the same process) and print their share of the rest of the run:
both sides then see the same load.
"""

import os

# one BLAS thread: CPU time then measures the work, not idle spinning
for _var in ("OMP_NUM_THREADS", "MKL_NUM_THREADS", "OPENBLAS_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

import argparse  # noqa: E402
import json  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402
import warnings  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import _harness  # noqa: E402
import bench_workflow as bw  # noqa: E402

OLD_ANALYSERS = ("ic", "quantile", "factor_return")


def add_evidence_data(market, factor, returns, seed=11):
    """The stand-in's market_cap factor, daily bars and calendar."""
    import numpy as np
    import pandas as pd

    rng = np.random.default_rng(seed)
    dates, ids = factor.index, list(factor.columns)
    cap = pd.DataFrame(
        np.exp(
            rng.normal(23.0, 1.0, (1, len(ids)))
            + np.cumsum(rng.normal(0, 0.01, (len(dates), len(ids))), axis=0)
        ),
        index=dates,
        columns=ids,
    )
    # laid out as the store answers: instrument by instrument, dates in order
    long_cap = pd.DataFrame(
        {"market_cap": cap.to_numpy().T.ravel()},
        index=pd.MultiIndex.from_product([ids, dates], names=["order_book_id", "date"]),
    )
    close = (1.0 + returns.fillna(0.0)).cumprod() * 10.0
    high = close * (1.0 + np.abs(rng.normal(0, 0.01, close.shape)))
    low = close * (1.0 - np.abs(rng.normal(0, 0.01, close.shape)))
    bars = {"open": (high + low) / 2, "high": high, "low": low, "close": close}

    def get_factor(
        order_book_ids, factor_name, start_date=None, end_date=None, universe=None, expect_df=True
    ):
        return long_cap

    def get_price_panel(order_book_ids, start_date=None, end_date=None, fields=("close",)):
        lo, hi = pd.Timestamp(start_date), pd.Timestamp(end_date)
        return {f: bars[f].loc[lo:hi, list(order_book_ids)] for f in fields}

    arrays = {f: bars[f].to_numpy() for f in bars}

    def inconsistent_bars(order_book_ids, start_date=None, end_date=None):
        # the store's scan (one pass over the bars), done on the stand-in's
        # arrays (every instrument, all dates: the stand-in's request)
        o, h, l, c = (arrays[f] for f in ("open", "high", "low", "close"))
        bad = (
            (h < l)
            | (c > h)
            | (c < l)
            | (o > h)
            | (o < l)
            | (np.fmin(np.fmin(o, h), np.fmin(l, c)) <= 0)
        )
        t, j = np.nonzero(bad)
        return pd.DataFrame(
            {
                "order_book_id": np.asarray(order_book_ids, dtype=object)[j],
                "date": bars["close"].index[t],
                "open": o[t, j],
                "high": h[t, j],
                "low": l[t, j],
                "close": c[t, j],
            }
        )

    market.inconsistent_bars = inconsistent_bars
    market.get_factor = get_factor
    market.get_factor_names = lambda: ["market_cap"]
    market.get_price_panel = get_price_panel
    market.get_latest_trading_date = lambda: returns.index[-1]
    market.get_trading_dates = lambda start, end: returns.index[
        (returns.index >= pd.Timestamp(start)) & (returns.index <= pd.Timestamp(end))
    ]
    return market


def install(market):
    import mivada
    import mivada.api
    from tarnfold import industry

    bw.install_market(market)
    for name in (
        "get_factor",
        "get_factor_names",
        "get_price_panel",
        "get_latest_trading_date",
        "get_trading_dates",
    ):
        setattr(mivada, name, getattr(market, name))
    import mivada.api.bar_checks

    mivada.api.bar_checks.inconsistent_bars = market.inconsistent_bars
    # the industry kernel's records and a store the checks may ask
    industry.client = market.client
    industry.store_token = lambda: "stand-in"
    mivada.api.store_token = lambda: "stand-in"


def old_summaries(results):
    """The summary tables and headline figures the bench's results had
    before the evidence (each result's headline computed its summary
    table again)."""
    from tarnfold.analysis import statistics as st

    tables = {}
    for name, r in results.items():
        for _ in ("summary", "headline"):
            if name == "ic":
                tables[name] = st.ic_summary(r.ic, r.ic_p_value)
                if _ == "summary":
                    st.decay_summary(r.ic_decay, r.ic, r.ic_p_value)
                    st.industry_summary(r.ic_industry_distribute)
            elif name == "quantile":
                tables[name] = st.quantile_summary(
                    r.quantile_returns,
                    r.quantile_turnover,
                    r.quantile_detail,
                    r.top_minus_bottom_returns,
                    r.benchmark_return,
                )
            elif name == "factor_return":
                tables[name] = st.factor_return_summary(r.factor_returns)
    return tables


def _timed(timer, owner, name):
    """Wrap ``owner.name`` to add its wall time to ``timer[0]``."""
    inner = getattr(owner, name)

    def timed(*args, **kwargs):
        t0 = time.perf_counter()
        try:
            return inner(*args, **kwargs)
        finally:
            timer[0] += time.perf_counter() - t0

    setattr(owner, name, timed)


def run_side(side, n_dates, n_inst, repeat):
    warnings.simplefilter("ignore")
    from tarnfold import evidence as ev
    from tarnfold.workflow import assay, bench_steps

    # within one run: the time the evidence's own steps take
    own = [0.0]
    if side == "evidence":
        _timed(own, ev, "check_data")
        for cls in (ev.FamaMacBethAnalysis, ev.GroupViewAnalysis, ev.EventStudyAnalysis):
            _timed(own, cls, "analysis")
    factor, returns, industry = bw.make_inputs(n_dates, n_inst)
    market = add_evidence_data(bw.make_market(factor, returns, industry), factor, returns)
    install(market)
    evidence = side == "evidence"
    steps = bench_steps(
        preprocess=("winsorize", "normalize", "neutralize"),
        industry="citics_2019",
        max_decay=bw.MAX_DECAY,
        quantile=bw.QUANTILE,
        benchmark=bw.BENCHMARK,
        **({} if evidence else {"analysers": OLD_ANALYSERS}),
    )
    times, cpu, parts, shares = [], [], {}, []
    for _ in range(repeat):
        own[0] = 0.0
        c0 = time.process_time()
        t0 = time.perf_counter()
        results = assay(factor, returns, periods=bw.PERIODS, steps=steps, health=evidence)
        t1 = time.perf_counter()
        if evidence:
            tables = {name: r.summary() for name, r in results.items()}
            for r in results.values():
                r.headline(bw.PERIODS)
        else:
            tables = old_summaries(results)
        times.append(time.perf_counter() - t0)
        cpu.append(time.process_time() - c0)
        parts = {"assay": t1 - t0, "summaries": times[-1] - (t1 - t0)}
        if evidence:
            # the summaries the bench's results had before, timed right after
            t2 = time.perf_counter()
            old_summaries({k: v for k, v in results.items() if k in OLD_ANALYSERS})
            old = time.perf_counter() - t2
            added = own[0] + parts["summaries"] - old
            shares.append(added / (times[-1] - added))
    print(
        json.dumps(
            {
                "times": times,
                "cpu": cpu,
                "parts": parts,
                "shares": shares,
                "steps": list(results.steps),
                "tables": sum(len(t) for t in tables.values()),
            }
        )
    )


def measure(side, n_dates, n_inst, repeat):
    return _harness.side_in_subprocess(
        __file__, side, dates=n_dates, instruments=n_inst, repeat=repeat
    )


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dates", type=int, default=1500)
    parser.add_argument("--instruments", type=int, default=3000)
    parser.add_argument("--repeat", type=int, default=2)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--side", choices=["bench", "evidence"], help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.side:
        run_side(args.side, args.dates, args.instruments, args.repeat)
        return
    # the two sides take turns, so that a busy spell of a shared machine
    # falls on both
    runs = {"bench": [], "evidence": []}
    for _ in range(args.rounds):
        for side in runs:
            runs[side].append(measure(side, args.dates, args.instruments, args.repeat))
    print("{} instruments x {} dates, periods {}".format(args.instruments, args.dates, bw.PERIODS))
    best = {}
    for side, label in (("bench", "bench"), ("evidence", "with evidence")):
        wall = min(t for r in runs[side] for t in r["times"])
        cpu = min(t for r in runs[side] for t in r["cpu"])
        best[side] = (wall, cpu)
        last = runs[side][-1]
        print(
            "{:<14} wall {:6.2f} s  cpu {:6.2f} s (best of {}; last run: assay {:.2f} s, "
            "summaries {:.2f} s); steps: {}".format(
                label,
                wall,
                cpu,
                args.rounds * args.repeat,
                last["parts"]["assay"],
                last["parts"]["summaries"],
                ", ".join(last["steps"]),
            )
        )
    for i, what in enumerate(("wall", "cpu")):
        ratio = best["evidence"][i] / best["bench"][i]
        print(
            "ratio ({}) {:.3f}: the evidence adds {:+.1%} (budget +25 %)".format(
                what, ratio, ratio - 1.0
            )
        )
    shares = sorted(x for r in runs["evidence"] for x in r["shares"])
    print(
        "within one run: the evidence's own steps and tables add {:+.1%} to the rest "
        "(median of {}; range {:+.1%} .. {:+.1%})".format(
            shares[len(shares) // 2], len(shares), shares[0], shares[-1]
        )
    )


if __name__ == "__main__":
    main()
