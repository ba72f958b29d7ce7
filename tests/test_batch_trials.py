"""A folder's trials: counted across batches (failures included, re-runs
not), and the corrections computed over all of them."""

import json

import numpy as np
import pytest
from statsmodels.stats.multitest import multipletests

import mivada
from tarnfold import operators as op
from tarnfold.batch import DamagedResultsError, assay_many, trials
from tarnfold.evidence import inference as inf

START, END = "2023-08-01", "2023-11-30"


def _broken():
    raise RuntimeError("no data for this one")


def _run(factors, out, **kw):
    return assay_many(
        factors, start_date=START, end_date=END, periods=(1, 5), out=out, client="serial", **kw
    )


def test_split_search_is_corrected_for_every_trial(tmp_path):
    mivada.init(sample="tiny")
    out = tmp_path / "search"
    first = _run({"mom5": op.ts_mean(op.returns(), 5), "broken": _broken}, out)
    assert first["trials"].tolist() == [2, 2]
    second = _run({"vol10": op.ts_std(op.returns(), 10)}, out)
    assert second.loc["vol10", "trials"] == 3
    # the family: both finished trials' p-values and 1 for the failure
    family = np.array([first.loc["mom5", "p NW P_5"], 1.0, second.loc["vol10", "p NW P_5"]])
    for label, method in inf.METHODS.items():
        want = multipletests(family, method=method)[1][2]
        assert second.loc["vol10", "p {} P_5".format(label)] == pytest.approx(want, rel=1e-12)
    assert first.loc["mom5", "p NW P_5"] == pytest.approx(
        trials.nw_p_value(first.loc["mom5", "IC NW t P_5"])
    )
    # running a factor again, resumed or not, is no new trial; a name used for
    # another tree is
    again = _run({"vol10": op.ts_std(op.returns(), 10)}, out, resume=True)
    assert again.loc["vol10", "trials"] == 3 and bool(again.loc["vol10", "resumed"])
    changed = _run({"vol10": op.ts_std(op.returns(), 20)}, out)
    assert changed.loc["vol10", "trials"] == 4
    # deflated Sharpe ratios: never above the one-trial PSR
    for label in trials.PORTFOLIOS:
        dsr = changed.loc["vol10", "{} DSR P_1".format(label)]
        assert 0.0 <= dsr <= changed.loc["vol10", "{} PSR P_1".format(label)] + 1e-12
    # the count cannot be lowered by editing the record
    path = out / trials.TRIALS_FILE
    record = json.loads(path.read_text())
    record["trials"] = dict(list(record["trials"].items())[:1])
    path.write_text(json.dumps(record))
    with pytest.raises(DamagedResultsError, match="trials.json: changed"):
        _run({"mom5": op.ts_mean(op.returns(), 5)}, out)


def test_without_a_folder_the_batch_is_the_family(tmp_path):
    mivada.init(sample="tiny")
    table = assay_many(
        {"a": op.ts_mean(op.returns(), 5), "b": op.delta(op.returns(), 3)},
        start_date=START,
        end_date=END,
        periods=(1,),
        client="serial",
    )
    assert table["trials"].tolist() == [2, 2]
    want = multipletests(table["p NW P_1"].to_numpy(), method="holm")[1]
    np.testing.assert_allclose(table["p Holm P_1"], want, rtol=1e-12)


def test_identity_of_a_trial():
    import pandas as pd

    t = pd.DataFrame({"a": [1.0, 2.0]})
    assert trials.identity(t) == trials.identity(t.copy())
    assert trials.identity(t) != trials.identity(t + 1)
    assert trials.identity(op.ts_mean(op.returns(), 5)) == trials.identity(
        op.ts_mean(op.returns(), 5)
    )
    assert trials.identity(lambda: 1) != trials.identity(lambda: 2)
    assert trials.identity(3) is None


def test_a_folder_from_before_the_trials_record_counts_its_factors(tmp_path):
    mivada.init(sample="tiny")
    out = tmp_path / "old"
    _run({"a": op.ts_mean(op.returns(), 5), "b": op.ts_std(op.returns(), 10)}, out)
    (out / trials.TRIALS_FILE).unlink()
    table = _run({"c": op.delta(op.returns(), 3)}, out)
    assert table.loc["c", "trials"] == 3
    record = json.loads((out / trials.TRIALS_FILE).read_text())
    assert sorted(t["name"] for t in record["trials"].values()) == ["a", "b", "c"]
