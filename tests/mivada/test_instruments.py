import numpy as np
import pandas as pd
import pytest

import mivada


def listed_mask(order_book_ids, dates):
    """The listing mask as reference-data code derives it: text comparison
    of YYYY-MM-DD dates, "0000-00-00" meaning still listed."""
    stocks = mivada.all_instruments("CS").set_index("order_book_id")
    end = stocks["de_listed_date"].replace("0000-00-00", "2999-12-31")
    text = np.array([mivada.utils.to_date_str(d) for d in dates])
    return pd.DataFrame(
        {oid: (stocks["listed_date"][oid] <= text) & (text < end[oid]) for oid in order_book_ids},
        index=pd.to_datetime(dates),
    )


def test_listing_table_matches_the_market(market):
    table = mivada.all_instruments("CS")
    assert list(table["order_book_id"]) == list(market.ids)
    assert list(table["listed_date"]) == [d.strftime("%Y-%m-%d") for d in market.listed_date]
    expected_end = [
        "0000-00-00" if pd.isna(d) else d.strftime("%Y-%m-%d") for d in market.de_listed_date
    ]
    assert list(table["de_listed_date"]) == expected_end
    assert (table["type"] == "CS").all()
    assert table["order_book_id"].str.match(r"^\d{6}\.(XSHE|XSHG)$").all()
    # the sample has listings and delistings inside its period
    assert (market.listed_date > market.dates[0]).any()
    assert (table["de_listed_date"] != "0000-00-00").any()

    mask = listed_mask(market.ids, market.dates)
    assert np.array_equal(mask.to_numpy(), market.listed)
    # bars only ever fall inside the listing period; suspensions fall inside
    assert not (market.has_bar & ~market.listed).any()
    assert (market.listed & ~market.has_bar).any()


def test_all_instruments_on_a_date(market):
    for t in (0, 17, len(market.dates) - 1):
        day = market.dates[t]
        got = mivada.all_instruments("CS", date=day)["order_book_id"]
        assert list(got) == list(market.ids[market.listed[t]])
    # listing day counts, delisting day does not
    delisted = np.flatnonzero(~np.isnat(market.de_listed_date.values))[0]
    oid = market.ids[delisted]
    out = market.de_listed_date[delisted]
    prev = mivada.get_previous_trading_date(out)
    assert oid in set(mivada.all_instruments("CS", date=prev)["order_book_id"])
    assert oid not in set(mivada.all_instruments("CS", date=out)["order_book_id"])
    assert mivada.get_price(oid, out, "2023-12-29") is None
    assert mivada.get_price(oid, prev, prev) is not None

    indexes = mivada.all_instruments("INDX")
    assert set(indexes["order_book_id"]) == {"000300.XSHG", "000905.XSHG"}
    every = mivada.all_instruments()
    assert len(every) == len(market.ids) + 2
    with pytest.raises(ValueError, match="^type:"):
        mivada.all_instruments("ETF")


def test_instrument_objects(market):
    oid = market.ids[3]
    inst = mivada.instruments(oid)
    assert inst.order_book_id == oid and inst.type == "CS"
    assert inst.listed_date == market.listed_date[3].strftime("%Y-%m-%d")
    assert mivada.instruments("000300.XSHG").type == "INDX"
    assert mivada.instruments("999999.XSHG") is None
    many = mivada.instruments([oid, "999999.XSHG", "000905.XSHG"])
    assert [i.order_book_id for i in many] == [oid, "000905.XSHG"]
    assert inst.is_listed(market.dates[-1]) == bool(market.listed[-1, 3])
