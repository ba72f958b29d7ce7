"""IC analysis speed and memory: the compiled ICAnalysis against the plain
pandas/scipy formulation (group-by/apply with scipy per date, one
unstack/shift/stack per decay lag, group-by per industry).

    python benchmarks/bench_ic_analysis.py                     # both on the full table (~4 min)
    python benchmarks/bench_ic_analysis.py --pandas-dates 150  # pandas on 150 dates, scaled

Each side runs in its own interpreter so that its peak resident memory
(ru_maxrss) is its own; the inputs are generated identically in both.  The
pandas formulation takes minutes at full size; --pandas-dates N runs it on
the first N dates and scales its time linearly to the full table (the output
says so).  Fixed costs make that estimate run high (100 dates scaled to 1500
overstated the measured full run by about half), and the memory is then
that of the subset run, so quote full runs.
"""

import argparse
import json
import os
import resource
import sys
import time
import warnings

import _harness

HERE = os.path.dirname(os.path.abspath(__file__))
PERIODS = (1, 5, 20)
MAX_DECAY = 20
N_INDUSTRIES = 30


def make_inputs(n_dates, n_inst, seed=20240601):
    import numpy as np
    import pandas as pd

    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2015-01-05", periods=n_dates + max(PERIODS))
    ids = ["%06d.%s" % (i, "XSHE" if i % 2 else "XSHG") for i in range(n_inst)]
    returns = pd.DataFrame(
        rng.normal(0.0003, 0.02, size=(len(dates), n_inst)), index=dates, columns=ids
    )
    returns = returns.mask(rng.random(returns.shape) < 0.02)  # suspensions
    signal = returns.shift(-1).fillna(0.0).values[:n_dates] * 0.3
    factor = pd.DataFrame(
        signal + rng.normal(size=(n_dates, n_inst)), index=dates[:n_dates], columns=ids
    )
    factor = factor.mask(rng.random(factor.shape) < 0.05)  # missing factor values
    industry = {oid: "industry_%02d" % (k % N_INDUSTRIES) for k, oid in enumerate(ids)}
    return factor, returns, industry


def run_side(side, n_dates, n_inst, repeat):
    warnings.simplefilter("ignore")
    from tarnfold.analysis import assay_bench as ab  # noqa: F401  (imports outside the timing)

    sys.path.insert(0, os.path.join(HERE, "..", "tests"))
    import ic_pandas_reference as ref

    factor, returns, industry = make_inputs(n_dates, n_inst)
    base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        if side == "compiled":
            analyser = ab.ICAnalysis(
                rank_ic=True, industry_classification=industry, max_decay=MAX_DECAY
            )
            res = analyser.analysis(factor, returns, PERIODS, ascending=False)
            shapes = [res.ic.shape, res.ic_decay.shape, res.ic_industry_distribute.shape]
        else:
            ic, _, decay, ind = ref.ic_analysis(
                factor,
                returns,
                PERIODS,
                rank_ic=True,
                industry=industry,
                max_decay=MAX_DECAY,
                ascending=False,
            )
            shapes = [ic.shape, decay.shape, ind.shape]
        times.append(time.perf_counter() - t0)
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(
        json.dumps(
            {
                "times": times,
                "peak_kib": peak,
                "base_kib": base,
                "shapes": [list(s) for s in shapes],
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
    parser.add_argument(
        "--pandas-dates",
        type=int,
        default=0,
        help="dates for the pandas run, time scaled to --dates (0: all)",
    )
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--side", choices=["compiled", "pandas"], help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.side:
        run_side(args.side, args.dates, args.instruments, args.repeat)
        return

    n_dates, n_inst = args.dates, args.instruments
    p_dates = args.pandas_dates or n_dates
    print(
        "ICAnalysis(rank_ic=True, industry_classification=<dict of %d industries>, "
        "max_decay=%d), periods=%s, %d instruments x %d dates"
        % (N_INDUSTRIES, MAX_DECAY, PERIODS, n_inst, n_dates)
    )
    ours = measure("compiled", n_dates, n_inst, args.repeat)
    theirs = measure("pandas", p_dates, n_inst, 1)
    t_ours = min(ours["times"])
    t_theirs = theirs["times"][0] * n_dates / p_dates
    mib = lambda kib: kib / 1024.0
    print(
        "compiled : %8.2f s  (best of %d: %s)"
        % (t_ours, len(ours["times"]), ", ".join("%.2f" % t for t in ours["times"]))
    )
    if p_dates == n_dates:
        print("pandas   : %8.2f s  (all %d dates)" % (t_theirs, n_dates))
    else:
        print(
            "pandas   : %8.2f s  (estimate: %.2f s measured on the first %d dates, "
            "scaled linearly to %d)" % (t_theirs, theirs["times"][0], p_dates, n_dates)
        )
    print("speed-up : %8.1f x" % (t_theirs / t_ours))
    print(
        "peak RSS : compiled %.0f MiB (inputs %.0f MiB, +%.0f MiB for the analysis)"
        % (mib(ours["peak_kib"]), mib(ours["base_kib"]), mib(ours["peak_kib"] - ours["base_kib"]))
    )
    print(
        "peak RSS : pandas   %.0f MiB (inputs %.0f MiB, +%.0f MiB for the analysis)%s"
        % (
            mib(theirs["peak_kib"]),
            mib(theirs["base_kib"]),
            mib(theirs["peak_kib"] - theirs["base_kib"]),
            ""
            if p_dates == n_dates
            else "  [on %d dates only; run without --pandas-dates for the full-size figure]"
            % p_dates,
        )
    )


if __name__ == "__main__":
    main()
