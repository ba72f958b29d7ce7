"""Forward-return formatting, normalization and winsorization against plain pandas.

    python benchmarks/bench_preprocess.py [--instruments 3000] [--dates 1500]

Each computation runs through our module and through the plain pandas
formulation on the same data in this process; the script checks that the two
agree and prints times, peak memory and the speed-up.
"""

import argparse
import os
import sys

import numpy as np
import pandas as pd

sys.path.insert(0, os.path.dirname(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))
from _harness import measure, report  # noqa: E402
from ic_pandas_reference import format_factor_data as pandas_format  # noqa: E402

from tarnfold.analysis import assay_bench as ab  # noqa: E402
from tarnfold.analysis.winsorize import winsorize_mad  # noqa: E402


def make_data(n_inst, n_dates, seed=7):
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2015-01-05", periods=n_dates + 25)
    ids = [f"{600000 + k:06d}.XSHG" for k in range(n_inst)]
    returns = pd.DataFrame(rng.normal(0, 0.02, size=(len(dates), n_inst)), index=dates, columns=ids)
    returns = returns.mask(rng.random(returns.shape) < 0.03)
    factor = pd.DataFrame(
        rng.standard_t(4, size=(n_dates, n_inst)), index=dates[:n_dates], columns=ids
    )
    factor = factor.mask(rng.random(factor.shape) < 0.05)
    return factor, returns


def pandas_normalize(factor_data):
    return (
        factor_data.sub(factor_data.mean(axis=1), axis=0)
        .div(factor_data.std(axis=1), axis=0)
        .where(lambda x: ~np.isinf(x), 0)
    )


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--instruments", type=int, default=3000)
    parser.add_argument("--dates", type=int, default=1500)
    args = parser.parse_args()
    factor, returns = make_data(args.instruments, args.dates)
    print(f"{args.instruments} instruments x {args.dates} dates, pandas {pd.__version__}")

    periods = (1, 5, 20)
    ours = measure(lambda: ab._format_factor_data(factor, returns, periods))
    theirs = measure(lambda: pandas_format(factor, returns, periods))
    pd.testing.assert_frame_equal(ours[2], theirs[2], check_exact=False, rtol=1e-10)
    report("_format_factor_data (1, 5, 20)", ours, theirs)

    ours = measure(lambda: ab.Normalization().process(factor))
    theirs = measure(lambda: pandas_normalize(factor))
    pd.testing.assert_frame_equal(ours[2], theirs[2], check_exact=False, rtol=1e-10)
    report("Normalization", ours, theirs)

    ours = measure(lambda: ab.Winzorization("mad").process(factor))
    theirs = measure(lambda: factor.apply(winsorize_mad, axis=1), repeat=1)
    pd.testing.assert_frame_equal(ours[2], theirs[2], check_exact=False, rtol=1e-10)
    report("Winzorization('mad')", ours, theirs)


if __name__ == "__main__":
    main()
