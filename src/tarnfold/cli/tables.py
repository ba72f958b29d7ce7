"""A dates x instruments table from a Parquet or CSV file, wide or long."""

import os

import numpy as np
import pandas as pd
from mivada.utils import as_dates

from tarnfold.cli.common import UserError

DATE_COLUMNS = ("date", "datetime", "trade_date")
ID_COLUMNS = ("order_book_id", "ticker", "symbol", "code")


def _first_line(exc):
    text = str(exc).strip()
    return text.splitlines()[0] if text else type(exc).__name__


def _read_frame(path, what):
    if not os.path.isfile(path):
        raise UserError("{}: no such file: {}".format(what, path))
    ext = os.path.splitext(path)[1].lower()
    if ext not in (".parquet", ".pq", ".csv"):
        raise UserError("{}: expected a .parquet, .pq or .csv file, got {}".format(what, path))
    try:
        if ext == ".csv":
            # instrument ids stay text ("000001", not the number 1)
            header = pd.read_csv(path, nrows=0).columns
            return pd.read_csv(path, dtype={c: str for c in header if str(c).lower() in ID_COLUMNS})
        return pd.read_parquet(path)
    except Exception as exc:
        raise UserError("{}: cannot read {}: {}".format(what, path, _first_line(exc)))


def _named(columns, names):
    lower = {str(c).lower(): c for c in columns}
    return next((lower[n] for n in names if n in lower), None)


def _value_column(df, what, date_col, id_col, column):
    values = [c for c in df.columns if c not in (date_col, id_col)]
    if column is not None:
        if column not in df.columns:
            raise UserError(
                "{}: --column: expected one of {}, got {!r}".format(
                    what, ", ".join(map(str, values)), column
                )
            )
        return column
    numeric = [c for c in values if pd.api.types.is_numeric_dtype(df[c])]
    if len(numeric) != 1:
        raise UserError(
            "{}: expected exactly one value column in a long table (or --column), got {}".format(
                what, ", ".join(map(str, numeric)) or "none"
            )
        )
    return numeric[0]


def read_table(path, what="FILE", column=None, date_format=None):
    """A dates x instruments float table from a Parquet or CSV file.

    Wide: a date column (named date/datetime/trade_date, else the first)
    and one column per instrument.  Long: a date column, an instrument
    column (order_book_id, ticker, symbol or code) and the value column
    (``column``, or the one numeric column).  Dates are read by
    ``mivada.utils.as_dates`` (text, or YYYYMMDD integers; ``date_format``
    for text it cannot settle).  Raises UserError with a one-line
    explanation."""
    df = _read_frame(path, what)
    if isinstance(df.index, pd.MultiIndex) or (df.index.name is not None):
        df = df.reset_index()
    if df.shape[0] == 0:
        raise UserError("{}: {} has no rows".format(what, path))
    date_col = _named(df.columns, DATE_COLUMNS)
    id_col = _named(df.columns, ID_COLUMNS)
    if id_col is not None and date_col is None:
        raise UserError(
            "{}: expected a date column ({}) in a long table, got {}".format(
                what, "/".join(DATE_COLUMNS), ", ".join(map(str, df.columns[:6]))
            )
        )
    if date_col is None:
        date_col = df.columns[0]
    try:
        dates = as_dates(df[date_col], "{} column {!r}".format(what, str(date_col)), date_format)
    except ValueError as exc:
        text = _first_line(exc)
        raise UserError(text + (" with --date-format" if "give the format" in text else ""))
    if dates.hasnans:
        raise UserError("{}: missing dates in column {!r}".format(what, str(date_col)))
    df[date_col] = dates
    if id_col is None and column is not None:
        raise UserError(
            "{}: --column {}: expected a long table (with an instrument column "
            "{}), got a wide one".format(what, column, "/".join(ID_COLUMNS))
        )
    if id_col is None:
        text = [
            str(c) for c in df.columns if c != date_col and not pd.api.types.is_numeric_dtype(df[c])
        ]
        if text and dates.has_duplicates:
            raise UserError(
                "{}: the dates repeat and column(s) {} hold text, as in a long "
                "table: name its instrument column {}".format(
                    what, ", ".join(text[:3]), ", ".join(ID_COLUMNS)
                )
            )
        wide = df.set_index(date_col)
    else:
        value_col = _value_column(df, what, date_col, id_col, column)
        repeated = df.duplicated([date_col, id_col])
        if repeated.any():
            first = df[repeated].iloc[0]
            raise UserError(
                "{}: (date, {}) repeated, e.g. ({:%Y-%m-%d}, {})".format(
                    what, id_col, first[date_col], first[id_col]
                )
            )
        wide = df.pivot(index=date_col, columns=id_col, values=value_col)
    bad = [str(c) for c in wide.columns if not pd.api.types.is_numeric_dtype(wide[c])]
    if bad:
        raise UserError(
            "{}: non-numeric values in column(s) {}".format(
                what, ", ".join(bad[:5]) + (" ..." if len(bad) > 5 else "")
            )
        )
    if wide.index.has_duplicates:
        raise UserError(
            "{}: repeated date {:%Y-%m-%d}".format(what, wide.index[wide.index.duplicated()][0])
        )
    wide = wide.sort_index().astype(float)
    wide.index = pd.DatetimeIndex(wide.index, name=None)
    wide.columns = [str(c) for c in wide.columns]
    if wide.shape[1] == 0:
        raise UserError("{}: no instrument columns".format(what))
    if not np.isfinite(wide.to_numpy()).any():
        raise UserError("{}: no finite values".format(what))
    return wide
