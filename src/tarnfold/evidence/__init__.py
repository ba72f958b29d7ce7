"""Evidence beyond the bench's own analysers.

* ``FamaMacBethAnalysis``, ``GroupViewAnalysis``, ``EventStudyAnalysis``:
  analysers appended to a ``FactorAssayBench`` like the bench's own (and
  run by ``tarnfold.assay`` by default);
* ``check_data``: the data health report that ``tarnfold.assay`` runs
  before the bench;
* ``inference``: adjusted p-values, probabilistic and deflated Sharpe
  ratios, monotonicity, alpha and beta, used by the summaries and by the
  batch summary.
"""

from tarnfold.evidence.analysers import EventStudyAnalysis, FamaMacBethAnalysis, GroupViewAnalysis
from tarnfold.evidence.health import HealthReport, check_data
from tarnfold.evidence.results import EventStudyResult, FamaMacBethResult, GroupViewResult

__all__ = [
    "FamaMacBethAnalysis",
    "GroupViewAnalysis",
    "EventStudyAnalysis",
    "check_data",
    "HealthReport",
    "FamaMacBethResult",
    "GroupViewResult",
    "EventStudyResult",
]
