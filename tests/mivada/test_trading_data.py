"""What the trading rules read: the sample market exercises every rule,
limit prices derived from the board and ST records equal the ones the
sample drew its prices under, hand-worked limits of an imported store, and
the import of limits, boards and ST episodes."""

import numpy as np
import pandas as pd
import pytest

import mivada
from mivada import market_rules
from mivada.ingest_files import IngestError, ingest
from mivada.sample import SampleSize, build_sample_store


@pytest.fixture(scope="module")
def sample(tmp_path_factory):
    """A sample of 200 stocks over 900 days (from 2020, across ChiNext's
    reform) written to a store."""
    path = tmp_path_factory.mktemp("trading-sample") / "sample.duckdb"
    market = build_sample_store(path, SampleSize(200, 900, seed=7))
    return str(path), market


def test_the_sample_exercises_every_rule(sample):
    _, m = sample
    bar = m.has_bar
    days = bar.sum()
    tol = market_rules.LIMIT_TOLERANCE
    up = bar & (m.close >= m.limit_up - tol)
    down = bar & (m.close <= m.limit_down + tol)
    sealed_open = bar & ((m.open >= m.limit_up - tol) | (m.open <= m.limit_down + tol))
    for share in (up.sum() / days, down.sum() / days, sealed_open.sum() / days):
        assert 0.003 < share < 0.05
    # sealed days: the whole day at the limit, more of them in small caps
    assert np.all(m.high[m.sealed] == m.low[m.sealed])
    cap = np.nanmean(m.factors["market_cap"], axis=0)
    small, large = cap < np.nanquantile(cap, 1 / 3), cap > np.nanquantile(cap, 2 / 3)
    assert m.sealed[:, small].mean() > 1.5 * m.sealed[:, large].mean()
    assert (m.sealed[1:] & m.sealed[:-1]).any()  # runs of sealed days
    # suspensions of days and of months
    suspended = m.listed & ~bar
    assert 0.01 < suspended.sum() / m.listed.sum() < 0.06
    longest = max(
        np.diff(np.flatnonzero(np.diff(np.r_[0, col.astype(int), 0]))).max(initial=0)
        for col in suspended.T
    )
    assert longest >= 40
    # ST at 5 % on the main boards, and before every delisting
    main_st = bar & m.st & (m.board == 0)[None, :]
    assert main_st.sum() > 0
    expected = market_rules.limit_prices(m.prev_close[main_st], 0.05, 0.05)[0]
    np.testing.assert_array_equal(m.limit_up[main_st], expected)
    gone = np.flatnonzero(~np.isnat(m.de_listed_date.values))
    assert len(gone) > 0
    for i in gone:
        last = np.flatnonzero(m.listed[:, i])[-1]
        assert m.st[last, i]
    # listings: no limit on the first days of STAR, a 44 % band elsewhere
    first = {
        i: np.flatnonzero(bar[:, i])[0] for i in range(len(m.ids)) if m.listed_date[i] >= m.dates[0]
    }
    star = [i for i in first if m.board[i] == 2]
    assert star and all(np.isnan(m.limit_up[first[i], i]) for i in star)
    banded = [i for i in first if m.board[i] == 0 and m.listed_date[i] < pd.Timestamp("2023-04-10")]
    assert banded and all(
        m.close[first[i], i] == pytest.approx(1.44 * m.prev_close[first[i], i]) for i in banded
    )
    # ChiNext: 10 % before its reform date, 20 % after
    chinext = np.flatnonzero(m.board == 1)
    rate = m.limit_up[:, chinext] / m.prev_close[:, chinext] - 1
    reform = m.dates >= market_rules.CHINEXT_REFORM
    ordinary = ~m.st[:, chinext] & (np.cumsum(bar[:, chinext], axis=0) > 1)  # not listing days
    assert np.nanmax(np.abs(rate[~reform][ordinary[~reform]] - 0.1)) < 0.01
    assert np.nanmax(np.abs(rate[reform][ordinary[reform]] - 0.2)) < 0.01


def test_limits_derived_from_the_records_equal_the_samples(sample):
    path, m = sample
    mivada.init(path)
    ids = list(m.ids)
    store = mivada.current_store()
    assert mivada.trading_data_sources() == {
        "open": True,
        "volume": True,
        "price_limits": "stored",
        "boards": "records",
        "st": "records",
    }
    stored = mivada.get_price_limits(ids, m.dates[0], m.dates[-1])
    from mivada.api import trading

    up, down = trading._derived_limits(store, ids, m.dates, m.prev_close)
    for got, want in ((stored["limit_up"], up), (stored["limit_down"], down)):
        np.testing.assert_array_equal(got.to_numpy(), np.where(m.has_bar, want, np.nan))
    st = mivada.get_st_status(ids, m.dates[0], m.dates[-1])
    np.testing.assert_array_equal(st.to_numpy(), m.st)


def write(folder, **tables):
    folder.mkdir()
    for name, frame in tables.items():
        frame.to_csv(folder / (name + ".csv"), index=False)
    return folder


def test_an_imported_store_derives_limits_point_in_time(tmp_path):
    days = ["2020-08-20", "2020-08-21", "2020-08-24", "2020-08-25", "2020-08-26"]
    stocks = {
        "600001.XSHG": "2015-01-05",
        "600002.XSHG": "2015-01-05",
        "300003.XSHE": "2015-01-05",
        "688004.XSHG": "2020-08-24",
        "000005.XSHE": "2020-08-25",
        "430006.BJSE": "2020-08-20",
    }
    instruments = pd.DataFrame(
        {"order_book_id": list(stocks), "type": "CS", "listed_date": list(stocks.values())}
    )
    bars = pd.DataFrame(
        [(i, d, 10.05, 10.05) for i in stocks for d in days if d >= stocks[i]],
        columns=["order_book_id", "date", "close", "prev_close"],
    )
    st = pd.DataFrame(
        {"order_book_id": ["600002.XSHG"], "start_date": ["2020-08-21"], "end_date": ["2020-08-25"]}
    )
    # the Beijing stock is read from its exchange; give one board by record
    boards = pd.DataFrame(
        {"order_book_id": ["430006.BJSE"], "start_date": ["2020-08-20"], "board": ["BSE"]}
    )
    path = tmp_path / "s.duckdb"
    ingest(
        write(
            tmp_path / "f",
            instruments=instruments,
            daily_bars=bars,
            st_records=st,
            board_records=boards,
        ),
        path,
    )
    mivada.init(path)
    assert mivada.trading_data_sources()["price_limits"] == "derived"
    lim = mivada.get_price_limits(list(stocks), days[0], days[-1])
    up = lim["limit_up"].rename(index=lambda d: d.strftime("%Y-%m-%d"))
    down = lim["limit_down"].rename(index=lambda d: d.strftime("%Y-%m-%d"))
    # 10.05 x 1.1 = 11.055 rounds half up to 11.06
    assert list(up["600001.XSHG"]) == [11.06] * 5
    assert list(down["600001.XSHG"]) == [9.05] * 5
    assert list(up["600002.XSHG"]) == [11.06, 10.55, 10.55, 11.06, 11.06]  # ST: 5 %
    assert list(up["300003.XSHE"]) == [11.06, 11.06, 12.06, 12.06, 12.06]  # the reform
    assert np.isnan(up.loc[days[2] :, "688004.XSHG"]).all()  # STAR: 5 days unlimited
    assert up.loc["2020-08-25", "000005.XSHE"] == 14.47  # first day: +44 %
    assert down.loc["2020-08-25", "000005.XSHE"] == 6.43  # and -36 %
    assert np.isnan(up.loc["2020-08-20", "430006.BJSE"])  # first day on Beijing
    assert up.loc["2020-08-21", "430006.BJSE"] == 13.07  # then 30 %

    # limit prices given with the bars are stored and win over the rule
    more = pd.DataFrame(
        {
            "order_book_id": ["600001.XSHG"],
            "date": ["2020-08-27"],
            "close": [10.0],
            "prev_close": [10.05],
            "limit_up": [11.0],
            "limit_down": [9.0],
        }
    )
    ingest(
        write(
            tmp_path / "g", trading_calendar=pd.DataFrame({"date": ["2020-08-27"]}), daily_bars=more
        ),
        path,
    )
    mivada.init(path)
    lim = mivada.get_price_limits(["600001.XSHG"], "2020-08-26", "2020-08-27")
    assert list(lim["limit_up"]["600001.XSHG"]) == [11.06, 11.0]


def test_refused_trading_records(tmp_path):
    instruments = pd.DataFrame(
        {"order_book_id": ["600001.XSHG"], "type": "CS", "listed_date": ["2015-01-05"]}
    )
    bars = pd.DataFrame(
        {
            "order_book_id": ["600001.XSHG"],
            "date": ["2020-08-20"],
            "close": [10.0],
            "limit_up": [9.0],
            "limit_down": [11.0],
        }
    )
    boards = pd.DataFrame(
        {
            "order_book_id": ["600001.XSHG", "600009.XSHG"],
            "start_date": ["2015-01-05", "2015-01-05"],
            "board": ["growth", "main"],
        }
    )
    st = pd.DataFrame(
        {"order_book_id": ["600001.XSHG"], "start_date": ["2020-08-20"], "end_date": ["2020-08-19"]}
    )
    with pytest.raises(IngestError) as err:
        ingest(
            write(
                tmp_path / "f",
                instruments=instruments,
                daily_bars=bars,
                board_records=boards,
                st_records=st,
            ),
            tmp_path / "s.duckdb",
        )
    text = str(err.value)
    for problem in (
        "limit_up is below limit_down",
        "board 'growth' is not one of",
        "end_date is not after start_date",
    ):
        assert problem in text
    # records of a stock the store does not list
    with pytest.raises(IngestError, match="600009.XSHG is not"):
        ingest(
            write(tmp_path / "g", instruments=instruments, board_records=boards.iloc[1:]),
            tmp_path / "s.duckdb",
        )
