"""Opening and querying a mivada store."""

import glob
import itertools
import os
import re
import threading

import numpy as np
import pandas as pd

from mivada.errors import StoreError  # noqa: F401  (also importable from here)
from mivada.schema import REQUIRED_TABLES, SCHEMA_VERSION, STYLE_TABLE


_serials = itertools.count(1)


class Store:
    """A read-only view of one store file.

    Small reference tables (calendar, instruments) are held in memory; bars,
    exposures and factors are queried on demand.  One lock serialises use of
    the DuckDB connection, which must not be shared between threads.
    """

    def __init__(self, path):
        self.path = os.fspath(path)
        self.serial = next(_serials)
        self._lock = threading.Lock()
        self._pins = 0
        self._retired = False
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

    # Code that must keep reading this store while another thread opens a
    # new one pins it; a store replaced while pinned closes on the last
    # unpin.
    def pin(self):
        with self._lock:
            if self._con is None:
                raise StoreError("store {} is closed".format(self.path))
            self._pins += 1

    def unpin(self):
        with self._lock:
            self._pins -= 1
            close_now = self._retired and self._pins == 0
        if close_now:
            self.close()

    def release(self):
        """Close now, or on the last unpin while pinned."""
        with self._lock:
            self._retired = True
            close_now = self._pins == 0
        if close_now:
            self.close()

    def __repr__(self):
        return "<mivada.Store {!r}>".format(self.path)

    def _using(self, frames, work):
        """``work(connection)`` while holding the lock, with ``frames`` (names
        to pandas frames or Arrow tables) readable by the statement."""
        with self._lock:
            con = self._con
            if con is None:
                raise StoreError("store {} is closed".format(self.path))
            registered = []
            try:
                for name, frame in (frames or {}).items():
                    con.register(name, frame)
                    registered.append(name)
                return work(con)
            finally:
                for name in registered:
                    con.unregister(name)

    def _run(self, fetch, sql, params=None, frames=None):
        """Run ``sql`` and fetch its result while holding the lock."""
        return self._using(frames, lambda con: fetch(con.execute(sql, params or [])))

    def fetchall(self, sql, params=None, frames=None):
        return self._run(lambda r: r.fetchall(), sql, params, frames)

    def fetch_numpy(self, sql, params=None, frames=None):
        return self._run(lambda r: r.fetchnumpy(), sql, params, frames)

    def fetch_df(self, sql, params=None, frames=None):
        return self._run(lambda r: r.df(), sql, params, frames)

    def fetch_batches(self, sql, params=None, frames=None):
        """The result as a list of batches, each a dict column -> numpy
        array (float columns with NaN for SQL NULL), read through Arrow:
        numeric columns without NULL come over without a copy.  Falls back
        to ``fetch_numpy`` (one batch) where this DuckDB has no relation
        API taking parameters."""

        def work(con):
            try:
                rel = con.sql(sql, params=params or [])
            except TypeError:
                rel = None
            if rel is None:
                got = con.execute(sql, params or []).fetchnumpy()
                return [{k: _masked_values(v) for k, v in got.items()}]
            fetch = (
                getattr(rel, "to_arrow_table", None)
                or getattr(rel, "fetch_arrow_table", None)
                or rel.arrow
            )
            return [
                {name: _column_values(batch.column(k)) for k, name in enumerate(batch.schema.names)}
                for batch in fetch().to_batches()
                if batch.num_rows
            ]

        return self._using(frames, work)

    # -- reference data ----------------------------------------------------
    def _load_reference(self):
        con = self._con
        meta = dict(con.execute("SELECT key, value FROM meta").fetchall())
        self.meta = meta
        days = con.execute(
            "SELECT (date - DATE '1970-01-01')::INTEGER AS d FROM trading_calendar ORDER BY date"
        ).fetchnumpy()["d"]
        days = np.asarray(days, dtype=np.int64)
        self.calendar_days = days
        self.calendar = pd.DatetimeIndex(days.astype("datetime64[D]").astype("datetime64[ns]"))
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
            "de_listed_date FROM instruments ORDER BY order_book_id"
        ).df()
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
            [STYLE_TABLE],
        ).fetchall()
        self.style_factors = [c[0] for c in cols if c[0] not in ("order_book_id", "date")]

    def require_calendar(self):
        """The trading calendar; StoreError when the store has none."""
        if len(self.calendar) == 0:
            raise StoreError(
                "{}: the store's trading calendar is empty; ingest "
                "a trading_calendar or daily_bars file".format(self.path)
            )
        return self.calendar

    def positions_of_days(self, days):
        """Calendar positions of epoch days (int array); -1 where not a
        trading day."""
        idx = np.subtract(days, self._day0, dtype=np.int64)
        if not len(idx) or (idx.min() >= 0 and idx.max() < len(self._day_lookup)):
            return self._day_lookup.take(idx)
        ok = (idx >= 0) & (idx < len(self._day_lookup))
        out = np.full(idx.shape, -1, dtype=np.int64)
        out[ok] = self._day_lookup[idx[ok]]
        return out


def _column_values(column):
    """An Arrow array as a numpy array (no copy for numbers without NULL);
    NULL is NaN."""
    import pyarrow as pa

    if column.null_count == 0 or pa.types.is_floating(column.type):
        return column.to_numpy(zero_copy_only=False)
    return column.to_numpy(zero_copy_only=False).astype(np.float64)


def _masked_values(values):
    if isinstance(values, np.ma.MaskedArray):
        return values.astype(np.float64).filled(np.nan)
    return np.asarray(values)


def _is_lock_error(exc):
    text = str(exc).lower()
    return "lock" in text and ("conflicting" in text or "could not set" in text)


def describe_duckdb_error(path, exc):
    """A StoreError naming ``path`` and the cause of a DuckDB failure."""
    text = _first_line(exc)
    if _is_lock_error(exc):
        holder = re.search(r"held in (.*?) \(PID (\d+)\)", text)
        return StoreError(
            "{} is locked by another process{} (close it there first)".format(
                path,
                ""
                if holder is None
                else " ({}, PID {})".format(os.path.basename(holder.group(1)), holder.group(2)),
            )
        )
    low = text.lower()
    if "permission denied" in low or "read-only" in low or "read only" in low:
        return StoreError("cannot write {}: {}".format(path, text))
    return StoreError("cannot use {} as a mivada store: {}".format(path, text))


def remove_stale_temp_files(path):
    """Remove ``<path>.tmp-<pid>`` files (and their WAL) that an import or a
    sample generation killed before it finished left behind.  Files of a
    process that is still running are kept."""
    for leftover in glob.glob(glob.escape(os.fspath(path)) + ".tmp-*"):
        pid = leftover.rsplit(".tmp-", 1)[1]
        if pid.endswith(".wal"):
            pid = pid[: -len(".wal")]
        if not pid.isdigit() or _process_alive(int(pid)):
            continue
        try:
            os.remove(leftover)
        except OSError:
            pass


def _process_alive(pid):
    if pid == os.getpid():
        return True
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except OSError:
        return True
    return True


def _check_columns(con, path, tables):
    """StoreError when a fixed table lacks a column of the schema."""
    from mivada.schema import TABLES_DDL

    rows = con.execute("SELECT table_name, column_name FROM information_schema.columns").fetchall()
    have = {}
    for t, c in rows:
        have.setdefault(t, set()).add(c.lower())
    problems = []
    for table in TABLES_DDL:
        ddl = TABLES_DDL[table]
        body = ddl[ddl.index("(") + 1 : ddl.rindex(")")]
        want = [line.strip().split()[0] for line in body.split(",\n") if line.strip()]
        missing = [c for c in want if c.lower() not in have.get(table, set())]
        if missing:
            problems.append("{} lacks {}".format(table, missing))
    style = have.get("style_exposures", set())
    for c in ("order_book_id", "date"):
        if c not in style:
            problems.append("style_exposures lacks {!r}".format(c))
    if problems:
        raise StoreError("{} is not a complete mivada store: {}".format(path, "; ".join(problems)))


def connect(path=None, read_only=False):
    """A DuckDB connection to ``path`` (in memory without one) with progress
    bars off where the front end lets us turn them off.

    Inside a Jupyter kernel without ipywidgets DuckDB refuses to change any
    progress-bar setting (it shows no bars there anyway), so the setting is
    asked for but never decides whether a connection opens."""
    import duckdb

    con = duckdb.connect(":memory:" if path is None else path, read_only=read_only)
    try:
        con.execute("SET enable_progress_bar = false")
    except duckdb.Error:
        pass
    return con


# What a file that is not a DuckDB database holds, by its first bytes.
_MAGIC = (
    (b"SQLite format 3\x00", "an SQLite database"),
    (b"PAR1", "a Parquet file"),
    (b"PK\x03\x04", "a zip archive (or an Excel workbook)"),
    (b"\x1f\x8b", "a gzip-compressed file"),
    (b"\x89HDF", "an HDF5 file"),
    (b"ARROW1", "an Arrow file"),
    (b"\x80", "a Python pickle"),
)


def _not_a_database(path):
    """What ``path`` is, when its first bytes show it is no DuckDB database:
    text naming the kind of file (with a hint for tables), or None for a
    file that looks like a DuckDB database (a corrupt one, or one of another
    DuckDB version)."""
    try:
        with open(path, "rb") as fh:
            head = fh.read(4096)
    except OSError:
        return None
    if len(head) >= 12 and head[8:12] == b"DUCK":
        return None
    if not head:
        return "an empty file"
    for magic, kind in _MAGIC:
        if head.startswith(magic):
            return kind
    try:
        text = head.decode("utf-8-sig")
    except UnicodeDecodeError:
        return "a binary file that is no database"
    first = text.splitlines()[0] if text.splitlines() else ""
    if "," in first or "\t" in first or ";" in first:
        return (
            "a text table (CSV); import table files into a store with "
            "`python -m mivada ingest DIR --store PATH`"
        )
    return "a text file"


def _connect_checked(path):
    if not os.path.exists(path):
        raise StoreError("no mivada store at {}".format(path))
    if os.path.isdir(path):
        raise StoreError("{} is a directory, not a mivada store".format(path))
    kind = _not_a_database(path)
    if kind is not None:
        raise StoreError(
            "cannot open {} as a mivada store: it is {}, not a DuckDB database".format(path, kind)
        )
    import duckdb

    try:
        con = connect(path, read_only=True)
    except duckdb.Error as exc:
        if _is_lock_error(exc):
            raise describe_duckdb_error(path, exc) from None
        raise StoreError(
            "cannot open {} as a mivada store (a corrupt DuckDB "
            "database, or one written by another DuckDB "
            "version): {}".format(path, _first_line(exc))
        ) from None
    try:
        tables = {
            r[0] for r in con.execute("SELECT table_name FROM information_schema.tables").fetchall()
        }
        if "meta" not in tables:
            raise StoreError(
                "{} is a DuckDB database but not a mivada store (no meta table)".format(path)
            )
        row = con.execute("SELECT value FROM meta WHERE key = 'schema_version'").fetchone()
        if row is None:
            raise StoreError("{} has no schema version".format(path))
        if row[0] != str(SCHEMA_VERSION):
            raise StoreError(
                "{} has store schema version {}, this mivada reads version {}; "
                "regenerate the sample or re-ingest the data".format(path, row[0], SCHEMA_VERSION)
            )
        missing = [t for t in REQUIRED_TABLES if t not in tables]
        if missing:
            raise StoreError("{} lacks the tables {}".format(path, missing))
        _check_columns(con, path, tables)
    except StoreError:
        con.close()
        raise
    except duckdb.Error as exc:
        con.close()
        raise StoreError(
            "cannot read {} as a mivada store: {}".format(path, _first_line(exc))
        ) from None
    return con


def _first_line(exc):
    text = str(exc).strip()
    return text.splitlines()[0] if text else type(exc).__name__
