import datetime
import inspect

import numpy as np
import pandas as pd

from mivada.decorators import ttl_cache
import pytest

from mivada.utils import as_date, as_dates, to_date_str


def test_ttl_cache_per_argument_with_expiry(monkeypatch):
    calls = []
    clock = [1000.0]
    monkeypatch.setattr("mivada.decorators.time.monotonic", lambda: clock[0])

    def load(source="citics_2019"):
        """Load a history."""
        calls.append(source)
        return [source, len(calls)]

    cached = ttl_cache(3600)(load)
    assert inspect.signature(cached) == inspect.signature(load)
    assert cached.__doc__ == "Load a history."
    first = cached(source="sws")
    assert cached(source="sws") is first
    cached(source="citics_2019")
    assert calls == ["sws", "citics_2019"]
    clock[0] += 3599
    assert cached(source="sws") is first
    clock[0] += 2
    assert cached(source="sws") is not first
    cached.cache_clear()
    cached(source="citics_2019")
    assert calls == ["sws", "citics_2019", "sws", "citics_2019"]


def test_to_date_str_forms():
    for value in (
        "2020-01-10",
        "20200110",
        pd.Timestamp("2020-01-10 15:00"),
        datetime.date(2020, 1, 10),
        datetime.datetime(2020, 1, 10),
        np.datetime64("2020-01-10"),
    ):
        assert to_date_str(value) == "2020-01-10"


def test_dates_are_read_one_way():
    day = pd.DatetimeIndex(["2023-01-13", "2023-02-01"])
    # integers and 8-digit text are YYYYMMDD, times of day and zones drop
    assert as_dates(pd.Index([20230113, 20230201])).equals(day)
    assert as_dates(np.array([20230113.0, 20230201.0])).equals(day)
    assert as_dates(["20230113", "20230201"]).equals(day)
    assert as_dates(["2023-01-13 15:00", "2023-02-01"]).equals(day)
    aware = pd.DatetimeIndex(["2023-01-13 23:30", "2023-02-01 00:10"]).tz_localize("Asia/Shanghai")
    assert as_dates(aware).equals(day)
    assert as_dates(pd.DatetimeIndex(["2023-01-13"]).as_unit("s")).dtype == "datetime64[ns]"
    # day/month order taken from the values, or from the format given
    assert as_dates(["13/1/2023", "1/2/2023 10:00"]).equals(day)
    assert as_dates(["1/13/2023", "2/1/2023"]).equals(day)
    assert as_dates(["13.01.2023", "01.02.2023"]).equals(day)
    assert as_dates(["01/02/2023"], date_format="%d/%m/%Y")[0] == pd.Timestamp("2023-02-01")
    assert (
        as_date(20230113)
        == as_date("2023-01-13 09:30")
        == as_date(datetime.datetime(2023, 1, 13, 23, 59))
        == day[0]
    )
    assert as_dates(["20230113", None])[1] is pd.NaT
    for text in ("2023-02-30", "2023-01-13 25:00", ""):
        with pytest.raises(ValueError, match="^day: expected a date, got "):
            as_date(text, "day")


@pytest.mark.parametrize(
    "values, message",
    [
        (["01/02/2023", "03/04/2023"], "day-first or month-first"),
        (["next week"], "expected a date, got 'next week'"),
        ([1.5], "expected a date, got 1.5"),
        ([19700101000], "expected a date as YYYYMMDD .*, got the integer 19700101000"),
        ([20231301], "expected a YYYYMMDD date, got the integer 20231301"),
        ([True, False], "got true/false"),
        (["9999-12-31"], "expected a date a timestamp can hold .*, got '9999-12-31'"),
    ],
)
def test_dates_that_cannot_be_read_name_the_argument(values, message):
    with pytest.raises(ValueError, match="trade_date: .*" + message):
        as_dates(values, "trade_date")
    if len(values) == 1 and not isinstance(values[0], str):
        with pytest.raises(ValueError, match="trade_date"):
            as_date(values[0], "trade_date")
