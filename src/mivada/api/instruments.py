"""Instruments: stocks and indexes with their listing periods."""
import dataclasses

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
            self.de_listed_date == NOT_DELISTED or day < self.de_listed_date)


def _date_text(values):
    out = pd.Series(values).dt.strftime("%Y-%m-%d")
    return out.fillna(NOT_DELISTED).astype(object).to_numpy()


def instruments(order_book_ids):
    """The ``Instrument`` for one identifier (None if the store does not
    list it), or a list of them for a list of identifiers (unknown ones
    left out)."""
    ids, single = _as_ids(order_book_ids)
    table = current_store().instruments
    known = [i for i in ids if i in table.index]
    rows = table.loc[known]
    listed = _date_text(rows["listed_date"])
    delisted = _date_text(rows["de_listed_date"])
    objs = [Instrument(order_book_id=oid, symbol=sym, type=typ, exchange=ex,
                       listed_date=ld, de_listed_date=dd)
            for oid, sym, typ, ex, ld, dd in zip(
                rows["order_book_id"], rows["symbol"], rows["type"],
                rows["exchange"], listed, delisted)]
    if single:
        return objs[0] if objs else None
    return objs


def all_instruments(type=None, date=None):
    """Instruments of ``type`` ("CS" stocks, "INDX" indexes, None for all):
    a frame with columns order_book_id, symbol, type, exchange, listed_date,
    de_listed_date (YYYY-MM-DD text, "0000-00-00" while listed), sorted by
    identifier.  With ``date``, only those trading on that date (listed on or
    before it and not yet delisted)."""
    table = current_store().instruments
    if type is not None:
        from mivada.schema import INSTRUMENT_TYPES

        if type not in INSTRUMENT_TYPES:
            raise argument_error("type", "one of {}".format(
                list(INSTRUMENT_TYPES)), repr(type))
        table = table[table["type"] == type]
    if date is not None:
        day = _as_date(date, "date")
        keep = (table["listed_date"] <= day) & (
            table["de_listed_date"].isna() | (table["de_listed_date"] > day))
        table = table[keep]
    out = table.reset_index(drop=True).copy()
    out["listed_date"] = _date_text(out["listed_date"])
    out["de_listed_date"] = _date_text(out["de_listed_date"])
    return out[["order_book_id", "symbol", "type", "exchange", "listed_date",
                "de_listed_date"]]
