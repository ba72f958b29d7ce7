"""Daily bars: bar fields as long frames or as dates x instruments panels
(kept for reuse inside ``reusing_reads`` blocks), and daily returns."""

import numpy as np
import pandas as pd

from mivada.api.arguments import _as_fields, _as_ids
from mivada.api.calendar import _date_range
from mivada.api.frames import _floats, _read_long, _request_table
from mivada.api.kept_reads import _handed_out, _kept, _kept_lock, _reusing
from mivada.api.minute_bars import _minute_bars
from mivada.api.store_state import current_store
from mivada.errors import argument_error
from mivada.schema import DAILY_FIELDS, MINUTE_FIELDS, quote_ident


def _daily_panel(store, ids, start, end, fields):
    """Dense (dates x ids) arrays of ``fields`` (daily bar fields or
    published factors) over the trading dates from ``start`` to ``end``
    that the store has data for.  The arrays are column-major: each
    instrument's values are contiguous."""
    dates = _panel_days(store, start, end)
    ndates = len(dates)
    grids = {f: np.full((len(ids), ndates), np.nan) for f in fields}
    if ndates == 0 or not ids:
        return dates, {f: g.T for f, g in grids.items()}
    lo = int(store.calendar.searchsorted(dates[0], "left"))
    span = [dates[0].date(), dates[-1].date()]
    req = {"req": _request_table(ids)}
    bars = [f for f in fields if f in DAILY_FIELDS]
    fetched = []
    # NULL comes as NaN from the store, so that columns come over as they are
    if bars:
        fetched.append(
            (
                bars,
                store.fetch_batches(
                    "SELECT r.col, (b.date - DATE '1970-01-01')::INTEGER AS d, {} "
                    "FROM daily_bars b JOIN req r ON b.order_book_id = r.order_book_id "
                    "WHERE b.date BETWEEN ? AND ?".format(
                        ", ".join(
                            "coalesce(b.{0}, 'NaN'::DOUBLE) AS {0}".format(quote_ident(f))
                            for f in bars
                        )
                    ),
                    span,
                    frames=req,
                ),
            )
        )
    for name in fields:
        if name not in DAILY_FIELDS:
            fetched.append(
                (
                    [name],
                    store.fetch_batches(
                        "SELECT r.col, (x.date - DATE '1970-01-01')::INTEGER AS d, "
                        "coalesce(x.value, 'NaN'::DOUBLE) AS {} "
                        "FROM factor_values x JOIN req r ON x.order_book_id = r.order_book_id "
                        "WHERE x.factor = ? AND x.date BETWEEN ? AND ?".format(quote_ident(name)),
                        [name] + span,
                        frames=req,
                    ),
                )
            )
    for names, batches in fetched:
        for got in batches:
            row = store.positions_of_days(got["d"]) - lo
            ok = (row >= 0) & (row < ndates)
            flat = np.asarray(got["col"], dtype=np.int64) * ndates
            flat += row
            everywhere = bool(ok.all())
            if not everywhere:
                flat = flat[ok]
            for f in names:
                values = _floats(got[f])
                grids[f].reshape(-1)[flat] = values if everywhere else values[ok]
    return dates, {f: g.T for f, g in grids.items()}


def _panel_fields(store):
    """The names ``get_price_panel`` reads: daily bar fields and the
    store's published factors."""
    from mivada.api.factors import _stored_factor_names

    return list(DAILY_FIELDS) + sorted(_stored_factor_names(store))


def get_price_panel(
    order_book_ids, start_date=None, end_date=None, fields=("close",), as_arrays=False
):
    """Daily bar fields (or published factors) for many instruments at
    once, as wide tables with no long-format step: a dict field -> frame
    (trading dates x instruments, in the order given; NaN where there is no
    value; unknown instruments give all-NaN columns).  None when the range
    has no trading date with data.

    ``fields`` names daily bar fields and the store's published factors
    (``get_factor_names()``).  With ``as_arrays=True`` the result is
    ``(dates, {field: array})`` instead, each array dates x instruments in
    column-major order (an instrument's values contiguous), read-only when
    it is shared with what ``reusing_reads`` keeps."""
    store = current_store()
    ids, _ = _as_ids(order_book_ids)
    names, _ = (
        _as_fields(fields, _panel_fields(store))
        if fields is not None
        else (list(DAILY_FIELDS), False)
    )
    start, end = _date_range(store, start_date, end_date)
    if start is None:
        return None
    if not _reusing.get():
        if as_arrays:
            # straight from the store's columns into the arrays
            dates, arrays = _daily_panel(store, ids, start, end, names)
            return None if len(dates) == 0 else (pd.DatetimeIndex(dates, name=None), arrays)
        return _panel_frames(store, ids, start, end, names)
    got = _kept_panel(store, ids, start, end, names)
    if got is None or not as_arrays:
        return got
    dates = next(iter(got.values())).index
    arrays = {}
    for f, frame in got.items():
        values = frame.to_numpy(dtype=np.float64, copy=False)
        if values.flags.writeable:
            values = values.view()
            values.flags.writeable = False
        arrays[f] = values
    return pd.DatetimeIndex(dates, name=None), arrays


def _panel_frames(store, ids, start, end, names):
    dates, arrays = _daily_panel(store, ids, start, end, names)
    if len(dates) == 0:
        return None
    columns = pd.Index(ids, name="order_book_id")
    index = pd.DatetimeIndex(dates, name="date")
    return {f: pd.DataFrame(arrays[f], index=index, columns=columns, copy=False) for f in names}


def _panel_days(store, start, end):
    """The trading dates from ``start`` to ``end`` with bars in the store."""
    last = store.data_end
    if last is None or start > last:
        return pd.DatetimeIndex([])
    end = min(end, last)
    cal = store.calendar
    return cal[int(cal.searchsorted(start, "left")) : int(cal.searchsorted(end, "right"))]


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


def get_price_change_rate(
    order_book_ids, start_date=None, end_date=None, expect_df=True, market="cn"
):
    """Daily simple returns close / prev_close - 1: a frame of trading dates
    x instruments (in the order given).  NaN where an instrument has no bar
    (suspended, not yet listed or delisted); instruments without any data
    are kept as all-NaN columns.  None when the range holds no trading date
    with data.  With ``expect_df=False`` and a single identifier, a
    series."""
    if market != "cn":
        raise argument_error("market", "'cn'", repr(market))
    panel = get_price_panel(order_book_ids, start_date, end_date, fields=("close", "prev_close"))
    if panel is None:
        return None
    rate = panel["close"] / panel["prev_close"] - 1.0
    if not expect_df and isinstance(order_book_ids, str):
        return rate[order_book_ids]
    return rate


_FREQUENCIES = ("1d", "1m", "tick")


def get_price(
    order_book_ids, start_date=None, end_date=None, frequency="1d", fields=None, expect_df=True
):
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
        raise argument_error("frequency", "one of {}".format(list(_FREQUENCIES)), repr(frequency))
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
        df = _read_long(store, "daily_bars", "date", ids, names, start.date(), end.date())
    else:
        names, single_field = _as_fields(fields, MINUTE_FIELDS)
        df = _minute_bars(store, ids, start_date, end_date, names)
    if df is None:
        return None
    if not expect_df and single_id:
        df = df.droplevel("order_book_id")
        return df[names[0]] if single_field else df
    return df
