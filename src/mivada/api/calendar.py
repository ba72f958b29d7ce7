"""Trading-calendar arithmetic, and the default date range of the
operations (the store's data period)."""

import numpy as np
import pandas as pd

from mivada.api.arguments import _after_end, _as_date, _as_int
from mivada.api.store_state import current_store
from mivada.errors import argument_error


def _latest(store):
    if store.data_end is not None:
        return store.data_end
    today = pd.Timestamp.today().normalize()
    cal = store.calendar
    pos = cal.searchsorted(today, side="right") - 1
    return cal[pos] if pos >= 0 else None


def _date_range(store, start_date, end_date):
    """Day-resolution (start, end) with defaults: the store's whole data
    period."""
    end = _as_date(end_date, "end_date") if end_date is not None else _latest(store)
    start = _as_date(start_date, "start_date") if start_date is not None else store.data_start
    if start is None or end is None:
        return None, None
    if start > end:
        raise _after_end(start, end)
    return start, end


def get_latest_trading_date():
    """The last trading date the store has daily bars for (in a store
    without bars: the last calendar date up to today)."""
    return _latest(current_store())


def get_trading_dates(start_date, end_date):
    """Trading dates from ``start_date`` to ``end_date`` inclusive."""
    store = current_store()
    start = _as_date(start_date, "start_date")
    end = _as_date(end_date, "end_date")
    if start > end:
        raise _after_end(start, end)
    cal = store.calendar
    lo, hi = cal.searchsorted(start, "left"), cal.searchsorted(end, "right")
    return pd.DatetimeIndex(cal[lo:hi], name=None)


def _calendar_step(date, n, forward):
    store = current_store()
    day = _as_date(date, "date")
    n = _as_int(n, "n", minimum=1)
    cal = store.require_calendar()
    if forward:
        pos = int(cal.searchsorted(day, side="right")) + n - 1
        if pos >= len(cal) and _projects_calendar(store):
            return _project_weekdays(max(day, cal[-1]), pos - len(cal) + 1, day, n)
    else:
        pos = int(cal.searchsorted(day, side="left")) - n
    if pos < 0 or pos >= len(cal):
        raise argument_error(
            "date",
            "a step inside the trading calendar ({} to {})".format(cal[0].date(), cal[-1].date()),
            "{} trading day(s) {} {}".format(n, "after" if forward else "before", day.date()),
        )
    return cal[pos]


def _projects_calendar(store):
    """Whether steps past the calendar's end are projected on weekdays: for
    a store whose calendar ends with its data (a store made by ingest from
    bars alone).  A calendar that runs ahead of the data was given with its
    holidays up to a known horizon; steps past that horizon are refused."""
    return store.data_end is None or store.calendar[-1] <= store.data_end


def _project_weekdays(start, steps, day, n):
    """The ``steps``-th weekday after ``start``: past the end of the store's
    calendar the calendar is projected on weekdays (holidays unknown, no
    data there)."""
    last = np.datetime64(pd.Timestamp.max.date(), "D")
    begin = np.datetime64(start.date(), "D")
    # about 261 weekdays a year: refuse before numpy's day count overflows
    if steps > (last - begin).astype(np.int64) * 5 // 7 + 5:
        steps = None
    else:
        got = np.busday_offset(begin, steps, roll="backward")
        steps = None if got > last else got
    if steps is None:
        raise argument_error(
            "n",
            "a step that stays within the dates a timestamp can hold",
            "{} trading day(s) after {}, beyond them".format(n, day.date()),
        )
    return pd.Timestamp(steps)


def get_next_trading_date(date, n=1):
    """The ``n``-th trading date after ``date`` (``date`` itself excluded).

    When the store's calendar ends with its data (a store ingested from
    bars), steps past its end continue on weekdays: a projection, since the
    store knows no holidays there and has no data for those dates.  Ingest a
    ``trading_calendar`` file with the coming trading dates to make the
    calendar exact ahead; steps past a calendar that runs ahead of the data
    raise ``ValueError``."""
    return _calendar_step(date, n, forward=True)


def get_previous_trading_date(date, n=1):
    """The ``n``-th trading date before ``date`` (``date`` itself excluded)."""
    return _calendar_step(date, n, forward=False)


def trading_date_offset(date, n):
    """The trading date ``n`` trading days away from ``date``: after it for
    positive ``n``, before it for negative ``n``; for ``n == 0`` the latest
    trading date on or before ``date``."""
    n = _as_int(n, "n")
    if n > 0:
        return get_next_trading_date(date, n)
    if n < 0:
        return get_previous_trading_date(date, -n)
    store = current_store()
    day = _as_date(date, "date")
    cal = store.require_calendar()
    pos = int(cal.searchsorted(day, side="right")) - 1
    if pos < 0:
        raise argument_error(
            "date",
            "a date on or after the trading calendar's first day {}".format(cal[0].date()),
            str(day.date()),
        )
    return cal[pos]
