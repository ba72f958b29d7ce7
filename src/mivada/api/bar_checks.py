"""Daily bars whose prices contradict each other, found by the store
itself: only the offending bars leave it, so checking a whole universe
costs one scan of the bars instead of a transfer of every price."""

import numpy as np
import pandas as pd

from mivada.api.arguments import _as_ids
from mivada.api.calendar import _date_range
from mivada.api.frames import _floats, _request_frame
from mivada.api.store_state import current_store

FIELDS = ("open", "high", "low", "close")


def inconsistent_bars(order_book_ids, start_date=None, end_date=None):
    """The daily bars of ``order_book_ids`` from ``start_date`` to
    ``end_date`` with high below low, close or open outside [low, high], or
    a price at or below zero: a frame of order_book_id, date, open, high,
    low, close (missing prices NaN), in instrument then date order; an
    empty frame when there is none."""
    store = current_store()
    ids, _ = _as_ids(order_book_ids)
    start, end = _date_range(store, start_date, end_date)
    empty = pd.DataFrame(
        {
            "order_book_id": pd.Series([], dtype=object),
            "date": pd.DatetimeIndex([]),
            **{f: np.array([], dtype=float) for f in FIELDS},
        }
    )
    if start is None or not ids:
        return empty
    got = store.fetch_numpy(
        "SELECT r.col, b.date::TIMESTAMP AS date, b.open, b.high, b.low, b.close "
        "FROM daily_bars b JOIN req r ON b.order_book_id = r.order_book_id "
        "WHERE b.date BETWEEN ? AND ? AND (b.high < b.low OR b.close > b.high OR "
        "b.close < b.low OR b.open > b.high OR b.open < b.low OR "
        "LEAST(b.open, b.high, b.low, b.close) <= 0) ORDER BY r.col, b.date",
        [start.date(), end.date()],
        frames={"req": _request_frame(ids)},
    )
    col = np.asarray(got["col"])
    if len(col) == 0:
        return empty
    return pd.DataFrame(
        {
            "order_book_id": np.asarray(ids, dtype=object)[col],
            "date": pd.DatetimeIndex(np.asarray(got["date"])),
            **{f: _floats(got[f]) for f in FIELDS},
        }
    )
