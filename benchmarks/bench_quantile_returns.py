"""Quantile return and factor return analyses, speed and memory: the compiled
QuantileReturnAnalysis / FactorReturnAnalysis against the plain pandas
formulation (tests/quantile_pandas_reference.py: apply_along_axis labels,
date x instrument x schedule tables, group-by per schedule and label, Python
sets for turnover).

    python benchmarks/bench_quantile_returns.py                     # full size (pandas ~1 min)
    python benchmarks/bench_quantile_returns.py --pandas-dates 300  # pandas on 300 dates, scaled

Each side runs in its own interpreter, on identically generated inputs;
peak memory is the growth of the resident set during the first run
(benchmarks/_harness.py).  Wall and CPU times are printed: on a loaded
machine the CPU times are the steadier comparison.
--pandas-dates N runs the pandas side on the first N dates and scales its
time linearly (the output says so); quote full runs.
"""

import argparse
import json
import os
import sys
import time
import warnings

import _harness

HERE = os.path.dirname(os.path.abspath(__file__))
PERIODS = (1, 5, 20)
QUANTILE = 5


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
    return factor, returns


def run_side(side, analyser, n_dates, n_inst, repeat):
    warnings.simplefilter("ignore")
    from tarnfold.analysis import assay_bench as ab  # noqa: F401  (imports outside the timing)

    sys.path.insert(0, HERE)
    sys.path.insert(0, os.path.join(HERE, "..", "tests"))
    import quantile_pandas_reference as ref

    factor, returns = make_inputs(n_dates, n_inst)
    if analyser == "quantile":
        if side == "compiled":

            def run():
                res = ab.QuantileReturnAnalysis(quantile=QUANTILE).analysis(
                    factor, returns, PERIODS, ascending=False
                )
                return res.quantile_returns.shape
        else:

            def run():
                return ref.quantile_return_analysis(
                    factor, returns, PERIODS, quantile=QUANTILE, ascending=False
                )[0].shape
    else:
        if side == "compiled":

            def run():
                return (
                    ab.FactorReturnAnalysis()
                    .analysis(factor, returns, PERIODS, ascending=False)
                    .factor_returns.shape
                )
        else:

            def run():
                return ref.factor_return_analysis(factor, returns, PERIODS, ascending=False).shape

    times = []

    def timed():
        t0 = time.perf_counter()
        c0 = time.process_time()
        shape = run()
        times.append((time.perf_counter() - t0, time.process_time() - c0))
        return shape

    # Peak: growth of the resident set over its size just before the first
    # run (the high-water mark is reset first), so input generation does not
    # hide it.
    _, peak_mib, shape = _harness.measure(timed, repeat=repeat)
    print(
        json.dumps(
            {
                "times": [t for t, _ in times],
                "cpu": [c for _, c in times],
                "peak_mib": peak_mib,
                "shape": list(shape),
            }
        )
    )


def measure(side, analyser, n_dates, n_inst, repeat):
    return _harness.side_in_subprocess(
        __file__, side, analyser=analyser, dates=n_dates, instruments=n_inst, repeat=repeat
    )


def compare(analyser, label, n_dates, n_inst, p_dates, repeat):
    print("%s, periods=%s, %d instruments x %d dates" % (label, PERIODS, n_inst, n_dates))
    ours = measure("compiled", analyser, n_dates, n_inst, repeat)
    theirs = measure("pandas", analyser, p_dates, n_inst, 1)
    t_ours = min(ours["times"])
    t_theirs = theirs["times"][0] * n_dates / p_dates
    print(
        "  compiled : %8.2f s  (best of %d: %s; CPU %s s)"
        % (
            t_ours,
            len(ours["times"]),
            ", ".join("%.2f" % t for t in ours["times"]),
            ", ".join("%.2f" % t for t in ours["cpu"]),
        )
    )
    if p_dates == n_dates:
        print(
            "  pandas   : %8.2f s  (all %d dates; CPU %.2f s)"
            % (t_theirs, n_dates, theirs["cpu"][0])
        )
    else:
        print(
            "  pandas   : %8.2f s  (estimate: %.2f s measured on the first %d dates, "
            "scaled linearly to %d)" % (t_theirs, theirs["times"][0], p_dates, n_dates)
        )
    print(
        "  speed-up : %8.1f x  (CPU time: %.1f x)"
        % (t_theirs / t_ours, theirs["cpu"][0] * n_dates / p_dates / min(ours["cpu"]))
    )
    print(
        "  peak     : compiled +%.0f MiB, pandas +%.0f MiB over the inputs%s -> %.3f of it"
        % (
            ours["peak_mib"],
            theirs["peak_mib"],
            "" if p_dates == n_dates else " [pandas on the subset]",
            ours["peak_mib"] / max(theirs["peak_mib"], 1e-9),
        )
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
    parser.add_argument("--only", choices=["quantile", "factor"])
    parser.add_argument("--side", choices=["compiled", "pandas"], help=argparse.SUPPRESS)
    parser.add_argument("--analyser", choices=["quantile", "factor"], help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.side:
        run_side(args.side, args.analyser, args.dates, args.instruments, args.repeat)
        return
    p_dates = args.pandas_dates or args.dates
    if args.only in (None, "quantile"):
        compare(
            "quantile",
            "QuantileReturnAnalysis(quantile=%d)" % QUANTILE,
            args.dates,
            args.instruments,
            p_dates,
            args.repeat,
        )
    if args.only in (None, "factor"):
        compare(
            "factor", "FactorReturnAnalysis()", args.dates, args.instruments, p_dates, args.repeat
        )


if __name__ == "__main__":
    main()
