"""The whole bench of the demo, as ``tarnfold.assay`` runs it: winsorize
(mad), normalize, neutralize (citics_2019 industries and 8 style
exposures), rank IC with 10 decay lags and the citics_2019 industry
breakdown, 5 quantile groups against an index benchmark, factor returns,
periods 1, 5, 20, then the data-loss account, the factor's rank
autocorrelation and every summary table (the output lists the steps that
ran).

The market data (listings, industry history with reclassifications, style
exposures, the index's closes) come from an in-memory stand-in of the
store, generated with the tables, so only the bench is timed.

    python benchmarks/bench_workflow.py                 # 5000 x 2500 ours, 1000 x 500 both
    python benchmarks/bench_workflow.py --large 0       # only the comparison
    python benchmarks/bench_workflow.py --max-decay 20  # IC decay over 20 lags

Two runs: ours alone at A-share scale (5000 instruments x 2500 dates;
target under 8 s and 3 GB peak), and ours against the plain pandas/scipy
formulation of the same steps at 1000 x 500.  Each run is a fresh
interpreter so its peak resident memory (ru_maxrss) is its own; "inputs"
is the resident size after the tables were generated.
"""

import argparse
import json
import os
import resource
import sys
import time
import types
import warnings

import _harness

HERE = os.path.dirname(os.path.abspath(__file__))
PERIODS = (1, 5, 20)
MAX_DECAY = 10
N_INDUSTRIES = 30
QUANTILE = 5
BENCHMARK = "000300.XSHG"


def make_inputs(n_dates, n_inst, seed=20261209):
    import numpy as np
    import pandas as pd

    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2014-01-02", periods=n_dates + max(PERIODS))
    ids = ["%06d.%s" % (i, "XSHE" if i % 2 else "XSHG") for i in range(n_inst)]
    returns = pd.DataFrame(
        rng.normal(0.0003, 0.02, size=(len(dates), n_inst)), index=dates, columns=ids
    )
    returns = returns.mask(rng.random(returns.shape) < 0.02)
    signal = returns.shift(-1).fillna(0.0).values[:n_dates] * 0.3
    factor = pd.DataFrame(
        signal + rng.normal(size=(n_dates, n_inst)), index=dates[:n_dates], columns=ids
    )
    factor = factor.mask(rng.random(factor.shape) < 0.05)
    industry = {oid: "industry_%02d" % (k % N_INDUSTRIES) for k, oid in enumerate(ids)}
    return factor, returns, industry


def make_market(factor, returns, industry, seed=7):
    """A stand-in of the store for the bench's reference data: every
    instrument listed (a few from mid-period), its industry from
    ``industry`` with a fifth reclassified once, 8 style exposures (about
    1 % missing) and the closes of one index."""
    import numpy as np
    import pandas as pd
    from mivada.sample import CITICS_INDUSTRIES, STYLE_FACTORS

    rng = np.random.default_rng(seed)
    dates, ids = factor.index, list(factor.columns)
    listed = np.full(len(ids), "2010-01-04", dtype=object)
    late = rng.random(len(ids)) < 0.05
    listed[late] = dates[rng.integers(len(dates) // 2, size=late.sum())].strftime("%Y-%m-%d")
    listing = pd.DataFrame(
        {"order_book_id": ids, "listed_date": listed, "de_listed_date": "0000-00-00", "type": "CS"}
    )
    names = {
        "industry_%02d" % k: CITICS_INDUSTRIES[k % len(CITICS_INDUSTRIES)]
        for k in range(N_INDUSTRIES)
    }
    records = [(names[industry[oid]], oid, pd.Timestamp("2009-01-05")) for oid in ids]
    for k in np.flatnonzero(rng.random(len(ids)) < 0.2):
        records.append(
            (
                CITICS_INDUSTRIES[rng.integers(len(CITICS_INDUSTRIES))],
                ids[k],
                dates[rng.integers(len(dates))],
            )
        )
    index = pd.MultiIndex.from_product([ids, dates], names=["order_book_id", "date"])
    styles = pd.DataFrame(
        {name: rng.standard_normal(len(index)).astype(np.float64) for name in STYLE_FACTORS},
        index=index,
    )
    for name in STYLE_FACTORS:
        styles.loc[rng.random(len(index)) < 0.01, name] = np.nan
    close = pd.Series(
        3000.0 * np.cumprod(1.0 + rng.normal(0.0003, 0.012, len(returns))), index=returns.index
    )

    def get_style_factor_exposure(order_book_ids, start_date, end_date, factors=None):
        return styles if factors is None else styles[list(factors)]

    def instruments(code):
        return types.SimpleNamespace(type="INDX", order_book_id=code) if code == BENCHMARK else None

    def get_price(
        code, start_date=None, end_date=None, frequency="1d", fields=None, expect_df=True
    ):
        s = close.loc[pd.Timestamp(start_date) : pd.Timestamp(end_date)]
        out = pd.DataFrame(
            {"close": s.to_numpy()},
            index=pd.MultiIndex.from_arrays(
                [[code] * len(s), s.index], names=["order_book_id", "date"]
            ),
        )
        return out

    client = types.SimpleNamespace(execute=lambda name: list(records))
    return types.SimpleNamespace(
        client=types.SimpleNamespace(get_client=lambda: client),
        all_instruments=lambda kind="CS": listing.copy(),
        get_style_factor_exposure=get_style_factor_exposure,
        instruments=instruments,
        get_price=get_price,
        close=close,
        styles=styles,
        records=records,
    )


def install_market(market):
    """Point the bench and the data-loss account at the stand-in."""
    import mivada
    from tarnfold.analysis import assay_bench as ab

    ab.mivada = market
    for name in ("all_instruments", "get_style_factor_exposure", "instruments", "get_price"):
        setattr(mivada, name, getattr(market, name))
    ab._cache_industry_data.cache_clear()


def run_ours(factor, returns, industry):
    from tarnfold.workflow import assay, bench_steps

    # the steps the pandas side formulates (what the evidence adds:
    # bench_evidence.py)
    steps = bench_steps(
        preprocess=("winsorize", "normalize", "neutralize"),
        industry="citics_2019",
        max_decay=MAX_DECAY,
        quantile=QUANTILE,
        benchmark=BENCHMARK,
        analysers=("ic", "quantile", "factor_return"),
    )
    results = assay(factor, returns, periods=PERIODS, steps=steps, health=False)
    tables = {name: r.summary() for name, r in results.items()}
    return list(results.steps), tables


def run_pandas(factor, returns, industry, market):
    import numpy as np
    import pandas as pd
    from statsmodels.api import OLS
    from tarnfold.analysis.winsorize import WINSORIZE_METHODS

    sys.path.insert(0, os.path.join(HERE, "..", "tests"))
    import ic_pandas_reference as ref
    import quantile_pandas_reference as qref

    f = factor.apply(WINSORIZE_METHODS["mad"], axis=1)
    f = f.sub(f.mean(axis=1), axis=0).div(f.std(axis=1), axis=0)
    f = f.where(lambda x: ~np.isinf(x), 0)
    # neutralize: one OLS per date on the style exposures and industry dummies in force
    records = pd.DataFrame(market.records, columns=["industry", "order_book_id", "start"])
    records = records.sort_values("start")
    exog = market.styles.reorder_levels(["date", "order_book_id"]).sort_index()
    resid = {}
    for date, row in f.iterrows():
        if row.isna().all():
            resid[date] = row
            continue
        inforce = records[records["start"] <= date].groupby("order_book_id")["industry"].last()
        dummies = pd.get_dummies(inforce.reindex(row.index), dtype=float)
        x = pd.concat([exog.loc[date].reindex(row.index), dummies], axis=1)
        resid[date] = (
            OLS(row, exog=x, hasconst=False, missing="drop").fit().resid.reindex(row.index)
        )
    f = pd.DataFrame(resid).T.reindex(index=f.index, columns=f.columns)
    ic, p, decay, ind = ref.ic_analysis(
        f, returns, PERIODS, rank_ic=True, industry=industry, max_decay=MAX_DECAY, ascending=False
    )
    # quantile groups against the index, factor returns
    qret = qref.quantile_return_analysis(f, returns, PERIODS, quantile=QUANTILE, ascending=False)[0]
    bench_ret = market.close.pct_change().reindex(f.index)
    excess = qret.sub(bench_ret.reindex(qret.index, level="datetime"), axis=0)
    fret = qref.factor_return_analysis(f, returns, PERIODS, ascending=False)
    # data loss: NaN factor, no forward return, used
    fmt = ref.format_factor_data(f, returns, PERIODS)
    has_f = fmt["factor"].notna()
    loss = {
        c: {"nan": int((~has_f).sum()), "no_fwd": int((has_f & fmt[c].isna()).sum())}
        for c in ref.return_fields(fmt.columns)
    }
    # summaries: measured dates only, plain t and Newey-West t
    measured = ~(((ic == 0) & (p == 0)) | ic.isna())
    summary = {}
    for c in ic.columns:
        s = ic[c][measured[c]]
        e = s - s.mean()
        lags = int(c.split("_")[1]) - 1
        lrv = (e * e).mean() + sum(
            2 * (1 - k / (lags + 1)) * (e.values[k:] * e.values[:-k]).mean() * (len(s) - k) / len(s)
            for k in range(1, lags + 1)
        )
        summary[c] = (
            s.mean(),
            s.std(),
            s.mean() / s.std() * np.sqrt(len(s)),
            s.mean() / np.sqrt(lrv / len(s)),
        )
    decay_mean = decay.groupby(level="decay").mean()
    # rank autocorrelation per period
    ranks = f.rank(axis=1)
    autocorr = {p: ranks.corrwith(ranks.shift(p), axis=1).mean() for p in PERIODS}
    return ic.shape, decay_mean.shape, ind.shape, loss, summary, autocorr, excess.shape, fret.shape


def run_side(side, n_dates, n_inst, repeat):
    warnings.simplefilter("ignore")
    from tarnfold.analysis import assay_bench as ab  # noqa: F401  (imports outside the timing)
    import tarnfold.analysis.statistics  # noqa: F401

    factor, returns, industry = make_inputs(n_dates, n_inst)
    market = make_market(factor, returns, industry)
    install_market(market)
    base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    times, info = [], None
    for _ in range(repeat):
        t0 = time.perf_counter()
        out = (
            run_ours(factor, returns, industry)
            if side == "ours"
            else run_pandas(factor, returns, industry, market)
        )
        times.append(time.perf_counter() - t0)
        if side == "ours":
            info = {"steps": out[0]}
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(json.dumps({"times": times, "peak_kib": peak, "base_kib": base, "info": info}))


def measure(side, n_dates, n_inst, repeat):
    return _harness.side_in_subprocess(
        __file__, side, dates=n_dates, instruments=n_inst, repeat=repeat, max_decay=MAX_DECAY
    )


def _line(label, res):
    mib = lambda kib: kib / 1024.0
    return "{:<8} {:8.2f} s (best of {})  peak RSS {:6.0f} MiB (inputs {:.0f} MiB, +{:.0f})".format(
        label,
        min(res["times"]),
        len(res["times"]),
        mib(res["peak_kib"]),
        mib(res["base_kib"]),
        mib(res["peak_kib"] - res["base_kib"]),
    )


def main():
    global MAX_DECAY
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--large", type=int, default=1, help="run the 5000 x 2500 case (1/0)")
    parser.add_argument("--repeat", type=int, default=2)
    parser.add_argument("--dates", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--instruments", type=int, help=argparse.SUPPRESS)
    parser.add_argument(
        "--max-decay",
        "--max_decay",
        type=int,
        default=MAX_DECAY,
        help="IC decay lags (default %(default)s)",
    )
    parser.add_argument("--side", choices=["ours", "pandas"], help=argparse.SUPPRESS)
    args = parser.parse_args()
    MAX_DECAY = args.max_decay
    if args.side:
        run_side(args.side, args.dates, args.instruments, args.repeat)
        return
    print(
        "bench: winsorize(mad), normalize, neutralize (industry + 8 styles), "
        "ICAnalysis(rank, decay %d, citics_2019 industries), QuantileReturnAnalysis(%d, "
        "benchmark), FactorReturnAnalysis, periods %s, data-loss account, rank "
        "autocorrelation, summaries" % (MAX_DECAY, QUANTILE, PERIODS)
    )
    if args.large:
        big = measure("ours", 2500, 5000, args.repeat)
        print(
            "5000 instruments x 2500 dates (steps run: {})".format(", ".join(big["info"]["steps"]))
        )
        print(_line("ours", big))
    ours = measure("ours", 500, 1000, args.repeat)
    theirs = measure("pandas", 500, 1000, 1)
    print("1000 instruments x 500 dates")
    print(_line("ours", ours))
    print(_line("pandas", theirs))
    print("speed-up {:8.1f} x".format(theirs["times"][0] / min(ours["times"])))


if __name__ == "__main__":
    main()
