import numpy as np
import pandas as pd
import pytest

from tarnfold.analysis import assay_bench as ab
from tarnfold.analysis import winsorize
from _tables import random_table


def pandas_normalize(factor_data):
    return (
        factor_data.sub(factor_data.mean(axis=1), axis=0)
        .div(factor_data.std(axis=1), axis=0)
        .where(lambda x: ~np.isinf(x), 0)
    )


@pytest.mark.parametrize("ties", [False, True])
def test_normalization_matches_pandas(rng, ties):
    table = random_table(rng, 25, 40, ties=ties) * 3 + 1
    table.iloc[5, :] = np.nan
    table.iloc[5, 7] = 4.0  # a single value: sd is NaN
    before = table.copy()
    out = ab.Normalization().process(table)
    pd.testing.assert_frame_equal(out, pandas_normalize(table), rtol=1e-10)
    pd.testing.assert_frame_equal(table, before)
    assert out.iloc[1].isna().all() and out.iloc[2].isna().all() and out.iloc[5].isna().all()


def test_normalization_worked_rows():
    dates = pd.bdate_range("2020-01-01", periods=3)
    table = pd.DataFrame([[1.0, 2.0, 3.0], [1.0, np.nan, 3.0], [np.inf, 1.0, 2.0]], index=dates)
    out = ab.Normalization().process(table)
    np.testing.assert_allclose(out.iloc[0], [-1, 0, 1])
    np.testing.assert_allclose(out.iloc[1], [-0.7071067811865476, np.nan, 0.7071067811865476])
    pd.testing.assert_frame_equal(out, pandas_normalize(table))


def rows_applied(table, method):
    return table.apply(winsorize.WINSORIZE_METHODS[method], axis=1)


@pytest.mark.parametrize("method", ["mad", "std", "percentile"])
@pytest.mark.parametrize("ties", [False, True])
def test_winsorization_kernel_matches_row_functions(rng, method, ties):
    table = random_table(rng, 30, 57, ties=ties)
    table.iloc[::7, 3] = 40.0  # outliers
    table.iloc[4, 5] = -np.inf
    table.iloc[6, :] = np.nan
    table.iloc[6, 2] = 1.5  # one value
    before = table.copy()
    out = ab.Winzorization(method).process(table)
    pd.testing.assert_frame_equal(out, rows_applied(table, method), rtol=1e-10)
    pd.testing.assert_frame_equal(table, before)
    assert out.iloc[1].isna().all()


def test_winsorization_clips_outliers():
    dates = pd.bdate_range("2020-01-01", periods=1)
    row = np.r_[np.linspace(-1, 1, 99), 50.0]
    out = ab.Winzorization("mad").process(pd.DataFrame([row], index=dates))
    med = np.median(row)
    mad = np.median(np.abs(row - med))
    assert out.iloc[0, -1] == pytest.approx(med + 3 * 1.4826 * mad)
    np.testing.assert_array_equal(out.iloc[0, :-1], row[:-1])


def test_winsorization_user_method_runs_per_row(rng, monkeypatch):
    table = random_table(rng, 6, 4)
    seen = []

    def halve(row):
        seen.append(row.name)
        return row / 2

    monkeypatch.setitem(ab.WINSORIZE_METHODS, "std", halve)
    out = ab.Winzorization("std").process(table)
    assert seen[-6:] == list(table.index)  # every row, all-NaN ones included, in order
    pd.testing.assert_frame_equal(out, table / 2)
    step = ab.Winzorization()
    step.method = "nope"
    with pytest.raises(KeyError):
        step.process(table)


def test_winsorization_method_checked():
    assert ab.Winzorization().method == "mad"
    assert ab.Winzorization(method="percentile").method == "percentile"
    for bad in ("MAD", " mad", None):
        with pytest.raises(ValueError) as err:
            ab.Winzorization(bad)
        assert str(
            err.value
        ) == "method: expect one of ('mad', 'std', 'percentile'), got {}".format(bad)
    with pytest.raises(TypeError):
        ab.Winzorization("mad", "std")


def test_non_numeric_tables_are_refused():
    dates = pd.bdate_range("2020-01-01", periods=2)
    table = pd.DataFrame({"a": [1.0, 2.0], "b": ["x", "y"]}, index=dates)
    for step in (ab.Normalization(), ab.Winzorization()):
        with pytest.raises(TypeError, match="factor_data: column 'b' has dtype"):
            step.process(table)
    empty = pd.DataFrame(index=dates[:0], columns=["a", "b"], dtype=float)
    assert ab.Normalization().process(empty).shape == (0, 2)
    assert ab.Winzorization().process(empty).shape == (0, 2)


def test_wide_cross_sections_match_row_functions(rng):
    # wide rows take the sampled selection path; heavy ties and a lopsided
    # row stress the bracket around the median
    table = random_table(rng, 8, 2500, nan_frac=0.2)
    table.iloc[0] = np.round(table.iloc[0] * 2) / 2
    table.iloc[3, :2000] = 0.25
    table.iloc[4] = np.where(rng.random(2500) < 0.97, 1.0, rng.normal(size=2500) * 50)
    table.iloc[5, :] = np.nan
    table.iloc[5, :1001] = rng.normal(size=1001)
    for method in ("mad", "percentile"):
        out = ab.Winzorization(method).process(table)
        pd.testing.assert_frame_equal(out, rows_applied(table, method), rtol=1e-12)
