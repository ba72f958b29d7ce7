"""Industry classification history (one service query per source within
the hour, the sws version rule), the positional label lookup, and the
listing-date mask, with the market-data client substituted."""

import types

import numpy as np
import pandas as pd
import pytest

import tarnfold.analysis.assay_bench as ab

T = pd.Timestamp


class FakeClient:
    def __init__(self, records):
        self.records = records
        self.queries = []

    def execute(self, name):
        self.queries.append(name)
        return list(self.records[name])


LISTING = pd.DataFrame(
    {
        "order_book_id": ["000001.XSHE", "000002.XSHE", "600000.XSHG", "600001.XSHG"],
        "listed_date": ["2019-01-02", "2020-01-10", "2010-05-04", "2015-01-05"],
        "de_listed_date": ["0000-00-00", "0000-00-00", "2021-03-01", "0000-00-00"],
    }
)

ZX = [
    ("银行", "000001.XSHE", T("2019-01-02")),
    ("地产", "000001.XSHE", T("2020-06-01")),
    ("地产", "000002.XSHE", T("2020-01-10")),
    ("钢铁", "600000.XSHG", T("2010-05-04")),
]

SW = [
    ("v1", "000001.XSHE", T("2014-01-01"), 1),
    ("v2", "000001.XSHE", T("2014-01-01"), 2),
    ("v1", "000002.XSHE", T("2014-01-02"), 1),
    ("v2", "000002.XSHE", T("2014-01-02"), 2),
    ("v2", "600000.XSHG", T("2021-07-31"), 2),
    ("v3", "600000.XSHG", T("2021-07-31"), 3),
    ("v2", "600001.XSHG", T("2021-08-01"), 2),
    ("v3", "600001.XSHG", T("2021-08-01"), 3),
]


@pytest.fixture
def client(monkeypatch):
    fake = FakeClient({"__internal__zx2019_industry": ZX, "__internal__shenwan_industry": SW})
    module = types.SimpleNamespace(
        client=types.SimpleNamespace(get_client=lambda: fake),
        all_instruments=lambda kind: LISTING.copy() if kind == "CS" else None,
    )
    monkeypatch.setattr(ab, "mivada", module)
    ab._cache_industry_data.cache_clear()
    yield fake
    ab._cache_industry_data.cache_clear()


def test_history_is_cached_per_source(client):
    zx = ab._cache_industry_data(source="citics_2019")
    assert zx.name == "first_industry_name"
    assert zx.index.names == ["order_book_id", "start_date"] and zx.index.is_monotonic_increasing
    assert ab._cache_industry_data(source="citics_2019") is zx
    ab._cache_industry_data(source="sws")
    ab._cache_industry_data(source="sws")
    assert client.queries == ["__internal__zx2019_industry", "__internal__shenwan_industry"]
    assert ab._cache_industry_data.ttl == 3600


def test_sws_version_rule(client):
    sw = ab._cache_industry_data(source="sws")
    assert sw.name == "index_name"
    kept = {oid: name for (oid, _), name in sw.items()}
    assert kept == {
        "000001.XSHE": "v1",
        "000002.XSHE": "v2",
        "600000.XSHG": "v2",
        "600001.XSHG": "v3",
    }


def test_invalid_source_makes_no_query(client):
    for call in (
        lambda: ab._cache_industry_data(source="CITICS"),
        lambda: ab._load_industry_data(["000001.XSHE"], [T("2020-01-02")], source="CITICS"),
    ):
        with pytest.raises(ValueError) as err:
            call()
        assert str(err.value) == "source: invalid source=CITICS, expect one of [sws, citics_2019]"
    assert client.queries == []


def test_listing_mask(client):
    dates = [T("2020-01-09"), T("2020-01-10"), T("2021-02-26"), T("2021-03-01")]
    mask = ab._get_listed_date_mask_series(
        ["600000.XSHG", "000002.XSHE", "600000.XSHG"], iter(dates)
    )
    assert list(mask.index) == [(d, oid) for d in dates for oid in ("600000.XSHG", "000002.XSHE")]
    assert mask.dtype == bool
    assert mask.tolist() == [True, False, True, True, True, True, False, True]
    # dates in any order: the same value for every pair
    shuffled = ab._get_listed_date_mask_series(
        ["000002.XSHE", "600000.XSHG"], dates[::-1][1:] + [dates[-1]]
    )
    assert shuffled.to_dict() == mask.to_dict()
    with pytest.raises(KeyError):
        ab._get_listed_date_mask_series(["000300.XSHG"], dates)


def test_industry_labels_lookup_and_mask(client):
    ids = ["600000.XSHG", "000001.XSHE", "600001.XSHG"]  # not sorted on purpose
    dates = [T("2021-03-01"), T("2020-05-29"), T("2020-06-01"), T("2018-12-28")]
    labels = ab._load_industry_data(ids, dates)
    assert labels.index.names == ["datetime", "order_book_id"] and labels.name is None
    assert labels.index.is_monotonic_increasing
    assert labels.to_dict() == {
        # 000001 is not listed yet on 2018-12-28; 600000 delisted on 2021-03-01
        (T("2018-12-28"), "600000.XSHG"): "钢铁",
        (T("2018-12-28"), "600001.XSHG"): "Unknown",  # listed but never classified
        (T("2020-05-29"), "000001.XSHE"): "银行",
        (T("2020-05-29"), "600000.XSHG"): "钢铁",
        (T("2020-05-29"), "600001.XSHG"): "Unknown",
        (T("2020-06-01"), "000001.XSHE"): "地产",  # a record starting that day counts
        (T("2020-06-01"), "600000.XSHG"): "钢铁",
        (T("2020-06-01"), "600001.XSHG"): "Unknown",
        (T("2021-03-01"), "000001.XSHE"): "地产",
        (T("2021-03-01"), "600001.XSHG"): "Unknown",
    }
    with pytest.raises(ValueError, match="order_book_ids"):
        ab._load_industry_data(ids + ids[:1], dates)
    assert client.queries == ["__internal__zx2019_industry"]


def test_ic_analysis_with_a_source_name(client, monkeypatch):
    dates = pd.bdate_range("2020-05-25", periods=12)
    ids = ["000001.XSHE", "000002.XSHE", "600000.XSHG", "600001.XSHG"]
    rng = np.random.default_rng(0)
    factor = pd.DataFrame(rng.normal(size=(12, 4)), index=dates, columns=ids)
    returns = pd.DataFrame(rng.normal(scale=0.02, size=(12, 4)), index=dates, columns=ids)
    analyser = ab.ICAnalysis(rank_ic=False, industry_classification="citics_2019")
    res = analyser.analysis(factor, returns, [1])
    fd = ab._format_factor_data(factor, returns, [1])
    labels = analyser._get_industry_data(fd)
    assert set(labels.xs("000001.XSHE", level="order_book_id")) == {"银行", "地产"}
    for name, rows in labels.groupby(labels).groups.items():
        block = fd.loc[rows]
        expected = ab._get_ic_func(False)(block["P_1"], block["factor"])[0]
        assert res.ic_industry_distribute.loc[name, "P_1"] == pytest.approx(expected, abs=1e-12)
    assert client.queries == ["__internal__zx2019_industry"]


def test_industry_ic_by_source_name_equals_the_label_series(client, monkeypatch):
    """The codes read straight from the history give the industry table the
    labels of _load_industry_data give (reclassified, unclassified, not yet
    listed and delisted instruments; rows listed in no date of the mask)."""
    dates = pd.bdate_range("2020-01-06", periods=140)
    ids = ["600001.XSHG", "000002.XSHE", "600000.XSHG", "000001.XSHE"]
    rng = np.random.default_rng(1)
    factor = pd.DataFrame(rng.normal(size=(140, 4)), index=dates, columns=ids)
    returns = pd.DataFrame(rng.normal(scale=0.02, size=(140, 4)), index=dates, columns=ids)
    fd = ab._format_factor_data(factor, returns, [1, 2])
    own, own_mask = ab._load_industry_data, ab._get_listed_date_mask_series
    for source in ("citics_2019", "sws"):
        analyser = ab.ICAnalysis(rank_ic=True, industry_classification=source)
        direct = analyser._calc_ic_industry_distribute(fd)
        monkeypatch.setattr(ab, "_load_industry_data", lambda *a, **k: own(*a, **k))
        through_labels = analyser._calc_ic_industry_distribute(fd)
        monkeypatch.setattr(ab, "_load_industry_data", own)
        pd.testing.assert_frame_equal(direct, through_labels, check_exact=True)
        # the listing read through the mask series, as a substitute gives it
        monkeypatch.setattr(ab, "_get_listed_date_mask_series", lambda *a: own_mask(*a))
        through_mask = analyser._calc_ic_industry_distribute(fd)
        monkeypatch.setattr(ab, "_get_listed_date_mask_series", own_mask)
        pd.testing.assert_frame_equal(direct, through_mask, check_exact=True)
        assert len(direct) >= 2
    assert client.queries == ["__internal__zx2019_industry", "__internal__shenwan_industry"]
