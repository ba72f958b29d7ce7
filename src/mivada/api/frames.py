"""Building result frames from fetched columns."""

import numpy as np
import pandas as pd

from mivada.schema import quote_ident


def _floats(values):
    """A fetched column as float64 with NaN for SQL NULL (DuckDB hands
    columns with NULLs over as masked arrays)."""
    if isinstance(values, np.ma.MaskedArray):
        return values.astype(np.float64).filled(np.nan)
    return np.asarray(values, dtype=np.float64)


def _request_frame(ids):
    return pd.DataFrame(
        {"order_book_id": pd.Series(ids, dtype=object), "col": np.arange(len(ids), dtype=np.int32)}
    )


def _request_table(ids):
    """``_request_frame`` as an Arrow table (DuckDB scans it faster)."""
    import pyarrow as pa

    return pa.table(
        {
            "order_book_id": pa.array(list(ids), type=pa.string()),
            "col": pa.array(np.arange(len(ids), dtype=np.int32)),
        }
    )


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
        names=["order_book_id", time_col],
    ).remove_unused_levels()
    return pd.DataFrame({f: _floats(got[f]) for f in names}, index=index)


# Requests for up to this many instruments name them in the query (the
# store skips the row groups of other instruments) instead of joining a
# request table.
_LISTED_IDS = 64


def _read_long(store, table, time_col, ids, names, lo, hi):
    """Rows of ``table`` for ``ids`` with ``time_col`` from ``lo`` to ``hi``
    (inclusive) as a long frame of ``names``; None when nothing matches."""
    cols = ", ".join("t." + quote_ident(f) for f in names)
    if len(ids) <= _LISTED_IDS:
        got = store.fetch_numpy(
            "SELECT t.order_book_id, t.{tc}::TIMESTAMP AS {tc}, {cols} FROM {table} t "
            "WHERE t.order_book_id IN ({marks}) AND t.{tc} BETWEEN ? AND ?".format(
                tc=time_col, cols=cols, table=table, marks=", ".join("?" * len(ids))
            ),
            list(ids) + [lo, hi],
        )
        place = {oid: k for k, oid in enumerate(ids)}
        col = np.fromiter((place[o] for o in got.pop("order_book_id")), dtype=np.int64)
        order = np.lexsort((np.asarray(got[time_col]), col))
        got = {
            k: np.asarray(v)[order] if not isinstance(v, np.ma.MaskedArray) else v[order]
            for k, v in got.items()
        }
        got["col"] = col[order]
        return _long_frame(got, ids, time_col, names)
    got = store.fetch_numpy(
        "SELECT r.col, t.{tc}::TIMESTAMP AS {tc}, {cols} FROM {table} t "
        "JOIN req r ON t.order_book_id = r.order_book_id "
        "WHERE t.{tc} BETWEEN ? AND ? ORDER BY r.col, t.{tc}".format(
            tc=time_col, cols=cols, table=table
        ),
        [lo, hi],
        frames={"req": _request_frame(ids)},
    )
    return _long_frame(got, ids, time_col, names)
