"""Index membership."""

import numpy as np
import pandas as pd

from mivada.api.arguments import _after_end, _as_date
from mivada.api.calendar import _latest
from mivada.api.store_state import current_store
from mivada.errors import argument_error


def index_components(index_id, date=None, start_date=None, end_date=None):
    """Members of index ``index_id``.

    With ``date`` (default: the latest trading date) a sorted list of
    identifiers; with ``start_date``/``end_date`` a dict mapping each
    trading date of the range to its sorted member list.  Dates the store
    has no membership for give empty lists.
    """
    store = current_store()
    if not isinstance(index_id, str) or store.instrument_type.get(index_id) != "INDX":
        raise argument_error("index_id", "an index of the store", repr(index_id))
    ranged = start_date is not None or end_date is not None
    if ranged and date is not None:
        raise argument_error("date", "either date or start_date/end_date", "both")
    if ranged:
        start = _as_date(start_date if start_date is not None else end_date, "start_date")
        end = _as_date(end_date if end_date is not None else start_date, "end_date")
        if start > end:
            raise _after_end(start, end)
        cal = store.calendar
        dates = cal[cal.searchsorted(start, "left") : cal.searchsorted(end, "right")]
    else:
        day = _as_date(date, "date") if date is not None else _latest(store)
        dates = pd.DatetimeIndex([] if day is None else [day])
    if len(dates) == 0:
        return {} if ranged else []
    runs = store.fetch_df(
        "SELECT order_book_id, in_date::TIMESTAMP AS in_date, "
        "out_date::TIMESTAMP AS out_date FROM index_members WHERE index_id = ? "
        "AND in_date <= ? AND (out_date IS NULL OR out_date > ?) "
        "ORDER BY order_book_id",
        [index_id, dates[-1].date(), dates[0].date()],
    )
    ids = runs["order_book_id"].astype(object).to_numpy()
    d = dates.values[:, None]
    in_d = pd.to_datetime(runs["in_date"]).values.astype("datetime64[ns]")
    out_d = pd.to_datetime(runs["out_date"]).values.astype("datetime64[ns]")
    inside = (in_d[None, :] <= d) & (np.isnat(out_d)[None, :] | (d < out_d[None, :]))
    lists = [sorted(set(ids[row].tolist())) for row in inside]
    if ranged:
        return dict(zip(dates, lists))
    return lists[0]
