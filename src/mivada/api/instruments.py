"""Instruments: stocks and indexes with their listing periods."""

import dataclasses

import numpy as np
import pandas as pd

from mivada.api.arguments import _as_date, _as_ids
from mivada.api.store_state import current_store
from mivada.errors import argument_error

NOT_DELISTED = "0000-00-00"


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
            self.de_listed_date == NOT_DELISTED or day < self.de_listed_date
        )


def _date_text(values):
    out = pd.Series(values).dt.strftime("%Y-%m-%d")
    return out.fillna(NOT_DELISTED).astype(object).to_numpy()


def _instrument_objects(store):
    """Every instrument of ``store`` as an ``Instrument``, by identifier
    (made once per opened store: a store is read-only while open)."""
    objs = getattr(store, "_instrument_objects", None)
    if objs is None:
        table = store.instruments
        listed = _date_text(table["listed_date"])
        delisted = _date_text(table["de_listed_date"])
        objs = {
            oid: Instrument(
                order_book_id=oid,
                symbol=sym,
                type=typ,
                exchange=ex,
                listed_date=ld,
                de_listed_date=dd,
            )
            for oid, sym, typ, ex, ld, dd in zip(
                table["order_book_id"],
                table["symbol"],
                table["type"],
                table["exchange"],
                listed,
                delisted,
            )
        }
        store._instrument_objects = objs
    return objs


def instruments(order_book_ids):
    """The ``Instrument`` for one identifier (None if the store does not
    list it), or a list of them for a list of identifiers (unknown ones
    left out)."""
    ids, single = _as_ids(order_book_ids)
    known = _instrument_objects(current_store())
    objs = [known[i] for i in ids if i in known]
    if single:
        return objs[0] if objs else None
    return objs


def _listing_table(store):
    """The instruments as ``all_instruments`` shows them, with the listing
    dates as day numbers for filtering (made once per opened store)."""
    got = getattr(store, "_listing_table", None)
    if got is None:
        table = store.instruments.reset_index(drop=True)
        shown = table[["order_book_id", "symbol", "type", "exchange"]].copy()
        shown["listed_date"] = _date_text(table["listed_date"])
        shown["de_listed_date"] = _date_text(table["de_listed_date"])
        listed = table["listed_date"].to_numpy(dtype="datetime64[ns]")
        delisted = table["de_listed_date"].to_numpy(dtype="datetime64[ns]")
        got = (shown, listed, delisted, table["type"].to_numpy())
        store._listing_table = got
    return got


def all_instruments(type=None, date=None):
    """Instruments of ``type`` ("CS" stocks, "INDX" indexes, None for all):
    a frame with columns order_book_id, symbol, type, exchange, listed_date,
    de_listed_date (YYYY-MM-DD text, "0000-00-00" while listed), sorted by
    identifier.  With ``date``, only those trading on that date (listed on or
    before it and not yet delisted)."""
    shown, listed, delisted, types = _listing_table(current_store())
    keep = np.ones(len(shown), dtype=bool)
    if type is not None:
        from mivada.schema import INSTRUMENT_TYPES

        if type not in INSTRUMENT_TYPES:
            raise argument_error("type", "one of {}".format(list(INSTRUMENT_TYPES)), repr(type))
        keep &= types == type
    if date is not None:
        day = np.datetime64(_as_date(date, "date").value, "ns")
        keep &= (listed <= day) & (np.isnat(delisted) | (delisted > day))
    return shown[keep].reset_index(drop=True)
