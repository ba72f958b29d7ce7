"""The execution context of ``eval_core`` and the universe helpers.

``ThreadingExecContext(leaves, order_book_ids, start_date, end_date,
universe=None, threads=None)`` holds the data one ``execute_factor`` call
works on:

* ``index``/``ndays``: the trading dates from ``start_date`` to
  ``end_date``;
* every leaf for every instrument, loaded in bulk straight into arrays
  (``mivada.get_price_panel(..., as_arrays=True)``: the bar fields in one
  store query, each published factor in one more), never one query per
  instrument;
* each instrument's valid days: days with a bar whose volume is not zero
  (a suspended day has no bar or a zero volume), kept per opened store
  (``tarnfold.engine_v2.store_data``), so that only the leaves are read;
* ``threads``: how many threads the engine may use on this data
  (``tarnfold.threads.thread_count``);
* the leaves as read, date x instrument: the engine's compiled loop takes
  each instrument's valid days straight from its column, and
  ``get_factor_value(leaf, order_book_id)`` hands out a read-only view of
  the instrument's right-aligned series (the leaf packed per instrument,
  valid days only, on first use);
* the tables of cross-sectional and fixed dependencies stored by
  ``update``, read per instrument on its valid days.

Unknown instruments and unknown leaf names raise ``ValueError`` naming
them.  The context is built for one call and dropped afterwards.

``get_universe_mask(order_book_ids, start_date, end_date, universe)``
gives the boolean date x instrument table the result is masked with:

* ``universe=None``: no mask (``None``);
* an index code such as ``"000300.XSHG"``: True where the instrument is a
  member of that index on that date (membership changes are followed day by
  day);
* a list (or other iterable) of instruments: True for those instruments on
  every date, False for the rest.

``PRICING_FACTORS`` answers ``factor in PRICING_FACTORS`` for the leaves
the store publishes as precomputed factors (``execute_factor`` fetches
those directly).

``lookback_start(factor, order_book_ids, fixed_order_book_ids, start_date,
first_date, extra=0)`` tells ``execute_factor`` from which date to load, so
that a factor's value on a date does not depend on the requested range:
every instrument gets its look-back in its own **valid** days, not in
trading days, so a stock suspended inside its look-back still has its
window on the first requested day.  History is searched at most
``LOOKBACK_SEARCH_DAYS`` (250, about a year) trading days beyond the
look-back counted in trading days; only an instrument suspended for longer
than that within its look-back can still see its first values change with
the range.
"""

import collections
import numbers
import threading

import numpy as np
import pandas as pd

import mivada
from mivada.api import store_token
from mivada.schema import DAILY_FIELDS

from tarnfold.cross_sectional import CrossSectionalFactor
from tarnfold.fix import FixedFactor
from tarnfold.interface import LeafFactor
from tarnfold.leaf import _Factor
from tarnfold.threads import thread_count
from tarnfold.utils import dependency_graph

__all__ = [
    "PRICING_FACTORS",
    "ThreadingExecContext",
    "get_universe_mask",
    "lookback_start",
    "LOOKBACK_SEARCH_DAYS",
]

# Trading days searched beyond the look-back (counted in trading days) for
# instruments suspended inside it.
LOOKBACK_SEARCH_DAYS = 250

_MIVADA = mivada


def _store_data():
    """The per-store cache of valid days (``store_data``), or None when
    this module's ``mivada`` has been replaced (the replacement's data is
    read as it comes)."""
    if mivada is not _MIVADA:
        return None
    from tarnfold.engine_v2.store_data import store_data

    return store_data()


class _PricingFactors:
    """The store's published factors, as leaves (``in`` tests membership;
    iteration lists them)."""

    @staticmethod
    def names():
        return [n for n in mivada.get_factor_names() if n not in DAILY_FIELDS]

    def __contains__(self, factor):
        return (
            isinstance(factor, _Factor)
            and factor.name not in DAILY_FIELDS
            and factor.name in self.names()
        )

    def __iter__(self):
        return iter([_Factor(n) for n in self.names()])

    def __len__(self):
        return len(self.names())

    def __repr__(self):
        return "PRICING_FACTORS({})".format(", ".join(self.names()))


PRICING_FACTORS = _PricingFactors()


def _id_list(order_book_ids, name="order_book_ids"):
    if isinstance(order_book_ids, str) or not hasattr(order_book_ids, "__iter__"):
        raise TypeError(
            "{}: expected a list of instrument codes, got {!r}".format(name, order_book_ids)
        )
    ids = list(order_book_ids)
    bad = [i for i in ids if not isinstance(i, str)]
    if bad:
        raise TypeError("{}: instrument codes must be text, got {!r}".format(name, bad[0]))
    return ids


def get_universe_mask(order_book_ids, start_date, end_date, universe):
    """None without a universe; else a boolean table (trading dates from
    ``start_date`` to ``end_date`` x ``order_book_ids``), True where the
    instrument belongs to the universe on that date."""
    if universe is None:
        return None
    ids = _id_list(order_book_ids)
    dates = mivada.get_trading_dates(start_date, end_date)
    columns = pd.Index(ids, dtype=object)
    if isinstance(universe, str):
        inst = mivada.instruments(universe)
        if inst is None or inst.type != "INDX":
            raise ValueError("universe: {!r} is not an index code of the store".format(universe))
        members = (
            mivada.index_components(universe, start_date=dates[0], end_date=dates[-1])
            if len(dates)
            else {}
        )
        values = np.zeros((len(dates), len(ids)), dtype=bool)
        for row, day in enumerate(dates):
            names = members.get(day, [])
            if names:
                pos = columns.get_indexer(names)
                values[row, pos[pos >= 0]] = True
    else:
        keep = set(_id_list(universe, "universe"))
        row = np.array([i in keep for i in ids], dtype=bool)
        values = np.broadcast_to(row, (len(dates), len(ids))).copy()
    return pd.DataFrame(values, index=dates, columns=columns)


def _valid_mask(ids, lo, before):
    """The trading dates from ``lo`` to the day before ``before`` and the
    instruments' valid days on them (a bar with non-zero volume)."""
    dates = mivada.get_trading_dates(lo, before)
    dates = dates[dates < before]
    kept = _store_data()
    if kept is not None:
        data, store = kept
        return dates, data.valid_days(store, ids, dates)
    got = (
        mivada.get_price_panel(ids, lo, dates[-1], fields=["close", "volume"])
        if len(dates)
        else None
    )
    if got is None:
        return dates, np.zeros((len(dates), len(ids)), dtype=bool)
    close = got["close"].reindex(index=dates).to_numpy(dtype=np.float64, na_value=np.nan)
    volume = got["volume"].reindex(index=dates).to_numpy(dtype=np.float64, na_value=np.nan)
    return dates, ~np.isnan(close) & (volume != 0)


class _ValidDays:
    """Valid days of instruments over ``dates``, the trading days before
    the first requested one; position ``len(dates)`` stands for that
    day."""

    def __init__(self, dates, valid):
        self.dates = dates
        n = len(dates)
        # valid days before each position, and the valid positions packed
        # instrument after instrument
        self.before = np.zeros((n + 1, valid.shape[1]), dtype=np.int64)
        np.cumsum(valid, axis=0, out=self.before[1:])
        self.offsets = np.zeros(valid.shape[1] + 1, dtype=np.int64)
        np.cumsum(self.before[-1], out=self.offsets[1:])
        self.days = np.broadcast_to(np.arange(n, dtype=np.intp), valid.T.shape)[valid.T]
        self.short = np.zeros(valid.shape[1], dtype=bool)

    def back(self, readers, t, s):
        """The earliest position the readers' windows reach: each reader's
        ``s``-th valid day before position ``t``; a reader without ``s``
        valid days there reaches its first one (and is marked short)."""
        if s <= 0 or not len(readers):
            return t
        k = self.before[t, readers] - s
        ok = k >= 0
        reach = t
        if ok.any():
            reach = int(self.days[self.offsets[readers[ok]] + k[ok]].min())
        short = readers[~ok]
        if len(short):
            self.short[short] = True
            has = self.before[t, short] > 0
            if has.any():
                reach = min(reach, int(self.days[self.offsets[short[has]]].min()))
        return reach


def _reach(factor, valid, requested, column_of, extra):
    """The first position ``factor``'s leaves are read at (see
    ``lookback_start``)."""
    entries = dependency_graph(factor)
    place = {e[0]: k for k, e in enumerate(entries)}
    end = len(valid.dates)
    need = [None] * len(entries)
    first = end

    def read(readers, t, s, target):
        nonlocal first
        at = valid.back(readers, t, s)
        first = min(first, at)
        if target is not None:
            need[target] = at if need[target] is None else min(need[target], at)

    if entries and entries[-1][0] is factor:
        need[-1] = end
    else:
        read(requested, end, factor.shift + extra, None)
        for d in factor.dependencies:
            if d in place:
                read(requested, end, factor.shift - d.shift, place[d])
    # parents before children: every reader of a node is done before it
    for k in range(len(entries) - 1, -1, -1):
        node, _, _, children = entries[k]
        if need[k] is None:
            continue
        if isinstance(node, FixedFactor):
            readers = np.asarray([column_of[node.order_book_id]], dtype=np.int64)
            top = node.factor.shift
        else:
            readers, top = requested, node.shift
        read(readers, need[k], top + extra, None)
        for c in children:
            read(readers, need[k], top - entries[c][0].shift, c)
    return first


def lookback_start(factor, order_book_ids, fixed_order_book_ids, start_date, first_date, extra=0):
    """The first date to load for ``factor`` requested from ``start_date``:
    ``first_date`` (the look-back counted in trading days) or earlier, so
    that every instrument has its look-back in its own valid days before
    ``start_date``.  Through a cross-sectional factor the look-back of one
    instrument's window reaches every instrument's values on the dates it
    covers.  ``extra`` valid days are added below every path (the warm-up
    of exponential averages).  History is searched at most
    ``LOOKBACK_SEARCH_DAYS`` trading days beyond ``first_date``, and not
    before an instrument's listing or the store's first day."""
    ids = list(dict.fromkeys(list(order_book_ids) + list(fixed_order_book_ids)))
    start_date, first_date = pd.Timestamp(start_date), pd.Timestamp(first_date)
    if not ids or first_date >= start_date:
        return first_date
    key = None
    if mivada is _MIVADA:
        # factors whose look-back reads the same days (most features of a
        # set) are answered once per store
        key = (
            store_token(),
            _reach_signature(factor, extra),
            tuple(order_book_ids),
            tuple(fixed_order_book_ids),
            start_date,
            first_date,
        )
        with _reach_lock:
            if key in _reach_memo:
                _reach_memo.move_to_end(key)
                return _reach_memo[key]
    got = _lookback_start(factor, order_book_ids, ids, start_date, first_date, extra)
    if key is not None:
        with _reach_lock:
            _reach_memo[key] = got
            while len(_reach_memo) > _REACH_MEMO_SIZE:
                _reach_memo.popitem(last=False)
    return got


_reach_memo = collections.OrderedDict()
_reach_lock = threading.Lock()
_REACH_MEMO_SIZE = 256


def _reach_signature(factor, extra):
    """Everything of ``factor`` that ``_reach`` reads: its look-back and
    that of each cross-sectional and fixed part, how they nest, and the
    instruments fixed parts pin."""
    entries = dependency_graph(factor)
    place = {e[0]: k for k, e in enumerate(entries)}
    nodes = tuple(
        (
            node.order_book_id if isinstance(node, FixedFactor) else None,
            node.factor.shift if isinstance(node, FixedFactor) else node.shift,
            node.shift,
            tuple(children),
        )
        for node, _, _, children in entries
    )
    own = bool(entries) and entries[-1][0] is factor
    deps = () if own else tuple((place[d], d.shift) for d in factor.dependencies if d in place)
    return extra, factor.shift, own, nodes, deps


def _lookback_start(factor, order_book_ids, ids, start_date, first_date, extra):
    column_of = {oid: k for k, oid in enumerate(ids)}
    requested = np.asarray([column_of[oid] for oid in order_book_ids], dtype=np.int64)
    dates, mask = _valid_mask(ids, first_date, start_date)
    valid = _ValidDays(dates, mask)
    reach = _reach(factor, valid, requested, column_of, extra)
    if valid.short.any():
        lo = _search_start(first_date, [ids[k] for k in np.flatnonzero(valid.short)])
        if lo is not None:
            # the days before first_date, read once and put in front
            earlier, more = _valid_mask(ids, lo, first_date)
            valid = _ValidDays(earlier.append(dates), np.vstack([more, mask]))
            reach = _reach(factor, valid, requested, column_of, extra)
    if reach >= len(valid.dates):
        return first_date
    return min(first_date, valid.dates[reach])


def _search_start(first_date, short_ids):
    """How far back to search for instruments without their look-back
    after ``first_date``, or None when none of them can have more
    history."""
    data_start = (
        getattr(mivada.current_store(), "data_start", None)
        if hasattr(mivada, "current_store")
        else None
    )
    if data_start is None or data_start >= first_date:
        return None
    listed = [
        inst
        for inst in mivada.instruments(short_ids)
        if pd.Timestamp(inst.listed_date) < first_date
    ]
    if not listed:
        return None
    try:
        lo = mivada.trading_date_offset(first_date, -LOOKBACK_SEARCH_DAYS)
    except ValueError:
        lo = data_start
    return max(pd.Timestamp(lo), data_start)


def leaf_names(leaves):
    """(daily bar fields, published factors) the leaves name; TypeError for
    a leaf that is not the store's, ValueError naming an unknown field."""
    leaves = list(leaves)
    for leaf in leaves:
        if not isinstance(leaf, _Factor):
            raise TypeError(
                "leaf {!r}: this context serves the store's "
                "fields and factors (tarnfold.leaf.Factor) "
                "only".format(leaf)
            )
    published = set(PRICING_FACTORS.names()) if leaves else set()
    bar_names, factor_names = [], []
    for leaf in leaves:
        if leaf.name in DAILY_FIELDS:
            bar_names.append(leaf.name)
        elif leaf.name in published:
            factor_names.append(leaf.name)
        else:
            raise ValueError(
                "factor {!r}: unknown field, expect one of {}".format(
                    leaf.name, list(DAILY_FIELDS) + sorted(published)
                )
            )
    return bar_names, factor_names


class ThreadingExecContext:
    """Data of one factor computation; see the module documentation.

    ``threads``: how many threads the engine may use on this context's
    data (``tarnfold.threads.thread_count``: TARNFOLD_THREADS, else the
    cores available, one inside a Dask worker)."""

    def __init__(self, leaves, order_book_ids, start_date, end_date, universe=None, threads=None):
        ids = _id_list(order_book_ids)
        seen = set()
        for i in ids:
            if i in seen:
                raise ValueError("order_book_ids: {!r} is listed more than once".format(i))
            seen.add(i)
        known = {inst.order_book_id for inst in mivada.instruments(ids)} if ids else set()
        unknown = [i for i in ids if i not in known]
        if unknown:
            raise ValueError(
                "order_book_ids: unknown instrument{} {}".format(
                    "s" if len(unknown) > 1 else "",
                    ", ".join(repr(u) for u in unknown[:5]) + (" ..." if len(unknown) > 5 else ""),
                )
            )
        self.order_book_ids = ids
        self.universe = universe
        self.universe_mask = None
        self.threads = thread_count(threads)
        self.start_date = pd.Timestamp(start_date)
        self.end_date = pd.Timestamp(end_date)
        self.index = mivada.get_trading_dates(self.start_date, self.end_date)
        self.ndays = len(self.index)
        self._col = {oid: k for k, oid in enumerate(ids)}

        bar_names, factor_names = leaf_names(leaves)
        names = sorted(set(bar_names) | set(factor_names))
        kept = _store_data()
        if kept is not None:
            # valid days kept per store; only the leaves are read
            data, store = kept
            valid = data.valid_days(store, ids, self.index)
            panels = self._load_panel(ids, names)
        else:
            panels = self._load_bars(ids, sorted(set(bar_names) | {"close", "volume"}))
            panels.update(self._load_factors(ids, sorted(set(factor_names))))
            close, volume = panels["close"], panels["volume"]
            valid = ~np.isnan(close) & (volume != 0)
        # Valid days: a bar (a close) whose volume is not zero.
        self._valid = np.asfortranarray(valid)
        self._loaded_valid = self._valid
        counts = np.count_nonzero(self._valid, axis=0)
        offsets = np.zeros(len(ids) + 1, dtype=np.int64)
        np.cumsum(counts, out=offsets[1:])
        # each instrument's packed series (get_factor_value) runs from
        # _starts to _stops
        self._starts, self._stops = offsets[:-1], offsets[1:]
        # The leaves as read (date x instrument, column-major): the engine
        # reads each instrument's valid days straight from its column.  The
        # packed series get_factor_value hands out are made on first use.
        self._panels = {
            name: np.asfortranarray(panels.pop(name)) for name in set(bar_names) | set(factor_names)
        }
        self._packed = {}
        self._identity = None
        self._tables = {}
        self._packed_tables = {}

    # -- loading -----------------------------------------------------------
    def _empty(self, n):
        return np.full((self.ndays, n), np.nan, order="F")

    def _on_index(self, dates, values):
        """``values`` (rows on ``dates``) on the context's dates."""
        if dates.equals(self.index):
            return values
        out = self._empty(values.shape[1])
        rows = self.index.get_indexer(dates)
        ok = rows >= 0
        out[rows[ok]] = values[ok]
        return out

    def _load_panel(self, ids, names):
        """The store's fields and published factors ``names`` as
        column-major date x instrument arrays, read straight from the
        store."""
        got = (
            mivada.get_price_panel(
                ids, self.start_date, self.end_date, fields=names, as_arrays=True
            )
            if names and ids and self.ndays
            else None
        )
        if got is None:
            return {n: self._empty(len(ids)) for n in names}
        dates, arrays = got
        return {n: self._on_index(dates, arrays[n]) for n in names}

    def _load_bars(self, ids, fields):
        # NaN tables only for what the store does not return (a full table
        # per field costs as much as copying the field).
        got = (
            mivada.get_price_panel(ids, self.start_date, self.end_date, fields=fields)
            if ids and self.ndays
            else None
        )
        if got is None:
            return {f: self._empty(len(ids)) for f in fields}
        out = {}
        for f in fields:
            frame = got[f]
            if not frame.index.equals(self.index):
                frame = frame.reindex(index=self.index)
            out[f] = np.asarray(frame.to_numpy(dtype=np.float64, na_value=np.nan))
        return out

    def _load_factors(self, ids, names):
        out = {n: self._empty(len(ids)) for n in names}
        if not names or not ids or not self.ndays:
            return out
        got = mivada.get_factor(ids, names, self.start_date, self.end_date, expect_df=True)
        if got is None:
            return out
        idx = got.index
        cols = pd.Index(ids).get_indexer(idx.get_level_values("order_book_id"))
        rows = self.index.get_indexer(idx.get_level_values(-1))
        ok = (cols >= 0) & (rows >= 0)
        for n in names:
            values = got[n].to_numpy(dtype=np.float64, na_value=np.nan)
            out[n][rows[ok], cols[ok]] = values[ok]
        return out

    def _from_row(self, first):
        """This context as one loaded from its date at position ``first``:
        the same data, each instrument's valid days before that date left
        out (its series start later), no dependency computed yet.  For
        evaluating factors whose own look-back starts later in a context
        loaded for several: each gets exactly the series its own context
        would hold."""
        view = object.__new__(type(self))
        view.__dict__.update(self.__dict__)
        before = np.count_nonzero(self._valid[:first], axis=0)
        valid = self._valid.copy(order="F")
        valid[:first] = False
        view._valid = valid
        view._starts = self._starts + before
        view._tables = {}
        view._packed_tables = {}
        view.universe_mask = None
        return view

    # -- what the engine reads --------------------------------------------
    def _packed_leaf(self, name):
        """A leaf's values on the loaded valid days, instrument after
        instrument (read-only), made on first use and shared with the
        views of ``_from_row``; None for a leaf not loaded."""
        packed = self._packed.get(name)
        if packed is None:
            panel = self._panels.get(name)
            if panel is None:
                return None
            packed = np.ascontiguousarray(panel.T[self._loaded_valid.T])
            packed.flags.writeable = False
            self._packed[name] = packed
        return packed

    def _position(self, order_book_id):
        try:
            return self._col[order_book_id]
        except (KeyError, TypeError):
            raise ValueError(
                "order_book_id: {!r} is not loaded in this context".format(order_book_id)
            ) from None

    def get_mask_for(self, order_book_id):
        """Boolean array over ``index``: True on the instrument's valid
        days."""
        return self._valid[:, self._position(order_book_id)]

    def get_factor_value(self, expr, order_book_id):
        """The instrument's right-aligned series of a leaf, cross-sectional
        or fixed factor (or a number for a constant fixed factor)."""
        j = self._position(order_book_id)
        if isinstance(expr, _Factor):
            packed = self._packed_leaf(expr.name)
            if packed is None:
                raise ValueError("factor {!r}: not loaded in this context".format(expr.name))
            return packed[self._starts[j] : self._stops[j]]
        if isinstance(expr, (CrossSectionalFactor, FixedFactor)):
            try:
                kind, value = self._tables[expr]
            except KeyError:
                raise ValueError("{!r}: dependency not computed yet".format(expr)) from None
            if kind == "number":
                return value
            if kind == "fixed":
                return value[self._valid[:, j]]
            col = value[1].get(order_book_id)
            if col is None:
                raise KeyError(order_book_id)
            return value[0][:, col][self._valid[:, j]]
        if isinstance(expr, LeafFactor):
            raise TypeError(
                "leaf {!r}: this context serves the store's fields and factors only".format(expr)
            )
        raise TypeError(
            "get_factor_value: expected a leaf, cross-sectional or fixed factor, got {!r}".format(
                expr
            )
        )

    # -- packed access for the engine's compiled loop ----------------------
    def _engine_bulk(self, order_book_ids):
        """(context column of each instrument, the valid days: a
        column-major date x context column boolean array), or None when
        ``get_mask_for`` or ``get_factor_value`` is overridden (the engine
        then calls them)."""
        cls = type(self)
        if (
            cls.get_mask_for is not ThreadingExecContext.get_mask_for
            or cls.get_factor_value is not ThreadingExecContext.get_factor_value
            or "get_mask_for" in self.__dict__
            or "get_factor_value" in self.__dict__
        ):
            return None
        key = tuple(order_book_ids)
        cached = self.__dict__.get("_bulk_cols")
        if cached is not None and cached[0] == key:
            cols = cached[1]
        else:
            cols = np.fromiter(
                (self._col.get(i, -1) if isinstance(i, str) else -1 for i in key),
                dtype=np.int64,
                count=len(key),
            )
            if (cols < 0).any():
                return None
            cols.flags.writeable = False
            self._bulk_cols = (key, cols)
        return cols, self._valid

    def _engine_packed(self, expr, order_book_ids):
        """Every instrument's values of ``expr`` as ("table", column-major
        date x column values, the table column of each context column or
        -1), the engine reading each instrument's valid days from its
        column; a number; or None when ``get_factor_value`` should be asked
        instead (it then raises for what is missing)."""
        if isinstance(expr, _Factor):
            panel = self._panels.get(expr.name)
            if panel is None:
                return None
            if self._identity is None:
                self._identity = np.arange(len(self.order_book_ids), dtype=np.int64)
            return ("table", panel, self._identity)
        if not isinstance(expr, (CrossSectionalFactor, FixedFactor)):
            return None
        entry = self._tables.get(expr)
        if entry is None:
            return None
        kind, value = entry
        if kind == "number":
            return value
        if kind == "table" and any(oid not in value[1] for oid in order_book_ids):
            return None  # get_factor_value raises the KeyError
        cached = self._packed_tables.get(expr)
        if cached is not None:
            return cached
        # tables are handed over whole: the engine reads each instrument's
        # valid days straight from its column (no packed copy)
        if kind == "fixed":
            packed = (
                "table",
                value.reshape(-1, 1, order="F"),
                np.zeros(len(self.order_book_ids), dtype=np.int64),
            )
        else:
            values, cols = value
            ids = self.order_book_ids
            k = len(cols)
            if k <= len(ids) and list(cols) == ids[:k]:
                # the usual case: the table's columns lead the context's
                where = np.full(len(ids), -1, dtype=np.int64)
                where[:k] = np.arange(k)
            else:
                where = np.fromiter(
                    (cols.get(oid, -1) for oid in ids), dtype=np.int64, count=len(ids)
                )
            packed = ("table", values, where)
        self._packed_tables[expr] = packed
        return packed

    def _forget(self, factor):
        """Drop a dependency's table (the engine is done with it)."""
        self._tables.pop(factor, None)
        self._packed_tables.pop(factor, None)

    def update(self, factor, table):
        """Store the computed table of a cross-sectional or fixed
        dependency."""
        self._packed_tables.pop(factor, None)
        if isinstance(factor, FixedFactor) and not isinstance(table, pd.DataFrame):
            if isinstance(table, numbers.Real):
                self._tables[factor] = ("number", float(table))
                return
            full = np.full(self.ndays, np.nan)
            if isinstance(table, pd.Series):
                full[:] = table.reindex(self.index).to_numpy(dtype=np.float64, na_value=np.nan)
            else:
                values = np.asarray(table, dtype=np.float64)
                if values.ndim != 1:
                    raise ValueError(
                        "{!r}: expected a one-dimensional series, got shape {}".format(
                            factor, values.shape
                        )
                    )
                days = np.flatnonzero(self._valid[:, self._position(factor.order_book_id)])
                if len(values) > len(days):
                    raise ValueError(
                        "{!r}: {} values for {} valid days".format(factor, len(values), len(days))
                    )
                if len(values):
                    full[days[len(days) - len(values) :]] = values
            self._tables[factor] = ("fixed", full)
            return
        if not isinstance(table, pd.DataFrame):
            raise TypeError(
                "{!r}: expected a date x instrument table, got {!r}".format(factor, type(table))
            )
        if not table.index.equals(self.index):
            table = table.reindex(index=self.index)
        if all(d == np.float64 for d in table.dtypes):
            # float columns already hold NaN for missing values: no copy
            values = table.to_numpy(dtype=np.float64, copy=False)
        else:
            values = table.to_numpy(dtype=np.float64, na_value=np.nan)
        values = np.asfortranarray(values)
        cols = dict(zip(table.columns.tolist(), range(table.shape[1])))
        self._tables[factor] = ("table", (values, cols))
