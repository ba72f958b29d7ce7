"""Small helpers of the market-data client."""
import datetime

import pandas as pd


def to_date_str(date):
    """Return ``date`` as YYYY-MM-DD text."""
    if isinstance(date, str):
        return pd.Timestamp(date).strftime("%Y-%m-%d")
    if isinstance(date, (datetime.date, pd.Timestamp)):
        return date.strftime("%Y-%m-%d")
    return pd.Timestamp(date).strftime("%Y-%m-%d")
