"""The whole bench of the demo, as ``tarnfold.assay`` runs it: winsorize
(mad), normalize, rank IC with 10 decay lags and a 30-industry breakdown,
periods 1, 5, 20, then the data-loss account, the factor's rank
autocorrelation and every summary table.  Steps the installed module does
not have yet are skipped (the output lists the steps that ran).

    python benchmarks/bench_workflow.py                 # 5000 x 2500 ours, 1000 x 500 both
    python benchmarks/bench_workflow.py --large 0       # only the comparison

Two runs: ours alone at A-share scale (5000 instruments x 2500 dates;
target under 20 s and 4 GB peak), and ours against the plain pandas/scipy
formulation of the same steps at 1000 x 500.  Each run is a fresh
interpreter so its peak resident memory (ru_maxrss) is its own; "inputs"
is the resident size after the tables were generated.
"""
import argparse
import json
import os
import resource
import subprocess
import sys
import time
import warnings

HERE = os.path.dirname(os.path.abspath(__file__))
PERIODS = (1, 5, 20)
MAX_DECAY = 10
N_INDUSTRIES = 30


def make_inputs(n_dates, n_inst, seed=20261209):
    import numpy as np
    import pandas as pd

    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2014-01-02", periods=n_dates + max(PERIODS))
    ids = ["%06d.%s" % (i, "XSHE" if i % 2 else "XSHG") for i in range(n_inst)]
    returns = pd.DataFrame(rng.normal(0.0003, 0.02, size=(len(dates), n_inst)),
                           index=dates, columns=ids)
    returns = returns.mask(rng.random(returns.shape) < 0.02)
    signal = returns.shift(-1).fillna(0.0).values[:n_dates] * 0.3
    factor = pd.DataFrame(signal + rng.normal(size=(n_dates, n_inst)),
                          index=dates[:n_dates], columns=ids)
    factor = factor.mask(rng.random(factor.shape) < 0.05)
    industry = {oid: "industry_%02d" % (k % N_INDUSTRIES) for k, oid in enumerate(ids)}
    return factor, returns, industry


def run_ours(factor, returns, industry):
    from tarnfold.workflow import assay, bench_steps
    steps = bench_steps(preprocess=("winsorize", "normalize"), industry=industry,
                        max_decay=MAX_DECAY, benchmark=None)
    results = assay(factor, returns, periods=PERIODS, steps=steps)
    tables = {name: r.summary() for name, r in results.items()}
    return sorted(results), sorted(results.skipped), tables


def run_pandas(factor, returns, industry):
    import numpy as np
    import pandas as pd
    from tarnfold.analysis.winsorize import WINSORIZE_METHODS

    sys.path.insert(0, os.path.join(HERE, "..", "tests"))
    import ic_pandas_reference as ref

    f = factor.apply(WINSORIZE_METHODS["mad"], axis=1)
    f = f.sub(f.mean(axis=1), axis=0).div(f.std(axis=1), axis=0)
    f = f.where(lambda x: ~np.isinf(x), 0)
    ic, p, decay, ind = ref.ic_analysis(f, returns, PERIODS, rank_ic=True, industry=industry,
                                        max_decay=MAX_DECAY, ascending=False)
    # data loss: NaN factor, no forward return, used
    fmt = ref.format_factor_data(f, returns, PERIODS)
    has_f = fmt["factor"].notna()
    loss = {c: {"nan": int((~has_f).sum()), "no_fwd": int((has_f & fmt[c].isna()).sum())}
            for c in ref.return_fields(fmt.columns)}
    # summaries: measured dates only, plain t and Newey-West t
    measured = ~(((ic == 0) & (p == 0)) | ic.isna())
    summary = {}
    for c in ic.columns:
        s = ic[c][measured[c]]
        e = s - s.mean()
        lags = int(c.split("_")[1]) - 1
        lrv = (e * e).mean() + sum(2 * (1 - k / (lags + 1)) * (e.values[k:] * e.values[:-k]).mean()
                                   * (len(s) - k) / len(s) for k in range(1, lags + 1))
        summary[c] = (s.mean(), s.std(), s.mean() / s.std() * np.sqrt(len(s)),
                      s.mean() / np.sqrt(lrv / len(s)))
    decay_mean = decay.groupby(level="decay").mean()
    # rank autocorrelation per period
    ranks = f.rank(axis=1)
    autocorr = {p: ranks.corrwith(ranks.shift(p), axis=1).mean() for p in PERIODS}
    return ic.shape, decay_mean.shape, ind.shape, loss, summary, autocorr


def run_side(side, n_dates, n_inst, repeat):
    warnings.simplefilter("ignore")
    from tarnfold.analysis import assay_bench as ab  # noqa: F401  (imports outside the timing)
    import tarnfold.analysis.statistics  # noqa: F401

    factor, returns, industry = make_inputs(n_dates, n_inst)
    base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    times, info = [], None
    for _ in range(repeat):
        t0 = time.perf_counter()
        out = run_ours(factor, returns, industry) if side == "ours" \
            else run_pandas(factor, returns, industry)
        times.append(time.perf_counter() - t0)
        if side == "ours":
            info = {"steps": out[0], "skipped": out[1]}
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(json.dumps({"times": times, "peak_kib": peak, "base_kib": base, "info": info}))


def measure(side, n_dates, n_inst, repeat):
    out = subprocess.run([sys.executable, os.path.abspath(__file__), "--side", side,
                          "--dates", str(n_dates), "--instruments", str(n_inst),
                          "--repeat", str(repeat)],
                         check=True, capture_output=True, text=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def _line(label, res):
    mib = lambda kib: kib / 1024.0
    return "{:<8} {:8.2f} s (best of {})  peak RSS {:6.0f} MiB (inputs {:.0f} MiB, +{:.0f})".format(
        label, min(res["times"]), len(res["times"]), mib(res["peak_kib"]),
        mib(res["base_kib"]), mib(res["peak_kib"] - res["base_kib"]))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--large", type=int, default=1, help="run the 5000 x 2500 case (1/0)")
    parser.add_argument("--repeat", type=int, default=2)
    parser.add_argument("--dates", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--instruments", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--side", choices=["ours", "pandas"], help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.side:
        run_side(args.side, args.dates, args.instruments, args.repeat)
        return
    print("bench: winsorize(mad), normalize, ICAnalysis(rank, decay %d, %d industries), "
          "periods %s, data-loss account, rank autocorrelation, summaries"
          % (MAX_DECAY, N_INDUSTRIES, PERIODS))
    if args.large:
        big = measure("ours", 2500, 5000, args.repeat)
        print("5000 instruments x 2500 dates (steps run: {}; not in this build: {})".format(
            ", ".join(big["info"]["steps"]), ", ".join(big["info"]["skipped"]) or "-"))
        print(_line("ours", big))
    ours = measure("ours", 500, 1000, args.repeat)
    theirs = measure("pandas", 500, 1000, 1)
    print("1000 instruments x 500 dates")
    print(_line("ours", ours))
    print(_line("pandas", theirs))
    print("speed-up {:8.1f} x".format(theirs["times"][0] / min(ours["times"])))


if __name__ == "__main__":
    main()
