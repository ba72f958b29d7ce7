"""Import of users' own market data from CSV or Parquet files.

A directory holds one file per table, named after the table
(``daily_bars.csv`` or ``daily_bars.parquet``, ...); the column layout of each
table is documented in README.md next to this module.  Every file is read and
checked completely before anything is written: column names, value types,
duplicate keys (within the files and against the store), dates (trading
dates, listing periods) and references (bars of unknown instruments, members
of unknown indexes, ...).  The write is one transaction, and a new store is
built in a temporary file renamed into place, so a failed import leaves the
store exactly as it was.
"""

import contextlib
import os
import time
import warnings

import numpy as np
import pandas as pd

from mivada.errors import (
    MAX_REPORTED,
    ArgumentError,
    IngestError,
    IngestStoreError,
    StoreError,
    argument_error,
)
from mivada.market_rules import BOARDS
from mivada.schema import (
    DAILY_FIELDS,
    INDUSTRY_SOURCES,
    INSTRUMENT_TYPES,
    MINUTE_FIELDS,
    OPTIONAL_TABLES_DDL,
    STYLE_TABLE,
    create_schema,
    quote_ident,
)
from mivada.store import connect, describe_duckdb_error, remove_stale_temp_files
from mivada.utils import FIRST_DAY, LAST_DAY, parse_dates

__all__ = ["IngestError", "ingest"]

# daily limit prices may come with the bars; they go into price_limits
LIMIT_FIELDS = ("limit_up", "limit_down")


# column kinds: text, date, zero_date (date or "0000-00-00"), timestamp,
# number, int.  (name, kind, required)
TABLES = {
    "trading_calendar": {"key": ("date",), "columns": [("date", "date", True)]},
    "instruments": {
        "key": ("order_book_id",),
        "columns": [
            ("order_book_id", "text", True),
            ("symbol", "text", False),
            ("type", "text", True),
            ("exchange", "text", False),
            ("listed_date", "date", True),
            ("de_listed_date", "zero_date", False),
        ],
    },
    "daily_bars": {
        "key": ("order_book_id", "date"),
        "columns": [("order_book_id", "text", True), ("date", "date", True)]
        + [(f, "number", f == "close") for f in DAILY_FIELDS + LIMIT_FIELDS],
    },
    "minute_bars": {
        "key": ("order_book_id", "datetime"),
        "columns": [("order_book_id", "text", True), ("datetime", "timestamp", True)]
        + [(f, "number", f == "close") for f in MINUTE_FIELDS],
    },
    "industry_records": {
        "key": ("source", "order_book_id", "start_date", "version"),
        "columns": [
            ("source", "text", True),
            ("order_book_id", "text", True),
            ("start_date", "date", True),
            ("industry_name", "text", True),
            ("version", "int", False),
        ],
    },
    "index_members": {
        "key": ("index_id", "order_book_id", "in_date"),
        "columns": [
            ("index_id", "text", True),
            ("order_book_id", "text", True),
            ("in_date", "date", True),
            ("out_date", "date", False),
        ],
    },
    "board_records": {
        "key": ("order_book_id", "start_date"),
        "columns": [
            ("order_book_id", "text", True),
            ("start_date", "date", True),
            ("board", "text", True),
        ],
    },
    "st_records": {
        "key": ("order_book_id", "start_date"),
        "columns": [
            ("order_book_id", "text", True),
            ("start_date", "date", True),
            ("end_date", "zero_date", False),
        ],
    },
    STYLE_TABLE: {
        "key": ("order_book_id", "date"),
        "wide": True,
        "columns": [("order_book_id", "text", True), ("date", "date", True)],
    },
    "factor_values": {
        "key": ("order_book_id", "date", "factor"),
        "wide": True,
        "columns": [
            ("order_book_id", "text", True),
            ("date", "date", True),
            ("factor", "text", False),
            ("value", "number", False),
        ],
    },
}
# Written in this order: referenced tables first.
TABLE_ORDER = (
    "trading_calendar",
    "instruments",
    "daily_bars",
    "minute_bars",
    "industry_records",
    "index_members",
    "board_records",
    "st_records",
    STYLE_TABLE,
    "factor_values",
)


class _Batch:
    """One table's rows, converted, with a label per row for messages."""

    def __init__(self, table, filename, frame, rows, row_word):
        self.table, self.filename = table, filename
        self.frame, self.rows, self.row_word = frame, rows, row_word

    def where(self, i):
        return "{} {}".format(self.row_word, self.rows[i])


def ingest(directory, path, *, create=None, date_format=None):
    """Import the table files of ``directory`` into the store at ``path``.

    A missing store is created (``create=False`` forbids that, ``create=True``
    requires it).  ``date_format`` (strftime codes, such as "%d/%m/%Y")
    reads the text dates of the files in that format; without it dates
    are ISO 8601 or YYYYMMDD, and dates like 03/04/2023 are read only when
    the values settle whether the day or the month comes first.  Returns a
    dict table -> number of rows imported.  Raises ``IngestError`` (a
    ``ValueError``) listing file, row and problem when anything is wrong;
    when the store cannot be written (read-only, locked by another process,
    not a store) the ``IngestError`` is also a ``StoreError`` and names the
    store and the cause.  Nothing is written then.

    Imports into one folder take turns: an import that finds another one
    creating or extending a store there waits for it to finish, so two
    processes creating the same store never both create it (the second
    extends what the first made, or is refused as any import would be).

    A store made from bars alone has a calendar ending on its last bar;
    calendar steps past it are projected on weekdays.  To add the coming
    trading dates with their holidays, import a ``trading_calendar`` file
    listing them (known dates are skipped, so the file may repeat the past).
    """
    directory = os.fspath(directory)
    path = os.path.abspath(os.fspath(path))
    if not os.path.isdir(directory):
        raise argument_error(
            "directory", "a folder of table files", "{}, which is not a folder".format(directory)
        )
    if date_format is not None and not isinstance(date_format, str):
        raise argument_error(
            "date_format", "strftime codes as text, such as '%d/%m/%Y'", repr(date_format)
        )
    _check_writable(path, create)

    problems = []
    batches = _read_directory(directory, problems, date_format)
    if problems:
        raise IngestError(problems)

    from mivada import api

    import duckdb

    with _import_lock(path):
        exists = _check_writable(path, create)
        current = api._state["store"]
        reopen = current is not None and os.path.abspath(current.path) == path
        if reopen:
            api.close()
        try:
            if exists:
                return _ingest_existing(path, batches)
            return _ingest_new(path, batches)
        except duckdb.Error as exc:
            # locked by another process, no space, no permission ...
            raise IngestStoreError(path, str(describe_duckdb_error(path, exc))) from None
        except StoreError as exc:
            if isinstance(exc, IngestError):
                raise
            raise IngestStoreError(path, str(exc)) from None
        finally:
            if reopen:
                api.init(path)


def _check_writable(path, create):
    """Whether the store exists; ``IngestStoreError`` when it cannot be
    written, ``ArgumentError`` when ``create`` says otherwise."""
    exists = os.path.exists(path)
    folder = os.path.dirname(path)
    if exists and not os.access(path, os.W_OK):
        raise IngestStoreError(path, "cannot write {}: the file is read-only".format(path))
    if os.path.isdir(folder) and not os.access(folder, os.W_OK):
        raise IngestStoreError(
            path, "cannot write {}: the folder {} is read-only".format(path, folder)
        )
    if create is True and exists:
        raise argument_error(
            "path", "a store that does not exist yet (create=True)", "{}, which exists".format(path)
        )
    if create is False and not exists:
        raise IngestStoreError(path, "no mivada store at {}".format(path))
    return exists


@contextlib.contextmanager
def _import_lock(path, poll=0.1):
    """Hold the import lock of the store's folder: one import at a time
    creates or extends a store there.  Waits for an import running in
    another process."""
    try:
        import fcntl
    except ImportError:  # no advisory locks on this system
        yield
        return
    folder = os.path.dirname(path)
    os.makedirs(folder, exist_ok=True)
    try:
        fd = os.open(folder, os.O_RDONLY)
    except OSError:
        yield
        return
    try:
        waited = False
        while True:
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                break
            except BlockingIOError:
                if not waited:
                    waited = True
                    warnings.warn(
                        "waiting for another import into {} to finish".format(folder), stacklevel=4
                    )
                time.sleep(poll)
        yield
    finally:
        os.close(fd)  # releases the lock


# -- reading and converting ----------------------------------------------------


def _read_directory(directory, problems, date_format=None):
    found = {}
    for name in sorted(os.listdir(directory)):
        full = os.path.join(directory, name)
        if name.startswith(".") or not os.path.isfile(full):
            continue
        stem, ext = _split_name(name)
        if ext is None:
            problems.append((name, None, "not a .csv or .parquet file"))
            continue
        if stem not in TABLES:
            problems.append(
                (name, None, "unknown table {!r}, expect one of {}".format(stem, list(TABLE_ORDER)))
            )
            continue
        if stem in found:
            problems.append((name, None, "table {} is also given by {}".format(stem, found[stem])))
            continue
        found[stem] = name
    if not found and not problems:
        problems.append((directory, None, "no table files found"))
    batches = {}
    for table, name in found.items():
        batch = _read_table(table, os.path.join(directory, name), name, problems, date_format)
        if batch is not None:
            batches[table] = batch
    return batches


def _split_name(name):
    for ext in (".csv", ".parquet"):
        if name.lower().endswith(ext):
            return name[: -len(ext)], ext
    return name, None


def _read_table(table, full, name, problems, date_format=None):
    try:
        if name.lower().endswith(".csv"):
            raw = pd.read_csv(
                full,
                dtype=str,
                keep_default_na=False,
                encoding="utf-8-sig",
                na_values=[""],
                skipinitialspace=True,
                skip_blank_lines=False,
            )
            rows, word = np.arange(len(raw)) + 2, "line"
            # blank lines are skipped but still counted
            filled = raw.notna().any(axis=1).to_numpy()
            raw, rows = raw[filled].reset_index(drop=True), rows[filled]
        else:
            con = connect()
            try:
                raw = con.execute("SELECT * FROM read_parquet(?)", [full]).df()
            finally:
                con.close()
            rows, word = np.arange(len(raw)) + 1, "row"
    except Exception as exc:  # any reader failure is a problem of the file
        problems.append(
            (
                name,
                None,
                "cannot read: {}".format(
                    str(exc).splitlines()[0] if str(exc) else type(exc).__name__
                ),
            )
        )
        return None
    blank = _blank_header_columns(full, name, raw)
    if blank:
        problems.append(
            (
                name,
                None,
                "blank column name(s) in the header at position(s) {} (counting from 1)".format(
                    blank
                ),
            )
        )
        return None
    raw.columns = [str(c).strip() for c in raw.columns]
    # The store's column names ignore letter case.
    folded = {}
    for c in raw.columns:
        folded.setdefault(c.lower(), []).append(c)
    clash = [v for v in folded.values() if len(v) > 1 and len(set(v)) > 1]
    if clash:
        problems.append(
            (
                name,
                None,
                "column names {} differ only in letter "
                "case; the store's column names ignore case".format(clash[0]),
            )
        )
        return None
    layout = TABLES[table]
    known = {c[0] for c in layout["columns"]}
    dup_cols = raw.columns[raw.columns.duplicated()].tolist()
    if dup_cols:
        problems.append((name, None, "repeated column(s) {}".format(dup_cols)))
        return None
    header_problems = len(problems)
    missing = [c for c, _, req in layout["columns"] if req and c not in raw.columns]
    extra = [c for c in raw.columns if c not in known]
    if table == "factor_values":
        long_form = "factor" in raw.columns or "value" in raw.columns
        if long_form:
            missing += [c for c in ("factor", "value") if c not in raw.columns]
            if extra:
                problems.append(
                    (
                        name,
                        None,
                        "unexpected column(s) {} in the "
                        "long layout (order_book_id, date, factor, "
                        "value)".format(extra),
                    )
                )
        elif not extra:
            problems.append((name, None, "no factor columns"))
        else:
            problems.extend((name, None, _bar_name("column", c)) for c in extra if _is_bar_field(c))
    elif not layout.get("wide") and extra:
        problems.append(
            (
                name,
                None,
                "unexpected column(s) {}, expect {}".format(
                    extra, [c[0] for c in layout["columns"]]
                ),
            )
        )
    elif layout.get("wide") and not extra:
        problems.append((name, None, "no style factor columns"))
    if missing:
        problems.append((name, None, "missing column(s) {}".format(missing)))
    if len(problems) > header_problems:
        return None

    before = len(problems)
    out = pd.DataFrame(index=raw.index)
    kinds = {c: k for c, k, _ in layout["columns"]}
    if layout.get("wide"):
        for c in extra:
            kinds[c] = "number"
    required = {c for c, _, req in layout["columns"] if req}
    for col in raw.columns:
        out[col] = _convert(
            raw[col], kinds[col], col in required, name, col, rows, word, problems, date_format
        )
    if len(problems) > before:
        return None
    if table == "factor_values" and "factor" not in out.columns:
        out = out.melt(
            id_vars=["order_book_id", "date"],
            var_name="factor",
            value_name="value",
            ignore_index=False,
        )
        rows = rows[out.index.to_numpy()]
        out = out.reset_index(drop=True)
    batch = _Batch(table, name, out.reset_index(drop=True), np.asarray(rows), word)
    _check_rows(batch, problems)
    if len(problems) > before:
        return None
    return batch


def _blank_header_columns(full, name, raw):
    """1-based positions of header cells that are empty."""
    if name.lower().endswith(".csv"):
        import csv

        with open(full, newline="", encoding="utf-8-sig") as fh:
            header = next(csv.reader(fh), [])
        return [i + 1 for i, c in enumerate(header) if not c.strip()]
    return [i + 1 for i, c in enumerate(raw.columns) if not str(c).strip()]


def _to_timestamps(text, blank, col="column 'date'", date_format=None, timestamps=False):
    """Date-like values as datetime64[ns] (NaT where unreadable), read as
    ``mivada.utils.parse_dates`` reads dates (integers as YYYYMMDD, text in
    ``date_format`` or ISO 8601, day/month order settled by the values),
    and a mask of readable dates outside what a nanosecond timestamp holds.
    ``timestamps``: ``date_format`` gives the date part of each value, a
    time of day may follow.  ``ArgumentError`` naming ``col`` when the
    column as a whole cannot be read (day/month order unsettled)."""
    values = text.where(~np.asarray(blank), None)
    if timestamps and date_format is not None:
        values = _iso_day_first(values, date_format)
        date_format = None
    parsed, far, _ = parse_dates(values, col, date_format)
    parsed.index = text.index
    return parsed, far


def _iso_day_first(values, date_format):
    """Text timestamps whose date part is written in ``date_format``, with
    that part rewritten as YYYY-MM-DD (values it does not fit are kept, to
    be refused by the reader)."""
    text = values.astype(object)
    is_text = text.map(lambda v: isinstance(v, str)).to_numpy(bool)
    if not is_text.any():
        return values
    parts = text[is_text].str.strip().str.split(n=1, expand=True)
    day = pd.to_datetime(parts[0], format=date_format, errors="coerce")
    rest = parts[1].fillna("") if 1 in parts else ""
    iso = (day.dt.strftime("%Y-%m-%d") + " " + rest).str.strip()
    out = text.copy()
    out[is_text] = iso.where(day.notna(), text[is_text])
    return out


def _convert(series, kind, required, fname, col, rows, word, problems, date_format=None):
    blank = series.isna()
    if series.dtype == object or pd.api.types.is_string_dtype(series):
        text = series.astype(object).where(~blank, None)
        text = text.map(lambda v: v.strip() if isinstance(v, str) else v)
        blank = text.isna() | (text == "")
    else:
        text = series
    if kind == "zero_date":
        blank = blank | (text == "0000-00-00")
    if kind == "text":
        values = text.map(
            lambda v: None if v is None or (isinstance(v, float) and np.isnan(v)) else str(v)
        )
        values = values.where(~blank, None).astype(object)
        bad = np.zeros(len(values), dtype=bool)
    elif kind in ("date", "zero_date", "timestamp"):
        try:
            values, far = _to_timestamps(
                text, blank, "column {!r}".format(col), date_format, timestamps=kind == "timestamp"
            )
        except ArgumentError as exc:
            problems.append(
                (fname, None, "{} as date_format (--date-format on the command line)".format(exc))
            )
            return pd.Series(pd.NaT, index=series.index, dtype="datetime64[ns]")
        for i in np.flatnonzero(far):
            problems.append(
                (
                    fname,
                    "{} {}".format(word, rows[i]),
                    "column {!r}: {!r} is outside the dates a timestamp can hold ({} to {})".format(
                        col, series.iloc[i], FIRST_DAY.date(), LAST_DAY.date()
                    ),
                )
            )
        bad = values.isna() & ~blank & ~far
        if kind != "timestamp":
            timed = values.notna() & (values != values.dt.normalize())
            bad = bad | timed
    else:
        values = pd.to_numeric(text.where(~blank, None), errors="coerce")
        values = values.astype(np.float64)
        bad = (values.isna() & ~blank) | np.isinf(values)
        if kind == "int":
            bad = bad | (values.notna() & (values != np.round(values)))
            values = values.astype("Int64")
    if required:
        for i in np.flatnonzero(blank.to_numpy()):
            problems.append(
                (fname, "{} {}".format(word, rows[i]), "column {!r} is empty".format(col))
            )
    for i in np.flatnonzero(np.asarray(bad)):
        problems.append(
            (
                fname,
                "{} {}".format(word, rows[i]),
                "column {!r}: {!r} is not {}".format(col, series.iloc[i], _KIND_TEXT[kind]),
            )
        )
    return values


_KIND_TEXT = {
    "date": "a date (YYYY-MM-DD)",
    "zero_date": "a date (YYYY-MM-DD) or 0000-00-00",
    "timestamp": "a timestamp (YYYY-MM-DD HH:MM:SS)",
    "number": "a finite number",
    "int": "an integer",
    "text": "text",
}


# A published factor may not take a bar field's name: ``get_factor`` serves
# the bar field under that name.
def _bar_name(what, name):
    return (
        "{} {!r}: a published factor cannot take the name of the daily "
        "bar field {!r} (get_factor serves the bar under it); rename the "
        "factor".format(what, name, name.strip().lower())
    )


def _is_bar_field(name):
    return isinstance(name, str) and name.strip().lower() in DAILY_FIELDS


def _flag(batch, mask, text, problems):
    for i in np.flatnonzero(np.asarray(mask, dtype=bool)):
        problems.append((batch.filename, batch.where(i), text(i)))


def _check_rows(batch, problems):
    """Checks that need only the row itself, then duplicate keys."""
    f = batch.frame
    t = batch.table
    if t == "instruments":
        _flag(
            batch,
            ~f["type"].isin(INSTRUMENT_TYPES),
            lambda i: "type {!r} is not one of {}".format(f["type"].iat[i], list(INSTRUMENT_TYPES)),
            problems,
        )
        if "de_listed_date" in f:
            _flag(
                batch,
                f["de_listed_date"].notna() & (f["de_listed_date"] <= f["listed_date"]),
                lambda i: "de_listed_date is not after listed_date",
                problems,
            )
    if t in ("daily_bars", "minute_bars"):
        for col in ("open", "high", "low", "close", "prev_close"):
            if col in f:
                _flag(
                    batch, f[col] <= 0, lambda i, c=col: "{} must be positive".format(c), problems
                )
        for col in ("volume", "total_turnover"):
            if col in f:
                _flag(
                    batch,
                    f[col] < 0,
                    lambda i, c=col: "{} must not be negative".format(c),
                    problems,
                )
        if "high" in f and "low" in f:
            _flag(batch, f["high"] < f["low"], lambda i: "high is below low", problems)
        for col in LIMIT_FIELDS:
            if col in f:
                _flag(
                    batch, f[col] <= 0, lambda i, c=col: "{} must be positive".format(c), problems
                )
        if all(c in f for c in LIMIT_FIELDS):
            _flag(
                batch,
                f["limit_up"] < f["limit_down"],
                lambda i: "limit_up is below limit_down",
                problems,
            )
    if t == "board_records":
        known = f["board"].str.strip().str.lower().isin(BOARDS).to_numpy(bool)
        _flag(
            batch,
            ~known,
            lambda i: "board {!r} is not one of {}".format(f["board"].iat[i], list(BOARDS)),
            problems,
        )
    if t == "st_records" and "end_date" in f:
        _flag(
            batch,
            f["end_date"].notna() & (f["end_date"] <= f["start_date"]),
            lambda i: "end_date is not after start_date",
            problems,
        )
    if t == "industry_records":
        _flag(
            batch,
            ~f["source"].isin(INDUSTRY_SOURCES),
            lambda i: "source {!r} is not one of {}".format(
                f["source"].iat[i], list(INDUSTRY_SOURCES)
            ),
            problems,
        )
        version = (
            f["version"] if "version" in f else pd.Series(pd.array([pd.NA] * len(f), dtype="Int64"))
        )
        sws = (f["source"] == "sws").to_numpy()
        ok_version = version.isin([1, 2, 3]).fillna(False).to_numpy(bool)
        _flag(
            batch, sws & ~ok_version, lambda i: "sws records need a version of 1, 2 or 3", problems
        )
        _flag(
            batch,
            ~sws & version.notna().to_numpy(bool),
            lambda i: "only sws records carry a version",
            problems,
        )
    if t == "factor_values":
        _flag(
            batch,
            f["factor"].map(_is_bar_field).to_numpy(bool),
            lambda i: _bar_name("factor", f["factor"].iat[i]),
            problems,
        )
    if t == "index_members" and "out_date" in f:
        _flag(
            batch,
            f["out_date"].notna() & (f["out_date"] <= f["in_date"]),
            lambda i: "out_date is not after in_date",
            problems,
        )
    key = [k for k in TABLES[t]["key"] if k in f]
    dup = f.duplicated(key, keep=False).to_numpy()
    if dup.any():
        first = {}
        for i in np.flatnonzero(dup):
            k = tuple(f[c].iat[i] for c in key)
            if k in first:
                problems.append(
                    (
                        batch.filename,
                        batch.where(i),
                        "repeats the key {} of {}".format(
                            dict(zip(key, map(str, k))), batch.where(first[k])
                        ),
                    )
                )
            else:
                first[k] = i


# -- cross-table checks and writing --------------------------------------------


def _check_references(con, batches, problems):
    """Checks against the store's existing rows and the other files."""
    inst = con.execute(
        "SELECT order_book_id, type, listed_date::TIMESTAMP AS listed_date, "
        "de_listed_date::TIMESTAMP AS de_listed_date FROM instruments"
    ).df()
    cal = con.execute("SELECT date::TIMESTAMP AS date FROM trading_calendar").df()["date"]
    cal = pd.DatetimeIndex(pd.to_datetime(cal).astype("datetime64[ns]"))
    if "instruments" in batches:
        b = batches["instruments"]
        clash = b.frame["order_book_id"].isin(set(inst["order_book_id"]))
        _flag(
            b,
            clash,
            lambda i: "instrument {} is already in the store".format(
                b.frame["order_book_id"].iat[i]
            ),
            problems,
        )
        new = b.frame[["order_book_id", "type", "listed_date"]].copy()
        new["de_listed_date"] = b.frame.get("de_listed_date", pd.NaT)
        for frame in (inst, new):
            # one datetime unit on both sides (older pandas cannot concat
            # mixed units)
            for col in ("listed_date", "de_listed_date"):
                frame[col] = pd.to_datetime(frame[col]).astype("datetime64[ns]")
        inst = pd.concat([inst, new], ignore_index=True)
    inst = inst.drop_duplicates("order_book_id").set_index("order_book_id")
    for col in ("listed_date", "de_listed_date"):
        inst[col] = pd.to_datetime(inst[col]).astype("datetime64[ns]")
    if "trading_calendar" in batches:
        cal = cal.union(pd.DatetimeIndex(batches["trading_calendar"].frame["date"]))
    elif len(cal) == 0 and "daily_bars" in batches:
        # A new store without a calendar file trades on the bars' dates.
        cal = pd.DatetimeIndex(batches["daily_bars"].frame["date"].unique()).sort_values()
        batches["trading_calendar"] = _Batch(
            "trading_calendar",
            "(calendar from daily_bars)",
            pd.DataFrame({"date": cal}),
            np.arange(len(cal)) + 1,
            "row",
        )
    types = inst["type"]

    def known(b, col, want=None, what="instrument"):
        ids = b.frame[col]
        t = ids.map(types)
        bad = t.isna() if want is None else (t != want)
        _flag(
            b,
            bad.to_numpy(bool),
            lambda i: "{} {} is not {}".format(
                what,
                ids.iat[i],
                "in the store or instruments file"
                if want is None
                else "a {} instrument of the store or instruments file".format(want),
            ),
            problems,
        )
        return ~bad.to_numpy(bool)

    def on_calendar(b, col):
        days = b.frame[col].dt.normalize()
        _flag(
            b,
            ~days.isin(cal).to_numpy(bool),
            lambda i: "{} {} is not a trading date".format(col, days.iat[i].date()),
            problems,
        )

    def listed(b, col, ok):
        if not ok.any():
            return
        ids = b.frame["order_book_id"]
        day = b.frame[col].dt.normalize()
        ld = pd.to_datetime(ids.map(inst["listed_date"])).astype("datetime64[ns]")
        dd = pd.to_datetime(ids.map(inst["de_listed_date"])).astype("datetime64[ns]")
        bad = ok & ((day < ld) | (dd.notna() & (day >= dd))).to_numpy(bool)
        _flag(
            b,
            bad,
            lambda i: "{} {} is outside the listing period of {}".format(
                col, day.iat[i].date(), ids.iat[i]
            ),
            problems,
        )

    for table in ("daily_bars", "minute_bars", STYLE_TABLE, "factor_values"):
        if table in batches:
            b = batches[table]
            col = "datetime" if table == "minute_bars" else "date"
            ok = known(b, "order_book_id")
            on_calendar(b, col)
            if table in ("daily_bars", "minute_bars"):
                listed(b, col, ok)
    if STYLE_TABLE in batches:
        b = batches[STYLE_TABLE]
        have = [
            r[0]
            for r in con.execute(
                "SELECT column_name FROM information_schema.columns WHERE table_name = ?",
                [STYLE_TABLE],
            ).fetchall()
        ]
        by_case = {c.lower(): c for c in have}
        for c in b.frame.columns:
            if c not in have and c.lower() in by_case:
                problems.append(
                    (
                        b.filename,
                        None,
                        "column {!r} differs only "
                        "in letter case from the store's style "
                        "factor {!r}; the store's column names ignore "
                        "case".format(c, by_case[c.lower()]),
                    )
                )
    for table in ("industry_records", "board_records", "st_records"):
        if table in batches:
            known(batches[table], "order_book_id", "CS", "stock")
    if "index_members" in batches:
        b = batches["index_members"]
        known(b, "index_id", "INDX", "index")
        known(b, "order_book_id", "CS", "stock")


def _check_clashes(con, batches, problems):
    """Rows whose key the store already holds."""
    tables = {
        r[0] for r in con.execute("SELECT table_name FROM information_schema.tables").fetchall()
    }
    for table in (
        "daily_bars",
        "minute_bars",
        "industry_records",
        "index_members",
        "board_records",
        "st_records",
        STYLE_TABLE,
        "factor_values",
    ):
        if table not in batches or table not in tables:
            continue
        b = batches[table]
        key = list(TABLES[table]["key"])
        keys = b.frame[key].copy()
        keys["_row"] = np.arange(len(keys))
        cond = " AND ".join(
            "t.{c} IS NOT DISTINCT FROM k.{c}".format(c=quote_ident(c)) for c in key
        )
        con.register("_keys", keys)
        try:
            hit = con.execute(
                "SELECT k._row FROM _keys k JOIN {} t ON {} ORDER BY k._row LIMIT ?".format(
                    table, cond
                ),
                [MAX_REPORTED + 1],
            ).fetchnumpy()["_row"]
        finally:
            con.unregister("_keys")
        for i in hit:
            problems.append(
                (
                    b.filename,
                    b.where(int(i)),
                    "the store already has a row with this key {}".format(
                        dict((c, str(b.frame[c].iat[int(i)])) for c in key)
                    ),
                )
            )


def _write(con, batches):
    written = {}
    existing_cal = set()
    if "trading_calendar" in batches:
        existing_cal = {
            pd.Timestamp(r[0])
            for r in con.execute("SELECT date::TIMESTAMP FROM trading_calendar").fetchall()
        }
    style_cols = [
        r[0]
        for r in con.execute(
            "SELECT column_name FROM information_schema.columns WHERE table_name = ?", [STYLE_TABLE]
        ).fetchall()
    ]
    for table in TABLE_ORDER:
        if table not in batches:
            continue
        frame = batches[table].frame.copy()
        if table == "trading_calendar":
            frame = frame[~frame["date"].isin(existing_cal)]
        if table == "instruments":
            if "symbol" not in frame:
                frame["symbol"] = frame["order_book_id"]
            frame["symbol"] = frame["symbol"].fillna(frame["order_book_id"])
            if "exchange" not in frame:
                frame["exchange"] = None
            guess = frame["order_book_id"].str.rpartition(".")[2]
            frame["exchange"] = frame["exchange"].fillna(guess)
        if table == STYLE_TABLE:
            for col in frame.columns:
                if col not in style_cols:
                    con.execute(
                        "ALTER TABLE {} ADD COLUMN {} DOUBLE".format(STYLE_TABLE, quote_ident(col))
                    )
                    style_cols.append(col)
        if table == "daily_bars":
            frame = _split_limits(con, frame, written)
        if table == "board_records":
            frame["board"] = frame["board"].str.strip().str.lower()
        if table in OPTIONAL_TABLES_DDL:
            _ensure_table(con, table)
        for col in frame.columns:
            if frame[col].dtype == object:
                frame[col] = frame[col].astype(object)
        con.register("_batch", frame)
        try:
            con.execute("INSERT INTO {} BY NAME SELECT * FROM _batch".format(table))
        finally:
            con.unregister("_batch")
        written[table] = len(frame)
    if "daily_bars" in batches:
        # Bars given without prev_close take the instrument's previous close.
        con.execute(
            "UPDATE daily_bars AS b SET prev_close = p.pc FROM ("
            " SELECT order_book_id, date, lag(close) OVER ("
            "  PARTITION BY order_book_id ORDER BY date) AS pc"
            " FROM daily_bars) p "
            "WHERE b.prev_close IS NULL AND p.pc IS NOT NULL "
            "AND b.order_book_id = p.order_book_id AND b.date = p.date"
        )
    return written


def _ensure_table(con, table):
    """Create an optional table in a store made before it existed."""
    have = con.execute(
        "SELECT count(*) FROM information_schema.tables WHERE table_name = ?", [table]
    ).fetchall()[0][0]
    if not have:
        con.execute(OPTIONAL_TABLES_DDL[table])


def _split_limits(con, frame, written):
    """The bars without their limit columns; rows with a limit go into
    price_limits."""
    cols = [c for c in LIMIT_FIELDS if c in frame.columns]
    if not cols:
        return frame
    limits = frame[["order_book_id", "date"] + cols]
    limits = limits[limits[cols].notna().any(axis=1)]
    if len(limits):
        _ensure_table(con, "price_limits")
        con.register("_limits", limits)
        try:
            con.execute("INSERT INTO price_limits BY NAME SELECT * FROM _limits")
        finally:
            con.unregister("_limits")
        written["price_limits"] = len(limits)
    return frame.drop(columns=cols)


def _ingest_existing(path, batches):
    import duckdb

    from mivada.store import _connect_checked

    _connect_checked(path).close()  # refuses non-stores and other versions
    con = connect(path)
    try:
        problems = []
        _check_references(con, batches, problems)
        if not problems:
            _check_clashes(con, batches, problems)
        if problems:
            raise IngestError(problems)
        con.execute("BEGIN TRANSACTION")
        try:
            written = _write(con, batches)
            con.execute("COMMIT")
        except BaseException:
            # A failed COMMIT may already have ended the transaction; the
            # original error is the one to report.
            try:
                con.execute("ROLLBACK")
            except duckdb.Error:
                pass
            raise
        return written
    finally:
        con.close()


def _ingest_new(path, batches):
    styles = []
    if STYLE_TABLE in batches:
        styles = [
            c for c in batches[STYLE_TABLE].frame.columns if c not in ("order_book_id", "date")
        ]
    folder = os.path.dirname(path)
    os.makedirs(folder, exist_ok=True)
    remove_stale_temp_files(path)
    tmp = "{}.tmp-{}".format(path, os.getpid())
    try:
        con = connect(tmp)
        try:
            create_schema(con, styles)
            con.execute("INSERT INTO meta VALUES ('source', 'ingest')")
            problems = []
            _check_references(con, batches, problems)
            if problems:
                raise IngestError(problems)
            written = _write(con, batches)
            con.execute("CHECKPOINT")
        finally:
            con.close()
        os.replace(tmp, path)
        return written
    finally:
        for leftover in (tmp, tmp + ".wal"):
            if os.path.exists(leftover):
                os.remove(leftover)
