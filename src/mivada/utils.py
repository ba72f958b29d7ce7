"""Small helpers of the market-data client, and the one way of reading
dates."""

import datetime
import re

import numpy as np
import pandas as pd

from mivada.errors import argument_error

# The dates a nanosecond timestamp holds.
FIRST_DAY = pd.Timestamp.min.ceil("D")
LAST_DAY = pd.Timestamp.max.floor("D")
TIMESTAMP_SPAN = "{} to {}".format(FIRST_DAY.date(), LAST_DAY.date())


def _outside(name, value):
    return argument_error(
        name, "a date a timestamp can hold ({})".format(TIMESTAMP_SPAN), repr(value)
    )


def date_from_int(value, name="date"):
    """An integer date in YYYYMMDD form (20230801) as a ``pd.Timestamp``;
    ``ArgumentError`` (a ``ValueError``) naming ``name`` for any other
    integer."""
    n = int(value)
    text = str(n)
    if len(text) != 8 or n < 0:
        raise argument_error(
            name, "a date as YYYYMMDD (20230801) or text", "the integer {}".format(n)
        )
    try:
        day = datetime.date(int(text[:4]), int(text[4:6]), int(text[6:]))
    except ValueError:
        raise argument_error(name, "a YYYYMMDD date", "the integer {}".format(n)) from None
    if not FIRST_DAY.date() <= day <= LAST_DAY.date():
        raise _outside(name, n)
    return pd.Timestamp(day).as_unit("ns")


def to_date_str(date):
    """Return ``date`` as YYYY-MM-DD text, read as ``as_date`` reads it (an
    integer is YYYYMMDD)."""
    if isinstance(date, (datetime.date, pd.Timestamp)) and date is not pd.NaT:
        return date.strftime("%Y-%m-%d")
    return as_date(date).strftime("%Y-%m-%d")


# -- one way of reading dates --------------------------------------------------
#
# Daily data knows calendar days only, so every reader below follows the same
# rules: an integer is YYYYMMDD (never a count of nanoseconds since 1970), a
# time of day is dropped, and a time-zone-aware value is read as the calendar
# day it names in its own zone (its wall-clock date).  Text with the day and
# month both written as numbers before the year (03/04/2023) is read only
# when the values settle which comes first, or with an explicit format.
# ``parse_dates`` is the reader itself (it keeps times of day and marks what
# it cannot read); ``as_date``/``as_dates`` apply it to arguments and table
# axes, the import of files to its columns.

_DAY_MONTH = r"^\s*(\d{1,2})[/.\-](\d{1,2})[/.\-](\d{4})(?:\s.*)?$"
_DAY_MONTH_HEAD = r"^(\d{1,2})[/.\-](\d{1,2})[/.\-](\d{4})"
_PLAIN_ISO = re.compile(
    r"^\s*\d{4}-(0[1-9]|1[0-2])-(0[1-9]|[12]\d|3[01])"
    r"(?:[ T]([01]\d|2[0-3]):[0-5]\d(?::[0-5]\d(?:\.\d+)?)?)?"
    r"\s*$"
)
# day, month and a two-digit year in some order: nothing settles which
_SHORT_YEAR = re.compile(r"^\d{1,2}[/.\-]\d{1,2}[/.\-]\d{2}(?:\s|$)")


def as_date(value, name="date"):
    """One date as a day-resolution ``pd.Timestamp`` (naive, nanoseconds).

    ``ArgumentError`` (a ``ValueError``) naming ``name`` when ``value`` is
    not a date or lies outside what a timestamp holds."""
    if value is None or value is pd.NaT or isinstance(value, (bool, np.bool_, float, np.floating)):
        raise argument_error(name, "a date", repr(value))
    if isinstance(value, (int, np.integer)):
        return date_from_int(value, name)
    if isinstance(value, str):
        if not value.strip():
            raise argument_error(name, "a date", repr(value))
        if _PLAIN_ISO.match(value):
            # the common form, read without building a column first
            try:
                day = datetime.date.fromisoformat(value.strip()[:10])
            except ValueError:
                raise argument_error(name, "a date", repr(value)) from None
            if not FIRST_DAY.date() <= day <= LAST_DAY.date():
                raise _outside(name, value)
            return pd.Timestamp(day).as_unit("ns")
        return as_dates([value], name)[0]
    ts, far = _timestamp(value)
    if far:
        raise _outside(name, value)
    if ts is None:
        raise argument_error(name, "a date", repr(value))
    return ts.normalize()


def _timestamp(value):
    """(naive nanosecond ``pd.Timestamp`` keeping the time of day, or None
    when unreadable; whether ``value`` is a date beyond what a timestamp
    holds).  A zone-aware value gives its wall-clock time."""
    try:
        ts = pd.Timestamp(value)
    except (OverflowError, pd.errors.OutOfBoundsDatetime):
        return None, _looks_like_date(value)
    except (ValueError, TypeError):
        return None, False
    if ts is pd.NaT:
        return None, False
    if ts.tzinfo is not None:
        ts = ts.tz_localize(None)
    if not FIRST_DAY <= ts <= pd.Timestamp.max:
        return None, True
    try:
        return ts.as_unit("ns"), False
    except (OverflowError, pd.errors.OutOfBoundsDatetime):
        return None, True


def _looks_like_date(value):
    """Whether a value a timestamp cannot hold is still a date (a far year),
    rather than something unreadable."""
    if isinstance(value, (datetime.date, np.datetime64)):
        return True
    if isinstance(value, str):
        try:
            datetime.date.fromisoformat(value.strip()[:10])
            return True
        except ValueError:
            return False
    return False


def _day_first(text, name):
    """Whether text dates written NN/NN/YYYY put the day first (None when
    there are none); ``ArgumentError`` when nothing in the values says
    which."""
    # only values with a separator among their first three characters can
    # be written so (ISO dates start with four digits)
    maybe = text[text.str[:3].str.contains(r"[/.\-]", regex=True)]
    if maybe.empty:
        return None
    parts = maybe.str.extract(_DAY_MONTH)
    if parts[0].isna().all():
        return None
    a = parts[0].dropna().astype(int)
    b = parts[1].dropna().astype(int)
    if (a > 12).any() and not (b > 12).any():
        return True
    if (b > 12).any() and not (a > 12).any():
        return False
    example = maybe[parts[0].notna()].iloc[0]
    raise argument_error(
        name,
        "dates whose day/month order is settled",
        "{!r}, which reads "
        "day-first or month-first and no value says which; give the format "
        "(for example '%d/%m/%Y' or '%m/%d/%Y')".format(example),
    )


def _to_iso(text, day_first):
    """NN/NN/YYYY text rewritten as YYYY-MM-DD (anything after the date
    kept)."""

    def swap(m):
        a, b, year = m.group(1), m.group(2), m.group(3)
        day, month = (a, b) if day_first else (b, a)
        return "{}-{:0>2}-{:0>2}".format(year, month, day)

    return text.str.replace(_DAY_MONTH_HEAD, swap, regex=True)


def _as_nanoseconds(parsed):
    """Parsed datetimes as naive datetime64[ns] and a mask of values beyond
    what that holds (pandas may parse far dates at a coarser unit)."""
    if getattr(parsed.dt, "tz", None) is not None:
        parsed = parsed.dt.tz_localize(None)
    unit = np.datetime_data(parsed.dtype)[0]
    far = np.zeros(len(parsed), dtype=bool)
    if unit != "ns":
        raw = parsed.to_numpy()
        lo = np.datetime64(FIRST_DAY.value, "ns").astype(raw.dtype)
        hi = np.datetime64(pd.Timestamp.max.value, "ns").astype(raw.dtype)
        far = ~np.isnat(raw) & ((raw < lo) | (raw > hi))
        if far.any():
            raw = raw.copy()
            raw[far] = np.datetime64("NaT")
        parsed = pd.Series(raw, index=parsed.index)
    return parsed.astype("datetime64[ns]"), far


def _read_text(text, name, date_format):
    """Text dates (a series of stripped strings, no missing values) as
    (datetime64[ns] series, far mask, unreadable mask)."""
    fmt = date_format
    if fmt is None and len(text):
        first = text.iloc[0]
        if len(first) == 8 and first.isdigit() and text.str.fullmatch(r"\d{8}").all():
            fmt = "%Y%m%d"
        else:
            day_first = _day_first(text, name)
            if day_first is not None:
                text = _to_iso(text, day_first)
    try:
        parsed = pd.to_datetime(text, format=fmt or "ISO8601", errors="coerce")
        parsed, far = _as_nanoseconds(parsed)
    except (ValueError, TypeError, OverflowError):
        # zones mixed with naive values: read value by value below
        parsed = pd.Series(pd.NaT, index=text.index, dtype="datetime64[ns]")
        far = np.zeros(len(text), dtype=bool)
    bad = np.zeros(len(text), dtype=bool)
    for i in np.flatnonzero(parsed.isna().to_numpy() & ~far):
        v = text.iloc[i]
        if fmt is not None:
            try:
                ts, far[i] = _timestamp(datetime.datetime.strptime(v, fmt))
            except ValueError:
                ts = None
        elif _SHORT_YEAR.match(v):
            ts = None
        else:
            # forms other than ISO 8601 ("Jan 5 2023"), zones
            ts, far[i] = _timestamp(v)
        if ts is None:
            bad[i] = not far[i]
        else:
            parsed.iloc[i] = ts
    return parsed, far, bad


def parse_dates(values, name="dates", date_format=None):
    """Read a column or an index of dates by the rules above, keeping any
    time of day: (datetime64[ns] series with a default index, mask of dates
    beyond what a timestamp holds, mask of values that are not dates).
    Missing values (None, NaN, NaT) are NaT in neither mask.

    ``date_format`` (strftime codes) reads text dates in that format.
    ``ArgumentError`` naming ``name`` when the whole column cannot be dates
    (true/false values, several index levels, day/month order unsettled)."""
    if isinstance(values, pd.MultiIndex):
        raise argument_error(name, "one level of dates", "{} levels".format(values.nlevels))
    if isinstance(values, (pd.Series, pd.Index)):
        values = values.array
    series = pd.Series(values, dtype=None if len(values) else object)
    n = len(series)
    if pd.api.types.is_datetime64_any_dtype(series.dtype):
        parsed, far = _as_nanoseconds(series)
        return parsed, far, np.zeros(n, dtype=bool)
    if pd.api.types.is_bool_dtype(series.dtype):
        raise argument_error(name, "dates", "true/false values")
    out = pd.Series(pd.NaT, index=series.index, dtype="datetime64[ns]")
    far = np.zeros(n, dtype=bool)
    bad = np.zeros(n, dtype=bool)
    present = series.notna().to_numpy()
    if not present.any():
        return out, far, bad
    where = np.flatnonzero(present)
    kept = series[present]
    if pd.api.types.is_numeric_dtype(series.dtype):
        whole = kept == np.floor(kept)
        ok = whole & (kept >= 10000101) & (kept <= 99991231)
        digits = kept[ok].astype(np.int64).astype(str)
        got, got_far, got_bad = _read_text(digits, name, "%Y%m%d")
        bad[where[~ok.to_numpy()]] = True
        ok_at = where[ok.to_numpy()]
        out.iloc[ok_at] = got.to_numpy()
        far[ok_at], bad[ok_at] = got_far, got_bad
        return out, far, bad
    if pd.api.types.infer_dtype(kept, skipna=False) == "string":
        got, got_far, got_bad = _read_text(kept.str.strip(), name, date_format)
        out.iloc[where] = got.to_numpy()
        far[where], bad[where] = got_far, got_bad
        return out, far, bad
    # text mixed with numbers or datetime objects: value by value
    for i, v in zip(where, kept):
        if isinstance(v, (bool, np.bool_)):
            bad[i] = True
            continue
        if isinstance(v, (int, np.integer)) or (
            isinstance(v, (float, np.floating)) and float(v).is_integer()
        ):
            v = str(int(v))
        if isinstance(v, str):
            got, got_far, got_bad = _read_text(pd.Series([v.strip()]), name, date_format)
            ts, far[i], bad[i] = got.iloc[0], got_far[0], got_bad[0]
        else:
            ts, far[i] = _timestamp(v)
            bad[i] = ts is None and not far[i]
        if ts is not None and ts is not pd.NaT:
            out.iloc[i] = ts
    return out, far, bad


def as_dates(values, name="dates", date_format=None):
    """Dates of a table's index or column as a naive, day-resolution
    ``DatetimeIndex`` (nanoseconds), by the rules above.

    ``date_format`` (strftime codes) reads text dates in that format.
    ``ArgumentError`` (a ``ValueError``) naming ``name`` and an example when
    a value is not a date; missing values stay NaT."""
    parsed, far, bad = parse_dates(values, name, date_format)
    if far.any() or bad.any():
        i = int(np.flatnonzero(far | bad)[0])
        given = list(values.array if isinstance(values, (pd.Series, pd.Index)) else values)
        v = given[i]
        if far[i]:
            raise _outside(name, v)
        if (
            isinstance(v, (int, np.integer, float, np.floating))
            and not isinstance(v, (bool, np.bool_))
            and float(v).is_integer()
        ):
            date_from_int(v, name)  # says why the integer is no date
        raise argument_error(
            name,
            "a date" + (" in the format {!r}".format(date_format) if date_format else ""),
            repr(v),
        )
    return pd.DatetimeIndex(parsed.dt.normalize().to_numpy(), name=getattr(values, "name", None))
