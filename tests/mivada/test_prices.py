import numpy as np
import pandas as pd
import pytest

import mivada


def test_get_price_matches_simulated_bars(market):
    picks = [5, 0, 11, 23]
    ids = list(market.ids[picks])
    start, end = market.dates[10], market.dates[60]
    df = mivada.get_price(ids, start, end, fields=["close", "volume", "prev_close"])
    assert df.index.names == ["order_book_id", "date"]
    assert list(df.columns) == ["close", "volume", "prev_close"]
    assert list(dict.fromkeys(df.index.get_level_values(0))) == [
        i for i, p in zip(ids, picks) if market.has_bar[10:61, p].any()
    ]
    for oid, p in zip(ids, picks):
        rows = np.flatnonzero(market.has_bar[10:61, p]) + 10
        if len(rows) == 0:
            continue
        sub = df.loc[oid]
        assert sub.index.equals(pd.DatetimeIndex(market.dates[rows], name="date"))
        np.testing.assert_allclose(sub["close"], market.close[rows, p])
        np.testing.assert_allclose(sub["volume"], market.volume[rows, p])
        np.testing.assert_allclose(sub["prev_close"], market.prev_close[rows, p])
    # the bars hang together
    full = mivada.get_price(ids, start, end)
    assert (full["high"] >= full[["open", "close"]].max(axis=1)).all()
    assert (full["low"] <= full[["open", "close"]].min(axis=1)).all()
    assert (full["volume"] > 0).all() and (full["total_turnover"] > 0).all()


def test_suspended_and_future_days_have_no_bar(market):
    t, i = map(int, np.argwhere(market.listed & ~market.has_bar)[0])
    oid, day = market.ids[i], market.dates[t]
    assert mivada.get_price(oid, day, day, fields="volume") is None
    assert mivada.get_price(oid, "2024-03-01", "2024-03-08") is None
    assert mivada.get_price("999999.XSHE", "2023-12-01", "2023-12-29") is None
    # the return across a suspension is measured from the last close before it
    later = np.flatnonzero(market.has_bar[t:, i])
    if len(later):
        back = np.flatnonzero(market.has_bar[:t, i])
        resume = t + later[0]
        row = mivada.get_price(oid, market.dates[resume], market.dates[resume])
        assert row["prev_close"].iat[0] == pytest.approx(market.close[back[-1], i])


def test_index_bars_and_field_forms(market):
    one = mivada.get_price(
        "000300.XSHG",
        market.dates[0],
        market.dates[-1],
        frequency="1d",
        fields=["close"],
        expect_df=True,
    )
    assert list(one.columns) == ["close"]
    assert len(one) == len(market.dates)
    np.testing.assert_allclose(one["close"].to_numpy(), market.index_bars["000300.XSHG"]["close"])
    as_text = mivada.get_price("000300.XSHG", market.dates[0], market.dates[-1], fields="close")
    assert as_text.equals(one)
    series = mivada.get_price(
        "000300.XSHG", market.dates[0], market.dates[3], fields="close", expect_df=False
    )
    assert isinstance(series, pd.Series) and len(series) == 4
    # the sample keeps no minute bars or ticks
    assert (
        mivada.get_price(
            "000300.XSHG", market.dates[-1], market.dates[-1], frequency="1m", fields=["close"]
        )
        is None
    )
    assert (
        mivada.get_price(
            "000300.XSHG", market.dates[-1], market.dates[-1], frequency="tick", fields=["last"]
        )
        is None
    )


@pytest.mark.parametrize(
    "kwargs, arg",
    [
        (dict(fields=["close", "vwap"]), "fields"),
        (dict(fields=[]), "fields"),
        (dict(fields=5), "fields"),
        (dict(fields=["close", None]), "fields"),
        (dict(frequency="5m"), "frequency"),
        (dict(start_date="2023-12-29", end_date="2023-12-01"), "start_date"),
        (dict(start_date="yesterday-ish"), "start_date"),
    ],
)
def test_bad_get_price_arguments(market, kwargs, arg):
    with pytest.raises(ValueError, match="^" + arg + ":"):
        mivada.get_price(list(market.ids[:3]), **kwargs)
    with pytest.raises(ValueError, match="^order_book_ids:"):
        mivada.get_price([1, 2])


def test_price_change_rate(market):
    ids = pd.Index(list(market.ids[[7, 2, 30]]) + ["123456.XSHE"])
    end_after_data = mivada.get_next_trading_date(market.dates[-1], 5)
    rate = mivada.get_price_change_rate(
        order_book_ids=ids,
        start_date=market.dates[20],
        end_date=end_after_data,
        expect_df=True,
        market="cn",
    )
    assert list(rate.columns) == list(ids)
    assert rate.index.equals(pd.DatetimeIndex(market.dates[20:], name="date"))
    expected = market.close / market.prev_close - 1.0
    np.testing.assert_allclose(rate.iloc[:, :3].to_numpy(), expected[20:, [7, 2, 30]])
    assert rate["123456.XSHE"].isna().all()
    # NaN exactly where there is no bar
    assert np.array_equal(rate.iloc[:, :3].isna().to_numpy(), ~market.has_bar[20:, [7, 2, 30]])
    assert mivada.get_price_change_rate(ids, "2024-02-01", "2024-03-01") is None
    with pytest.raises(ValueError, match="^market:"):
        mivada.get_price_change_rate(ids, market="hk")


def test_price_panel_agrees_with_long_bars(market):
    ids = list(market.ids[:12])
    panel = mivada.get_price_panel(
        ids, market.dates[0], market.dates[-1], fields=["close", "volume"]
    )
    long = mivada.get_price(ids, market.dates[0], market.dates[-1], fields=["close", "volume"])
    for field in ("close", "volume"):
        wide = long[field].unstack("order_book_id").reindex(index=panel[field].index, columns=ids)
        pd.testing.assert_frame_equal(panel[field], wide, check_names=False)


def test_panel_of_published_factors_and_as_arrays(market):
    # a published factor comes wide, as the long read unstacked; arrays
    # are the same values, each instrument's column contiguous
    ids = list(market.ids[[3, 0, 17]]) + ["999999.XSHE"]
    start, end = market.dates[5], market.dates[40]
    panel = mivada.get_price_panel(ids, start, end, fields=["value_score", "close"])
    long = mivada.get_factor(ids, "value_score", start, end)["value_score"]
    wide = long.unstack("order_book_id").reindex(index=panel["close"].index, columns=ids)
    pd.testing.assert_frame_equal(panel["value_score"], wide, check_names=False)
    assert panel["value_score"]["999999.XSHE"].isna().all()
    dates, arrays = mivada.get_price_panel(
        ids, start, end, fields=["value_score", "close"], as_arrays=True
    )
    assert dates.equals(panel["close"].index.rename(None))
    for field in ("value_score", "close"):
        assert arrays[field].flags.f_contiguous
        np.testing.assert_array_equal(arrays[field], panel[field].to_numpy())
    with pytest.raises(ValueError, match="unknown field 'vale_score'"):
        mivada.get_price_panel(ids, start, end, fields=["vale_score"])
    # inside reusing_reads the arrays are the kept ones: read-only
    with mivada.api.reusing_reads():
        mivada.get_price_panel(ids, start, end, fields=["close"])
        _, kept = mivada.get_price_panel(ids, start, end, fields=["close"], as_arrays=True)
    assert not kept["close"].flags.writeable
    mivada.api.forget_reads()


def test_long_reads_of_few_and_many_instruments_agree(market):
    # up to 64 instruments are named in the query, more are joined
    ids = list(market.ids[:70])[::-1] + ["999999.XSHE"]
    start, end = market.dates[30], market.dates[50]
    many = mivada.get_price(ids, start, end, fields=["close", "volume"])
    few = mivada.get_price(ids[:5] + ["999999.XSHE"], start, end, fields=["close", "volume"])
    want = many.loc[[i for i in ids[:5] if i in many.index.get_level_values(0)]]
    pd.testing.assert_frame_equal(few, want)
    assert list(dict.fromkeys(few.index.get_level_values(0))) == [
        i for i in ids[:5] if market.has_bar[30:51, list(market.ids).index(i)].any()
    ]


def test_listings_are_handed_out_as_copies(market):
    before = mivada.all_instruments("CS", date=market.dates[40])
    changed = mivada.all_instruments("CS", date=market.dates[40])
    changed.loc[0, "symbol"] = "CHANGED"
    changed.iloc[1, 0] = "000000.XSHE"
    pd.testing.assert_frame_equal(mivada.all_instruments("CS", date=market.dates[40]), before)
    listed = mivada.all_instruments("CS")
    later = mivada.all_instruments("CS", date=market.dates[-1])
    assert set(later["order_book_id"]) <= set(listed["order_book_id"])
    assert (later["listed_date"] <= str(market.dates[-1].date())).all()
