import numpy as np
import pandas as pd
import pytest

import mivada


def expected_calendar():
    """Weekdays minus the holiday rules, spelled out independently."""
    lny = ["2023-01-22", "2022-02-01", "2024-02-10", "2014-01-31", "2021-02-12"]
    off = set()
    for year in range(2013, 2026):
        off.add(pd.Timestamp(year, 1, 1))
        off.update(pd.Timestamp(year, 5, d) for d in (1, 2, 3))
        off.update(pd.Timestamp(year, 10, d) for d in range(1, 8))
    for day in lny:
        off.update(pd.date_range(pd.Timestamp(day) - pd.Timedelta(days=1), periods=7))
    days = pd.bdate_range("2021-01-04", "2024-12-31")
    # only years whose spring festival is listed above are compared
    return pd.DatetimeIndex([d for d in days if d not in off])


def test_calendar_is_weekdays_without_holidays(market):
    cal = mivada.get_trading_dates("2021-01-04", "2024-12-31")
    assert cal.equals(expected_calendar())
    for day in ("2023-01-27", "2023-10-02", "2023-10-06", "2023-05-03", "2024-01-01", "2023-12-30"):
        assert pd.Timestamp(day) not in cal
    for day in ("2023-01-20", "2023-01-30", "2023-09-29", "2023-10-09"):
        assert pd.Timestamp(day) in cal


def test_offsets_agree_with_calendar_positions(market):
    cal = expected_calendar()
    rng = np.random.default_rng(3)
    days = pd.to_datetime(
        rng.integers(
            pd.Timestamp("2021-06-01").value // 86400_000_000_000,
            pd.Timestamp("2024-06-01").value // 86400_000_000_000,
            60,
        ),
        unit="D",
    )
    days = days.append(pd.DatetimeIndex(["2023-10-01", "2023-09-29", "2023-12-29", "2024-01-01"]))
    for day in days:
        after = cal.searchsorted(day, "right")
        before = cal.searchsorted(day, "left") - 1
        for n in (1, 2, 7):
            assert mivada.get_next_trading_date(day, n) == cal[after + n - 1]
            assert mivada.get_previous_trading_date(day, n) == cal[before - n + 1]
            assert mivada.trading_date_offset(day, -n) == cal[before - n + 1]
            assert mivada.trading_date_offset(day, n) == cal[after + n - 1]
        assert mivada.trading_date_offset(day, 0) == cal[after - 1]
    assert mivada.get_next_trading_date("2023-09-28") == pd.Timestamp("2023-09-29")
    assert mivada.get_next_trading_date(pd.Timestamp("2023-09-29"), 1) == pd.Timestamp("2023-10-09")


def test_latest_trading_date_is_last_day_with_bars(market):
    latest = mivada.get_latest_trading_date()
    assert latest == market.dates[-1] == pd.Timestamp("2023-12-29")
    first = mivada.all_instruments("CS", date=latest)["order_book_id"].iat[0]
    assert mivada.get_price(first, latest, latest, fields="volume") is not None
    nxt = mivada.get_next_trading_date(latest)
    assert mivada.get_price(first, nxt, nxt, fields="volume") is None


@pytest.mark.parametrize(
    "call, arg",
    [
        (lambda: mivada.get_next_trading_date("not a date"), "date"),
        (lambda: mivada.get_next_trading_date("2023-01-05", 0), "n"),
        (lambda: mivada.get_next_trading_date("2023-01-05", 1.5), "n"),
        (lambda: mivada.get_previous_trading_date("2005-01-04"), "date"),
        (lambda: mivada.get_next_trading_date("2025-12-30", 5), "date"),
        (lambda: mivada.trading_date_offset("2023-01-05", "3"), "n"),
        (lambda: mivada.get_trading_dates("2023-02-01", "2023-01-01"), "start_date"),
    ],
)
def test_bad_calendar_arguments_name_the_argument(market, call, arg):
    with pytest.raises(ValueError, match="^" + arg + ":"):
        call()
