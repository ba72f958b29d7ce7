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
