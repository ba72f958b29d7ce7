"""Reading the arguments of the operations: identifiers, dates, field names
and counts.  Every refusal is an ``ArgumentError`` (a ``ValueError``)
reading "argument: expected …, got …"."""

import numpy as np
import pandas as pd

from mivada.errors import ArgumentError, argument_error
from mivada.utils import FIRST_DAY, as_date


def _as_ids(order_book_ids, name="order_book_ids"):
    """(list of ids, given-as-one-id) with repeats dropped, order kept."""
    if isinstance(order_book_ids, str):
        return [order_book_ids], True
    expected = "an identifier or a list of them"
    if order_book_ids is None:
        raise argument_error(name, expected, "None")
    try:
        values = list(order_book_ids)
    except TypeError:
        raise argument_error(name, expected, repr(order_book_ids)) from None
    bad = [v for v in values if not isinstance(v, str)]
    if bad:
        raise argument_error(name, "identifiers as text", repr(bad[0]))
    return list(dict.fromkeys(values)), False


_TS_MIN = FIRST_DAY
_OPEN_ENDS = ("start_date", "end_date")


def _as_date(value, name):
    """``value`` as a day-resolution ``pd.Timestamp``, read as
    ``mivada.utils.as_date`` reads dates.  A date beyond what a timestamp
    holds is refused, except as the open end of a range (a ``start_date``
    before 1677, an ``end_date`` after 2262), which stands for the first or
    last day a timestamp holds."""
    try:
        return as_date(value, name)
    except ArgumentError:
        if name in _OPEN_ENDS:
            end = _open_end(value, name)
            if end is not None:
                return end
        raise


def _open_end(value, name):
    """The first or last day a timestamp holds when ``value`` is a date
    past that end on the side ``name`` opens to; None otherwise."""
    from mivada.utils import parse_dates

    if isinstance(value, (int, np.integer)) and not isinstance(value, (bool, np.bool_)):
        value = str(int(value))
    try:
        _, far, _ = parse_dates([value], name)
    except ArgumentError:
        return None
    if not far[0]:
        return None
    year = _year(value)
    if year is None:
        return None
    if name == "end_date" and year >= 2262:
        return pd.Timestamp.max.normalize()
    if name == "start_date" and year <= 1677:
        return _TS_MIN
    return None


def _year(value):
    year = getattr(value, "year", None)
    if year is not None:
        return int(year)
    if isinstance(value, np.datetime64):
        return int(str(value)[:4])
    text = str(value).strip()
    digits = text[:4]
    return int(digits) if digits.isdigit() else None


def _as_time(value, name):
    """``value`` as a naive ``pd.Timestamp`` keeping its time of day (for
    minute bars): the day read as ``_as_date`` reads it, the time from the
    value."""
    day = _as_date(value, name)
    if isinstance(value, (int, np.integer)) or day in (_TS_MIN, pd.Timestamp.max.normalize()):
        return day
    try:
        ts = pd.Timestamp(value)
    except (ValueError, TypeError, OverflowError):
        return day
    if ts.tzinfo is not None:
        ts = ts.tz_localize(None)
    return day + (ts - ts.normalize())


def _as_fields(fields, allowed, name="fields"):
    if fields is None:
        return list(allowed), False
    single = isinstance(fields, str)
    if single:
        names = [fields]
    else:
        try:
            names = list(fields)
        except TypeError:
            raise argument_error(name, "a name or a list of names", repr(fields)) from None
    if not names:
        raise argument_error(name, "at least one name", "none")
    unknown = [f for f in names if f not in allowed]
    if unknown:
        raise argument_error(
            name, "some of {}".format(list(allowed)), "the unknown field {!r}".format(unknown[0])
        )
    return list(dict.fromkeys(names)), single


def _as_int(n, name, minimum=None):
    if isinstance(n, (bool, np.bool_)) or not isinstance(n, (int, np.integer)):
        raise argument_error(name, "an integer", repr(n))
    n = int(n)
    if minimum is not None and n < minimum:
        raise argument_error(name, "at least {}".format(minimum), str(n))
    return n


def _after_end(start, end):
    """The refusal of a range whose start lies after its end."""
    return argument_error(
        "start_date", "a date on or before end_date {}".format(_day_text(end)), _day_text(start)
    )


def _day_text(ts):
    return str(ts.date()) if ts == ts.normalize() else str(ts)
