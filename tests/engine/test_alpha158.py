"""The 158 features against their pandas formulation."""

import numpy as np
import pytest

import mivada
from tarnfold.alpha158 import FEATURE_NAMES, feature, features
from tarnfold.engine_v2 import eval_core
from tarnfold.engine_v2.exec_context import ThreadingExecContext
from tarnfold.leaf import Factor

from alpha_pandas_reference import namespace

FIELDS = ["open", "high", "low", "close", "volume", "total_turnover"]
# every kind of feature, at one window or another
SAMPLE = [
    "KMID",
    "KUP2",
    "KLOW",
    "KSFT2",
    "VWAP0",
    "LOW0",
    "ROC60",
    "MA5",
    "STD10",
    "BETA20",
    "RSQR30",
    "RESI60",
    "MAX5",
    "MIN10",
    "QTLU20",
    "QTLD30",
    "RANK60",
    "RSV5",
    "IMAX10",
    "IMIN20",
    "IMXD30",
    "CORR60",
    "CORD5",
    "CNTP10",
    "CNTN20",
    "CNTD30",
    "SUMP60",
    "SUMN5",
    "SUMD10",
    "VMA20",
    "VSTD30",
    "WVMA60",
    "VSUMP5",
    "VSUMN10",
    "VSUMD20",
]


@pytest.fixture(scope="module")
def loaded(tiny_store):
    mivada.init(tiny_store)
    ids = mivada.all_instruments("CS")["order_book_id"].tolist()
    end = mivada.get_latest_trading_date()
    start = mivada.trading_date_offset(end, -110)
    panels = mivada.get_price_panel(ids, start, end, fields=FIELDS)
    ctx = ThreadingExecContext([Factor(f) for f in FIELDS], ids, start, end)
    return ids, ctx, namespace(panels)


def test_the_set_has_158_features_each_with_its_lookback():
    assert len(FEATURE_NAMES) == 158 and len(set(FEATURE_NAMES)) == 158
    assert feature("KMID").shift == 0
    assert feature("ROC60").shift == 60 and feature("CORD30").shift == 30
    assert feature("MA5") == features()["MA5"]
    with pytest.raises(ValueError, match="feature: expected one of the 158 names"):
        feature("ROC7")


@pytest.mark.parametrize("name", SAMPLE)
def test_feature_matches_its_pandas_formulation(loaded, name):
    ids, ctx, (ops, o) = loaded
    got = eval_core._exec_factor(feature(name), ids, ctx)
    want = ops.table(feature(name, o))
    assert got.notna().to_numpy().any()
    assert np.array_equal(got.isna().to_numpy(), want.isna().to_numpy()), name
    np.testing.assert_allclose(got.to_numpy(), want.to_numpy(), rtol=1e-9, atol=1e-12, err_msg=name)
