"""Daily bars: bar fields as long frames or as dates x instruments panels
(kept for reuse inside ``reusing_reads`` blocks), and daily returns."""
import numpy as np
import pandas as pd

from mivada.api.arguments import _as_fields, _as_ids
from mivada.api.calendar import _date_range
from mivada.api.frames import _floats, _read_long, _request_frame
from mivada.api.kept_reads import _handed_out, _kept, _kept_lock, _reusing
from mivada.api.minute_bars import _minute_bars
from mivada.api.store_state import current_store
from mivada.errors import argument_error
from mivada.schema import DAILY_FIELDS, MINUTE_FIELDS, quote_ident


def _daily_panel(store, ids, start, end, fields):
    """Dense (dates x ids) arrays of daily bar ``fields`` over the trading
    dates from ``start`` to ``end`` that the store has data for."""
    dates = _panel_days(store, start, end)
    arrays = {f: np.full((len(dates), len(ids)), np.nan) for f in fields}
    if len(dates) == 0 or not ids:
        return dates, arrays
    lo = int(store.calendar.searchsorted(dates[0], "left"))
    cols = ", ".join("b." + quote_ident(f) for f in fields)
    got = store.fetch_numpy(
        "SELECT r.col, (b.date - DATE '1970-01-01')::INTEGER AS d, {} "
        "FROM daily_bars b JOIN req r ON b.order_book_id = r.order_book_id "
        "WHERE b.date BETWEEN ? AND ?".format(cols),
        [dates[0].date(), dates[-1].date()], frames={"req": _request_frame(ids)})
    flat = store.positions_of_days(got.pop("d")) - lo
    ok = (flat >= 0) & (flat < len(dates))
    flat *= len(ids)
    flat += np.asarray(got.pop("col"))
    everywhere = bool(ok.all())
    if not everywhere:
        flat = flat[ok]
    for f in fields:
        values = _floats(got.pop(f))
        arrays[f].ravel()[flat] = values if everywhere else values[ok]
    return dates, arrays


def get_price_panel(order_book_ids, start_date=None, end_date=None,
                    fields=("close",)):
    """Daily bar fields for many instruments at once: a dict field -> frame
    (trading dates x instruments, in the order given; NaN where there is no
    bar; unknown instruments give all-NaN columns).  None when the range has
    no trading date with data."""
    store = current_store()
    ids, _ = _as_ids(order_book_ids)
    names, _ = _as_fields(fields, DAILY_FIELDS)
    start, end = _date_range(store, start_date, end_date)
    if start is None:
        return None
    if _reusing.get():
        return _kept_panel(store, ids, start, end, names)
    return _panel_frames(store, ids, start, end, names)


def _panel_frames(store, ids, start, end, names):
    dates, arrays = _daily_panel(store, ids, start, end, names)
    if len(dates) == 0:
        return None
    columns = pd.Index(ids, name="order_book_id")
    index = pd.DatetimeIndex(dates, name="date")
    return {f: pd.DataFrame(arrays[f], index=index, columns=columns)
            for f in names}


def _panel_days(store, start, end):
    """The trading dates from ``start`` to ``end`` with bars in the store."""
    last = store.data_end
    if last is None or start > last:
        return pd.DatetimeIndex([])
    end = min(end, last)
    cal = store.calendar
    return cal[int(cal.searchsorted(start, "left")):int(cal.searchsorted(end, "right"))]


def _kept_panel(store, ids, start, end, names):
    """``_panel_frames`` served from the kept panel: the same instruments
    over a date range covering the request.  A request beyond that range
    reads the kept fields again over the range spanning both, so a batch
    whose factors look back different numbers of days reads its bars a few
    times, not once per factor."""
    want = _panel_days(store, start, end)
    if len(want) == 0:
        return None
    key = (store.serial, tuple(ids))
    with _kept_lock:
        kept = _kept["panel"]
        kept = kept if kept is not None and kept[0] == key else None
    if kept is None:
        lo, hi, have, read = want[0], want[-1], {}, list(names)
    else:
        _, days, have = kept
        have = dict(have)
        lo, hi = min(want[0], days[0]), max(want[-1], days[-1])
        if lo < days[0] or hi > days[-1]:
            read = list(have) + [f for f in names if f not in have]
            # the frames read again are let go first: never both in memory
            have = kept = None
            with _kept_lock:
                _kept["panel"] = None
            have = {}
        else:
            read = [f for f in names if f not in have]
    if read:
        got = _panel_frames(store, ids, lo, hi, read)
        if got is None:
            return None
        have.update(got)
        days = next(iter(have.values())).index
        with _kept_lock:
            _kept["panel"] = (key, days, have)
    days = next(iter(have.values())).index
    i, j = int(days.searchsorted(want[0])), int(days.searchsorted(want[-1], "right"))
    # views where pandas copies before any change: the kept frames stay as read
    return {f: _handed_out(have[f].iloc[i:j]) for f in names}


def get_price_change_rate(order_book_ids, start_date=None, end_date=None,
                          expect_df=True, market="cn"):
    """Daily simple returns close / prev_close - 1: a frame of trading dates
    x instruments (in the order given).  NaN where an instrument has no bar
    (suspended, not yet listed or delisted); instruments without any data
    are kept as all-NaN columns.  None when the range holds no trading date
    with data.  With ``expect_df=False`` and a single identifier, a
    series."""
    if market != "cn":
        raise argument_error("market", "'cn'", repr(market))
    panel = get_price_panel(order_book_ids, start_date, end_date,
                            fields=("close", "prev_close"))
    if panel is None:
        return None
    rate = panel["close"] / panel["prev_close"] - 1.0
    if not expect_df and isinstance(order_book_ids, str):
        return rate[order_book_ids]
    return rate


_FREQUENCIES = ("1d", "1m", "tick")


def get_price(order_book_ids, start_date=None, end_date=None, frequency="1d",
              fields=None, expect_df=True):
    """Bars of stocks and indexes.

    ``frequency`` is "1d" (daily bars, index levels order_book_id and date),
    "1m" (minute bars, levels order_book_id and datetime) or "tick" (the
    store keeps no ticks: always None).  ``fields`` is one field name or a
    list; None means all.  Instruments come in the order given, times
    ascending.  Returns None when nothing matches.  With ``expect_df=False``
    and a single identifier the frame is indexed by time alone (a series if
    ``fields`` is one name).
    """
    if frequency not in _FREQUENCIES:
        raise argument_error("frequency", "one of {}".format(
            list(_FREQUENCIES)), repr(frequency))
    store = current_store()
    ids, single_id = _as_ids(order_book_ids)
    if frequency == "tick":
        _as_fields(fields, ("last", "volume", "total_turnover"))
        return None
    if frequency == "1d":
        names, single_field = _as_fields(fields, DAILY_FIELDS)
        start, end = _date_range(store, start_date, end_date)
        if start is None:
            return None
        df = _read_long(store, "daily_bars", "date", ids, names, start.date(),
                        end.date())
    else:
        names, single_field = _as_fields(fields, MINUTE_FIELDS)
        df = _minute_bars(store, ids, start_date, end_date, names)
    if df is None:
        return None
    if not expect_df and single_id:
        df = df.droplevel("order_book_id")
        return df[names[0]] if single_field else df
    return df
