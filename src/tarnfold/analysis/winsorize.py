"""Outlier clipping methods for the ``Winzorization`` preprocessor.

Each method takes one date's cross-section (a float series indexed by
``order_book_id``, NaN where missing) and returns a series over the same
labels with the values clipped into bounds derived from that cross-section:

``mad``
    median +- 3 x 1.4826 x MAD, where MAD is the median absolute deviation
    from the median (1.4826 x MAD estimates the standard deviation of normal
    data, so the bounds sit about three standard deviations out while staying
    robust to the outliers themselves).
``std``
    mean +- 3 sample standard deviations (ddof=1).
``percentile``
    the 1st and 99th percentiles, linearly interpolated.

NaN stays NaN and takes no part in the bounds.  A bound that cannot be
computed (too few values) leaves that side unclipped.

The functions below are the reference definitions: the bench recognises them
by their ``clip_rule`` attribute and clips whole tables in C++ with exactly
these rules.  Any other callable put into ``WINSORIZE_METHODS`` is applied
row by row.
"""

MAD_SCALE = 1.4826
MAD_WIDTH = 3.0
STD_WIDTH = 3.0
LOWER_QUANTILE = 0.01
UPPER_QUANTILE = 0.99


def winsorize_mad(series):
    """Clip to median +- 3 x 1.4826 x median absolute deviation."""
    median = series.median()
    mad = (series - median).abs().median()
    width = MAD_WIDTH * MAD_SCALE * mad
    return series.clip(median - width, median + width)


def winsorize_std(series):
    """Clip to mean +- 3 sample standard deviations."""
    mean = series.mean()
    std = series.std()
    return series.clip(mean - STD_WIDTH * std, mean + STD_WIDTH * std)


def winsorize_percentile(series):
    """Clip to the 1st and 99th percentiles."""
    return series.clip(series.quantile(LOWER_QUANTILE), series.quantile(UPPER_QUANTILE))


winsorize_mad.clip_rule = "mad"
winsorize_std.clip_rule = "std"
winsorize_percentile.clip_rule = "percentile"

WINSORIZE_METHODS = {
    "mad": winsorize_mad,
    "std": winsorize_std,
    "percentile": winsorize_percentile,
}

__all__ = ["WINSORIZE_METHODS", "winsorize_mad", "winsorize_std", "winsorize_percentile"]
