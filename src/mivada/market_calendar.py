"""The sample market's trading calendar: weekdays minus exchange holidays.

Holidays are a fixed rule set so that every machine builds the same
calendar: New Year's Day, the spring festival week (eve of the lunar new year
and the six days after it), May 1-3 and October 1-7.
"""

import numpy as np
import pandas as pd

CALENDAR_START = "2005-01-04"
CALENDAR_END = "2025-12-31"

# Gregorian date of the lunar new year, per year.
LUNAR_NEW_YEAR = {
    2005: "02-09",
    2006: "01-29",
    2007: "02-18",
    2008: "02-07",
    2009: "01-26",
    2010: "02-14",
    2011: "02-03",
    2012: "01-23",
    2013: "02-10",
    2014: "01-31",
    2015: "02-19",
    2016: "02-08",
    2017: "01-28",
    2018: "02-16",
    2019: "02-05",
    2020: "01-25",
    2021: "02-12",
    2022: "02-01",
    2023: "01-22",
    2024: "02-10",
    2025: "01-29",
}


def holidays(year):
    """Holiday dates of ``year`` (weekends included where they overlap)."""
    days = [pd.Timestamp(year, 1, 1)]
    if year in LUNAR_NEW_YEAR:
        lny = pd.Timestamp("{}-{}".format(year, LUNAR_NEW_YEAR[year]))
        days += list(pd.date_range(lny - pd.Timedelta(days=1), periods=7))
    days += [pd.Timestamp(year, 5, d) for d in (1, 2, 3)]
    days += [pd.Timestamp(year, 10, d) for d in range(1, 8)]
    return days


def trading_calendar(start=CALENDAR_START, end=CALENDAR_END):
    """Trading dates from ``start`` to ``end`` inclusive."""
    start, end = pd.Timestamp(start), pd.Timestamp(end)
    weekdays = pd.bdate_range(start, end)
    off = []
    for year in range(start.year, end.year + 1):
        off.extend(holidays(year))
    keep = ~weekdays.isin(pd.DatetimeIndex(off))
    return pd.DatetimeIndex(np.asarray(weekdays[keep]), name="date")
