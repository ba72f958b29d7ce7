"""Industry labels per date and instrument, for the grouped cross-sectional
operators.

``industry_codes(order_book_ids, dates, source)`` reads the store's
classification records (``source`` "citics_2019" or "sws") and gives each
(date, instrument) the industry of the latest record starting on or before
that date.  "sws" restates its history in three versions; a record counts
only in the version in force on its start day (1 up to 2014-01-01, 2 up to
2021-07-31, 3 after), so early dates carry the names of their own time.
This is the rule, and the routine (a C++ kernel), by which the test bench
labels industries for neutralization and the IC breakdown, so a grouped
operator and ``Neutralization(industry=source)`` see the same industries.
Unclassified cells get -1.

The last table made is kept (read-only) for the same store,
classification, instruments and dates: the group operators of a formula,
and consecutive formulas over one universe, ask for it again and again.
"""

import numpy as np
import pandas as pd

from mivada import client
from mivada.api import store_token
from tarnfold.engine_v2 import _operators

__all__ = ["INDUSTRY_SOURCES", "industry_codes"]

INDUSTRY_SOURCES = {
    "citics_2019": "__internal__zx2019_industry",
    "sws": "__internal__shenwan_industry",
}

# sources whose records carry a classification version (their fourth field)
_VERSIONED = {"sws"}

# the last answer, keyed by store, classification, instruments and dates:
# the group operators of one formula (and of consecutive formulas over the
# same universe) ask for the same table
_last = {}


def industry_codes(order_book_ids, dates, source="citics_2019"):
    """(int32 codes of shape (len(dates), len(order_book_ids)), industry
    names indexed by code).  The codes are read-only."""
    if source not in INDUSTRY_SOURCES:
        raise ValueError(
            "source: unknown industry classification {!r}, expect one of {}".format(
                source, sorted(INDUSTRY_SOURCES)
            )
        )
    ids = pd.Index(list(order_book_ids), dtype=object)
    day = pd.DatetimeIndex(dates).as_unit("ns").to_numpy(dtype="datetime64[ns]")
    key = (store_token(), source, tuple(ids), day.tobytes())
    hit = _last.get("entry")
    if hit is not None and hit[0] == key:
        return hit[1], list(hit[2])
    codes, names = _industry_codes(ids, day, source)
    codes.flags.writeable = False
    _last["entry"] = (key, codes, names)
    return codes, list(names)


def _industry_codes(ids, day, source):
    records = client.get_client().execute(INDUSTRY_SOURCES[source])
    if not records or not len(ids) or not len(day):
        return np.full((len(day), len(ids)), -1, dtype=np.int32), []
    width = 4 if source in _VERSIONED else 3
    table = pd.DataFrame.from_records(
        [tuple(r)[:width] for r in records],
        columns=["industry", "order_book_id", "start_date", "version"][:width],
    )
    code, names = pd.factorize(table["industry"])
    start = pd.DatetimeIndex(pd.to_datetime(table["start_date"])).as_unit("ns")
    version = table["version"].to_numpy(dtype=np.int32) if width == 4 else None
    codes = _operators.industry_codes(
        ids.get_indexer(table["order_book_id"]).astype(np.int64),
        start.asi8,
        code.astype(np.int32),
        day.view(np.int64),
        len(ids),
        version=version,
    )
    return codes, list(names)
