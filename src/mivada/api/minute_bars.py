"""Minute bars (``get_price(..., frequency="1m")``)."""

import pandas as pd

from mivada.api.arguments import _after_end, _as_time
from mivada.api.calendar import _latest
from mivada.api.frames import _read_long

_DAY = pd.Timedelta(days=1) - pd.Timedelta(microseconds=1)


def _minute_range(store, start_date, end_date):
    """(start, end) timestamps of a minute-bar request: a bare date as
    ``end_date`` means the whole day; the defaults are the store's data
    period.  (None, None) for a store without data."""
    if end_date is None:
        last = _latest(store)
        if last is None:
            return None, None
        end = last + _DAY
    else:
        end = _as_time(end_date, "end_date")
        if end == end.normalize() and not (isinstance(end_date, str) and ":" in end_date):
            # a bare date means the whole day
            end = (
                pd.Timestamp.max.floor("us") if end >= pd.Timestamp.max.normalize() else end + _DAY
            )
    start = (
        _as_time(start_date, "start_date")
        if start_date is not None
        else (store.data_start or end.normalize())
    )
    if start > end:
        raise _after_end(start, end)
    return start, end


def _minute_bars(store, ids, start_date, end_date, names):
    """Minute bars of ``ids`` as a long frame indexed by (order_book_id,
    datetime); None when nothing matches."""
    start, end = _minute_range(store, start_date, end_date)
    if start is None:
        return None
    return _read_long(
        store, "minute_bars", "datetime", ids, names, start.to_pydatetime(), end.to_pydatetime()
    )
