"""Result objects of the factor test bench's analysers.

Each result is built with keyword arguments only and keeps every keyword as
an attribute of the same name.
"""

__all__ = ["ICAnalysisResult", "QuantileReturnAnalysisResult", "FactorReturnAnalysisResult"]


class _AnalysisResult:
    """Keyword-built container of one analyser's tables."""

    _fields = ()

    def __init__(self, **kwargs):
        self._keys = tuple(kwargs)
        for key, value in kwargs.items():
            setattr(self, key, value)

    def __repr__(self):
        name = getattr(self, "name", None)
        return "{}(name={!r}, fields={})".format(type(self).__name__, name, list(self._keys))


class ICAnalysisResult(_AnalysisResult):
    """IC per date and period, p-values, IC decay and per-industry IC."""


class QuantileReturnAnalysisResult(_AnalysisResult):
    """Returns and turnover of factor-sorted groups."""


class FactorReturnAnalysisResult(_AnalysisResult):
    """Cumulative return of the factor-weighted long-short portfolio."""
