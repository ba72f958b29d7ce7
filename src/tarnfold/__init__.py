"""tarnfold: stock-selection factor research with a C++ computing core.

    tarnfold.assay(factor, "daily")       # the whole bench on one factor
    tarnfold.report(results, "r.html")    # one self-contained HTML report

The test bench itself is ``tarnfold.analysis.assay_bench``; the command
line is ``tarnfold --help`` (or ``python -m tarnfold``).
"""

__version__ = "0.1.0"


def assay(factor, returns="daily", periods=(1, 5, 20), ascending=False, steps=None,
          factor_name="factor", progress=None, account=True):
    """Test one factor with the whole bench; see ``tarnfold.workflow.assay``."""
    from tarnfold.workflow import assay as _assay
    return _assay(factor, returns, periods=periods, ascending=ascending, steps=steps,
                  factor_name=factor_name, progress=progress, account=account)


def report(results, path, title="Factor test report", overview=None):
    """Write one self-contained HTML report of ``results`` to ``path``; see
    ``tarnfold.reporting.report``."""
    from tarnfold.reporting import report as _report
    return _report(results, path, title=title, overview=overview)
