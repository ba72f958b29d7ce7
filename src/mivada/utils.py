"""Small helpers of the market-data client."""
import datetime

import numpy as np
import pandas as pd


def date_from_int(value):
    """An integer date in YYYYMMDD form (20230801) as a ``pd.Timestamp``;
    ValueError for any other integer."""
    n = int(value)
    text = str(n)
    if len(text) != 8 or n < 0:
        raise ValueError("cannot read the integer {} as a date; give dates "
                         "as YYYYMMDD (20230801) or text".format(n))
    try:
        return pd.Timestamp(datetime.date(int(text[:4]), int(text[4:6]),
                                          int(text[6:])))
    except ValueError:
        raise ValueError("cannot read the integer {} as a YYYYMMDD date"
                         .format(n)) from None


def to_date_str(date):
    """Return ``date`` as YYYY-MM-DD text.  An integer is read as YYYYMMDD;
    any other integer is refused."""
    if isinstance(date, str):
        return pd.Timestamp(date).strftime("%Y-%m-%d")
    if isinstance(date, (datetime.date, pd.Timestamp)):
        return date.strftime("%Y-%m-%d")
    if isinstance(date, (bool, np.bool_)):
        raise ValueError("cannot read {!r} as a date".format(date))
    if isinstance(date, (int, np.integer)):
        return date_from_int(date).strftime("%Y-%m-%d")
    return pd.Timestamp(date).strftime("%Y-%m-%d")


# -- one way of reading dates --------------------------------------------------
#
# Daily data knows calendar days only, so every reader below follows the same
# rules: an integer is YYYYMMDD (never a count of nanoseconds since 1970), a
# time of day is dropped, and a time-zone-aware value is read as the calendar
# day it names in its own zone (its wall-clock date).  Text with the day and
# month both written as numbers before the year (03/04/2023) is read only
# when the values settle which comes first, or with an explicit format.

_DAY_MONTH = r"^\s*(\d{1,2})[/.\-](\d{1,2})[/.\-](\d{4})(?:\s.*)?$"


def as_date(value, name="date"):
    """One date as a day-resolution ``pd.Timestamp`` (naive, nanoseconds).

    ValueError naming ``name`` when ``value`` is not a date."""
    if isinstance(value, (bool, np.bool_, float, np.floating)) or value is None:
        raise ValueError("{}: cannot read {!r} as a date".format(name, value))
    if isinstance(value, (int, np.integer)):
        try:
            return date_from_int(value).as_unit("ns")
        except ValueError as exc:
            raise ValueError("{}: {}".format(name, exc)) from None
    if isinstance(value, str):
        return as_dates([value], name)[0]
    try:
        ts = pd.Timestamp(value)
    except (ValueError, TypeError, OverflowError):
        raise ValueError("{}: cannot read {!r} as a date".format(name, value)) \
            from None
    if ts is pd.NaT:
        raise ValueError("{}: cannot read {!r} as a date".format(name, value))
    if ts.tzinfo is not None:
        ts = ts.tz_localize(None)
    try:
        return ts.normalize().as_unit("ns")
    except (ValueError, OverflowError, pd.errors.OutOfBoundsDatetime):
        raise ValueError("{}: {!r} is outside the dates a timestamp can hold"
                         .format(name, value)) from None


def _day_first(text, name):
    """Whether text dates written NN/NN/YYYY put the day first; ValueError
    when nothing in the values says which."""
    parts = text.str.extract(_DAY_MONTH)
    if parts[0].isna().all():
        return None
    a = parts[0].dropna().astype(int)
    b = parts[1].dropna().astype(int)
    if (a > 12).any() and not (b > 12).any():
        return True
    if (b > 12).any() and not (a > 12).any():
        return False
    example = text[parts[0].notna()].iloc[0]
    raise ValueError(
        "{}: dates like {!r} can be read day-first or month-first and the "
        "values do not settle which; give the format (for example "
        "'%d/%m/%Y' or '%m/%d/%Y')".format(name, example))


def as_dates(values, name="dates", date_format=None):
    """Dates of a table's index or column as a naive, day-resolution
    ``DatetimeIndex`` (nanoseconds), by the rules above.

    ``date_format`` (strftime codes) reads text dates in that format.
    ValueError naming ``name`` and an example when a value is not a date;
    missing values stay NaT."""
    if isinstance(values, pd.MultiIndex):
        raise ValueError("{}: expected one level of dates, got {} levels"
                         .format(name, values.nlevels))
    series = pd.Series(values if not isinstance(values, pd.Series)
                       else values.to_numpy(), dtype=None if len(values) else object)
    if pd.api.types.is_datetime64_any_dtype(series.dtype):
        out = series
        if getattr(out.dt, "tz", None) is not None:
            out = out.dt.tz_localize(None)
    elif pd.api.types.is_bool_dtype(series.dtype):
        raise ValueError("{}: cannot read true/false values as dates".format(name))
    elif pd.api.types.is_numeric_dtype(series.dtype):
        present = series.dropna()
        if pd.api.types.is_float_dtype(series.dtype) and \
                not np.array_equal(present, np.floor(present)):
            raise ValueError("{}: cannot read {!r} as a date".format(
                name, float(present[present != np.floor(present)].iloc[0])))
        ints = present.astype(np.int64)
        bad = ints[(ints < 10000101) | (ints > 99991231)]
        if len(bad):
            raise ValueError("{}: cannot read the integer {} as a date; give "
                             "dates as YYYYMMDD (20230801) or text"
                             .format(name, int(bad.iloc[0])))
        out = pd.Series(pd.NaT, index=series.index, dtype="datetime64[ns]")
        parsed = pd.to_datetime(ints.astype(str), format="%Y%m%d", errors="coerce")
        if parsed.isna().any():
            raise ValueError("{}: cannot read the integer {} as a YYYYMMDD date"
                             .format(name, int(ints[parsed.isna()].iloc[0])))
        out[present.index] = parsed.to_numpy()
    else:
        present = series.dropna()
        if len(present) and not present.map(
                lambda v: isinstance(v, (str, datetime.date, np.datetime64))).all():
            # datetime objects mixed with text, numbers mixed with text:
            # read each value on its own
            out = pd.Series([as_date(v, name) for v in present],
                            index=present.index, dtype="datetime64[ns]")
            out = out.reindex(series.index)
        else:
            text = present.astype(str).str.strip()
            fmt = date_format
            if fmt is None and len(text):
                if text.str.fullmatch(r"\d{8}").all():
                    fmt = "%Y%m%d"
                else:
                    first = _day_first(text, name)
                    if first is not None:
                        sep = text.str.extract(r"^\s*\d{1,2}([/.\-])")[0].dropna().iloc[0]
                        fmt = sep.join(["%d", "%m", "%Y"] if first else ["%m", "%d", "%Y"])
            try:
                if fmt is None:
                    parsed = pd.to_datetime(text, format="ISO8601", utc=False)
                else:
                    # a detected format covers the date; a time after it
                    # is dropped with the rest of the time of day
                    parsed = pd.to_datetime(text if date_format else
                                            text.str.split().str[0], format=fmt)
            except (ValueError, TypeError, OverflowError):
                parsed = None
            if parsed is None or (fmt is None and parsed.isna().any()):
                try:
                    parsed = pd.to_datetime(text) if fmt is None else None
                except (ValueError, TypeError, OverflowError):
                    parsed = None
            if parsed is None:
                bad = None
                for v in text:
                    try:
                        pd.to_datetime(v, format=fmt) if fmt else pd.Timestamp(v)
                    except (ValueError, TypeError, OverflowError):
                        bad = v
                        break
                raise ValueError("{}: cannot read {!r} as a date{}".format(
                    name, bad if bad is not None else text.iloc[0],
                    " in the format {!r}".format(fmt) if fmt else ""))
            if getattr(parsed.dt, "tz", None) is not None:
                parsed = parsed.dt.tz_localize(None)
            out = pd.Series(pd.NaT, index=series.index, dtype="datetime64[ns]")
            out[present.index] = parsed.astype("datetime64[ns]").to_numpy()
    try:
        out = out.dt.normalize().astype("datetime64[ns]")
    except (OverflowError, pd.errors.OutOfBoundsDatetime):
        raise ValueError("{}: a date is outside the dates a timestamp can hold"
                         .format(name)) from None
    return pd.DatetimeIndex(out.to_numpy(), name=getattr(values, "name", None))
