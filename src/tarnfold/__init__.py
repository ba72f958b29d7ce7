"""tarnfold: stock-selection factor research with a C++ computing core.

    tarnfold.assay(factor, "daily")       # the whole bench on one factor
    tarnfold.report(results, "r.html")    # one self-contained HTML report

The test bench itself is ``tarnfold.analysis.assay_bench``; the command
line is ``tarnfold --help`` (or ``python -m tarnfold``).
"""

from tarnfold.constants import DEFAULT_PERIODS, __version__  # noqa: F401

__all__ = ["assay", "report", "DEFAULT_PERIODS", "__version__"]


def __getattr__(name):
    # ``assay`` and ``report`` bring in the bench (statsmodels and scipy:
    # seconds of imports); loading them on first use keeps ``import
    # tarnfold.leaf`` and every worker's start cheap
    if name == "assay":
        from tarnfold.workflow import assay

        return assay
    if name == "report":
        from tarnfold.reporting import report

        return report
    raise AttributeError("module 'tarnfold' has no attribute {!r}".format(name))
