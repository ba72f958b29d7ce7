"""Published factors and bar fields by factor name (``get_factor``)."""

import numpy as np
import pandas as pd

from mivada.api.arguments import _as_fields, _as_ids
from mivada.api.calendar import _date_range
from mivada.api.frames import _floats, _request_frame
from mivada.api.store_state import current_store
from mivada.errors import argument_error
from mivada.schema import DAILY_FIELDS, quote_ident


def get_factor_names():
    """Names ``get_factor`` serves: the published factors of the store and
    the daily bar fields."""
    store = current_store()
    return sorted(_stored_factor_names(store)) + list(DAILY_FIELDS)


def _stored_factor_names(store):
    """The published factors of ``store``.  A bar field's name always means
    the bar field: a factor published under such a name (import refuses
    them now; older stores may hold one) is not served."""
    names = getattr(store, "_factor_names", None)
    if names is None:
        names = {r[0] for r in store.fetchall("SELECT DISTINCT factor FROM factor_values")} - set(
            DAILY_FIELDS
        )
        store._factor_names = names
    return names


def get_factor(
    order_book_ids, factor, start_date=None, end_date=None, universe=None, expect_df=True
):
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
        raise argument_error("factor", "a factor name or a list of them", "None")
    stored = _stored_factor_names(store)
    names, single = _as_fields(factor, sorted(stored) + list(DAILY_FIELDS), name="factor")
    start, end = _date_range(store, start_date, end_date)
    if start is None:
        return None
    params = [start.date(), end.date()]
    member_join, member_params = "", []
    if universe is not None:
        if isinstance(universe, str):
            if store.instrument_type.get(universe) != "INDX":
                raise argument_error(
                    "universe", "an index of the store or a list of identifiers", repr(universe)
                )
            member_join = (
                "JOIN index_members m ON m.order_book_id = x.order_book_id "
                "AND m.index_id = ? AND m.in_date <= x.date AND "
                "(m.out_date IS NULL OR x.date < m.out_date)"
            )
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
        fetched.append(
            store.fetch_numpy(
                "SELECT r.col, (x.date - DATE '1970-01-01')::INTEGER AS d, "
                "{v} AS value FROM {s} x JOIN req r ON x.order_book_id = "
                "r.order_book_id {mj} WHERE {c}x.date BETWEEN ? AND ?".format(
                    v=value, s=source, mj=member_join, c=cond
                ),
                args,
                frames={"req": req},
            )
        )
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
        levels=[pd.Index(ids, dtype=object), pd.DatetimeIndex(store.calendar[lo:hi])],
        codes=[col, day],
        names=["order_book_id", "date"],
    ).remove_unused_levels()
    return pd.DataFrame({n: g[col, day] for n, g in zip(names, grids)}, index=index)
