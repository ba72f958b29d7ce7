"""The factor table's grid as the evidence kernels read it, and the
reference data laid on it.

A ``Grid`` holds the factor's dates that the returns table has (ascending)
and all its instruments, the values as one row-major float array oriented
so that larger is better (negated when the bench's ``ascending`` says
smaller values are better), and the position of every date and instrument
in the returns table: the alignment of the bench's formatted frame, so that
a forward return here is the IC's P_n.

Industry codes come from the one kernel behind every industry label
(``tarnfold.industry.industry_codes``) and follow neutralization: pairs on
which the instrument is not listed are left out, instruments without a
record form the group "Unknown".  Style exposures are the store's, as
neutralization loads them; sizes are a published factor of the store
(``market_cap`` by default) or a table given.
"""

import contextlib
import contextvars

import numpy as np
import pandas as pd

import mivada
from tarnfold import _kernels

UNKNOWN_INDUSTRY = "Unknown"
LEFT_OUT = -2  # an industry code the kernels leave out

# Inside ``shared_tables()`` the analysers of one bench run share the grid
# and the reference tables they load (they ask for the same ones): the last
# answer of each loader, by store, setting and grid.  Outside, nothing is
# kept.
_shared = contextvars.ContextVar("tarnfold_evidence_shared", default=None)


@contextlib.contextmanager
def shared_tables():
    """Within the block (one bench run, whose analysers never change the
    tables they are given), the evidence analysers share their grid,
    industry codes and sizes; everything is dropped at the end."""
    token = _shared.set({})
    try:
        yield
    finally:
        _shared.reset(token)


def _grid_key(what, setting, dates, ids):
    import mivada.api

    return (
        what,
        mivada.api.store_token(),
        setting,
        tuple(ids),
        pd.DatetimeIndex(dates).asi8.tobytes(),
    )


def _remembered(what, setting, dates, ids, compute):
    """compute() once for the same store, setting and grid; tables given
    as settings are never remembered."""
    last = _shared.get()
    if last is None or not isinstance(setting, (str, type(None))):
        return compute()
    key = _grid_key(what, setting, dates, ids)
    hit = last.get(what)
    if hit is not None and hit[0] == key:
        return hit[1]
    value = compute()
    last[what] = (key, value)
    return value


def _in_date_order(table):
    if isinstance(table.index, pd.DatetimeIndex) and not table.index.is_monotonic_increasing:
        return table.sort_index(kind="stable")
    return table


def _require_frame(table, what):
    if not isinstance(table, pd.DataFrame):
        raise TypeError(
            "{}: expected a DataFrame (dates x instruments), got {}".format(
                what, type(table).__name__
            )
        )
    if not table.columns.is_unique:
        raise ValueError(
            "{}: expected each order_book_id once among the columns, got repeated labels".format(
                what
            )
        )
    if not table.index.is_unique:
        raise ValueError("{}: expected each date once, got repeated dates".format(what))


def grid_of(factor_data, returns, ascending):
    """The ``Grid`` of these tables; inside ``shared_tables()`` the
    analysers of one bench run share it (the same table objects)."""
    last = _shared.get()
    if last is None:
        return Grid(factor_data, returns, ascending)
    hit = last.get("grid")
    if (
        hit is not None
        and hit.factor is factor_data
        and hit.source is returns
        and hit.ascending == bool(ascending)
    ):
        return hit
    grid = Grid(factor_data, returns, ascending)
    last["grid"] = grid
    return grid


class Grid:
    """The factor's dates (those the returns have) x its instruments."""

    def __init__(self, factor_data, returns, ascending):
        _require_frame(factor_data, "factor_data")
        _require_frame(returns, "returns")
        self.factor, self.source, self.ascending = factor_data, returns, bool(ascending)
        factor = _in_date_order(factor_data)
        self.returns = _in_date_order(returns)
        keep = factor.index.isin(self.returns.index)
        if not keep.any():
            raise ValueError("factor_data and returns have no date in common")
        factor = factor[keep]
        self.dates = pd.DatetimeIndex(factor.index, name="datetime")
        self.ids = pd.Index(factor.columns, name="order_book_id")
        values = factor.to_numpy(dtype=np.float64, na_value=np.nan)
        self.values = np.ascontiguousarray(-values if ascending else values)
        self.values.flags.writeable = False
        self.returns_values = self.returns.to_numpy(dtype=np.float64, na_value=np.nan)
        self.returns_values.flags.writeable = False
        self.rows = self.returns.index.get_indexer(self.dates).astype(np.int64)
        self.cols = self.returns.columns.get_indexer(self.ids).astype(np.int64)
        if (self.cols < 0).all():
            raise ValueError("factor_data and returns have no order_book_id in common")
        # the factor groups of every date by number of groups, as an
        # analyser cut them (the group views' serve the event study)
        self.labels = {}
        self._returns_table = None

    @property
    def shape(self):
        return self.values.shape

    def kernel_args(self):
        """(factor values, returns with their growth factors, rows, columns):
        the first arguments of every evidence kernel."""
        if self._returns_table is None:
            self._returns_table = _kernels.returns_table(self.returns_values)
        return self.values, self._returns_table, self.rows, self.cols


def listed_mask(dates, ids):
    """dates x ids booleans of the store's listing dates, or None when the
    store cannot answer."""
    from tarnfold.workflow import _listed_mask

    return _listed_mask(pd.DatetimeIndex(dates), pd.Index(ids))


def industry_codes(dates, ids, classification):
    """``_industry_codes``, remembered for the last grid (read-only)."""
    return _remembered(
        "industry", classification, dates, ids, lambda: _industry_codes(dates, ids, classification)
    )


def _industry_codes(dates, ids, classification):
    """(int32 codes dates x ids, industry names by code) for
    ``classification``: a source of the store ("citics_2019", "sws"), whose
    point-in-time records give each pair its industry (pairs not listed
    that day are left out, instruments without a record form "Unknown"), or
    a dict / Series order_book_id -> industry (fixed over time; instruments
    it lacks form "Unknown")."""
    dates = pd.DatetimeIndex(dates)
    if isinstance(classification, str):
        from tarnfold.industry import industry_codes as store_codes

        codes, names = store_codes(list(ids), dates, classification)
        codes = np.array(codes, dtype=np.int32)
        codes[codes < 0] = len(names)
        names = list(names) + [UNKNOWN_INDUSTRY]
        listed = listed_mask(dates, ids)
        if listed is not None:
            codes[~listed] = LEFT_OUT
    elif isinstance(classification, (dict, pd.Series)):
        labels = pd.Series(classification).reindex(pd.Index(ids)).fillna(UNKNOWN_INDUSTRY)
        code, uniques = pd.factorize(labels.astype(str))
        codes = np.ascontiguousarray(np.broadcast_to(code.astype(np.int32), (len(dates), len(ids))))
        names = list(uniques)
    else:
        raise TypeError(
            "industry: expected a source name, a dict or a Series "
            "order_book_id -> industry, got {}".format(type(classification).__name__)
        )
    # keep only the codes some pair uses, in name order
    used = np.unique(codes[codes >= 0])
    order = sorted(used, key=lambda c: str(names[c]))
    remap = np.full(len(names) + 1, LEFT_OUT, dtype=np.int32)
    remap[np.asarray(order, dtype=np.int64)] = np.arange(len(order), dtype=np.int32)
    out = np.where(codes >= 0, remap[np.where(codes >= 0, codes, len(names))], LEFT_OUT)
    out = np.ascontiguousarray(out, dtype=np.int32)
    out.flags.writeable = False
    return out, [str(names[c]) for c in order]


def _long_positions(index, dates, ids):
    """Grid row and column of every row of a long frame indexed by
    (order_book_id, date) in either level order (-1 where not on the
    grid), read through the index codes."""
    names = list(index.names)
    date_level = (
        names.index("date")
        if "date" in names
        else names.index("datetime")
        if "datetime" in names
        else 1
    )
    id_level = names.index("order_book_id") if "order_book_id" in names else 1 - date_level

    def positions(level, where):
        codes = np.asarray(index.codes[level])
        return np.where(codes >= 0, where[codes], -1)

    rows = positions(
        date_level, pd.DatetimeIndex(dates).get_indexer(pd.DatetimeIndex(index.levels[date_level]))
    )
    cols = positions(id_level, pd.Index(ids).get_indexer(index.levels[id_level]))
    return rows, cols


def _floats(column):
    """A column's values as float64 (a view where they are float64
    already), NaN where missing."""
    if column.dtype == np.float64:
        return np.ascontiguousarray(column.to_numpy())
    return np.ascontiguousarray(column.to_numpy(dtype=np.float64, na_value=np.nan))


def style_exposures(dates, ids, style_factors=None):
    """(names, columns, rows) of the store's style exposures for the grid:
    ``columns`` one float64 array per style factor over the rows of the
    store's answer, ``rows`` (instruments x dates, int64) the row of every
    grid pair (-1 where there is none).  None when the store has no
    exposures for them."""
    dates = pd.DatetimeIndex(dates)
    exp = mivada.get_style_factor_exposure(
        order_book_ids=list(ids), start_date=dates[0], end_date=dates[-1], factors=style_factors
    )
    if exp is None or len(exp) == 0 or exp.shape[1] == 0:
        return None
    t, j = _long_positions(exp.index, dates, ids)
    ok = (t >= 0) & (j >= 0)
    rows = np.full((len(ids), len(dates)), -1, dtype=np.int64)
    if ok.all():
        rows[j, t] = np.arange(len(ok))
    else:
        rows[j[ok], t[ok]] = np.flatnonzero(ok)
    columns = [_floats(exp[c]) for c in exp.columns]
    return [str(c) for c in exp.columns], columns, rows


# The last size table read from a store, kept in the process: the factors
# of a batch share instruments and dates, and a published factor is a long
# read (about 2 s for 3000 stocks x 1000 days of the sample store).
_kept_size = {}


def size_table(dates, ids, size):
    """Capitalisation on the grid (dates x ids, float64, read-only, NaN
    where unknown) from a factor name of the store or a dates x
    instruments table; None when the store does not publish ``size``."""
    if not isinstance(size, str):
        return _size_table(dates, ids, size)
    key = _grid_key("size", size, dates, ids)
    hit = _kept_size.get("last")
    if key[1] is not None and hit is not None and hit[0] == key:
        return hit[1]
    table = _size_table(dates, ids, size)
    _kept_size["last"] = (key, table)
    return table


def _size_table(dates, ids, size):
    dates = pd.DatetimeIndex(dates)
    if isinstance(size, pd.DataFrame):
        table = size.reindex(index=dates, columns=pd.Index(ids))
        return np.ascontiguousarray(table.to_numpy(dtype=np.float64, na_value=np.nan))
    import mivada.api

    if mivada.api.store_token() is None:
        return None  # no store open: never open (or generate) one for this
    if size not in mivada.get_factor_names():
        return None
    got = mivada.get_factor(list(ids), size, dates[0], dates[-1], expect_df=True)
    out = np.full((len(dates), len(ids)), np.nan)
    if got is None or len(got) == 0:
        out.flags.writeable = False
        return out
    t, j = _long_positions(got.index, dates, ids)
    values = _floats(got[size])
    n, m = len(dates), len(ids)
    if (
        len(t) == n * m
        and (t == np.tile(np.arange(n), m)).all()
        and (j == np.repeat(np.arange(m), n)).all()
    ):
        # the store's usual answer: every pair, instrument by instrument
        out = np.ascontiguousarray(values.reshape(m, n).T)
    else:
        ok = (t >= 0) & (j >= 0)
        out[t[ok], j[ok]] = values[ok]
    out.flags.writeable = False
    return out
