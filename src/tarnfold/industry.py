"""Industry labels per date and instrument, for the grouped cross-sectional
operators.

``industry_codes(order_book_ids, dates, source)`` reads the store's
classification records (``source`` "citics_2019" or "sws") and gives each
(date, instrument) the industry of the latest record starting on or before
that date (for "sws", among records starting the same day, the highest
version wins).  Unclassified cells get -1.
"""
import numpy as np
import pandas as pd

import mivada

__all__ = ["INDUSTRY_SOURCES", "industry_codes"]

INDUSTRY_SOURCES = {
    "citics_2019": "__internal__zx2019_industry",
    "sws": "__internal__shenwan_industry",
}


def industry_codes(order_book_ids, dates, source="citics_2019"):
    """(int32 codes of shape (len(dates), len(order_book_ids)), industry
    names indexed by code)."""
    if source not in INDUSTRY_SOURCES:
        raise ValueError("source: unknown industry classification {!r}, expect "
                         "one of {}".format(source, sorted(INDUSTRY_SOURCES)))
    from mivada import client

    records = client.get_client().execute(INDUSTRY_SOURCES[source])
    ids = pd.Index(list(order_book_ids), dtype=object)
    dates = pd.DatetimeIndex(dates)
    codes = np.full((len(dates), len(ids)), -1, dtype=np.int32)
    if not records or not len(ids) or not len(dates):
        return codes, []
    table = pd.DataFrame.from_records(
        [tuple(r)[:4] for r in records],
        columns=["industry", "order_book_id", "start_date", "version"][:len(records[0])])
    if "version" not in table:
        table["version"] = 0
    table["col"] = ids.get_indexer(table["order_book_id"])
    table = table[table["col"] >= 0]
    table["start_date"] = pd.to_datetime(table["start_date"])
    table = table.sort_values(["col", "start_date", "version"], kind="stable")
    names, industry = pd.factorize(table["industry"])
    col = table["col"].to_numpy()
    start = table["start_date"].to_numpy(dtype="datetime64[ns]")
    day = dates.to_numpy(dtype="datetime64[ns]")
    bounds = np.flatnonzero(np.r_[True, col[1:] != col[:-1], True])
    for lo, hi in zip(bounds[:-1], bounds[1:]):
        pos = np.searchsorted(start[lo:hi], day, side="right") - 1
        ok = pos >= 0
        codes[ok, col[lo]] = names[lo:hi][pos[ok]]
    return codes, list(industry)
