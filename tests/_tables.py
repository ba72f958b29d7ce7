"""Random tables shared by the tests."""

import numpy as np
import pandas as pd


def random_table(rng, n_dates, n_inst, nan_frac=0.1, start="2021-01-04", ties=False):
    """A factor-like table with NaNs, optional ties, an all-NaN row and a constant row."""
    dates = pd.bdate_range(start, periods=n_dates)
    ids = [f"{k:06d}.XSHE" for k in range(1, n_inst + 1)]
    values = rng.normal(size=(n_dates, n_inst))
    if ties:
        values = np.round(values, 1)
    values[rng.random(values.shape) < nan_frac] = np.nan
    if n_dates > 3:
        values[1, :] = np.nan
        values[2, :] = 2.0
        values[2, 0] = np.nan
    return pd.DataFrame(values, index=dates, columns=ids)


def crowded_rows(rng, width):
    """Rows whose values crowd into small parts of a range spanning many
    binary exponents, so that distinct values share a sort key; the runs
    come long (a cluster) and short (a few close values), with ties inside."""
    spread = rng.choice([-1.0, 1.0], width) * 2.0 ** rng.integers(-500, 500, width)
    spread *= 1 + rng.random(width)
    cluster = spread.copy()
    cluster[: width // 2] = 1 + rng.random(width // 2) * 2.0**-12
    cluster[5:15] = cluster[4]
    few = spread.copy()
    few[:10] = 3 + np.arange(10) * 2.0**-40
    few[10:14] = few[3]
    zeros = np.where(rng.random(width) < 0.3, 0.0, rng.normal(size=width) * 1e-3)
    alike = np.full(width, 2.5)
    alike[7] = -1.0
    rows = np.stack([spread, cluster, few, zeros, alike])
    rows[rng.random(rows.shape) < 0.05] = np.nan
    return rows
