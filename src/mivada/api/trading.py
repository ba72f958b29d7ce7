"""What the trading rules read beyond the bars, point in time: daily price
limits (stored, or derived from the previous close, the board and the ST
status of that day), boards and ST status.

The tables behind them (``price_limits``, ``board_records``,
``st_records``) are optional: a store without them answers with what can
be derived and says so through ``trading_data_sources``.
"""

import numpy as np
import pandas as pd

from mivada import market_rules
from mivada.api.arguments import _as_ids
from mivada.api.calendar import _date_range
from mivada.api.frames import _floats, _request_frame
from mivada.api.prices import _panel_days, get_price_panel
from mivada.api.store_state import current_store

ST_RECORDS, BOARD_RECORDS, PRICE_LIMITS = "st_records", "board_records", "price_limits"


def _filled_tables(store):
    """The optional tables that ``store`` has and that hold rows (asked
    once per store)."""
    found = getattr(store, "_trading_tables", None)
    if found is None:
        names = {r[0] for r in store.fetchall("SELECT table_name FROM information_schema.tables")}
        found = set()
        for table in (ST_RECORDS, BOARD_RECORDS, PRICE_LIMITS):
            if table in names and store.fetchall("SELECT 1 FROM {} LIMIT 1".format(table)):
                found.add(table)
        store._trading_tables = found
    return found


def trading_data_sources():
    """What the open store holds for the trading rules, as a dict:

    * ``open``, ``volume``: whether the daily bars of its stocks carry
      opening prices and volumes;
    * ``price_limits``: "stored" (a ``price_limits`` table) or "derived"
      (from the previous close, the board and ST status);
    * ``boards``: "records" (point-in-time ``board_records``; stocks
      without one are read from their codes) or "codes";
    * ``st``: "records" (point-in-time ``st_records``) or None (ST status
      unknown: no stock counts as ST).
    """
    store = current_store()
    tables = _filled_tables(store)
    counts = getattr(store, "_bar_field_counts", None)
    if counts is None:
        counts = store.fetchall(
            "SELECT count(b.open), count(b.volume) FROM daily_bars b JOIN instruments i "
            "ON b.order_book_id = i.order_book_id WHERE i.type = 'CS'"
        )[0]
        store._bar_field_counts = counts
    return {
        "open": bool(counts[0]),
        "volume": bool(counts[1]),
        "price_limits": "stored" if PRICE_LIMITS in tables else "derived",
        "boards": "records" if BOARD_RECORDS in tables else "codes",
        "st": "records" if ST_RECORDS in tables else None,
    }


def _records(table, columns, order_book_ids):
    store = current_store()
    if table not in _filled_tables(store):
        return None
    sql = "SELECT {} FROM {}".format(", ".join(columns), table)
    frames = None
    if order_book_ids is not None:
        ids, _ = _as_ids(order_book_ids)
        sql = "SELECT {} FROM {} t JOIN req r ON t.order_book_id = r.order_book_id".format(
            ", ".join("t." + c for c in columns), table
        )
        frames = {"req": _request_frame(ids)}
    out = store.fetch_df(sql + " ORDER BY order_book_id, start_date", frames=frames)
    for col in columns:
        if col.endswith("_date"):
            out[col] = pd.to_datetime(out[col]).astype("datetime64[ns]")
    return out.reset_index(drop=True)


def get_board_records(order_book_ids=None):
    """Board records (order_book_id, start_date, board: "main", "chinext",
    "star" or "bse"), each in force from its start date until the
    instrument's next record; None when the store has none."""
    return _records(BOARD_RECORDS, ["order_book_id", "start_date", "board"], order_book_ids)


def get_st_records(order_book_ids=None):
    """ST episodes (order_book_id, start_date, end_date: the first day no
    longer ST, NaT while ST); None when the store has none."""
    return _records(ST_RECORDS, ["order_book_id", "start_date", "end_date"], order_book_ids)


def _spans(dates, starts, ends=None):
    """Row positions [lo, hi) in ``dates`` of spans starting on ``starts``
    and ending before ``ends`` (NaT: open)."""
    d = dates.values
    lo = np.searchsorted(d, np.asarray(starts, dtype="datetime64[ns]"), "left")
    if ends is None:
        return lo, np.full(len(lo), len(d))
    e = np.asarray(ends, dtype="datetime64[ns]")
    hi = np.where(np.isnat(e), len(d), np.searchsorted(d, e, "left"))
    return lo, hi


def _st_panel(ids, dates):
    """(dates x ids) booleans from the ST records, or None without any."""
    records = get_st_records(ids)
    if records is None:
        return None
    out = np.zeros((len(dates), len(ids)), dtype=bool)
    col = pd.Index(ids).get_indexer(records["order_book_id"])
    lo, hi = _spans(dates, records["start_date"], records["end_date"])
    for c, a, b in zip(col, lo, hi):
        if c >= 0 and b > a:
            out[a:b, c] = True
    return out


def _board_panel(ids, dates):
    """(dates x ids) board codes: each stock's records in force on the
    date, its code where it has none (or before its first record)."""
    out = np.repeat(market_rules.board_of_codes(ids)[None, :], len(dates), axis=0)
    records = get_board_records(ids)
    if records is None:
        return out
    col = pd.Index(ids).get_indexer(records["order_book_id"])
    code = market_rules.board_codes(records["board"])
    lo, _ = _spans(dates, records["start_date"])
    for c, a, b in zip(col, lo, code):  # in start order: later records win
        if c >= 0:
            out[a:, c] = b
    return out


def _request(order_book_ids, start_date, end_date):
    """The store, the identifiers and the trading dates with data of a
    request (no dates when the range holds none)."""
    store = current_store()
    ids, _ = _as_ids(order_book_ids)
    start, end = _date_range(store, start_date, end_date)
    dates = pd.DatetimeIndex([]) if start is None else _panel_days(store, start, end)
    return store, ids, dates


def get_st_status(order_book_ids, start_date=None, end_date=None):
    """ST status point in time: a frame of trading dates (with data) x
    instruments, True on the days an instrument is ST.  None when the
    store has no ST records (the status is unknown) or the range holds no
    trading date with data."""
    store, ids, dates = _request(order_book_ids, start_date, end_date)
    st = _st_panel(ids, dates) if len(dates) else None
    if st is None:
        return None
    return pd.DataFrame(
        st, index=pd.DatetimeIndex(dates, name="date"), columns=pd.Index(ids, name="order_book_id")
    )


def _stored_limits(store, ids, dates):
    """Stored limit prices (dates x ids arrays, NaN where the store has no
    row) and a mask of the cells it has a row for."""
    up = np.full((len(dates), len(ids)), np.nan)
    down = np.full_like(up, np.nan)
    have = np.zeros(up.shape, dtype=bool)
    if len(dates) == 0 or not ids:
        return up, down, have
    got = store.fetch_numpy(
        "SELECT r.col, (t.date - DATE '1970-01-01')::INTEGER AS d, t.limit_up, "
        "t.limit_down FROM price_limits t JOIN req r ON t.order_book_id = r.order_book_id "
        "WHERE t.date BETWEEN ? AND ?",
        [dates[0].date(), dates[-1].date()],
        frames={"req": _request_frame(ids)},
    )
    lo = int(store.calendar.searchsorted(dates[0], "left"))
    row = store.positions_of_days(got["d"]) - lo
    ok = (row >= 0) & (row < len(dates))
    row, col = row[ok], np.asarray(got["col"])[ok]
    up[row, col] = _floats(got["limit_up"])[ok]
    down[row, col] = _floats(got["limit_down"])[ok]
    have[row, col] = True
    return up, down, have


def _bars_without_limits(store, ids, dates):
    """Positions in ``ids`` of the instruments with more bars than stored
    limit prices over ``dates``: their missing limits are derived."""
    # limit rows come with bars (ingest and the sample write them so):
    # counting both per instrument finds the ones short of limits
    counts = []
    for table in ("daily_bars", "price_limits"):
        got = store.fetch_numpy(
            "SELECT r.col, count(*) AS n FROM {} t JOIN req r ON t.order_book_id = "
            "r.order_book_id WHERE t.date BETWEEN ? AND ? GROUP BY r.col".format(table),
            [dates[0].date(), dates[-1].date()],
            frames={"req": _request_frame(ids)},
        )
        n = np.zeros(len(ids), dtype=np.int64)
        n[np.asarray(got["col"], dtype=np.int64)] = np.asarray(got["n"])
        counts.append(n)
    return [int(k) for k in np.flatnonzero(counts[0] > counts[1])]


def _derived_limits(store, ids, dates, prev_close):
    board = _board_panel(ids, dates)
    st = _st_panel(ids, dates)
    if st is None:
        st = np.zeros(board.shape, dtype=bool)
    table = store.instruments
    listed = pd.DatetimeIndex(table["listed_date"].reindex(ids)).values
    cal = store.calendar.values
    first = np.searchsorted(cal, listed, "left")
    # a listing before the calendar begins is old on every date it holds
    first = (
        np.where(
            np.isnat(listed),
            np.iinfo(np.int64).min // 4,
            np.where(listed < cal[0], -(10**6), first),
        )
        if len(cal)
        else first
    )
    age = np.searchsorted(cal, dates.values, "left")[:, None] - first[None, :]
    up_rate, down_rate = market_rules.limit_rates(board, dates, st, age, listed)
    return market_rules.limit_prices(prev_close, up_rate, down_rate)


def get_price_limits(order_book_ids, start_date=None, end_date=None):
    """Daily limit prices point in time: a dict "limit_up" / "limit_down" ->
    frame of trading dates (with data) x instruments.

    Stored prices where the store holds them (``price_limits``); elsewhere
    derived from the bar's previous close at the limit rate of the board
    and ST status of that date (main board 10 %, ST 5 %; ChiNext 20 % from
    its 2020-08-24 reform, before it as the main board; STAR 20 %; Beijing
    30 %), rounded half up to 0.01.  NaN where no limit applies (the first
    days after a listing on the boards that have none) or where it cannot
    be derived (no bar, no previous close, a board the code does not
    tell).  None when the range holds no trading date with data."""
    store, ids, dates = _request(order_book_ids, start_date, end_date)
    if len(dates) == 0:
        return None
    if PRICE_LIMITS in _filled_tables(store):
        up, down, have = _stored_limits(store, ids, dates)
        derive = _bars_without_limits(store, ids, dates)
    else:
        up, down = (np.full((len(dates), len(ids)), np.nan) for _ in range(2))
        have, derive = np.zeros(up.shape, dtype=bool), list(range(len(ids)))
    if derive:
        some = [ids[k] for k in derive]
        prev = get_price_panel(some, dates[0], dates[-1], fields=("prev_close",))
        prev_close = prev["prev_close"].reindex(dates).to_numpy(dtype=float)
        d_up, d_down = _derived_limits(store, some, dates, prev_close)
        keep = have[:, derive]
        up[:, derive] = np.where(keep, up[:, derive], d_up)
        down[:, derive] = np.where(keep, down[:, derive], d_down)
    index = pd.DatetimeIndex(dates, name="date")
    columns = pd.Index(ids, name="order_book_id")
    return {
        "limit_up": pd.DataFrame(up, index=index, columns=columns),
        "limit_down": pd.DataFrame(down, index=index, columns=columns),
    }
