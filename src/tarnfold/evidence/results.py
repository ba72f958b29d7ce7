"""Result classes of the evidence analysers.  They summarise, plot, store
and report themselves through the protocol of every result
(``tarnfold.analysis.analysis_result``)."""

import numpy as np
import pandas as pd

from tarnfold.analysis.analysis_result import AnalysisResult, _flat
from tarnfold.analysis.statistics import period_of
from tarnfold.evidence import inference as inf
from tarnfold.evidence import plots

__all__ = ["FamaMacBethResult", "GroupViewResult", "EventStudyResult"]

# |t| from which a bucket is said to carry the effect (5 % two-sided)
SIGNIFICANT_T = 1.96


class FamaMacBethResult(AnalysisResult):
    """Fama-MacBeth regressions of the forward returns on the factor.

    ``premium``: dates x periods, the factor's coefficient in the date's
    cross-sectional regression of P_n on the factor and the controls
    (``controls`` says which); ``observations``: the instruments in each
    regression; ``r_squared``: its R^2.  Dates with too few instruments or
    a factor inside the span of the controls hold NaN."""

    def _own_summary(self):
        rows = {}
        for field in self.premium.columns:
            s = inf.mean_with_newey_west(self.premium[field], period_of(field))
            rows[field] = {
                "premium": s["mean"],
                "std": self.premium[field].std(ddof=1),
                "NW t": s["NW t"],
                "p(NW t)": s["p(NW t)"],
                "premium>0": s[">0"],
                "mean R2": self.r_squared[field].mean(),
                "instruments": self.observations[field].where(self.observations[field] > 0).mean(),
                "dates": s["dates"],
            }
        table = pd.DataFrame.from_dict(rows, orient="index")
        table.index.name = "period"
        return {"Fama-MacBeth premium ({})".format(self.controls): table.astype({"dates": int})}

    def headline(self, periods=None):
        table = next(iter(self._own_summary().values()))
        return _flat(table, (("premium", "FM premium"), ("NW t", "FM NW t")), periods)

    def _figures(self, pyplot):
        return {
            "cumulative Fama-MacBeth premium": plots.cumulative_premium(
                self.premium, getattr(self, "name", ""), pyplot
            )
        }


class GroupViewResult(AnalysisResult):
    """Factor groups within industries and size buckets.

    ``bucket_members``: (view, bucket) -> the mean number of instruments
    with a factor value per date.  ``group_returns`` / ``cap_group_returns``: (date, group) x periods, the
    equal- / capitalisation-weighted mean forward return of each factor
    group of the date (q1 the best values); ``bucket_ic`` and
    ``bucket_spread``: (date, view, bucket) x periods, the rank IC and the
    q1-minus-last forward return within each industry ("industry" view)
    and size bucket ("size" view, s1 the smallest); ``double_sort``:
    (date, size, group) x periods, the mean forward return of each size
    bucket x factor group.  ``weighting`` says how the groups within
    industries and buckets are weighted."""

    def _own_summary(self):
        tables = {}
        tables["factor groups, equal and cap-weighted"] = self.weighted_groups()
        if self.bucket_ic is not None:
            views = list(pd.unique(self.bucket_ic.index.get_level_values("view")))
            names = {"industry": "industries", "size": "size buckets"}
            tables[
                "where the effect is: within " + " and ".join(names.get(v, v) for v in views)
            ] = self.buckets()
        if self.double_sort is not None:
            tables[
                "double sort: mean forward return by size bucket and factor group ({} "
                "weights)".format(self.weighting)
            ] = self.double_sort_table()
        return tables

    def weighted_groups(self):
        """Per period and group: the mean over dates of the equal- and the
        capitalisation-weighted mean forward return, and the top-bottom."""
        parts = {"equal": self.group_returns}
        if self.cap_group_returns is not None:
            parts["cap-weighted"] = self.cap_group_returns
        rows = []
        for field in self.group_returns.columns:
            for label, frame in parts.items():
                means = frame[field].groupby(level="group", sort=False).mean()
                for group, value in means.items():
                    rows.append({"period": field, "group": group, label: value})
                wide = frame[field].unstack("group")
                spread = wide.iloc[:, 0] - wide.iloc[:, -1]
                s = inf.mean_with_newey_west(spread, period_of(field))
                rows.append(
                    {
                        "period": field,
                        "group": "top-bottom",
                        label: s["mean"],
                        label + " NW t": s["NW t"],
                    }
                )
        out = pd.DataFrame(rows).groupby(["period", "group"], sort=False).first()
        return out

    def _memo(self, name, compute):
        """A derived table, computed once per result (the summary, the
        headline and the figures all read it)."""
        memo = self.__dict__.setdefault("_derived", {})
        if name not in memo:
            memo[name] = compute()
        return memo[name]

    def buckets(self):
        return self._memo("buckets", self._buckets)

    def double_sort_table(self):
        return self._memo("double_sort", self._double_sort_table)

    def _buckets(self):
        """Per period, view and bucket: mean rank IC, mean top-minus-bottom
        forward return, their Newey-West t, the dates measured, and whether
        the bucket carries the effect (top-minus-bottom t of at least
        1.96)."""
        rows = []
        for field in self.bucket_ic.columns:
            lags = period_of(field)
            ic = self.bucket_ic[field].unstack("datetime")
            spread = self.bucket_spread[field].unstack("datetime")
            for key in ic.index:
                a = inf.mean_with_newey_west(ic.loc[key], lags)
                b = inf.mean_with_newey_west(spread.loc[key], lags)
                members = np.nan
                if (
                    getattr(self, "bucket_members", None) is not None
                    and key in self.bucket_members.index
                ):
                    members = self.bucket_members.loc[key, "members"]
                rows.append(
                    {
                        "period": field,
                        "view": key[0],
                        "bucket": key[1],
                        "members": members,
                        "IC mean": a["mean"],
                        "IC NW t": a["NW t"],
                        "top-bottom": b["mean"],
                        "top-bottom NW t": b["NW t"],
                        "dates": b["dates"],
                        "carries effect": bool(b["NW t"] >= SIGNIFICANT_T),
                    }
                )
        out = pd.DataFrame(rows).set_index(["period", "view", "bucket"])
        return out.astype({"dates": int})

    def _double_sort_table(self):
        """Per period and size bucket: the mean over dates of each factor
        group's forward return, and the q1-minus-last column."""
        parts = []
        for field in self.double_sort.columns:
            mean = self.double_sort[field].groupby(level=["size", "group"], sort=False).mean()
            wide = mean.unstack("group")
            wide = wide[list(pd.unique(self.double_sort.index.get_level_values("group")))]
            wide["top-bottom"] = wide.iloc[:, 0] - wide.iloc[:, -1]
            wide.index = pd.MultiIndex.from_product([[field], wide.index], names=["period", "size"])
            parts.append(wide)
        out = pd.concat(parts)
        out.columns.name = None
        return out

    def headline(self, periods=None):
        if self.bucket_ic is None:
            return {}
        table = self.buckets()
        out = {}
        for field in table.index.get_level_values("period").unique():
            if periods is not None and field not in {"P_{}".format(int(p)) for p in periods}:
                continue
            part = table.xs(field, level="period")
            for view in part.index.get_level_values("view").unique():
                v = part.xs(view, level="view")
                out["{} buckets carrying {}".format(view, field)] = int(v["carries effect"].sum())
        return out

    def _figures(self, pyplot):
        name = getattr(self, "name", "")
        figs = {}
        if self.double_sort is not None:
            figs["double sort heatmap"] = plots.double_sort_heatmap(
                self.double_sort_table(), name, pyplot
            )
        if self.bucket_ic is not None:
            figs["top-bottom within buckets"] = plots.bucket_spreads(self.buckets(), name, pyplot)
        return figs


class EventStudyResult(AnalysisResult):
    """Returns around entries into the top and bottom factor groups.

    ``event_returns``: (side, offset) -> the mean cumulative return and
    excess return (over the equal-weighted average of the factor's
    instruments) from the entry date's close to the close ``offset``
    trading days away, with the bounds of 95 % bands (standard errors
    clustered by entry date) and the number of events with a value;
    ``entries``: dates x side, the entries of each date; ``periods``: the
    holding periods, the offsets the summary shows."""

    def _own_summary(self):
        rows = []
        offsets = self.event_returns.index.get_level_values("offset")
        periods = [int(p) for p in getattr(self, "periods", None) or [] if int(p) in set(offsets)]
        periods = periods or [max(offsets)]
        before = min(offsets)
        for side in ("top", "bottom"):
            part = self.event_returns.xs(side, level="side")
            for offset in ([before] if before < 0 else []) + periods:
                row = part.loc[offset]
                half = (row["excess high"] - row["excess low"]) / 2
                rows.append(
                    {
                        "side": side,
                        "offset": int(offset),
                        "excess": row["excess"],
                        "low": row["excess low"],
                        "high": row["excess high"],
                        "t": row["excess"] / (half / 1.959963984540054) if half > 0 else np.nan,
                        "return": row["return"],
                        "events": int(row["events"]),
                    }
                )
        table = pd.DataFrame(rows).set_index(["side", "offset"])
        entries = self.entries.sum()
        curve = self.event_returns[["excess", "excess low", "excess high", "events"]].unstack(
            "side"
        )
        curve.columns = ["{} {}".format(side, what) for what, side in curve.columns]
        order = [c for side in ("top", "bottom") for c in curve.columns if c.startswith(side)]
        return {
            "cumulative excess return after entering the top / bottom group ({} entries "
            "into q1, {} into q{})".format(
                int(entries["top"]), int(entries["bottom"]), self.quantile
            ): table,
            "event curve: mean cumulative excess return by trading day": curve[order],
        }

    def headline(self, periods=None):
        out = {}
        part = self.event_returns.xs("top", level="side")
        for p in periods or getattr(self, "periods", None) or []:
            if int(p) in part.index:
                out["top entry excess P_{}".format(int(p))] = part.loc[int(p), "excess"]
        return out

    def _figures(self, pyplot):
        return {
            "event study": plots.event_curve(self.event_returns, getattr(self, "name", ""), pyplot)
        }
