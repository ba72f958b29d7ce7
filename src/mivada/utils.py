"""Small helpers of the market-data client."""
import datetime

import numpy as np
import pandas as pd


def date_from_int(value):
    """An integer date in YYYYMMDD form (20230801) as a ``pd.Timestamp``;
    ValueError for any other integer."""
    n = int(value)
    text = str(n)
    if len(text) != 8 or n < 0:
        raise ValueError("cannot read the integer {} as a date; give dates "
                         "as YYYYMMDD (20230801) or text".format(n))
    try:
        return pd.Timestamp(datetime.date(int(text[:4]), int(text[4:6]),
                                          int(text[6:])))
    except ValueError:
        raise ValueError("cannot read the integer {} as a YYYYMMDD date"
                         .format(n)) from None


def to_date_str(date):
    """Return ``date`` as YYYY-MM-DD text.  An integer is read as YYYYMMDD;
    any other integer is refused."""
    if isinstance(date, str):
        return pd.Timestamp(date).strftime("%Y-%m-%d")
    if isinstance(date, (datetime.date, pd.Timestamp)):
        return date.strftime("%Y-%m-%d")
    if isinstance(date, (bool, np.bool_)):
        raise ValueError("cannot read {!r} as a date".format(date))
    if isinstance(date, (int, np.integer)):
        return date_from_int(date).strftime("%Y-%m-%d")
    return pd.Timestamp(date).strftime("%Y-%m-%d")
