"""Every number behind alphalens-reloaded's full tear sheet against the bench
computing the same ones, on the same data: 3000 stocks x 1495 factor
dates, periods 1, 5 and 20, 5 quantiles.

    python benchmarks/bench_alphalens.py                     # 3000 x 1495
    python benchmarks/bench_alphalens.py --stocks 200 --days 300
    python benchmarks/bench_alphalens.py --peer /tmp/al-venv/bin/python

The data are synthetic: daily returns for every stock and day (20 days
beyond the last factor date, so every forward return exists) and a factor
with some predictive power, 5 % missing.  The peer gets the prices
compounded from those returns (its forward return over p days is then ours
to rounding) and the factor as its long series, both built before the
timing.

alphalens side (no drawing): get_clean_factor_and_forward_returns, then
what create_full_tear_sheet computes: the quantile statistics table;
factor-weighted long-short returns, mean return by quantile overall and by
date with standard errors, rates of return, alpha and beta, the top-bottom
spread, cumulative returns of the portfolio and of each quantile, the
returns table; IC per date, the information table, mean monthly IC;
quantile turnover for every quantile and period, factor rank
autocorrelation, the turnover table.

Our side: ``tarnfold.assay`` with no preprocessing (alphalens does none;
its 20-sigma filter on forward returns drops nothing here), rank IC,
quantile groups and factor returns, every summary table (turnover per
group among them), the monthly IC and the rank autocorrelation.

The peer runs from a throwaway virtualenv (--peer PYTHON; by default
one made in the cache folder on first use with ``pip install
alphalens-reloaded``, never in this environment).  Each side runs in its
own interpreter on the same data file; peak memory is the growth of the
resident set during the first run (benchmarks/_harness.py).  A few numbers
both define alike are compared and the largest differences printed.
Figures on a shared machine are for sanity only.
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import warnings

HERE = os.path.dirname(os.path.abspath(__file__))
PERIODS = (1, 5, 20)
QUANTILE = 5
PEER_PACKAGE = "alphalens-reloaded"


def make_data(path, stocks, days, seed=20261209):
    """Factor (days x stocks) and daily returns (days + max period rows),
    saved as one .npz file both sides read."""
    import numpy as np
    import pandas as pd

    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2015-01-05", periods=days + max(PERIODS))
    returns = rng.normal(0.0003, 0.02, size=(len(dates), stocks))
    factor = returns[1 : days + 1] * 0.3 + rng.normal(size=(days, stocks))
    factor[rng.random(factor.shape) < 0.05] = np.nan
    ids = np.array(["%06d.%s" % (i, "XSHE" if i % 2 else "XSHG") for i in range(stocks)])
    np.savez(
        path,
        factor=factor,
        returns=returns,
        ids=ids,
        dates=dates.values.astype("datetime64[ns]").astype("int64"),
    )


def load_data(path):
    import numpy as np
    import pandas as pd

    z = np.load(path)
    dates = pd.DatetimeIndex(z["dates"].astype("datetime64[ns]"))
    ids = pd.Index([str(x) for x in z["ids"]], dtype=object)
    returns = pd.DataFrame(z["returns"], index=dates, columns=ids)
    factor = pd.DataFrame(z["factor"], index=dates[: len(z["factor"])], columns=ids)
    return factor, returns


def _checks(ic_by_date, monthly, fret_daily):
    """The numbers compared between the sides, as plain lists."""
    return {
        "dates": [d.strftime("%Y-%m-%d") for d in ic_by_date.index],
        "ic": ic_by_date.to_numpy().tolist(),
        "months": [str(m) for m in monthly.index],
        "monthly_ic": monthly.to_numpy().tolist(),
        "fret_dates": [d.strftime("%Y-%m-%d") for d in fret_daily.index],
        "fret_1": fret_daily.to_numpy().tolist(),
    }


def run_ours(data, repeat):
    warnings.simplefilter("ignore")
    sys.path.insert(0, HERE)
    import _harness
    import pandas as pd
    from tarnfold.analysis import statistics as st
    from tarnfold.workflow import assay, bench_steps

    factor, returns = load_data(data)
    steps = bench_steps(
        preprocess=(),
        industry=None,
        max_decay=0,
        quantile=QUANTILE,
        benchmark=None,
        analysers=("ic", "quantile", "factor_return"),
    )

    def run():
        results = assay(factor, returns, periods=PERIODS, steps=steps, health=False, account=False)
        tables = {name: r.summary() for name, r in results.items()}
        ic = results["ic"]
        monthly = st.monthly_ic(ic.ic, ic.ic_p_value)
        autocorr = st.rank_autocorrelation(factor, PERIODS)
        return results, tables, monthly, autocorr

    best, peak, (results, _, monthly, _) = _harness.measure(run, repeat=repeat)
    ic = results["ic"].ic.astype(float)
    # the factor-weighted portfolio's daily return, dated by the factor's
    # date (alphalens's convention) rather than the day it is earned
    daily = st.daily_from_cumulative(results["factor_return"].factor_returns["P_1"])
    daily = pd.Series(daily.to_numpy()[1:], index=daily.index[:-1])
    print(
        json.dumps(dict(seconds=best, repeat=repeat, peak_mib=peak, **_checks(ic, monthly, daily)))
    )


PEER_SCRIPT = r"""
import json, sys, warnings
warnings.simplefilter("ignore")
sys.path.insert(0, sys.argv[2])
import numpy as np
import pandas as pd
import _harness
try:
    import alphalens
    from alphalens import performance as perf, plotting, utils
except ImportError as exc:
    print(json.dumps({"skipped": "alphalens does not import: {}".format(exc)}))
    sys.exit(0)
from scipy import stats

z = np.load(sys.argv[1])
periods, quantiles, repeat = (1, 5, 20), 5, int(sys.argv[3])
dates = pd.DatetimeIndex(z["dates"].astype("datetime64[ns]"))
ids = pd.Index([str(x) for x in z["ids"]], dtype=object)
prices = pd.DataFrame(np.cumprod(1.0 + z["returns"], axis=0), index=dates, columns=ids)
factor = pd.DataFrame(z["factor"], index=dates[:len(z["factor"])], columns=ids).stack()
factor.index.names = ["date", "asset"]


def tear_sheet():
    # what create_full_tear_sheet computes (long_short=True), without drawing
    fd = utils.get_clean_factor_and_forward_returns(factor, prices, quantiles=quantiles,
                                                    periods=periods)
    out = {"quantile_stats": plotting.plot_quantile_statistics_table(fd, return_df=True)}
    # returns
    fr = perf.factor_returns(fd, True, False)
    mq, mq_std = perf.mean_return_by_quantile(fd, by_group=False, demeaned=True,
                                              group_adjust=False)
    mq_rate = mq.apply(utils.rate_of_return, axis=0, base_period=mq.columns[0])
    mqd, mqd_std = perf.mean_return_by_quantile(fd, by_date=True, by_group=False,
                                                demeaned=True, group_adjust=False)
    mqd_rate = mqd.apply(utils.rate_of_return, axis=0, base_period=mqd.columns[0])
    mqd_std = mqd_std.apply(utils.std_conversion, axis=0, base_period=mqd_std.columns[0])
    alpha_beta = perf.factor_alpha_beta(fd, fr, True, False)
    spread, spread_std = perf.compute_mean_returns_spread(
        mqd_rate, fd["factor_quantile"].max(), fd["factor_quantile"].min(), std_err=mqd_std)
    out["returns_table"] = plotting.plot_returns_table(alpha_beta, mq_rate, spread,
                                                       return_df=True)
    out["cum_portfolio"] = perf.cumulative_returns(fr["1D"])
    out["cum_quantiles"] = mqd["1D"].unstack("factor_quantile").apply(perf.cumulative_returns)
    out["factor_returns"] = fr
    # information
    ic = perf.factor_information_coefficient(fd, False)
    out["ic"] = ic
    out["ic_table"] = plotting.plot_information_table(ic, return_df=True)
    out["monthly_ic"] = perf.mean_information_coefficient(
        fd, group_adjust=False, by_group=False, by_time=pd.offsets.MonthEnd())
    # turnover
    input_periods = utils.get_forward_returns_columns(
        fd.columns, require_exact_day_multiple=True).to_numpy()
    turnover_periods = utils.timedelta_strings_to_integers(input_periods)
    qf = fd["factor_quantile"]
    qt = {p: pd.concat([perf.quantile_turnover(qf, q, p)
                        for q in qf.sort_values().unique().tolist()], axis=1)
          for p in turnover_periods}
    autocorr = pd.concat([perf.factor_rank_autocorrelation(fd, p) for p in turnover_periods],
                         axis=1)
    out["turnover_tables"] = plotting.plot_turnover_table(autocorr, qt, return_df=True)
    return out


try:
    seconds, peak, out = _harness.measure(tear_sheet, repeat=repeat)
except Exception as exc:
    print(json.dumps({"skipped": "{}: {}".format(type(exc).__name__, exc)}))
    sys.exit(0)
ic = out["ic"]
monthly = out["monthly_ic"]
fret = out["factor_returns"]["1D"]
print(json.dumps({
    "seconds": seconds, "repeat": repeat, "peak_mib": peak, "version": alphalens.__version__,
    "dates": [d.strftime("%Y-%m-%d") for d in ic.index], "ic": ic.to_numpy().tolist(),
    "months": [d.strftime("%Y-%m") for d in monthly.index],
    "monthly_ic": monthly.to_numpy().tolist(),
    "fret_dates": [d.strftime("%Y-%m-%d") for d in fret.index],
    "fret_1": fret.to_numpy().tolist()}))
"""


def peer_python(given):
    """The interpreter of the peer's virtualenv: ``given``, or one in the
    cache folder, made and filled with the peer package on first use.
    Returns (python or None, why not)."""
    if given:
        return (given, None) if os.path.exists(given) else (None, "no such interpreter: " + given)
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    venv = os.path.join(base, "tarnfold-bench", "alphalens-venv")
    python = os.path.join(venv, "bin", "python")
    probe = [python, "-c", "import alphalens"]
    if os.path.exists(python) and subprocess.run(probe, capture_output=True).returncode == 0:
        return python, None
    print(
        "installing {} into a throwaway virtualenv at {} (once)".format(PEER_PACKAGE, venv),
        flush=True,
    )
    made = subprocess.run(
        [sys.executable, "-m", "venv", "--clear", venv], capture_output=True, text=True
    )
    if made.returncode != 0:
        return None, "could not make the virtualenv: " + _last_line(made.stderr)
    pip = subprocess.run(
        [python, "-m", "pip", "install", "-q", PEER_PACKAGE], capture_output=True, text=True
    )
    if pip.returncode != 0:
        return None, "pip install {} failed: {}".format(PEER_PACKAGE, _last_line(pip.stderr))
    return python, None


def _last_line(text):
    lines = [ln for ln in text.strip().splitlines() if not ln.startswith("WARNING")]
    return lines[-1] if lines else "?"


def run(cmd):
    out = subprocess.run(cmd, capture_output=True, text=True)
    lines = out.stdout.strip().splitlines()
    if out.returncode != 0 or not lines:
        return {"skipped": "it failed: " + _last_line(out.stderr)}
    return json.loads(lines[-1])


def largest_differences(ours, theirs):
    """Largest absolute differences of the numbers both sides define alike."""
    import numpy as np
    import pandas as pd

    def frame(side, dates, values):
        return pd.DataFrame(side[values], index=side[dates], dtype=float)

    ic_o, ic_t = frame(ours, "dates", "ic"), frame(theirs, "dates", "ic")
    common = ic_o.index.intersection(ic_t.index)
    m_o, m_t = frame(ours, "months", "monthly_ic"), frame(theirs, "months", "monthly_ic")
    months = m_o.index.intersection(m_t.index)
    return [
        (
            "mean IC per period",
            np.abs(ic_o.loc[common].mean().to_numpy() - ic_t.loc[common].mean().to_numpy()).max(),
            "{} dates".format(len(common)),
        ),
        (
            "rank IC per date and period",
            np.nanmax(np.abs(ic_o.loc[common].to_numpy() - ic_t.loc[common].to_numpy())),
            "{} dates x {} periods".format(len(common), ic_o.shape[1]),
        ),
        (
            "mean monthly IC",
            np.nanmax(np.abs(m_o.loc[months].to_numpy() - m_t.loc[months].to_numpy())),
            "{} months".format(len(months)),
        ),
    ]


def factor_return_difference(ours, theirs):
    """Largest difference of the factor-weighted portfolio's 1-day return
    per date.  Not defined alike where the factor is missing: alphalens
    leaves the instrument out of that date's weights, the bench keeps its
    weight from the last date it had one."""
    import numpy as np
    import pandas as pd

    f_o = pd.Series(ours["fret_1"], index=ours["fret_dates"], dtype=float)
    f_t = pd.Series(theirs["fret_1"], index=theirs["fret_dates"], dtype=float)
    fdates = f_o.index.intersection(f_t.index)
    return np.nanmax(np.abs(f_o.loc[fdates].to_numpy() - f_t.loc[fdates].to_numpy())), len(fdates)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--stocks", type=int, default=3000)
    parser.add_argument("--days", type=int, default=1495, help="factor dates")
    parser.add_argument("--repeat", type=int, default=3, help="runs of our side (best taken)")
    parser.add_argument(
        "--peer-repeat", type=int, default=1, help="runs of the peer's side (best taken)"
    )
    parser.add_argument(
        "--peer",
        help="python of a virtualenv holding alphalens-reloaded "
        "(default: one made in the cache folder)",
    )
    parser.add_argument("--side", choices=["ours"], help=argparse.SUPPRESS)
    parser.add_argument("--data", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.side:
        run_ours(args.data, args.repeat)
        return
    if args.stocks < 10 or args.days < 2 * max(PERIODS):
        parser.error("--stocks: at least 10, --days: at least {}".format(2 * max(PERIODS)))
    print(
        "full tear sheet's numbers, {} stocks x {} dates, quantiles={}, periods={}".format(
            args.stocks, args.days, QUANTILE, PERIODS
        ),
        flush=True,
    )
    python, why = peer_python(args.peer)
    with tempfile.TemporaryDirectory() as folder:
        data = os.path.join(folder, "data.npz")
        make_data(data, args.stocks, args.days)
        ours = run(
            [
                sys.executable,
                os.path.abspath(__file__),
                "--side",
                "ours",
                "--data",
                data,
                "--repeat",
                str(args.repeat),
            ]
        )
        if "skipped" in ours:
            sys.exit("our side " + ours["skipped"])
        theirs = {"skipped": why}
        if python:
            script = os.path.join(folder, "peer.py")
            with open(script, "w") as fh:
                fh.write(PEER_SCRIPT)
            theirs = run([python, script, data, HERE, str(args.peer_repeat)])
    print(
        "  tarnfold (assay + summaries)  : {:8.2f} s  (best of {})  peak +{:.0f} MiB".format(
            ours["seconds"], ours["repeat"], ours["peak_mib"]
        )
    )
    if "skipped" in theirs:
        print("  alphalens                     : skipped ({})".format(theirs["skipped"]))
        return
    print(
        "  alphalens {:<6} (tear sheet) : {:8.2f} s  (best of {})  peak +{:.0f} MiB".format(
            theirs["version"], theirs["seconds"], theirs["repeat"], theirs["peak_mib"]
        )
    )
    print("  speed-up                      : {:8.1f} x".format(theirs["seconds"] / ours["seconds"]))
    print("  largest differences where both define a number alike:")
    for label, diff, over in largest_differences(ours, theirs):
        print("    {:<30} {:.3g}  ({})".format(label, diff, over))
    diff, n = factor_return_difference(ours, theirs)
    print(
        "  and where the definitions part (a missing factor value: alphalens drops the\n"
        "  instrument from that date's weights, the bench keeps its last weight):"
    )
    print("    {:<30} {:.3g}  ({} dates)".format("factor-weighted 1-day return", diff, n))


if __name__ == "__main__":
    main()
