import re

import numpy as np
import pandas as pd
import pytest

from tarnfold.analysis import assay_bench as ab
from _tables import random_table
from ic_pandas_reference import format_factor_data as pandas_format


def test_validate_data_frame_messages():
    class Sub(pd.DataFrame):
        pass

    # the class prints as <class 'pandas.Series'> (pandas.core.series.Series before pandas 3)
    with pytest.raises(
        ValueError, match="^returns: expect pd.DataFrame, got {}$".format(re.escape(str(pd.Series)))
    ):
        ab._validate_data_frame(pd.Series([1.0]), "returns")
    with pytest.raises(
        ValueError,
        match="^factor_data: expect index type=pd.DatetimeIndex, got {}$".format(
            re.escape(str(pd.RangeIndex))
        ),
    ):
        ab._validate_data_frame(df=pd.DataFrame({"a": [1.0]}), name="factor_data")
    assert (
        ab._validate_data_frame(Sub({"a": [1.0]}, index=pd.DatetimeIndex(["2020-01-01"])), "x")
        is None
    )


@pytest.mark.parametrize("periods", [(1, 5, 20), [0, 3], (2, 2), []])
def test_format_matches_pandas(rng, periods):
    returns = random_table(rng, 40, 7, nan_frac=0.15) * 0.02
    returns.iloc[:4, 3] = np.nan  # an instrument whose returns start late
    factor = random_table(rng, 30, 7, ties=True).iloc[3:]
    factor.columns = list(returns.columns[2:]) + ["X1", "X2"]  # two unknown, two missing
    ours = ab._format_factor_data(factor, returns, periods)
    pd.testing.assert_frame_equal(ours, pandas_format(factor, returns, periods), rtol=1e-12)
    assert list(ours.index.names) == ["datetime", "order_book_id"]


def test_format_worked_example():
    dates = pd.bdate_range("2021-06-01", periods=10)
    r = pd.DataFrame(
        0.01 * np.arange(1, 31).reshape(10, 3), index=dates, columns=["i1", "i2", "i3"]
    )
    r.loc[dates[3], "i1"] = np.nan
    f = pd.DataFrame(1.0, index=dates[:8], columns=["i1", "i2", "zz"])
    out = ab._format_factor_data(f, r, [1, 5])
    assert out.shape == (24, 3) and list(out.columns) == ["P_1", "P_5", "factor"]
    assert "zz" not in out.index.get_level_values(1)
    assert out.xs("i3", level=1)["factor"].isna().all()
    d = dates
    assert np.isnan(out.loc[(d[7], "i2"), "P_5"])
    assert out.loc[(d[7], "i2"), "P_1"] == pytest.approx(r.loc[d[8], "i2"])
    assert out.loc[(d[2], "i1"), "P_1"] == 0.0  # the missing return counts as zero
    expected = np.prod(1 + r.loc[[d[1], d[2], d[4], d[5]], "i1"]) - 1
    assert out.loc[(d[0], "i1"), "P_5"] == pytest.approx(expected, rel=1e-14)


def test_format_bad_input():
    dates = pd.bdate_range("2021-06-01", periods=5)
    good = pd.DataFrame(np.zeros((5, 2)), index=dates, columns=["a", "b"])
    with pytest.raises(ValueError, match="no date in common"):
        ab._format_factor_data(good, good.set_axis(dates + pd.Timedelta(days=365)), [1])
    with pytest.raises(TypeError, match="returns: column 'b' has dtype"):
        ab._format_factor_data(good, good.assign(b="x"), [1])
    with pytest.raises(ValueError, match="returns: the date index has duplicate labels"):
        ab._format_factor_data(good, pd.concat([good, good.iloc[:1]]), [1])
    with pytest.raises(ValueError, match="factor_data: the columns has duplicate labels"):
        ab._format_factor_data(good.set_axis(["a", "a"], axis=1), good, [1])
    with pytest.raises(TypeError, match="integer holding periods"):
        ab._format_factor_data(good, good, [1.5])
    # nullable and integer tables are read with NaN for missing values
    nullable = good.astype("Float64")
    nullable.iloc[0, 0] = pd.NA
    out = ab._format_factor_data(nullable, good.astype("Int64"), [1])
    assert np.isnan(out["factor"].iloc[0]) and out["P_1"].dtype == np.float64


def test_return_fields_and_frequency():
    assert ab._get_return_fields(["P_1", "P_5", "factor"]) == ["P_1", "P_5"]
    assert ab._get_return_fields(pd.Index(["factor", "P_20", "Px"])) == ["P_20"]
    with pytest.raises(AttributeError):
        ab._get_return_fields([1, "P_1"])
    days = pd.DatetimeIndex(["2021-01-04", "2021-01-05"])
    minutes = pd.DatetimeIndex(["2021-01-04 09:31:00", "2021-01-04 09:32:00"])
    assert ab._get_datetime_freq(days) == "1d" and ab._is_date_frequency_index(days)
    assert ab._get_datetime_freq(minutes) == "1m" and not ab._is_date_frequency_index(minutes)
    assert (
        ab._get_datetime_freq(minutes.append(pd.DatetimeIndex(["2021-01-04 09:31:03"]))) == "tick"
    )
    assert ab._get_datetime_freq(pd.DatetimeIndex([])) == "1d"
    for bad in (
        days.append(pd.DatetimeIndex(["2021-01-06 10:00"])),
        pd.DatetimeIndex(["2021-01-04 00:00:00.5"]),
    ):
        with pytest.raises(ValueError, match="^Unknown datetime index: "):
            ab._is_date_frequency_index(bad)
