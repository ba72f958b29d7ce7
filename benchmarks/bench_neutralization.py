"""Neutralization on industries and every style factor against per-date statsmodels.

    python benchmarks/bench_neutralization.py [--instruments 3000] [--dates 1500]

The market-data client's operations are substituted by an in-memory market
(listings, a citics_2019 industry history with reclassifications, and
exposures to every style factor of the sample store, with gaps) so that both
formulations read the same data at no cost.  Our module and the plain
formulation -- the exposure table built with pandas (reorder, dummies,
concat, reindex) and one statsmodels OLS per date through a row-wise apply
-- run in this process; the script checks that they agree and prints times,
peak memory and the speed-up.
"""

import argparse
import os
import sys
import types

import numpy as np
import pandas as pd
from statsmodels.api import OLS

sys.path.insert(0, os.path.dirname(__file__))
from _harness import measure, report  # noqa: E402

from mivada.sample import CITICS_INDUSTRIES, STYLE_FACTORS  # noqa: E402
from tarnfold.analysis import assay_bench as ab  # noqa: E402


def make_market(n_inst, n_dates, seed=11):
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2016-01-04", periods=n_dates)
    ids = [f"{600000 + k:06d}.XSHG" for k in range(n_inst)]
    # A tenth of the instruments list during the period; a few delist.
    listed = np.full(n_inst, "2010-01-04", dtype=object)
    late = rng.random(n_inst) < 0.1
    listed[late] = dates[rng.integers(n_dates // 2, size=late.sum())].strftime("%Y-%m-%d")
    delisted = np.full(n_inst, "0000-00-00", dtype=object)
    gone = rng.random(n_inst) < 0.02
    delisted[gone] = dates[rng.integers(n_dates // 2, n_dates, size=gone.sum())].strftime(
        "%Y-%m-%d"
    )
    listing = pd.DataFrame(
        {"order_book_id": ids, "listed_date": listed, "de_listed_date": delisted}
    )

    # Industry history: one record per instrument, a fifth reclassified once.
    records = []
    for k, oid in enumerate(ids):
        records.append(
            (
                CITICS_INDUSTRIES[rng.integers(len(CITICS_INDUSTRIES))],
                oid,
                pd.Timestamp("2009-01-05"),
            )
        )
        if rng.random() < 0.2:
            records.append(
                (
                    CITICS_INDUSTRIES[rng.integers(len(CITICS_INDUSTRIES))],
                    oid,
                    dates[rng.integers(n_dates)],
                )
            )

    # Style exposures for every instrument and day, about 1 % missing.
    index = pd.MultiIndex.from_product([ids, dates], names=["order_book_id", "date"])
    styles = pd.DataFrame(
        {name: rng.standard_normal(len(index)) for name in STYLE_FACTORS}, index=index
    )
    for name in STYLE_FACTORS:
        styles.loc[rng.random(len(index)) < 0.01, name] = np.nan

    def get_style_factor_exposure(order_book_ids, start_date, end_date, factors=None):
        return styles if factors is None else styles[list(factors)]

    client = types.SimpleNamespace(execute=lambda name: list(records))
    market = types.SimpleNamespace(
        client=types.SimpleNamespace(get_client=lambda: client),
        all_instruments=lambda kind: listing.copy(),
        get_style_factor_exposure=get_style_factor_exposure,
    )
    factor = pd.DataFrame(rng.standard_normal((n_dates, n_inst)), index=dates, columns=ids)
    factor = factor.mask(rng.random(factor.shape) < 0.05)
    factor.iloc[3] = np.nan  # a date without values
    factor.index.name, factor.columns.name = "datetime", "order_book_id"
    return market, factor


def statsmodels_neutralize(factor_data, industry="citics_2019"):
    """The plain formulation: one exposure table, one OLS per date."""
    dates = factor_data.index.tolist()
    order_book_ids = factor_data.columns.tolist()
    exog = ab.mivada.get_style_factor_exposure(
        order_book_ids=order_book_ids, start_date=dates[0], end_date=dates[-1], factors=None
    )
    exog = exog.reorder_levels(["date", "order_book_id"])
    industry_data = ab._load_industry_data(order_book_ids, dates, source=industry)
    exog = pd.concat([exog, pd.get_dummies(industry_data, dtype=float)], axis=1)
    index = pd.MultiIndex.from_product([dates, order_book_ids], names=["datetime", "order_book_id"])
    exog = exog.reindex(index)

    def _neutralize(x):
        if x.isna().all():
            return x
        return OLS(x, exog=exog.loc[x.name], hasconst=False, missing="drop").fit().resid

    return factor_data.apply(_neutralize, axis=1)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--instruments", type=int, default=3000)
    parser.add_argument("--dates", type=int, default=1500)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    market, factor = make_market(args.instruments, args.dates)
    ab.mivada = market
    ab._cache_industry_data.cache_clear()
    ab._cache_industry_data(source="citics_2019")  # the hour-long cache, warm for both
    print(
        f"{args.instruments} instruments x {args.dates} dates, {len(STYLE_FACTORS)} style "
        f"factors + {len(CITICS_INDUSTRIES)} industries, pandas {pd.__version__}"
    )

    step = ab.Neutralization(industry="citics_2019", style_factors="all")
    ours = measure(lambda: step.process(factor), repeat=args.repeat)
    theirs = measure(lambda: statsmodels_neutralize(factor), repeat=1)
    worst = np.nanmax(np.abs(ours[2].to_numpy() - theirs[2].to_numpy()))
    pd.testing.assert_frame_equal(ours[2], theirs[2], check_exact=False, rtol=0, atol=1e-8)
    print(f"largest difference from statsmodels: {worst:.2e}")
    report("Neutralization (industry + styles)", ours, theirs)


if __name__ == "__main__":
    main()
