"""Neutralization against the per-date statsmodels formulation, with the
market-data client's operations substituted."""

import types
import warnings

import numpy as np
import pandas as pd
import pytest
from statsmodels.api import OLS

import tarnfold.analysis.assay_bench as ab

NOTHING = (
    "Do not make any processing because no industry nor style factors nor other_factors specify."
)
STYLES = ["size", "beta", "momentum"]


def make_design(rng, n_dates=18, n_inst=30, minute=False, n_styles=3):
    """Factor, style exposures (order_book_id, date) and industry labels
    (datetime, order_book_id) with gaps; instruments deliberately unsorted."""
    days = pd.bdate_range("2022-01-03", periods=n_dates)
    if minute:
        stamps = pd.DatetimeIndex(
            [d + pd.Timedelta(minutes=m) for d in days[: n_dates // 3] for m in (570, 571, 900)]
        )
    else:
        stamps = days
    ids = [f"{k:06d}.XSHE" for k in rng.permutation(np.arange(1, n_inst + 1))]
    factor = pd.DataFrame(rng.normal(size=(len(stamps), n_inst)), index=stamps, columns=ids)
    factor = factor.mask(rng.random(factor.shape) < 0.1)
    factor.iloc[2] = np.nan  # a date without values
    mi = pd.MultiIndex.from_product([ids, days], names=["order_book_id", "date"])
    styles = pd.DataFrame(rng.normal(size=(len(mi), n_styles)), index=mi, columns=STYLES[:n_styles])
    styles = styles.mask(rng.random(styles.shape) < 0.04)
    styles = styles.drop(mi[rng.random(len(mi)) < 0.03])  # pairs without a row
    grid = pd.MultiIndex.from_product([stamps, sorted(ids)], names=["datetime", "order_book_id"])
    names = np.array(["银行", "地产", "医药", "电子"])[rng.integers(0, 4, len(grid))]
    names[np.isin(grid.get_level_values(1), ids[:2])] = "钢铁"  # an industry often empty
    labels = pd.Series(names, index=grid).drop(grid[rng.random(len(grid)) < 0.05])
    return factor, styles, labels


def reference(factor, styles=None, labels=None, others=()):
    """The plain formulation: exposure table, then one OLS per date."""
    exog = None
    if styles is not None:
        exog = styles.reorder_levels(["date", "order_book_id"])
        if not (factor.index == factor.index.normalize()).all():
            exog = exog.unstack("order_book_id").reindex(factor.index.normalize())
            exog.index = factor.index
            exog = exog.stack("order_book_id")
    if labels is not None:
        dummies = pd.get_dummies(labels, dtype=float)
        exog = dummies if exog is None else pd.concat([exog, dummies], axis=1)
    if others:
        exog = pd.concat(list(others) if exog is None else [exog, *others], axis=1)
    index = pd.MultiIndex.from_product(
        [factor.index.tolist(), factor.columns.tolist()], names=["datetime", "order_book_id"]
    )
    exog = exog.reindex(index)

    def _neutralize(x):
        if x.isna().all():
            return x
        return OLS(x, exog=exog.loc[x.name], hasconst=False, missing="drop").fit().resid

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # rank-deficient designs are intended here
        return factor.apply(_neutralize, axis=1)


@pytest.fixture
def client(monkeypatch):
    """Serves the style exposures and industry labels of `client.styles` and
    `client.labels`, recording the calls."""
    state = types.SimpleNamespace(styles=None, labels=None, calls=[])

    def get_style_factor_exposure(**kw):
        state.calls.append(("style", kw))
        f = kw["factors"]
        return state.styles.copy() if f is None else state.styles[list(f)].copy()

    def load_industry_data(order_book_ids, dates, source="citics_2019"):
        state.calls.append(("industry", order_book_ids, dates, source))
        return state.labels.copy()

    monkeypatch.setattr(
        ab, "mivada", types.SimpleNamespace(get_style_factor_exposure=get_style_factor_exposure)
    )
    monkeypatch.setattr(ab, "_load_industry_data", load_industry_data)
    return state


def check(out, expected):
    pd.testing.assert_frame_equal(out, expected, check_exact=False, rtol=0, atol=1e-8)


@pytest.mark.parametrize(
    "industry, style_factors",
    [("citics_2019", "all"), ("sws", ["beta", "size"]), (None, "all"), ("citics_2019", None)],
)
def test_matches_statsmodels(rng, client, industry, style_factors):
    factor, client.styles, client.labels = make_design(rng)
    before = factor.copy()
    out = ab.Neutralization(industry=industry, style_factors=style_factors).process(factor)
    styles = (
        None
        if style_factors is None
        else (client.styles if style_factors == "all" else client.styles[style_factors])
    )
    check(out, reference(factor, styles, client.labels if industry else None))
    pd.testing.assert_frame_equal(factor, before)
    assert out.iloc[2].isna().all()
    if style_factors:
        assert client.calls[0] == (
            "style",
            dict(
                order_book_ids=factor.columns.tolist(),
                start_date=factor.index[0],
                end_date=factor.index[-1],
                factors=None if style_factors == "all" else style_factors,
            ),
        )
    if industry:
        assert client.calls[-1] == (
            "industry",
            factor.columns.tolist(),
            factor.index.tolist(),
            industry,
        )


def test_column_order_and_names(rng, client):
    # Every date regresses every instrument: the factor's column order stays.
    factor, client.styles, client.labels = make_design(rng, n_dates=6, n_inst=12)
    full = factor.fillna(0.5)
    client.styles = client.styles.fillna(0.0).reindex(
        pd.MultiIndex.from_product([factor.columns, factor.index], names=["order_book_id", "date"]),
        fill_value=1.0,
    )
    out = ab.Neutralization(industry=None).process(full)
    assert list(out.columns) == list(factor.columns) and out.columns.name == "order_book_id"
    check(out, reference(full, client.styles))
    # Dates with different samples give the sorted union; an unnamed column
    # axis stays unnamed when an all-NaN date is kept.
    out = ab.Neutralization(industry=None).process(factor)
    assert list(out.columns) == sorted(factor.columns) and out.columns.name is None
    check(out, reference(factor, client.styles))


@pytest.mark.parametrize("with_styles", [False, True])
def test_rank_deficient_designs(rng, client, with_styles):
    factor, client.styles, client.labels = make_design(rng, n_dates=12, n_inst=25)
    # A user table with a column that sums two others, a copy of one
    # industry's dummy, and an industry-level value (constant within
    # industries); on one date only four instruments have values, fewer
    # than the columns.
    index = pd.MultiIndex.from_product([factor.index, factor.columns])
    ind = client.labels.reindex(index)
    a, b, c = rng.normal(size=(3, len(index)))
    # `tiny` falls under the pseudo-inverse cut-off, `small` does not.
    user = pd.DataFrame(
        {
            "a": a,
            "b": b,
            "a+b": a + b,
            "tiny": 1e-18 * c,
            "small": 1e-6 * c[::-1],
            "is_bank": (ind == "银行").astype(float).where(ind.notna()),
            "ind_level": ind.map(
                {"银行": 1.5, "地产": -2.0, "医药": 0.25, "电子": 3.0, "钢铁": 7.0}
            ),
        },
        index=index,
    )
    factor.iloc[5, 4:] = np.nan
    step = ab.Neutralization(style_factors="all" if with_styles else None, other_factors=[user])
    out = step.process(factor)
    check(out, reference(factor, client.styles if with_styles else None, client.labels, [user]))
    # Without industries the user columns alone, also rank deficient, and a
    # date with two observations for three columns.
    factor.iloc[7, 2:] = np.nan
    alone = user[["a", "b", "a+b", "tiny"]]
    out = ab.Neutralization(industry=None, style_factors=None, other_factors=(alone,)).process(
        factor
    )
    check(out, reference(factor, None, None, [alone]))


@pytest.mark.parametrize("with_styles", [False, True])
def test_industry_demeaning_equals_dummy_regression(rng, client, with_styles):
    factor, client.styles, client.labels = make_design(rng, n_dates=10, n_inst=40)
    dummies = pd.get_dummies(client.labels, dtype=float)
    style = "all" if with_styles else None
    by_labels = ab.Neutralization(style_factors=style).process(factor)
    by_columns = ab.Neutralization(
        industry=None, style_factors=style, other_factors=[dummies]
    ).process(factor)
    pd.testing.assert_frame_equal(by_labels, by_columns, check_exact=False, rtol=0, atol=1e-10)
    check(by_labels, reference(factor, client.styles if with_styles else None, client.labels))


def test_industry_residuals_sum_to_zero_within_industries(rng, client):
    factor, client.styles, client.labels = make_design(rng, n_dates=8, n_inst=50)
    out = ab.Neutralization(style_factors=None).process(factor)
    resid = out.stack()
    resid.index.names = ["datetime", "order_book_id"]
    industry = client.labels.reindex(resid.index)
    sums = resid.groupby([resid.index.get_level_values(0), industry]).sum()
    assert len(sums) > 20 and np.abs(sums).max() < 1e-12
    # an instrument without a label on a date is NaN there
    unlabeled = pd.MultiIndex.from_product([factor.index, factor.columns]).difference(
        client.labels.index
    )
    assert out.stack().reindex(unlabeled).isna().all()


def test_minute_timestamps_take_their_days_exposures(rng, client):
    factor, client.styles, client.labels = make_design(rng, n_dates=9, minute=True)
    out = ab.Neutralization().process(factor)
    check(out, reference(factor, client.styles, client.labels))
    kw = client.calls[0][1]
    assert kw["start_date"] == factor.index[0] and kw["end_date"] == factor.index[-1]
    # A label missing for one timestamp drops only that timestamp's cell.
    stamp, oid = factor.index[4], factor.columns[7]
    factor.loc[stamp, oid] = 1.0
    client.labels = client.labels.drop((stamp, oid), errors="ignore")
    out = ab.Neutralization().process(factor)
    assert np.isnan(out.loc[stamp, oid])
    check(out, reference(factor, client.styles, client.labels))


def test_own_industry_loader_matches_its_labels(monkeypatch):
    """The direct industry lookup gives the same residuals as regressing on
    the labels _load_industry_data returns (unlisted, delisted, unclassified
    and reclassified instruments, both sources)."""
    T = pd.Timestamp
    listing = pd.DataFrame(
        {
            "order_book_id": [
                "000001.XSHE",
                "000002.XSHE",
                "600000.XSHG",
                "600001.XSHG",
                "600002.XSHG",
            ],
            "listed_date": ["2019-01-02", "2020-06-03", "2010-05-04", "2015-01-05", "2012-01-04"],
            "de_listed_date": [
                "0000-00-00",
                "0000-00-00",
                "2020-06-08",
                "0000-00-00",
                "0000-00-00",
            ],
        }
    )
    records = {
        "__internal__zx2019_industry": [
            ("银行", "000001.XSHE", T("2019-01-02")),
            ("地产", "000001.XSHE", T("2020-06-04")),
            ("地产", "000002.XSHE", T("2020-06-03")),
            ("银行", "600000.XSHG", T("2010-05-04")),
            ("银行", "600002.XSHG", T("2012-01-04")),
        ],
        "__internal__shenwan_industry": [
            ("金融", "000001.XSHE", T("2014-01-01"), 1),
            ("房产", "000002.XSHE", T("2020-06-03"), 2),
            ("金融", "600000.XSHG", T("2010-05-04"), 1),
            ("金融", "600002.XSHG", T("2012-01-04"), 1),
        ],
    }
    fake = types.SimpleNamespace(execute=lambda name: list(records[name]))
    monkeypatch.setattr(
        ab,
        "mivada",
        types.SimpleNamespace(
            client=types.SimpleNamespace(get_client=lambda: fake),
            all_instruments=lambda kind: listing.copy(),
        ),
    )
    rng = np.random.default_rng(3)
    dates = pd.bdate_range("2020-05-29", periods=12)
    factor = pd.DataFrame(
        rng.normal(size=(12, 5)),
        index=dates,
        columns=["600002.XSHG", "000001.XSHE", "600001.XSHG", "000002.XSHE", "600000.XSHG"],
    )
    own = ab._load_industry_data
    for source in ("citics_2019", "sws"):
        ab._cache_industry_data.cache_clear()
        direct = ab.Neutralization(industry=source, style_factors=None).process(factor)
        labels = own(factor.columns.tolist(), factor.index.tolist(), source=source)
        monkeypatch.setattr(ab, "_load_industry_data", lambda *a, **k: own(*a, **k))
        through_labels = ab.Neutralization(industry=source, style_factors=None).process(factor)
        monkeypatch.setattr(ab, "_load_industry_data", own)
        pd.testing.assert_frame_equal(direct, through_labels, rtol=0, atol=1e-12)
        check(direct, reference(factor, labels=labels))
    ab._cache_industry_data.cache_clear()


def test_constructor_attributes_and_errors():
    n = ab.Neutralization()
    assert (n.industry, n.style_neutralize, n.style_factors, n.other_factors) == (
        "citics_2019",
        True,
        None,
        None,
    )
    n = ab.Neutralization(None, ["beta"], [])
    assert (n.industry, n.style_neutralize, n.style_factors, n.other_factors) == (
        None,
        True,
        ["beta"],
        [],
    )
    with pytest.raises(ValueError) as err:
        ab.Neutralization(industry="citics")
    assert str(err.value) == "industry: expect one of ('citics_2019', 'sws'), got citics"
    with pytest.raises(ValueError) as err:
        ab.Neutralization(industry=None, style_factors=None)
    assert str(err.value) == (
        "Expect at least one of [industry, style_factors, other_factors] "
        "not None, but get both None."
    )


def test_nothing_to_neutralize_warns_and_returns_input(client):
    factor = pd.DataFrame([[1.0, 2.0]], index=pd.bdate_range("2022-01-03", periods=1))
    for step in (
        ab.Neutralization(industry=None, style_factors=None, other_factors=[]),
        ab.Neutralization(industry="", style_factors=[]),
    ):
        with pytest.warns(UserWarning) as rec:
            assert step.process(factor) is factor
        assert [str(w.message) for w in rec] == [NOTHING]
    assert client.calls == []


def test_empty_sample_and_infinite_values(rng, client):
    factor, client.styles, client.labels = make_design(rng, n_dates=8, n_inst=20)
    day = factor.index[5]
    client.styles.loc[client.styles.index.get_level_values("date") == day, "beta"] = np.nan
    factor.iloc[3, 0] = np.inf
    with pytest.warns(UserWarning) as rec:
        out = ab.Neutralization().process(factor)
    messages = [str(w.message) for w in rec]
    assert any(
        "1 date(s) have factor values but no instrument" in m and str(day.date()) in m
        for m in messages
    )
    assert any("1 infinite factor or exposure value(s)" in m for m in messages)
    assert out.loc[day].isna().all() and out.iloc[2].isna().all()
    assert np.isnan(out.loc[factor.index[3], factor.columns[0]])
    keep = factor.index != day
    factor.iloc[3, 0] = np.nan
    check(out[keep], reference(factor[keep], client.styles, client.labels))


def test_bad_inputs(rng, client):
    factor, client.styles, client.labels = make_design(rng, n_dates=4, n_inst=6)
    index = pd.MultiIndex.from_product([factor.index, factor.columns])
    good = pd.DataFrame({"x": rng.normal(size=len(index))}, index=index)

    def run(other):
        return ab.Neutralization(industry=None, style_factors=None, other_factors=other).process(
            factor
        )

    cases = [
        (good, "other_factors: expected a list or tuple of pd.DataFrame"),
        ([good, good["x"]], r"other_factors\[1\]: expect pd.DataFrame"),
        ([good.reset_index(level=1)], r"other_factors\[0\]: expected an index of two levels"),
        ([good.swaplevel()], r"other_factors\[0\]: expected an index of two levels, the date"),
        ([good.assign(name="a")], r"other_factors\[0\]: column 'name' has dtype"),
        (
            [pd.concat([good, good.iloc[:1]])],
            r"other_factors\[0\]: the pair .* appears more than once",
        ),
        (
            [good.set_axis(index.set_levels(index.levels[0] - pd.Timedelta(days=400), level=0))],
            r"other_factors\[0\]: none of its \(date, order_book_id\) pairs",
        ),
    ]
    for other, message in cases:
        with pytest.raises(ValueError, match=message):
            run(other)
    with pytest.raises(ValueError, match="factor_data: expect index type=pd.DatetimeIndex"):
        run([good]) if False else ab.Neutralization().process(factor.reset_index(drop=True))
    with pytest.raises(ValueError, match="factor_data: the columns has duplicate labels"):
        ab.Neutralization(style_factors=None).process(factor.iloc[:, [0, 1, 1]])
    client.styles = client.styles.iloc[:0]
    with pytest.raises(
        ValueError, match="style_factors: the market-data service has no style exposures"
    ):
        ab.Neutralization(industry=None).process(factor)
    hourly = factor.set_axis(factor.index + pd.Timedelta(hours=9))
    client.styles = make_design(rng, n_dates=4, n_inst=6)[1]
    with pytest.raises(ValueError, match="Unknown datetime index"):
        ab.Neutralization(industry=None).process(hourly)


def test_bench_step_on_the_sample_store(tmp_path):
    """Through the real client: style exposures from the store, industry
    labels from the module's own loader, as a bench step."""
    import mivada
    from mivada.sample import PRESETS, build_sample_store

    path = tmp_path / "tiny.duckdb"
    build_sample_store(path, PRESETS["tiny"])
    mivada.init(str(path))
    try:
        ab._cache_industry_data.cache_clear()
        ids = mivada.all_instruments("CS")["order_book_id"].tolist()
        last = mivada.get_latest_trading_date()
        dates = mivada.get_trading_dates(mivada.trading_date_offset(last, -40), last)
        factor = mivada.get_factor(ids, "value_score", dates[0], dates[-1])["value_score"]
        factor = factor.unstack(level="order_book_id")
        bench = ab.FactorAssayBench()
        bench.append(("neutralize", ab.Neutralization()))
        out = bench.analysis(factor, "daily", keep_preprocess_result=True)["neutralize"]
        styles = mivada.get_style_factor_exposure(
            order_book_ids=factor.columns.tolist(),
            start_date=factor.index[0],
            end_date=factor.index[-1],
        )
        labels = ab._load_industry_data(factor.columns.tolist(), factor.index.tolist())
        check(out, reference(factor, styles, labels))
        assert out.notna().sum().sum() > 0.5 * factor.notna().sum().sum()
    finally:
        ab._cache_industry_data.cache_clear()
        mivada.close()
