"""The operations of the market-data client.

All functions read the current store, opened by ``init`` or, on first use,
the sample store in the user's cache folder.  Conventions shared by every
operation:

* ``order_book_ids`` is one identifier or any list-like of them (list,
  tuple, ``pd.Index``, array); repeats are dropped, order is kept.
* Dates are anything ``pd.Timestamp`` reads.  An unreadable date, a reversed
  range or an unknown field raises ``ValueError`` naming the argument.
* Queries that find no data return ``None``, never an empty frame.
* Daily results are indexed by midnight timestamps of trading dates.
"""
import contextlib
import contextvars
import dataclasses
import os
import threading

import numpy as np
import pandas as pd

from mivada.schema import DAILY_FIELDS, MINUTE_FIELDS, SCHEMA_VERSION, quote_ident
from mivada.store import Store, StoreError

_state = {"store": None, "failed": None}
_state_lock = threading.Lock()
_open_lock = threading.Lock()
# A store pinned by ``pinned_store`` for the code running in this context
# (thread or task); operations read it instead of the current store.
_pinned = contextvars.ContextVar("mivada_pinned_store", default=None)
# Inside ``reusing_reads`` blocks: the last bar panel and style exposures
# read, served again to an identical request instead of querying the store.
_reusing = contextvars.ContextVar("mivada_reusing_reads", default=False)
_kept = {"panel": None, "exposures": []}
_kept_lock = threading.Lock()
KEPT_EXPOSURES = 2

NOT_DELISTED = "0000-00-00"


# -- opening a store ---------------------------------------------------------

def sample_home():
    """Folder holding generated sample stores: ``$MIVADA_HOME`` or
    ``~/.cache/mivada``."""
    home = os.environ.get("MIVADA_HOME")
    if home:
        return home
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(
        os.path.expanduser("~"), ".cache")
    return os.path.join(base, "mivada")


def sample_size(sample="default", n_stocks=None, n_days=None, seed=None):
    """The ``SampleSize`` for a preset name, optionally resized."""
    from mivada.sample import PRESETS, SampleSize

    if sample not in PRESETS:
        raise ValueError("sample: unknown sample size {!r}, expect one of {}"
                         .format(sample, sorted(PRESETS)))
    base = PRESETS[sample]
    return SampleSize(
        n_stocks=base.n_stocks if n_stocks is None else int(n_stocks),
        n_days=base.n_days if n_days is None else int(n_days),
        seed=base.seed if seed is None else int(seed),
        end_date=base.end_date)


def sample_path(size, home=None):
    """Where the sample store for ``size`` lives in the cache folder."""
    from mivada.sample import GENERATOR_VERSION, PRESETS

    name = next((k for k, v in PRESETS.items() if v == size), size.label)
    return os.path.join(home or sample_home(), "sample-s{}-g{}-{}.duckdb"
                        .format(SCHEMA_VERSION, GENERATOR_VERSION, name))


def init(path=None, sample=None, *, n_stocks=None, n_days=None, seed=None,
         home=None, regenerate=False):
    """Open a store and make it the one every operation reads.

    ``init(path)`` opens an existing store file (made by ``ingest`` or by
    ``build_sample_store``).  Without a path it opens the environment's
    ``$MIVADA_STORE`` if set, else the sample store of size ``sample``
    ("tiny", "small", "default", "bench" or "large"; ``n_stocks``,
    ``n_days`` and ``seed`` change it) in ``home`` (default: ``sample_home()``),
    generating it on first use.  ``regenerate=True`` rebuilds a sample store.

    A missing, corrupt, locked or other-version store raises ``StoreError``.
    A failed ``init`` leaves the store that was open current; when none was,
    the next operation raises ``StoreError`` saying so (it never falls back
    to the sample) until an ``init`` succeeds or ``close`` is called.  Code running inside
    ``pinned_store`` keeps the store it pinned.  Returns the opened ``Store``.
    """
    try:
        return _init(path, sample, n_stocks=n_stocks, n_days=n_days, seed=seed,
                     home=home, regenerate=regenerate)
    except Exception as exc:
        # A store that was open stays current.  Without one, the next
        # operation reports this failure instead of opening the sample.
        where = path if path is not None else "the sample store"
        with _state_lock:
            if _state["store"] is None:
                _state["failed"] = "init({!r}) failed: {}".format(
                    os.fspath(where),
                    str(exc).splitlines()[0] if str(exc) else
                    type(exc).__name__)
        raise


def _init(path, sample, *, n_stocks, n_days, seed, home, regenerate):
    if path is not None and (sample is not None or n_stocks is not None or
                             n_days is not None or seed is not None):
        raise ValueError("path: give either a store path or a sample size, "
                         "not both")
    if path is None and sample is None and n_stocks is None and \
            n_days is None and seed is None and os.environ.get("MIVADA_STORE"):
        path = os.environ["MIVADA_STORE"]
    size = None
    if path is None:
        size = sample_size(sample or "default", n_stocks, n_days, seed)
        path = sample_path(size, home)
    # DuckDB hands out the already open database for a path it has open, so
    # reopening the current store (possibly rewritten since) must close it
    # first to see the file as it is now.
    current = _state["store"]
    if current is not None and _same_file(current.path, path):
        close()
    from mivada.store import remove_stale_temp_files

    # what a killed generation or import left behind
    remove_stale_temp_files(path)
    if size is not None and (regenerate or not os.path.exists(path)):
        from mivada.sample import build_sample_store

        build_sample_store(path, size)
    store = Store(path)
    with _state_lock:
        old, _state["store"] = _state["store"], store
        _state["failed"] = None
    _release(old)
    return store


def _release(store):
    """Close a store that is no longer current, or, while some code still
    has it pinned, once the last pin is released."""
    if store is not None:
        store.release()


def _same_file(a, b):
    return os.path.realpath(os.fspath(a)) == os.path.realpath(os.fspath(b))


def close():
    """Close the current store; the next operation opens the default one."""
    with _state_lock:
        old, _state["store"] = _state["store"], None
        _state["failed"] = None
    _release(old)


def current_store():
    """The store operations read: the one pinned by ``pinned_store`` in
    this context, else the current one, opening the default store if none
    was opened yet.  After a failed ``init`` raises ``StoreError``."""
    pinned = _pinned.get()
    if pinned is not None:
        return pinned
    store = _state["store"]
    if store is None:
        # one thread opens (and maybe generates) the default store; others
        # wait for it instead of opening their own
        with _open_lock:
            store = _state["store"]
            if store is None:
                failed = _state["failed"]
                if failed is not None:
                    raise StoreError(
                        "no store is open: the last {}; call mivada.init() "
                        "with a readable store".format(failed))
                store = init()
    return store


@contextlib.contextmanager
def pinned_store(store=None):
    """Within the block, operations of this thread (or task) read ``store``
    (default: the current store), even if another thread calls ``init``
    meanwhile; the replaced store stays open until the block ends.  Yields
    the store; with no store open (and none given) pins nothing and yields
    None."""
    if store is None:
        store = _pinned.get() or _state["store"]
    if store is None:
        yield None
        return
    store.pin()
    token = _pinned.set(store)
    try:
        yield store
    finally:
        _pinned.reset(token)
        store.unpin()


@contextlib.contextmanager
def reusing_reads():
    """Within the block, ``get_price_panel`` and ``get_style_factor_exposure``
    answer again from memory what they read before in such a block, for
    the same store, instruments and date range, instead of querying the
    store: the bar fields of the last panel requested (a request naming
    further fields reads only those and adds them), and the last two
    exposure tables.  For code that computes many things over the same
    instruments and dates (a batch of factors); the kept tables stay in
    memory after the block (``forget_reads`` drops them) and are never
    served outside such a block or for another store.  Callers receive
    their own frames: changing one never changes what is kept."""
    token = _reusing.set(True)
    try:
        yield
    finally:
        _reusing.reset(token)


def forget_reads():
    """Drop what ``reusing_reads`` blocks kept."""
    with _kept_lock:
        _kept["panel"] = None
        _kept["exposures"] = []


def store_token():
    """An identity of the store operations would read now (pinned or
    current), without opening one: None when no store is open.  Caches key
    their results by it, so that nothing computed from one store is served
    after switching to another."""
    store = _pinned.get() or _state["store"]
    return None if store is None else store.serial


# -- argument handling ---------------------------------------------------------

def _as_ids(order_book_ids, name="order_book_ids"):
    """(list of ids, given-as-one-id) with repeats dropped, order kept."""
    if isinstance(order_book_ids, str):
        return [order_book_ids], True
    if order_book_ids is None:
        raise ValueError("{}: expected an identifier or a list of them, got "
                         "None".format(name))
    try:
        values = list(order_book_ids)
    except TypeError:
        raise ValueError("{}: expected an identifier or a list of them, got "
                         "{!r}".format(name, order_book_ids)) from None
    bad = [v for v in values if not isinstance(v, str)]
    if bad:
        raise ValueError("{}: identifiers must be text, got {!r}".format(
            name, bad[0]))
    return list(dict.fromkeys(values)), False


def _as_date(value, name):
    if isinstance(value, (bool, np.bool_, float, np.floating)):
        raise ValueError("{}: cannot read {!r} as a date".format(name, value))
    if isinstance(value, (int, np.integer)):
        # An integer date is YYYYMMDD (20230801), never a count of
        # nanoseconds since 1970.
        from mivada.utils import date_from_int

        try:
            return date_from_int(value)
        except ValueError as exc:
            raise ValueError("{}: {}".format(name, exc)) from None
    try:
        ts = pd.Timestamp(value)
    except pd.errors.OutOfBoundsDatetime:
        ts = _beyond_timestamps(value, name)
    except (ValueError, TypeError, OverflowError):
        raise ValueError("{}: cannot read {!r} as a date".format(name, value)) \
            from None
    if ts is pd.NaT:
        raise ValueError("{}: cannot read {!r} as a date".format(name, value))
    if ts.tzinfo is not None:
        ts = ts.tz_localize(None)
    if not _TS_MIN <= ts <= pd.Timestamp.max:
        ts = _beyond_timestamps(value, name)
    return ts.as_unit("ns") if hasattr(ts, "as_unit") else ts


_TS_MIN = pd.Timestamp.min.ceil("D")


def _beyond_timestamps(value, name):
    """A date beyond what a nanosecond timestamp holds: as the open end of a
    range (start_date/end_date) the first or last day a timestamp holds;
    anywhere else a ValueError naming the argument."""
    text = str(value)
    year = text.lstrip("-")[:4]
    if name in ("start_date", "end_date") and year.isdigit():
        if int(year) >= 2262 and name == "end_date":
            return pd.Timestamp.max.normalize()
        if int(year) <= 1677 and name == "start_date":
            return _TS_MIN
    raise ValueError("{}: {!r} is outside the dates a timestamp can hold ({} "
                     "to {})".format(name, value, _TS_MIN.date(),
                                     pd.Timestamp.max.date()))


def _date_range(store, start_date, end_date):
    """Day-resolution (start, end) with defaults: the store's whole data
    period."""
    end = (_as_date(end_date, "end_date").normalize() if end_date is not None
           else _latest(store))
    start = (_as_date(start_date, "start_date").normalize()
             if start_date is not None else store.data_start)
    if start is None or end is None:
        return None, None
    if start > end:
        raise ValueError("start_date: {} is after end_date {}".format(
            start.date(), end.date()))
    return start, end


def _as_fields(fields, allowed, name="fields"):
    if fields is None:
        return list(allowed), False
    single = isinstance(fields, str)
    if single:
        names = [fields]
    else:
        try:
            names = list(fields)
        except TypeError:
            raise ValueError("{}: expected a name or a list of names, got {!r}"
                             .format(name, fields)) from None
    if not names:
        raise ValueError("{}: no field requested".format(name))
    unknown = [f for f in names if f not in allowed]
    if unknown:
        raise ValueError("{}: unknown field {!r}, expect some of {}".format(
            name, unknown[0], list(allowed)))
    return list(dict.fromkeys(names)), single


def _as_int(n, name, minimum=None):
    if isinstance(n, (bool, np.bool_)) or not isinstance(n, (int, np.integer)):
        raise ValueError("{}: expected an integer, got {!r}".format(name, n))
    n = int(n)
    if minimum is not None and n < minimum:
        raise ValueError("{}: expected at least {}, got {}".format(
            name, minimum, n))
    return n


def _request_frame(ids):
    return pd.DataFrame({"order_book_id": pd.Series(ids, dtype=object),
                         "col": np.arange(len(ids), dtype=np.int32)})


# -- trading calendar ----------------------------------------------------------

def _latest(store):
    if store.data_end is not None:
        return store.data_end
    today = pd.Timestamp.today().normalize()
    cal = store.calendar
    pos = cal.searchsorted(today, side="right") - 1
    return cal[pos] if pos >= 0 else None


def get_latest_trading_date():
    """The last trading date the store has daily bars for (in a store
    without bars: the last calendar date up to today)."""
    return _latest(current_store())


def get_trading_dates(start_date, end_date):
    """Trading dates from ``start_date`` to ``end_date`` inclusive."""
    store = current_store()
    start = _as_date(start_date, "start_date").normalize()
    end = _as_date(end_date, "end_date").normalize()
    if start > end:
        raise ValueError("start_date: {} is after end_date {}".format(
            start.date(), end.date()))
    cal = store.calendar
    lo, hi = cal.searchsorted(start, "left"), cal.searchsorted(end, "right")
    return pd.DatetimeIndex(cal[lo:hi], name=None)


def _calendar_step(date, n, forward):
    store = current_store()
    day = _as_date(date, "date").normalize()
    n = _as_int(n, "n", minimum=1)
    cal = store.require_calendar()
    if forward:
        pos = int(cal.searchsorted(day, side="right")) + n - 1
        if pos >= len(cal) and _projects_calendar(store):
            return _project_weekdays(max(day, cal[-1]), pos - len(cal) + 1,
                                     day, n)
    else:
        pos = int(cal.searchsorted(day, side="left")) - n
    if pos < 0 or pos >= len(cal):
        raise ValueError(
            "date: {} trading day(s) {} {} is outside the trading calendar "
            "({} to {})".format(n, "after" if forward else "before",
                                day.date(), cal[0].date(), cal[-1].date()))
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
        raise ValueError(
            "n: {} trading day(s) after {} is beyond the dates a timestamp "
            "can hold".format(n, day.date()))
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
    day = _as_date(date, "date").normalize()
    cal = store.require_calendar()
    pos = int(cal.searchsorted(day, side="right")) - 1
    if pos < 0:
        raise ValueError("date: {} is before the trading calendar".format(
            day.date()))
    return cal[pos]


# -- instruments ---------------------------------------------------------------

@dataclasses.dataclass(frozen=True)
class Instrument:
    """One listed instrument.  Dates are YYYY-MM-DD text; ``de_listed_date``
    is "0000-00-00" while the instrument is listed."""
    order_book_id: str
    symbol: str
    type: str
    exchange: str
    listed_date: str
    de_listed_date: str

    def is_listed(self, date):
        """Whether the instrument trades on ``date`` (listed on or before
        it, not yet delisted)."""
        day = _as_date(date, "date").strftime("%Y-%m-%d")
        return self.listed_date <= day and (
            self.de_listed_date == NOT_DELISTED or day < self.de_listed_date)


def _date_text(values):
    out = pd.Series(values).dt.strftime("%Y-%m-%d")
    return out.fillna(NOT_DELISTED).astype(object).to_numpy()


def instruments(order_book_ids):
    """The ``Instrument`` for one identifier (None if the store does not
    list it), or a list of them for a list of identifiers (unknown ones
    left out)."""
    ids, single = _as_ids(order_book_ids)
    table = current_store().instruments
    known = [i for i in ids if i in table.index]
    rows = table.loc[known]
    listed = _date_text(rows["listed_date"])
    delisted = _date_text(rows["de_listed_date"])
    objs = [Instrument(order_book_id=oid, symbol=sym, type=typ, exchange=ex,
                       listed_date=ld, de_listed_date=dd)
            for oid, sym, typ, ex, ld, dd in zip(
                rows["order_book_id"], rows["symbol"], rows["type"],
                rows["exchange"], listed, delisted)]
    if single:
        return objs[0] if objs else None
    return objs


def all_instruments(type=None, date=None):
    """Instruments of ``type`` ("CS" stocks, "INDX" indexes, None for all):
    a frame with columns order_book_id, symbol, type, exchange, listed_date,
    de_listed_date (YYYY-MM-DD text, "0000-00-00" while listed), sorted by
    identifier.  With ``date``, only those trading on that date (listed on or
    before it and not yet delisted)."""
    table = current_store().instruments
    if type is not None:
        from mivada.schema import INSTRUMENT_TYPES

        if type not in INSTRUMENT_TYPES:
            raise ValueError("type: unknown instrument type {!r}, expect one "
                             "of {}".format(type, list(INSTRUMENT_TYPES)))
        table = table[table["type"] == type]
    if date is not None:
        day = _as_date(date, "date").normalize()
        keep = (table["listed_date"] <= day) & (
            table["de_listed_date"].isna() | (table["de_listed_date"] > day))
        table = table[keep]
    out = table.reset_index(drop=True).copy()
    out["listed_date"] = _date_text(out["listed_date"])
    out["de_listed_date"] = _date_text(out["de_listed_date"])
    return out[["order_book_id", "symbol", "type", "exchange", "listed_date",
                "de_listed_date"]]


# -- bars ----------------------------------------------------------------------

def _daily_panel(store, ids, start, end, fields):
    """Dense (dates x ids) arrays of daily bar ``fields`` over the trading
    dates from ``start`` to ``end`` that the store has data for."""
    cal = store.calendar
    last = store.data_end
    if last is None or start > last:
        return pd.DatetimeIndex([]), {f: np.empty((0, len(ids))) for f in fields}
    end = min(end, last)
    lo, hi = int(cal.searchsorted(start, "left")), int(cal.searchsorted(end, "right"))
    dates = cal[lo:hi]
    arrays = {f: np.full((len(dates), len(ids)), np.nan) for f in fields}
    if len(dates) == 0 or not ids:
        return dates, arrays
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
    """The trading dates from ``start`` to ``end`` with bars in the store
    (those ``_daily_panel`` returns)."""
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
        raise ValueError("market: only 'cn' is served, got {!r}".format(market))
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
        raise ValueError("frequency: unsupported frequency {!r}, expect one "
                         "of {}".format(frequency, list(_FREQUENCIES)))
    store = current_store()
    ids, single_id = _as_ids(order_book_ids)
    if frequency == "tick":
        _as_fields(fields, ("last", "volume", "total_turnover"))
        return None
    allowed = DAILY_FIELDS if frequency == "1d" else MINUTE_FIELDS
    names, single_field = _as_fields(fields, allowed)
    cols = ", ".join("b." + quote_ident(f) for f in names)
    if frequency == "1d":
        start, end = _date_range(store, start_date, end_date)
        if start is None:
            return None
        time_col, table = "date", "daily_bars"
        params = [start.date(), end.date()]
        cond = "b.date BETWEEN ? AND ?"
    else:
        start, end = _minute_range(store, start_date, end_date)
        time_col, table = "datetime", "minute_bars"
        params = [start.to_pydatetime(), end.to_pydatetime()]
        cond = "b.datetime BETWEEN ? AND ?"
    got = store.fetch_numpy(
        "SELECT r.col, b.{tc}::TIMESTAMP AS {tc}, {cols} FROM {t} b "
        "JOIN req r ON b.order_book_id = r.order_book_id WHERE {cond} "
        "ORDER BY r.col, b.{tc}".format(tc=time_col, cols=cols, t=table,
                                        cond=cond),
        params, frames={"req": _request_frame(ids)})
    df = _long_frame(got, ids, time_col, names)
    if df is None:
        return None
    if not expect_df and single_id:
        df = df.droplevel("order_book_id")
        return df[names[0]] if single_field else df
    return df


def _floats(values):
    """A fetched column as float64 with NaN for SQL NULL (DuckDB hands
    columns with NULLs over as masked arrays)."""
    if isinstance(values, np.ma.MaskedArray):
        return values.astype(np.float64).filled(np.nan)
    return np.asarray(values, dtype=np.float64)


def _long_frame(got, ids, time_col, names):
    """A frame indexed by (order_book_id, time) from fetched columns ``col``
    (position in ``ids``), ``time_col`` and ``names``, already in order.
    The index is built from integer codes, never from millions of strings."""
    col = np.asarray(got["col"])
    if len(col) == 0:
        return None
    times = np.asarray(got[time_col]).astype("datetime64[ns]")
    uniq, time_codes = np.unique(times, return_inverse=True)
    index = pd.MultiIndex(
        levels=[pd.Index(ids, dtype=object), pd.DatetimeIndex(uniq)],
        codes=[col, time_codes.reshape(-1)],
        names=["order_book_id", time_col]).remove_unused_levels()
    return pd.DataFrame({f: _floats(got[f]) for f in names}, index=index)


def _minute_range(store, start_date, end_date):
    if end_date is None:
        last = _latest(store)
        end = last + pd.Timedelta(days=1) - pd.Timedelta(microseconds=1)
    else:
        end = _as_date(end_date, "end_date")
        if end == end.normalize() and not (isinstance(end_date, str) and
                                           ":" in end_date):
            # a bare date means the whole day
            end = (pd.Timestamp.max.floor("us")
                   if end >= pd.Timestamp.max.normalize() else
                   end + pd.Timedelta(days=1) - pd.Timedelta(microseconds=1))
    start = (_as_date(start_date, "start_date") if start_date is not None
             else (store.data_start or end.normalize()))
    if start > end:
        raise ValueError("start_date: {} is after end_date {}".format(start,
                                                                     end))
    return start, end


# -- exposures and factors -----------------------------------------------------

def get_style_factor_exposure(order_book_ids, start_date=None, end_date=None,
                              factors=None):
    """Style-factor exposures: a frame indexed by (order_book_id, date), one
    column per style factor (all of them when ``factors`` is None).  Rows
    exist for every day an instrument is listed.  None when nothing
    matches."""
    store = current_store()
    ids, _ = _as_ids(order_book_ids)
    names, _ = _as_fields(factors, store.style_factors, name="factors")
    start, end = _date_range(store, start_date, end_date)
    if start is None:
        return None
    if not _reusing.get():
        return _style_exposures(store, ids, start, end, names)
    key = (store.serial, tuple(ids), start, end, tuple(names))
    with _kept_lock:
        hit = [frame for k, frame in _kept["exposures"] if k == key]
    if hit:
        frame = hit[0]
    else:
        frame = _style_exposures(store, ids, start, end, names)
        with _kept_lock:
            kept = [(k, f) for k, f in _kept["exposures"]
                    if k != key and k[0] == store.serial]
            _kept["exposures"] = ([(key, frame)] + kept)[:KEPT_EXPOSURES]
    return None if frame is None else _handed_out(frame)


def _copy_on_write():
    """Whether pandas copies a shared frame before changing it (always
    from pandas 3; an option before)."""
    if int(pd.__version__.split(".")[0]) >= 3:
        return True
    try:
        return pd.get_option("mode.copy_on_write") is True
    except (KeyError, pd.errors.OptionError):
        return False


def _handed_out(frame):
    """A kept frame as a caller may have it: a shallow copy when pandas
    copies on write, otherwise a full copy (a caller's change must never
    reach what is kept)."""
    return frame.copy(deep=not _copy_on_write())


def _style_exposures(store, ids, start, end, names):
    cols = ", ".join("s." + quote_ident(f) for f in names)
    got = store.fetch_numpy(
        "SELECT r.col, s.date::TIMESTAMP AS date, {} "
        "FROM style_exposures s JOIN req r ON s.order_book_id = r.order_book_id "
        "WHERE s.date BETWEEN ? AND ? ORDER BY r.col, s.date".format(cols),
        [start.date(), end.date()], frames={"req": _request_frame(ids)})
    return _long_frame(got, ids, "date", names)


def get_factor_names():
    """Names ``get_factor`` serves: the published factors of the store and
    the daily bar fields."""
    store = current_store()
    return sorted(_stored_factor_names(store)) + list(DAILY_FIELDS)


def _stored_factor_names(store):
    names = getattr(store, "_factor_names", None)
    if names is None:
        names = {r[0] for r in store.fetchall(
            "SELECT DISTINCT factor FROM factor_values")}
        store._factor_names = names
    return names


def get_factor(order_book_ids, factor, start_date=None, end_date=None,
               universe=None, expect_df=True):
    """Factor values: a frame indexed by (order_book_id, date) with one
    column per factor name (``factor`` is a name or a list).  Names are the
    store's published factors or daily bar fields (see
    ``get_factor_names``).

    ``universe`` restricts the rows: an index identifier keeps an instrument
    only on dates it is a member of that index; a list of identifiers keeps
    only those.  Returns None when nothing matches; with ``expect_df=False``
    and one factor name, a series.
    """
    store = current_store()
    ids, _ = _as_ids(order_book_ids)
    if factor is None:
        raise ValueError("factor: name the factor(s) to load")
    stored = _stored_factor_names(store)
    names, single = _as_fields(factor, sorted(stored) + list(DAILY_FIELDS),
                               name="factor")
    start, end = _date_range(store, start_date, end_date)
    if start is None:
        return None
    params = [start.date(), end.date()]
    member_join, member_params = "", []
    if universe is not None:
        if isinstance(universe, str):
            if store.instrument_type.get(universe) != "INDX":
                raise ValueError("universe: {!r} is not an index of the store"
                                 .format(universe))
            member_join = (
                "JOIN index_members m ON m.order_book_id = x.order_book_id "
                "AND m.index_id = ? AND m.in_date <= x.date AND "
                "(m.out_date IS NULL OR x.date < m.out_date)")
            member_params = [universe]
        else:
            keep, _ = _as_ids(universe, name="universe")
            keep = set(keep)
            ids = [i for i in ids if i in keep]
    req = _request_frame(ids)
    fetched = []
    for name in names:
        if name in stored:
            source, value, cond = "factor_values", "x.value", "x.factor = ? AND "
            args = member_params + [name] + params
        else:
            source, value, cond = "daily_bars", "x." + quote_ident(name), ""
            args = member_params + params
        fetched.append(store.fetch_numpy(
            "SELECT r.col, (x.date - DATE '1970-01-01')::INTEGER AS d, "
            "{v} AS value FROM {s} x JOIN req r ON x.order_book_id = "
            "r.order_book_id {mj} WHERE {c}x.date BETWEEN ? AND ?".format(
                v=value, s=source, mj=member_join, c=cond),
            args, frames={"req": req}))
    df = _merge_long(store, ids, names, fetched)
    if df is None:
        return None
    if not expect_df and single:
        return df[names[0]]
    return df


def _merge_long(store, ids, names, fetched):
    """One long frame indexed by (order_book_id, date) from per-name fetches
    of (col, epoch day, value): values are scattered onto a dense
    dates x instruments grid, then the cells any name has a row for are read
    back instrument by instrument."""
    positions = [store.positions_of_days(got["d"]) for got in fetched]
    used = [p[p >= 0] for p in positions]
    if not any(len(u) for u in used):
        return None
    lo = min(int(u.min()) for u in used if len(u))
    hi = max(int(u.max()) for u in used if len(u)) + 1
    shape = (len(ids), hi - lo)
    present = np.zeros(shape, dtype=bool)
    grids = []
    for got, pos in zip(fetched, positions):
        ok = pos >= 0
        cols = np.asarray(got["col"])[ok]
        rows = pos[ok] - lo
        grid = np.full(shape, np.nan)
        grid[cols, rows] = _floats(got["value"])[ok]
        present[cols, rows] = True
        grids.append(grid)
    col, day = np.nonzero(present)
    index = pd.MultiIndex(
        levels=[pd.Index(ids, dtype=object),
                pd.DatetimeIndex(store.calendar[lo:hi])],
        codes=[col, day], names=["order_book_id", "date"]
    ).remove_unused_levels()
    return pd.DataFrame({n: g[col, day] for n, g in zip(names, grids)},
                        index=index)


# -- indexes -------------------------------------------------------------------

def index_components(index_id, date=None, start_date=None, end_date=None):
    """Members of index ``index_id``.

    With ``date`` (default: the latest trading date) a sorted list of
    identifiers; with ``start_date``/``end_date`` a dict mapping each
    trading date of the range to its sorted member list.  Dates the store
    has no membership for give empty lists.
    """
    store = current_store()
    if not isinstance(index_id, str) or \
            store.instrument_type.get(index_id) != "INDX":
        raise ValueError("index_id: {!r} is not an index of the store".format(
            index_id))
    ranged = start_date is not None or end_date is not None
    if ranged and date is not None:
        raise ValueError("date: give either date or start_date/end_date")
    if ranged:
        start = _as_date(start_date if start_date is not None else end_date,
                         "start_date").normalize()
        end = _as_date(end_date if end_date is not None else start_date,
                       "end_date").normalize()
        if start > end:
            raise ValueError("start_date: {} is after end_date {}".format(
                start.date(), end.date()))
        cal = store.calendar
        dates = cal[cal.searchsorted(start, "left"):cal.searchsorted(end, "right")]
    else:
        day = _as_date(date, "date").normalize() if date is not None \
            else _latest(store)
        dates = pd.DatetimeIndex([day])
    if len(dates) == 0:
        return {} if ranged else []
    runs = store.fetch_df(
        "SELECT order_book_id, in_date::TIMESTAMP AS in_date, "
        "out_date::TIMESTAMP AS out_date FROM index_members WHERE index_id = ? "
        "AND in_date <= ? AND (out_date IS NULL OR out_date > ?) "
        "ORDER BY order_book_id",
        [index_id, dates[-1].date(), dates[0].date()])
    ids = runs["order_book_id"].astype(object).to_numpy()
    d = dates.values[:, None]
    in_d = pd.to_datetime(runs["in_date"]).values.astype("datetime64[ns]")
    out_d = pd.to_datetime(runs["out_date"]).values.astype("datetime64[ns]")
    inside = (in_d[None, :] <= d) & (np.isnat(out_d)[None, :] |
                                     (d < out_d[None, :]))
    lists = [sorted(set(ids[row].tolist())) for row in inside]
    if ranged:
        return dict(zip(dates, lists))
    return lists[0]


__all__ = [
    "Instrument", "Store", "StoreError", "all_instruments", "close",
    "current_store", "get_factor", "get_factor_names",
    "get_latest_trading_date", "get_next_trading_date",
    "get_previous_trading_date", "get_price", "get_price_change_rate",
    "get_price_panel", "get_style_factor_exposure", "get_trading_dates",
    "index_components", "init", "instruments", "pinned_store", "sample_home",
    "sample_path", "sample_size", "trading_date_offset",
]
