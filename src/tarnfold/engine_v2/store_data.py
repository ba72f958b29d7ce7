"""What the engine reads of a store on every call, kept per store.

Each instrument's valid days (a bar whose volume is not zero) are read once
per opened store and kept, so that ``execute_factor`` reads only the bar
fields a factor uses, and its look-back search reads nothing at all.  What
is kept belongs to the store ``mivada.store_token()`` names: a store opened
anew (another file, or the same file after an import extended it) starts
afresh, and what was kept for the previous one is dropped.

The mask is kept for the instruments asked for so far, from the earliest
date asked for to the store's last day of data (one byte per instrument and
trading day).
"""

import threading

import numpy as np

import mivada
from mivada.api.prices import _daily_panel

__all__ = ["store_data", "StoreData"]

_lock = threading.Lock()
_current = [None]  # the StoreData of the store read last


class StoreData:
    """The valid-day mask of one opened store."""

    def __init__(self, store):
        self.token = store.serial
        self.calendar = store.calendar
        end = store.data_end
        # calendar rows up to the last one with data (none after it is valid)
        self._rows = 0 if end is None else int(self.calendar.searchsorted(end, "right"))
        self._slot = {}
        self._valid = np.zeros((0, len(self.calendar)), dtype=bool)
        self._first = self._rows  # rows from here to _rows are loaded for every slot
        self._lock = threading.Lock()

    def _read(self, store, ids, lo, hi):
        """Valid days of ``ids`` on calendar rows lo .. hi-1."""
        cal = self.calendar
        dates, got = _daily_panel(store, list(ids), cal[lo], cal[hi - 1], ["close", "volume"])
        out = np.zeros((len(ids), hi - lo), dtype=bool)
        if len(dates):
            rows = cal.get_indexer(dates) - lo
            close, volume = got["close"].T, got["volume"].T
            out[:, rows] = ~np.isnan(close) & (volume != 0)
        return out

    def _ensure(self, store, ids, first):
        if first < self._first and self._slot:
            older = self._read(store, list(self._slot), first, self._first)
            self._valid[: len(self._slot), first : self._first] = older
        self._first = min(self._first, first)
        new = [i for i in dict.fromkeys(ids) if i not in self._slot]
        if not new:
            return
        have = len(self._slot)
        if have + len(new) > self._valid.shape[0]:
            grown = np.zeros(
                (max(2 * self._valid.shape[0], have + len(new)), self._valid.shape[1]), dtype=bool
            )
            grown[:have] = self._valid[:have]
            self._valid = grown
        if self._first < self._rows:
            self._valid[have : have + len(new), self._first : self._rows] = self._read(
                store, new, self._first, self._rows
            )
        for k, oid in enumerate(new):
            self._slot[oid] = have + k

    def valid_days(self, store, ids, dates):
        """Boolean (len(dates) x len(ids)) array, column-major: True where
        the instrument has a bar with non-zero volume.  ``dates`` are
        consecutive trading days of the store's calendar."""
        out = np.zeros((len(ids), len(dates)), dtype=bool)
        if not len(dates) or not len(ids):
            return out.T
        lo = int(self.calendar.searchsorted(dates[0], "left"))
        hi = lo + len(dates)
        if hi > len(self.calendar) or not self.calendar[lo:hi].equals(dates):
            raise ValueError("dates: expected consecutive trading days of the store")
        top = min(hi, self._rows)
        if lo < top:
            with self._lock:
                self._ensure(store, ids, lo)
                slots = np.fromiter((self._slot[i] for i in ids), dtype=np.int64, count=len(ids))
                out[:, : top - lo] = self._valid[slots, lo:top]
        return out.T


def store_data():
    """The kept data of the store mivada reads now (opening the default
    store if none is open)."""
    store = mivada.current_store()
    with _lock:
        data = _current[0]
        if data is None or data.token != store.serial:
            data = StoreData(store)
            _current[0] = data
    return data, store
