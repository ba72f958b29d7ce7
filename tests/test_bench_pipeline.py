import collections
import inspect

import numpy as np
import pandas as pd
import pytest

from tarnfold.analysis import assay_bench as ab
from tarnfold.analysis import analysis_result


class Recorder(ab.FactorAnalyser):
    """An analyser written in Python that records what the bench hands it."""

    def __init__(self):
        self.calls = []

    def analysis(self, factor_data, returns, periods, ascending=True):
        self.calls.append((factor_data, returns, periods, ascending))
        return ("result", self.step_name)


class AddOne(ab.FactorPreprocessor):
    def process(self, factor_data):
        return factor_data + 1


@pytest.fixture
def tables():
    dates = pd.bdate_range("2022-03-01", periods=6)
    factor = pd.DataFrame(np.arange(18.0).reshape(6, 3), index=dates, columns=["a", "b", "c"])
    returns = pd.DataFrame(
        np.full((8, 3), 0.01),
        index=pd.bdate_range("2022-03-01", periods=8),
        columns=["a", "b", "c"],
    )
    return factor, returns


def test_module_surface():
    assert ab.__all__ == [
        "Winzorization",
        "Normalization",
        "Neutralization",
        "ICAnalysis",
        "QuantileReturnAnalysis",
        "FactorReturnAnalysis",
        "FactorAssayBench",
    ]
    assert ab.VALID_INDUSTRY_SOURCE == ("citics_2019", "sws")
    assert ab.VALID_WINSORIZE_METHODS == ("mad", "std", "percentile")
    assert ab.pd is pd and ab.np is np and ab.defaultdict is collections.defaultdict
    assert ab.ICAnalysisResult is analysis_result.ICAnalysisResult
    tree = {
        "FactorPreprocessor": (object, " 因子数据预处理基类 "),
        "Winzorization": (ab.FactorPreprocessor, None),
        "Normalization": (ab.FactorPreprocessor, " 标准化方法 "),
        "Neutralization": (ab.FactorPreprocessor, None),
        "FactorAnalyser": (object, None),
        "ICAnalysis": (ab.FactorAnalyser, None),
        "QuantileReturnAnalysis": (ab.FactorAnalyser, None),
        "FactorReturnAnalysis": (ab.FactorAnalyser, " 分析器：因子收益率检验 "),
        "FactorAssayBench": (object, " 因子检验引擎 "),
    }
    for name, (base, doc) in tree.items():
        cls = getattr(ab, name)
        assert type(cls) is type and cls.__bases__ == (base,) and cls.__doc__ == doc, name
    assert ab.FactorAnalyser.step_name == "FactorAnalysisStep"
    # module-private names: the ones the steps use, and nothing else
    private = {n for n in dir(ab) if n.startswith("_") and not n.startswith("__")}
    assert private == {
        "_get_return_fields",
        "_format_factor_data",
        "_validate_data_frame",
        "_cache_industry_data",
        "_get_listed_date_mask_series",
        "_load_industry_data",
        "_get_ic_func",
        "_get_datetime_freq",
        "_is_date_frequency_index",
    }


@pytest.mark.parametrize(
    "func, expected",
    [
        (
            ab.FactorAssayBench.analysis,
            "(self, factor_data, returns, ascending=False, periods=1, keep_preprocess_result=False)",
        ),
        (ab.FactorAssayBench.append, "(self, step)"),
        (ab.Winzorization.__init__, "(self, method='mad')"),
        (
            ab.Neutralization.__init__,
            "(self, industry='citics_2019', style_factors='all', other_factors=None)",
        ),
        (ab.FactorAnalyser.analysis, "(self, factor_data, returns, periods, ascending=True)"),
        (
            ab.ICAnalysis.__init__,
            "(self, rank_ic=True, industry_classification=None, max_decay=None)",
        ),
        (ab.QuantileReturnAnalysis.__init__, "(self, quantile=5, benchmark=None)"),
        (ab._format_factor_data, "(factor_data, returns, periods)"),
        (ab._validate_data_frame, "(df, name)"),
        (ab._get_return_fields, "(columns, /)"),
    ],
)
def test_signatures(func, expected):
    assert str(inspect.signature(func)) == expected


def test_class_signatures_follow_init():
    assert str(inspect.signature(ab.Winzorization)) == "(method='mad')"
    assert str(inspect.signature(ab.FactorAssayBench)) == "()"

    class Own(ab.Winzorization):
        def __init__(self, width, method="std"):
            super().__init__(method)

    assert str(inspect.signature(Own)) == "(width, method='std')"
    assert Own(3).method == "std"


def test_single_argument_helpers_are_position_only():
    for func in (ab._get_return_fields, ab._get_datetime_freq, ab._is_date_frequency_index):
        with pytest.raises(TypeError):
            func(columns=[]) if func is ab._get_return_fields else func(index=pd.DatetimeIndex([]))


def test_append_registers_and_refuses():
    bench = ab.FactorAssayBench()
    pre = ("norm", ab.Normalization())
    bench.append(pre)
    assert bench.preprocess_pipelines[0] is pre
    Step = collections.namedtuple("Step", "name processor")
    for bad in (["x", ab.Normalization()], Step("x", ab.Normalization())):
        with pytest.raises(TypeError, match="step"):
            bench.append(bad)
    with pytest.raises(TypeError, match="'NoneType' object is not iterable"):
        bench.append(None)
    with pytest.raises(ValueError, match="unpack"):
        bench.append(("x", ab.Normalization(), 1))
    with pytest.raises(ValueError, match="^Invalid step=a, unknown processor=42$"):
        bench.append(("a", 42))
    # the name stays reserved after the failed append
    with pytest.raises(
        RuntimeError, match="^pipeline step name=a already exists, please use another name.$"
    ):
        bench.append(("a", Recorder()))
    assert bench._FactorAssayBench__exists_step_names == ["norm", "a"]
    assert isinstance(bench.analysis_pipelines, collections.defaultdict)
    assert bench.analysis_pipelines.default_factory is ab.FactorAnalyser


def test_same_analyser_under_two_names(tables):
    factor, returns = tables
    rec = Recorder()
    bench = ab.FactorAssayBench()
    bench.append(("first", rec))
    bench.append(("second", rec))
    assert list(bench.analysis_pipelines) == ["first", "second"]
    result = bench.analysis(factor, returns)
    assert result == {"first": ("result", "second"), "second": ("result", "second")}


def test_empty_bench_warns_without_looking_at_inputs():
    with pytest.warns(UserWarning, match="^no pipelines to execute.$"):
        assert ab.FactorAssayBench().analysis("not a frame", None, periods="x") is None


def test_preprocessors_only_and_kept_copies(tables):
    factor, returns = tables
    bench = ab.FactorAssayBench()
    bench.append(("plus", AddOne()))
    bench.append(("plus_again", AddOne()))
    assert bench.analysis(factor, returns) == {}
    rec = Recorder()
    bench.append(("rec", rec))
    result = bench.analysis(factor, returns, keep_preprocess_result=True)
    assert list(result) == ["plus", "plus_again", "rec"]
    handed = rec.calls[-1][0]
    pd.testing.assert_frame_equal(result["plus_again"], factor + 2)
    result["plus"].iloc[0, 0] = -999.0
    assert result["plus_again"].iloc[0, 0] == 2.0 and handed.iloc[0, 0] == 2.0
    assert factor.iloc[0, 0] == 0.0


def test_periods_reach_analysers_as_sequences(tables):
    factor, returns = tables
    rec = Recorder()
    bench = ab.FactorAssayBench()
    bench.append(("rec", rec))
    as_list = [1, 2]
    as_tuple = (1, 3)
    for periods in (3, as_tuple, as_list):
        bench.analysis(factor, returns, periods=periods)
    got = [call[2] for call in rec.calls]
    assert got[0] == [3] and got[1] is as_tuple and got[2] is as_list
    assert [call[3] for call in rec.calls] == [False] * 3
    # a bool is not a holding period, alone or in a sequence
    for bad in (True, [1, True]):
        with pytest.raises(TypeError, match="^periods: expected positive integer holding periods"):
            bench.analysis(factor, returns, periods=bad)
    assert len(rec.calls) == 3
    bench.analysis(factor, returns, ascending=True, periods=[])
    assert rec.calls[-1][2] == [] and rec.calls[-1][3] is True


def test_argument_errors(tables):
    factor, returns = tables
    bench = ab.FactorAssayBench()
    bench.append(("rec", Recorder()))
    with pytest.raises(
        AssertionError, match="^periods must be tuple/list/int, but got <class 'str'>$"
    ):
        bench.analysis(factor, returns, periods="1")
    with pytest.raises(ValueError, match='^returns: expect pd.DataFrame or "daily", got Daily$'):
        bench.analysis(factor, "Daily")
    with pytest.raises(ValueError, match="^returns: expect pd.DataFrame, got <class 'NoneType'>$"):
        bench.analysis(factor, None)
    with pytest.raises(ValueError, match="^factor_data: expect index type=pd.DatetimeIndex"):
        bench.analysis(factor.reset_index(drop=True), returns)


def test_axes_named_in_place(tables):
    factor, returns = tables
    bench = ab.FactorAssayBench()
    bench.append(("rec", Recorder()))
    bench.analysis(factor, returns)
    for table in (factor, returns):
        assert table.index.name == "datetime" and table.columns.name == "order_book_id"


def test_base_steps_raise():
    with pytest.raises(NotImplementedError, match="^Need implement FactorPreprocessor.process$"):
        ab.FactorPreprocessor().process(None)
    with pytest.raises(NotImplementedError, match="^Need implement FactorAnalyser.analysis$"):
        ab.FactorAnalyser().analysis(None, None, [1])


class FakeClient:
    def __init__(self, returns):
        self.returns = returns
        self.calls = []

    def get_next_trading_date(self, date, n):
        self.calls.append(("next", date, n))
        return date + pd.offsets.BDay(n)

    def get_price_change_rate(self, **kwargs):
        self.calls.append(("rates", kwargs))
        return self.returns


def test_daily_returns_come_from_the_client(tables, monkeypatch):
    factor, returns = tables
    client = FakeClient(returns)
    monkeypatch.setattr(ab, "mivada", client)
    rec = Recorder()
    bench = ab.FactorAssayBench()
    bench.append(("rec", rec))
    bench.analysis(factor, "daily", periods=(1, 5, 2))
    (_, date, n), (_, kwargs) = client.calls
    assert date == factor.index[-1] and n == 5
    assert list(kwargs["order_book_ids"]) == ["a", "b", "c"]
    assert kwargs["start_date"] == factor.index[0]
    assert kwargs["end_date"] == factor.index[-1] + pd.offsets.BDay(5)
    assert kwargs["expect_df"] is True and kwargs["market"] == "cn"
    assert rec.calls[0][1] is returns and returns.index.name == "datetime"
    with pytest.raises(ValueError):
        bench.analysis(factor, "daily", periods=[])
    client.returns = None
    with pytest.raises(ValueError, match="no daily returns"):
        bench.analysis(factor, "daily")
