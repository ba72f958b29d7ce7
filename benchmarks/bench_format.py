"""Formatting a factor and a returns table into the long frame: forward
returns as the product of the following returns (ours) against the pandas
formulation (a ratio of running products).

    python benchmarks/bench_format.py [n_dates n_inst]
"""

import os
import sys

import numpy as np
import pandas as pd

sys.path.insert(0, os.path.dirname(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))

from _harness import measure, report  # noqa: E402
from ic_pandas_reference import format_factor_data  # noqa: E402
from tarnfold.analysis import assay_bench as ab  # noqa: E402


def main(n_dates=2500, n_inst=3000):
    rng = np.random.default_rng(1)
    dates = pd.bdate_range("2014-01-02", periods=n_dates + 20)
    ids = ["{:06d}.XSHE".format(k) for k in range(n_inst)]
    returns = pd.DataFrame(rng.normal(0, 0.02, (len(dates), n_inst)), index=dates, columns=ids)
    returns = returns.mask(rng.random(returns.shape) < 0.05)
    factor = pd.DataFrame(rng.normal(size=(n_dates, n_inst)), index=dates[:n_dates], columns=ids)
    print("{} dates x {} instruments".format(n_dates, n_inst))
    for periods in ([1], [1, 5, 20]):
        ours = measure(lambda: ab._format_factor_data(factor, returns, periods))
        theirs = measure(lambda: format_factor_data(factor, returns, periods))
        report("format periods={}".format(periods), ours, theirs)


if __name__ == "__main__":
    main(*map(int, sys.argv[1:3]))
