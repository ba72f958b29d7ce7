"""End-to-end factor test on the embedded sample market.

    python -m tarnfold.demo [--sample default] [--factor value_score] [--years 2]

Opens (and on first use generates) the sample store, loads a published
factor for every stock, and runs a bench of winsorization, normalization and
IC analysis against daily returns loaded through the client.
"""
import argparse
import time

import numpy as np
import pandas as pd

import mivada
from tarnfold.analysis.assay_bench import (
    FactorAssayBench, ICAnalysis, Normalization, Winzorization,
)


def load_factor(name, years):
    end = mivada.get_latest_trading_date()
    # leave room for the longest holding period after the last factor date
    end = mivada.get_previous_trading_date(end, 25)
    start = mivada.trading_date_offset(end, -int(round(244 * years)))
    ids = mivada.all_instruments("CS")["order_book_id"].tolist()
    long = mivada.get_factor(ids, name, start, end)
    if long is None:
        raise SystemExit("no values of factor {!r} in the store".format(name))
    return long[name].unstack(level="order_book_id")


def summarise_ic(ic):
    rows = {}
    for field in ic.columns:
        s = ic[field].dropna()
        mean, std = s.mean(), s.std()
        rows[field] = {
            "mean IC": mean,
            "IC std": std,
            "IR": mean / std if std else np.nan,
            "t-stat": mean / std * np.sqrt(len(s)) if std else np.nan,
            "IC > 0": (s > 0).mean(),
            "dates": len(s),
        }
    return pd.DataFrame(rows).T


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sample", default="default",
                        help="sample store size: tiny, small, default, bench or large")
    parser.add_argument("--factor", default="value_score")
    parser.add_argument("--years", type=float, default=2.0)
    parser.add_argument("--periods", default="1,5,20")
    args = parser.parse_args(argv)
    periods = tuple(int(p) for p in args.periods.split(","))

    t0 = time.perf_counter()
    print("opening the {} sample store (generated on first use) ...".format(args.sample))
    mivada.init(sample=args.sample)
    factor = load_factor(args.factor, args.years)
    print("factor {!r}: {} dates x {} stocks, {:.1f} s".format(
        args.factor, factor.shape[0], factor.shape[1], time.perf_counter() - t0))

    bench = FactorAssayBench()
    bench.append(("winsorize", Winzorization(method="mad")))
    bench.append(("normalize", Normalization()))
    bench.append(("ic", ICAnalysis(rank_ic=True, industry_classification="citics_2019",
                                   max_decay=10)))
    t1 = time.perf_counter()
    result = bench.analysis(factor, "daily", ascending=False, periods=periods)
    print("bench ran in {:.2f} s".format(time.perf_counter() - t1))

    ic = result["ic"]
    with pd.option_context("display.float_format", "{:.4f}".format, "display.width", 120):
        print("\nRank IC by holding period")
        print(summarise_ic(ic.ic))
        if ic.ic_decay is not None:
            print("\nMean rank IC by lag")
            print(ic.ic_decay.groupby(level="decay").mean())
        if ic.ic_industry_distribute is not None:
            print("\nPooled rank IC by industry (first period)")
            first = ic.ic_industry_distribute.iloc[:, 0].sort_values(ascending=False)
            print(first.to_string())
    return result


if __name__ == "__main__":
    main()
