"""Industry labels per date and instrument, for the grouped cross-sectional
operators.

``industry_codes(order_book_ids, dates, source)`` reads the store's
classification records (``source`` "citics_2019" or "sws") and gives each
(date, instrument) the industry of the latest record starting on or before
that date (for "sws", among records starting the same day, the highest
version wins).  Unclassified cells get -1.

The last table made is kept (read-only) for the same store,
classification, instruments and dates: the group operators of a formula,
and consecutive formulas over one universe, ask for it again and again.
"""
import numpy as np
import pandas as pd

import mivada

__all__ = ["INDUSTRY_SOURCES", "industry_codes"]

INDUSTRY_SOURCES = {
    "citics_2019": "__internal__zx2019_industry",
    "sws": "__internal__shenwan_industry",
}


# the last answer, keyed by store, classification, instruments and dates:
# the group operators of one formula (and of consecutive formulas over the
# same universe) ask for the same table
_last = {}


def industry_codes(order_book_ids, dates, source="citics_2019"):
    """(int32 codes of shape (len(dates), len(order_book_ids)), industry
    names indexed by code).  The codes are read-only."""
    if source not in INDUSTRY_SOURCES:
        raise ValueError("source: unknown industry classification {!r}, expect "
                         "one of {}".format(source, sorted(INDUSTRY_SOURCES)))
    from mivada.api import store_token

    ids = pd.Index(list(order_book_ids), dtype=object)
    dates = pd.DatetimeIndex(dates)
    day = dates.to_numpy(dtype="datetime64[ns]")
    key = (store_token(), source, tuple(ids), day.tobytes())
    hit = _last.get("entry")
    if hit is not None and hit[0] == key:
        return hit[1], list(hit[2])
    codes, names = _industry_codes(ids, day, source)
    codes.flags.writeable = False
    _last["entry"] = (key, codes, names)
    return codes, list(names)


def _industry_codes(ids, day, source):
    from mivada import client

    records = client.get_client().execute(INDUSTRY_SOURCES[source])
    n, ndays = len(ids), len(day)
    if not records or not n or not ndays:
        return np.full((ndays, n), -1, dtype=np.int32), []
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
    col = table["col"].to_numpy(dtype=np.int64)
    # first date each record covers; within an instrument a record holds
    # until the next one starts, and among records starting the same day
    # the last in sort order (the highest version) wins
    first = np.searchsorted(day, table["start_date"].to_numpy(dtype="datetime64[ns]"),
                            side="left")
    ok = first < ndays
    col, first, names = col[ok], first[ok], names[ok]
    # Over the instrument-major flat table, mark where each record starts
    # with its number (1, 2, ... in sort order); the running maximum then
    # gives every cell the latest record that started on or before it.
    mark = np.zeros(n * ndays, dtype=np.int64)
    rec = np.arange(1, len(col) + 1, dtype=np.int64)
    np.maximum.at(mark, col * ndays + first, rec)   # same day: the highest record wins
    latest = np.maximum.accumulate(mark).reshape(n, ndays)
    # cells before an instrument's first record (or of an instrument with
    # none) carry an earlier instrument's record: unclassified
    first_rec = np.full(n, np.iinfo(np.int64).max)
    np.minimum.at(first_rec, col, rec)
    latest[latest < first_rec[:, None]] = 0
    lookup = np.concatenate([[-1], names]).astype(np.int32)
    return np.ascontiguousarray(lookup[latest].T), list(industry)
