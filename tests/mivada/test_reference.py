import numpy as np
import pandas as pd
import pytest

import mivada
from mivada.sample import CITICS_INDUSTRIES, STYLE_FACTORS, SWS_MAP, SWS_NAMES


def history(source):
    """Classification history as reference-data code builds it."""
    client = mivada.client.get_client()
    if source == "citics_2019":
        df = pd.DataFrame(
            client.execute("__internal__zx2019_industry"),
            columns=["first_industry_name", "order_book_id", "start_date"],
        )
        field = "first_industry_name"
    else:
        df = pd.DataFrame(
            client.execute("__internal__shenwan_industry"),
            columns=["index_name", "order_book_id", "start_date", "version"],
        )
        df["select"] = 1
        df.loc[df["start_date"] > pd.Timestamp("2014-01-01"), "select"] = 2
        df.loc[df["start_date"] > pd.Timestamp("2021-07-31"), "select"] = 3
        df = df[df["version"] == df["select"]]
        field = "index_name"
    return df.set_index(["order_book_id", "start_date"])[field].sort_index()


def label_on(hist, oid, day):
    own = hist.loc[oid]
    return own[own.index <= day].iloc[-1]


def test_industry_histories_follow_the_latent_sectors(market):
    citics = history("citics_2019")
    sws = history("sws")
    changed = np.flatnonzero(~np.isnat(market.change_date.values))
    assert len(changed) >= 2
    days = [
        pd.Timestamp(d)
        for d in (
            "2012-06-01",
            "2014-01-01",
            "2014-01-02",
            "2016-03-01",
            "2021-07-30",
            "2021-08-02",
            "2022-05-05",
        )
    ] + list(market.dates[::15])
    for day in days:
        sector = market.sector_on(day)
        version = (
            1
            if day <= pd.Timestamp("2014-01-01")
            else (2 if day <= pd.Timestamp("2021-07-31") else 3)
        )
        for i, oid in enumerate(market.ids):
            if market.listed_date[i] > day:
                continue
            assert label_on(citics, oid, day) == CITICS_INDUSTRIES[sector[i]]
            assert label_on(sws, oid, day) == SWS_NAMES[version][SWS_MAP[version][sector[i]]], (
                oid,
                day,
            )


def test_sws_records_need_the_version_rule(market):
    raw = pd.DataFrame(
        mivada.client.get_client().execute("__internal__shenwan_industry"),
        columns=["index_name", "order_book_id", "start_date", "version"],
    )
    assert set(raw["version"]) == {1, 2, 3}
    assert (raw["start_date"] > pd.Timestamp("2021-07-31")).any()
    kept = history("sws")
    assert len(kept) < len(raw)
    # without the rule, a stock would carry several labels per start date
    assert raw.duplicated(["order_book_id", "start_date"]).any()
    assert not kept.index.duplicated().any()
    # records on the boundary days themselves
    boundary = raw[raw["start_date"].isin([pd.Timestamp("2014-01-01"), pd.Timestamp("2021-07-31")])]
    assert len(boundary) >= 2
    kept_versions = set(
        kept.reset_index().merge(raw)[lambda d: d["start_date"] == pd.Timestamp("2014-01-01")][
            "version"
        ]
    )
    assert kept_versions <= {1}
    with pytest.raises(ValueError, match="^name: expected one of .*, got .__internal__nothing."):
        mivada.client.get_client().execute("__internal__nothing")


def test_index_members_and_cap_weighted_level(market):
    idx = "000300.XSHG"
    members = mivada.index_components(idx, start_date=market.dates[0], end_date=market.dates[-1])
    assert list(members) == list(market.dates)
    for t, day in enumerate(market.dates):
        assert members[day] == sorted(market.ids[market.index_members[idx][t]])
        # members are listed stocks
        assert set(members[day]) <= set(mivada.all_instruments("CS", date=day)["order_book_id"])
    assert mivada.index_components(idx) == members[market.dates[-1]]
    assert mivada.index_components(idx, "2015-06-01") == []
    # the composition changes at reconstitution
    assert members[market.dates[0]] != members[market.dates[-1]]

    # the index moves with the previous day's caps of its members
    ids = list(market.ids)
    caps = (
        mivada.get_factor(ids, "market_cap", market.dates[0], market.dates[-1])["market_cap"]
        .unstack("order_book_id")
        .reindex(columns=ids)
    )
    rate = mivada.get_price_change_rate(ids, market.dates[0], market.dates[-1]).fillna(0.0)
    level = mivada.get_price_change_rate(idx, market.dates[0], market.dates[-1])[idx]
    for t in range(1, len(market.dates)):
        day = market.dates[t]
        w = caps.iloc[t - 1][members[day]]
        expected = (w * rate.loc[day, members[day]]).sum() / w.sum()
        assert level.iloc[t] == pytest.approx(expected, rel=1e-9, abs=1e-12)
    with pytest.raises(ValueError, match="^index_id:"):
        mivada.index_components(market.ids[0])


def test_style_exposures(market):
    ids = list(market.ids[[1, 4, 9]])
    df = mivada.get_style_factor_exposure(
        order_book_ids=ids, start_date=market.dates[5], end_date=market.dates[40], factors=None
    )
    assert df.index.names == ["order_book_id", "date"]
    assert list(df.columns) == list(STYLE_FACTORS)
    for j, p in enumerate([1, 4, 9]):
        rows = np.flatnonzero(market.listed[5:41, p]) + 5
        sub = df.loc[ids[j]] if len(rows) else None
        if sub is None:
            assert ids[j] not in df.index.get_level_values(0)
            continue
        assert list(sub.index) == list(market.dates[rows])
        np.testing.assert_allclose(sub.to_numpy(), market.styles[rows, p, :], rtol=1e-6)
    two = mivada.get_style_factor_exposure(
        ids, market.dates[5], market.dates[40], factors=["beta", "size"]
    )
    assert list(two.columns) == ["beta", "size"]
    # size is the standardised log cap of the day
    day = market.dates[-1]
    listed = mivada.all_instruments("CS", date=day)["order_book_id"].tolist()
    size = mivada.get_style_factor_exposure(listed, day, day, "size")["size"]
    cap = mivada.get_factor(listed, "market_cap", day, day)["market_cap"]
    assert np.corrcoef(size.to_numpy(), np.log(cap.to_numpy()))[0, 1] > 0.999
    with pytest.raises(ValueError, match="^factors:"):
        mivada.get_style_factor_exposure(ids, factors=["quality"])


def test_get_factor(market):
    ids = list(market.ids[:10])
    df = mivada.get_factor(
        ids, ["value_score", "noise", "close"], market.dates[0], market.dates[-1]
    )
    assert list(df.columns) == ["value_score", "noise", "close"]
    assert df.index.names == ["order_book_id", "date"]
    wide = df["value_score"].unstack("order_book_id")
    for p, oid in enumerate(ids):
        rows = np.flatnonzero(market.listed[:, p])
        np.testing.assert_allclose(
            wide.loc[market.dates[rows], oid], market.factors["value_score"][rows, p]
        )
        # bar fields line up with the factors: NaN on suspended days
        close = df.loc[oid, "close"].reindex(market.dates[rows])
        np.testing.assert_array_equal(close.isna().to_numpy(), ~market.has_bar[rows, p])
        np.testing.assert_allclose(
            close.dropna().to_numpy(), market.close[rows, p][market.has_bar[rows, p]]
        )
    member = mivada.get_factor(
        ids, "value_score", market.dates[0], market.dates[-1], universe="000300.XSHG"
    )
    for oid, day in member.index:
        t = market.dates.get_loc(day)
        assert market.index_members["000300.XSHG"][t, list(market.ids).index(oid)]
    assert 0 < len(member) < len(df)
    series = mivada.get_factor(
        ids[0], "reversal_5d", market.dates[0], market.dates[-1], expect_df=False
    )
    assert isinstance(series, pd.Series) and series.name == "reversal_5d"
    assert set(mivada.get_factor_names()) >= {
        "value_score",
        "quality_score",
        "reversal_5d",
        "noise",
    }
    assert mivada.get_factor(ids, "value_score", "2024-02-01", "2024-02-05") is None
    for bad in ("alpha42", None, ["noise", 3]):
        with pytest.raises(ValueError, match="^factor:"):
            mivada.get_factor(ids, bad)
    with pytest.raises(ValueError, match="^universe:"):
        mivada.get_factor(ids, "noise", universe="not-an-index")
