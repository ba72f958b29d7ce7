"""Opening and querying a mivada store."""
import os
import threading

import numpy as np
import pandas as pd

from mivada.schema import REQUIRED_TABLES, SCHEMA_VERSION, STYLE_TABLE


class StoreError(RuntimeError):
    """A store is missing, unreadable or of another schema version."""


class Store:
    """A read-only view of one store file.

    Small reference tables (calendar, instruments) are held in memory; bars,
    exposures and factors are queried on demand.  One lock serialises use of
    the DuckDB connection, which must not be shared between threads.
    """

    def __init__(self, path):
        self.path = os.fspath(path)
        self._lock = threading.Lock()
        self._con = _connect_checked(self.path)
        try:
            self._load_reference()
        except Exception:
            self._con.close()
            raise

    # -- lifecycle ---------------------------------------------------------
    def close(self):
        with self._lock:
            if self._con is not None:
                self._con.close()
                self._con = None

    def __repr__(self):
        return "<mivada.Store {!r}>".format(self.path)

    def _run(self, fetch, sql, params=None, frames=None):
        """Run ``sql`` and fetch its result while holding the lock; ``frames``
        maps names to pandas frames the statement may read."""
        with self._lock:
            con = self._con
            if con is None:
                raise StoreError("store {} is closed".format(self.path))
            registered = []
            try:
                for name, frame in (frames or {}).items():
                    con.register(name, frame)
                    registered.append(name)
                return fetch(con.execute(sql, params or []))
            finally:
                for name in registered:
                    con.unregister(name)

    def fetchall(self, sql, params=None, frames=None):
        return self._run(lambda r: r.fetchall(), sql, params, frames)

    def fetch_numpy(self, sql, params=None, frames=None):
        return self._run(lambda r: r.fetchnumpy(), sql, params, frames)

    def fetch_df(self, sql, params=None, frames=None):
        return self._run(lambda r: r.df(), sql, params, frames)

    # -- reference data ----------------------------------------------------
    def _load_reference(self):
        con = self._con
        meta = dict(con.execute("SELECT key, value FROM meta").fetchall())
        self.meta = meta
        days = con.execute(
            "SELECT (date - DATE '1970-01-01')::INTEGER AS d "
            "FROM trading_calendar ORDER BY date").fetchnumpy()["d"]
        days = np.asarray(days, dtype=np.int64)
        self.calendar_days = days
        self.calendar = pd.DatetimeIndex(
            days.astype("datetime64[D]").astype("datetime64[ns]"))
        if len(days):
            lo, hi = int(days[0]), int(days[-1])
            lookup = np.full(hi - lo + 1, -1, dtype=np.int64)
            lookup[days - lo] = np.arange(len(days))
        else:
            lo, lookup = 0, np.empty(0, dtype=np.int64)
        self._day0 = lo
        self._day_lookup = lookup

        inst = con.execute(
            "SELECT order_book_id, symbol, type, exchange, listed_date, "
            "de_listed_date FROM instruments ORDER BY order_book_id").df()
        for col in ("listed_date", "de_listed_date"):
            inst[col] = pd.to_datetime(inst[col]).astype("datetime64[ns]")
        self.instruments = inst.set_index("order_book_id", drop=False)
        self.instrument_type = self.instruments["type"].to_dict()

        last = con.execute("SELECT max(date) FROM daily_bars").fetchone()[0]
        self.data_end = None if last is None else pd.Timestamp(last)
        first = con.execute("SELECT min(date) FROM daily_bars").fetchone()[0]
        self.data_start = None if first is None else pd.Timestamp(first)

        cols = con.execute(
            "SELECT column_name FROM information_schema.columns "
            "WHERE table_name = ? ORDER BY ordinal_position",
            [STYLE_TABLE]).fetchall()
        self.style_factors = [c[0] for c in cols
                              if c[0] not in ("order_book_id", "date")]

    def positions_of_days(self, days):
        """Calendar positions of epoch days (int array); -1 where not a
        trading day."""
        days = np.asarray(days, dtype=np.int64)
        idx = days - self._day0
        ok = (idx >= 0) & (idx < len(self._day_lookup))
        if ok.all():
            return self._day_lookup[idx]
        out = np.full(days.shape, -1, dtype=np.int64)
        out[ok] = self._day_lookup[idx[ok]]
        return out


def _connect_checked(path):
    if not os.path.exists(path):
        raise StoreError("no mivada store at {}".format(path))
    if os.path.isdir(path):
        raise StoreError("{} is a directory, not a mivada store".format(path))
    import duckdb

    try:
        con = duckdb.connect(path, read_only=True)
    except duckdb.Error as exc:
        raise StoreError("cannot open {} as a mivada store (not a DuckDB "
                         "database, or corrupt): {}".format(path, exc)) from None
    try:
        con.execute("SET enable_progress_bar = false")
        tables = {r[0] for r in con.execute(
            "SELECT table_name FROM information_schema.tables").fetchall()}
        if "meta" not in tables:
            raise StoreError("{} is a DuckDB database but not a mivada store "
                             "(no meta table)".format(path))
        row = con.execute(
            "SELECT value FROM meta WHERE key = 'schema_version'").fetchone()
        if row is None:
            raise StoreError("{} has no schema version".format(path))
        if row[0] != str(SCHEMA_VERSION):
            raise StoreError(
                "{} has store schema version {}, this mivada reads version {}; "
                "regenerate the sample or re-ingest the data".format(
                    path, row[0], SCHEMA_VERSION))
        missing = [t for t in REQUIRED_TABLES if t not in tables]
        if missing:
            raise StoreError("{} lacks the tables {}".format(path, missing))
    except StoreError:
        con.close()
        raise
    except duckdb.Error as exc:
        con.close()
        raise StoreError("cannot read {} as a mivada store: {}".format(
            path, exc)) from None
    return con
