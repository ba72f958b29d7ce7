"""What help() and inspect show of the compiled module."""

import inspect
import pydoc

import pytest

from tarnfold.analysis import assay_bench as ab

CLASSES = (
    "Winzorization",
    "Normalization",
    "Neutralization",
    "ICAnalysis",
    "QuantileReturnAnalysis",
    "FactorReturnAnalysis",
    "FactorAssayBench",
)


def test_help_names_no_build_internals():
    text = pydoc.render_doc(ab, renderer=pydoc.plaintext)
    assert "pybind11" not in text and "function_record" not in text
    for name in CLASSES:
        assert "class {}(".format(name) in text


@pytest.mark.parametrize(
    "name, params",
    [
        ("Winzorization", ["method"]),
        ("Normalization", []),
        ("Neutralization", ["industry", "style_factors", "other_factors"]),
        ("ICAnalysis", ["rank_ic", "industry_classification", "max_decay"]),
        ("QuantileReturnAnalysis", ["quantile", "benchmark"]),
        ("FactorReturnAnalysis", []),
        ("FactorAssayBench", []),
    ],
)
def test_every_class_shows_its_parameters(name, params):
    cls = getattr(ab, name)
    assert list(inspect.signature(cls).parameters) == params
    head = [
        line.strip(" |")
        for line in pydoc.render_doc(cls, renderer=pydoc.plaintext).splitlines()[:8]
    ]
    if params:  # help() prints a class's signature line unless it is "()"
        assert "{}{}".format(name, inspect.signature(cls)) in head
    assert not any(
        "__signature__ = None" in line
        for line in pydoc.render_doc(cls, renderer=pydoc.plaintext).splitlines()
    )


def test_methods_bind_and_report_signatures():
    assert list(inspect.signature(ab.ICAnalysis.analysis).parameters) == [
        "self",
        "factor_data",
        "returns",
        "periods",
        "ascending",
    ]
    assert list(inspect.signature(ab.ICAnalysis().analysis).parameters) == [
        "factor_data",
        "returns",
        "periods",
        "ascending",
    ]
    with pytest.raises(TypeError):
        ab._get_return_fields()


def test_winsorization_alias():
    assert ab.Winsorization is ab.Winzorization
    assert "Winsorization" not in ab.__all__
